#pragma once
#include <string>
#include <string_view>

#include "platform/text_format.h"

namespace vesk {

// Prints one line on standard output and flushes it, so that it shows at once.
void print_console_line(std::string_view text);

// Writes time-stamped lines "[YYYY-MM-DD hh:mm:ss] text" (UTC) to standard output and, when a
// file name is given, appends them with CR LF to that file. The file is opened and closed for
// every line, so nothing is held open between calls.
class Logger {
public:
    explicit Logger(std::string file_name) : file_name_(std::move(file_name)) {}

    // Formats the message with vesk::format. Never throws: a failure (formatting, opening or
    // writing the file) is printed on standard output as a line of its own.
    template <typename... Args>
    void log(std::string_view format, const Args&... args) const noexcept {
        try {
            write_line(vesk::format(format, args...));
        } catch (const std::exception& error) {
            report_failure(error.what());
        } catch (...) {
            report_failure("Unknown error while logging.");
        }
    }

    // Appends one time-stamped line to the file only, for a text the console already shows.
    void log_to_file(std::string_view text) const noexcept;

    const std::string& file_name() const { return file_name_; }

private:
    void write_line(std::string_view text, bool to_console = true) const noexcept;
    static void report_failure(std::string_view message) noexcept;

    std::string file_name_;
};

} // namespace vesk
