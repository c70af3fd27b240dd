// A preloadable library that makes file writes below one directory fail or ends the process at
// a chosen call, for testing what a program leaves behind after a full disk or a crash. Only a
// process named "vesk" is affected (not the archivers it starts).
//
// Configured through the environment (nothing happens unless FAULT_DIR is set):
//   FAULT_DIR      path prefix; only calls on files below it are counted
//   FAULT_TRACE    file that receives one line per counted call when it returns:
//                  "<n> <op> <result> <path>" (for writes the result is the bytes written)
//   FAULT_KILL_AT  the process kills itself with SIGKILL on entering counted call n (1-based)
//   FAULT_SPACE    bytes that may still be written below FAULT_DIR; a write beyond them is
//                  cut short and the next one fails with ENOSPC, as on a full disk
//
// Counted calls: the writing calls that the program and SQLite make (write, pwrite64,
// copy_file_range, fsync, rename, unlink).

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string_view>

namespace {

const char* const kDir = ::getenv("FAULT_DIR");
const bool kActive =
    kDir != nullptr && *kDir != '\0' && ::strcmp(program_invocation_short_name, "vesk") == 0;
const char* const kTrace = ::getenv("FAULT_TRACE");
const long long kKillAt = ::getenv("FAULT_KILL_AT") ? ::atoll(::getenv("FAULT_KILL_AT")) : 0;
const long long kSpace = ::getenv("FAULT_SPACE") ? ::atoll(::getenv("FAULT_SPACE")) : LLONG_MAX;

std::atomic<long long> call_count{0};
long long used_bytes = 0;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// One call on the file named `file`, or else open as `fd`: counted (number n, else 0) when the
// file lies below the watched directory; the process ends when it is the chosen call.
struct Call {
    long long n = 0;
    const char* op;
    char path[PATH_MAX] = "";

    Call(const char* name, int fd, const char* file = nullptr) : op(name) {
        char link[64];
        ::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = !kActive ? -1
                               : file   ? ::snprintf(path, sizeof path, "%s", file)
                                        : ::readlink(link, path, sizeof path - 1);
        path[length < 0 ? 0 : std::min<ssize_t>(length, sizeof path - 1)] = '\0';
        const std::string_view dir(kDir ? kDir : ""), p(path);
        if (!kActive || !p.starts_with(dir) || (p.size() > dir.size() && p[dir.size()] != '/')) {
            return;
        }
        n = ++call_count;
        if (kKillAt == n) {
            ::kill(::getpid(), SIGKILL);
        }
    }

    // For a write of `wanted` bytes: how many it may store, -1 (ENOSPC) on a full disk.
    ssize_t allowed(size_t wanted) const {
        const long long room = kSpace - used_bytes;
        if (n == 0 || room >= static_cast<long long>(wanted)) {
            return static_cast<ssize_t>(wanted);
        }
        if (room <= 0) {
            errno = ENOSPC;
            return -1;
        }
        return static_cast<ssize_t>(room);
    }

    // Records a counted call with its result (for a write: the bytes it stored, which use up
    // the space) as a line of the trace.
    long long finish(long long result, bool write = false) const {
        used_bytes += n != 0 && write && result > 0 ? result : 0;
        if (n != 0 && kTrace != nullptr) {
            static auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
            const int saved_errno = errno; // the caller reports the traced call's own errno
            char line[PATH_MAX + 96];
            const int length =
                ::snprintf(line, sizeof line, "%lld %s %lld %s\n", n, op, result, path);
            const int fd = ::open(kTrace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (fd >= 0) {
                real_write(fd, line, static_cast<size_t>(length));
                ::close(fd);
            }
            errno = saved_errno;
        }
        return result;
    }
};

// Whether a copy from `fd` (at `offset`, or at its file position) would find nothing left.
bool at_end(int fd, const off64_t* offset) {
    struct stat info {};
    const off64_t position = offset ? *offset : ::lseek64(fd, 0, SEEK_CUR);
    return ::fstat(fd, &info) == 0 && position >= info.st_size;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    const Call call("write", fd);
    const ssize_t allowed = call.allowed(size);
    return call.finish(allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed)), true);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    const Call call("pwrite", fd);
    const ssize_t allowed = call.allowed(size);
    return call.finish(allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed), offset),
                       true);
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t size,
                        unsigned int flags) {
    static auto real =
        next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
    const Call call("copy_file_range", out);
    // A copy that has nothing left to copy needs no space.
    const ssize_t allowed = at_end(in, in_offset) ? 0 : call.allowed(size);
    return call.finish(
        allowed < 0 ? -1
                    : real(in, in_offset, out, out_offset, static_cast<size_t>(allowed), flags),
        true);
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    const Call call("fsync", fd);
    return static_cast<int>(call.finish(real(fd)));
}

int rename(const char* from, const char* to) {
    static auto real = next<int (*)(const char*, const char*)>("rename");
    const Call call("rename", -1, to);
    return static_cast<int>(call.finish(real(from, to)));
}

int unlink(const char* path) {
    static auto real = next<int (*)(const char*)>("unlink");
    const Call call("unlink", -1, path);
    return static_cast<int>(call.finish(real(path)));
}

} // extern "C"
