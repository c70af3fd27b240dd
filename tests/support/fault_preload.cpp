// A preloadable library that makes file writes below one directory fail or ends the process at
// a chosen call, for testing what a program leaves behind after a full disk or a crash.
//
// Configured through the environment (nothing happens unless FAULT_DIR is set):
//   FAULT_DIR      path prefix; only calls on files below it are counted
//   FAULT_PROGRAM  only a process of this short name is affected (default "vesk")
//   FAULT_TRACE    file that receives one line per counted call when it returns:
//                  "<n> <op> <result> <path>" (for writes the result is the bytes written)
//   FAULT_KILL_AT  the process kills itself with SIGKILL on entering counted call n (1-based)
//   FAULT_SPACE    bytes that may still be written below FAULT_DIR; a write beyond them is
//                  cut short and the next one fails with ENOSPC, as on a full disk
//
// Counted calls: write, pwrite, pwrite64, writev, copy_file_range, ftruncate, fsync, fdatasync,
// rename, renameat, unlink.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace {

struct Settings {
    bool active = false;
    const char* dir = nullptr;
    size_t dir_length = 0;
    const char* trace = nullptr;
    long long kill_at = 0;
    bool limited = false;
    long long space = 0;
};

std::atomic<long long> call_count{0};

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

const Settings& settings() {
    static const Settings loaded = [] {
        Settings s;
        const char* dir = ::getenv("FAULT_DIR");
        const char* program = ::getenv("FAULT_PROGRAM");
        if (dir == nullptr || *dir == '\0' ||
            ::strcmp(program_invocation_short_name, program ? program : "vesk") != 0) {
            return s;
        }
        s.active = true;
        s.dir = dir;
        s.dir_length = ::strlen(dir);
        s.trace = ::getenv("FAULT_TRACE");
        if (const char* kill_at = ::getenv("FAULT_KILL_AT")) {
            s.kill_at = ::atoll(kill_at);
        }
        if (const char* space = ::getenv("FAULT_SPACE")) {
            s.limited = true;
            s.space = ::atoll(space);
        }
        return s;
    }();
    return loaded;
}

// Whether a path lies below the watched directory.
bool watched_path(const char* path) {
    const Settings& s = settings();
    return s.active && path != nullptr && ::strncmp(path, s.dir, s.dir_length) == 0 &&
           (path[s.dir_length] == '/' || path[s.dir_length] == '\0');
}

bool fd_path(int fd, char (&path)[PATH_MAX]) {
    char link[64];
    ::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(link, path, sizeof path - 1);
    if (length < 0) {
        return false;
    }
    path[length] = '\0';
    return true;
}

void trace(long long n, const char* op, long long bytes, const char* path) {
    const Settings& s = settings();
    if (s.trace == nullptr) {
        return;
    }
    static auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
    const int saved_errno = errno; // the caller reports the traced call's own errno
    char line[PATH_MAX + 96];
    const int length = ::snprintf(line, sizeof line, "%lld %s %lld %s\n", n, op, bytes, path);
    const int fd = ::open(s.trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        real_write(fd, line, static_cast<size_t>(length));
        ::close(fd);
    }
    errno = saved_errno;
}

// One counted call: its number and the path it works on (number 0: not watched).
struct Call {
    long long n = 0;
    const char* op = "";
    char path[PATH_MAX];
};

// Counts one call on a watched path and ends the process when it is the chosen one.
void count_call(Call& call, const char* op) {
    call.n = ++call_count;
    call.op = op;
    if (settings().kill_at == call.n) {
        ::kill(::getpid(), SIGKILL);
    }
}

// Records a counted call with the bytes it really wrote (or its result).
long long finish_call(const Call& call, long long result) {
    if (call.n != 0) {
        trace(call.n, call.op, result, call.path);
    }
    return result;
}

long long used_bytes = 0;

// How many of `wanted` bytes a write may store; -1 (errno ENOSPC) when the disk is full.
ssize_t allowed_bytes(size_t wanted) {
    const Settings& s = settings();
    if (!s.limited) {
        return static_cast<ssize_t>(wanted);
    }
    const long long room = s.space - used_bytes;
    if (room <= 0 && wanted > 0) {
        errno = ENOSPC;
        return -1;
    }
    const long long granted = room < static_cast<long long>(wanted) ? room : wanted;
    return static_cast<ssize_t>(granted);
}

// Counts a write on `fd` and returns the number of bytes it may store (or -1).
ssize_t before_write(Call& call, int fd, const char* op, size_t wanted) {
    if (!settings().active || !fd_path(fd, call.path) || !watched_path(call.path)) {
        return static_cast<ssize_t>(wanted);
    }
    count_call(call, op);
    return allowed_bytes(wanted);
}

// Accounts the bytes a counted write stored.
ssize_t after_write(const Call& call, ssize_t result) {
    if (call.n != 0 && result > 0) {
        used_bytes += result;
    }
    return static_cast<ssize_t>(finish_call(call, result));
}

void before_fd_call(Call& call, int fd, const char* op) {
    if (settings().active && fd_path(fd, call.path) && watched_path(call.path)) {
        count_call(call, op);
    }
}

void before_path_call(Call& call, const char* path, const char* op) {
    if (watched_path(path)) {
        ::snprintf(call.path, sizeof call.path, "%s", path);
        count_call(call, op);
    }
}

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
    Call call;
    const ssize_t allowed = before_write(call, fd, "write", size);
    return after_write(call, allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed)));
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    Call call;
    const ssize_t allowed = before_write(call, fd, "pwrite", size);
    return after_write(call,
                       allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed), offset));
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    Call call;
    const ssize_t allowed = before_write(call, fd, "pwrite", size);
    return after_write(call,
                       allowed < 0 ? -1 : real(fd, data, static_cast<size_t>(allowed), offset));
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    static auto real = next<ssize_t (*)(int, const struct iovec*, int)>("writev");
    size_t size = 0;
    for (int i = 0; i < count; ++i) {
        size += parts[i].iov_len;
    }
    Call call;
    const ssize_t allowed = before_write(call, fd, "writev", size);
    if (allowed >= 0 && static_cast<size_t>(allowed) < size) {
        errno = ENOSPC; // a vectored write is not cut short here
        return after_write(call, -1);
    }
    return after_write(call, allowed < 0 ? -1 : real(fd, parts, count));
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t size,
                        unsigned int flags) {
    static auto real =
        next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
    Call call;
    ssize_t allowed = before_write(call, out, "copy_file_range", size);
    if (allowed < 0 && at_end(in, in_offset)) {
        allowed = 0; // a copy that has nothing left to copy needs no space
    }
    return after_write(call, allowed < 0 ? -1
                                         : real(in, in_offset, out, out_offset,
                                                static_cast<size_t>(allowed), flags));
}

int ftruncate(int fd, off_t length) {
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    Call call;
    before_fd_call(call, fd, "ftruncate");
    return static_cast<int>(finish_call(call, real(fd, length)));
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    Call call;
    before_fd_call(call, fd, "fsync");
    return static_cast<int>(finish_call(call, real(fd)));
}

int fdatasync(int fd) {
    static auto real = next<int (*)(int)>("fdatasync");
    Call call;
    before_fd_call(call, fd, "fdatasync");
    return static_cast<int>(finish_call(call, real(fd)));
}

int rename(const char* from, const char* to) {
    static auto real = next<int (*)(const char*, const char*)>("rename");
    Call call;
    before_path_call(call, to, "rename");
    return static_cast<int>(finish_call(call, real(from, to)));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    Call call;
    before_path_call(call, to, "rename");
    return static_cast<int>(finish_call(call, real(from_dir, from, to_dir, to)));
}

int unlink(const char* path) {
    static auto real = next<int (*)(const char*)>("unlink");
    Call call;
    before_path_call(call, path, "unlink");
    return static_cast<int>(finish_call(call, real(path)));
}

} // extern "C"
