// BER encodings fixed once: bit strings, strings and object identifiers. Tags,
// lengths and integers are pinned by the transcripts and checked by the value
// generator's round trips (mms/value_test), bad input by tests/data/codec/bad_input.txt.
#include "iec61850/ber/ber.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using ber::Status;
using test_support::fromHex;
using test_support::toHex;

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
    std::string s;
    ASSERT_EQ(ber::decodeString(fromHex("6100ff7a"), s), Status::Ok);
    EXPECT_EQ(s, std::string("a\0\xffz", 4));

    const std::pair<std::vector<std::uint32_t>, const char*> oids[] = {
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
}
