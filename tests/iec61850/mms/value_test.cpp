// MMS values and BER through one generator: every generated value must
// encode to well-formed BER (checked by an independent reader), decode equal
// and re-encode identically, also under tags of every class and size. Pinned
// encodings of real faults, the bad-input table (tests/data/codec) and the
// value semantics that are not round trips.
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/mms/type_description.hpp"
#include "value_generator.hpp"

#include "capture.hpp"
#include "data_rows.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <functional>
#include <map>
#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using test_support::fromHex;
using test_support::toHex;
using TD = TypeDescription;

namespace {

// An independent reader of definite-length BER: minimal tag and length
// forms, contents that fill their parents exactly, minimal MMS integers.
// Returns what is wrong, or nothing.
std::string wellFormed(ByteView b)
{
    while (!b.empty()) {
        std::size_t at = 1;
        const bool constructed = b[0] & 0x20;
        if ((b[0] & 0x1f) == 0x1f) {
            if (b.size() < 3 || b[1] == 0x80 || (b[1] < 31))
                return "bad long tag";
            while (at < b.size() && b[at] & 0x80)
                ++at;
            ++at;
        }
        if (at >= b.size())
            return "no length";
        std::size_t length = b[at++];
        if (length & 0x80) {
            const std::size_t n = length & 0x7f;
            if (n == 0 || n > 4 || at + n > b.size() || b[at] == 0)
                return "bad long length";
            length = 0;
            for (std::size_t i = 0; i < n; ++i)
                length = length << 8 | b[at++];
            if (length < 128 || (n > 1 && length < (std::size_t{1} << (8 * (n - 1)))))
                return "length not in its shortest form: " + std::to_string(length);
        }
        if (length > b.size() - at)
            return "content beyond its parent";
        const ByteView content = b.subspan(at, length);
        if ((b[0] == 0x85 || b[0] == 0x86) && content.size() > 1 &&
            ((content[0] == 0 && content[1] < 0x80) || (content[0] == 0xff && content[1] >= 0x80)))
            return "integer not minimal";
        if (constructed)
            if (std::string inner = wellFormed(content); !inner.empty())
                return inner;
        b = b.subspan(at + length);
    }
    return {};
}

const ber::Tag kTags[] = {ber::context(0), ber::context(30, true), ber::context(31), ber::application(127, true),
                          ber::privateTag(128), ber::context(16383), ber::application(16384, true),
                          ber::universal((1u << 21) - 1), ber::privateTag((1u << 28) - 1, true)};

// The whitespace-separated fields of each line of a file of tests/data/codec, without comments.
std::vector<std::vector<std::string>> dataRows(const std::string& name)
{
    return testsupport::dataRows(std::string(TEST_CODEC_DATA_DIR) + "/" + name);
}

}  // namespace

TEST(Codec, EveryGeneratedValueRoundTrips)
{
    std::mt19937 rng(61850);
    std::size_t count = 0;
    for (const Value& v : value_generator::everyValue()) {
        SCOPED_TRACE(v.toString().substr(0, 120));
        ++count;
        const Bytes bytes = v.encode();
        ASSERT_EQ(wellFormed(bytes), "");
        Value back = Value::integer(-99);
        ASSERT_EQ(Value::decodeData(bytes, back), Status::Ok);
        if (v == v) {  // not with NaN inside
            EXPECT_EQ(back, v);
        }
        EXPECT_EQ(back.encode(), bytes);
        EXPECT_EQ(back.toString(), v.toString());
        EXPECT_EQ(back.isDouble(), v.isDouble());
        if (v.is(Value::Kind::UtcTime)) {
            EXPECT_EQ(Value::utcTimeMs(back.utcMs(), back.utcQuality()), v);
        }
        if (v.is(Value::Kind::BinaryTime)) {
            EXPECT_EQ(Value::binaryTimeMs(back.binaryTimeMs(), back.timeOctets().size() == 6), v);
        }

        // The same octets under tags of every class and size, primitive and constructed.
        for (const ber::Tag& tag : kTags) {
            ber::Writer w;
            if (tag.constructed) {
                const auto m = w.begin(tag);
                w.raw(bytes);
                w.end(m);
            } else {
                w.primitive(tag, bytes);
            }
            ber::Element e;
            ASSERT_EQ(ber::decodeElement(w.bytes(), e), Status::Ok);
            EXPECT_EQ(e.tag, tag);
            EXPECT_EQ(e.whole.size(), w.size());
            EXPECT_TRUE(std::equal(e.content.begin(), e.content.end(), bytes.begin(), bytes.end()));
            if (tag.constructed) {
                EXPECT_EQ(wellFormed(w.bytes()), "");
            }
        }
        // Every cut of a short encoding fails; a changed octet decodes to something that round trips, or fails.
        if (bytes.size() > 64)
            continue;
        for (std::size_t n = 0; n < bytes.size(); ++n)
            EXPECT_NE(Value::decodeData(ByteView(bytes).first(n), back), Status::Ok) << n;
        for (int i = 0; i < 20; ++i) {
            Bytes changed = bytes;
            changed[rng() % changed.size()] = static_cast<std::uint8_t>(rng());
            Value once, twice;
            if (Value::decodeData(changed, once) == Status::Ok) {
                ASSERT_EQ(Value::decodeData(once.encode(), twice), Status::Ok);
                EXPECT_EQ(twice.encode(), once.encode());
            }
        }
    }
    EXPECT_GT(count, 250u);
}

// Encodings fixed once: as the reference client and server write them.
TEST(Codec, PinnedEncodings)
{
    Value q = Value::bitString(13);
    for (std::size_t bit : {0u, 12u, 13u})  // bit 0 is the MSB of the first octet; 13 is outside: ignored
        q.setBit(bit, true);
    Value check = Value::bitString(2), checkBigEndian = Value::bitString(2);
    check.setBitsFromInteger(0b01);
    checkBigEndian.setBitsFromIntegerBigEndian(0b01);
    Value narrowed = Value::float32(1);
    narrowed.setDouble(0.1);  // keeps its width
    const std::pair<Value, const char*> cases[] = {
        {Value::boolean(true), "830101"},
        {Value::integer(128), "85020080"},
        {Value::integer(-129), "8502ff7f"},
        {Value::integer(INT64_MIN), "85088000000000000000"},
        {Value::unsignedInteger(0xffffffffu), "860500ffffffff"},
        {Value::unsignedInteger(UINT64_MAX), "860900ffffffffffffffff"},
        {Value::float32(12.5f), "87050841480000"},
        {Value::float64(1.0), "87090b3ff0000000000000"},
        {narrowed, "8705083dcccccd"},
        {q, "8403038008"},
        {check, "84020680"},
        {checkBigEndian, "84020640"},
        {Value::bitString(fromHex("ffff"), 10), "840306ffc0"},  // unused bits cleared
        {Value::octetString(fromHex("0102")), "89020102"},
        {Value::visibleString("ab"), "8a026162"},
        {Value::mmsString("x"), "900178"},
        {Value::utcTimeMs(1798761600000ull, 0x0a), "91086b36ec800000000a"},  // 2027-01-01
        {Value::structure({}), "a200"},
        {Value::array({Value::boolean(false)}), "a103830100"},
        {Value::error(DataAccessError::ObjectNonExistent), "80010a"},
    };
    for (const auto& [value, hex] : cases)
        EXPECT_EQ(toHex(value.encode()), hex) << value.toString();
    EXPECT_EQ(q.bitsAsInteger(), 0x1001u);
    EXPECT_EQ(q.countSetBits(), 2u);
    EXPECT_LE(sizeof(Value), 16u);
}

// Times past 2038 and up to 2106 in both time kinds.
TEST(Codec, TimesOnEitherSideOf2038AndUpTo2106)
{
    const struct {
        std::uint64_t ms;
        const char *utc, *binary, *text;
    } cases[] = {
        {441849601234, "91081a5617013be76c0a", "000004d20001", "1984-01-02T00:00:01.234Z"},
        {2147483648000, "9108800000000000000a", "00b1bc004d1e", "2038-01-19T03:14:08.000Z"},
        {2222164800789, "910884738b40c9fbe70a", "02933115507e", "2040-06-01T12:00:00.789Z"},
        {4294967295999, "9108ffffffffffbe760a", "016377ffae35", "2106-02-07T06:28:15.999Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toHex(Value::utcTimeMs(c.ms, 0x0a).encode()), c.utc);
        EXPECT_EQ(toHex(Value::binaryTimeMs(c.ms).timeOctets()), c.binary);
        EXPECT_EQ(Value::utcTimeMs(c.ms).toString(), c.text);
        EXPECT_EQ(Value::binaryTimeMs(c.ms).toString(), c.text);
    }
    Value t = Value::utcTimeMs(0);
    for (std::uint64_t ms = 2222164800000; ms < 2222164801000; ++ms) {  // every millisecond survives the fraction
        t.setUtcMs(ms);
        ASSERT_EQ(t.utcMs(), ms);
    }
}

namespace {

// A decoder that must leave its output as it was when it fails.
template <typename T, typename Decode>
Status keepsOutput(T sentinel, Decode decode)
{
    T out = sentinel;
    const Status s = decode(out);
    if (s != Status::Ok) {
        EXPECT_TRUE(out == sentinel) << "output changed";
    }
    return s;
}

Status walk(ber::Reader r)
{
    for (ber::Element e; !r.atEnd();) {
        ber::Reader child(ByteView{});
        if (Status s = r.next(e); s != Status::Ok)
            return s;
        if (!e.tag.constructed)
            continue;
        if (Status s = r.enter(e, child); s != Status::Ok)
            return s;
        if (Status s = walk(child); s != Status::Ok)
            return s;
    }
    return Status::Ok;
}

Status decodeAs(const std::string& decoder, ByteView b)
{
    using Arcs = std::vector<std::uint32_t>;
    using Bits = std::pair<Bytes, std::size_t>;
    static const std::map<std::string, std::function<Status(ByteView)>> decoders = {
        {"element", [](ByteView b) { ber::Element e; return ber::decodeElement(b, e); }},
        {"walk", [](ByteView b) { return walk(ber::Reader(b)); }},
        {"enter", [](ByteView b) { ber::Reader r(b), child(ByteView{}); ber::Element e;
                                   return r.next(e) == Status::Ok ? r.enter(e, child) : Status::Ok; }},
        {"integer", [](ByteView b) { return keepsOutput<std::int64_t>(42, [&](auto& o) { return ber::decodeInteger(b, o); }); }},
        {"unsigned", [](ByteView b) { return keepsOutput<std::uint64_t>(7, [&](auto& o) { return ber::decodeUnsigned(b, o); }); }},
        {"boolean", [](ByteView b) { return keepsOutput(true, [&](bool& o) { return ber::decodeBoolean(b, o); }); }},
        {"bits", [](ByteView b) { return keepsOutput(Bits{{1}, 5}, [&](Bits& o) { return ber::decodeBitString(b, o.first, o.second); }); }},
        {"oid", [](ByteView b) { return keepsOutput(Arcs{9}, [&](Arcs& o) { return ber::decodeOid(b, o); }); }},
        {"data", [](ByteView b) { return keepsOutput(Value::visibleString("untouched"), [&](Value& o) { return Value::decodeData(b, o); }); }},
        {"type", [](ByteView b) { return keepsOutput(TD::utcTime(), [&](TD& o) { return TD::decode(b, o); }); }},
        {"pdu", [](ByteView b) { return keepsOutput(Pdu{ConcludeRequest{}}, [&](Pdu& o) { return decodePdu(b, o); }); }},
    };
    if (decoder.starts_with("request:")) {
        const UnrecognizedService s{static_cast<std::uint32_t>(std::stoul(decoder.substr(8))), Bytes(b.begin(), b.end())};
        return keepsOutput(ExtraRequest{FileCloseRequest{77}}, [&](ExtraRequest& o) { return decodeExtraRequest(s, o); });
    }
    const auto it = decoders.find(decoder);
    EXPECT_NE(it, decoders.end()) << decoder;
    return it == decoders.end() ? Status::Ok : it->second(b);
}

}  // namespace

TEST(Codec, BadInputTable)
{
    const auto rows = dataRows("bad_input.txt");
    for (const auto& row : rows) {
        std::string expected = row.at(2);
        for (std::size_t i = 3; i < row.size(); ++i)
            expected += " " + row[i];
        const Status got = decodeAs(row[0], fromHex(row[1] == "-" ? "" : row[1]));
        if (expected == "fails") {
            EXPECT_NE(got, Status::Ok) << row[0] << " " << row[1];
        } else {
            EXPECT_EQ(ber::toString(got), expected) << row[0] << " " << row[1];
        }
    }
    EXPECT_GT(rows.size(), 80u);
}

namespace {

// Decodes with the named decoder and encodes the result again; nothing when decoding fails.
std::optional<Bytes> reencode(const std::string& decoder, ByteView b)
{
    if (TD t; decoder == "type") {
        if (TD::decode(b, t) != Status::Ok)
            return std::nullopt;
        EXPECT_TRUE(conforms(t.defaultValue(), t));
        return t.encode();
    }
    if (Pdu p; decoder == "pdu")
        return decodePdu(b, p) == Status::Ok ? std::optional(encodePdu(p)) : std::nullopt;
    const UnrecognizedService s{static_cast<std::uint32_t>(std::stoul(decoder.substr(decoder.find(':') + 1))),
                                Bytes(b.begin(), b.end())};
    if (ExtraRequest r; decoder.starts_with("request:"))
        return decodeExtraRequest(s, r) == Status::Ok ? std::optional(encodeExtra(r).encoded) : std::nullopt;
    ExtraResponse r;
    return decodeExtraResponse(s, r) == Status::Ok ? std::optional(encodeExtra(r).encoded) : std::nullopt;
}

}  // namespace

TEST(Codec, RoundTripTable)
{
    const auto rows = dataRows("round_trips.txt");
    for (const auto& row : rows) {
        const Bytes bytes = fromHex(row.at(1));
        EXPECT_EQ(reencode(row[0], bytes), bytes) << row[0] << " " << row[1];
    }
    EXPECT_GT(rows.size(), 35u);
}

TEST(Codec, ConformsTable)
{
    const auto rows = dataRows("conforms.txt");
    for (const auto& row : rows) {
        Value v;
        TD t;
        ASSERT_EQ(Value::decodeData(fromHex(row.at(0)), v), Status::Ok) << row[0];
        ASSERT_EQ(TD::decode(fromHex(row.at(1)), t), Status::Ok) << row[1];
        EXPECT_EQ(conforms(v, t), row.at(2) == "yes") << v.toString() << " " << row[1];
    }
    EXPECT_GT(rows.size(), 15u);
}

TEST(Value, SemanticsBeyondTheWire)
{
    Value big = Value::bitString(200);  // copies are deep, on the heap or inline
    big.setBit(199, true);
    Value a = Value::structure({Value::visibleString("x"), Value::array({Value::integer(1)}), big});
    Value b = a;
    b[1][0].setInt32(2);
    b[0].setString("longer than any small string buffer");
    b[2].setBit(199, false);
    EXPECT_EQ(a, Value::structure({Value::visibleString("x"), Value::array({Value::integer(1)}), big}));
    a = b;
    a = a;  // self assignment
    EXPECT_EQ(a, b);

    Value i = Value::integer(-5);
    i.setBool(true);  // wrong kind: ignored
    EXPECT_EQ(i.toInt64(), -5);
    EXPECT_EQ(Value::float64(1e300).toInt64(), INT64_MAX);  // conversions saturate
    EXPECT_EQ(Value::float64(-1.0).toUint64(), 0u);
    EXPECT_EQ(Value::float32(-2.75f).toInt32(), -2);
    for (const auto& [x, y] : {std::pair{Value::float32(1), Value::float64(1)}, {Value::integer(1), Value::unsignedInteger(1)},
                               {Value::bitString(fromHex("80"), 1), Value::bitString(fromHex("80"), 2)},
                               {Value::structure({}), Value::array({})}})
        EXPECT_NE(x, y);
    const Value v = Value::structure({Value::boolean(true), Value::float32(12.5f), Value::visibleString("abc"),
                                      Value::array({Value::integer(1), Value::unsignedInteger(2)}),
                                      Value::bitString(fromHex("a0"), 3), Value::octetString(fromHex("01ff")),
                                      Value::error(DataAccessError::ObjectAccessDenied)});
    EXPECT_EQ(v.toString(), "{true,12.5,\"abc\",[1,2],<101>,#01ff,error(object-access-denied)}");

    ber::Element e;  // an AccessResult failure is an error value
    const Bytes failure = fromHex("800103");
    ASSERT_EQ(ber::decodeElement(failure, e), Status::Ok);
    ASSERT_EQ(Value::decodeAccessResult(e, i), Status::Ok);
    EXPECT_EQ(i.dataAccessError(), DataAccessError::ObjectAccessDenied);
}

namespace {

// Part of a measured value as the reference server describes it.
TD analogueValue()
{
    return TD::structure({TD::structure({TD::float32().named("f")}).named("mag"), TD::bitString(-13).named("q"),
                          TD::utcTime().named("t")});
}

}  // namespace

TEST(TypeDescription, CapturedEncodingAndPaths)
{
    // ValMV of EmpSPrg_FSCH020001$MX as answered in capture 03.
    const Bytes captured = fromHex("a240a13e303c800556616c4d56a133a231a12f301a80036d6167a113a211a10f300d800166a108a7060201"
                                   "200201083008800171a1038401f33007800174a1029100");
    TD t;
    ASSERT_EQ(TD::decode(captured, t), Status::Ok);
    EXPECT_EQ(t, TD::structure({analogueValue().named("ValMV")}));
    EXPECT_EQ(toHex(t.encode()), toHex(captured));
    EXPECT_EQ(t.find("ValMV$mag$f"), &t.components()[0].components()[0].components()[0]);
    EXPECT_EQ(t.find("ValMV$nope"), nullptr);
    EXPECT_EQ(t.find("ValMV$q$x"), nullptr);
}
