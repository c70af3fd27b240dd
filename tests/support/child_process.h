#pragma once
// Test support: programs run through the program's own child-process layer, without a shell, in
// a process group (POSIX) or job object (Windows) of their own, with their input at end-of-file
// and their output piped back.

#include <csignal>
#include <cstdlib>

#include "main/main_entry.h"
#include "platform/subprocess.h"
#include "run_command.h"

namespace vesk::testing {

// A started program, which a test can kill at a chosen moment and whose exit status, output
// and run time it learns. A program still running when the object goes is killed with what it
// started.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {},
                          const std::string& work_dir = {}) {
        std::string line;
        for (const std::string& arg : args) {
            line += (line.empty() ? "" : " ") + quote_argument(arg);
        }
        child_.set_command_line(line);
        std::vector<std::string> environment(env); // first: the first entry of a name counts
        for (char** entry = environ; !env.empty() && *entry != nullptr; ++entry) {
            environment.emplace_back(*entry); // the rest of this process's environment
        }
        child_.set_environment(environment);
        child_.set_current_directory(work_dir);
        child_.start();
        child_.close_input();
    }
    ~ChildProcess() {
        if (!exited()) {
            child_.terminate(1);
        }
    }

    uint32_t pid() const { return child_.process_id(); }
    bool exited() { return child_.wait_for_termination(0); }
#ifndef _WIN32
    // Kills the program itself, leaving what it started running. Until `exited` or `wait`
    // reaps it, its id cannot pass to another process.
    void kill() const {
        ::kill(static_cast<pid_t>(pid()), SIGKILL);
    }
#endif

    // Reads the output until the program has ended and its pipes are at their end (or silent
    // for a while after its end: what it started may hold them open).
    CommandResult wait() {
        CommandResult result;
        while (!child_.output_at_end() || !child_.error_at_end()) {
            const bool ended = child_.wait_for_termination(0);
            const std::string_view out = child_.read_output_view(), err = child_.read_error_view();
            result.out += out;
            result.err += err;
            if (out.empty() && err.empty() && child_.wait_for_activity(100) == 0 && ended) {
                break;
            }
        }
        child_.wait_for_termination(600'000);
        int64_t started = 0, ended = 0;
        child_.times(&started, &ended, nullptr, nullptr);
        result.status = static_cast<int>(child_.exit_code());
        result.seconds = static_cast<double>(ended - started) / 1e6;
        return result;
    }

private:
    SubProcessWithIo child_{0};
};

inline CommandResult run_command(const std::vector<std::string>& args,
                                 const std::string& work_dir = {}) {
    return ChildProcess(args, {}, work_dir).wait();
}

} // namespace vesk::testing
