#include "formats/target_format.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config/config.h"
#include "support/case_file.h"
#include "support/prepared_run.h"
#include "support/run_command.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

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

// The handler of the one format of a run prepared up to the archiving phase.
class TargetFormatHandlerTest : public ::testing::Test {
protected:
    std::string log() const { return read_file(run->run_log_name()); }

    testing::ScratchDir scratch;
    std::unique_ptr<Config> config =
        parse_job("source_dir(\"" + (scratch / "src").generic_string() + "\") destination_dir(\"" +
                  (scratch / "dst").generic_string() +
                  "\") mode(incremental(0)) select_format(format(\"zip\")) " +
                  "format_specification(\"zip\", archive(executable(\"sh\"), arguments(\"x\"), "
                  "filepattern(\"(.*)\", 1)))");
    std::unique_ptr<testing::PreparedRun> run = [this] {
        fs::create_directories(scratch / "src");
        auto prepared = std::make_unique<testing::PreparedRun>(
            *config, [](ArchiveDb& db) { return db.add_run("VESK 0.1.0", "test", "job"); });
        prepared->prepare("run");
        return prepared;
    }();
    RunContext& task = run->context();
    TargetFormatHandler handler{task, *task.config.format_specifications[0]};
};

// Variables in archiver arguments (see tests/data/format_variables_cases.txt).
TEST_F(TargetFormatHandlerTest, ExpandsVariables) {
    task.source_path = "/src%dstdir%"; // an inserted value is not expanded again
    testing::check_cases("format_variables_cases.txt",
                         {{"expand", [&](std::string_view text) {
                               return testing::replace_all(
                                   handler.expand_variables(std::string(text)), task.run_subdir,
                                   "@RUN@");
                           }}});
    EXPECT_NE(log().find("] The variable '% of %' does not exists:\r\n"), std::string::npos);
}

// Lines are written in blocks; a list file of many blocks holds every line once, in order. Names
// with a line break cannot be listed and are logged instead.
TEST_F(TargetFormatHandlerTest, WritesListFileLinesAndLeavesOutLineBreakNames) {
    handler.open_listfile();
    // The open listfile is held exclusively: no other writer gets it (on POSIX not even a reader
    // wanting a shared lock).
#ifdef _WIN32
    EXPECT_FALSE(std::ofstream(handler.listfile_path(), std::ios::app).is_open());
#else
    const int probe = ::open(handler.listfile_path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_SH | LOCK_NB), 0);
    ::close(probe);
#endif

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
    EXPECT_EQ(read_file(handler.listfile_path()), expected);
    EXPECT_EQ(handler.entry_count(), 15003u);
    EXPECT_EQ(handler.unlistable_count(), 2u);
    const std::string log_text = log();
    for (const std::string& part :
         {"Opened listfile '" + handler.listfile_path() + "' for writing.",
          "Closed listfile '" + handler.listfile_path() + "' with 15003 entries.",
          std::string("a line break: 'a/bad\\x0Aname'."),
          std::string("a line break: 'we\\x0Dird/x'.")}) {
        EXPECT_NE(log_text.find(part), std::string::npos) << part;
    }
}

} // namespace
} // namespace vesk
