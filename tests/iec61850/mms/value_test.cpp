// MMS values and BER through one generator: every generated value must
// encode to well-formed BER (checked by an independent reader), decode equal
// and re-encode identically. Pinned
// encodings of real faults, the bad-input table (tests/data/codec) and the
// value semantics that are not round trips.
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/mms/type_description.hpp"
#include "value_generator.hpp"

#include "capture.hpp"
#include "data_rows.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>

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

// The whitespace-separated fields of each line of a file of tests/data/codec, without comments.
std::vector<std::vector<std::string>> dataRows(const std::string& name)
{
    return testsupport::dataRows(std::string(TEST_CODEC_DATA_DIR) + "/" + name);
}

}  // namespace

TEST(Codec, EveryGeneratedValueRoundTrips)
{
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
    }
    EXPECT_GT(count, 250u);
}

// Encodings fixed once: as the reference client and server write them.
// Encodings a value's setters decide; the rest are rows of tests/data/codec/round_trips.txt.
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
        {narrowed, "8705083dcccccd"},
        {q, "8403038008"},
        {check, "84020680"},
        {checkBigEndian, "84020640"},
        {Value::bitString(fromHex("ffff"), 10), "840306ffc0"},  // unused bits cleared
        {Value::utcTimeMs(1798761600000ull, 0x0a), "91086b36ec800000000a"},  // 2027-01-01
    };
    for (const auto& [value, hex] : cases)
        EXPECT_EQ(toHex(value.encode()), hex) << value.toString();
    EXPECT_EQ(q.bitsAsInteger(), 0x1001u);
    EXPECT_EQ(q.countSetBits(), 2u);
    EXPECT_LE(sizeof(Value), 16u);
}

TEST(Codec, TimesOnEitherSideOf2038AndUpTo2106)
{
    for (const auto& row : dataRows("times.txt")) {
        const std::uint64_t ms = std::stoull(row.at(0));
        EXPECT_EQ(toHex(Value::utcTimeMs(ms, 0x0a).encode()), row.at(1));
        EXPECT_EQ(toHex(Value::binaryTimeMs(ms).timeOctets()), row.at(2));
        EXPECT_EQ(Value::utcTimeMs(ms).toString(), row.at(3));
        EXPECT_EQ(Value::binaryTimeMs(ms).toString(), row.at(3));
    }
}

namespace {

// Decodes into `out` (first set to `sentinel`): a refusal must leave it as it was;
// what was decoded is encoded again into `again`.
template <typename T, typename Decode, typename Encode>
Status decodeInto(T sentinel, Decode decode, Encode encode, Bytes& again)
{
    T out = sentinel;
    const Status s = decode(out);
    if (s != Status::Ok) {
        EXPECT_TRUE(out == sentinel) << "output changed";
    } else {
        again = encode(out);
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

// The named decoder of tests/data/codec; `again` gets what it decoded, encoded again
// (the input itself for decoders of BER elements and contents).
Status decodeAs(const std::string& decoder, ByteView b, Bytes& again)
{
    using Arcs = std::vector<std::uint32_t>;
    using Bits = std::pair<Bytes, std::size_t>;
    using Decoder = std::function<Status(ByteView, Bytes&)>;
    const auto same = [](const auto&) { return Bytes{}; };
    static const std::map<std::string, Decoder> decoders = {
        {"element", [](ByteView b, Bytes&) { ber::Element e; return ber::decodeElement(b, e); }},
        {"walk", [](ByteView b, Bytes&) { return walk(ber::Reader(b)); }},
        {"enter", [](ByteView b, Bytes&) { ber::Reader r(b), child(ByteView{}); ber::Element e;
                                           return r.next(e) == Status::Ok ? r.enter(e, child) : Status::Ok; }},
        {"integer", [=](ByteView b, Bytes& a) { return decodeInto<std::int64_t>(42, [&](auto& o) { return ber::decodeInteger(b, o); }, same, a); }},
        {"unsigned", [=](ByteView b, Bytes& a) { return decodeInto<std::uint64_t>(7, [&](auto& o) { return ber::decodeUnsigned(b, o); }, same, a); }},
        {"boolean", [=](ByteView b, Bytes& a) { return decodeInto(true, [&](bool& o) { return ber::decodeBoolean(b, o); }, same, a); }},
        {"bits", [=](ByteView b, Bytes& a) { return decodeInto(Bits{{1}, 5}, [&](Bits& o) { return ber::decodeBitString(b, o.first, o.second); }, same, a); }},
        {"oid", [=](ByteView b, Bytes& a) { return decodeInto(Arcs{9}, [&](Arcs& o) { return ber::decodeOid(b, o); }, same, a); }},
        {"data", [](ByteView b, Bytes& a) { return decodeInto(Value::visibleString("untouched"), [&](Value& o) { return Value::decodeData(b, o); },
                                                               [](const Value& v) { return v.encode(); }, a); }},
        {"type", [](ByteView b, Bytes& a) { return decodeInto(TD::utcTime(), [&](TD& o) { return TD::decode(b, o); },
                                                               [](const TD& t) { EXPECT_TRUE(conforms(t.defaultValue(), t)); return t.encode(); }, a); }},
        {"pdu", [](ByteView b, Bytes& a) { return decodeInto(Pdu{ConcludeRequest{}}, [&](Pdu& o) { return decodePdu(b, o); },
                                                              [](const Pdu& p) { return encodePdu(p); }, a); }},
    };
    const auto colon = decoder.find(':');
    if (colon != std::string::npos) {
        const UnrecognizedService s{static_cast<std::uint32_t>(std::stoul(decoder.substr(colon + 1))), Bytes(b.begin(), b.end())};
        const auto encode = [](const auto& r) { return encodeExtra(r).encoded; };
        if (decoder.starts_with("request:"))
            return decodeInto(ExtraRequest{FileCloseRequest{77}}, [&](ExtraRequest& o) { return decodeExtraRequest(s, o); }, encode, again);
        return decodeInto(ExtraResponse{FileOpenResponse{}}, [&](ExtraResponse& o) { return decodeExtraResponse(s, o); }, encode, again);
    }
    const auto it = decoders.find(decoder);
    EXPECT_NE(it, decoders.end()) << decoder;
    return it == decoders.end() ? Status::Ok : it->second(b, again);
}

}  // namespace

TEST(Codec, BadInputTable)
{
    for (const auto& row : dataRows("bad_input.txt")) {
        std::string expected = row.at(2);
        for (std::size_t i = 3; i < row.size(); ++i)
            expected += " " + row[i];
        Bytes again;
        const Status got = decodeAs(row[0], fromHex(row[1] == "-" ? "" : row[1]), again);
        if (expected == "fails") {
            EXPECT_NE(got, Status::Ok) << row[0] << " " << row[1];
        } else {
            EXPECT_EQ(ber::toString(got), expected) << row[0] << " " << row[1];
        }
    }
}

TEST(Codec, RoundTripTable)
{
    for (const auto& row : dataRows("round_trips.txt")) {
        const Bytes bytes = fromHex(row.at(1));
        Bytes again;
        EXPECT_EQ(decodeAs(row[0], bytes, again), Status::Ok) << row[0] << " " << row[1];
        EXPECT_EQ(again, bytes) << row[0] << " " << row[1];
    }
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
}

TEST(Value, SemanticsBeyondTheWire)
{
    Value i = Value::integer(-5);
    i.setBool(true);  // wrong kind: ignored
    EXPECT_EQ(i.toInt64(), -5);
    EXPECT_EQ(Value::float64(1e300).toInt64(), INT64_MAX);  // conversions saturate
    EXPECT_EQ(Value::float64(-1.0).toUint64(), 0u);
    EXPECT_EQ(Value::float32(-2.75f).toInt32(), -2);
    const Value v = Value::structure({Value::boolean(true), Value::float32(12.5f), Value::visibleString("abc"),
                                      Value::array({Value::integer(1), Value::unsignedInteger(2)}),
                                      Value::bitString(fromHex("a0"), 3), Value::octetString(fromHex("01ff")),
                                      Value::error(DataAccessError::ObjectAccessDenied)});
    EXPECT_EQ(v.toString(), "{true,12.5,\"abc\",[1,2],<101>,#01ff,error(object-access-denied)}");
}
