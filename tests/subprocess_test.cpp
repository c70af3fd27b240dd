#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/subprocess.h"
#include "support/case_file.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPipeBuffer = 1 << 20;
constexpr uint32_t kPollMs = 20;
// The test program (support/child_program.cpp), made absolute before any test changes directory.
const std::string kChild = fs::absolute(VESK_CHILD_PROGRAM).string();

void set_variable(const std::string& name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

// Runs a command line and records what the callback calls bring. The child is ended with `result`
// on the first call, or once its output holds `until` when that is set, and with 124 after 20
// seconds. `calls` notes each call: "r" running, "e" ended, "+" with data.
struct Recorder {
    std::string calls, output, error;
    size_t largest_chunk = 0;
    int32_t result = 0;
    std::string until;
    std::string input; // written in the first call

    std::unique_ptr<SubProcessWithIo> run(std::string_view command_line,
                                          std::string_view directory = {},
                                          const Strings& environment = {},
                                          uint32_t buffer = kPipeBuffer) {
        const auto start = Clock::now();
        const ProcessCallback callback = [&](const auto& write_input, std::string_view out,
                                             std::string_view err, bool running) {
            if (calls.empty() && !input.empty()) {
                EXPECT_EQ(write_input(input), input.size());
            }
            calls += std::string(running ? "r" : "e") + (out.empty() && err.empty() ? "" : "+");
            output += out;
            error += err;
            largest_chunk = std::max({largest_chunk, out.size(), err.size()});
            if (Clock::now() - start > std::chrono::seconds(20)) {
                return 124;
            }
            return until.empty() || output.find(until) != std::string::npos ? result : 0;
        };
        auto process =
            run_with_io("", command_line, directory, environment, callback, buffer, kPollMs);
#ifdef _WIN32 // the test program writes its standard streams in text mode
        std::erase(output, '\r');
        std::erase(error, '\r');
#endif
        return process;
    }
};

// The system's texts of the start failures the cases expect, by name.
std::string name_system_text(std::string message) {
#ifdef _WIN32
    const std::pair<uint32_t, const char*> names[] = {{ERROR_FILE_NOT_FOUND, "<missing>"},
                                                      {ERROR_DIRECTORY, "<missing>"},
                                                      {ERROR_BAD_EXE_FORMAT, "<not runnable>"}};
#else
    const std::pair<uint32_t, const char*> names[] = {{ENOENT, "<missing>"},
                                                      {EACCES, "<not runnable>"}};
#endif
    for (const auto& [code, name] : names) {
        const std::string text = system_error_text(code);
        if (message.ends_with(text)) {
            return message.replace(message.size() - text.size(), text.size(), name);
        }
    }
    return message;
}

size_t open_handle_count() {
#ifdef _WIN32
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
#else
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
#endif
}

TEST(SubProcess, CommandLineLengthLimitCountsUtf16Units) {
    SubProcess process;
    const auto set = [&](const std::string& suffix) {
        return testing::message_of(
            [&] { process.set_command_line(std::string(32765, 'x') + suffix); });
    };
    EXPECT_EQ(set("xx") + "," + set("é"), "no error,no error");
    EXPECT_EQ(set("x😀"), "CommandLine length beyond 32767 UTF16 characters.");
}

// Command lines split into arguments, and programs found, run in a directory, with an
// environment and an input, or failing to start (see tests/data/subprocess_cases.txt). The
// first callback call says running with nothing read yet, the last says ended; the times of an
// ended child are plausible. No run leaves a handle open, whether it ended, was killed, failed to
// start or had its callback throw.
TEST(RunWithIo, SplitAndRunCases) {
    const fs::path dir =
        fs::temp_directory_path() / ("vesk-subprocess-" + std::to_string(std::random_device()()));
    fs::create_directories(dir / "sub");
    const std::string real_dir = fs::canonical(dir).generic_string();
    const fs::path child(kChild);
    fs::copy_file(child, dir / ("tool" + child.extension().string()));
    std::ofstream(dir / "not-executable.exe") << "echo hi\n";
    set_variable("VESK_INHERITED", "yes");
    const char* path = std::getenv("PATH");
    const char* separator = fs::path::preferred_separator == '/' ? ":" : ";";
    set_variable("PATH", child.parent_path().string() + separator + (path ? path : ""));
    const fs::path initial_dir = fs::current_path();
    fs::current_path(dir);
    const auto split = [](std::string_view line) {
        std::string arguments;
        for (const std::string& argument : split_command_line(line)) {
            arguments += "[" + argument + "]";
        }
        return arguments;
    };
    const auto expand = [&](std::string_view text) {
        return testing::replace_all(testing::replace_all(std::string(text), "$DIR", real_dir),
                                    "$CHILD", kChild);
    };
    const auto find = [&](std::string_view line) {
        return find_program(expand(line)).empty() ? "missing" : "found";
    };
    const auto run = [&](std::string_view text) {
        std::istringstream lines(expand(text));
        std::string command, directory, line;
        std::getline(lines, command);
        Strings environment;
        Recorder recorder;
        while (std::getline(lines, line)) {
            const std::string value = line.substr(line.find('=') + 1);
            if (line.starts_with("dir="))
                directory = value;
            else if (line.starts_with("env="))
                environment.push_back(value);
            else if (line.starts_with("stop="))
                recorder.result = std::stoi(value);
            else if (line.starts_with("until="))
                recorder.until = value;
            else
                recorder.input = value + "\n";
        }
        try {
            const auto process = recorder.run(command, directory, environment);
            EXPECT_TRUE(std::regex_match(recorder.calls, std::regex(R"(r([re]\+?)*e\+?)")))
                << command << ": " << recorder.calls;
            int64_t created = 0, ended = 0, kernel = -1, user = -1;
            process->times(&created, &ended, &kernel, &user);
            EXPECT_TRUE(created <= ended && kernel >= 0 && user >= 0) << command;
            EXPECT_NEAR(static_cast<double>(ended), static_cast<double>(now() / 10), 10e6);
            const bool open = !process->output_at_end() || !process->error_at_end();
            return testing::replace_all("exit " + std::to_string(process->exit_code()) + "\n[" +
                                            recorder.output + "]\n[" + recorder.error + "]" +
                                            (open ? "\npipes open" : ""),
                                        real_dir, "$DIR");
        } catch (const WindowsError& error) {
            return name_system_text(error.what());
        }
    };
    Recorder().run('"' + kChild + '"'); // whatever the first run sets up once
    const size_t handles = open_handle_count();
    testing::check_cases("subprocess_cases.txt", {{"split", split}, {"find", find}, {"run", run}});
    // A throwing callback ends the run with the child killed and reaped (on POSIX the child
    // notes its process id first).
    const ProcessCallback throwing = [](const auto&, std::string_view, std::string_view,
                                        bool) -> int32_t {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        throw std::runtime_error("stop");
    };
#ifdef _WIN32
    const std::string sleeper = '"' + kChild + "\" sleep 10000";
#else
    const std::string sleeper = R"("/bin/sh" -c "echo $$ > pid; exec sleep 30")";
#endif
    EXPECT_THROW(run_with_io("", sleeper, "", {}, throwing, 4096, kPollMs), std::runtime_error);
    EXPECT_EQ(open_handle_count(), handles); // none left by any run, ended as it may
#ifndef _WIN32
    pid_t pid = 0;
    std::ifstream(dir / "pid") >> pid;
    EXPECT_TRUE(pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH) << pid;
#endif
    fs::current_path(initial_dir);
    fs::remove_all(dir);
}

// Ten megabytes on standard output while standard error flows too, through small pipes: every
// byte in order, reads bounded.
TEST(RunWithIo, LargeOutputOnBothStreamsInOrder) {
    Recorder recorder;
    recorder.run('"' + kChild + "\" seq 1500000 150000", {}, {}, 4096);
    std::string expected;
    for (int i = 1; i <= 1500000; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_TRUE(recorder.output == expected);
    EXPECT_TRUE(recorder.error == expected.substr(0, expected.find("\n150001\n") + 1));
    EXPECT_LE(recorder.largest_chunk, 4096u);
}

TEST(RunWithIo, BrokenPipesCannotKillEitherSide) {
#ifndef _WIN32
    Recorder recorder;
    recorder.run(R"("/bin/sh" -c "grep SigIgn /proc/self/status")");
    // The child gets the default SIGPIPE action back (bit 13 of the ignored mask is clear).
    ASSERT_TRUE(recorder.output.starts_with("SigIgn:")) << recorder.output;
    const uint64_t child_ignored = std::stoull(recorder.output.substr(7), nullptr, 16);
    EXPECT_EQ(child_ignored & (1u << (SIGPIPE - 1)), 0u);
#endif
    // A child that closes its input early makes write_input fail, not this process die of
    // SIGPIPE.
    const ProcessCallback writer = [](const auto& write_input, std::string_view, std::string_view,
                                      bool) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_input("data");
        return 0;
    };
    EXPECT_THROW(
        run_with_io("", '"' + kChild + "\" noinput sleep 2000", "", {}, writer, 4096, kPollMs),
        WindowsError);
}

} // namespace
} // namespace vesk
