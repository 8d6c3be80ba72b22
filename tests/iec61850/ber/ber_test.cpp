#include "iec61850/ber/ber.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>

using namespace iec61850;
using ber::Status;
using ber::Tag;
using test_support::fromHex;

namespace {

// Walks every element, entering constructed ones; returns the first failure.
Status walk(ber::Reader r, std::size_t& elements)
{
    while (!r.atEnd()) {
        ber::Element e;
        if (Status s = r.next(e); s != Status::Ok)
            return s;
        ++elements;
        EXPECT_EQ(e.content.data() + e.content.size(), e.whole.data() + e.whole.size());
        if (e.tag.constructed) {
            ber::Reader child(ByteView{});
            if (Status s = r.enter(e, child); s != Status::Ok)
                return s;
            if (Status s = walk(child, elements); s != Status::Ok)
                return s;
        }
    }
    return Status::Ok;
}

Status walk(ByteView data, int depth = ber::kDefaultMaxDepth)
{
    std::size_t elements = 0;
    return walk(ber::Reader(data, depth), elements);
}

Bytes nested(int levels)
{
    ber::Writer w;
    std::vector<ber::Writer::Marker> open;
    for (int i = 0; i < levels; ++i)
        open.push_back(w.begin(ber::universal(ber::universal_tag::Sequence)));
    w.octets(ber::universal(ber::universal_tag::OctetString), fromHex("010203"));
    for (; !open.empty(); open.pop_back())
        w.end(open.back());
    return w.take();
}

// The MMS initiate-RequestPDU of the reference association (max PDU 65000, 5/5 outstanding, nesting 10).
const Bytes kInitiateRequest = fromHex("a826800300fde881010582010583010aa416800101810305f100820c03ee1c00000408000079ef18");

}  // namespace

TEST(Ber, TagsOfEveryClassAndSize)
{
    const struct {
        Tag tag;
        const char* bytes;
    } cases[] = {
        {ber::universal(ber::universal_tag::Integer), "02"},
        {ber::universal(ber::universal_tag::Sequence, true), "30"},
        {ber::application(1, true), "61"},
        {ber::context(30, true), "be"},
        {ber::privateTag(2, true), "e2"},
        {ber::context(31), "9f1f"},
        {ber::context(72, true), "bf48"},
        {ber::context(128), "9f8100"},
        {ber::application(16384), "5f818000"},
        {ber::privateTag((1u << 21) - 1, true), "ffffff7f"},
        {ber::context((1u << 28) - 1), "9fffffff7f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        ber::Writer w;
        w.null(c.tag);
        const Bytes tlv = w.take();
        EXPECT_EQ(tlv, test_support::concat({fromHex(c.bytes), fromHex("00")}));
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(tlv, e), Status::Ok);
        EXPECT_EQ(e.tag, c.tag);
        EXPECT_EQ(e.whole.size(), tlv.size());
        EXPECT_TRUE(e.content.empty());
    }
}

TEST(Ber, LengthsInShortAndLongForm)
{
    const struct {
        std::size_t length;
        const char* header;
    } cases[] = {{0, "04 00"}, {127, "04 7f"}, {128, "04 8180"}, {256, "04 820100"}, {65535, "04 82ffff"}, {65536, "04 83010000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        ber::Writer w;
        w.octets(ber::universal(ber::universal_tag::OctetString), Bytes(c.length, 0x5a));
        const Bytes header = fromHex(c.header);
        ASSERT_EQ(w.size(), header.size() + c.length);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), w.bytes().begin()));
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
        EXPECT_EQ(e.content.data(), w.bytes().data() + header.size());
        EXPECT_EQ(e.content.size(), c.length);
    }
    ber::Element e;  // non-minimal long forms are accepted
    ASSERT_EQ(ber::decodeElement(fromHex("04 8400000001 aa"), e), Status::Ok);
    EXPECT_EQ(e.content.size(), 1u);
}

TEST(Ber, MalformedElementsAreRefused)
{
    const struct {
        const char* bytes;
        Status expected;
    } cases[] = {
        {"9f808100", Status::BadTag},        // leading zero group in the tag number
        {"9f1e00", Status::BadTag},          // small number in long form
        {"9f818181810100", Status::BadTag},  // more than 28 bits
        {"9f81", Status::Truncated},         // ends inside the number
        {"", Status::Truncated},
        {"02", Status::Truncated},            // no length
        {"04 8201", Status::Truncated},       // ends inside the length field
        {"3080 0000", Status::BadLength},     // indefinite form
        {"04 8501000000 00", Status::BadLength},
        {"04 84ffffffff 00", Status::BadLength},  // lies about 4 GiB
        {"04 05 0102", Status::BadLength},        // content beyond the view
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        ber::Element e;
        EXPECT_EQ(ber::decodeElement(fromHex(c.bytes), e), c.expected);
    }
    // Inside constructed elements: a child longer than its parent, a cut last child, entering a primitive.
    EXPECT_EQ(walk(fromHex("3005 0406 01020304 05")), Status::BadLength);
    EXPECT_EQ(walk(fromHex("3004 020100 02")), Status::Truncated);
    const Bytes primitive = fromHex("0401aa");
    ber::Reader r(primitive);
    ber::Element e;
    ber::Reader child(ByteView{});
    ASSERT_EQ(r.next(e), Status::Ok);
    EXPECT_EQ(r.enter(e, child), Status::BadTag);
}

TEST(Ber, IntegersInMinimalTwosComplement)
{
    const struct {
        std::int64_t value;
        const char* content;
    } signedCases[] = {
        {0, "00"}, {127, "7f"}, {128, "0080"}, {-1, "ff"}, {-128, "80"}, {-129, "ff7f"}, {65000, "00fde8"},
        {std::numeric_limits<std::int64_t>::max(), "7fffffffffffffff"},
        {std::numeric_limits<std::int64_t>::min(), "8000000000000000"},
    };
    for (const auto& c : signedCases) {
        SCOPED_TRACE(c.value);
        Bytes b;
        ber::appendIntegerContent(b, c.value);
        EXPECT_EQ(b, fromHex(c.content));
        std::int64_t back = 0;
        ASSERT_EQ(ber::decodeInteger(b, back), Status::Ok);
        EXPECT_EQ(back, c.value);
    }
    const struct {
        std::uint64_t value;
        const char* content;
    } unsignedCases[] = {
        {0, "00"}, {128, "0080"}, {0xffffffffu, "00ffffffff"}, {0x7fffffffffffffffULL, "7fffffffffffffff"},
        {std::numeric_limits<std::uint64_t>::max(), "00ffffffffffffffff"},
    };
    for (const auto& c : unsignedCases) {
        SCOPED_TRACE(c.value);
        Bytes b;
        ber::appendUnsignedContent(b, c.value);
        EXPECT_EQ(b, fromHex(c.content));
        std::uint64_t back = 0;
        ASSERT_EQ(ber::decodeUnsigned(b, back), Status::Ok);
        EXPECT_EQ(back, c.value);
    }
    std::int64_t v = 0;  // non-minimal content still decodes
    ASSERT_EQ(ber::decodeInteger(fromHex("ffff80"), v), Status::Ok);
    EXPECT_EQ(v, -128);

}

TEST(Ber, BooleansBitStringsOidsAndStrings)
{
    ber::Writer w;
    w.boolean(ber::context(3), true);
    w.bitString(ber::context(4), {}, 0);
    w.bitString(ber::context(4), fromHex("ffff"), 8);   // extra input octets ignored
    w.bitString(ber::context(4), fromHex("ff"), 13);    // missing octets written as zero
    w.bitString(ber::context(4), fromHex("ffff"), 10);  // unused bits cleared
    w.string(ber::universal(ber::universal_tag::VisibleString), "a$b");
    EXPECT_EQ(w.bytes(), fromHex("8301ff 840100 840200ff 840303ff00 840306ffc0 1a03 612462"));

    bool b = false;
    ASSERT_EQ(ber::decodeBoolean(fromHex("01"), b), Status::Ok);
    EXPECT_TRUE(b);
    Bytes bits;
    std::size_t count = 0;
    ASSERT_EQ(ber::decodeBitString(fromHex("03ee1c00000408000079ef18"), bits, count), Status::Ok);
    EXPECT_EQ(count, 85u);
    std::string s;
    ASSERT_EQ(ber::decodeString(fromHex("6100ff7a"), s), Status::Ok);
    EXPECT_EQ(s, std::string("a\0\xffz", 4));

    const struct {
        std::vector<std::uint32_t> arcs;
        const char* content;
    } oids[] = {
        {{1, 0, 9506, 2, 3}, "28ca220203"},  // MMS application context
        {{2, 1, 1}, "5101"},                 // BER transfer syntax
        {{0, 0}, "00"},
        {{2, 999, 3}, "883703"},
        {{1, 2, 0xffffffffu}, "2a8fffffff7f"},
    };
    for (const auto& c : oids) {
        SCOPED_TRACE(c.content);
        ber::Writer ow;
        ow.oid(ber::universal(ber::universal_tag::ObjectIdentifier), c.arcs);
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(ow.bytes(), e), Status::Ok);
        EXPECT_EQ(Bytes(e.content.begin(), e.content.end()), fromHex(c.content));
        std::vector<std::uint32_t> back;
        ASSERT_EQ(ber::decodeOid(e.content, back), Status::Ok);
        EXPECT_EQ(back, c.arcs);
    }
}

TEST(Ber, MalformedContentIsRefusedAndLeavesTheOutputAlone)
{
    std::int64_t i = 42;
    std::uint64_t u = 7;
    bool b = true;
    Bytes bits = {1};
    std::size_t count = 5;
    std::vector<std::uint32_t> arcs = {9};
    const struct {
        const char* what;
        Status got;
    } cases[] = {
        {"empty integer", ber::decodeInteger({}, i)},
        {"nine-octet integer", ber::decodeInteger(fromHex("008000000000000000"), i)},
        {"negative unsigned", ber::decodeUnsigned(fromHex("80"), u)},
        {"empty unsigned", ber::decodeUnsigned({}, u)},
        {"unsigned 2^64", ber::decodeUnsigned(fromHex("010000000000000000"), u)},
        {"empty boolean", ber::decodeBoolean({}, b)},
        {"two-octet boolean", ber::decodeBoolean(fromHex("0000"), b)},
        {"empty bit string", ber::decodeBitString({}, bits, count)},
        {"8 unused bits", ber::decodeBitString(fromHex("08ff"), bits, count)},
        {"unused bits of nothing", ber::decodeBitString(fromHex("03"), bits, count)},
        {"empty OID", ber::decodeOid({}, arcs)},
        {"OID ends inside an arc", ber::decodeOid(fromHex("2a80"), arcs)},
        {"OID leading zero group", ber::decodeOid(fromHex("2a8001"), arcs)},
        {"OID arc of 2^32", ber::decodeOid(fromHex("2a9080808000"), arcs)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, Status::BadValue) << c.what;
    EXPECT_EQ(i, 42);
    EXPECT_EQ(u, 7u);
    EXPECT_TRUE(b);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(arcs, std::vector<std::uint32_t>{9});

    ber::Element constructed;
    ASSERT_EQ(ber::decodeElement(fromHex("a203 020101"), constructed), Status::Ok);
    EXPECT_EQ(ber::expectInteger(constructed, i), Status::BadTag);
    EXPECT_EQ(ber::expectUnsigned(constructed, u), Status::BadTag);
}

// The writer reserves a short length and widens it when the content grows.
TEST(Ber, WriterWidensLengthsAcrossEveryBoundary)
{
    for (std::size_t size : {0u, 125u, 126u, 127u, 128u, 254u, 255u, 256u, 65533u, 65534u, 65535u, 65536u, 70000u}) {
        SCOPED_TRACE(size);
        ber::Writer w;
        const auto outer = w.begin(ber::context(1));
        const auto inner = w.begin(ber::context(2));
        w.raw(Bytes(size, 0x11));
        w.end(inner);
        w.integer(ber::context(3), 65000);  // a sibling after the widened element
        w.end(outer);

        ber::Reader r(w.bytes());
        ber::Element e;
        ASSERT_EQ(r.next(e), Status::Ok);
        EXPECT_EQ(e.whole.size(), w.size());
        ber::Reader child(ByteView{});
        ASSERT_EQ(r.enter(e, child), Status::Ok);
        ASSERT_EQ(child.next(e), Status::Ok);
        EXPECT_EQ(e.tag, ber::context(2, true));
        EXPECT_EQ(e.content.size(), size);
        EXPECT_TRUE(std::all_of(e.content.begin(), e.content.end(), [](std::uint8_t b) { return b == 0x11; }));
        std::int64_t v = 0;
        ASSERT_EQ(child.next(e), Status::Ok);
        ASSERT_EQ(ber::expectInteger(e, v), Status::Ok);
        EXPECT_EQ(v, 65000);
        EXPECT_TRUE(child.atEnd());
    }
}

TEST(Ber, EveryTruncationOfTheReferenceInitiateFails)
{
    std::size_t elements = 0;
    EXPECT_EQ(walk(ber::Reader(kInitiateRequest), elements), Status::Ok);
    EXPECT_EQ(elements, 9u);
    for (std::size_t n = 1; n < kInitiateRequest.size(); ++n)
        EXPECT_NE(walk(ByteView(kInitiateRequest).first(n)), Status::Ok) << n;
}

TEST(Ber, DepthBudgetStopsDeepNesting)
{
    EXPECT_EQ(walk(nested(ber::kDefaultMaxDepth)), Status::Ok);
    EXPECT_EQ(walk(nested(ber::kDefaultMaxDepth + 1)), Status::TooDeep);
    EXPECT_EQ(walk(nested(3), 3), Status::Ok);
    EXPECT_EQ(walk(nested(4), 3), Status::TooDeep);
    EXPECT_EQ(walk(nested(1), 0), Status::TooDeep);
}

TEST(Ber, RandomBytesNeverEscapeTheirView)
{
    std::mt19937 rng(61850);
    for (int round = 0; round < 20000; ++round) {
        Bytes data(rng() % 64);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        if (!data.empty() && round % 2)
            data[0] |= 0x20;  // constructed, so that the walk goes deeper
        walk(data);
        ber::Element e;
        if (ber::decodeElement(data, e) == Status::Ok) {
            EXPECT_LE(e.whole.size(), data.size());
            std::int64_t i;
            std::uint64_t u;
            bool b;
            Bytes bits;
            std::size_t count;
            std::vector<std::uint32_t> arcs;
            ber::decodeInteger(e.content, i);
            ber::decodeUnsigned(e.content, u);
            ber::decodeBoolean(e.content, b);
            ber::decodeBitString(e.content, bits, count);
            ber::decodeOid(e.content, arcs);
        }
    }
}
