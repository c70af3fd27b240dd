#pragma once
// Child processes with piped standard streams. The backends live in subprocess_posix.cpp and
// subprocess_win32.cpp, the parts without system calls in subprocess.cpp; the operating system's
// handles stay inside the backends.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// The exit code reported for a child that has not ended yet.
inline constexpr uint32_t kStillActive = 259;

// How a child's standard streams are set up before it starts; defined by the backend.
class SpawnSetup;

// Cuts a command line into arguments the way a Windows program's runtime does: blanks and tabs
// separate, double quotes group, backslashes are literal except before a double quote (2n
// backslashes + quote: n backslashes and the quote groups; 2n+1: n backslashes and a literal
// quote), "" inside quotes is a literal quote. The first argument (the program) ends at the first
// blank or tab outside quotes, and quotes in it only group.
std::vector<std::string> split_command_line(std::string_view command_line);

// Where a child started with this command line would find its program (the first argument):
// a path with a slash is taken relative to this process's current directory, a bare name is
// searched in PATH (on Windows: in the places process creation searches, with ".exe" added to a
// name without an extension). Empty when no executable regular file is there.
std::string find_program(std::string_view command_line);

// A child process: configured, started, waited for, terminated and measured. The program is
// started directly, never through a shell.
class SubProcess {
public:
    SubProcess();
    virtual ~SubProcess();
    SubProcess(const SubProcess&) = delete;
    SubProcess& operator=(const SubProcess&) = delete;

    // The program to run; empty: the first argument of the command line. A relative program
    // path is taken relative to this process's current directory; a bare name of the command
    // line is searched in PATH.
    void set_application_name(std::string_view name);
    // Throws std::runtime_error beyond 32767 UTF-16 units.
    void set_command_line(std::string_view line);
    // NAME=value entries; empty: the child inherits this process's environment.
    void set_environment(const std::vector<std::string>& variables);
    // Empty: the child inherits this process's current directory.
    void set_current_directory(std::string_view path);

    // Throws WindowsError "Failed creating process." + system text when the program cannot be
    // started (missing, not executable, bad directory).
    void start();
    // True once the child has ended (it is then reaped); false when the time ran out.
    bool wait_for_termination(uint32_t timeout_ms);
    // Kills the child and what it started; exit_code then reports the given code. On POSIX the
    // child leads a process group of its own, which gets SIGKILL; on Windows the child runs in a
    // job object of its own, which is terminated (closing the object also ends the job).
    void terminate(uint32_t exit_code);
    // The exit status; 128 + signal for a child killed by a signal (POSIX); kStillActive while
    // running.
    uint32_t exit_code();
    // Creation and exit time in microseconds since 1601 (UTC); kernel and user time in
    // nanoseconds. Exit, kernel and user time are 0 while the child runs. Null pointers are
    // skipped.
    void times(int64_t* creation_time, int64_t* exit_time, int64_t* kernel_time,
               int64_t* user_time);
    virtual void close();

    // True once the child has ended and was reaped.
    bool reaped() const noexcept;
    // The operating system's id of the started child; 0 before the start.
    uint32_t process_id() const noexcept;

protected:
    // Lets a subclass set up the child's standard streams before the program starts.
    virtual void prepare_child(SpawnSetup& setup) { (void)setup; }
    virtual void after_start() {}

    // The started child as the operating system knows it; defined by the backend.
    struct Child;
    std::unique_ptr<Child> child_;

private:
    bool try_reap();
    std::string resolve_program(const std::vector<std::string>& arguments) const;

    std::string application_name_;
    std::string command_line_;
    std::vector<std::string> environment_;
    std::string current_directory_;
};

// A child whose standard input, output and error are pipes to this process. The parent's ends
// are never inherited and never block (on Windows the output pipes are read with overlapped
// reads); the child's ends are closed here once the child started.
class SubProcessWithIo : public SubProcess {
public:
    // The buffer size is applied to the pipes where the kernel allows it and bounds every read.
    explicit SubProcessWithIo(uint32_t pipe_buffer_size);
    ~SubProcessWithIo() override;

    // Writes what the pipe takes now without waiting; returns the bytes written.
    uint32_t write_input(std::string_view data);
    // Closes the parent's end of the input pipe: the child sees end-of-file.
    void close_input() noexcept;
    bool input_open() const noexcept;
    // What is in the pipe now (at most the buffer size), without copying; valid until the next
    // read of that stream or wait_for_activity. Empty at once when nothing is.
    std::string_view read_output_view();
    std::string_view read_error_view();
    bool output_at_end() const noexcept;
    bool error_at_end() const noexcept;
    // Waits at most `timeout_ms` until a pipe has data or end-of-file, or the child ended;
    // returns the number of those events that are ready (0 when the time ran out).
    int wait_for_activity(int timeout_ms);

    void close_child_ends() noexcept;
    void close() override;

protected:
    void prepare_child(SpawnSetup& setup) override;
    void after_start() override { close_child_ends(); }

private:
    // The pipes' ends as the operating system knows them; defined by the backend.
    struct Pipes;
    std::unique_ptr<Pipes> pipes_;
    std::vector<char> output_buffer_, error_buffer_;
};

// The callback of run_with_io: (write input, output chunk, error chunk, running) → 0 to let the
// child run on, anything else to terminate it with that exit code.
using ProcessCallback = std::function<int32_t(
    const std::function<uint32_t(std::string_view)>& write_input, std::string_view output_chunk,
    std::string_view error_chunk, bool running)>;

// Starts the child and feeds everything it writes to the callback until it has ended: every
// byte in order per stream, at least one call per poll interval, the last calls with running =
// false. The wait is on the pipes and the child's exit, bounded by the poll interval.
// An interruption request (platform/interrupt.h) ends the child and what it started, and throws.
// The child's input is closed after the first callback call that does not write to it. After
// the child ended the pipes are read until end-of-file; pipes that a surviving grandchild keeps
// open count as drained once they stayed empty for kLateOutputGraceMs, and draining stops after
// kDrainLimitAfterExitMs in any case.
inline constexpr int kLateOutputGraceMs = 100;
inline constexpr int kDrainLimitAfterExitMs = 3000;
std::unique_ptr<SubProcessWithIo>
run_with_io(std::string_view application_name, std::string_view command_line,
            std::string_view current_directory, const std::vector<std::string>& environment,
            const ProcessCallback& callback, uint32_t pipe_buffer_size, uint32_t poll_interval_ms);

} // namespace vesk
