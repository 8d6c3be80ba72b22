#include "numeric_conversion.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using ems::saturateToInt32;
using ems::truncateToInt64;
using Limits64 = std::numeric_limits<std::int64_t>;

TEST(FloatToInteger, TruncatesTowardZero)
{
    EXPECT_EQ(truncateToInt64(-2500.7f), -2500);
    EXPECT_EQ(truncateToInt64(0.9f), 0);
    EXPECT_EQ(truncateToInt64(-0.9f), 0);
    EXPECT_EQ(truncateToInt64(3000000000.0f), 3000000000);
}

TEST(FloatToInteger, NotANumberAndOutOfRangeAreDefined)
{
    EXPECT_EQ(truncateToInt64(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(truncateToInt64(std::numeric_limits<float>::infinity()), Limits64::max());
    EXPECT_EQ(truncateToInt64(-std::numeric_limits<float>::infinity()), Limits64::min());
    EXPECT_EQ(truncateToInt64(std::numeric_limits<float>::max()), Limits64::max());
    EXPECT_EQ(truncateToInt64(-std::numeric_limits<float>::max()), Limits64::min());
    EXPECT_EQ(truncateToInt64(9223372036854775808.0), Limits64::max());
    EXPECT_EQ(truncateToInt64(-9223372036854775808.0), Limits64::min());
}

TEST(SetpointForExport, SaturatesAtThirtyTwoBits)
{
    EXPECT_EQ(saturateToInt32(3000000000), 2147483647);
    EXPECT_EQ(saturateToInt32(-3000000000), -2147483647 - 1);
    EXPECT_EQ(saturateToInt32(2147483647), 2147483647);
    EXPECT_EQ(saturateToInt32(-4200), -4200);
}

}  // namespace
