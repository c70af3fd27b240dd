#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>

#include "platform/bindings.h"

namespace vesk {
namespace {

constexpr uint64_t kUnixEpochFiletime = 116'444'736'000'000'000;
constexpr uint64_t kTicksPerSecond = 10'000'000;

uint64_t filetime_of(int64_t unix_seconds, uint32_t milliseconds = 0) {
    return kUnixEpochFiletime + static_cast<uint64_t>(unix_seconds) * kTicksPerSecond +
           milliseconds * 10'000ULL;
}

TEST(Bindings, FiletimeToUnixRoundsDownAndKnownDatesFormat) {
    EXPECT_EQ(filetime_to_unix(kUnixEpochFiletime), 0);
    EXPECT_EQ(filetime_to_unix(kUnixEpochFiletime + kTicksPerSecond), 1);
    EXPECT_EQ(filetime_to_unix(kUnixEpochFiletime + kTicksPerSecond - 1), 0);
    EXPECT_EQ(filetime_to_unix(0), -11'644'473'600);
    EXPECT_EQ(format_timestamp(filetime_of(1'394'039'049, 123)), "2014-03-05 17:04:09.123");
    EXPECT_EQ(format_timestamp(0), "1601-01-01 00:00:00.000");
    EXPECT_EQ(format_timestamp(kUnixEpochFiletime - 1), "1969-12-31 23:59:59.999");
}

TEST(Bindings, FormatTimestampAgreesWithTheStandardCalendar) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int64_t> any_second(-11'644'473'600, 253'402'300'799);
    for (int i = 0; i < 20'000; ++i) {
        const int64_t unix_seconds = any_second(random);
        using namespace std::chrono;
        const sys_seconds point{seconds(unix_seconds)};
        const sys_days day = floor<days>(point);
        const year_month_day date{day};
        const hh_mm_ss time_of_day{point - day};
        char expected[40];
        std::snprintf(expected, sizeof expected, "%04d-%02u-%02u %02lld:%02lld:%02lld.042",
                      static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()),
                      static_cast<long long>(time_of_day.hours().count()),
                      static_cast<long long>(time_of_day.minutes().count()),
                      static_cast<long long>(time_of_day.seconds().count()));
        ASSERT_EQ(format_timestamp(filetime_of(unix_seconds, 42)), expected) << unix_seconds;
    }
}

TEST(Bindings, NowFollowsTheRealTimeClock) {
    // system_clock reads the same real-time clock; time() reads a coarser one that may lag.
    const auto unix_seconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const int64_t before = unix_seconds();
    const uint64_t current = now();
    const int64_t after = unix_seconds();
    EXPECT_GE(filetime_to_unix(current), before);
    EXPECT_LE(filetime_to_unix(current), after);
    EXPECT_LE(current, now());
}

} // namespace
} // namespace vesk
