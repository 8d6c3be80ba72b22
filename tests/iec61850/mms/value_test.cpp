#include "iec61850/mms/value.hpp"

#include "test_util.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using mms_test::fromHex;
using mms_test::toHex;

namespace {

Value roundTrip(const Value& v)
{
    Value back = Value::integer(-99);
    EXPECT_EQ(Value::decodeData(v.encode(), back), Status::Ok) << v.toString();
    return back;
}

Value decodeHex(std::string_view hex, Status expected = Status::Ok)
{
    Value v = Value::visibleString("untouched");
    EXPECT_EQ(Value::decodeData(fromHex(hex), v), expected) << hex;
    return v;
}

}  // namespace

TEST(Value, StaysCompact)
{
    EXPECT_LE(sizeof(Value), 16u);
}

TEST(Value, KnownEncodings)
{
    EXPECT_EQ(toHex(Value::float32(12.5f).encode()), "87050841480000");
    EXPECT_EQ(toHex(Value::float64(1.0).encode()), "8709" "0b3ff0000000000000");
    EXPECT_EQ(toHex(Value::boolean(true).encode()), "830101");
    EXPECT_EQ(toHex(Value::integer(-1).encode()), "8501ff");
    EXPECT_EQ(toHex(Value::integer(128).encode()), "85020080");
    EXPECT_EQ(toHex(Value::unsignedInteger(0xffffffffu).encode()), "860500ffffffff");
    EXPECT_EQ(toHex(Value::bitString(13).encode()), "8403030000");
    EXPECT_EQ(toHex(Value::visibleString("ab").encode()), "8a026162");
    EXPECT_EQ(toHex(Value::octetString(fromHex("0102")).encode()), "89020102");
    EXPECT_EQ(toHex(Value::mmsString("x").encode()), "900178");
    EXPECT_EQ(toHex(Value::structure({}).encode()), "a200");
    EXPECT_EQ(toHex(Value::array({Value::boolean(false)}).encode()), "a103830100");
    EXPECT_EQ(toHex(Value::error(DataAccessError::ObjectNonExistent).encode()), "80010a");
    // utc-time 2027-01-01T00:00:00Z as written by the reference client (05).
    EXPECT_EQ(toHex(Value::utcTimeMs(1798761600000ull, 0x0a).encode()), "91086b36ec800000000a");
}

TEST(Value, RoundTripsEveryKind)
{
    Value bits = Value::bitString(70);
    bits.setBit(0, true);
    bits.setBit(69, true);
    const std::vector<Value> samples = {
        Value::boolean(true),
        Value::boolean(false),
        Value::integer(INT64_MIN),
        Value::integer(-129),
        Value::unsignedInteger(UINT64_MAX),
        Value::float32(-3.25f),
        Value::float64(1e300),
        Value::bitString(0),
        Value::bitString(fromHex("a5c0"), 10),
        bits,
        Value::octetString({}),
        Value::octetString(fromHex("00ff10")),
        Value::visibleString(""),
        Value::visibleString("LLN0$ST$Mod$stVal"),
        Value::mmsString("Grüße"),
        Value::generalizedTime("20270101000000.000Z"),
        Value::binaryTime(fromHex("01020304")),
        Value::binaryTimeMs(1798761600123ull),
        Value::utcTimeMs(1798761600500ull, 0x8a),
        Value::structure({}),
        Value::structure({Value::integer(1), Value::array({Value::float32(1), Value::float32(2)}),
                          Value::structure({Value::visibleString("deep")})}),
        Value::array({}),
    };
    for (const Value& v : samples) {
        const Value back = roundTrip(v);
        EXPECT_EQ(back, v) << v.toString() << " -> " << back.toString();
        EXPECT_EQ(back.isDouble(), v.isDouble());
    }
}

TEST(Value, AccessResultFailure)
{
    Value v;
    ber::Element e;
    const Bytes bytes = fromHex("800103");
    ASSERT_EQ(ber::decodeElement(bytes, e), Status::Ok);
    ASSERT_EQ(Value::decodeAccessResult(e, v), Status::Ok);
    EXPECT_TRUE(v.isError());
    EXPECT_EQ(v.dataAccessError(), DataAccessError::ObjectAccessDenied);
    // Data alone has no [0].
    EXPECT_EQ(Value::decodeData(e, v), Status::BadTag);
}

TEST(Value, BitNumberingFollowsMms)
{
    Value q = Value::bitString(13);
    q.setBit(0, true);   // MSB of the first octet
    q.setBit(12, true);
    EXPECT_EQ(toHex(q.bitStringOctets()), "8008");
    EXPECT_TRUE(q.getBit(0));
    EXPECT_FALSE(q.getBit(1));
    EXPECT_FALSE(q.getBit(13));  // out of range reads false
    q.setBit(13, true);          // and writes are ignored
    EXPECT_EQ(q.bitStringSize(), 13u);
    EXPECT_EQ(q.bitsAsInteger(), 0x1001u);
    EXPECT_EQ(q.bitsAsIntegerBigEndian(), 0x1001u);
    EXPECT_EQ(q.countSetBits(), 2u);

    Value check = Value::bitString(2);
    check.setBitsFromInteger(0b01);  // bit 0 set
    EXPECT_EQ(toHex(check.bitStringOctets()), "80");
    check.setBitsFromIntegerBigEndian(0b01);  // last bit set
    EXPECT_EQ(toHex(check.bitStringOctets()), "40");

    // Unused trailing bits from the wire are dropped, not kept.
    EXPECT_EQ(decodeHex("8402060f").bitsAsIntegerBigEndian(), 0u);
    EXPECT_EQ(decodeHex("8402060f").countSetBits(), 0u);
}

TEST(Value, LongBitStringsLiveOnTheHeap)
{
    Value inclusion = Value::bitString(63);
    Value big = Value::bitString(200);
    big.setBit(199, true);
    inclusion.setBit(62, true);
    Value copy = big;
    copy.setBit(199, false);
    EXPECT_TRUE(big.getBit(199));
    EXPECT_FALSE(copy.getBit(199));
    EXPECT_EQ(roundTrip(big), big);
    EXPECT_EQ(roundTrip(inclusion), inclusion);
}

TEST(Value, UtcTimeMilliseconds)
{
    Value t = Value::utcTimeMs(0);
    for (std::uint64_t ms = 0; ms < 1000; ++ms) {
        t.setUtcMs(1798761600000ull + ms);
        ASSERT_EQ(t.utcMs(), 1798761600000ull + ms);
    }
    t.setUtcQuality(0x0a);
    EXPECT_EQ(t.utcSeconds(), 1798761600u);
    EXPECT_EQ(t.utcQuality(), 0x0a);
    EXPECT_EQ(t.toString(), "2027-01-01T00:00:00.999Z");
}

TEST(Value, BinaryTimeCountsFrom1984)
{
    const Value t = Value::binaryTimeMs(441763200000ull + 86400000ull + 1234);  // 1984-01-02 00:00:01.234
    EXPECT_EQ(toHex(t.timeOctets()), "000004d20001");
    EXPECT_EQ(t.binaryTimeMs(), 441763200000ull + 86400000ull + 1234);
    const Value timeOfDay = Value::binaryTimeMs(1234, false);
    EXPECT_EQ(timeOfDay.timeOctets().size(), 4u);
    EXPECT_EQ(timeOfDay.binaryTimeMs(), 1234u);
}

TEST(Value, AccessorsAndSettersKeepTheKind)
{
    Value i = Value::integer(-5);
    i.setUint32(7);
    EXPECT_TRUE(i.is(Value::Kind::Integer));
    EXPECT_EQ(i.toInt32(), 7);
    i.setBool(true);  // wrong kind: ignored
    EXPECT_EQ(i.toInt64(), 7);

    Value f = Value::float32(0);
    f.setDouble(0.1);
    EXPECT_FALSE(f.isDouble());
    EXPECT_EQ(f.toFloat(), 0.1f);
    EXPECT_EQ(Value::unsignedInteger(3).toDouble(), 3.0);
    EXPECT_EQ(Value::float64(1e300).toInt64(), INT64_MAX);  // saturates
    EXPECT_EQ(Value::float64(-1.0).toUint64(), 0u);
    EXPECT_EQ(Value::float32(-2.75f).toInt32(), -2);

    Value s = Value::visibleString("a");
    s.setString("longer than any small string buffer");
    EXPECT_EQ(s.string(), "longer than any small string buffer");
    EXPECT_TRUE(Value::integer(1).string().empty());
    EXPECT_TRUE(Value::integer(1).octets().empty());
}

TEST(Value, DeepCopyAndMove)
{
    Value a = Value::structure({Value::visibleString("x"), Value::array({Value::integer(1)})});
    Value b = a;
    b[1][0].setInt32(2);
    b[0].setString("y");
    EXPECT_EQ(a[1][0].toInt32(), 1);
    EXPECT_EQ(a[0].string(), "x");
    EXPECT_NE(a, b);

    Value c = std::move(b);
    EXPECT_EQ(c[0].string(), "y");
    EXPECT_TRUE(b.is(Value::Kind::Boolean));  // NOLINT: moved-from state is defined
    a = c;
    EXPECT_EQ(a, c);
    a = a;  // self assignment
    EXPECT_EQ(a, c);
    a.append(Value::boolean(true));
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(c.size(), 2u);
}

TEST(Value, Equality)
{
    EXPECT_NE(Value::float32(1), Value::float64(1));
    EXPECT_NE(Value::integer(1), Value::unsignedInteger(1));
    EXPECT_NE(Value::bitString(fromHex("80"), 1), Value::bitString(fromHex("80"), 2));
    EXPECT_NE(Value::structure({}), Value::array({}));
    EXPECT_EQ(Value::structure(2), Value::structure({Value::boolean(false), Value::boolean(false)}));
}

TEST(Value, ReadableText)
{
    const Value v = Value::structure({Value::boolean(true), Value::float32(12.5f), Value::visibleString("abc"),
                                      Value::array({Value::integer(1), Value::unsignedInteger(2)}),
                                      Value::bitString(fromHex("a0"), 3), Value::octetString(fromHex("01ff")),
                                      Value::error(DataAccessError::ObjectAccessDenied)});
    EXPECT_EQ(v.toString(), "{true,12.5,\"abc\",[1,2],<101>,#01ff,error(object-access-denied)}");
}

TEST(Value, RejectsMalformedData)
{
    decodeHex("870408000000", Status::BadValue);          // float32 with three octets
    decodeHex("870508000000", Status::BadLength);         // lying length
    decodeHex("87050b00000000", Status::BadValue);        // exponent width of float64, float32 size
    decodeHex("8c050000000000", Status::BadValue);        // binary time of 5 octets
    decodeHex("910700000000000000", Status::BadValue);    // utc time of 7 octets
    decodeHex("830200ff", Status::BadValue);              // boolean of 2 octets
    decodeHex("8509010000000000000000", Status::BadValue);  // integer wider than 64 bits
    decodeHex("8601ff", Status::BadValue);                // negative unsigned
    decodeHex("840108", Status::BadValue);                // unused bits > 7
    decodeHex("8200", Status::BadTag);                    // primitive structure
    decodeHex("a300", Status::BadTag);                    // constructed boolean
    decodeHex("8800", Status::BadTag);                    // unknown data tag
    decodeHex("0300", Status::BadTag);                    // universal class
    decodeHex("a2038301", Status::BadLength);             // member runs past its parent
    decodeHex("a203830101ff", Status::BadLength);         // trailing octets
    const Value untouched = decodeHex("a20483010183", Status::Truncated);
    EXPECT_EQ(untouched.string(), "untouched");  // failure leaves the output alone
}

TEST(Value, DepthLimit)
{
    auto nested = [](int levels) {
        Value v = Value::integer(1);
        for (int i = 0; i < levels; ++i)
            v = Value::structure({std::move(v)});
        return v.encode();
    };
    Value out;
    EXPECT_EQ(Value::decodeData(nested(kMaxDataDepth), out), Status::Ok);
    EXPECT_EQ(Value::decodeData(nested(kMaxDataDepth + 1), out), Status::TooDeep);
    EXPECT_EQ(Value::decodeData(nested(3), out, 2), Status::TooDeep);
}

TEST(Value, RandomBytesNeverCrash)
{
    std::mt19937 rng(61850);
    std::uniform_int_distribution<int> byte(0, 255), len(0, 40);
    const std::uint8_t tags[] = {0xa1, 0xa2, 0x83, 0x84, 0x85, 0x86, 0x87, 0x89, 0x8a, 0x8c, 0x90, 0x91};
    int decoded = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes b(static_cast<std::size_t>(len(rng)));
        for (auto& x : b)
            x = static_cast<std::uint8_t>(byte(rng));
        if (!b.empty() && i % 2)
            b[0] = tags[static_cast<std::size_t>(byte(rng)) % sizeof tags];
        Value v;
        if (Value::decodeData(b, v) == Status::Ok) {
            ++decoded;
            EXPECT_EQ(roundTrip(v), v);
        }
    }
    EXPECT_GT(decoded, 0);
}
