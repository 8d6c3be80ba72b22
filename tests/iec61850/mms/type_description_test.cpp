#include "iec61850/mms/type_description.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using test_support::fromHex;
using test_support::toHex;
using TD = TypeDescription;

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
