// Throughput of run_with_io draining a child that writes 100 MB of short lines, next to the
// same child piped into `cat > /dev/null` and the child writing to /dev/null directly.
// The child is this program itself with --generate, writing whole lines in 1 MiB blocks, so the
// figures measure the reading side rather than a slow generator.
// Usage: run_with_io_bench [megabytes] [repetitions]

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/subprocess.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A typical archiver line: a relative path and a checksum.
constexpr const char* kLine = "photos/2024/holiday/IMG_000123.jpg  0123456789abcdef01234567";

std::string self_path() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return length > 0 ? std::string(path.data(), static_cast<size_t>(length)) : "run_with_io_bench";
}

// The command line of the generator child, quoted as the archiving code quotes programs.
std::string generator(long long bytes) {
    std::string command = "\"";
    command += self_path();
    command += "\" --generate ";
    command += std::to_string(bytes);
    return command;
}

int generate(long long bytes) {
    std::string block;
    while (block.size() < (1u << 20)) {
        block += kLine;
        block += '\n';
    }
    while (bytes > 0) {
        const auto size = static_cast<size_t>(std::min<long long>(bytes, block.size()));
        const ssize_t written = write(STDOUT_FILENO, block.data(), size);
        if (written <= 0) {
            return 1;
        }
        bytes -= written;
    }
    return 0;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a shell script (with the default SIGPIPE action) and waits for it; wall time in seconds.
double time_shell(const std::string& script) {
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "posix_spawn: %s\n", std::strerror(error));
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return seconds_since(start);
}

struct Drained {
    double seconds = 0;
    unsigned long long bytes = 0, lines = 0, calls = 0;
};

unsigned long long count_lines(std::string_view chunk) {
    unsigned long long lines = 0;
    const char* end = chunk.data() + chunk.size();
    for (const char* p = chunk.data();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p) {
        ++lines;
    }
    return lines;
}

// Drains the generator; with count_newlines the callback also finds every line end, as a line
// splitter would.
Drained time_run_with_io(long long bytes, bool count_newlines) {
    Drained result;
    const vesk::ProcessCallback count = [&](const auto&, std::string_view output, std::string_view,
                                            bool) {
        ++result.calls;
        result.bytes += output.size();
        if (count_newlines) {
            result.lines += count_lines(output);
        }
        return 0;
    };
    const auto start = Clock::now();
    vesk::run_with_io("", generator(bytes), "", {}, count, 0x100000, 20);
    result.seconds = seconds_since(start);
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--generate") == 0) {
        return generate(std::atoll(argv[2]));
    }
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    const long long bytes = megabytes * 1'000'000;
    const double mb = static_cast<double>(bytes) / 1e6;

    std::vector<double> drained, drained_lines, piped_to_cat, to_null;
    Drained last;
    for (int i = 0; i < repetitions; ++i) {
        for (const bool count_newlines : {false, true}) {
            last = time_run_with_io(bytes, count_newlines);
            if (last.bytes != static_cast<unsigned long long>(bytes)) {
                std::fprintf(stderr, "run_with_io saw %llu of %lld bytes\n", last.bytes, bytes);
                return 1;
            }
            (count_newlines ? drained_lines : drained).push_back(mb / last.seconds);
        }
        piped_to_cat.push_back(mb / time_shell(generator(bytes) + " | cat > /dev/null"));
        to_null.push_back(mb / time_shell(generator(bytes) + " > /dev/null"));
    }
    std::printf("output: %.0f MB in %llu lines of %zu bytes, %d repetitions, median figures\n", mb,
                last.lines, std::strlen(kLine) + 1, repetitions);
    std::printf("run_with_io, callback counts bytes:      %8.1f MB/s\n", median(drained));
    std::printf("run_with_io, callback also counts lines: %8.1f MB/s  (%llu callback calls)\n",
                median(drained_lines), last.calls);
    std::printf("same output | cat > /dev/null:           %8.1f MB/s\n", median(piped_to_cat));
    std::printf("generator > /dev/null:                   %8.1f MB/s\n", median(to_null));
    std::printf("run_with_io (bytes only) / cat:          %8.1f %%\n",
                100.0 * median(drained) / median(piped_to_cat));
    return 0;
}
