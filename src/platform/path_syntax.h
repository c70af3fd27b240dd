#pragma once
// What the portable part of VfsPath (vfs.cpp) needs to know of the platform's path syntax and
// current directory. Each vfs backend defines these; private to src/platform.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesk::path_syntax {

// True when a path text (slashes or backslashes) starts with the two separators of a UNC path
// ("//server/share"), which its normal form keeps. Never on POSIX, where "//" is just "/".
bool starts_unc(std::string_view text) noexcept;
// True when the normal form does not depend on the current directory.
bool is_absolute(std::string_view normal) noexcept;
// Length of the root the normal form starts with: "/" on POSIX; "C:", "//server/share" or "/"
// on Windows; 0 for a relative path.
size_t root_length(std::string_view normal) noexcept;
// The current directory in normal form; nothing, with the system's error code, on failure.
std::optional<std::string> current_directory(uint32_t& error);
// The system's error codes for a path text that is too long and for one with a zero byte.
uint32_t too_long_code() noexcept;
uint32_t invalid_text_code() noexcept;

} // namespace vesk::path_syntax
