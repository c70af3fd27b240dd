#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/subprocess.h"
#include "support/case_file.h"
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

// Command lines split into arguments, and programs run in a directory, with an environment and
// an input, or failing to start (see tests/data/subprocess_cases.txt). The first callback call
// says running with nothing read yet, the last says ended.
TEST(RunWithIo, SplitAndRunCases) {
    ScratchDir dir;
    const std::string real_dir = std::filesystem::canonical(dir.path());
    write_file(dir / "tool.sh", "#!/bin/sh\npwd\n");
    ::chmod((dir / "tool.sh").c_str(), 0755);
    write_file(dir / "not-executable", "#!/bin/sh\necho hi\n");
    ::chmod((dir / "not-executable").c_str(), 0644);
    ::setenv("VESK_INHERITED", "yes", 1);
    ASSERT_EQ(::chdir(real_dir.c_str()), 0);
    const auto split = [](std::string_view line) {
        std::string arguments;
        for (const std::string& argument : split_command_line(line)) {
            arguments += "[" + argument + "]";
        }
        return arguments;
    };
    const auto run = [&](std::string_view text) {
        std::string with_dir(text), command, directory, line;
        for (size_t at; (at = with_dir.find("$DIR")) != std::string::npos;) {
            with_dir.replace(at, 4, real_dir);
        }
        std::istringstream lines(with_dir);
        std::getline(lines, command);
        Strings environment;
        Recorder recorder;
        while (std::getline(lines, line)) {
            const std::string value = line.substr(line.find('=') + 1);
            if (line.starts_with("dir="))
                directory = value;
            else if (line.starts_with("env="))
                environment.push_back(value);
            else
                recorder.input = value + "\n";
        }
        const auto process = recorder.run(command, directory, environment);
        EXPECT_GE(recorder.calls.size(), 2u) << command;
        EXPECT_TRUE(recorder.calls.front().running);
        EXPECT_EQ(recorder.calls.front().output + recorder.calls.front().error, "");
        EXPECT_FALSE(recorder.calls.back().running);
        return "exit " + std::to_string(process->exit_code()) + "\n[" + recorder.output + "]\n[" +
               recorder.error + "]";
    };
    testing::check_cases("subprocess_cases.txt", {{"split", split}, {"run", run}});
    ASSERT_EQ(::chdir("/"), 0);

    Recorder timed;
    const auto process = timed.run(R"("/bin/sh" -c "exit 0")");
    int64_t created = 0, ended = 0, kernel = -1, user = -1;
    process->times(&created, &ended, &kernel, &user);
    EXPECT_LE(created, ended);
    EXPECT_NEAR(static_cast<double>(ended), static_cast<double>(now() / 10), 10e6);
    EXPECT_TRUE(kernel >= 0 && user >= 0);
}

// Megabytes on both streams through small pipes: every byte in order, reads bounded.
TEST(RunWithIo, LargeOutputOnBothStreamsInOrder) {
    Recorder recorder;
    recorder.run(R"("/bin/sh" -c "seq 1 200000 & seq 1 150000 >&2; wait")", {}, {}, 4096);
    std::string expected_out, expected_err;
    for (int i = 1; i <= 200000; ++i) {
        expected_out += std::to_string(i) + "\n";
        if (i == 150000) {
            expected_err = expected_out;
        }
    }
    EXPECT_TRUE(recorder.output == expected_out);
    EXPECT_TRUE(recorder.error == expected_err);
    EXPECT_LE(recorder.largest_chunk, 4096u);
}

// A callback result other than 0 ends a child at once; so does a throwing callback, which also
// reaps it; a grandchild that keeps the pipe open does not hold up the run.
TEST(RunWithIo, RunsEndWithoutWaitingForTheirPrograms) {
    const auto start = std::chrono::steady_clock::now();
    Recorder recorder;
    recorder.result = 7;
    EXPECT_EQ(recorder.run("sleep 30")->exit_code(), 7u);
    EXPECT_FALSE(recorder.calls.back().running);

    Recorder grandchild;
    EXPECT_EQ(grandchild.run(R"("/bin/sh" -c "sleep 5 & echo started")")->exit_code(), 0u);
    EXPECT_EQ(grandchild.output, "started\n");

    char pattern[] = "/tmp/vesk-pid-XXXXXX";
    ::close(::mkstemp(pattern));
    const std::string command =
        std::string(R"("/bin/sh" -c "echo $$ > )") + pattern + R"(; exec sleep 30")";
    const ProcessCallback failing = [](const auto&, std::string_view, std::string_view,
                                       bool) -> int32_t {
        ::usleep(100'000);
        throw std::runtime_error("stop");
    };
    EXPECT_THROW(run_with_io("", command, "", {}, failing, 4096, kPollMs), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    std::ifstream pid_file(pattern);
    pid_t pid = 0;
    pid_file >> pid;
    ::unlink(pattern);
    ASSERT_GT(pid, 0);
    // Killed and reaped: the pid no longer exists.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
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
    for (int i = 0; i < 3; ++i) {
        Recorder().run(R"("/bin/sh" -c "echo out; echo err >&2")");
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

} // namespace
} // namespace vesk
