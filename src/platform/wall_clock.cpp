#include "platform/wall_clock.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <ctime>
#endif

namespace grainel {

#if defined(_WIN32)

// The Microsoft C runtime has no clock_gettime. The system time comes in
// 100 ns ticks since 1601-01-01 UTC, precise to the tick on Windows 8 and
// later.
std::optional<WallTime> read_wall_clock() noexcept {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    constexpr std::int64_t ticks_per_second = 10000000;
    constexpr std::int64_t seconds_1601_to_1970 = 11644473600;
    const std::int64_t since_1970 = ticks - seconds_1601_to_1970 * ticks_per_second;
    std::int64_t seconds = since_1970 / ticks_per_second;
    std::int64_t rest = since_1970 % ticks_per_second;
    if (rest < 0) {
        rest += ticks_per_second;
        seconds -= 1;
    }
    return WallTime{seconds, static_cast<std::uint32_t>(rest * 100)};
}

#else

std::optional<WallTime> read_wall_clock() noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
    return WallTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

#endif

}  // namespace grainel
