// Win32 system time: GetSystemTimeAsFileTime, already a file time.

#include <windows.h>

#include "platform/bindings.h"

namespace vesk {

uint64_t now() {
    FILETIME time{};
    ::GetSystemTimeAsFileTime(&time);
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace vesk
