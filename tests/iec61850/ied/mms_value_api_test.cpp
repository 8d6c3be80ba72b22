// The C-style MmsValue, Timestamp and Hal functions: bit order, widths,
// fraction rounding, capture time, quality flags, and bad input.
#include "iec61850/ied/hal.hpp"
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/ied/timestamp.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
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

Owned structure(std::initializer_list<MmsValue*> members)
{
    Owned s(MmsValue_createEmptyStructure(static_cast<int>(members.size())));
    int i = 0;
    for (MmsValue* m : members)
        MmsValue_setElement(s.get(), i++, m);
    return s;
}

TEST(MmsValueApi, NullInGivesNeutralResults)
{
    EXPECT_EQ(MmsValue_getType(nullptr), MMS_DATA_ACCESS_ERROR);
    EXPECT_EQ(MmsValue_getArraySize(nullptr) + MmsValue_getDataAccessError(nullptr), -1);
    EXPECT_EQ(MmsValue_getElement(static_cast<MmsValue*>(nullptr), 0), nullptr);
    EXPECT_FALSE(MmsValue_getBoolean(nullptr) || MmsValue_getBitStringBit(nullptr, 0) || MmsValue_equals(nullptr, nullptr) ||
                 MmsValue_update(nullptr, nullptr) || Timestamp_isLeapSecondKnown(nullptr));
    EXPECT_EQ(MmsValue_toInt64(nullptr) + MmsValue_toUint32(nullptr) + MmsValue_toUnixTimestamp(nullptr) +
                  MmsValue_getBitStringAsInteger(nullptr) + Timestamp_getTimeInMs(nullptr), 0u);
    EXPECT_EQ(MmsValue_toDouble(nullptr) + MmsValue_toFloat(nullptr), 0.0);
    EXPECT_EQ(MmsValue_toString(nullptr), nullptr);
    EXPECT_EQ(MmsValue_setUtcTimeMs(nullptr, 5), nullptr);
    EXPECT_EQ(MmsValue_clone(nullptr), nullptr);
    EXPECT_EQ(Timestamp_toMmsValue(nullptr, nullptr), nullptr);
    MmsValue_setBoolean(nullptr, true), MmsValue_setInt32(nullptr, 1), MmsValue_setUint32(nullptr, 1);
    MmsValue_setFloat(nullptr, 1), MmsValue_setVisibleString(nullptr, "x"), MmsValue_setBitStringBit(nullptr, 0, true);
    MmsValue_setElement(nullptr, 0, nullptr), MmsValue_delete(nullptr);
    MmsValue_setElement(nullptr, 0, MmsValue_newBoolean(true));  // still freed: no leak under ASan
    Timestamp_clearFlags(nullptr), Timestamp_setTimeInMilliseconds(nullptr, 1), Timestamp_setLeapSecondKnown(nullptr, true);
    char buffer[8] = "garbage";
    EXPECT_STREQ(MmsValue_printToBuffer(nullptr, buffer, sizeof buffer), "");
    EXPECT_EQ(MmsValue_printToBuffer(nullptr, nullptr, 4), nullptr);
    EXPECT_STREQ(MmsValue_toString(Owned(MmsValue_newVisibleString(nullptr)).get()), "");
}

TEST(MmsValueApi, AccessorsKeepTypeWidthAndRange)
{
    Owned b(MmsValue_newBoolean(true));
    MmsValue_setFloat(b.get(), 3.5f);
    MmsValue_setVisibleString(b.get(), "text");
    MmsValue_setUtcTimeMs(b.get(), 1000);
    EXPECT_TRUE(MmsValue_getBoolean(b.get()));
    EXPECT_EQ(MmsValue_toString(b.get()), nullptr);
    EXPECT_EQ(MmsValue_getElement(b.get(), 0), nullptr);

    Owned i(MmsValue_newIntegerFromInt32(-2));
    MmsValue_setUint32(i.get(), 40000);
    MmsValue_setBoolean(i.get(), true);
    EXPECT_EQ(MmsValue_getType(i.get()), MMS_INTEGER);
    EXPECT_EQ(MmsValue_toInt32(i.get()), 40000);

    Owned f(MmsValue_newFloat(-7.75f));
    EXPECT_EQ(MmsValue_toInt32(f.get()), -7);
    MmsValue_setFloat(f.get(), 1e30f);
    EXPECT_EQ(MmsValue_toInt64(f.get()), INT64_MAX);  // saturates, no undefined cast
    MmsValue_setDouble(f.get(), 0.1);
    EXPECT_EQ(f->encode(), (Bytes{0x87, 0x05, 0x08, 0x3d, 0xcc, 0xcc, 0xcd}));  // stays 32 bits
    EXPECT_EQ(MmsValue_getDataAccessError(Owned(MmsValue_newDataAccessError(200)).get()), 11);  // clamped
}

TEST(MmsValueApi, BitStringBitZeroIsTheFirstBitOnTheWire)
{
    Owned q(MmsValue_newBitString(13));
    for (int bit : {0, 12, 13, -1})  // the last two are outside: ignored
        MmsValue_setBitStringBit(q.get(), bit, true);
    EXPECT_EQ(q->encode(), (Bytes{0x84, 0x03, 0x03, 0x80, 0x08}));
    EXPECT_TRUE(MmsValue_getBitStringBit(q.get(), 12));
    EXPECT_FALSE(MmsValue_getBitStringBit(q.get(), 13));
    EXPECT_FALSE(MmsValue_getBitStringBit(q.get(), -1));
    EXPECT_EQ(MmsValue_getBitStringAsInteger(q.get()), 0x1001u);
    EXPECT_EQ(MmsValue_getBitStringAsIntegerBigEndian(q.get()), 0x1001u);

    Owned check(MmsValue_newBitString(2));
    MmsValue_setBitStringFromInteger(check.get(), 1);  // bit 0
    EXPECT_EQ(check->encode(), (Bytes{0x84, 0x02, 0x06, 0x80}));
    MmsValue_setBitStringFromIntegerBigEndian(check.get(), 1);  // last bit
    EXPECT_EQ(check->encode(), (Bytes{0x84, 0x02, 0x06, 0x40}));
    EXPECT_EQ(MmsValue_getBitStringAsInteger(check.get()), 2u);
    MmsValue_deleteAllBitStringBits(check.get());
    EXPECT_EQ(MmsValue_getBitStringAsInteger(check.get()), 0u);

    Owned wide(MmsValue_newBitString(40));
    MmsValue_setBitStringBit(wide.get(), 0, true);
    MmsValue_setBitStringBit(wide.get(), 39, true);
    EXPECT_EQ(MmsValue_getBitStringAsIntegerBigEndian(wide.get()), 0x80000000u);  // the first 32 bits
    EXPECT_EQ(MmsValue_getBitStringAsInteger(wide.get()), 1u);
}

TEST(MmsValueApi, PrintingCutsAndTerminates)
{
    const std::uint8_t raw[] = {1, 2, 0, 4};
    Owned o(MmsValue_newOctetString(raw, 4));
    MmsValue_setOctetString(o.get(), raw, -3);
    EXPECT_EQ(MmsValue_getOctetStringSize(o.get()), 0);
    Owned st = structure({MmsValue_newBoolean(true), MmsValue_newVisibleString("ab")});
    char buffer[32];
    EXPECT_STREQ(MmsValue_printToBuffer(st.get(), buffer, sizeof buffer), "{true,\"ab\"}");
    EXPECT_STREQ(MmsValue_printToBuffer(st.get(), buffer, 4), "{tr");
    EXPECT_STREQ(MmsValue_printToBuffer(st.get(), buffer, 1), "");
    buffer[0] = 'x';
    MmsValue_printToBuffer(st.get(), buffer, 0);
    EXPECT_EQ(buffer[0], 'x');  // nothing written
}

TEST(MmsValueApi, StructuresOwnTheirElementsAndUpdateInPlace)
{
    Owned s = structure({MmsValue_newFloat(2.5f), MmsValue_newIntegerFromInt32(1)});
    MmsValue_setElement(s.get(), 2, MmsValue_newBoolean(true));  // out of range: freed, nothing stored
    MmsValue_setElement(s.get(), -1, MmsValue_newBoolean(true));
    EXPECT_EQ(MmsValue_getElement(s.get(), 2), nullptr);
    Owned copy(MmsValue_clone(s.get()));
    EXPECT_TRUE(MmsValue_equals(copy.get(), s.get()));
    MmsValue_setFloat(MmsValue_getElement(copy.get(), 0), 3.0f);
    EXPECT_FALSE(MmsValue_equals(copy.get(), s.get()));  // a deep copy
    EXPECT_FALSE(MmsValue_equals(MmsValue_getElement(s.get(), 1), Owned(MmsValue_newUnsignedFromUint32(1)).get()));

    Owned source = structure({MmsValue_newDouble(0.1), MmsValue_newIntegerFromInt32(9)});
    const MmsValue* member = MmsValue_getElement(s.get(), 0);
    ASSERT_TRUE(MmsValue_update(s.get(), source.get()));
    EXPECT_EQ(MmsValue_getElement(s.get(), 0), member);  // updated in place: pointers to members stay valid
    EXPECT_FALSE(member->isDouble());                    // keeps its width
    EXPECT_EQ(MmsValue_toFloat(member), 0.1f);
    EXPECT_EQ(MmsValue_toInt32(MmsValue_getElement(s.get(), 1)), 9);

    const MmsValue before = *s;
    EXPECT_FALSE(MmsValue_update(s.get(), structure({MmsValue_newFloat(5), MmsValue_newUnsignedFromUint32(5)}).get()));
    EXPECT_FALSE(MmsValue_update(s.get(), structure({MmsValue_newFloat(5)}).get()));
    EXPECT_FALSE(MmsValue_update(s.get(), Owned(MmsValue_newFloat(5)).get()));
    EXPECT_EQ(*s, before);

    Owned text(MmsValue_newVisibleString("a"));
    EXPECT_TRUE(MmsValue_update(text.get(), Owned(MmsValue_newVisibleString("longer")).get()));
    EXPECT_STREQ(MmsValue_toString(text.get()), "longer");
    EXPECT_TRUE(MmsValue_update(text.get(), text.get()));
}

TEST(Timestamp, EveryMillisecondSurvivesTheFraction)
{
    Timestamp t;
    for (std::uint64_t ms = 0; ms < 1000; ++ms) {
        const std::uint64_t time = kCaptureTimeMs - 899 + ms;
        Timestamp_setTimeInMilliseconds(&t, time);
        ASSERT_EQ(Timestamp_getTimeInMs(&t), time) << ms;
        Owned v(Timestamp_toMmsValue(&t, nullptr));
        ASSERT_EQ(MmsValue_getUtcTimeInMs(v.get()), time) << ms;
        ASSERT_TRUE(MmsValue_equals(v.get(), Owned(MmsValue_newUtcTimeByMsTime(time)).get())) << ms;
    }
}

TEST(Timestamp, OctetsMatchTheCaptureThroughEveryPath)
{
    Timestamp t;
    Timestamp_setTimeInMilliseconds(&t, kCaptureTimeMs);
    EXPECT_EQ(0, std::memcmp(t.val, kCaptureTime, 8));
    EXPECT_EQ(Timestamp_getTimeInSeconds(&t), 1796544427u);
    EXPECT_EQ(Timestamp_getFractionOfSecond(&t), 0xe624ddu);
    std::unique_ptr<Timestamp, void (*)(Timestamp*)> copy(Timestamp_createFromByteArray(kCaptureTime),
                                                          Timestamp_destroy);
    EXPECT_EQ(Timestamp_getTimeInMs(copy.get()), kCaptureTimeMs);

    MmsValue captured = MmsValue::utcTime(iec61850::ByteView(kCaptureTime, 8));
    EXPECT_EQ(MmsValue_getUtcTimeInMs(&captured), kCaptureTimeMs);
    EXPECT_EQ(MmsValue_toUnixTimestamp(&captured), 1796544427u);
    Owned made(MmsValue_newUtcTimeByMsTime(kCaptureTimeMs));
    EXPECT_TRUE(MmsValue_equals(made.get(), &captured));
    MmsValue_setUtcTimeMs(made.get(), 1999);
    EXPECT_EQ(MmsValue_toUnixTimestamp(made.get()), 1u);  // seconds are cut, not rounded

    Timestamp_setLeapSecondKnown(&t, true);
    EXPECT_EQ(Timestamp_toMmsValue(&t, made.get()), made.get());
    EXPECT_EQ(made->encode(), (Bytes{0x91, 0x08, 0x6b, 0x15, 0x17, 0xab, 0xe6, 0x24, 0xdd, 0x80}));
    EXPECT_EQ(MmsValue_getUtcTimeQuality(made.get()), 0x80);
    Timestamp back;
    Timestamp_setByMmsUtcTime(&back, made.get());
    EXPECT_EQ(0, std::memcmp(back.val, t.val, 8));

    Owned notTime(MmsValue_newFloat(1));
    Timestamp_toMmsValue(&t, notTime.get());
    EXPECT_EQ(MmsValue_toFloat(notTime.get()), 1.0f);
    Timestamp_setByMmsUtcTime(&back, notTime.get());
    EXPECT_EQ(0, std::memcmp(back.val, t.val, 8));
}

TEST(Timestamp, QualityFlagsAreSeparateBits)
{
    Timestamp t;
    Timestamp_setSubsecondPrecision(&t, 10);
    Timestamp_setLeapSecondKnown(&t, true);
    EXPECT_EQ(t.val[7], 0x8a);
    Timestamp_setClockFailure(&t, true);
    Timestamp_setClockNotSynchronized(&t, true);
    EXPECT_EQ(t.val[7], 0xea);
    EXPECT_TRUE(Timestamp_hasClockFailure(&t) && Timestamp_isClockNotSynchronized(&t));
    Timestamp_setClockFailure(&t, false);
    EXPECT_EQ(Timestamp_getSubsecondPrecision(&t), 10);

    Timestamp_setTimeInMilliseconds(&t, 123456);  // time leaves the quality alone
    EXPECT_EQ(t.val[7], 0xaa);
    Timestamp_setSubsecondPrecision(&t, 25);  // not a precision: unspecified
    EXPECT_EQ(t.val[7], 0xbf);
    Timestamp_setSubsecondPrecision(&t, -1);
    EXPECT_EQ(Timestamp_getSubsecondPrecision(&t), 31);
    Timestamp_clearFlags(&t);
    EXPECT_EQ(t.val[7], 0);
    EXPECT_EQ(Timestamp_getTimeInMs(&t), 123456u);
}

TEST(Hal, WallClockIsNearTheSystemClock)
{
    const auto now = static_cast<std::uint64_t>(std::time(nullptr)) * 1000;
    const std::uint64_t hal = Hal_getTimeInMs();
    EXPECT_GE(hal + 2000, now);
    EXPECT_LE(hal, now + 2000);
    Thread_sleep(-5);  // no wait, no wrap to a huge sleep
}

}  // namespace
