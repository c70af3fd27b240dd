#include "formats/target_format.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <regex>
#include <set>

#include "config/config.h"
#include "index/archive_db.h"
#include "platform/vfs.h"
#include "support/case_file.h"
#include "support/prepared_run.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::count_of;
using testing::read_file;
using testing::run_command;
using testing::ScratchDir;
using testing::write_file;

// A run of a job over a real source tree up to the archiving phase: run directory, logs, a real
// index filled by the real scanner.
class JobRun {
public:
    JobRun() { fs::create_directories(source()); }

    fs::path source() const { return scratch_ / "src"; }
    fs::path destination() const { return scratch_ / "dst"; }
    void add_file(const std::string& path, std::string_view content = "data") {
        write_file(source() / path, content);
    }

    // Parses the job (source, destination and mode are added here) and prepares the run.
    RunContext& start(const std::string& formats, bool dry_run = false) {
        job_text_ = "source_dir(\"" + source().string() + "\") destination_dir(\"" +
                    destination().string() + "\") mode(incremental(0)) " + formats;
        task_.reset();
        config_ = parse_job(job_text_);
        config_->dry_run = dry_run;
        task_ = std::make_unique<testing::PreparedRun>(
            *config_, [](ArchiveDb& db) { return db.add_run("VESK 0.1.0", "test", "job"); });
        // Runs of one test may follow each other within a second: number them instead.
        task_->prepare("run" + std::to_string(++runs_));
        return task_->context();
    }
    void finish() { task_->finish(); }

    std::string log() const { return read_file(task_->run_log_name()); }
    std::string listfile(const std::string& format) const {
        return read_file(fs::path(task_->run_subdir()) / ("listfile." + format + ".lst"));
    }
    fs::path run_dir() const { return task_->run_subdir(); }

    // name -> checksum of the files this run's archives hold, read straight from the index
    // file. Closes the run's index first, since it may hold the file exclusively.
    std::map<std::string, std::string> confirmed() const {
        task_->db().close();
        std::istringstream rows(
            run_command({"sqlite3", "-readonly", task_->run_db_name(),
                         "SELECT o.name, coalesce(o.checksum, '') FROM objects o JOIN archives a "
                         "ON o.archive = a.id WHERE a.run_id = (SELECT max(id) FROM runs)"})
                .out);
        std::map<std::string, std::string> files;
        for (std::string row; std::getline(rows, row);) {
            files[row.substr(0, row.rfind('|'))] = row.substr(row.rfind('|') + 1);
        }
        return files;
    }

    // Paths ("dir/name") that the index still lists as not confirmed.
    std::vector<std::string> unconfirmed() {
        std::vector<std::string> paths;
        task_->db().list_objects(
            [&](std::string_view dir, std::string_view name, uint32_t, int64_t, int64_t) {
                paths.push_back(dir.empty() ? std::string(name)
                                            : std::string(dir) + "/" + std::string(name));
            });
        std::sort(paths.begin(), paths.end());
        return paths;
    }

private:
    ScratchDir scratch_;
    std::string job_text_;
    std::unique_ptr<Config> config_;
    std::unique_ptr<testing::PreparedRun> task_;
    int runs_ = 0;
};

std::string sorted_lines(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.insert(line + "\n");
    }
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

// A format whose archiver is the shell command `command`; its output lines matching `pattern`
// name the files stored.
std::string sh_format(const std::string& name, const std::string& command,
                      const std::string& pattern = "^\\+ (.*)$") {
    return "format_specification(\"" + name +
           "\", archive(executable(\"sh\"), arguments(\"-c \"\"" + command +
           "\"\"\"), filepattern(\"" + pattern + "\", 1))) ";
}

// An archiver that reports every list-file line as stored, optionally leaving some out.
std::string reporting_format(const std::string& name, const std::string& shell_filter = "cat") {
    return sh_format(name, shell_filter + " '%listfile%' | sed 's/^/+ /'");
}

// Each substring of `expected` occurs in `log`.
void expect_logged(const std::string& log, const std::vector<std::string>& expected) {
    for (const std::string& part : expected) {
        EXPECT_NE(log.find(part), std::string::npos) << part;
    }
}

// Output cut into lines (see tests/data/output_lines_cases.txt); a new line handler takes over.
TEST(TextOutputToLines, CutsChunksAtSingleLineBreaksAndDropsOverlongLines) {
    testing::check_cases(
        "output_lines_cases.txt",
        {{"lines", [](std::string_view text) {
              std::string lines;
              const auto chunk_end = [&](size_t at) {
                  return std::min(text.find('|', at), text.size());
              };
              TextOutputToLinesHandler splitter(
                  [&](std::string_view line) { lines += "[" + std::string(line) + "]"; },
                  std::stoul(std::string(text.substr(0, chunk_end(0)))));
              for (size_t at = chunk_end(0); at < text.size(); at = chunk_end(at + 1)) {
                  splitter.feed(text.substr(at + 1, chunk_end(at + 1) - at - 1));
              }
              lines += " flush:";
              splitter.flush();
              splitter.flush();
              std::string second;
              splitter.set_line_handler([&](std::string_view line) { second = line; });
              splitter.feed("y\n");
              EXPECT_EQ(second, "y");
              return lines + " dropped " + std::to_string(splitter.dropped_lines()) + " " +
                     std::to_string(splitter.dropped_bytes());
          }}});
}

// One handler of a run with one format.
class TargetFormatHandlerTest : public ::testing::Test {
protected:
    JobRun run;
    RunContext& task = run.start(reporting_format("zip") + "select_format(format(\"zip\"))");
    TargetFormatHandler handler{task, *task.config.format_specifications[0]};
};

TEST_F(TargetFormatHandlerTest, ExpandsVariables) {
    const std::string dir = task.run_subdir;
    EXPECT_EQ(handler.listfile_path(), dir + "/listfile.zip.lst");
    EXPECT_EQ(handler.archive_path(), dir + "/data.zip");
    EXPECT_EQ(handler.expand_variables("%listfile% --x %%"), dir + "/listfile.zip.lst --x %");
    EXPECT_EQ(handler.expand_variables("%dstdir%|%srcdir%|%archive%|%listfile16%"),
              dir + "|" + run.source().string() + "|" + dir + "/data.zip|" + dir +
                  "/listfile.zip.lst");
    EXPECT_EQ(handler.expand_variables("100%"), "100%");
    EXPECT_EQ(handler.expand_variables(""), "");

    // An inserted value is not expanded again.
    task.source_path = "/x/%dstdir%";
    EXPECT_EQ(handler.expand_variables("[%srcdir%]"), "[/x/%dstdir%]");

    for (const std::string variable : {"%LISTFILE%", "% of %"}) {
        const std::string message = "The variable '" + variable + "' does not exists";
        EXPECT_EQ(
            testing::outcome_of([&] { return handler.expand_variables("50" + variable + "x"); }),
            message);
        expect_logged(run.log(), {message + ":\r\n"});
    }
}

// Lines are written in blocks; a list file of many blocks holds every line once, in order. Names
// with a line break cannot be listed and are logged instead.
TEST_F(TargetFormatHandlerTest, WritesListFileLinesAndLeavesOutLineBreakNames) {
    handler.open_listfile();
    // The open listfile is held exclusively: another opener cannot even share it.
    const int probe = ::open(handler.listfile_path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_SH | LOCK_NB), 0);
    ::close(probe);

    handler.add_entry("", "root.txt");
    handler.add_entry("a/b", "c d.txt");
    handler.add_entry("a", "bad\nname");
    handler.add_entry("we\rird", "x");
    handler.add_entry("", "\xC3\xBC\\x.txt");
    std::string expected = "root.txt\r\na/b/c d.txt\r\n\xC3\xBC\\x.txt\r\n";
    for (int i = 0; i < 15000; ++i) {
        const std::string dir = "dir" + std::to_string(i / 100);
        handler.add_entry(dir, "file " + std::to_string(i) + ".txt");
        expected += dir + "/file " + std::to_string(i) + ".txt\r\n";
    }
    handler.close_listfile();

    EXPECT_GT(expected.size(), 4u * 64 * 1024);
    EXPECT_EQ(run.listfile("zip"), expected);
    EXPECT_EQ(handler.entry_count(), 15003u);
    EXPECT_EQ(handler.unlistable_count(), 2u);
    expect_logged(run.log(),
                  {"Opened listfile '" + handler.listfile_path() + "' for writing.",
                   "Closed listfile '" + handler.listfile_path() + "' with 15003 entries.",
                   "a line break: 'a/bad\\x0Aname'.", "a line break: 'we\\x0Dird/x'."});
}

TEST(TargetFormatHandler, ConfirmsTheFilesOutputLinesName) {
    JobRun run;
    for (const char* name : {"root.txt", "a\\b.txt", "a/b/c.txt", "d/e.txt", "lat\xE9.txt"}) {
        run.add_file(name);
    }
    RunContext& task = run.start(reporting_format("zip") + "select_format(format(\"zip\"))");
    TargetFormatHandler handler(task, *task.config.format_specifications[0]);
    handler.ensure_format_id();
    handler.use_file_pattern("^\\+ (.*?)(?: \\[([0-9a-f]+)\\])?$", 1, 2);
    for (const char* line : {"+ a/b/c.txt [0badc0de]", "+ a\\b.txt", "+ d\\e.txt",
                             "+ nowhere/x.txt [11]", "+ root.txt", "garbage", "+ lat\xE9.txt"}) {
        handler.on_file_line(line);
    }
    EXPECT_EQ(handler.matched_count(), 6u);
    EXPECT_EQ(run.confirmed(), (std::map<std::string, std::string>{{"c.txt", "0badc0de"},
                                                                   {"a\\b.txt", ""},
                                                                   {"e.txt", ""},
                                                                   {"root.txt", ""},
                                                                   {"lat\xE9.txt", ""}}));
    expect_logged(run.log(), {"Error! The dir: 'nowhere' is not known to the file index."});
    EXPECT_THROW(handler.use_file_pattern("^(a)$", 2, 0), std::runtime_error);
    EXPECT_THROW(handler.use_file_pattern("^(a$", 1, 0), Regex_exception);
}

// ---- Whole archiving phase with real archivers ----

TEST(ArchiveFormats, SevenZipAndTarWithVerifierAndAnUnnamedFormat) {
    JobRun run;
    run.add_file("small/one.txt", "one");
    run.add_file("small/empty.txt", "");
    run.add_file("sp ace/\xC3\xA4\xC3\xB6.txt", "umlauts");
    run.add_file("big.bin", std::string(300'000, 'b'));
    run.add_file("nested/deeper/x.bin", std::string(200'000, 'x'));
    const std::string tools = std::string(VESK_SOURCE_DIR) + "/examples/tools/";
    RunContext& task = run.start(
        R"j(format_specification("7z", archive(executable("7z"),
            arguments("a -spd -scsUTF-8 ""%archive%.7z"" @""%listfile%"""), workdir("%srcdir%")),
            verify(executable("7z"), arguments("t -bb1 ""%archive%.7z"""),
            filepattern("^T (.*)$", 1)))
        format_specification("tar", archive(executable(")j" +
        tools + R"j(tar-store.sh"), arguments("""%archive%.tar"" ""%srcdir%"" ""%listfile%""")),
            verify(executable(")j" +
        tools + R"j(tar-verify.sh"), arguments("""%archive%.tar"""),
            filepattern("^([0-9a-f]{64})  (.*)$", 2, 1)))
        format_specification("unused", archive(executable("sh"),
            arguments("-c ""echo ran > '%dstdir%/unused.ran'"""), filepattern("^never$", 0)))
        select_format(format("7z"), format("tar", larger(100k))))j");

    archive_formats(task);
    EXPECT_EQ(run.unconfirmed(), std::vector<std::string>{});
    EXPECT_EQ(task.summary.unconfirmed_count, 0);
    EXPECT_EQ(sorted_lines(run.listfile("7z")), "small/empty.txt\r\nsmall/one.txt\r\nsp "
                                                "ace/\xC3\xA4\xC3\xB6.txt\r\n");
    EXPECT_EQ(sorted_lines(run.listfile("tar")), "big.bin\r\nnested/deeper/x.bin\r\n");
    EXPECT_EQ(run.listfile("unused"), "");
    EXPECT_TRUE(fs::exists(run.run_dir() / "unused.ran"));

    const auto confirmed = run.confirmed();
    EXPECT_EQ(confirmed.size(), 5u);
    const std::string big_hash =
        run_command({"sha256sum", (run.source() / "big.bin").string()}).out.substr(0, 64);
    EXPECT_EQ(confirmed.at("big.bin"), big_hash);
    EXPECT_EQ(confirmed.at("one.txt"), "");

    // The archives give the files back byte for byte.
    const fs::path restored = run.run_dir() / "restored";
    fs::create_directories(restored);
    EXPECT_EQ(
        run_command({"7z", "x", "-o" + restored.string(), (run.run_dir() / "data.7z.7z").string()})
            .status,
        0);
    EXPECT_EQ(run_command({"tar", "-xf", (run.run_dir() / "data.tar.tar").string(), "-C",
                           restored.string()})
                  .status,
              0);
    EXPECT_EQ(run_command({"diff", "-r", run.source().string(), restored.string()}).status, 0);

    const std::string log = run.log();
    expect_logged(log, {"Completed listfiles, with a total of 5 entries.",
                        "Verified 3 out of 3 files.", "Verified 2 out of 2 files.",
                        "Verified 0 out of 0 files.", "Marked 0 items as failed backup."});
    // Formats run in the job file's order.
    EXPECT_LT(log.find("Executing '7z' archiving"), log.find("Executing 'tar' archiving"));
    EXPECT_LT(log.find("Executing 'tar' verification"), log.find("Executing 'unused' archiving"));
}

TEST(ArchiveFormats, NonZeroExitWithEverythingReportedFailsNothing) {
    JobRun run;
    for (const char* name : {"a.txt", "d/b.txt", "d/line\nbreak.txt"}) {
        run.add_file(name);
    }
    RunContext& task =
        run.start(sh_format("all", "sed 's/^/+ /' '%listfile%'; echo oops >&2; exit 3") +
                  "select_format(format(\"all\"))");
    archive_formats(task);
    // Only the name with a line break, which no list file can hold, stays unconfirmed.
    EXPECT_EQ(run.unconfirmed(), std::vector<std::string>{"d/line\nbreak.txt"});
    EXPECT_EQ(task.summary.unconfirmed_count, 1);
    // Error output and exit code are logged whatever the verbose switches say.
    expect_logged(run.log(), {"Marked 1 items as failed backup.", "'d/line\\x0Abreak.txt'",
                              "Error output:\noops\n\r\n",
                              "The archiving program of 'all' exited with code 3."});
}

TEST(ArchiveFormats, RetriesFailedFilesThroughTheRetryFormat) {
    const std::string skipping = reporting_format("main", "grep -v skip");
    JobRun run;
    run.add_file("keep.txt");
    run.add_file("d/skip1.txt");
    run.add_file("d/skip2.txt");

    RunContext& task = run.start(skipping + reporting_format("retry", "grep -v skip2") +
                                 "select_format(format(\"main\"))");
    archive_formats(task);
    expect_logged(run.log(), {"Marked 2 items as failed backup.", "Retrying the 2 failed entries.",
                              "Completed retry-listfile, with a total of 2 entries."});
    EXPECT_EQ(sorted_lines(run.listfile("retry")), "d/skip1.txt\r\nd/skip2.txt\r\n");
    EXPECT_EQ(run.unconfirmed(), std::vector<std::string>{"d/skip2.txt"});
    EXPECT_EQ(task.summary.unconfirmed_count, 1);
    run.finish();

    // Without a retry format the failures stay marked, and the next run lists them again.
    RunContext& next = run.start(skipping + "select_format(format(\"main\"))");
    EXPECT_EQ(run.unconfirmed(), std::vector<std::string>{"d/skip2.txt"});
    archive_formats(next);
    EXPECT_EQ(next.summary.unconfirmed_count, 1);
    EXPECT_EQ(run.listfile("main"), "d/skip2.txt\r\n");
    EXPECT_FALSE(fs::exists(run.run_dir() / "listfile.retry.lst"));
    EXPECT_EQ(run.log().find("Retrying"), std::string::npos);
}

// A dry run starts no program but still lists; an unknown variable ends the run before any.
TEST(ArchiveFormats, DryRunOrUnknownVariableStartsNoProgram) {
    const auto touching = [](const std::string& name, const std::string& extra) {
        return sh_format(name, "touch '%dstdir%/ran'" + extra, "(.*)");
    };
    JobRun run;
    run.add_file("a.txt");
    RunContext& task =
        run.start(touching("a", "") + touching("retry", "") + "select_format(format(\"a\"))", true);
    archive_formats(task);
    EXPECT_FALSE(fs::exists(run.run_dir() / "ran"));
    const std::string log = run.log();
    EXPECT_EQ(count_of(log, "Skipping archiving step."), 2u);
    EXPECT_EQ(count_of(log, "Skipping verification step."), 2u);
    EXPECT_EQ(run.listfile("retry"), "a.txt\r\n");
    EXPECT_EQ(task.summary.unconfirmed_count, 1);
    run.finish();

    RunContext& bogus = run.start(touching("a", " %bogus%") + "select_format(format(\"a\"))");
    EXPECT_EQ(testing::outcome_of([&] {
                  archive_formats(bogus);
                  return std::string("no error");
              }),
              "The variable '%bogus%' does not exists");
    EXPECT_FALSE(fs::exists(run.run_dir() / "ran"));
    expect_logged(run.log(), {"The variable '%bogus%' does not exists:"});
}

// Archivers that misbehave: every run ends, confirms what was really reported, and keeps its
// memory bounded.
TEST(ArchiveFormats, SurvivesHostileArchivers) {
    const auto format_for = [&](const std::string& name, const std::string& script) {
        return sh_format(name, "exec sh " VESK_TEST_DATA "/archivers/" + script + " '%listfile%'");
    };
    JobRun run;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "lat\xE9.txt"}) {
        run.add_file(name);
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    RunContext& task =
        run.start(format_for("garbage", "garbage.sh") + format_for("longline", "long_line.sh") +
                  format_for("killed", "killed.sh") + format_for("stderr", "stderr_only.sh") +
                  format_for("grandchild", "grandchild.sh") +
                  "select_format(format(\"garbage\"), format(\"longline\", name(\"b.txt\")), "
                  "format(\"killed\", name(\"c.txt\")), format(\"stderr\", name(\"none\")), "
                  "format(\"grandchild\", name(\"none\")))");
    archive_formats(task);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);

    EXPECT_EQ(run.unconfirmed(), std::vector<std::string>{"c.txt"});
    expect_logged(run.log(),
                  {"Dropped 1 output lines longer than 1048576 bytes (100000000 bytes)."});
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024); // kilobytes
}

TEST(ArchiveFormats, ExampleJobsAreValid) {
    for (const char* job : {"7zip.job", "tar-verify.job"}) {
        const std::string text = read_file(fs::path(VESK_SOURCE_DIR) / "examples" / job);
        ASSERT_FALSE(text.empty()) << job;
        const auto config = parse_job(text);
        EXPECT_EQ(config->format_specifications.back()->name, "retry") << job;
        EXPECT_EQ(config->selection_warnings(), std::vector<std::string>{}) << job;
    }
}

} // namespace
} // namespace vesk
