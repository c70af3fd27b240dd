// POSIX error texts: strerror_r.

#include <cstring>

#include "platform/exceptions.h"

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

} // namespace vesk
