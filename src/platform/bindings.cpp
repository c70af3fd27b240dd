#include "platform/bindings.h"

#include <cstdio>

namespace vesk {

namespace {

constexpr uint64_t kSecondsPerDay = 86'400;

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

// Gregorian date of a day count since 1970-01-01 (days may be negative).
CivilDate civil_from_days(int64_t days) {
    days += 719'468;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

} // namespace

std::string format_timestamp(uint64_t filetime) {
    const uint64_t total_seconds = filetime / kFileTimeTicksPerSecond;
    const auto milliseconds = static_cast<unsigned>(filetime % kFileTimeTicksPerSecond / 10'000);
    const auto seconds_of_day = static_cast<unsigned>(total_seconds % kSecondsPerDay);
    const auto days_since_1601 = static_cast<int64_t>(total_seconds / kSecondsPerDay);
    const CivilDate date = civil_from_days(
        days_since_1601 - kSecondsFrom1601To1970 / static_cast<int64_t>(kSecondsPerDay));
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02u:%02u:%02u.%03u",
                                     static_cast<long long>(date.year), date.month, date.day,
                                     seconds_of_day / 3600, seconds_of_day / 60 % 60,
                                     seconds_of_day % 60, milliseconds);
    return std::string(buffer, static_cast<size_t>(length));
}

int64_t filetime_to_unix(uint64_t filetime) {
    return static_cast<int64_t>(filetime / kFileTimeTicksPerSecond) - kSecondsFrom1601To1970;
}

} // namespace vesk
