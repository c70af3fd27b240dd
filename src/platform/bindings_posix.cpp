// POSIX system time: the real-time clock.

#include <ctime>

#include "platform/bindings.h"

namespace vesk {

uint64_t now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const auto seconds = static_cast<uint64_t>(ts.tv_sec + kSecondsFrom1601To1970);
    return seconds * kFileTimeTicksPerSecond + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

} // namespace vesk
