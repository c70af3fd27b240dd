#include "index/select_files.h"

#include "config/config.h"
#include "index/archive_db.h"
#include "platform/bindings.h"

#include <gtest/gtest.h>

#include "support/run_command.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::set_mtime;
using testing::write_file;

void write_file(const fs::path& path, const std::string& content, time_t mtime) {
    write_file(path, content);
    ASSERT_TRUE(set_mtime(path, mtime)) << path;
}

// A selection clause decided by a test function.
class TestExpr : public SelectExpr {
public:
    explicit TestExpr(std::function<bool(const IFileEntry&)> test) : test_(std::move(test)) {}
    bool matches(const IFileEntry& entry) const override { return test_(entry); }
    std::string to_text() const override { return "test()"; }

private:
    std::function<bool(const IFileEntry&)> test_;
};

void add_item(Selector& selector, bool exclude, std::function<bool(const IFileEntry&)> test) {
    selector.items.emplace_back(exclude, test ? std::make_unique<TestExpr>(std::move(test))
                                              : std::unique_ptr<SelectExpr>());
}

// Scans `source` into a fresh index in its own directory and reads back the listing.
struct ScanRun {
    ScratchDir index_dir;
    std::unique_ptr<ArchiveDb> db = std::make_unique<ArchiveDb>(index_dir / "index.db");
    std::vector<std::string> log;
    LogCallback log_callback = [this](std::string_view line) { log.emplace_back(line); };

    void scan(FileScanner& scanner, const std::string& source, const Config& config) {
        scanner.scan({source}, config, log_callback);
    }

    // Files of the listing as "dir|name|size|mtime".
    std::set<std::string> listed() {
        db->prepare_listing();
        db->cache_dirs([](std::string_view) {});
        std::set<std::string> files;
        db->list_objects([&](std::string_view dir, std::string_view name, uint32_t attributes,
                             int64_t size, int64_t mtime) {
            if ((attributes & 1) == 0)
                files.insert(std::string(dir) + "|" + std::string(name) + "|" +
                             std::to_string(size) + "|" + std::to_string(mtime));
        });
        return files;
    }

    bool logged(std::string_view prefix) const {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& line) { return line.starts_with(prefix); });
    }
};

TEST(SelectFilesTest, RecordsTreeUnderParentDirectories) {
    ScratchDir src;
    Config config;
    {
        ScanRun empty;
        FileScanner scanner(*empty.db);
        empty.scan(scanner, src.path(), config);
        EXPECT_TRUE(empty.listed().empty());
        EXPECT_EQ(empty.log.at(1), "Completed scanning. 0 dirs and 0 files.");
    }
    fs::create_directory(src / "empty");
    write_file(src / "top.txt", "12345", 1000000000);
    write_file(src / "sub/a.txt", "", 1100000000);
    write_file(src / "sub/deep/b.txt", "xy", 1200000000);
    const std::string odd = "bad\xff\xfe line\nbreak \\ \"q\" 100%s";
    write_file(src / odd, "odd", 1300000000);

    ScanRun run;
    FileScanner scanner(*run.db);
    run.scan(scanner, src.path(), config);

    EXPECT_EQ(run.listed(),
              (std::set<std::string>{"|top.txt|5|1000000000", "sub|a.txt|0|1100000000",
                                     "sub/deep|b.txt|2|1200000000", "|" + odd + "|3|1300000000"}));
    EXPECT_EQ(scanner.counts().dirs_recorded, 3u);
    EXPECT_EQ(scanner.counts().files_recorded, 4u);
    EXPECT_EQ(run.log.front(), "Ready for scanning. (Marked 0 files as unknown).");
    ASSERT_EQ(run.log.size(), 3u);
    EXPECT_EQ(run.log[1], "Completed scanning. 3 dirs and 4 files.");
    EXPECT_TRUE(run.log[2].starts_with("Done walking in ") &&
                run.log[2].ends_with(" milliseconds."));
    run.db->log_status(run.log_callback); // directories are stored with size 0
    EXPECT_TRUE(run.logged(" - Directory objects: 3. Directory bytes: 0."));
}

// The selection lists see name, path, parent, kind, size and age of each entry.
TEST(SelectFilesTest, SelectionSeesEntryFacts) {
    ScratchDir src;
    const time_t future = std::time(nullptr) + 3600;
    write_file(src / "sub/a.txt", "abc", 1000000000);
    write_file(src / "root.txt", "", future);

    ScanRun run;
    Config config;
    std::map<std::string, std::string> seen;
    std::map<std::string, int64_t> ages;
    auto capture = [&](const IFileEntry& e) {
        seen[std::string(e.path())] = std::string(e.name()) + "|" + std::string(e.parent()) + "|" +
                                      (e.is_directory() ? "d" : "f") + "|" +
                                      std::to_string(e.size());
        ages[std::string(e.path())] = e.age();
        return false;
    };
    add_item(config.select_dirs, false, capture);
    add_item(config.select_files, false, capture);
    // The same clock as the scanner: time() reads a coarser clock that can lag a second behind.
    const int64_t before = filetime_to_unix(now());
    FileScanner scanner(*run.db);
    const int64_t after = filetime_to_unix(now());
    run.scan(scanner, src.path(), config);

    EXPECT_EQ(seen["sub/a.txt"], "a.txt|sub|f|3");
    EXPECT_EQ(seen["root.txt"], "root.txt||f|0");
    EXPECT_EQ(seen["sub"], "sub||d|0"); // a directory has no size, not its block size
    EXPECT_GE(ages["sub/a.txt"], before - 1000000000);
    EXPECT_LE(ages["sub/a.txt"], after - 1000000000);
    EXPECT_LT(ages["root.txt"], -3500); // modified after the scanner was made
}

TEST(SelectFilesTest, RejectedDirectoriesAndFilesAreLeftOut) {
    ScratchDir src;
    write_file(src / "skip/inside.txt", "x");
    write_file(src / "keep/x.tmp", "x");
    write_file(src / "keep/x.doc", "x");
    write_file(src / "x.tmp", "x");

    ScanRun run;
    Config config;
    add_item(config.select_dirs, true, [](const IFileEntry& e) { return e.name() == "skip"; });
    // include() then exclude(*.tmp) then include(keep/...): the third item only counts when the
    // second matched.
    add_item(config.select_files, false, nullptr);
    add_item(config.select_files, true,
             [](const IFileEntry& e) { return e.name().ends_with(".tmp"); });
    add_item(config.select_files, false,
             [](const IFileEntry& e) { return e.path().starts_with("keep/"); });
    FileScanner scanner(*run.db);
    run.scan(scanner, src.path(), config);

    std::set<std::string> names;
    for (const std::string& row : run.listed())
        names.insert(row.substr(0, row.find('|', row.find('|') + 1)));
    EXPECT_EQ(names, (std::set<std::string>{"keep|x.tmp", "keep|x.doc"}));
    EXPECT_EQ(scanner.counts().dirs_seen, 2u);
    EXPECT_EQ(scanner.counts().dirs_recorded, 1u);
    EXPECT_EQ(scanner.counts().files_seen, 3u);
}

TEST(SelectFilesTest, DestinationInsideSourceIsSkipped) {
    ScratchDir src;
    write_file(src / "data/f.txt", "x");
    write_file(src / "backup/backupindex.db", "old");
    ::mkfifo((src / "pipe").c_str(), 0644);

    ScanRun run;
    Config config;
    FileScanner scanner(*run.db);
    scanner.set_excluded_directory(src.path().string() + "/./data/../backup/");
    run.scan(scanner, src.path(), config);

    struct stat st;
    ASSERT_EQ(::stat((src / "data/f.txt").c_str(), &st), 0);
    EXPECT_EQ(run.listed(), (std::set<std::string>{"data|f.txt|1|" + std::to_string(st.st_mtime)}));
    EXPECT_EQ(scanner.counts().excluded_dirs, 1u);
    EXPECT_TRUE(run.logged("Skipping directory '" + (src / "backup").string() +
                           "': it is the backup destination."));
    // The FIFO is reported in the closing summary.
    EXPECT_EQ(scanner.counts().walk.special_files_skipped, 1u);
    EXPECT_TRUE(run.logged("Not backed up: 1 special files (FIFOs, sockets, devices), 0 entries"));

    // A destination that does not exist excludes nothing.
    ScanRun again;
    FileScanner other(*again.db);
    other.set_excluded_directory((src / "missing").string());
    again.scan(other, src.path(), config);
    EXPECT_EQ(other.counts().files_recorded, 2u);
}

TEST(SelectFilesTest, ProgressEveryTenThousandRecordedObjects) {
    ScratchDir src;
    const int kFiles = 9999;
    for (int i = 0; i < kFiles; ++i)
        ::close(::open((src / std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));

    Config config;
    {
        ScanRun run;
        FileScanner scanner(*run.db);
        ::testing::internal::CaptureStdout();
        run.scan(scanner, src.path(), config);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    fs::create_directory(src / "one-more");
    ScanRun run;
    FileScanner scanner(*run.db);
    ::testing::internal::CaptureStdout();
    run.scan(scanner, src.path(), config);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out.starts_with("Scanning progresses. ")) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(run.listed().size(), static_cast<size_t>(kFiles));
}

// Paths longer than the scan buffers, and trees deeper than the directory stack, are cut off
// with a log line instead of being written past the buffers; they count as skipped, as does a
// directory that could not be listed.
TEST(SelectFilesTest, PathsBeyondTheBuffersAreSkipped) {
    ScratchDir src;
    auto build_chain = [](const std::string& base, int depth, const std::string& name) {
        int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; level < depth; ++level) {
            ::close(::openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            ::mkdirat(fd, name.c_str(), 0755);
            const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
        }
        ::close(fd);
    };
    fs::create_directory(src / "wide");
    build_chain(src / "wide", 400, std::string(255, 'n'));
    fs::create_directory(src / "deep");
    build_chain(src / "deep", FileScanner::kStackEntries + 5, "d");

    fs::create_directories(src / "gone/lost");
    ScanRun run;
    Config config; // "gone" is recorded, then vanishes before it is listed
    add_item(config.select_dirs, false, [&](const IFileEntry& e) {
        return e.name() == "gone" && fs::remove_all(src / "gone");
    });
    FileScanner scanner(*run.db);
    run.scan(scanner, src.path(), config);

    // "wide/" is 5 bytes; each level adds 256, so 383 levels fit in 98,301 bytes.
    const uint64_t wide_dirs = 1 + (FileScanner::kPathBufferSize - 5) / 256;
    // The root holds entry 0 and "deep" entry 1; the chain fills the remaining entries.
    const uint64_t deep_dirs = 1 + FileScanner::kStackEntries - 2;
    EXPECT_EQ(scanner.counts().too_long_skipped, 2u);
    EXPECT_EQ(scanner.skipped_count(), 3u);
    EXPECT_EQ(scanner.counts().dirs_recorded, wide_dirs + deep_dirs + 1);
    EXPECT_EQ(scanner.counts().files_recorded, wide_dirs + deep_dirs);
    EXPECT_EQ(std::count_if(run.log.begin(), run.log.end(),
                            [](const std::string& line) {
                                return line.ends_with("': its path is too long for the scan "
                                                      "buffers.");
                            }),
              2);
    EXPECT_TRUE(run.logged("Not backed up: 0 special files (FIFOs, sockets, devices), 0 entries "
                           "that could not be examined, 2 entries with too long paths;"));
}

} // namespace
} // namespace vesk
