// Defined conversions of model floats and set-points to the integer widths
// the EMS sees: never undefined, saturating at the target's limits.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace ems {

// Truncates toward zero; NaN gives 0, values beyond the range saturate.
inline std::int64_t truncateToInt64(double value)
{
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (std::isnan(value))
        return 0;
    if (value >= kTwoTo63)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -kTwoTo63)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

constexpr std::int32_t saturateToInt32(std::int64_t value)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value > kMax ? kMax : value < kMin ? kMin : value);
}

}  // namespace ems
