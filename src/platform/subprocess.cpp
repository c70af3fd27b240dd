// The parts of child processes that need no operating-system call: command-line splitting, the
// start-up settings and the run loop of run_with_io over the backend's SubProcessWithIo.

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/interrupt.h"
#include "platform/subprocess.h"

namespace vesk {

namespace {

constexpr size_t kMaxCommandLineUnits = 32767;

using Clock = std::chrono::steady_clock;

// UTF-16 units of a UTF-8 text: one per lead byte, two for a four-byte sequence.
size_t utf16_length(std::string_view text) {
    size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        units += (byte & 0xC0) != 0x80 ? 1 : 0;
        units += byte >= 0xF0 ? 1 : 0;
    }
    return units;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The program name: quotes toggle grouping and are dropped; backslashes are literal.
size_t parse_program(std::string_view line, std::string& program) {
    bool in_quotes = false;
    size_t i = 0;
    for (; i < line.size() && (in_quotes || !is_blank(line[i])); ++i) {
        if (line[i] == '"') {
            in_quotes = !in_quotes;
        } else {
            program += line[i];
        }
    }
    return i;
}

// One further argument starting at `i`; returns the index after it.
size_t parse_argument(std::string_view line, size_t i, std::string& argument) {
    bool in_quotes = false;
    while (i < line.size()) {
        size_t backslashes = 0;
        while (i < line.size() && line[i] == '\\') {
            ++backslashes;
            ++i;
        }
        bool copy_quote = true;
        if (i < line.size() && line[i] == '"') {
            if (backslashes % 2 == 0) {
                if (in_quotes && i + 1 < line.size() && line[i + 1] == '"') {
                    ++i; // "" inside quotes: a literal quote, still inside quotes
                } else {
                    copy_quote = false;
                    in_quotes = !in_quotes;
                }
            }
            backslashes /= 2;
        }
        argument.append(backslashes, '\\');
        if (i >= line.size() || (!in_quotes && is_blank(line[i]))) {
            break;
        }
        if (line[i] != '"' || copy_quote) {
            argument += line[i];
        }
        ++i;
    }
    return i;
}

} // namespace

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> arguments;
    size_t i = 0;
    if (!line.empty()) {
        arguments.emplace_back();
        i = parse_program(line, arguments.back());
    }
    for (;;) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            return arguments;
        }
        arguments.emplace_back();
        i = parse_argument(line, i, arguments.back());
    }
}

// ---- SubProcess settings ----

void SubProcess::set_application_name(std::string_view name) {
    application_name_ = name;
}

void SubProcess::set_command_line(std::string_view line) {
    if (utf16_length(line) > kMaxCommandLineUnits) {
        throw std::runtime_error("CommandLine length beyond 32767 UTF16 characters.");
    }
    command_line_ = line;
}

void SubProcess::set_environment(const std::vector<std::string>& variables) {
    environment_ = variables;
}

void SubProcess::set_current_directory(std::string_view path) {
    current_directory_ = path;
}

// ---- run_with_io ----

namespace {

struct Chunks {
    std::string_view output;
    std::string_view error;
    bool empty() const { return output.empty() && error.empty(); }
};

constexpr uint32_t kStopWaitMs = 5000;

class RunLoop {
public:
    RunLoop(SubProcessWithIo& process, const ProcessCallback& callback, uint32_t poll_interval_ms)
        : process_(process), callback_(callback),
          poll_interval_ms_(static_cast<int>(std::min<uint32_t>(poll_interval_ms, INT32_MAX))),
          write_input_([this](std::string_view data) {
              wrote_input_ = true;
              return process_.write_input(data);
          }) {}

    void run() {
        call({}, true);
        bool running = true;
        while (running) {
            process_.wait_for_activity(poll_interval_ms_);
            throw_if_interrupted();
            if (process_.wait_for_termination(0)) {
                running = false;
                drain_deadline_ = Clock::now() + std::chrono::milliseconds(kDrainLimitAfterExitMs);
            }
            drain(running);
        }
    }

private:
    // Reads and hands on chunks until both pipes are empty.
    void drain(bool running) {
        Chunks chunks = read_both(running);
        for (;;) {
            call(chunks, running);
            if (chunks.empty()) {
                return;
            }
            chunks = read_both(running);
            if (chunks.empty()) {
                return;
            }
        }
    }

    // After the child ended, empty but open pipes get a short grace period, in case a
    // grandchild that inherited them still writes.
    Chunks read_both(bool running) {
        for (;;) {
            const Chunks chunks{process_.read_output_view(), process_.read_error_view()};
            if (!chunks.empty() || running || all_at_end() || Clock::now() >= drain_deadline_) {
                return chunks;
            }
            if (process_.wait_for_activity(kLateOutputGraceMs) == 0) {
                return chunks;
            }
        }
    }

    bool all_at_end() const { return process_.output_at_end() && process_.error_at_end(); }

    void call(const Chunks& chunks, bool running) {
        wrote_input_ = false;
        const int32_t result = callback_(write_input_, chunks.output, chunks.error, running);
        if (!wrote_input_ && process_.input_open()) {
            process_.close_input(); // the child must see end-of-file on its input
        }
        if (result != 0 && !process_.wait_for_termination(0)) {
            process_.terminate(static_cast<uint32_t>(result));
        }
    }

    SubProcessWithIo& process_;
    const ProcessCallback& callback_;
    const int poll_interval_ms_;
    bool wrote_input_ = false;
    Clock::time_point drain_deadline_{};
    const std::function<uint32_t(std::string_view)> write_input_;
};

// Kills and reaps a child whose run loop ended with an error, together with what it started.
void stop_child(SubProcessWithIo& process) noexcept {
    try {
        if (!process.reaped()) {
            process.terminate(1);
            process.wait_for_termination(kStopWaitMs);
        }
    } catch (const std::exception&) {
        // The error that ended the loop is the one to report.
    }
}

} // namespace

std::unique_ptr<SubProcessWithIo>
run_with_io(std::string_view application_name, std::string_view command_line,
            std::string_view current_directory, const std::vector<std::string>& environment,
            const ProcessCallback& callback, uint32_t pipe_buffer_size, uint32_t poll_interval_ms) {
    auto process = std::make_unique<SubProcessWithIo>(pipe_buffer_size);
    process->set_application_name(application_name);
    process->set_command_line(command_line);
    if (!current_directory.empty()) {
        process->set_current_directory(current_directory);
    }
    if (!environment.empty()) {
        process->set_environment(environment);
    }
    process->start();
    try {
        RunLoop(*process, callback, poll_interval_ms).run();
    } catch (...) {
        // A failing callback ends the run: the child must not outlive it unattended.
        stop_child(*process);
        throw;
    }
    return process;
}

} // namespace vesk
