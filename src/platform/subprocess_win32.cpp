// Win32 implementation of child processes: CreateProcessW with the child in a job object of its
// own, overlapped named pipes for its output and a non-blocking pipe for its input.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/exceptions.h"
#include "platform/subprocess.h"
#include "platform/win32/handle.h"

namespace vesk {

namespace {

constexpr uint32_t kDefaultChunkSize = 64 * 1024;
constexpr DWORD kPathUnits = 32768;

std::atomic<unsigned> pipe_serial{0};

int64_t filetime_value(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

bool is_program_file(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A name without an extension gets ".exe", as process creation does.
std::wstring with_default_extension(std::wstring name) {
    const size_t last_separator = name.find_last_of(L"\\/:");
    const size_t base = last_separator == std::wstring::npos ? 0 : last_separator + 1;
    if (name.find(L'.', base) == std::wstring::npos) {
        name += L".exe";
    }
    return name;
}

std::wstring full_path(const std::wstring& path) {
    std::wstring full(kPathUnits, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), kPathUnits, full.data(), nullptr);
    full.resize(length < kPathUnits ? length : 0);
    return full;
}

// The child's environment: each NAME=value followed by a zero unit, and one more at the end.
std::wstring environment_block(const std::vector<std::string>& variables) {
    std::wstring block;
    for (const std::string& variable : variables) {
        block += widen(variable);
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// The list of handles a child may inherit; without it every inheritable handle of this process
// would reach the child.
class AttributeList {
public:
    explicit AttributeList(std::vector<HANDLE>& handles) {
        if (handles.empty()) {
            return;
        }
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            throw WindowsError("Failed creating process.", ::GetLastError());
        }
        list_ = list;
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                         handles.data(), handles.size() * sizeof(HANDLE), nullptr,
                                         nullptr)) {
            throw WindowsError("Failed creating process.", ::GetLastError());
        }
    }
    ~AttributeList() {
        if (list_ != nullptr) {
            ::DeleteProcThreadAttributeList(list_);
        }
    }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A job object whose processes all end when its last handle is closed.
UniqueHandle make_job() {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job.valid() || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                                   &limits, sizeof limits)) {
        throw WindowsError("Failed creating process.", ::GetLastError());
    }
    return job;
}

} // namespace

// The child's start-up record and the handles it inherits.
class SpawnSetup {
public:
    STARTUPINFOEXW info{};
    std::vector<HANDLE> inherited;
};

// Where process creation finds the program: a name with a path is taken relative to the current
// directory, a bare name is searched (the program's directory, the current directory, the
// system directories, PATH); ".exe" is added to a name without an extension.
std::string find_program(std::string_view command_line) {
    const std::vector<std::string> arguments = split_command_line(command_line);
    if (arguments.empty() || arguments.front().empty()) {
        return {};
    }
    const std::wstring program = widen(arguments.front());
    if (program.find_first_of(L"\\/:") != std::wstring::npos) {
        const std::wstring path = full_path(with_default_extension(program));
        return !path.empty() && is_program_file(path) ? narrow(path) : std::string();
    }
    std::wstring found(kPathUnits, L'\0');
    const DWORD length =
        ::SearchPathW(nullptr, program.c_str(), L".exe", kPathUnits, found.data(), nullptr);
    found.resize(length < kPathUnits ? length : 0);
    return !found.empty() && is_program_file(found) ? narrow(found) : std::string();
}

// ---- SubProcess ----

struct SubProcess::Child {
    UniqueHandle process;
    UniqueHandle job; // the child and everything it starts
    bool ended = false;
    bool terminate_requested = false;
};

SubProcess::SubProcess() : child_(std::make_unique<Child>()) {}

SubProcess::~SubProcess() {
    SubProcess::close();
}

// The child starts suspended and runs only once it is in its job, so that nothing it starts
// can escape the job.
void SubProcess::start() {
    if (application_name_.empty() && split_command_line(command_line_).empty()) {
        throw WindowsError("Failed creating process.", ERROR_INVALID_PARAMETER);
    }
    std::wstring application = widen(application_name_);
    std::wstring line = widen(command_line_);
    std::wstring directory = widen(current_directory_);
    std::wstring environment = environment_block(environment_);

    SpawnSetup setup;
    setup.info.StartupInfo.cb = sizeof setup.info;
    prepare_child(setup);
    const AttributeList attributes(setup.inherited);
    setup.info.lpAttributeList = attributes.get();
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS;
    flags |= attributes.get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0;

    UniqueHandle job = make_job();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(application.empty() ? nullptr : application.c_str(),
                          line.empty() ? nullptr : line.data(), nullptr, nullptr,
                          setup.inherited.empty() ? FALSE : TRUE, flags,
                          environment_.empty() ? nullptr : environment.data(),
                          directory.empty() ? nullptr : directory.c_str(), &setup.info.StartupInfo,
                          &info)) {
        throw WindowsError("Failed creating process.", ::GetLastError());
    }
    UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get()) ||
        ::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(process.get(), 1);
        throw WindowsError("Failed creating process.", error);
    }
    child_->process = std::move(process);
    child_->job = std::move(job);
    after_start();
}

bool SubProcess::wait_for_termination(uint32_t timeout_ms) {
    if (!child_->process.valid()) {
        throw WindowsError("Failed WaitForTermination. ", ERROR_INVALID_HANDLE);
    }
    if (child_->ended) {
        return true;
    }
    switch (::WaitForSingleObject(child_->process.get(), timeout_ms)) {
    case WAIT_OBJECT_0:
        child_->ended = true;
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        throw WindowsError("Failed WaitForTermination. ", ::GetLastError());
    }
}

// Ends the whole job: the child and whatever it started.
void SubProcess::terminate(uint32_t exit_code) {
    if (!child_->job.valid()) {
        throw WindowsError("Failed TerminateProcess. ", ERROR_INVALID_HANDLE);
    }
    if (child_->terminate_requested) {
        return;
    }
    if (!::TerminateJobObject(child_->job.get(), exit_code)) {
        throw WindowsError("Failed TerminateProcess. ", ::GetLastError());
    }
    child_->terminate_requested = true;
}

uint32_t SubProcess::exit_code() {
    if (!child_->process.valid()) {
        throw WindowsError("GetExitCodeProcess", ERROR_INVALID_HANDLE);
    }
    if (!wait_for_termination(0)) {
        return kStillActive;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(child_->process.get(), &code)) {
        throw WindowsError("GetExitCodeProcess", ::GetLastError());
    }
    return code;
}

void SubProcess::times(int64_t* creation_time, int64_t* exit_time, int64_t* kernel_time,
                       int64_t* user_time) {
    FILETIME created{}, exited{}, kernel{}, user{};
    bool ended = false;
    if (child_->process.valid()) {
        ended = wait_for_termination(0);
        if (!::GetProcessTimes(child_->process.get(), &created, &exited, &kernel, &user)) {
            throw WindowsError("GetProcessTimes failed", ::GetLastError());
        }
    }
    if (creation_time) {
        *creation_time = filetime_value(created) / 10;
    }
    if (exit_time) {
        *exit_time = ended ? filetime_value(exited) / 10 : 0;
    }
    if (kernel_time) {
        *kernel_time = ended ? filetime_value(kernel) * 100 : 0;
    }
    if (user_time) {
        *user_time = ended ? filetime_value(user) * 100 : 0;
    }
}

bool SubProcess::reaped() const noexcept {
    return child_->ended;
}

uint32_t SubProcess::process_id() const noexcept {
    return child_->process.valid() ? ::GetProcessId(child_->process.get()) : 0;
}

// Closes the job, which ends whatever still runs in it. The process handle stays until the
// object goes, for exit_code and times.
void SubProcess::close() {
    if (child_->process.valid() && !child_->ended) {
        child_->ended = ::WaitForSingleObject(child_->process.get(), 0) == WAIT_OBJECT_0;
    }
    child_->job.reset();
}

// ---- SubProcessWithIo ----

namespace {

// This process's end of an output pipe, read with overlapped reads into the caller's buffer: at
// most one read is in flight, and a finished read keeps its bytes until they are taken.
struct OutputPipe {
    UniqueHandle handle; // invalid once end-of-file was seen
    UniqueHandle event;
    OVERLAPPED overlapped{};
    bool pending = false;
    bool ready = false;
    DWORD count = 0;
};

// A uniquely named pipe: this process reads the server end, the child writes the client end,
// which alone is inheritable.
void make_output_pipe(OutputPipe& pipe, UniqueHandle& child_end, uint32_t buffer_size,
                      std::string_view failure_message) {
    const std::wstring name = L"\\\\.\\pipe\\vesk-" + std::to_wstring(::GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++pipe_serial);
    pipe.handle.reset(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        buffer_size, buffer_size, 0, nullptr));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (pipe.handle.valid()) {
        child_end.reset(::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                      &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        pipe.event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    if (!pipe.handle.valid() || !child_end.valid() || !pipe.event.valid()) {
        throw WindowsError(failure_message, ::GetLastError());
    }
    pipe.overlapped.hEvent = pipe.event.get();
}

// A broken pipe is end-of-file: every writer has closed its end.
void end_or_throw(OutputPipe& pipe, DWORD error) {
    if (error != ERROR_BROKEN_PIPE) {
        throw WindowsError("ReadHandle ReadFile failed. ", error);
    }
    pipe.handle.reset();
}

// Moves a pipe on without waiting: starts a read when none is in flight, and notes a read that
// has finished.
void advance(OutputPipe& pipe, std::vector<char>& buffer) {
    if (!pipe.handle.valid() || pipe.ready) {
        return;
    }
    if (!pipe.pending) {
        if (!::ReadFile(pipe.handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                        nullptr, &pipe.overlapped)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) {
                return end_or_throw(pipe, error);
            }
        }
        pipe.pending = true;
    }
    DWORD count = 0;
    if (::GetOverlappedResult(pipe.handle.get(), &pipe.overlapped, &count, FALSE)) {
        pipe.pending = false;
        pipe.ready = count > 0; // a zero-byte write of the child carries nothing
        pipe.count = count;
        return;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_INCOMPLETE) {
        pipe.pending = false;
        end_or_throw(pipe, error);
    }
}

std::string_view read_chunk(OutputPipe& pipe, std::vector<char>& buffer) {
    advance(pipe, buffer);
    if (!pipe.ready) {
        return {};
    }
    pipe.ready = false;
    return {buffer.data(), pipe.count};
}

// Cancels a read in flight and waits until the system no longer uses the buffer.
void close_output_pipe(OutputPipe& pipe) noexcept {
    if (pipe.pending) {
        ::CancelIoEx(pipe.handle.get(), &pipe.overlapped);
        DWORD count = 0;
        ::GetOverlappedResult(pipe.handle.get(), &pipe.overlapped, &count, TRUE);
        pipe.pending = false;
    }
    pipe.ready = false;
    pipe.handle.reset();
}

} // namespace

struct SubProcessWithIo::Pipes {
    OutputPipe stdout_read, stderr_read; // this process's ends
    UniqueHandle stdin_write;
    UniqueHandle stdin_read, stdout_write, stderr_write; // the child's ends
};

SubProcessWithIo::SubProcessWithIo(uint32_t pipe_buffer_size) : pipes_(std::make_unique<Pipes>()) {
    const size_t chunk = pipe_buffer_size > 0 ? pipe_buffer_size : kDefaultChunkSize;
    output_buffer_.resize(chunk);
    error_buffer_.resize(chunk);
    // The input pipe: the child's end inheritable, ours non-blocking, so a write never waits.
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, pipe_buffer_size)) {
        throw WindowsError("StdIo CreatePipe for input failed. ", ::GetLastError());
    }
    pipes_->stdin_read.reset(read_end);
    pipes_->stdin_write.reset(write_end);
    DWORD mode = PIPE_NOWAIT;
    if (!::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
        !::SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr)) {
        throw WindowsError("StdIo CreatePipe for input failed. ", ::GetLastError());
    }
    make_output_pipe(pipes_->stdout_read, pipes_->stdout_write, pipe_buffer_size,
                     "StdIo CreatePipe for output failed. ");
    make_output_pipe(pipes_->stderr_read, pipes_->stderr_write, pipe_buffer_size,
                     "StdIo CreatePipe for error failed. ");
}

SubProcessWithIo::~SubProcessWithIo() {
    SubProcessWithIo::close();
}

void SubProcessWithIo::prepare_child(SpawnSetup& setup) {
    STARTUPINFOW& startup = setup.info.StartupInfo;
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = pipes_->stdin_read.get();
    startup.hStdOutput = pipes_->stdout_write.get();
    startup.hStdError = pipes_->stderr_write.get();
    setup.inherited = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
}

void SubProcessWithIo::close_child_ends() noexcept {
    pipes_->stdin_read.reset();
    pipes_->stdout_write.reset();
    pipes_->stderr_write.reset();
}

void SubProcessWithIo::close() {
    close_child_ends();
    pipes_->stdin_write.reset();
    close_output_pipe(pipes_->stdout_read);
    close_output_pipe(pipes_->stderr_read);
    SubProcess::close();
}

// A non-blocking write: it takes what fits now, possibly nothing (then the caller tries again).
uint32_t SubProcessWithIo::write_input(std::string_view data) {
    if (!pipes_->stdin_write.valid()) {
        throw WindowsError("WriteHandle WriteFile failed. ", ERROR_BROKEN_PIPE);
    }
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<size_t>(data.size(), MAXDWORD));
    if (size > 0 && !::WriteFile(pipes_->stdin_write.get(), data.data(), size, &written, nullptr)) {
        throw WindowsError("WriteHandle WriteFile failed. ", ::GetLastError());
    }
    return written;
}

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
    return !pipes_->stdout_read.handle.valid();
}

bool SubProcessWithIo::error_at_end() const noexcept {
    return !pipes_->stderr_read.handle.valid();
}

// Data or end-of-file that is there already counts at once; else the wait is on the reads in
// flight and on the child's exit.
int SubProcessWithIo::wait_for_activity(int timeout_ms) {
    HANDLE events[3];
    DWORD count = 0;
    int ready = 0;
    for (auto [pipe, buffer] : {std::pair{&pipes_->stdout_read, &output_buffer_},
                                std::pair{&pipes_->stderr_read, &error_buffer_}}) {
        const bool was_open = pipe->handle.valid();
        advance(*pipe, *buffer);
        if (pipe->ready || (was_open && !pipe->handle.valid())) {
            ++ready;
        } else if (pipe->pending) {
            events[count++] = pipe->event.get();
        }
    }
    if (ready > 0) {
        return ready;
    }
    if (child_->process.valid() && !reaped()) {
        events[count++] = child_->process.get();
    }
    const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    if (count == 0) {
        ::Sleep(timeout);
        return 0;
    }
    const DWORD result = ::WaitForMultipleObjects(count, events, FALSE, timeout);
    if (result == WAIT_TIMEOUT) {
        return 0;
    }
    if (result < WAIT_OBJECT_0 + count) {
        return 1;
    }
    throw WindowsError("Failed WaitForTermination. ", ::GetLastError());
}

} // namespace vesk
