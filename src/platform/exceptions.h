#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk {

// The operating system's text for an error code (an errno value on POSIX systems). Empty when
// the system has no text for the code.
std::string system_error_text(uint32_t code);

// An operating-system failure: the message immediately followed by the system's text for the
// code, without a separator. The code itself is not kept.
class WindowsError : public std::runtime_error {
public:
    WindowsError(std::string_view message, uint32_t code);
};

} // namespace vesk
