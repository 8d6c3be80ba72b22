#include "iec61850/ber/ber.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

using namespace iec61850;
using ber::Status;
using ber::Tag;
using ber::TagClass;

namespace {

Bytes hex(std::string_view s)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < s.size(); i += (s[i] == ' ') ? 1 : 2) {
        if (s[i] == ' ')
            continue;
        out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(s.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes encodeTag(Tag t)
{
    ber::Writer w;
    w.null(t);
    Bytes b = w.take();
    b.pop_back();  // the zero length
    return b;
}

Bytes integerContent(std::int64_t v)
{
    Bytes b;
    ber::appendIntegerContent(b, v);
    return b;
}

Bytes unsignedContent(std::uint64_t v)
{
    Bytes b;
    ber::appendUnsignedContent(b, v);
    return b;
}

// Walks every element, entering constructed ones; returns the first failure.
Status walk(ber::Reader r, std::size_t& elements)
{
    while (!r.atEnd()) {
        ber::Element e;
        if (Status s = r.next(e); s != Status::Ok)
            return s;
        ++elements;
        EXPECT_LE(e.content.size(), e.whole.size());
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

Bytes nested(int levels, ByteView innermost)
{
    ber::Writer w;
    std::vector<ber::Writer::Marker> open;
    for (int i = 0; i < levels; ++i)
        open.push_back(w.begin(ber::universal(ber::universal_tag::Sequence)));
    w.octets(ber::universal(ber::universal_tag::OctetString), innermost);
    while (!open.empty()) {
        w.end(open.back());
        open.pop_back();
    }
    return w.take();
}

// The MMS initiate-RequestPDU of the reference association (max PDU 65000, 5/5 outstanding, nesting 10).
const Bytes kInitiateRequest =
    hex("a826800300fde881010582010583010aa416800101810305f100820c03ee1c00000408000079ef18");

}  // namespace

TEST(BerTag, IdentifierOctetsForEveryClassAndForm)
{
    struct Case {
        Tag tag;
        const char* bytes;
    } cases[] = {
        {ber::universal(ber::universal_tag::Integer), "02"},
        {ber::universal(ber::universal_tag::Sequence, true), "30"},
        {ber::application(0, true), "60"},
        {ber::application(1, true), "61"},
        {ber::context(0), "80"},
        {ber::context(30, true), "be"},
        {ber::privateTag(5), "c5"},
        {ber::privateTag(2, true), "e2"},
        {ber::context(31), "9f1f"},
        {ber::context(72, true), "bf48"},   // fileOpen
        {ber::context(127), "9f7f"},
        {ber::context(128), "9f8100"},
        {ber::application(16383), "5fff7f"},
        {ber::application(16384), "5f818000"},
        {ber::privateTag((1u << 21) - 1, true), "ffffff7f"},
        {ber::context((1u << 28) - 1), "9fffffff7f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(encodeTag(c.tag), hex(c.bytes));
        Bytes tlv = hex(c.bytes);
        tlv.push_back(0);
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(tlv, e), Status::Ok);
        EXPECT_EQ(e.tag, c.tag);
        EXPECT_EQ(e.whole.size(), tlv.size());
        EXPECT_TRUE(e.content.empty());
    }
}

TEST(BerTag, MalformedIdentifiersAreRefused)
{
    ber::Element e;
    EXPECT_EQ(ber::decodeElement(hex("9f808100"), e), Status::BadTag);      // leading zero group
    EXPECT_EQ(ber::decodeElement(hex("9f1e00"), e), Status::BadTag);        // small number in long form
    EXPECT_EQ(ber::decodeElement(hex("9f818181810100"), e), Status::BadTag);  // more than 28 bits
    EXPECT_EQ(ber::decodeElement(hex("9f81"), e), Status::Truncated);       // ends inside the number
    EXPECT_EQ(ber::decodeElement(hex("9f"), e), Status::Truncated);
    EXPECT_EQ(ber::decodeElement({}, e), Status::Truncated);
    EXPECT_EQ(ber::decodeElement(hex("02"), e), Status::Truncated);         // no length
}

TEST(BerLength, ShortAndLongForms)
{
    struct Case {
        std::size_t length;
        const char* header;
    } cases[] = {
        {0, "04 00"}, {127, "04 7f"}, {128, "04 8180"}, {255, "04 81ff"}, {256, "04 820100"},
        {65535, "04 82ffff"}, {65536, "04 83010000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes content(c.length, 0x5a);
        ber::Writer w;
        w.octets(ber::universal(ber::universal_tag::OctetString), content);
        const Bytes header = hex(c.header);
        ASSERT_EQ(w.size(), header.size() + c.length);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), w.bytes().begin()));
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
        EXPECT_EQ(e.content.size(), c.length);
        EXPECT_EQ(e.content.data(), w.bytes().data() + header.size());
    }
}

TEST(BerLength, NonMinimalLongFormIsAccepted)
{
    ber::Element e;
    ASSERT_EQ(ber::decodeElement(hex("0482000301 02 03"), e), Status::Ok);
    EXPECT_EQ(e.content.size(), 3u);
    ASSERT_EQ(ber::decodeElement(hex("04 8400000001 aa"), e), Status::Ok);
    EXPECT_EQ(e.content.size(), 1u);
}

TEST(BerLength, BadLengthsAreRefused)
{
    ber::Element e;
    EXPECT_EQ(ber::decodeElement(hex("3080 0000"), e), Status::BadLength);        // indefinite form
    EXPECT_EQ(ber::decodeElement(hex("04 8501000000 00"), e), Status::BadLength);  // five length octets
    EXPECT_EQ(ber::decodeElement(hex("04 84ffffffff 00"), e), Status::BadLength);  // lies about 4 GiB
    EXPECT_EQ(ber::decodeElement(hex("04 05 0102"), e), Status::BadLength);        // content beyond the view
    EXPECT_EQ(ber::decodeElement(hex("04 8201"), e), Status::Truncated);           // inside the length field
    EXPECT_EQ(ber::decodeElement(hex("04 81"), e), Status::Truncated);
}

TEST(BerLength, ElementStopsAtItsOwnEnd)
{
    const Bytes two = hex("0201 05 0101ff");
    ber::Reader r(two);
    ber::Element e;
    ASSERT_EQ(r.peek(e), Status::Ok);
    EXPECT_EQ(r.remaining(), two.size());
    ASSERT_EQ(r.next(e), Status::Ok);
    EXPECT_EQ(e.whole.size(), 3u);
    ASSERT_EQ(r.next(e), Status::Ok);
    EXPECT_TRUE(e.tag.is(TagClass::Universal, ber::universal_tag::Boolean));
    EXPECT_TRUE(r.atEnd());
    EXPECT_EQ(r.next(e), Status::Truncated);
}

TEST(BerInteger, MinimalTwosComplement)
{
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t value;
        const char* content;
    } cases[] = {
        {0, "00"}, {1, "01"}, {127, "7f"}, {128, "0080"}, {255, "00ff"}, {256, "0100"},
        {-1, "ff"}, {-128, "80"}, {-129, "ff7f"}, {-256, "ff00"}, {-32768, "8000"}, {-32769, "ff7fff"},
        {65000, "00fde8"}, {2147483647, "7fffffff"}, {-2147483648LL, "80000000"},
        {2147483648LL, "0080000000"}, {max, "7fffffffffffffff"}, {min, "8000000000000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(integerContent(c.value), hex(c.content));
        std::int64_t back = 0;
        ASSERT_EQ(ber::decodeInteger(hex(c.content), back), Status::Ok);
        EXPECT_EQ(back, c.value);
    }
}

TEST(BerInteger, NonMinimalContentStillDecodes)
{
    std::int64_t v = 0;
    ASSERT_EQ(ber::decodeInteger(hex("0000ff"), v), Status::Ok);
    EXPECT_EQ(v, 255);
    ASSERT_EQ(ber::decodeInteger(hex("ffff80"), v), Status::Ok);
    EXPECT_EQ(v, -128);
}

TEST(BerInteger, RefusesEmptyAndOversized)
{
    std::int64_t v = 42;
    EXPECT_EQ(ber::decodeInteger({}, v), Status::BadValue);
    EXPECT_EQ(ber::decodeInteger(hex("008000000000000000"), v), Status::BadValue);  // nine octets
    EXPECT_EQ(v, 42);
}

TEST(BerInteger, ExpectIntegerChecksTheForm)
{
    ber::Element e;
    ASSERT_EQ(ber::decodeElement(hex("a203 020101"), e), Status::Ok);
    std::int64_t v = 0;
    EXPECT_EQ(ber::expectInteger(e, v), Status::BadTag);
    std::uint64_t u = 0;
    EXPECT_EQ(ber::expectUnsigned(e, u), Status::BadTag);
}

TEST(BerUnsigned, MinimalEncodingWithSignOctet)
{
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t value;
        const char* content;
    } cases[] = {
        {0, "00"}, {127, "7f"}, {128, "0080"}, {255, "00ff"}, {256, "0100"}, {0xffffffffu, "00ffffffff"},
        {0x100000000ULL, "0100000000"}, {0x7fffffffffffffffULL, "7fffffffffffffff"},
        {0x8000000000000000ULL, "008000000000000000"}, {max, "00ffffffffffffffff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(unsignedContent(c.value), hex(c.content));
        std::uint64_t back = 0;
        ASSERT_EQ(ber::decodeUnsigned(hex(c.content), back), Status::Ok);
        EXPECT_EQ(back, c.value);
    }
}

TEST(BerUnsigned, RefusesNegativeEmptyAndOversized)
{
    std::uint64_t v = 7;
    EXPECT_EQ(ber::decodeUnsigned(hex("80"), v), Status::BadValue);
    EXPECT_EQ(ber::decodeUnsigned(hex("ff"), v), Status::BadValue);
    EXPECT_EQ(ber::decodeUnsigned({}, v), Status::BadValue);
    EXPECT_EQ(ber::decodeUnsigned(hex("010000000000000000"), v), Status::BadValue);    // 2^64
    EXPECT_EQ(ber::decodeUnsigned(hex("00000000000000000001"), v), Status::BadValue);  // ten octets
    EXPECT_EQ(v, 7u);
}

TEST(BerWriter, IntegerElementsRoundTrip)
{
    std::mt19937_64 rng(1);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t raw = rng() >> (rng() % 64);
        const auto signedValue = static_cast<std::int64_t>(i % 2 ? raw : ~raw);
        ber::Writer w;
        w.integer(ber::context(5), signedValue);
        w.unsignedInteger(ber::context(6), raw);
        ber::Reader r(w.bytes());
        ber::Element e;
        std::int64_t s = 0;
        std::uint64_t u = 0;
        ASSERT_EQ(r.next(e), Status::Ok);
        ASSERT_EQ(ber::expectInteger(e, s), Status::Ok);
        EXPECT_EQ(s, signedValue);
        ASSERT_EQ(r.next(e), Status::Ok);
        ASSERT_EQ(ber::expectUnsigned(e, u), Status::Ok);
        EXPECT_EQ(u, raw);
        EXPECT_TRUE(r.atEnd());
    }
}

TEST(BerBoolean, ContentIsOneOctet)
{
    ber::Writer w;
    w.boolean(ber::context(3), true);
    w.boolean(ber::context(3), false);
    EXPECT_EQ(w.bytes(), hex("8301ff 830100"));
    bool b = false;
    ASSERT_EQ(ber::decodeBoolean(hex("01"), b), Status::Ok);
    EXPECT_TRUE(b);
    ASSERT_EQ(ber::decodeBoolean(hex("00"), b), Status::Ok);
    EXPECT_FALSE(b);
    EXPECT_EQ(ber::decodeBoolean({}, b), Status::BadValue);
    EXPECT_EQ(ber::decodeBoolean(hex("0000"), b), Status::BadValue);
}

TEST(BerBitString, KnownVectorsFromTheInitiate)
{
    // Parameter CBB: 11 bits, 5 unused; services supported: 85 bits, 3 unused.
    Bytes bits;
    std::size_t count = 0;
    ASSERT_EQ(ber::decodeBitString(hex("05f100"), bits, count), Status::Ok);
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(bits, hex("f100"));
    ASSERT_EQ(ber::decodeBitString(hex("03ee1c00000408000079ef18"), bits, count), Status::Ok);
    EXPECT_EQ(count, 85u);

    ber::Writer w;
    w.bitString(ber::context(1), hex("f100"), 11);
    EXPECT_EQ(w.bytes(), hex("810305f100"));
}

TEST(BerBitString, EdgeLengths)
{
    ber::Writer w;
    w.bitString(ber::context(4), {}, 0);
    w.bitString(ber::context(4), hex("80"), 1);
    w.bitString(ber::context(4), hex("ffff"), 8);   // extra input octets ignored
    w.bitString(ber::context(4), hex("ff"), 13);   // missing octets written as zero
    w.bitString(ber::context(4), hex("ffff"), 10);  // unused bits cleared
    EXPECT_EQ(w.bytes(), hex("840100 84020780 840200ff 840303ff00 840306ffc0"));

    ber::Reader r(w.bytes());
    const std::size_t counts[] = {0, 1, 8, 13, 10};
    for (std::size_t expected : counts) {
        ber::Element e;
        ASSERT_EQ(r.next(e), Status::Ok);
        Bytes bits;
        std::size_t count = 99;
        ASSERT_EQ(ber::decodeBitString(e.content, bits, count), Status::Ok);
        EXPECT_EQ(count, expected);
        EXPECT_EQ(bits.size(), (expected + 7) / 8);
    }
}

TEST(BerBitString, RefusesBadUnusedCounts)
{
    Bytes bits = {1};
    std::size_t count = 5;
    EXPECT_EQ(ber::decodeBitString({}, bits, count), Status::BadValue);
    EXPECT_EQ(ber::decodeBitString(hex("08ff"), bits, count), Status::BadValue);
    EXPECT_EQ(ber::decodeBitString(hex("ffff"), bits, count), Status::BadValue);
    EXPECT_EQ(ber::decodeBitString(hex("03"), bits, count), Status::BadValue);  // unused bits of nothing
    EXPECT_EQ(count, 5u);
}

TEST(BerOid, KnownIdentifiers)
{
    struct Case {
        std::vector<std::uint32_t> arcs;
        const char* content;
    } cases[] = {
        {{1, 0, 9506, 2, 3}, "28ca220203"},   // MMS application context
        {{1, 0, 9506, 2, 1}, "28ca220201"},   // MMS abstract syntax
        {{2, 2, 1, 0, 1}, "52010001"},        // ACSE abstract syntax
        {{2, 1, 1}, "5101"},                  // BER transfer syntax
        {{1, 3, 9999, 1, 7}, "2bce0f0107"},
        {{0, 0}, "00"},
        {{2, 999, 3}, "883703"},
        {{1, 2, 0xffffffffu}, "2a8fffffff7f"},
        {{1, 2, 128}, "2a8100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        ber::Writer w;
        w.oid(ber::universal(ber::universal_tag::ObjectIdentifier), c.arcs);
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
        EXPECT_EQ(Bytes(e.content.begin(), e.content.end()), hex(c.content));
        std::vector<std::uint32_t> back;
        ASSERT_EQ(ber::decodeOid(hex(c.content), back), Status::Ok);
        EXPECT_EQ(back, c.arcs);
    }
}

TEST(BerOid, RefusesMalformedContent)
{
    std::vector<std::uint32_t> arcs = {9};
    EXPECT_EQ(ber::decodeOid({}, arcs), Status::BadValue);
    EXPECT_EQ(ber::decodeOid(hex("2a80"), arcs), Status::BadValue);          // ends inside an arc
    EXPECT_EQ(ber::decodeOid(hex("2a8001"), arcs), Status::BadValue);        // leading zero group
    EXPECT_EQ(ber::decodeOid(hex("802a"), arcs), Status::BadValue);
    EXPECT_EQ(ber::decodeOid(hex("2a9080808000"), arcs), Status::BadValue);  // arc of 2^32
    EXPECT_EQ(arcs, std::vector<std::uint32_t>{9});
}

TEST(BerString, OctetsAreTakenAsTheyAre)
{
    const Bytes content = {'a', 0, 0xff, 'z'};
    std::string s;
    ASSERT_EQ(ber::decodeString(content, s), Status::Ok);
    EXPECT_EQ(s, std::string("a\0\xffz", 4));
    ber::Writer w;
    w.string(ber::universal(ber::universal_tag::VisibleString), "LLN0$ST$Mod");
    Bytes expected = hex("1a0b");
    expected.insert(expected.end(), {'L', 'L', 'N', '0', '$', 'S', 'T', '$', 'M', 'o', 'd'});
    EXPECT_EQ(w.bytes(), expected);
    ber::Element e;
    ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
    ASSERT_EQ(ber::decodeString(e.content, s), Status::Ok);
    EXPECT_EQ(s, "LLN0$ST$Mod");
}

TEST(BerWriter, ConstructedLengthsAcrossEveryBoundary)
{
    for (std::size_t size : {0u, 1u, 125u, 126u, 127u, 128u, 129u, 254u, 255u, 256u, 257u, 65533u, 65534u, 65535u,
                             65536u, 65537u, 70000u}) {
        SCOPED_TRACE(size);
        ber::Writer w;
        const auto outer = w.begin(ber::context(1));
        const auto inner = w.begin(ber::context(2));
        w.raw(Bytes(size, 0x11));
        w.end(inner);
        w.end(outer);

        ber::Element e;
        ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
        EXPECT_EQ(e.whole.size(), w.size());
        EXPECT_TRUE(e.tag.constructed);
        ber::Reader r(w.bytes());
        ASSERT_EQ(r.next(e), Status::Ok);
        ber::Reader child(ByteView{});
        ASSERT_EQ(r.enter(e, child), Status::Ok);
        ber::Element in;
        ASSERT_EQ(child.next(in), Status::Ok);
        EXPECT_TRUE(child.atEnd());
        EXPECT_EQ(in.tag, ber::context(2, true));
        EXPECT_EQ(in.content.size(), size);
        EXPECT_TRUE(std::all_of(in.content.begin(), in.content.end(), [](std::uint8_t b) { return b == 0x11; }));
    }
}

TEST(BerWriter, SiblingsAfterAWidenedElementStayIntact)
{
    ber::Writer w;
    const auto seq = w.begin(ber::universal(ber::universal_tag::Sequence));
    const auto first = w.begin(ber::context(0));
    w.octets(ber::universal(ber::universal_tag::OctetString), Bytes(300, 0x22));
    w.end(first);
    w.integer(ber::context(1), 65000);
    const auto second = w.begin(ber::context(2));
    w.end(second);
    w.end(seq);

    ber::Reader top(w.bytes());
    ber::Element e;
    ASSERT_EQ(top.next(e), Status::Ok);
    EXPECT_TRUE(top.atEnd());
    ber::Reader seqReader(ByteView{});
    ASSERT_EQ(top.enter(e, seqReader), Status::Ok);
    ASSERT_EQ(seqReader.next(e), Status::Ok);
    EXPECT_EQ(e.content.size(), 304u);
    ASSERT_EQ(seqReader.next(e), Status::Ok);
    std::int64_t v = 0;
    ASSERT_EQ(ber::expectInteger(e, v), Status::Ok);
    EXPECT_EQ(v, 65000);
    ASSERT_EQ(seqReader.next(e), Status::Ok);
    EXPECT_EQ(e.whole.size(), 2u);
    EXPECT_TRUE(seqReader.atEnd());
}

TEST(BerWriter, ReproducesTheReferenceInitiateRequest)
{
    ber::Writer w;
    const auto pdu = w.begin(ber::context(8));
    w.integer(ber::context(0), 65000);
    w.integer(ber::context(1), 5);
    w.integer(ber::context(2), 5);
    w.integer(ber::context(3), 10);
    const auto detail = w.begin(ber::context(4));
    w.integer(ber::context(0), 1);
    w.bitString(ber::context(1), hex("f100"), 11);
    w.bitString(ber::context(2), hex("ee1c00000408000079ef18"), 85);
    w.end(detail);
    w.end(pdu);
    EXPECT_EQ(w.bytes(), kInitiateRequest);
}

TEST(BerReader, ReadsTheReferenceInitiateRequest)
{
    ber::Reader r(kInitiateRequest);
    ber::Element pdu;
    ASSERT_EQ(r.next(pdu), Status::Ok);
    EXPECT_EQ(pdu.tag, ber::context(8, true));
    ber::Reader fields(ByteView{});
    ASSERT_EQ(r.enter(pdu, fields), Status::Ok);
    const std::int64_t expected[] = {65000, 5, 5, 10};
    for (std::int64_t want : expected) {
        ber::Element e;
        std::int64_t v = 0;
        ASSERT_EQ(fields.next(e), Status::Ok);
        ASSERT_EQ(ber::expectInteger(e, v), Status::Ok);
        EXPECT_EQ(v, want);
    }
    ber::Element detail;
    ASSERT_EQ(fields.next(detail), Status::Ok);
    EXPECT_TRUE(fields.atEnd());
    std::size_t elements = 0;
    ber::Reader inner(ByteView{});
    ASSERT_EQ(fields.enter(detail, inner), Status::Ok);
    EXPECT_EQ(walk(inner, elements), Status::Ok);
    EXPECT_EQ(elements, 3u);
}

TEST(BerReader, EnterNeedsAConstructedElement)
{
    const Bytes primitive = hex("0401aa");
    ber::Reader r(primitive);
    ber::Element e;
    ASSERT_EQ(r.next(e), Status::Ok);
    ber::Reader child(ByteView{});
    EXPECT_EQ(r.enter(e, child), Status::BadTag);
}

TEST(BerReader, DepthBudgetStopsDeepNesting)
{
    const Bytes payload = {1, 2, 3};
    EXPECT_EQ(walk(nested(ber::kDefaultMaxDepth, payload)), Status::Ok);
    EXPECT_EQ(walk(nested(ber::kDefaultMaxDepth + 1, payload)), Status::TooDeep);
    EXPECT_EQ(walk(nested(3, payload), 3), Status::Ok);
    EXPECT_EQ(walk(nested(4, payload), 3), Status::TooDeep);
    EXPECT_EQ(walk(nested(1, payload), 0), Status::TooDeep);

    const Bytes twoLevels = nested(2, payload);
    ber::Reader r(twoLevels, 2);
    ber::Element e;
    ASSERT_EQ(r.next(e), Status::Ok);
    ber::Reader child(ByteView{});
    ASSERT_EQ(r.enter(e, child), Status::Ok);
    EXPECT_EQ(child.depthBudget(), 1);
}

TEST(BerReader, InnerLengthBeyondItsContainerIsRefused)
{
    // The outer element holds 5 octets, the inner one claims 6.
    EXPECT_EQ(walk(hex("3005 0406 01020304 05")), Status::BadLength);
    // A truncated last child.
    EXPECT_EQ(walk(hex("3004 020100 02")), Status::Truncated);
}

TEST(BerReader, EveryTruncationOfAValidPduFails)
{
    for (std::size_t n = 1; n < kInitiateRequest.size(); ++n) {
        SCOPED_TRACE(n);
        const ByteView prefix(kInitiateRequest.data(), n);
        EXPECT_NE(walk(prefix), Status::Ok);
    }
    EXPECT_EQ(walk(kInitiateRequest), Status::Ok);
}

TEST(BerReader, RandomBytesNeverEscapeTheirView)
{
    std::mt19937 rng(61850);
    for (int round = 0; round < 20000; ++round) {
        Bytes data(rng() % 64);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        // Bias towards plausible structure: constructed tags and short lengths.
        if (!data.empty() && round % 2)
            data[0] |= 0x20;
        std::size_t elements = 0;
        walk(ber::Reader(data), elements);

        ber::Element e;
        if (ber::decodeElement(data, e) == Status::Ok) {
            EXPECT_GE(e.content.data(), data.data());
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
