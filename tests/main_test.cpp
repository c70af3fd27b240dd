#include "main/main_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/subprocess.h"
#include "support/run_command.h"

using namespace vesk;
using namespace vesk::testing;

namespace {

const std::string banner = "VESK 0.2.0\n\n";
const std::string usage =
    "Vesk\n"
    "Backs up data into a self recovering archive.\n"
    "\n"
    "Usage:\n"
    "    vesk.exe [ <switches> ] jobfile.conf\n"
    "\n"
    "Switches:\n"
    "    --mode [ full | inc ]  Specify the backup mode.\n"
    "            full           Makes full backup, regardless of prior backups.\n"
    "            inc            (Default) Makes incremental backups. If no prior backups, this is "
    "same as full.\n"
    "    --dry                  Do not archive anything. Fast way to test if configuration works "
    "as expected.\n"
    "    --verbose-archiving    Pass through the output from the archive command\n"
    "    --verbose-verification Pass through the output from the verify command\n"
    "\n";
const std::string no_job = "You must specify a '--cfg <cfgfile>' argument.\n";
const std::string no_select_format = "Error: Error: a 'select_format' directive must be "
                                     "specified, and have at least one trivial condition.\n";

CommandResult run_vesk(std::vector<std::string> args) {
    args.insert(args.begin(), VESK_BINARY);
    return run_command(args);
}

} // namespace

TEST(Entry, CommandLineErrorsEndWithStatus127) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases{
        {{}, banner + no_job},
        {{"-h"}, banner + usage + no_job},
        {{"/?", "--help"}, banner + usage + usage + no_job},
        {{"job.conf"}, banner + "The argument 'job.conf' is invalid.\n"},
        {{"--cfg"}, banner + "You must specify a config file following '--cfg'.\n"},
        {{"--dry", "--mode"}, banner + "You must specify a mode following '--mode'.\n"},
        {{"--mode", "weekly", "--cfg", "missing.conf"}, banner + "The mode 'weekly' is invalid.\n"},
        {{"--bogus", "--cfg", "job.conf"}, banner + "The argument '--bogus' is invalid.\n"},
        {{"--cfg", ""}, banner + no_job},
        {{"--Dry"}, banner + "The argument '--Dry' is invalid.\n"},
        {{"--mode", "rolling", "--verbose-archiving", "--verbose-verification"}, banner + no_job},
    };
    for (const Case& c : cases) {
        const CommandResult result = run_vesk(c.args);
        EXPECT_EQ(result.status, exit_usage) << c.out;
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST(Entry, RefusedJobFilesGoOnWithAnEmptyText) {
    ScratchDir dir;
    const std::string fifo = (dir / "job.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Only regular files are read: a FIFO without a writer blocks, /dev/zero never ends.
    for (const std::string& path : {dir.path().string(), fifo, std::string("/dev/zero")}) {
        const CommandResult refused = run_vesk({"--cfg", path});
        EXPECT_EQ(refused.status, exit_error);
        EXPECT_EQ(refused.out, banner + "The argument '" + path + "' did not seem to be a file.\n");
        EXPECT_EQ(refused.err, no_select_format);
    }

    // A later --cfg replaces an earlier one.
    const CommandResult missing = run_vesk({"--cfg", "first.conf", "--cfg", "second.conf"});
    EXPECT_EQ(missing.out, banner + "The argument 'second.conf' did not seem to be a file.\n");
    EXPECT_EQ(missing.status, exit_error);

    // Exactly one mebibyte is read; one byte more is refused.
    const std::string comment_line = "# a comment line that is harmless and fills the file\n";
    std::string big;
    while (big.size() + comment_line.size() <= 1048576) {
        big += comment_line;
    }
    big += std::string(1048576 - big.size(), ' ');
    write_file(dir / "exact.conf", big);
    const CommandResult exact = run_vesk({"--cfg", (dir / "exact.conf").string()});
    EXPECT_EQ(exact.out, banner);
    EXPECT_EQ(exact.err, no_select_format);
    write_file(dir / "over.conf", big + " ");
    const CommandResult over = run_vesk({"--cfg", (dir / "over.conf").string()});
    EXPECT_EQ(over.out, banner + "The file '" + (dir / "over.conf").string() +
                            "' is larger than one megabyte. It is highly unlikely to be a "
                            "configuration file.\n");
    EXPECT_EQ(over.err, no_select_format);
    EXPECT_EQ(over.status, exit_error);
}

TEST(Entry, JobTextErrorsReachTheTopLevelReport) {
    ScratchDir dir;
    struct Case {
        std::string text;
        std::string err;
    };
    const std::vector<Case> cases{
        {"", no_select_format},
        {"\r\n\r\nmode(full)", "Error: Error on line 3: Unexpected token <right-paranthesis> ')'. "
                               "expected <left-paranthesis>.\n"},
        {"source_dir(\"a\nb\")\nmode(;)\n", "Error: Error on line 2: Unexpected token <invalid> "
                                            "';)'. expected one of <<identifier>>.\n"},
        {"mode(full())\xff", "Error: Regex_exception: A string that contains an invalid UTF-8 "
                             "byte sequence was passed as a subject.\n"},
        {"foo", "Error: Error on line 1: The identifier 'foo' is not valid.\n"},
    };
    for (const Case& c : cases) {
        write_file(dir / "job.conf", c.text);
        const CommandResult result = run_vesk({"--cfg", (dir / "job.conf").string()});
        EXPECT_EQ(result.status, exit_error) << c.text;
        EXPECT_EQ(result.out, banner) << c.text;
        EXPECT_EQ(result.err, c.err) << c.text;
    }
    if (::geteuid() != 0) {
        write_file(dir / "locked.conf", "mode(full())");
        std::filesystem::permissions(dir / "locked.conf", std::filesystem::perms::none);
        const CommandResult locked = run_vesk({"--cfg", (dir / "locked.conf").string()});
        EXPECT_EQ(locked.status, exit_error);
        EXPECT_NE(locked.err.find("Error: "), std::string::npos);
    }
}

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
