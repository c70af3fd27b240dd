// End-to-end runs of build/vesk over real trees: run layout, logs, commit, modes.

#include "backup/backup_mode.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "platform/vfs.h"
#include "support/index_query.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::read_file;
using testing::run_command;
using testing::ScratchDir;
using testing::sql_value;
using testing::write_file;

// A reporting "archiver": prints its list file, so every listed file is confirmed.
const std::string echo_format = R"(
select_format(format("echo"))
format_specification("echo", archive(executable("cat"), arguments("""%listfile%"""),
                                     filepattern("^(.*)$", 1))))";

class BackupRun : public ::testing::Test {
protected:
    fs::path source() const { return scratch_ / "src"; }
    fs::path destination() const { return scratch_ / "dst"; }
    fs::path job() const { return scratch_ / "job.conf"; }

    void write_job(const std::string& mode, const std::string& rest = echo_format) {
        write_file(job(), "source_dir(\"" + source().string() + "\")\ndestination_dir(\"" +
                              destination().string() + "\")\nmode(" + mode + ")\n" + rest);
    }

    // `runner` is a command that VESK runs under (e.g. one that changes the user).
    CommandResult vesk(std::vector<std::string> extra = {}, std::vector<std::string> runner = {}) {
        // Run directories are named by the second: keep runs of one test in distinct seconds.
        const auto now = std::chrono::system_clock::now();
        if (last_run_ && now - *last_run_ < std::chrono::milliseconds(1100)) {
            std::this_thread::sleep_until(*last_run_ + std::chrono::milliseconds(1100));
        }
        last_run_ = std::chrono::system_clock::now();
        std::vector<std::string> args = runner;
        args.push_back(VESK_BINARY);
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("--cfg");
        args.push_back(job().string());
        return run_command(args);
    }

    std::vector<fs::path> run_directories() const {
        return testing::sorted_subdirectories(destination());
    }

    // The list file lines of the newest run, sorted.
    std::vector<std::string> listed(const std::string& format = "echo") const {
        const std::string text =
            read_file(run_directories().back() / ("listfile." + format + ".lst"));
        std::vector<std::string> lines;
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find("\r\n", start);
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    void make_tree() {
        write_file(source() / "a.txt", "alpha");
        write_file(source() / "b.tmp", "beta");
        write_file(source() / "sub/c.txt", "gamma");
        write_file(source() / "sub/deep/d.txt", "delta");
        write_file(source() / "cache/e.txt", "epsilon");
    }

    ScratchDir scratch_;
    std::optional<std::chrono::system_clock::time_point> last_run_;
};

std::vector<std::string> log_texts(const std::string& log) {
    std::vector<std::string> texts;
    for (size_t start = 0; start < log.size();) {
        const size_t end = log.find("\r\n", start);
        // "[YYYY-MM-DD hh:mm:ss] " is 22 characters.
        texts.push_back(log.substr(start + 22, end - start - 22));
        start = end + 2;
    }
    return texts;
}

TEST_F(BackupRun, LayoutLogsAndCommitOfCompletedRuns) {
    make_tree();
    write_job("incremental(3)");
    const CommandResult first = vesk();
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_TRUE(first.out.ends_with("VESK exiting.\n"));

    const auto runs = run_directories();
    ASSERT_EQ(runs.size(), 1u);
    const std::string name = runs[0].filename().string();
    ASSERT_EQ(name.size(), 19u);
    EXPECT_TRUE(name.ends_with("_inc"));
    // The name is the UTC time of the run.
    const std::time_t t = std::time(nullptr);
    char expected_day[9];
    std::strftime(expected_day, sizeof expected_day, "%Y%m%d", std::gmtime(&t));
    EXPECT_EQ(name.substr(0, 8), expected_day);
    EXPECT_TRUE(fs::is_regular_file(runs[0] / "log.txt"));
    EXPECT_TRUE(fs::is_regular_file(runs[0] / "index.db"));
    EXPECT_TRUE(fs::is_regular_file(runs[0] / "listfile.echo.lst"));
    EXPECT_EQ(listed(), (std::vector<std::string>{"a.txt", "b.tmp", "cache/e.txt", "sub/c.txt",
                                                  "sub/deep/d.txt"}));

    const auto run_log = log_texts(read_file(runs[0] / "log.txt"));
    EXPECT_EQ(run_log.front(), "Runlog created.");
    EXPECT_EQ(run_log.back(), "Closing database.");
    EXPECT_NE(std::find(run_log.begin(), run_log.end(), "Marked 0 items as failed backup."),
              run_log.end());
    const std::string job_log = read_file(destination() / "backuplog.txt");
    EXPECT_EQ(log_texts(job_log),
              (std::vector<std::string>{"Starting backup from '" + source().string() + "' to '" +
                                            runs[0].string() + "'.",
                                        "Backup procedure completed."}));
    // The committed index records the run with its version and job text.
    const fs::path job_db = destination() / "backupindex.db";
    EXPECT_EQ(sql_value(job_db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(read_file(job_db), read_file(runs[0] / "index.db"));

    // The run ends with its figures, before the closing line.
    EXPECT_EQ(run_log[run_log.size() - 3], "Summary: 5 files listed (26 bytes), 5 stored, 0 "
                                           "failed, 0 left out for their names, 0 skipped by "
                                           "the scan.");
    EXPECT_TRUE(run_log[run_log.size() - 2].starts_with("Time in seconds: scan "));
    EXPECT_NE(run_log[run_log.size() - 2].find(", 'echo' archiving "), std::string::npos);

    // An unchanged second run lists nothing; the job log gains exactly two lines.
    const CommandResult second = vesk();
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(log_texts(read_file(destination() / "backuplog.txt")).size(), 4u);
    EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit"));
    // A run right after it, most likely in the same second, takes the next second's name.
    const CommandResult third = run_command({VESK_BINARY, "--cfg", job().string()});
    EXPECT_EQ(third.status, 0) << third.out << third.err;
    EXPECT_EQ(run_directories().size(), 3u);
}

TEST_F(BackupRun, DryRunLeavesTheJobIndexAlone) {
    make_tree();
    write_job("incremental(1)");
    ASSERT_EQ(vesk().status, 0);
    const std::string committed = read_file(destination() / "backupindex.db");
    write_file(source() / "new.txt", "new");
    const CommandResult dry = vesk({"--dry"});
    ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
    EXPECT_EQ(read_file(destination() / "backupindex.db"), committed);
    const auto run_log = log_texts(read_file(run_directories().back() / "log.txt"));
    ASSERT_GE(run_log.size(), 2u);
    EXPECT_EQ(run_log[run_log.size() - 2], "Closing database.");
    EXPECT_EQ(run_log.back(), "Backup index NOT commited because this is a dry run.");
    EXPECT_NE(std::find(run_log.begin(), run_log.end(), "Skipping archiving step."), run_log.end());
    EXPECT_EQ(listed(), std::vector<std::string>{"new.txt"});
    EXPECT_TRUE(log_texts(read_file(destination() / "backuplog.txt")).back() ==
                "Backup procedure completed.");
}

TEST_F(BackupRun, FailedStartsChangeNothing) {
    write_job("incremental(1)");
    // A missing source stops the run before anything is created.
    const CommandResult missing = vesk();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "Error: The specified source_dir cannot be found. '" + source().string() + "'\n");
    EXPECT_FALSE(fs::exists(destination()));

    make_tree();
    // An empty destination would put the job's files into the current directory.
    write_file(job(),
               "source_dir(\"" + source().string() + "\")\ndestination_dir(\"\")\n" + echo_format);
    const CommandResult empty = vesk();
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "Error: The specified destination_dir is empty.\n");

    write_job("incremental(1)");
    ASSERT_EQ(vesk().status, 0);
    const std::string committed = read_file(destination() / "backupindex.db");
    const std::string job_log = read_file(destination() / "backuplog.txt");

    // A run directory that already exists for this second.
    const std::time_t t = std::time(nullptr) + 2;
    for (std::time_t s = t - 1; s <= t + 2; ++s) {
        char name[32];
        std::strftime(name, sizeof name, "%Y%m%d_%H%M%S_inc", std::gmtime(&s));
        fs::create_directories(destination() / name);
    }
    std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(t));
    const CommandResult clash = vesk();
    EXPECT_EQ(clash.status, 1);
    EXPECT_TRUE(clash.err.starts_with("Error: The directory/file already exists. Delete '" +
                                      destination().string() + "/"))
        << clash.err;
    EXPECT_TRUE(clash.err.ends_with("' to proceed. \n"));

    // Another run holding the destination.
    {
        auto lock = VfsDirectoryLock::try_lock(VfsPath(true, destination().string()));
        ASSERT_TRUE(lock);
        const CommandResult busy = vesk();
        EXPECT_EQ(busy.status, 1);
        EXPECT_NE(busy.err.find(destination().string()), std::string::npos) << busy.err;
    }
    EXPECT_EQ(read_file(destination() / "backupindex.db"), committed);
    EXPECT_EQ(read_file(destination() / "backuplog.txt"), job_log);

    // A dry run checks what the archivers need, as a real run does before its scan.
    for (const fs::path& run : run_directories()) {
        fs::remove_all(run); // the clashing names made above
    }
    const struct {
        const char* method;
        const char* error;
    } broken[] = {
        {R"j(archive(executable("no-such-archiver"), arguments(""), filepattern("(.*)", 1)))j",
         "program 'no-such-archiver' cannot be found or is not executable."},
        {R"j(archive(executable("cat"), arguments(""), workdir("%srcdir%/none"),
                     filepattern("(.*)", 1)))j",
         "working directory '"},
        {R"j(archive(executable("cat"), arguments(""), filepattern("(.*", 1)))j",
         "Regex_exception: "},
        {R"j(archive(executable("cat"), arguments(""), filepattern("(.*)", 2)))j",
         "The filepattern '(.*)' has no capture group 2."},
        {R"j(archive(executable("cat"), arguments("")),
             verify(executable("cat"), arguments(""), filepattern("%nope%", 1)))j",
         "The variable '%nope%' does not exists"},
    };
    for (const auto& c : broken) {
        write_job("incremental(1)", std::string("select_format(format(\"f\"))\n") +
                                        "format_specification(\"f\", " + c.method + ")");
        const CommandResult dry = vesk({"--dry"});
        EXPECT_EQ(dry.status, 1) << c.method;
        EXPECT_TRUE(dry.err.starts_with("Error: Format 'f', ")) << dry.err;
        EXPECT_NE(dry.err.find(c.error), std::string::npos) << dry.err;
        EXPECT_EQ(dry.out.find("Completed scanning."), std::string::npos) << c.method;
    }
}

TEST_F(BackupRun, DestinationInsideTheSourceIsNotBackedUp) {
    make_tree();
    const std::string inside = (source() / "backups").string();
    const std::string job_start = "source_dir(\"" + source().string() + "\")\nmode(full())\n";
    write_file(job(), job_start + "destination_dir(\"" + inside + "\")\n" + echo_format);
    ASSERT_EQ(vesk().status, 0);
    ASSERT_EQ(vesk().status, 0);
    std::vector<std::string> runs;
    for (const auto& entry : fs::directory_iterator(inside)) {
        runs.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(runs.size(), 4u); // two runs, the job log and the job index
    std::sort(runs.begin(), runs.end());
    const std::string text = read_file(fs::path(inside) / runs[1] / "listfile.echo.lst");
    EXPECT_EQ(text.find("backups"), std::string::npos) << text;
    EXPECT_NE(read_file(fs::path(inside) / runs[1] / "log.txt").find("backup destination"),
              std::string::npos);

    // The source itself as destination is refused before anything is written.
    write_file(job(), job_start + "destination_dir(\"" + source().string() + "\")\n" + echo_format);
    const CommandResult same = vesk();
    EXPECT_EQ(same.status, 1);
    EXPECT_NE(same.err.find("is the source_dir itself"), std::string::npos) << same.err;
    EXPECT_FALSE(fs::exists(source() / "backuplog.txt"));
}

TEST_F(BackupRun, SelectionListsOverARealTree) {
    make_tree();
    write_job("full()", R"(
select_dirs(exclude(name("cache")))
select_files(include(), exclude(name("*.tmp")), include(path("keep/**")))
)" + echo_format);
    write_file(source() / "keep/x.tmp", "kept");
    ASSERT_EQ(vesk().status, 0);
    EXPECT_EQ(listed(),
              (std::vector<std::string>{"a.txt", "keep/x.tmp", "sub/c.txt", "sub/deep/d.txt"}));
}

TEST_F(BackupRun, FullWindowAndRollingModes) {
    make_tree();
    const std::vector<std::string> everything{"a.txt", "b.tmp", "cache/e.txt", "sub/c.txt",
                                              "sub/deep/d.txt"};
    write_job("full()");
    ASSERT_EQ(vesk().status, 0);
    ASSERT_EQ(vesk().status, 0);
    EXPECT_EQ(listed(), everything);
    EXPECT_TRUE(run_directories().back().string().ends_with("_full"));

    fs::remove_all(destination());
    write_job("window(3)");
    std::vector<size_t> counts;
    for (int run = 1; run <= 5; ++run) {
        write_file(source() / ("w" + std::to_string(run)), "w");
        ASSERT_EQ(vesk().status, 0);
        counts.push_back(listed().size());
    }
    // Runs 1 and 4 are full; the others list only the new file.
    EXPECT_EQ(counts, (std::vector<size_t>{6, 1, 1, 9, 1}));
    EXPECT_TRUE(run_directories().back().string().ends_with("_win"));

    fs::remove_all(destination());
    write_job("rolling(2)");
    ASSERT_EQ(vesk().status, 0); // run 1 stores everything
    write_file(source() / "r2", "r");
    ASSERT_EQ(vesk().status, 0); // run 2 stores r2
    EXPECT_EQ(listed(), std::vector<std::string>{"r2"});
    ASSERT_EQ(vesk().status, 0); // run 3 stores again what run 1 stored
    std::vector<std::string> third = listed();
    EXPECT_EQ(third.size(), everything.size() + 5);
    EXPECT_EQ(std::count(third.begin(), third.end(), "r2"), 0);
    ASSERT_EQ(vesk().status, 0); // run 4: r2 was stored two runs ago
    EXPECT_EQ(listed(), std::vector<std::string>{"r2"});
    EXPECT_TRUE(run_directories().back().string().ends_with("_roll"));
}

// Every entry below `dir`, not following links: "L target" for a link, the content of a file.
std::map<std::string, std::string> tree_of(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string path = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink())
            tree[path] = "L " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            tree[path] = read_file(entry.path());
    }
    return tree;
}

// The example jobs, with their paths filled in, over a tree full of symbolic links: every link is
// stored as a link and confirmed, nothing outside the source is reached, and a restore by hand
// gives the links back.
TEST_F(BackupRun, ExampleJobsStoreSymbolicLinksAsLinks) {
    const fs::path outside = scratch_ / "outside";
    write_file(outside / "secret.txt", "outside");
    write_file(source() / "docs/read me.txt", "inside");
    write_file(source() / "Gr\xC3\xBC\xC3\x9F"
                          "e/na\xC3\xAFve.txt",
               "non-ASCII");
    fs::create_hard_link(source() / "docs/read me.txt", source() / "hard.txt");
    for (const auto& [name, target] :
         std::map<std::string, std::string>{{"to file", "docs/read me.txt"},
                                            {"docs/to dir", "../Gr\xC3\xBC\xC3\x9F"
                                                            "e"},
                                            {"docs/up", ".."},
                                            {"loop", "loop"},
                                            {"dangling \xC3\x9F", "nowhere"},
                                            {"out-rel", "../outside"},
                                            {"out-abs", outside.string()}}) {
        fs::create_symlink(target, source() / name);
    }
    const std::map<std::string, std::string> source_tree = tree_of(source());
    for (const std::string format : {"7z", "tar"}) {
        std::string text = read_file(fs::path(VESK_SOURCE_DIR) / "examples" /
                                     (format == "7z" ? "7zip.job" : "tar-verify.job"));
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"/path/to/source", source()},
              {"/path/to/backups", destination()},
              {"/path/to/examples", std::string(VESK_SOURCE_DIR) + "/examples"}}) {
            for (size_t at; (at = text.find(from)) != std::string::npos;)
                text.replace(at, from.size(), to);
        }
        fs::remove_all(destination());
        write_file(job(), text);
        const CommandResult first = vesk();
        ASSERT_EQ(first.status, 0) << first.out << first.err;
        // Two directories and ten files (the links among them): nothing through a link.
        EXPECT_EQ(sql_value(destination() / "backupindex.db", "SELECT count(*) FROM objects"),
                  "12");

        const fs::path archive = run_directories().back() / ("data." + format + "." + format);
        const fs::path restored = scratch_ / ("restored-" + format);
        fs::create_directories(restored);
        const CommandResult restore =
            format == "7z"
                ? run_command({"7z", "x", "-snld20", "-o" + restored.string(), archive.string()})
                : run_command({"tar", "-xf", archive.string(), "-C", restored.string()});
        ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
        std::map<std::string, std::string> restored_tree = tree_of(restored);
        if (format == "7z") {
            // 7-Zip recreates a link with an absolute target below the output directory; the
            // archive holds the target as it was.
            EXPECT_EQ(run_command({"7z", "x", "-so", archive.string(), "out-abs"}).out,
                      outside.string());
            restored_tree["out-abs"] = source_tree.at("out-abs");
        }
        EXPECT_EQ(restored_tree, source_tree);

        // The next run after a link got a new target and a link was added stores just those.
        fs::remove(source() / "to file");
        fs::create_symlink("hard.txt", source() / "to file");
        fs::create_symlink("docs", source() / "new link");
        const CommandResult next = vesk();
        ASSERT_EQ(next.status, 0) << next.out << next.err;
        EXPECT_EQ(listed(format), (std::vector<std::string>{"new link", "to file"}));
        fs::remove(source() / "new link");
        fs::remove(source() / "to file");
        fs::create_symlink("docs/read me.txt", source() / "to file");
    }
}

TEST_F(BackupRun, UnconfirmedFilesGiveExitStatusTwo) {
    make_tree();
    // The archiver reports only .txt files; nothing retries the rest.
    write_job("incremental(1)", R"(
select_format(format("half"))
format_specification("half", archive(executable("grep"), arguments("txt ""%listfile%"""),
                                     filepattern("^(.*)$", 1))))");
    const CommandResult result = vesk();
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    EXPECT_NE(result.out.find("Marked 1 items as failed backup."), std::string::npos);
    EXPECT_TRUE(result.out.ends_with("VESK exiting.\n"));
    // The failed file is listed again by the next run, and only it.
    EXPECT_EQ(read_file(run_directories().back() / "failedfiles.txt"), "b.tmp\r\n");
    EXPECT_NE(result.out.find("The files that failed are named in '" +
                              (run_directories().back() / "failedfiles.txt").string() + "'"),
              std::string::npos);
    EXPECT_EQ(vesk().status, 2);
    EXPECT_EQ(listed("half"), std::vector<std::string>{"b.tmp"});

    // A directory the scan cannot read ends the run with status 2 as well. Run as an
    // unprivileged user, for whom a directory without permissions is unreadable.
    write_file(source() / "locked/x.txt", "x");
    write_job("incremental(1)");
    ASSERT_EQ(run_command({"chown", "-R", "65534:65534", scratch_.path().string()}).status, 0);
    fs::permissions(source() / "locked", fs::perms::none);
    const CommandResult locked =
        vesk({}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(locked.status, 2) << locked.out << locked.err;
    EXPECT_NE(locked.out.find("1 entries were skipped by the scan"), std::string::npos);
}

} // namespace
} // namespace vesk
