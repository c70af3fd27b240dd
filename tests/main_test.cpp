// The command-line quoting of the entry point (its runs as a program are cases in tests/e2e).

#include "main/main_entry.h"

#include <gtest/gtest.h>

#include "platform/subprocess.h"

using namespace vesk;

TEST(Entry, RecordedCommandLineSplitsBackIntoTheSameArguments) {
    const std::vector<std::string> args{
        "vesk",   "--cfg", "my job.conf", "a\"b",       "trail\\",
        "q\\\"x", "",      "tab\there",   "back\\\\ b", "\xC3\xA4.conf"};
    std::string line;
    for (const std::string& arg : args) {
        line += (line.empty() ? "" : " ") + quote_argument(arg);
    }
    EXPECT_EQ(split_command_line(line), args);
    EXPECT_EQ(quote_argument("plain"), "plain");
    EXPECT_EQ(quote_argument("a b"), "\"a b\"");
}
