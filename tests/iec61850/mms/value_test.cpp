// MMS values and their type descriptions: encodings, round trips, conformance and bad input.
#include "iec61850/mms/type_description.hpp"
#include "iec61850/mms/value.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using test_support::fromHex;
using test_support::toHex;
using TD = TypeDescription;

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

TEST(Value, EveryKindEncodesAsKnownAndRoundTrips)
{
    Value bits = Value::bitString(70);  // on the heap
    bits.setBit(0, true);
    bits.setBit(69, true);
    const struct {
        Value value;
        const char* encoding;  // or empty
    } cases[] = {
        {Value::boolean(true), "830101"},
        {Value::boolean(false), ""},
        {Value::integer(-1), "8501ff"},
        {Value::integer(128), "85020080"},
        {Value::integer(INT64_MIN), ""},
        {Value::unsignedInteger(0xffffffffu), "860500ffffffff"},
        {Value::unsignedInteger(UINT64_MAX), ""},
        {Value::float32(12.5f), "87050841480000"},
        {Value::float64(1.0), "87090b3ff0000000000000"},
        {Value::bitString(13), "8403030000"},
        {Value::bitString(0), ""},
        {bits, ""},
        {Value::bitString(64), ""},  // the largest kept inline
        {Value::octetString(fromHex("0102")), "89020102"},
        {Value::octetString({}), ""},
        {Value::visibleString("ab"), "8a026162"},
        {Value::visibleString(""), ""},
        {Value::mmsString("x"), "900178"},
        {Value::mmsString("Grüße"), ""},
        {Value::generalizedTime("20270101000000.000Z"), ""},
        {Value::binaryTime(fromHex("01020304")), ""},
        {Value::binaryTimeMs(1798761600123ull), ""},
        // 2027-01-01T00:00:00Z as written by the reference client
        {Value::utcTimeMs(1798761600000ull, 0x0a), "91086b36ec800000000a"},
        // 2040-06-01T12:00:00.789Z: past 2038, the seconds' top bit is set
        {Value::utcTimeMs(2222164800789ull, 0x0a), "910884738b40c9fbe70a"},
        {Value::structure({}), "a200"},
        {Value::array({Value::boolean(false)}), "a103830100"},
        {Value::structure({Value::integer(1), Value::array({Value::float32(1), Value::float32(2)}),
                           Value::structure({Value::visibleString("deep")})}),
         ""},
        {Value::error(DataAccessError::ObjectNonExistent), "80010a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toString());
        if (*c.encoding) {
            EXPECT_EQ(toHex(c.value.encode()), c.encoding);
        }
        if (c.value.isError())
            continue;
        const Value back = roundTrip(c.value);
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(back.isDouble(), c.value.isDouble());
    }
    EXPECT_NE(Value::float32(1), Value::float64(1));
    EXPECT_NE(Value::integer(1), Value::unsignedInteger(1));
    EXPECT_NE(Value::bitString(fromHex("80"), 1), Value::bitString(fromHex("80"), 2));
    EXPECT_NE(Value::structure({}), Value::array({}));
    EXPECT_LE(sizeof(Value), 16u);
}

TEST(Value, AccessResultFailureIsNotData)
{
    Value v;
    ber::Element e;
    const Bytes bytes = fromHex("800103");
    ASSERT_EQ(ber::decodeElement(bytes, e), Status::Ok);
    ASSERT_EQ(Value::decodeAccessResult(e, v), Status::Ok);
    EXPECT_EQ(v.dataAccessError(), DataAccessError::ObjectAccessDenied);
    EXPECT_EQ(Value::decodeData(e, v), Status::BadTag);
}

TEST(Value, BitNumberingFollowsMms)
{
    Value q = Value::bitString(13);
    q.setBit(0, true);  // MSB of the first octet
    q.setBit(12, true);
    q.setBit(13, true);  // out of range: ignored
    EXPECT_EQ(toHex(q.bitStringOctets()), "8008");
    EXPECT_FALSE(q.getBit(13));
    EXPECT_EQ(q.bitStringSize(), 13u);
    EXPECT_EQ(q.bitsAsInteger(), 0x1001u);
    EXPECT_EQ(q.countSetBits(), 2u);

    Value check = Value::bitString(2);
    check.setBitsFromInteger(0b01);  // bit 0 set
    EXPECT_EQ(toHex(check.bitStringOctets()), "80");
    check.setBitsFromIntegerBigEndian(0b01);  // last bit set
    EXPECT_EQ(toHex(check.bitStringOctets()), "40");

    // Unused trailing bits from the wire are dropped, not kept.
    EXPECT_EQ(decodeHex("8402060f").countSetBits(), 0u);
}

TEST(Value, CopiesAreDeep)
{
    Value big = Value::bitString(200);
    big.setBit(199, true);
    Value bigCopy = big;
    bigCopy.setBit(199, false);
    EXPECT_TRUE(big.getBit(199));

    Value a = Value::structure({Value::visibleString("x"), Value::array({Value::integer(1)})});
    Value b = a;
    b[1][0].setInt32(2);
    b[0].setString("longer than any small string buffer");
    EXPECT_EQ(a[1][0].toInt32(), 1);
    EXPECT_EQ(a[0].string(), "x");

    Value c = std::move(b);
    EXPECT_EQ(c[0].string(), "longer than any small string buffer");
    a = c;
    a = a;  // self assignment
    EXPECT_EQ(a, c);
    a.append(Value::boolean(true));
    EXPECT_EQ(c.size(), 2u);
}

TEST(Value, TimesAndConversions)
{
    Value t = Value::utcTimeMs(0);
    for (std::uint64_t ms = 0; ms < 1000; ++ms) {
        t.setUtcMs(1798761600000ull + ms);
        ASSERT_EQ(t.utcMs(), 1798761600000ull + ms);
    }
    EXPECT_EQ(t.toString(), "2027-01-01T00:00:00.999Z");
    const Value bt = Value::binaryTimeMs(441763200000ull + 86400000ull + 1234);  // 1984-01-02 00:00:01.234
    EXPECT_EQ(toHex(bt.timeOctets()), "000004d20001");
    EXPECT_EQ(Value::binaryTimeMs(1234, false).timeOctets().size(), 4u);
    const Value in2040 = Value::binaryTimeMs(2222164800789ull);
    EXPECT_EQ(toHex(in2040.timeOctets()), "02933115507e");
    EXPECT_EQ(in2040.toString(), "2040-06-01T12:00:00.789Z");
    EXPECT_EQ(Value::utcTimeMs(2222164800789ull).toString(), "2040-06-01T12:00:00.789Z");

    Value i = Value::integer(-5);
    i.setBool(true);  // wrong kind: ignored
    EXPECT_EQ(i.toInt64(), -5);
    EXPECT_EQ(Value::float64(1e300).toInt64(), INT64_MAX);  // saturates
    EXPECT_EQ(Value::float64(-1.0).toUint64(), 0u);
    EXPECT_EQ(Value::float32(-2.75f).toInt32(), -2);

    const Value v = Value::structure({Value::boolean(true), Value::float32(12.5f), Value::visibleString("abc"),
                                      Value::array({Value::integer(1), Value::unsignedInteger(2)}),
                                      Value::bitString(fromHex("a0"), 3), Value::octetString(fromHex("01ff")),
                                      Value::error(DataAccessError::ObjectAccessDenied)});
    EXPECT_EQ(v.toString(), "{true,12.5,\"abc\",[1,2],<101>,#01ff,error(object-access-denied)}");
}

TEST(Value, RejectsMalformedData)
{
    const struct {
        const char* hex;
        Status expected;
    } cases[] = {
        {"870408000000", Status::BadValue},          // float32 with three octets
        {"870508000000", Status::BadLength},         // lying length
        {"87050b00000000", Status::BadValue},        // exponent width of float64, float32 size
        {"8c050000000000", Status::BadValue},        // binary time of 5 octets
        {"910700000000000000", Status::BadValue},    // utc time of 7 octets
        {"830200ff", Status::BadValue},              // boolean of 2 octets
        {"8509010000000000000000", Status::BadValue},  // integer wider than 64 bits
        {"8601ff", Status::BadValue},                // negative unsigned
        {"840108", Status::BadValue},                // unused bits > 7
        {"8200", Status::BadTag},                    // primitive structure
        {"a300", Status::BadTag},                    // constructed boolean
        {"8800", Status::BadTag},                    // unknown data tag
        {"0300", Status::BadTag},                    // universal class
        {"a2038301", Status::BadLength},             // member runs past its parent
        {"a203830101ff", Status::BadLength},         // trailing octets
        {"a20483010183", Status::Truncated},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeHex(c.hex, c.expected).string(), "untouched");  // failure leaves the output alone

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

namespace {

// Part of a measured value as the reference server describes it.
TD analogueValue()
{
    return TD::structure({
        TD::structure({TD::float32().named("f")}).named("mag"),
        TD::bitString(-13).named("q"),
        TD::utcTime().named("t"),
    });
}

}  // namespace

TEST(TypeDescription, CapturedEncodingAndEveryKindRoundTrip)
{
    // ValMV of EmpSPrg_FSCH020001$MX as answered in capture 03.
    const Bytes captured = fromHex("a240a13e303c800556616c4d56a133a231a12f301a80036d6167a113a211a10f300d800166a108a7060201"
                                   "200201083008800171a1038401f33007800174a1029100");
    TD t;
    ASSERT_EQ(TD::decode(captured, t), Status::Ok);
    EXPECT_EQ(t, TD::structure({analogueValue().named("ValMV")}));
    EXPECT_EQ(toHex(t.encode()), toHex(captured));

    const TD types[] = {
        TD::boolean(),          TD::bitString(2),          TD::bitString(-64),
        TD::integer(8),         TD::integer(64),           TD::unsignedInteger(32),
        TD::float32(),          TD::float64(),             TD::octetString(-64),
        TD::octetString(8),     TD::visibleString(-255),   TD::mmsString(-1024),
        TD::generalizedTime(),  TD::binaryTime(true),      TD::binaryTime(false),
        TD::utcTime(),          TD::array(300, analogueValue()), TD::structure({}),
    };
    for (const TD& type : types) {
        SCOPED_TRACE(toHex(type.encode()));
        TD back = TD::integer(99);
        ASSERT_EQ(TD::decode(type.encode(), back), Status::Ok);
        EXPECT_EQ(back, type);
        EXPECT_TRUE(conforms(type.defaultValue(), type));
    }
}

TEST(TypeDescription, PathLookup)
{
    const TD t = TD::structure({analogueValue().named("ValMV")});
    EXPECT_EQ(t.find("ValMV$mag$f"), &t.components()[0].components()[0].components()[0]);
    EXPECT_EQ(t.find(""), &t);
    EXPECT_EQ(t.find("ValMV$nope"), nullptr);
    EXPECT_EQ(t.find("ValMV$q$x"), nullptr);
    EXPECT_EQ(t.components()[0].componentIndex("t"), 2);
    EXPECT_EQ(TD::array(2, TD::boolean()).component("x"), nullptr);
}

TEST(TypeDescription, ConformsChecksKindAndShape)
{
    const TD av = analogueValue();
    const Value v = av.defaultValue();
    EXPECT_EQ(v[1].bitStringSize(), 13u);
    Value wrongKind = v;
    wrongKind[2] = Value::binaryTimeMs(0);
    Value wrongWidth = v;
    wrongWidth[0][0] = Value::float64(1);
    const TD int8Pair = TD::array(2, TD::integer(8));
    const struct {
        Value value;
        TD type;
        bool conforms;
    } cases[] = {
        {v, av, true},
        {Value::structure({v[0], v[1]}), av, false},
        {wrongKind, av, false},
        {wrongWidth, av, false},
        {Value::array({v[0], v[1], v[2]}), av, false},
        {Value::visibleString(std::string(255, 'x')), TD::visibleString(-255), true},
        {Value::visibleString(std::string(256, 'x')), TD::visibleString(-255), false},
        {Value::octetString(fromHex("01")), TD::octetString(2), false},
        {Value::bitString(3), TD::bitString(2), false},
        {Value::bitString(10), TD::bitString(-13), true},
        {Value::bitString(14), TD::bitString(-13), false},
        {Value::integer(-128), TD::integer(8), true},
        {Value::integer(128), TD::integer(8), false},
        {Value::unsignedInteger(1), TD::integer(8), false},
        {Value::unsignedInteger(0x100000000ull), TD::unsignedInteger(32), false},
        {Value::binaryTimeMs(0, false), TD::binaryTime(true), false},
        {Value::array({Value::integer(1), Value::integer(2)}), int8Pair, true},
        {Value::array({Value::integer(1)}), int8Pair, false},
        {Value::array({Value::integer(1), Value::integer(200)}), int8Pair, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(conforms(c.value, c.type), c.conforms) << c.value.toString() << " " << toHex(c.type.encode());
}

TEST(TypeDescription, RejectsMalformedDescriptions)
{
    const struct {
        const char* hex;
        Status expected;
    } cases[] = {
        {"a200", Status::BadValue},                  // structure without components
        {"a703020120", Status::Truncated},           // float without exponent width
        {"a7090201200201080201", Status::BadLength},  // lying inner length
        {"a103810102", Status::BadValue},            // array without element type
        {"a1058101028300", Status::BadTag},          // element type not wrapped in [2]
        {"8301ff", Status::BadValue},                // boolean with content
        {"85020100", Status::BadValue},              // integer width above 255
        {"8000", Status::BadTag},                    // typeName
        {"8e00", Status::BadTag},                    // unknown tag
        {"a2083006a10483008300", Status::BadTag},    // two types in one component
        {"a206a10430028000", Status::Truncated},     // component without a type
        {"a2028300", Status::BadTag},                // stray element in structure
        {"0500", Status::BadTag},
    };
    for (const auto& c : cases) {
        TD t = TD::utcTime();
        EXPECT_EQ(TD::decode(fromHex(c.hex), t), c.expected) << c.hex;
        EXPECT_EQ(t, TD::utcTime()) << c.hex;  // untouched
    }
    auto nested = [](int levels) {
        TD t = TD::boolean();
        for (int i = 0; i < levels; ++i)
            t = TD::structure({std::move(t).named("x")});
        return t.encode();
    };
    TD out;
    EXPECT_EQ(TD::decode(nested(kMaxDataDepth - 1), out), Status::Ok);
    EXPECT_EQ(TD::decode(nested(kMaxDataDepth + 1), out), Status::TooDeep);
}

TEST(TypeDescription, RandomBytesNeverCrash)
{
    std::mt19937 rng(9506);
    std::uniform_int_distribution<int> byte(0, 255);
    const Bytes seed = analogueValue().encode();
    for (int i = 0; i < 20000; ++i) {
        Bytes b = seed;
        for (int k = 0; k < 3; ++k)
            b[static_cast<std::size_t>(byte(rng)) % b.size()] = static_cast<std::uint8_t>(byte(rng));
        TD t;
        if (TD::decode(b, t) == Status::Ok) {
            TD again;
            EXPECT_EQ(TD::decode(t.encode(), again), Status::Ok);
            EXPECT_EQ(again, t);
        }
    }
}
