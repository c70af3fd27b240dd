#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/subprocess.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::ScratchDir;
using testing::write_file;
using Strings = std::vector<std::string>;

constexpr uint32_t kPipeBuffer = 1 << 20;
constexpr uint32_t kPollMs = 20;

struct Call {
    std::string output, error;
    bool running;
};

// Runs a command line and records every callback call.
struct Recorder {
    std::vector<Call> calls;
    std::string output, error;
    size_t largest_chunk = 0;
    int32_t result = 0;
    std::string input; // written in the first call

    std::unique_ptr<SubProcessWithIo> run(std::string_view command_line,
                                          std::string_view directory = {},
                                          const Strings& environment = {},
                                          uint32_t buffer = kPipeBuffer) {
        const ProcessCallback callback = [this](const auto& write_input, std::string_view out,
                                                std::string_view err, bool running) {
            if (calls.empty() && !input.empty()) {
                EXPECT_EQ(write_input(input), input.size());
            }
            calls.push_back({std::string(out), std::string(err), running});
            output += out;
            error += err;
            largest_chunk = std::max({largest_chunk, out.size(), err.size()});
            return result;
        };
        return run_with_io("", command_line, directory, environment, callback, buffer, kPollMs);
    }
};

size_t open_descriptor_count() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

TEST(SplitCommandLine, WindowsRuntimeRules) {
    const std::pair<std::string_view, Strings> cases[] = {
        {R"("/usr/bin/7z" a -t7z "data.7z" @list)",
         {"/usr/bin/7z", "a", "-t7z", "data.7z", "@list"}},
        {"prog  a\t\tb ", {"prog", "a", "b"}},
        {R"("C:\Program Files\x.exe" "a b" c)", {R"(C:\Program Files\x.exe)", "a b", "c"}},
        {R"(p a\\b \"q\" "x\"y")", {"p", R"(a\\b)", R"("q")", R"(x"y)"}},
        {R"(p "a\\" b "c\\\"d" e\\\\"f g")", {"p", R"(a\)", "b", R"(c\"d)", R"(e\\f g)"}},
        {R"(p "" "" x)", {"p", "", "", "x"}},
        {R"(p "a""b" "say ""hi""")", {"p", R"(a"b)", R"(say "hi")"}},
        {R"(p a"b c"d "unterminated arg)", {"p", "ab cd", "unterminated arg"}},
        {R"("dir\"x" y)", {R"(dir\x y)"}}, // the program name knows no escapes
        {R"(my"prog name" z)", {"myprog name", "z"}},
        {"", {}},
        {"   ", {""}},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(split_command_line(line), expected) << line;
    }
}

TEST(SubProcess, CommandLineLengthLimitCountsUtf16Units) {
    SubProcess process;
    EXPECT_NO_THROW(process.set_command_line(std::string(32767, 'x')));
    EXPECT_NO_THROW(process.set_command_line(std::string(32765, 'x') + "é"));
    try {
        process.set_command_line(std::string(32766, 'x') + "😀");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "CommandLine length beyond 32767 UTF16 characters.");
    }
    EXPECT_THROW(process.set_command_line(std::string(32768, 'x')), std::runtime_error);
}

TEST(RunWithIo, BothStreamsArriveWholeAndTheLastCallsSayEnded) {
    Recorder recorder;
    auto process =
        recorder.run(R"("/bin/sh" -c "printf 'hello\nworld'; printf 'oops' >&2; exit 3")");
    EXPECT_EQ(recorder.output, "hello\nworld");
    EXPECT_EQ(recorder.error, "oops");
    ASSERT_GE(recorder.calls.size(), 2u);
    EXPECT_TRUE(recorder.calls.front().running);
    EXPECT_TRUE(recorder.calls.front().output.empty() && recorder.calls.front().error.empty());
    EXPECT_FALSE(recorder.calls.back().running);
    EXPECT_EQ(process->exit_code(), 3u);
    int64_t created = 0, ended = 0, kernel = -1, user = -1;
    process->times(&created, &ended, &kernel, &user);
    EXPECT_LE(created, ended);
    EXPECT_NEAR(static_cast<double>(ended), static_cast<double>(now() / 10), 10e6);
    EXPECT_GE(kernel, 0);
    EXPECT_GE(user, 0);

    Recorder silent;
    EXPECT_EQ(silent.run("true")->exit_code(), 0u);
    ASSERT_GE(silent.calls.size(), 2u);
    EXPECT_TRUE(silent.calls.front().running);
    EXPECT_FALSE(silent.calls.back().running);
    EXPECT_EQ(silent.output + silent.error, "");
}

// Several MiB on both streams through small pipes: every byte in order, reads bounded.
TEST(RunWithIo, LargeOutputOnBothStreamsInOrder) {
    Recorder recorder;
    recorder.run(R"("/bin/sh" -c "seq 1 700000 & seq 1 500000 >&2; wait")", {}, {}, 4096);
    std::string expected_out, expected_err;
    for (int i = 1; i <= 700000; ++i) {
        expected_out += std::to_string(i) + "\n";
        if (i <= 500000) {
            expected_err += std::to_string(i) + "\n";
        }
    }
    EXPECT_TRUE(recorder.output == expected_out);
    EXPECT_TRUE(recorder.error == expected_err);
    EXPECT_LE(recorder.largest_chunk, 4096u);
}

TEST(RunWithIo, ArgumentsReachTheProgramWithoutAShell) {
    Recorder recorder;
    recorder.run(R"("printf" "[%s]" "a b" "c\"d" "" "$(id); rm -rf x" 'q')");
    EXPECT_EQ(recorder.output, R"([a b][c"d][][$(id); rm -rf x]['q'])");
}

TEST(RunWithIo, DirectoryAndEnvironment) {
    ScratchDir dir;
    const std::string real_dir = std::filesystem::canonical(dir.path());
    Recorder in_dir;
    in_dir.run("pwd", real_dir);
    EXPECT_EQ(in_dir.output, real_dir + "\n");

    Recorder with_env;
    with_env.run(R"("/bin/sh" -c "printf '%s|%s' \"$VESK_A\" \"$HOME\"")", {},
                 {"VESK_A=one two", "HOME=/nowhere"});
    EXPECT_EQ(with_env.output, "one two|/nowhere");

    // A relative program path means our own current directory, not the child's.
    write_file(dir / "tool.sh", "#!/bin/sh\npwd\n");
    ::chmod((dir / "tool.sh").c_str(), 0755);
    ASSERT_EQ(::chdir(real_dir.c_str()), 0);
    Recorder relative;
    relative.run(R"("./tool.sh")", "/");
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(relative.output, "/\n");

    ::setenv("VESK_INHERITED", "yes", 1);
    Recorder inherited;
    inherited.run(R"("/bin/sh" -c "printf %s \"$VESK_INHERITED\"")");
    EXPECT_EQ(inherited.output, "yes");
}

TEST(RunWithIo, ChildSeesEndOfInput) {
    // "timeout" turns a child waiting forever for input into exit code 124.
    Recorder silent;
    auto process = silent.run("timeout 5 cat");
    EXPECT_EQ(process->exit_code(), 0u);
    EXPECT_EQ(silent.output, "");

    Recorder feeding;
    feeding.input = "ping\n";
    process = feeding.run("timeout 5 cat");
    EXPECT_EQ(process->exit_code(), 0u);
    EXPECT_EQ(feeding.output, "ping\n");
}

TEST(RunWithIo, ProgramsThatCannotStart) {
    ScratchDir dir;
    write_file(dir / "not-executable", "#!/bin/sh\necho hi\n");
    ::chmod((dir / "not-executable").c_str(), 0644);
    const std::pair<std::string, std::string> cases[] = {
        {"\"/nonexistent/archiver\" a", "Failed creating process.No such file or directory"},
        {"vesk-no-such-program-on-path x", "Failed creating process.No such file or directory"},
        {"\"" + (dir / "not-executable").string() + "\"",
         "Failed creating process.Permission denied"},
    };
    for (const auto& [line, message] : cases) {
        try {
            Recorder().run(line);
            ADD_FAILURE() << line;
        } catch (const WindowsError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
    try {
        Recorder().run("true", (dir / "missing").string());
        ADD_FAILURE() << "missing directory accepted";
    } catch (const WindowsError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed creating process.No such file or directory");
    }
}

TEST(RunWithIo, NonZeroCallbackResultTerminatesTheChild) {
    Recorder recorder;
    recorder.result = 7;
    const auto start = std::chrono::steady_clock::now();
    auto process = recorder.run("sleep 30");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(process->exit_code(), 7u);
    EXPECT_FALSE(recorder.calls.back().running);
}

TEST(RunWithIo, GrandchildHoldingThePipeDoesNotHangTheRun) {
    Recorder recorder;
    const auto start = std::chrono::steady_clock::now();
    auto process = recorder.run(R"("/bin/sh" -c "sleep 5 & echo started")");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(recorder.output, "started\n");
    EXPECT_EQ(process->exit_code(), 0u);
}

TEST(RunWithIo, BrokenPipesCannotKillEitherSide) {
    Recorder recorder;
    recorder.run(R"("/bin/sh" -c "grep SigIgn /proc/self/status")");
    // The child gets the default SIGPIPE action back (bit 13 of the ignored mask is clear) ...
    ASSERT_TRUE(recorder.output.starts_with("SigIgn:")) << recorder.output;
    const uint64_t child_ignored = std::stoull(recorder.output.substr(7), nullptr, 16);
    EXPECT_EQ(child_ignored & (1u << (SIGPIPE - 1)), 0u);
    // ... while this process ignores it: writing to a pipe without reader fails with EPIPE.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    EXPECT_EQ(::write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[1]);
    // And a child that closes its input early makes write_input fail, not the process die.
    const ProcessCallback writer = [](const auto& write_input, std::string_view, std::string_view,
                                      bool) {
        ::usleep(50'000);
        write_input("data");
        return 0;
    };
    EXPECT_THROW(run_with_io("", R"("/bin/sh" -c "exec 0<&-")", "", {}, writer, 4096, kPollMs),
                 WindowsError);
}

TEST(RunWithIo, NoDescriptorLeaks) {
    const size_t before = open_descriptor_count();
    for (int i = 0; i < 30; ++i) {
        Recorder ok;
        ok.run(R"("/bin/sh" -c "echo out; echo err >&2")");
        Recorder killed;
        killed.result = 1;
        killed.run("sleep 10");
        EXPECT_THROW(Recorder().run("/nonexistent/program"), WindowsError);
        const ProcessCallback throwing = [](const auto&, std::string_view, std::string_view,
                                            bool) -> int32_t { throw std::runtime_error("stop"); };
        EXPECT_THROW(run_with_io("", "true", "", {}, throwing, 4096, kPollMs), std::runtime_error);
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(RunWithIo, FailingCallbackStopsTheChild) {
    char pattern[] = "/tmp/vesk-pid-XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string command =
        std::string(R"("/bin/sh" -c "echo $$ > )") + pattern + R"(; exec sleep 30")";
    const ProcessCallback failing = [](const auto&, std::string_view, std::string_view,
                                       bool) -> int32_t {
        ::usleep(100'000);
        throw std::runtime_error("stop");
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run_with_io("", command, "", {}, failing, 4096, kPollMs), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    std::ifstream pid_file(pattern);
    pid_t pid = 0;
    pid_file >> pid;
    ::unlink(pattern);
    ASSERT_GT(pid, 0);
    // Killed and reaped: the pid no longer exists.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

} // namespace
} // namespace vesk
