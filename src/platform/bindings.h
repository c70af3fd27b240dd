#pragma once
#include <cstdint>
#include <string>

namespace vesk {

inline constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;
inline constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// A point in time as a file time: 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
uint64_t now();

// "YYYY-MM-DD hh:mm:ss.mmm" (23 characters) of a file time read as UTC.
std::string format_timestamp(uint64_t filetime);

// Seconds since 1970-01-01 00:00:00 UTC; whole seconds of the file time, rounded down.
int64_t filetime_to_unix(uint64_t filetime);

} // namespace vesk
