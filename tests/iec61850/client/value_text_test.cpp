#include "iec61850/client/value_text.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using namespace iec61850;
using client::ValueType;
using client::parseUtcTime;
using client::parseValue;
using mms::Value;

TEST(ValueText, ParsesIso8601AndMilliseconds)
{
    const std::pair<const char*, std::uint64_t> good[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2027-01-01", 1798761600000u},
        {"2027-01-01T01:00:00.250+01:00", 1798761600250u},
        {"2026-12-31T23:00:00-01:00", 1798761600000u},
        {"2024-02-29T12:34:56.7", 1709210096700u},
        {"2040-06-01T12:00:00.789Z", 2222164800789u},
        {"1798761600250", 1798761600250u},
    };
    for (const auto& [text, ms] : good)
        EXPECT_EQ(parseUtcTime(text), ms) << text;
    for (const char* bad : {"", "2027-13-01", "2027-02-29", "2027-01-01T24:00:00Z", "2027-01-01T00:00:00.Z",
                            "2027-01-01T00:00Z", "2027-01-01X", "1969-12-31", "-5", "2027-01-01T00:00:00+1"})
        EXPECT_FALSE(parseUtcTime(bad)) << bad;
    EXPECT_EQ(client::formatUtcTime(1709210096700u), "2024-02-29T12:34:56.700Z");
    EXPECT_EQ(parseUtcTime(client::formatUtcTime(4102444799999u)), 4102444799999u);
}

TEST(ValueText, ParsesEachTypeAndRefusesJunk)
{
    const std::uint8_t octets[] = {0x01, 0xab, 0xff};
    const std::uint8_t bits[] = {0b0110'0000};
    const struct {
        ValueType type;
        const char* text;
        Value expected;
    } good[] = {
        {ValueType::Bool, "1", Value::boolean(true)},
        {ValueType::Int, "-9223372036854775808", Value::integer(INT64_MIN)},
        {ValueType::Uint, "18446744073709551615", Value::unsignedInteger(UINT64_MAX)},
        {ValueType::Double, "-1e-300", Value::float64(-1e-300)},
        {ValueType::Octets, "01 ab:FF", Value::octetString(octets)},
        {ValueType::Octets, "", Value::octetString({})},
        {ValueType::Bits, "011", Value::bitString(bits, 3)},
    };
    for (const auto& c : good)
        EXPECT_EQ(parseValue(c.type, c.text), c.expected) << c.text;

    const std::pair<ValueType, const char*> junk[] = {
        {ValueType::Bool, "yes"},     {ValueType::Int, "12x"},      {ValueType::Int, "9223372036854775808"},
        {ValueType::Uint, "-1"},      {ValueType::Float, ""},       {ValueType::Float, "1.5f"},
        {ValueType::Octets, "abc"},   {ValueType::Octets, "a:bc"},  {ValueType::Octets, "zz"},
        {ValueType::Bits, ""},        {ValueType::Bits, "0120"},    {ValueType::UtcTime, "tomorrow"},
    };
    for (const auto& [type, text] : junk)
        EXPECT_FALSE(parseValue(type, text)) << text;
    EXPECT_FALSE(client::parseValueType("Float"));
}

TEST(ValueText, DescribesNestedTypes)
{
    using mms::TypeDescription;
    const TypeDescription t = TypeDescription::structure({
        TypeDescription::array(2, TypeDescription::structure({TypeDescription::visibleString(-8).named("s")})).named("arr"),
        TypeDescription::bitString(13).named("q"),
    });
    EXPECT_EQ(client::formatType(t), "structure\n"
                                     "  arr: array[2] of structure\n"
                                     "    s: visible-string[<=8]\n"
                                     "  q: bit-string[13]\n");
}

}  // namespace
}  // namespace client_test
