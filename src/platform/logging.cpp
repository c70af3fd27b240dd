#include "platform/logging.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/bindings.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr size_t kSecondsTimestampLength = 19;

void print_console_line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Appends the line with O_APPEND so that concurrent writers never interleave inside a line.
// A log is a private regular file: a symbolic link at its name is not followed, and a FIFO or
// device there is neither waited for nor written to.
void append_to_file(const std::string& file_name, std::string_view line) {
    const int fd =
        ::open(file_name.c_str(),
               O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name), errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name), EINVAL);
    }
    uint32_t error = 0;
    while (!line.empty()) {
        const ssize_t written = ::write(fd, line.data(), line.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            break;
        }
        line.remove_prefix(static_cast<size_t>(written));
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        throw VfsException("VfsFile.Write failed. ", error);
    }
}

} // namespace

void Logger::write_line(std::string_view text, bool to_console) const noexcept {
    try {
        const std::string stamp = format_timestamp(now()).substr(0, kSecondsTimestampLength);
        std::string line = "[" + stamp + "] ";
        line += text;
        if (to_console) {
            print_console_line(line);
        }
        if (!file_name_.empty()) {
            line += "\r\n";
            append_to_file(file_name_, line);
        }
    } catch (const std::exception& error) {
        report_failure(error.what());
    } catch (...) {
        report_failure("Unknown error while logging.");
    }
}

void Logger::log_to_file(std::string_view text) const noexcept {
    write_line(text, false);
}

void Logger::report_failure(std::string_view message) noexcept {
    print_console_line(message);
}

} // namespace vesk
