#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/logging.h"
#include "platform/vfs.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// "[YYYY-MM-DD hh:mm:ss] " + text + CR LF, the digits checked by position.
bool is_file_line(std::string_view line, std::string_view text) {
    std::string shape(line.substr(0, 22));
    std::replace_if(shape.begin(), shape.end(), ::isdigit, 'd');
    return shape == "[dddd-dd-dd dd:dd:dd] " &&
           line.substr(std::min<size_t>(22, line.size())) == std::string(text) + "\r\n";
}

std::string stamp_now() {
    return format_timestamp(now()).substr(0, 19);
}

TEST(Logger, LinesGoToConsoleWithoutCrLfAndAreAppendedToTheFile) {
    ScratchDir dir;
    const std::string file = dir / "log.txt";
    write_file(file, "earlier line\r\n");
    const Logger logger(file);

    const std::string before = stamp_now();
    ::testing::internal::CaptureStdout();
    logger.log("Runlog created.");
    logger.log("Copied '%s' (%s bytes, %s files).", std::string("a b/ü"), uint32_t{4096},
               int64_t{-7});
    const std::string console = ::testing::internal::GetCapturedStdout();
    const std::string after = stamp_now();

    const std::string content = read_file(file);
    ASSERT_TRUE(content.starts_with("earlier line\r\n"));
    const std::string lines = content.substr(14);
    const std::string first = lines.substr(0, lines.find('\n') + 1);
    const std::string second = lines.substr(first.size());
    EXPECT_TRUE(is_file_line(first, "Runlog created.")) << first;
    EXPECT_TRUE(is_file_line(second, "Copied 'a b/ü' (4096 bytes, -7 files).")) << second;
    const std::string stamp = first.substr(1, 19);
    EXPECT_LE(before, stamp);
    EXPECT_GE(after, stamp);

    std::string expected_console =
        first.substr(0, first.size() - 2) + "\n" + second.substr(0, second.size() - 2) + "\n";
    EXPECT_EQ(console, expected_console);
}

// Without a file name, or when the file cannot be opened, lines go to the console only, with
// the failure printed and never thrown.
TEST(Logger, ConsoleOnlyWhenNoFileIsWritten) {
    ScratchDir dir;
    const std::string missing = dir / "no such dir" / "log.txt";
    const std::string directory = dir.path();
    ASSERT_EQ(::chdir(directory.c_str()), 0);
    ::testing::internal::CaptureStdout();
    Logger("").log("%s", "console only");
    Logger(missing).log("still on the console %s", 1);
    Logger(directory).log("a directory is not a log file");
    const std::string console = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 0);

    const std::string missing_error = "VfsFile.CreateOrOpen failed on '" + missing +
                                      "' Details: " + system_error_text(ENOENT) + "\n";
    const std::string directory_error = "VfsFile.CreateOrOpen failed on '" + directory +
                                        "' Details: " + system_error_text(EISDIR) + "\n";
    const size_t first_end = console.find('\n') + 1, second_end = console.find('\n', first_end) + 1;
    EXPECT_TRUE(console.substr(0, first_end).ends_with("] console only\n"));
    EXPECT_TRUE(console.substr(0, second_end).ends_with("] still on the console 1\n"));
    EXPECT_EQ(console.substr(second_end, missing_error.size()), missing_error);
    EXPECT_TRUE(console.ends_with(directory_error)) << console;
}

// Several processes appending to one log: every line stays whole.
TEST(Logger, ConcurrentWritersNeverInterleaveLines) {
    ScratchDir dir;
    const std::string file = dir / "shared.txt";
    constexpr int kWriters = 4;
    constexpr int kLines = 300;
    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const Logger logger(file);
            const std::string payload(200 + writer * 50, static_cast<char>('a' + writer));
            for (int line = 0; line < kLines; ++line) {
                ::testing::internal::CaptureStdout(); // keep the test output short
                logger.log("writer %s line %s %s", writer, line, payload);
                ::testing::internal::GetCapturedStdout();
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Every line whole and once: as many distinct lines as were written, each an expected one.
    std::set<std::string> texts;
    size_t count = 0;
    std::istringstream content(read_file(file));
    for (std::string line; std::getline(content, line); ++count) {
        const std::string text = line.substr(22, line.size() - 23);
        ASSERT_TRUE(is_file_line(line + "\n", text)) << line;
        texts.insert(text);
    }
    EXPECT_EQ(count, static_cast<size_t>(kWriters * kLines));
    for (int writer = 0; writer < kWriters; ++writer) {
        const std::string payload(200 + writer * 50, static_cast<char>('a' + writer));
        for (int line = 0; line < kLines; ++line) {
            EXPECT_TRUE(texts.erase(format("writer %s line %s %s", writer, line, payload)));
        }
    }
}

TEST(WindowsError, MessageIsFollowedDirectlyByTheSystemText) {
    const WindowsError error("Failed creating process.", ENOENT);
    EXPECT_STREQ(error.what(), "Failed creating process.No such file or directory");
    EXPECT_EQ(system_error_text(EACCES), "Permission denied");
    EXPECT_EQ(system_error_text(999'999), "");
    const VfsException with_code("Failed deleting 'x'.", ENOENT);
    EXPECT_STREQ(with_code.what(), "Failed deleting 'x'. Details: No such file or directory");
    EXPECT_EQ(with_code.code(), static_cast<uint32_t>(ENOENT));
    EXPECT_STREQ(VfsException("Plain.", 0).what(), "Plain.");
}

} // namespace
} // namespace vesk
