#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/logging.h"
#include "platform/vfs.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::read_file;
using testing::ScratchDir;

// The lines of a log file without their "[YYYY-MM-DD hh:mm:ss] " stamps (whose digits are
// checked by position), each ended by "|"; a line of another form ends the text with "BAD".
std::string unstamped(const std::string& text, const std::string& end = "\r\n") {
    std::string lines;
    for (size_t at = 0, next; at < text.size(); at = next + end.size()) {
        next = std::min(text.find(end, at), text.size());
        std::string shape = text.substr(at, 22);
        std::replace_if(shape.begin(), shape.end(), ::isdigit, 'd');
        if (shape != "[dddd-dd-dd dd:dd:dd] ") {
            return lines + "BAD " + text.substr(at, next - at);
        }
        lines += text.substr(at + 22, next - at - 22) + "|";
    }
    return lines;
}

// Lines are appended to the file with CR LF and go to the console with LF, stamped with the
// current time. Without a file name, or when the file cannot be opened, lines go to the
// console only, with the failure printed and never thrown.
TEST(Logger, LinesGoToConsoleAndAreAppendedToTheFile) {
    ScratchDir dir;
    const std::string file = dir / "log.txt", missing = dir / "no such dir/log.txt";
    testing::write_file(file, "[2000-01-01 00:00:00] earlier line\r\n");
    const std::string before = format_timestamp(now()).substr(0, 19);
    ::testing::internal::CaptureStdout();
    Logger(file).log("Copied '%s' (%s bytes, %s files).", std::string("a b/ü"), uint32_t{4096},
                     int64_t{-7});
    Logger("").log("%s", "console only");
    Logger(missing).log("still on the console %s", 1);
    Logger(dir.path()).log("a directory is not a log file");
    const std::string console = ::testing::internal::GetCapturedStdout();
    const std::string after = format_timestamp(now()).substr(0, 19);

    const std::string content = read_file(file);
    EXPECT_EQ(unstamped(content), "earlier line|Copied 'a b/ü' (4096 bytes, -7 files).|");
    const std::string stamp = content.substr(content.find("\r\n[") + 3, 19);
    EXPECT_LE(before, stamp);
    EXPECT_GE(after, stamp);
    EXPECT_TRUE(console.starts_with(content.substr(36, content.size() - 38) + "\n"));
    EXPECT_FALSE(std::filesystem::exists(dir / "no such dir"));
    EXPECT_EQ(unstamped(console, "\n"),
              "Copied 'a b/ü' (4096 bytes, -7 files).|console only|still on the console 1|BAD "
              "VfsFile.CreateOrOpen failed on '" +
                  missing + "' Details: " + system_error_text(ENOENT));
    EXPECT_TRUE(console.ends_with("VfsFile.CreateOrOpen failed on '" + dir.path().string() +
                                  "' Details: " + system_error_text(EISDIR) + "\n"))
        << console;
}

// Several processes appending to one log: every line stays whole.
TEST(Logger, ConcurrentWritersNeverInterleaveLines) {
    ScratchDir dir;
    const std::string file = dir / "shared.txt";
    const auto payload = [](int writer) {
        return std::string(200 + writer * 50, static_cast<char>('a' + writer));
    };
    std::vector<pid_t> children;
    for (int writer = 0; writer < 4; ++writer) {
        children.push_back(::fork());
        if (children.back() == 0) {
            ::testing::internal::CaptureStdout(); // keep the test output short
            const Logger logger(file);
            for (int line = 0; line < 300; ++line) {
                logger.log("writer %s line %s %s", writer, line, payload(writer));
            }
            ::_exit(0);
        }
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Every line whole and once.
    std::multiset<std::string> expected;
    for (int writer = 0; writer < 4; ++writer) {
        for (int line = 0; line < 300; ++line) {
            expected.insert(format("writer %s line %s %s", writer, line, payload(writer)));
        }
    }
    std::multiset<std::string> seen;
    std::istringstream lines(unstamped(read_file(file)));
    for (std::string line; std::getline(lines, line, '|');) {
        seen.insert(line);
    }
    EXPECT_TRUE(seen == expected);
}

TEST(WindowsError, MessageIsFollowedDirectlyByTheSystemText) {
    EXPECT_STREQ(WindowsError("Failed creating process.", ENOENT).what(),
                 "Failed creating process.No such file or directory");
    EXPECT_EQ(system_error_text(EACCES), "Permission denied");
    EXPECT_EQ(system_error_text(999'999), "");
    const VfsException with_code("Failed deleting 'x'.", ENOENT);
    EXPECT_STREQ(with_code.what(), "Failed deleting 'x'. Details: No such file or directory");
    EXPECT_EQ(with_code.code(), static_cast<uint32_t>(ENOENT));
    EXPECT_STREQ(VfsException("Plain.", 0).what(), "Plain.");
}

} // namespace
} // namespace vesk
