#pragma once
// Test support: starts a program (no shell) in a process group of its own, with extra
// environment variables and its output captured in files, so that a test can kill it at a
// chosen moment, end whatever it left running, and learn its exit status, run time and peak
// memory.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run_command.h"

namespace vesk::testing {

struct ChildResult {
    int status = -1; // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
    long max_rss_kb = 0;
    double seconds = 0;
};

class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : start_(std::chrono::steady_clock::now()) {
        pid_ = spawn(args, capture_ / "out", capture_ / "err", env, {}, true);
        ::setpgid(pid_, pid_); // also here, so that the group exists before we signal it
    }
    ~ChildProcess() {
        if (!waited_) {
            kill_group();
            wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    double seconds_since_start() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    // Whether the program has ended (it is not reaped yet); notes when that was first seen.
    bool exited() {
        siginfo_t info{};
        const bool ended =
            ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid != 0;
        if (ended && seconds_ < 0) {
            seconds_ = seconds_since_start();
        }
        return ended;
    }

    // Kills the program itself, leaving its children running.
    void kill() const { ::kill(pid_, SIGKILL); }
    // Kills the program and every process it started that is still in its group.
    void kill_group() const { ::kill(-pid_, SIGKILL); }

    // Waits for the program; after `timeout` the whole group is killed (status 128 + 9). With
    // `end_group`, whatever the program left running in its group is killed before the program
    // is reaped (while it is not reaped, its group id cannot pass to another process).
    ChildResult wait(bool end_group = true,
                     std::chrono::seconds timeout = std::chrono::seconds(120)) {
        const auto deadline = start_ + timeout;
        while (!exited()) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill_group();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ChildResult result;
        result.seconds = seconds_;
        if (end_group) {
            kill_group();
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid_, &status, 0, &usage);
        waited_ = true;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.max_rss_kb = usage.ru_maxrss;
        result.out = read_file(capture_ / "out");
        result.err = read_file(capture_ / "err");
        return result;
    }

private:
    ScratchDir capture_;
    std::chrono::steady_clock::time_point start_;
    pid_t pid_ = -1;
    double seconds_ = -1;
    bool waited_ = false;
};

} // namespace vesk::testing
