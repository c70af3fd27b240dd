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

#include <atomic>
#include <string_view>

namespace {

const char* const kDir = ::getenv("FAULT_DIR");
const bool kActive =
    kDir != nullptr && *kDir != '\0' && ::strcmp(program_invocation_short_name, "vesk") == 0;
const char* const kTrace = ::getenv("FAULT_TRACE");
const long long kKillAt = ::getenv("FAULT_KILL_AT") ? ::atoll(::getenv("FAULT_KILL_AT")) : 0;
const bool kLimited = ::getenv("FAULT_SPACE") != nullptr;
const long long kSpace = kLimited ? ::atoll(::getenv("FAULT_SPACE")) : 0;

std::atomic<long long> call_count{0};
long long used_bytes = 0;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// One call: its number (0: not counted), what it is and the path it works on.
struct Call {
    long long n = 0;
    const char* op = "";
    char path[PATH_MAX];

    // Counts the call when the path lies below the watched directory; ends the process when it
    // is the chosen call.
    bool count(const char* name) {
        const std::string_view dir(kDir ? kDir : ""), p(path);
        if (!kActive || !p.starts_with(dir) || (p.size() > dir.size() && p[dir.size()] != '/')) {
            return false;
        }
        n = ++call_count;
        op = name;
        if (kKillAt == n) {
            ::kill(::getpid(), SIGKILL);
        }
        return true;
    }
    bool count_fd(int fd, const char* name) {
        char link[64];
        ::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = kActive ? ::readlink(link, path, sizeof path - 1) : -1;
        path[length < 0 ? 0 : length] = '\0';
        return length >= 0 && count(name);
    }
    bool count_path(const char* name, const char* file) {
        ::snprintf(path, sizeof path, "%s", file ? file : "");
        return count(name);
    }

    // Records a counted call with the bytes it really wrote (or its result).
    long long finish(long long result) const {
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

    // For a write of `wanted` bytes on `fd`: how many it may store, -1 (ENOSPC) on a full disk.
    ssize_t allowed(int fd, size_t wanted) {
        if (!count_fd(fd, op) || !kLimited) {
            return static_cast<ssize_t>(wanted);
        }
        const long long room = kSpace - used_bytes;
        if (room <= 0 && wanted > 0) {
            errno = ENOSPC;
            return -1;
        }
        return static_cast<ssize_t>(room < static_cast<long long>(wanted) ? room : wanted);
    }
    // Accounts the bytes a counted write stored.
    ssize_t written(ssize_t result) const {
        used_bytes += n != 0 && result > 0 ? result : 0;
        return static_cast<ssize_t>(finish(result));
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
    Call call{0, "write", {}};
    const ssize_t allowed = call.allowed(fd, size);
    return call.written(allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed)));
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    Call call{0, "pwrite", {}};
    const ssize_t allowed = call.allowed(fd, size);
    return call.written(allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed), offset));
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t size,
                        unsigned int flags) {
    static auto real =
        next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
    Call call{0, "copy_file_range", {}};
    ssize_t allowed = call.allowed(out, size);
    if (allowed < 0 && at_end(in, in_offset)) {
        allowed = 0; // a copy that has nothing left to copy needs no space
    }
    return call.written(
        allowed < 0 ? -1
                    : real(in, in_offset, out, out_offset, static_cast<size_t>(allowed), flags));
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    Call call;
    call.count_fd(fd, "fsync");
    return static_cast<int>(call.finish(real(fd)));
}

int rename(const char* from, const char* to) {
    static auto real = next<int (*)(const char*, const char*)>("rename");
    Call call;
    call.count_path("rename", to);
    return static_cast<int>(call.finish(real(from, to)));
}

int unlink(const char* path) {
    static auto real = next<int (*)(const char*)>("unlink");
    Call call;
    call.count_path("unlink", path);
    return static_cast<int>(call.finish(real(path)));
}

} // extern "C"
