#include "platform/logging.h"

#include <cstdio>

#include "platform/bindings.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr size_t kSecondsTimestampLength = 19;

} // namespace

void print_console_line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

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
            append_to_private_file(file_name_, line);
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
