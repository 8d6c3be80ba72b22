#include "iec61850/mms/type_description.hpp"

#include "test_util.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using mms_test::fromHex;
using mms_test::toHex;

namespace {

// Part of a measured value as the reference server describes it.
TypeDescription analogueValue()
{
    return TypeDescription::structure({
        TypeDescription::structure({TypeDescription::float32().named("f")}).named("mag"),
        TypeDescription::bitString(-13).named("q"),
        TypeDescription::utcTime().named("t"),
    });
}

}  // namespace

TEST(TypeDescription, KnownEncodingFromCapture)
{
    // ValMV of EmpSPrg_FSCH020001$MX as answered in capture 03.
    const Bytes bytes = fromHex("a240a13e303c800556616c4d56a133a231a12f301a80036d6167a113a211a10f300d800166a108a7060201"
                                "200201083008800171a1038401f33007800174a1029100");
    TypeDescription t;
    ASSERT_EQ(TypeDescription::decode(bytes, t), Status::Ok);
    ASSERT_EQ(t.components().size(), 1u);
    EXPECT_EQ(t.components()[0], analogueValue().named("ValMV"));
    EXPECT_EQ(toHex(t.encode()), toHex(bytes));
}

TEST(TypeDescription, RoundTripsEveryKind)
{
    const std::vector<TypeDescription> types = {
        TypeDescription::boolean(),
        TypeDescription::bitString(2),
        TypeDescription::bitString(-64),
        TypeDescription::integer(8),
        TypeDescription::integer(64),
        TypeDescription::unsignedInteger(32),
        TypeDescription::float32(),
        TypeDescription::float64(),
        TypeDescription::octetString(-64),
        TypeDescription::octetString(8),
        TypeDescription::visibleString(-255),
        TypeDescription::mmsString(-1024),
        TypeDescription::generalizedTime(),
        TypeDescription::binaryTime(true),
        TypeDescription::binaryTime(false),
        TypeDescription::utcTime(),
        TypeDescription::array(300, analogueValue()),
        TypeDescription::structure({}),
        analogueValue(),
    };
    for (const TypeDescription& t : types) {
        TypeDescription back = TypeDescription::integer(99);
        ASSERT_EQ(TypeDescription::decode(t.encode(), back), Status::Ok) << toHex(t.encode());
        EXPECT_EQ(back, t) << toHex(t.encode());
        EXPECT_TRUE(conforms(t.defaultValue(), t)) << toHex(t.encode());
    }
}

TEST(TypeDescription, PathLookup)
{
    const TypeDescription t = TypeDescription::structure({analogueValue().named("ValMV")});
    EXPECT_EQ(t.find("ValMV$mag$f"), &t.components()[0].components()[0].components()[0]);
    EXPECT_EQ(t.find(""), &t);
    EXPECT_EQ(t.find("ValMV$nope"), nullptr);
    EXPECT_EQ(t.find("ValMV$q$x"), nullptr);
    EXPECT_EQ(t.componentIndex("ValMV"), 0);
    EXPECT_EQ(t.components()[0].componentIndex("t"), 2);
    EXPECT_EQ(TypeDescription::array(2, TypeDescription::boolean()).component("x"), nullptr);
}

TEST(TypeDescription, ConformsChecksKindAndShape)
{
    const TypeDescription av = analogueValue();
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

    EXPECT_TRUE(conforms(Value::visibleString(std::string(255, 'x')), TypeDescription::visibleString(-255)));
    EXPECT_FALSE(conforms(Value::visibleString(std::string(256, 'x')), TypeDescription::visibleString(-255)));
    EXPECT_TRUE(conforms(Value::visibleString("ab"), TypeDescription::visibleString(64)));
    EXPECT_TRUE(conforms(Value::octetString({}), TypeDescription::octetString(-64)));
    EXPECT_FALSE(conforms(Value::octetString(fromHex("01")), TypeDescription::octetString(2)));
    EXPECT_TRUE(conforms(Value::bitString(2), TypeDescription::bitString(2)));
    EXPECT_FALSE(conforms(Value::bitString(3), TypeDescription::bitString(2)));
    EXPECT_TRUE(conforms(Value::bitString(10), TypeDescription::bitString(-13)));
    EXPECT_FALSE(conforms(Value::bitString(14), TypeDescription::bitString(-13)));

    EXPECT_TRUE(conforms(Value::integer(-128), TypeDescription::integer(8)));
    EXPECT_FALSE(conforms(Value::integer(128), TypeDescription::integer(8)));
    EXPECT_FALSE(conforms(Value::unsignedInteger(1), TypeDescription::integer(8)));
    EXPECT_TRUE(conforms(Value::unsignedInteger(0xffffffffu), TypeDescription::unsignedInteger(32)));
    EXPECT_FALSE(conforms(Value::unsignedInteger(0x100000000ull), TypeDescription::unsignedInteger(32)));
    EXPECT_FALSE(conforms(Value::binaryTimeMs(0, false), TypeDescription::binaryTime(true)));

    const TypeDescription arr = TypeDescription::array(2, TypeDescription::integer(8));
    EXPECT_TRUE(conforms(Value::array({Value::integer(1), Value::integer(2)}), arr));
    EXPECT_FALSE(conforms(Value::array({Value::integer(1)}), arr));
    EXPECT_FALSE(conforms(Value::array({Value::integer(1), Value::integer(200)}), arr));
}

TEST(TypeDescription, RejectsMalformedDescriptions)
{
    auto fails = [](std::string_view hex, Status expected) {
        TypeDescription t = TypeDescription::utcTime();
        EXPECT_EQ(TypeDescription::decode(fromHex(hex), t), expected) << hex;
        EXPECT_EQ(t, TypeDescription::utcTime()) << hex;  // untouched
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

TEST(TypeDescription, DepthLimit)
{
    auto nested = [](int levels) {
        TypeDescription t = TypeDescription::boolean();
        for (int i = 0; i < levels; ++i)
            t = TypeDescription::structure({std::move(t).named("x")});
        return t.encode();
    };
    TypeDescription out;
    EXPECT_EQ(TypeDescription::decode(nested(kMaxDataDepth - 1), out), Status::Ok);
    EXPECT_EQ(TypeDescription::decode(nested(kMaxDataDepth + 1), out), Status::TooDeep);
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
        TypeDescription t;
        if (TypeDescription::decode(b, t) == Status::Ok) {
            TypeDescription again;
            EXPECT_EQ(TypeDescription::decode(t.encode(), again), Status::Ok);
            EXPECT_EQ(again, t);
        }
    }
}
