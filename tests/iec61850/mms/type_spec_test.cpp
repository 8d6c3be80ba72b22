#include "iec61850/mms/type_spec.hpp"

#include "test_util.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using mms_test::fromHex;
using mms_test::toHex;

namespace {

// Part of a measured value as the reference server describes it.
TypeSpec analogueValue()
{
    return TypeSpec::structure({
        TypeSpec::structure({TypeSpec::float32().named("f")}).named("mag"),
        TypeSpec::bitString(-13).named("q"),
        TypeSpec::utcTime().named("t"),
    });
}

}  // namespace

TEST(TypeSpec, KnownEncodingFromCapture)
{
    // ValMV of EmpSPrg_FSCH020001$MX as answered in capture 03.
    const Bytes bytes = fromHex("a240a13e303c800556616c4d56a133a231a12f301a80036d6167a113a211a10f300d800166a108a7060201"
                                "200201083008800171a1038401f33007800174a1029100");
    TypeSpec t;
    ASSERT_EQ(TypeSpec::decode(bytes, t), Status::Ok);
    ASSERT_EQ(t.components().size(), 1u);
    EXPECT_EQ(t.components()[0], analogueValue().named("ValMV"));
    EXPECT_EQ(toHex(t.encode()), toHex(bytes));
}

TEST(TypeSpec, RoundTripsEveryKind)
{
    const std::vector<TypeSpec> types = {
        TypeSpec::boolean(),
        TypeSpec::bitString(2),
        TypeSpec::bitString(-64),
        TypeSpec::integer(8),
        TypeSpec::integer(64),
        TypeSpec::unsignedInteger(32),
        TypeSpec::float32(),
        TypeSpec::float64(),
        TypeSpec::octetString(-64),
        TypeSpec::octetString(8),
        TypeSpec::visibleString(-255),
        TypeSpec::mmsString(-1024),
        TypeSpec::generalizedTime(),
        TypeSpec::binaryTime(true),
        TypeSpec::binaryTime(false),
        TypeSpec::utcTime(),
        TypeSpec::array(300, analogueValue()),
        TypeSpec::structure({}),
        analogueValue(),
    };
    for (const TypeSpec& t : types) {
        TypeSpec back = TypeSpec::integer(99);
        ASSERT_EQ(TypeSpec::decode(t.encode(), back), Status::Ok) << toHex(t.encode());
        EXPECT_EQ(back, t) << toHex(t.encode());
        EXPECT_TRUE(conforms(t.defaultValue(), t)) << toHex(t.encode());
    }
}

TEST(TypeSpec, PathLookup)
{
    const TypeSpec t = TypeSpec::structure({analogueValue().named("ValMV")});
    EXPECT_EQ(t.find("ValMV$mag$f"), &t.components()[0].components()[0].components()[0]);
    EXPECT_EQ(t.find(""), &t);
    EXPECT_EQ(t.find("ValMV$nope"), nullptr);
    EXPECT_EQ(t.find("ValMV$q$x"), nullptr);
    EXPECT_EQ(t.componentIndex("ValMV"), 0);
    EXPECT_EQ(t.components()[0].componentIndex("t"), 2);
    EXPECT_EQ(TypeSpec::array(2, TypeSpec::boolean()).component("x"), nullptr);
}

TEST(TypeSpec, ConformsChecksKindAndShape)
{
    const TypeSpec av = analogueValue();
    Value v = av.defaultValue();
    EXPECT_TRUE(conforms(v, av));
    EXPECT_EQ(v[1].bitStringSize(), 13u);

    Value shorter = Value::structure({v[0], v[1]});
    EXPECT_FALSE(conforms(shorter, av));
    Value wrongKind = v;
    wrongKind[2] = Value::binaryTimeMs(0);
    EXPECT_FALSE(conforms(wrongKind, av));
    Value wrongWidth = v;
    wrongWidth[0][0] = Value::float64(1);
    EXPECT_FALSE(conforms(wrongWidth, av));
    EXPECT_FALSE(conforms(Value::array({v[0], v[1], v[2]}), av));

    EXPECT_TRUE(conforms(Value::visibleString(std::string(255, 'x')), TypeSpec::visibleString(-255)));
    EXPECT_FALSE(conforms(Value::visibleString(std::string(256, 'x')), TypeSpec::visibleString(-255)));
    EXPECT_TRUE(conforms(Value::visibleString("ab"), TypeSpec::visibleString(64)));
    EXPECT_TRUE(conforms(Value::octetString({}), TypeSpec::octetString(-64)));
    EXPECT_FALSE(conforms(Value::octetString(fromHex("01")), TypeSpec::octetString(2)));
    EXPECT_TRUE(conforms(Value::bitString(2), TypeSpec::bitString(2)));
    EXPECT_FALSE(conforms(Value::bitString(3), TypeSpec::bitString(2)));
    EXPECT_TRUE(conforms(Value::bitString(10), TypeSpec::bitString(-13)));
    EXPECT_FALSE(conforms(Value::bitString(14), TypeSpec::bitString(-13)));

    EXPECT_TRUE(conforms(Value::integer(-128), TypeSpec::integer(8)));
    EXPECT_FALSE(conforms(Value::integer(128), TypeSpec::integer(8)));
    EXPECT_FALSE(conforms(Value::unsignedInteger(1), TypeSpec::integer(8)));
    EXPECT_TRUE(conforms(Value::unsignedInteger(0xffffffffu), TypeSpec::unsignedInteger(32)));
    EXPECT_FALSE(conforms(Value::unsignedInteger(0x100000000ull), TypeSpec::unsignedInteger(32)));
    EXPECT_FALSE(conforms(Value::binaryTimeMs(0, false), TypeSpec::binaryTime(true)));

    const TypeSpec arr = TypeSpec::array(2, TypeSpec::integer(8));
    EXPECT_TRUE(conforms(Value::array({Value::integer(1), Value::integer(2)}), arr));
    EXPECT_FALSE(conforms(Value::array({Value::integer(1)}), arr));
    EXPECT_FALSE(conforms(Value::array({Value::integer(1), Value::integer(200)}), arr));
}

TEST(TypeSpec, RejectsMalformedDescriptions)
{
    auto fails = [](std::string_view hex, Status expected) {
        TypeSpec t = TypeSpec::utcTime();
        EXPECT_EQ(TypeSpec::decode(fromHex(hex), t), expected) << hex;
        EXPECT_EQ(t, TypeSpec::utcTime()) << hex;  // untouched
    };
    fails("a200", Status::BadValue);                    // structure without components
    fails("a703020120", Status::Truncated);              // float without exponent width
    fails("a7090201200201080201", Status::BadLength);    // lying inner length
    fails("a103810102", Status::BadValue);               // array without element type
    fails("a1058101028300", Status::BadTag);             // element type not wrapped in [2]
    fails("8301ff", Status::BadValue);                   // boolean with content
    fails("85020100", Status::BadValue);                 // integer width above 255
    fails("8000", Status::BadTag);                       // typeName
    fails("8e00", Status::BadTag);                       // unknown tag
    fails("a2083006a10483008300", Status::BadTag);       // two types in one component
    fails("a206a10430028000", Status::Truncated);        // component without a type
    fails("a2028300", Status::BadTag);                   // stray element in structure
    fails("0500", Status::BadTag);
}

TEST(TypeSpec, DepthLimit)
{
    auto nested = [](int levels) {
        TypeSpec t = TypeSpec::boolean();
        for (int i = 0; i < levels; ++i)
            t = TypeSpec::structure({std::move(t).named("x")});
        return t.encode();
    };
    TypeSpec out;
    EXPECT_EQ(TypeSpec::decode(nested(kMaxDataDepth - 1), out), Status::Ok);
    EXPECT_EQ(TypeSpec::decode(nested(kMaxDataDepth + 1), out), Status::TooDeep);
}

TEST(TypeSpec, RandomBytesNeverCrash)
{
    std::mt19937 rng(9506);
    std::uniform_int_distribution<int> byte(0, 255);
    const Bytes seed = analogueValue().encode();
    for (int i = 0; i < 20000; ++i) {
        Bytes b = seed;
        for (int k = 0; k < 3; ++k)
            b[static_cast<std::size_t>(byte(rng)) % b.size()] = static_cast<std::uint8_t>(byte(rng));
        TypeSpec t;
        if (TypeSpec::decode(b, t) == Status::Ok) {
            TypeSpec again;
            EXPECT_EQ(TypeSpec::decode(t.encode(), again), Status::Ok);
            EXPECT_EQ(again, t);
        }
    }
}
