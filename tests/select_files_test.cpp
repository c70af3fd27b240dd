#include "index/select_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "config/config.h"
#include "index/archive_db.h"
#include "platform/bindings.h"
#include "platform/text_format.h"
#include "platform/vfs.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::write_file;

using testing::utf8;

void write_file(const fs::path& path, const std::string& content, time_t mtime) {
    write_file(path, content);
    ASSERT_TRUE(testing::set_mtime(path, mtime)) << path;
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

// A scanner with a fresh index in its own directory and a selection, and what it logged.
struct ScanRun {
    ScratchDir index_dir;
    std::unique_ptr<ArchiveDb> db = std::make_unique<ArchiveDb>(utf8(index_dir / "index.db"));
    FileScanner scanner{*db};
    Config config;
    std::vector<std::string> log;
    LogCallback log_callback = [this](std::string_view line) { log.emplace_back(line); };

    void select(Selector& selector, std::function<bool(const IFileEntry&)> test) {
        selector.items.emplace_back(false, std::make_unique<TestExpr>(std::move(test)));
    }

    void scan(const fs::path& source) {
        scanner.scan(VfsPath(true, utf8(source)).components_copy(), config, log_callback);
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

    // The log lines that start with `start` and end with `end`.
    long logged(std::string_view start, std::string_view end = "") const {
        return std::ranges::count_if(
            log, [&](const auto& line) { return line.starts_with(start) && line.ends_with(end); });
    }
};

// The tree is recorded under its parent directories, and the selection lists see name, path,
// parent, kind, size and age of each entry.
TEST(SelectFilesTest, RecordsTreeAndShowsEntryFactsToTheSelection) {
    ScratchDir src;
    fs::create_directory(src / "empty");
    write_file(src / "top.txt", "12345", 1000000000);
    write_file(src / "sub/a.txt", "", 1100000000);
    write_file(src / "sub/deep/b.txt", "xy", 1200000000);
#ifdef _WIN32
    const std::string odd = "caf\xc3\xa9 'q' 100%s \xe2\x82\xac";
#else
    const std::string odd = "bad\xff\xfe line\nbreak \\ \"q\" 100%s";
#endif
    write_file(src.path() / testing::path_of(odd), "odd", 1300000000);
    const time_t future = std::time(nullptr) + 3600;
    write_file(src / "future.txt", "", future);

    // The same clock as the scanner: time() reads a coarser clock that can lag a second behind.
    const int64_t before = filetime_to_unix(now());
    ScanRun run;
    const int64_t after = filetime_to_unix(now());
    std::map<std::string, std::string> seen;
    std::map<std::string, int64_t> ages;
    auto capture = [&](const IFileEntry& e) {
        ages[std::string(e.path())] = e.age();
        seen[std::string(e.path())] =
            format("%s|%s|%s|%s", e.name(), e.parent(), e.is_directory() ? "d" : "f", e.size());
        return true;
    };
    run.select(run.config.select_dirs, capture);
    run.select(run.config.select_files, capture);
    run.scan(src.path());

    EXPECT_EQ(run.listed(),
              (std::set<std::string>{"|top.txt|5|1000000000", "sub|a.txt|0|1100000000",
                                     "sub/deep|b.txt|2|1200000000", "|" + odd + "|3|1300000000",
                                     "|future.txt|0|" + std::to_string(future)}));
    ASSERT_EQ(run.log.size(), 3u);
    EXPECT_EQ(run.log[0] + run.log[1], "Ready for scanning. (Marked 0 files as unknown)."
                                       "Completed scanning. 3 dirs and 5 files.");
    EXPECT_EQ(run.logged("Done walking in ", " milliseconds."), 1);
    run.db->log_status(run.log_callback); // directories are stored with size 0
    EXPECT_EQ(run.logged(" - Directory objects: 3. Directory bytes: 0."), 1);

    EXPECT_EQ(seen["sub/deep/b.txt"], "b.txt|sub/deep|f|2");
    EXPECT_EQ(seen["top.txt"], "top.txt||f|5");
    EXPECT_EQ(seen["sub"], "sub||d|0"); // a directory has no size, not its block size
    EXPECT_GE(ages["top.txt"], before - 1000000000);
    EXPECT_LE(ages["top.txt"], after - 1000000000);
    EXPECT_LT(ages["future.txt"], -3500); // modified after the scanner was made
}

// A progress line after every 10,000 recorded objects, and none before.
TEST(SelectFilesTest, ProgressEveryTenThousandRecordedObjects) {
    ScratchDir src;
    for (int i = 0; i < 9999; ++i)
        std::ofstream(src / std::to_string(i)).put('x');
    std::vector<std::string> outputs;
    for (const char* more : {"", "one-more"}) { // 9999 objects, then 10,000
        fs::create_directory(src / more);
        ScanRun run;
        ::testing::internal::CaptureStdout();
        run.scan(src.path());
        outputs.push_back(::testing::internal::GetCapturedStdout());
        EXPECT_EQ(run.listed().size(), 9999u);
    }
    EXPECT_EQ(outputs[0], "");
    EXPECT_TRUE(outputs[1].starts_with("Scanning progresses. ")) << outputs[1];
    EXPECT_EQ(std::count(outputs[1].begin(), outputs[1].end(), '\n'), 1);
}

#ifndef _WIN32
// Paths longer than the scan buffers, and trees deeper than the directory stack, are cut off
// with a log line instead of being written past the buffers; they count as skipped, as does a
// directory that could not be listed.
TEST(SelectFilesTest, PathsBeyondTheBuffersAreSkipped) {
    ScratchDir src;
    const fs::path home = fs::current_path(); // the chains are built by relative paths
    auto build_chain = [&](const std::string& base, int depth, const std::string& name) {
        fs::create_directory(src / base);
        fs::current_path(src / base);
        for (int level = 0; level < depth; ++level) {
            std::ofstream("f").put('x');
            fs::create_directory(name);
            fs::current_path(name);
        }
        fs::current_path(home);
    };
    build_chain("wide", 400, std::string(255, 'n'));
    build_chain("deep", FileScanner::kStackEntries + 5, "d");
    fs::create_directories(src / "gone/lost");
    ScanRun run; // "gone" is recorded, then vanishes before it is listed
    run.select(run.config.select_dirs, [&](const IFileEntry& e) {
        return e.name() == "gone" && fs::remove_all(src / "gone");
    });
    run.scan(src.path());

    // "wide/" is 5 bytes; each level adds 256, so 383 levels fit in 98,301 bytes.
    const uint64_t wide_dirs = 1 + (FileScanner::kPathBufferSize - 5) / 256;
    // The root holds entry 0 and "deep" entry 1; the chain fills the remaining entries.
    const uint64_t deep_dirs = 1 + FileScanner::kStackEntries - 2;
    EXPECT_EQ(run.scanner.counts().too_long_skipped, 2u);
    EXPECT_EQ(run.scanner.skipped_count(), 3u);
    EXPECT_EQ(run.scanner.counts().dirs_recorded, wide_dirs + deep_dirs + 1);
    EXPECT_EQ(run.scanner.counts().files_recorded, wide_dirs + deep_dirs);
    EXPECT_EQ(run.logged("Skipping '", "': its path is too long for the scan buffers."), 2);
    EXPECT_EQ(run.logged("Not backed up: 0 special files (FIFOs, sockets, devices), 0 entries "
                         "that could not be examined, 2 entries with too long paths;"),
              1);
}
#endif // Windows paths (at most 32,767 UTF-16 units) cannot outgrow the scan buffers

} // namespace
} // namespace vesk
