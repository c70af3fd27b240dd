#pragma once
// Message formatting: every "%s" (or "%d") of a format string takes the next argument in its
// plain text form, strings as they are and integers in decimal.

#include <array>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk {

namespace detail {

inline std::string to_text(std::string_view s) {
    return std::string(s);
}
inline std::string to_text(const char* s) {
    return s ? std::string(s) : std::string();
}
inline std::string to_text(const std::string& s) {
    return s;
}

template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) std::string to_text(T value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string substitute(std::string_view format, const std::string* args, size_t count);

} // namespace detail

// Fills the directives of `format` in order. A directive without an argument left is copied as
// it stands; any other character, "%" included, is copied unchanged.
template <typename... Args>
std::string format(std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return detail::substitute(format, nullptr, 0);
    } else {
        const std::array<std::string, sizeof...(Args)> texts{detail::to_text(args)...};
        return detail::substitute(format, texts.data(), texts.size());
    }
}

} // namespace vesk
