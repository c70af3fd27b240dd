// POSIX implementation of child processes: posix_spawn, pipes, pidfd and poll().

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bindings.h"
#include "platform/exceptions.h"
#include "platform/posix/unique_fd.h"
#include "platform/subprocess.h"

extern char** environ;

namespace vesk {

namespace {

constexpr uint32_t kDefaultChunkSize = 64 * 1024;

using Clock = std::chrono::steady_clock;

std::string current_directory_text() {
    std::unique_ptr<char, decltype(&std::free)> path(::getcwd(nullptr, 0), &std::free);
    if (!path) {
        throw WindowsError("Failed creating process.", errno);
    }
    return path.get();
}

// Moves a descriptor above the standard streams, so that the child's dup2 onto 0, 1 or 2
// never meets the same number (which would keep its close-on-exec flag).
UniqueFd above_standard_streams(int fd) {
    UniqueFd owned(fd);
    if (fd > STDERR_FILENO) {
        return owned;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        throw WindowsError("StdIo CreatePipe failed. ", errno);
    }
    return UniqueFd(moved);
}

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

Pipe make_pipe(std::string_view failure_message, uint32_t buffer_size) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw WindowsError(failure_message, errno);
    }
    Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
    pipe.read_end = above_standard_streams(pipe.read_end.release());
    pipe.write_end = above_standard_streams(pipe.write_end.release());
    if (buffer_size > 0) {
        ::fcntl(pipe.write_end.get(), F_SETPIPE_SZ, static_cast<int>(buffer_size)); // best effort
    }
    return pipe;
}

void set_non_blocking(const UniqueFd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw WindowsError("StdIo CreatePipe failed. ", errno);
    }
}

std::vector<char*> pointer_list(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Makes a write to a pipe whose reader is gone fail with EPIPE instead of killing the process.
void ignore_broken_pipe_signal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

// The child's standard streams and signal state, and its own process group.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE); // the child gets SIGPIPE back, whatever we ignore
        sigset_t empty_mask;
        sigemptyset(&empty_mask);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &empty_mask);
        // A process group of its own: ending the child ends what it started too, and a Ctrl-C
        // at the terminal reaches this process, which then ends the child itself.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

namespace {

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string find_program(std::string_view command_line) {
    const std::vector<std::string> arguments = split_command_line(command_line);
    if (arguments.empty() || arguments.front().empty()) {
        return {};
    }
    const std::string& program = arguments.front();
    if (program.find('/') != std::string::npos) {
        const std::string path =
            program.front() == '/' ? program : current_directory_text() + "/" + program;
        return is_executable_file(path) ? path : std::string();
    }
    // The search posix_spawnp makes: PATH, or the system's default path when it is unset.
    const char* search = ::getenv("PATH");
    const std::string_view directories = search != nullptr ? search : "/bin:/usr/bin";
    for (size_t start = 0; start <= directories.size();) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        std::string directory(directories.substr(start, end - start));
        const std::string path = (directory.empty() ? std::string(".") : directory) + "/" + program;
        if (is_executable_file(path)) {
            return path;
        }
        start = end + 1;
    }
    return {};
}

// ---- SubProcess ----

struct SubProcess::Child {
    pid_t pid = -1;
    UniqueFd pidfd; // readable once the child ended; invalid once reaped or where unsupported
    bool reaped = false;
    int wait_status = 0;
    rusage usage{};
    uint64_t start_filetime = 0;
    uint64_t exit_filetime = 0;
    bool terminate_requested = false;
    uint32_t terminate_code = 0;
};

SubProcess::SubProcess() : child_(std::make_unique<Child>()) {}

SubProcess::~SubProcess() {
    SubProcess::close();
}

// The program to execute. A relative path is anchored at our own current directory because the
// child changes its directory before the program is loaded.
std::string SubProcess::resolve_program(const std::vector<std::string>& arguments) const {
    std::string program = application_name_.empty() ? arguments.front() : application_name_;
    const bool search_path = application_name_.empty() && program.find('/') == std::string::npos;
    if (!search_path && !program.empty() && program.front() != '/') {
        program = current_directory_text() + "/" + program;
    }
    return program;
}

void SubProcess::start() {
    std::vector<std::string> arguments = split_command_line(command_line_);
    if (arguments.empty()) {
        if (application_name_.empty()) {
            throw WindowsError("Failed creating process.", EINVAL);
        }
        arguments.push_back(application_name_);
    }
    const std::string program = resolve_program(arguments);
    const bool search_path = application_name_.empty() && program.find('/') == std::string::npos;

    SpawnSetup setup;
    if (!current_directory_.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, current_directory_.c_str());
    }
    prepare_child(setup);
    std::vector<char*> argv = pointer_list(arguments);
    std::vector<char*> envp = pointer_list(environment_);
    char** child_environment = environment_.empty() ? environ : envp.data();

    pid_t pid = -1;
    const int error = search_path ? posix_spawnp(&pid, program.c_str(), &setup.actions,
                                                 &setup.attributes, argv.data(), child_environment)
                                  : posix_spawn(&pid, program.c_str(), &setup.actions,
                                                &setup.attributes, argv.data(), child_environment);
    if (error != 0) {
        throw WindowsError("Failed creating process.", static_cast<uint32_t>(error));
    }
    child_->pid = pid;
    child_->start_filetime = now();
    child_->pidfd.reset(
        static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); // -1 where unsupported
    after_start();
}

bool SubProcess::try_reap() {
    if (child_->reaped || child_->pid < 0) {
        return child_->reaped;
    }
    pid_t result;
    do {
        result = ::wait4(child_->pid, &child_->wait_status, WNOHANG, &child_->usage);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return false;
    }
    if (result < 0 && errno != ECHILD) {
        throw WindowsError("Failed WaitForTermination. ", errno);
    }
    child_->reaped = true; // ECHILD: someone else reaped it; it has ended all the same
    child_->exit_filetime = now();
    child_->pidfd.reset();
    return true;
}

bool SubProcess::wait_for_termination(uint32_t timeout_ms) {
    if (child_->pid < 0) {
        throw WindowsError("Failed WaitForTermination. ", ECHILD);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!try_reap()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        // Without a pidfd, poll() on no descriptors is a short sleep between checks.
        pollfd exit_event{child_->pidfd.get(), POLLIN, 0};
        const int wait_ms = child_->pidfd.valid()
                                ? static_cast<int>(left.count())
                                : std::min<int>(static_cast<int>(left.count()), 1);
        if (::poll(&exit_event, child_->pidfd.valid() ? 1 : 0, wait_ms) < 0 && errno != EINTR) {
            throw WindowsError("Failed WaitForTermination. ", errno);
        }
    }
    return true;
}

void SubProcess::terminate(uint32_t exit_code) {
    // A reaped child's pid may belong to another process by now: never signal it.
    if (child_->pid < 0 || child_->reaped) {
        throw WindowsError("Failed TerminateProcess. ", ESRCH);
    }
    if (child_->terminate_requested) {
        return;
    }
    // The child's process group: what it started ends with it. The group outlives a leader
    // that has exited but is not reaped yet, so its id cannot have been reused.
    ::kill(-child_->pid, SIGKILL);
    const int result = child_->pidfd.valid()
                           ? static_cast<int>(::syscall(SYS_pidfd_send_signal, child_->pidfd.get(),
                                                        SIGKILL, nullptr, 0))
                           : ::kill(child_->pid, SIGKILL);
    // ESRCH: the child ended between the caller's check and the signal; nothing to do.
    if (result != 0 && errno != ESRCH) {
        throw WindowsError("Failed TerminateProcess. ", errno);
    }
    child_->terminate_requested = true;
    child_->terminate_code = exit_code;
}

uint32_t SubProcess::exit_code() {
    if (child_->pid < 0) {
        throw WindowsError("GetExitCodeProcess", ECHILD);
    }
    if (!try_reap()) {
        return kStillActive;
    }
    if (WIFSIGNALED(child_->wait_status)) {
        const int signal = WTERMSIG(child_->wait_status);
        return child_->terminate_requested && signal == SIGKILL
                   ? child_->terminate_code
                   : static_cast<uint32_t>(128 + signal);
    }
    return WIFEXITED(child_->wait_status) ? static_cast<uint32_t>(WEXITSTATUS(child_->wait_status))
                                          : 0;
}

void SubProcess::times(int64_t* creation_time, int64_t* exit_time, int64_t* kernel_time,
                       int64_t* user_time) {
    if (child_->pid >= 0) {
        try_reap();
    }
    const auto nanoseconds = [](const timeval& t) {
        return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_usec * 1000;
    };
    if (creation_time) {
        *creation_time = static_cast<int64_t>(child_->start_filetime / 10);
    }
    if (exit_time) {
        *exit_time = static_cast<int64_t>(child_->exit_filetime / 10);
    }
    if (kernel_time) {
        *kernel_time = nanoseconds(child_->usage.ru_stime);
    }
    if (user_time) {
        *user_time = nanoseconds(child_->usage.ru_utime);
    }
}

bool SubProcess::reaped() const noexcept {
    return child_->reaped;
}

uint32_t SubProcess::process_id() const noexcept {
    return child_->pid < 0 ? 0 : static_cast<uint32_t>(child_->pid);
}

// Releases the handles. A child that has ended is reaped; a running one is left alone.
void SubProcess::close() {
    if (child_->pid >= 0 && !child_->reaped) {
        try {
            try_reap();
        } catch (const WindowsError&) {
            // Nothing to release beyond the descriptor below.
        }
    }
    child_->pidfd.reset();
}

// ---- SubProcessWithIo ----

struct SubProcessWithIo::Pipes {
    UniqueFd stdout_read, stderr_read, stdin_write;  // this process's ends
    UniqueFd stdin_read, stdout_write, stderr_write; // the child's ends
};

SubProcessWithIo::SubProcessWithIo(uint32_t pipe_buffer_size) : pipes_(std::make_unique<Pipes>()) {
    ignore_broken_pipe_signal();
    const size_t chunk = pipe_buffer_size > 0 ? pipe_buffer_size : kDefaultChunkSize;
    output_buffer_.resize(chunk);
    error_buffer_.resize(chunk);
    Pipe input = make_pipe("StdIo CreatePipe for input failed. ", pipe_buffer_size);
    Pipe output = make_pipe("StdIo CreatePipe for output failed. ", pipe_buffer_size);
    Pipe error = make_pipe("StdIo CreatePipe for error failed. ", pipe_buffer_size);
    pipes_->stdin_read = std::move(input.read_end);
    pipes_->stdin_write = std::move(input.write_end);
    pipes_->stdout_read = std::move(output.read_end);
    pipes_->stdout_write = std::move(output.write_end);
    pipes_->stderr_read = std::move(error.read_end);
    pipes_->stderr_write = std::move(error.write_end);
    set_non_blocking(pipes_->stdin_write);
    set_non_blocking(pipes_->stdout_read);
    set_non_blocking(pipes_->stderr_read);
}

SubProcessWithIo::~SubProcessWithIo() {
    SubProcessWithIo::close();
}

void SubProcessWithIo::prepare_child(SpawnSetup& setup) {
    posix_spawn_file_actions_adddup2(&setup.actions, pipes_->stdin_read.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, pipes_->stdout_write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, pipes_->stderr_write.get(), STDERR_FILENO);
}

void SubProcessWithIo::close_child_ends() noexcept {
    pipes_->stdin_read.reset();
    pipes_->stdout_write.reset();
    pipes_->stderr_write.reset();
}

void SubProcessWithIo::close() {
    close_child_ends();
    pipes_->stdin_write.reset();
    pipes_->stdout_read.reset();
    pipes_->stderr_read.reset();
    SubProcess::close();
}

uint32_t SubProcessWithIo::write_input(std::string_view data) {
    if (!pipes_->stdin_write.valid()) {
        throw WindowsError("WriteHandle WriteFile failed. ", EPIPE);
    }
    ssize_t written;
    do {
        written = ::write(pipes_->stdin_write.get(), data.data(), data.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        if (errno == EAGAIN) {
            return 0;
        }
        throw WindowsError("WriteHandle WriteFile failed. ", errno);
    }
    return static_cast<uint32_t>(written);
}

namespace {

// One read of at most the buffer size; never waits. End-of-file closes the descriptor, so a
// finished stream is neither polled nor read again.
std::string_view read_chunk(UniqueFd& fd, std::vector<char>& buffer) {
    if (!fd.valid()) {
        return {};
    }
    ssize_t got;
    do {
        got = ::read(fd.get(), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN) {
            return {};
        }
        throw WindowsError("ReadHandle ReadFile failed. ", errno);
    }
    if (got == 0) {
        fd.reset();
    }
    return {buffer.data(), static_cast<size_t>(got)};
}

} // namespace

std::string_view SubProcessWithIo::read_output_view() {
    return read_chunk(pipes_->stdout_read, output_buffer_);
}

std::string_view SubProcessWithIo::read_error_view() {
    return read_chunk(pipes_->stderr_read, error_buffer_);
}

void SubProcessWithIo::close_input() noexcept {
    pipes_->stdin_write.reset();
}

bool SubProcessWithIo::input_open() const noexcept {
    return pipes_->stdin_write.valid();
}

bool SubProcessWithIo::output_at_end() const noexcept {
    return !pipes_->stdout_read.valid();
}

bool SubProcessWithIo::error_at_end() const noexcept {
    return !pipes_->stderr_read.valid();
}

int SubProcessWithIo::wait_for_activity(int timeout_ms) {
    pollfd events[3];
    nfds_t count = 0;
    for (const int fd : {pipes_->stdout_read.get(), pipes_->stderr_read.get(),
                         reaped() ? -1 : child_->pidfd.get()}) {
        if (fd >= 0) {
            events[count++] = pollfd{fd, POLLIN, 0};
        }
    }
    const int ready = ::poll(events, count, timeout_ms);
    if (ready < 0 && errno != EINTR) {
        throw WindowsError("Failed WaitForTermination. ", errno);
    }
    return std::max(ready, 0);
}

} // namespace vesk
