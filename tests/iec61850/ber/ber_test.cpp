// BER encodings fixed once: tags, bit strings and object identifiers. Lengths,
// integers and tag round trips come from the value generator (mms/value_test),
// bad input from tests/data/codec/bad_input.txt.
#include "iec61850/ber/ber.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using ber::Status;
using test_support::fromHex;
using test_support::toHex;

TEST(Ber, PinnedTagsOfEveryClassAndSize)
{
    const std::pair<ber::Tag, const char*> cases[] = {
        {ber::universal(ber::universal_tag::Integer), "02"}, {ber::universal(ber::universal_tag::Sequence, true), "30"},
        {ber::application(1, true), "61"},                   {ber::context(30, true), "be"},
        {ber::privateTag(2, true), "e2"},                    {ber::context(31), "9f1f"},
        {ber::context(72, true), "bf48"},                    {ber::context(128), "9f8100"},
        {ber::application(16384), "5f818000"},               {ber::privateTag((1u << 21) - 1, true), "ffffff7f"},
        {ber::context((1u << 28) - 1), "9fffffff7f"},
    };
    for (const auto& [tag, hex] : cases) {
        ber::Writer w;
        w.null(tag);
        EXPECT_EQ(toHex(w.bytes()), std::string(hex) + "00");
    }
}

TEST(Ber, PinnedBitStringsStringsAndOids)
{
    ber::Writer w;
    w.boolean(ber::context(3), true);
    w.bitString(ber::context(4), {}, 0);
    w.bitString(ber::context(4), fromHex("ffff"), 8);   // extra input octets ignored
    w.bitString(ber::context(4), fromHex("ff"), 13);    // missing octets written as zero
    w.bitString(ber::context(4), fromHex("ffff"), 10);  // unused bits cleared
    w.string(ber::universal(ber::universal_tag::VisibleString), "a$b");
    EXPECT_EQ(toHex(w.bytes()), "8301ff840100840200ff840303ff00840306ffc01a03612462");
    Bytes bits;
    std::size_t count = 0;
    ASSERT_EQ(ber::decodeBitString(fromHex("03ee1c00000408000079ef18"), bits, count), Status::Ok);
    EXPECT_EQ(count, 85u);
    std::string s;
    ASSERT_EQ(ber::decodeString(fromHex("6100ff7a"), s), Status::Ok);
    EXPECT_EQ(s, std::string("a\0\xffz", 4));

    const std::pair<std::vector<std::uint32_t>, const char*> oids[] = {
        {{1, 0, 9506, 2, 3}, "28ca220203"},  // MMS application context
        {{2, 1, 1}, "5101"},                 // BER transfer syntax
        {{0, 0}, "00"},
        {{2, 999, 3}, "883703"},
        {{1, 2, 0xffffffffu}, "2a8fffffff7f"},
    };
    for (const auto& [arcs, content] : oids) {
        ber::Writer ow;
        ow.oid(ber::universal(ber::universal_tag::ObjectIdentifier), arcs);
        EXPECT_EQ(toHex(ow.bytes()).substr(4), content);
        std::vector<std::uint32_t> back;
        ASSERT_EQ(ber::decodeOid(fromHex(content), back), Status::Ok);
        EXPECT_EQ(back, arcs);
    }
    ber::Element constructed;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    ASSERT_EQ(ber::decodeElement(fromHex("a203020101"), constructed), Status::Ok);
    EXPECT_EQ(ber::expectInteger(constructed, i), Status::BadTag);
    EXPECT_EQ(ber::expectUnsigned(constructed, u), Status::BadTag);
}
