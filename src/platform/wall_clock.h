// The wall clock, read the same way on every platform.
#pragma once

#include <cstdint>
#include <optional>

namespace grainel {

// Whole seconds since 1970-01-01 00:00:00 UTC (negative before it) and the
// nanoseconds within that second, 0 to 999999999.
struct WallTime {
    std::int64_t seconds;
    std::uint32_t nanoseconds;
};

// The real-time clock now, or nothing when the platform cannot read it.
std::optional<WallTime> read_wall_clock() noexcept;

}  // namespace grainel
