// Win32 error texts: FormatMessageA from the system message table.

#include <windows.h>

#include "platform/exceptions.h"

namespace vesk {

// The text exactly as the system returns it, line end included; empty for unknown codes.
std::string system_error_text(uint32_t code) {
    char buffer[1024] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    return std::string(buffer, length);
}

} // namespace vesk
