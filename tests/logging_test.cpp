#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>
#include <thread>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/logging.h"
#include "platform/vfs.h"
#include "support/run_command.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vesk {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::utf8;

#ifdef _WIN32
constexpr uint32_t kNotFound = 3, kDirectory = 5; // no such path; a directory opened as a file
// Wine appends through a handle opened for appending only as a seek and a write, so concurrent
// appenders overwrite each other there; Windows itself appends each write whole.
bool under_wine() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}
#else
constexpr uint32_t kNotFound = ENOENT, kDirectory = EISDIR;
#endif

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
    const std::string file = utf8(dir / "log.txt"), missing = utf8(dir / "no such dir/log.txt");
    testing::write_file(file, "[2000-01-01 00:00:00] earlier line\r\n");
    const std::string before = format_timestamp(now()).substr(0, 19);
    ::testing::internal::CaptureStdout();
    Logger(file).log("Copied '%s' (%s bytes, %s files).", std::string("a b/ü"), uint32_t{4096},
                     int64_t{-7});
    Logger("").log("%s", "console only");
    Logger(missing).log("still on the console %s", 1);
    Logger(utf8(dir.path())).log("a directory is not a log file");
    const std::string console = ::testing::internal::GetCapturedStdout();
    const std::string not_found = system_error_text(kNotFound); // on Windows with CR LF
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
                  missing + "' Details: " + not_found.substr(0, not_found.find('\n')));
    EXPECT_TRUE(console.ends_with("VfsFile.CreateOrOpen failed on '" + utf8(dir.path()) +
                                  "' Details: " + system_error_text(kDirectory) + "\n"))
        << console;
}

// Several writers, each with a logger of its own, appending to one log: every line stays whole
// and is there once.
TEST(Logger, ConcurrentWritersNeverInterleaveLines) {
#ifdef _WIN32
    if (under_wine()) {
        GTEST_SKIP() << "Wine does not append atomically";
    }
#endif
    ScratchDir dir;
    const std::string file = utf8(dir / "shared.txt");
    std::vector<std::string> lines;
    for (int i = 0; i < 1200; ++i) { // writer i / 300 writes 300 lines of its own length
        lines.push_back(format("line %s %s", i, std::string(200 + i / 300 * 50, 'a' + i / 300)));
    }
    ::testing::internal::CaptureStdout(); // keep the test output short
    for (std::vector<std::jthread> writers; writers.size() < 4;) {
        writers.emplace_back([&, first = writers.size() * 300] {
            const Logger logger(file);
            for (size_t i = first; i < first + 300; ++i) {
                logger.log("%s", lines[i]);
            }
        });
    }
    ::testing::internal::GetCapturedStdout();
    std::multiset<std::string> seen, expected(lines.begin(), lines.end());
    std::istringstream logged(unstamped(read_file(file)));
    for (std::string line; std::getline(logged, line, '|');) {
        seen.insert(line);
    }
    EXPECT_TRUE(seen == expected);
}

// An unknown code adds no text, and a failure without a code no details. (The system's texts
// after a message show in the start failures of the subprocess cases and in every failure of the
// vfs cases, which also check the code an exception carries.)
TEST(WindowsError, UnknownOrNoCodeAddsNothing) {
    EXPECT_EQ(system_error_text(999'999), "");
    EXPECT_STREQ(WindowsError("Plain.", 999'999).what(), "Plain.");
    EXPECT_STREQ(VfsException("Plain.", 0).what(), "Plain.");
}

} // namespace
} // namespace vesk
