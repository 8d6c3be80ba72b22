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

TEST(MmsValueApi, TypesOfEveryKind)
{
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newBoolean(true)).get()), MMS_BOOLEAN);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newIntegerFromInt32(1)).get()), MMS_INTEGER);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newUnsignedFromUint32(1)).get()), MMS_UNSIGNED);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newFloat(1)).get()), MMS_FLOAT);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newDouble(1)).get()), MMS_FLOAT);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newVisibleString("x")).get()), MMS_VISIBLE_STRING);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newOctetString(nullptr, 0)).get()), MMS_OCTET_STRING);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newBitString(2)).get()), MMS_BIT_STRING);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newUtcTimeByMsTime(0)).get()), MMS_UTC_TIME);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_createEmptyStructure(2)).get()), MMS_STRUCTURE);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_createEmptyArray(2)).get()), MMS_ARRAY);
    EXPECT_EQ(MmsValue_getType(Owned(MmsValue_newDataAccessError(3)).get()), MMS_DATA_ACCESS_ERROR);
    MmsValue mmsString = MmsValue::mmsString("ü");
    EXPECT_EQ(MmsValue_getType(&mmsString), MMS_STRING);
    EXPECT_STREQ(MmsValue_getTypeString(&mmsString), "mms-string");
}

TEST(MmsValueApi, NullInGivesNeutralResults)
{
    EXPECT_EQ(MmsValue_getType(nullptr), MMS_DATA_ACCESS_ERROR);
    EXPECT_EQ(MmsValue_getArraySize(nullptr), 0);
    EXPECT_EQ(MmsValue_getElement(static_cast<MmsValue*>(nullptr), 0), nullptr);
    EXPECT_FALSE(MmsValue_getBoolean(nullptr));
    EXPECT_EQ(MmsValue_toInt32(nullptr), 0);
    EXPECT_EQ(MmsValue_toInt64(nullptr), 0);
    EXPECT_EQ(MmsValue_toUint32(nullptr), 0u);
    EXPECT_EQ(MmsValue_toFloat(nullptr), 0.0f);
    EXPECT_EQ(MmsValue_toDouble(nullptr), 0.0);
    EXPECT_EQ(MmsValue_toString(nullptr), nullptr);
    EXPECT_EQ(MmsValue_toUnixTimestamp(nullptr), 0u);
    EXPECT_EQ(MmsValue_getUtcTimeInMs(nullptr), 0u);
    EXPECT_EQ(MmsValue_setUtcTimeMs(nullptr, 5), nullptr);
    EXPECT_FALSE(MmsValue_getBitStringBit(nullptr, 0));
    EXPECT_EQ(MmsValue_getBitStringAsInteger(nullptr), 0u);
    EXPECT_EQ(MmsValue_clone(nullptr), nullptr);
    EXPECT_FALSE(MmsValue_equals(nullptr, nullptr));
    EXPECT_FALSE(MmsValue_update(nullptr, nullptr));
    EXPECT_EQ(MmsValue_getDataAccessError(nullptr), -1);
    MmsValue_setBoolean(nullptr, true);
    MmsValue_setInt32(nullptr, 1);
    MmsValue_setUint32(nullptr, 1);
    MmsValue_setFloat(nullptr, 1);
    MmsValue_setVisibleString(nullptr, "x");
    MmsValue_setBitStringBit(nullptr, 0, true);
    MmsValue_setElement(nullptr, 0, nullptr);
    MmsValue_setElement(nullptr, 0, MmsValue_newBoolean(true));  // still freed: no leak under ASan
    MmsValue_delete(nullptr);

    char buffer[8] = "garbage";
    EXPECT_STREQ(MmsValue_printToBuffer(nullptr, buffer, sizeof buffer), "");
    EXPECT_EQ(MmsValue_printToBuffer(nullptr, nullptr, 4), nullptr);

    Owned text(MmsValue_newVisibleString(nullptr));
    EXPECT_STREQ(MmsValue_toString(text.get()), "");
    Timestamp_clearFlags(nullptr);
    Timestamp_setTimeInMilliseconds(nullptr, 1);
    Timestamp_setLeapSecondKnown(nullptr, true);
    EXPECT_EQ(Timestamp_getTimeInMs(nullptr), 0u);
    EXPECT_FALSE(Timestamp_isLeapSecondKnown(nullptr));
    EXPECT_EQ(Timestamp_toMmsValue(nullptr, nullptr), nullptr);
}

TEST(MmsValueApi, WrongTypeAccessorsLeaveValuesAlone)
{
    Owned b(MmsValue_newBoolean(true));
    MmsValue_setFloat(b.get(), 3.5f);
    MmsValue_setVisibleString(b.get(), "text");
    MmsValue_setBitStringBit(b.get(), 0, false);
    MmsValue_setUtcTimeMs(b.get(), 1000);
    EXPECT_TRUE(MmsValue_getBoolean(b.get()));
    EXPECT_EQ(MmsValue_toString(b.get()), nullptr);
    EXPECT_EQ(MmsValue_getUtcTimeInMs(b.get()), 0u);
    EXPECT_EQ(MmsValue_getElement(b.get(), 0), nullptr);

    Owned i(MmsValue_newIntegerFromInt32(7));
    MmsValue_setBoolean(i.get(), true);
    EXPECT_EQ(MmsValue_toInt32(i.get()), 7);
    EXPECT_FALSE(MmsValue_getBoolean(i.get()));
}

TEST(MmsValueApi, IntegerConversions)
{
    Owned u(MmsValue_newUnsignedFromUint32(0xffffffffu));
    EXPECT_EQ(MmsValue_toUint32(u.get()), 0xffffffffu);
    EXPECT_EQ(MmsValue_toInt64(u.get()), 0xffffffffll);
    MmsValue_setInt32(u.get(), 5);
    EXPECT_EQ(MmsValue_getType(u.get()), MMS_UNSIGNED);
    EXPECT_EQ(MmsValue_toUint32(u.get()), 5u);

    Owned i(MmsValue_newIntegerFromInt32(-2));
    EXPECT_EQ(MmsValue_toInt32(i.get()), -2);
    MmsValue_setUint32(i.get(), 40000);
    EXPECT_EQ(MmsValue_getType(i.get()), MMS_INTEGER);
    EXPECT_EQ(MmsValue_toInt32(i.get()), 40000);
    EXPECT_EQ(MmsValue_toFloat(i.get()), 40000.0f);

    Owned f(MmsValue_newFloat(-7.75f));
    EXPECT_EQ(MmsValue_toInt32(f.get()), -7);
    MmsValue_setFloat(f.get(), 1e30f);
    EXPECT_EQ(MmsValue_toInt64(f.get()), INT64_MAX);  // saturates, no undefined cast
}

TEST(MmsValueApi, FloatKeepsItsWireWidth)
{
    Owned f(MmsValue_newFloat(0));
    MmsValue_setDouble(f.get(), 0.1);
    EXPECT_EQ(MmsValue_toDouble(f.get()), static_cast<double>(0.1f));
    EXPECT_EQ(f->encode(), (Bytes{0x87, 0x05, 0x08, 0x3d, 0xcc, 0xcc, 0xcd}));

    Owned d(MmsValue_newDouble(0));
    MmsValue_setDouble(d.get(), 0.1);
    EXPECT_EQ(MmsValue_toDouble(d.get()), 0.1);
    EXPECT_EQ(d->encode().size(), 11u);
}

TEST(MmsValueApi, BitStringBitZeroIsTheFirstBitOnTheWire)
{
    Owned q(MmsValue_newBitString(13));
    EXPECT_EQ(MmsValue_getBitStringSize(q.get()), 13);
    MmsValue_setBitStringBit(q.get(), 0, true);
    MmsValue_setBitStringBit(q.get(), 12, true);
    MmsValue_setBitStringBit(q.get(), 13, true);  // past the end: ignored
    MmsValue_setBitStringBit(q.get(), -1, true);
    EXPECT_EQ(q->encode(), (Bytes{0x84, 0x03, 0x03, 0x80, 0x08}));
    EXPECT_TRUE(MmsValue_getBitStringBit(q.get(), 0));
    EXPECT_FALSE(MmsValue_getBitStringBit(q.get(), 1));
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

TEST(MmsValueApi, StringsAndOctets)
{
    Owned s(MmsValue_newVisibleString("abc"));
    const char* before = MmsValue_toString(s.get());
    EXPECT_STREQ(before, "abc");
    MmsValue_setVisibleString(s.get(), "a longer text than before");
    EXPECT_STREQ(MmsValue_toString(s.get()), "a longer text than before");
    MmsValue_setVisibleString(s.get(), "");
    EXPECT_STREQ(MmsValue_toString(s.get()), "");

    const std::uint8_t raw[] = {1, 2, 0, 4};
    Owned o(MmsValue_newOctetString(raw, 4));
    ASSERT_EQ(MmsValue_getOctetStringSize(o.get()), 4);
    EXPECT_EQ(std::memcmp(MmsValue_getOctetStringBuffer(o.get()), raw, 4), 0);
    MmsValue_setOctetString(o.get(), raw, -3);
    EXPECT_EQ(MmsValue_getOctetStringSize(o.get()), 0);
    EXPECT_EQ(MmsValue_toString(o.get()), nullptr);
}

TEST(MmsValueApi, UtcTimeFromTheCapture)
{
    MmsValue t = MmsValue::utcTime(iec61850::ByteView(kCaptureTime, 8));
    EXPECT_EQ(MmsValue_getUtcTimeInMs(&t), kCaptureTimeMs);
    EXPECT_EQ(MmsValue_toUnixTimestamp(&t), 1796544427u);

    Owned made(MmsValue_newUtcTimeByMsTime(kCaptureTimeMs));
    EXPECT_TRUE(MmsValue_equals(made.get(), &t));

    // Seconds are cut, not rounded.
    MmsValue_setUtcTimeMs(made.get(), 1999);
    EXPECT_EQ(MmsValue_toUnixTimestamp(made.get()), 1u);
    MmsValue_setUtcTime(made.get(), 1700000000);
    EXPECT_EQ(MmsValue_getUtcTimeInMs(made.get()), 1700000000000u);
}

TEST(MmsValueApi, StructuresOwnTheirElements)
{
    Owned s(MmsValue_createEmptyStructure(2));
    ASSERT_EQ(MmsValue_getArraySize(s.get()), 2);
    MmsValue_setElement(s.get(), 0, MmsValue_newFloat(2.5f));
    MmsValue_setElement(s.get(), 1, MmsValue_newVisibleString("q"));
    MmsValue_setElement(s.get(), 2, MmsValue_newBoolean(true));  // out of range: freed, nothing stored
    MmsValue_setElement(s.get(), -1, MmsValue_newBoolean(true));
    EXPECT_EQ(MmsValue_toFloat(MmsValue_getElement(s.get(), 0)), 2.5f);
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(s.get(), 1)), "q");
    EXPECT_EQ(MmsValue_getElement(s.get(), 2), nullptr);
    EXPECT_EQ(MmsValue_getElement(s.get(), -1), nullptr);

    Owned copy(MmsValue_clone(s.get()));
    EXPECT_TRUE(MmsValue_equals(copy.get(), s.get()));
    MmsValue_setFloat(MmsValue_getElement(copy.get(), 0), 3.0f);
    EXPECT_FALSE(MmsValue_equals(copy.get(), s.get()));  // a deep copy
    EXPECT_EQ(MmsValue_toFloat(MmsValue_getElement(s.get(), 0)), 2.5f);
}

TEST(MmsValueApi, UpdateNeedsTheSameTypeAndShape)
{
    Owned target(MmsValue_createEmptyStructure(2));
    MmsValue_setElement(target.get(), 0, MmsValue_newFloat(1));
    MmsValue_setElement(target.get(), 1, MmsValue_newIntegerFromInt32(1));

    Owned source(MmsValue_createEmptyStructure(2));
    MmsValue_setElement(source.get(), 0, MmsValue_newDouble(0.1));
    MmsValue_setElement(source.get(), 1, MmsValue_newIntegerFromInt32(9));
    const MmsValue* member = MmsValue_getElement(target.get(), 0);
    ASSERT_TRUE(MmsValue_update(target.get(), source.get()));
    EXPECT_EQ(MmsValue_getElement(target.get(), 0), member);  // updated in place: pointers to members stay valid
    EXPECT_FALSE(MmsValue_getElement(target.get(), 0)->isDouble());  // keeps its width
    EXPECT_EQ(MmsValue_toFloat(MmsValue_getElement(target.get(), 0)), 0.1f);
    EXPECT_EQ(MmsValue_toInt32(MmsValue_getElement(target.get(), 1)), 9);

    const MmsValue before = *target;
    Owned wrongMember(MmsValue_createEmptyStructure(2));
    MmsValue_setElement(wrongMember.get(), 0, MmsValue_newFloat(5));
    MmsValue_setElement(wrongMember.get(), 1, MmsValue_newUnsignedFromUint32(5));
    EXPECT_FALSE(MmsValue_update(target.get(), wrongMember.get()));
    Owned shorter(MmsValue_createEmptyStructure(1));
    EXPECT_FALSE(MmsValue_update(target.get(), shorter.get()));
    Owned scalar(MmsValue_newFloat(5));
    EXPECT_FALSE(MmsValue_update(target.get(), scalar.get()));
    EXPECT_EQ(*target, before);

    Owned text(MmsValue_newVisibleString("a"));
    Owned other(MmsValue_newVisibleString("longer"));
    EXPECT_TRUE(MmsValue_update(text.get(), other.get()));
    EXPECT_STREQ(MmsValue_toString(text.get()), "longer");
    EXPECT_TRUE(MmsValue_update(text.get(), text.get()));
}

TEST(MmsValueApi, EqualsComparesTypeAndContent)
{
    Owned a(MmsValue_newIntegerFromInt32(1));
    Owned b(MmsValue_newUnsignedFromUint32(1));
    Owned c(MmsValue_newIntegerFromInt32(1));
    EXPECT_FALSE(MmsValue_equals(a.get(), b.get()));
    EXPECT_TRUE(MmsValue_equals(a.get(), c.get()));
    EXPECT_FALSE(MmsValue_equals(a.get(), nullptr));
    EXPECT_TRUE(MmsValue_equalTypes(a.get(), c.get()));
    EXPECT_FALSE(MmsValue_equalTypes(a.get(), b.get()));
}

TEST(MmsValueApi, DataAccessErrors)
{
    Owned e(MmsValue_newDataAccessError(10));
    EXPECT_EQ(MmsValue_getDataAccessError(e.get()), 10);
    Owned unknown(MmsValue_newDataAccessError(200));
    EXPECT_EQ(MmsValue_getDataAccessError(unknown.get()), 11);
    Owned b(MmsValue_newBoolean(false));
    EXPECT_EQ(MmsValue_getDataAccessError(b.get()), -1);
}

TEST(MmsValueApi, PrintToBufferCutsAndTerminates)
{
    Owned s(MmsValue_createEmptyStructure(2));
    MmsValue_setElement(s.get(), 0, MmsValue_newBoolean(true));
    MmsValue_setElement(s.get(), 1, MmsValue_newVisibleString("ab"));
    char buffer[32];
    EXPECT_STREQ(MmsValue_printToBuffer(s.get(), buffer, sizeof buffer), "{true,\"ab\"}");
    EXPECT_STREQ(MmsValue_printToBuffer(s.get(), buffer, 4), "{tr");
    EXPECT_STREQ(MmsValue_printToBuffer(s.get(), buffer, 1), "");
    buffer[0] = 'x';
    MmsValue_printToBuffer(s.get(), buffer, 0);
    EXPECT_EQ(buffer[0], 'x');  // nothing written

    Owned text(MmsValue_newVisibleString("plain"));
    EXPECT_STREQ(MmsValue_printToBuffer(text.get(), buffer, sizeof buffer), "plain");
    Owned f(MmsValue_newFloat(12.5f));
    EXPECT_STREQ(MmsValue_printToBuffer(f.get(), buffer, sizeof buffer), "12.5");
}

// ---- Timestamp ---------------------------------------------------------------------

TEST(Timestamp, EveryMillisecondSurvivesTheFraction)
{
    Timestamp t;
    for (std::uint64_t ms = 0; ms < 1000; ++ms) {
        const std::uint64_t time = kCaptureTimeMs - 899 + ms;
        Timestamp_setTimeInMilliseconds(&t, time);
        ASSERT_EQ(Timestamp_getTimeInMs(&t), time) << ms;
        MmsValue* v = Timestamp_toMmsValue(&t, nullptr);
        ASSERT_EQ(MmsValue_getUtcTimeInMs(v), time) << ms;
        Owned direct(MmsValue_newUtcTimeByMsTime(time));
        ASSERT_TRUE(MmsValue_equals(v, direct.get())) << ms;  // both paths give the same octets
        MmsValue_delete(v);
    }
}

TEST(Timestamp, OctetsMatchTheCapture)
{
    Timestamp t;
    Timestamp_setTimeInMilliseconds(&t, kCaptureTimeMs);
    EXPECT_EQ(0, std::memcmp(t.val, kCaptureTime, 8));
    EXPECT_EQ(Timestamp_getTimeInSeconds(&t), 1796544427u);
    EXPECT_EQ(Timestamp_getFractionOfSecond(&t), 0xe624ddu);
    Timestamp_setTimeInSeconds(&t, 1796544427);
    EXPECT_EQ(Timestamp_getTimeInMs(&t), 1796544427000u);
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
    EXPECT_TRUE(Timestamp_isLeapSecondKnown(&t));
    EXPECT_TRUE(Timestamp_hasClockFailure(&t));
    EXPECT_TRUE(Timestamp_isClockNotSynchronized(&t));
    Timestamp_setClockFailure(&t, false);
    EXPECT_EQ(t.val[7], 0xaa);
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

TEST(Timestamp, ToAndFromMmsValue)
{
    Timestamp t;
    Timestamp_setTimeInMilliseconds(&t, kCaptureTimeMs);
    Timestamp_setLeapSecondKnown(&t, true);
    Owned v(MmsValue_newUtcTimeByMsTime(0));
    EXPECT_EQ(Timestamp_toMmsValue(&t, v.get()), v.get());
    EXPECT_EQ(v->encode(), (Bytes{0x91, 0x08, 0x6b, 0x15, 0x17, 0xab, 0xe6, 0x24, 0xdd, 0x80}));
    EXPECT_EQ(MmsValue_getUtcTimeQuality(v.get()), 0x80);

    Timestamp back;
    Timestamp_setByMmsUtcTime(&back, v.get());
    EXPECT_EQ(0, std::memcmp(back.val, t.val, 8));

    Owned notTime(MmsValue_newFloat(1));
    Timestamp_toMmsValue(&t, notTime.get());
    EXPECT_EQ(MmsValue_toFloat(notTime.get()), 1.0f);
    Timestamp_setByMmsUtcTime(&back, notTime.get());
    EXPECT_EQ(0, std::memcmp(back.val, t.val, 8));

    std::unique_ptr<Timestamp, void (*)(Timestamp*)> copy(Timestamp_createFromByteArray(kCaptureTime),
                                                          Timestamp_destroy);
    EXPECT_EQ(Timestamp_getTimeInMs(copy.get()), kCaptureTimeMs);
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
