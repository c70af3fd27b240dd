#include "platform/exceptions.h"

#include <cstring>

namespace vesk {

namespace {

// strerror_r comes in two flavours; these overloads accept either result type.
[[maybe_unused]] const char* pick_text(int result, const char* buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* pick_text(const char* result, const char*) {
    return result;
}

constexpr std::string_view kUnknownPrefix = "Unknown error";

} // namespace

std::string system_error_text(uint32_t code) {
    char buffer[256] = {};
    std::string text = pick_text(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    if (text.starts_with(kUnknownPrefix)) {
        return {};
    }
    return text;
}

WindowsError::WindowsError(std::string_view message, uint32_t code)
    : std::runtime_error(std::string(message) + system_error_text(code)) {}

} // namespace vesk
