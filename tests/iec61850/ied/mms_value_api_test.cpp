// The C-style Timestamp and MmsValue time functions the box calls: fraction
// rounding, the capture's time, the leap second flag.
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/ied/timestamp.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using iec61850::Bytes;

struct Deleter {
    void operator()(MmsValue* v) const { MmsValue_delete(v); }
};
using Owned = std::unique_ptr<MmsValue, Deleter>;

// T of the Oper written in capture 06: 2026-12-06 08:07:07.899 UTC.
constexpr std::uint8_t kCaptureTime[8] = {0x6b, 0x15, 0x17, 0xab, 0xe6, 0x24, 0xdd, 0x00};
constexpr std::uint64_t kCaptureTimeMs = 1796544427899;

TEST(Timestamp, EveryMillisecondSurvivesTheFractionAndTheCaptureReadsBack)
{
    Timestamp t;
    for (std::uint64_t time = kCaptureTimeMs - 899; time < kCaptureTimeMs + 101; ++time) {
        Timestamp_setTimeInMilliseconds(&t, time);
        Owned v(Timestamp_toMmsValue(&t, nullptr));
        ASSERT_EQ(MmsValue_getUtcTimeInMs(v.get()), time);
        ASSERT_TRUE(MmsValue_equals(v.get(), Owned(MmsValue_newUtcTimeByMsTime(time)).get())) << time;
    }
    Timestamp_setTimeInMilliseconds(&t, kCaptureTimeMs);
    EXPECT_EQ(0, std::memcmp(t.val, kCaptureTime, 8));
    MmsValue captured = MmsValue::utcTime(iec61850::ByteView(kCaptureTime, 8));
    EXPECT_EQ(MmsValue_toUnixTimestamp(&captured), 1796544427u);
    Owned made(MmsValue_newUtcTimeByMsTime(kCaptureTimeMs));
    Timestamp_setLeapSecondKnown(&t, true);
    EXPECT_EQ(Timestamp_toMmsValue(&t, made.get()), made.get());
    EXPECT_EQ(made->encode(), (Bytes{0x91, 0x08, 0x6b, 0x15, 0x17, 0xab, 0xe6, 0x24, 0xdd, 0x80}));
    Timestamp_clearFlags(&t);
    EXPECT_EQ(t.val[7], 0);
    EXPECT_EQ(Timestamp_getTimeInMs(&t), kCaptureTimeMs);  // time leaves the quality alone, and the other way round
}

}  // namespace
