#include "iec61850/iso/tpkt_cotp.hpp"

#include "capture01.hpp"

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::bytes;
using iso_test::hex;
namespace c01 = iso_test::c01;

namespace {

// Feeds `stream` in chunks of `step` and collects the TPDUs.
Result frameAll(ByteView stream, std::size_t step, std::vector<Bytes>& tpdus)
{
    tpkt::Framer f;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        f.feed(stream.subspan(at, std::min(step, stream.size() - at)));
        ByteView t;
        Result r;
        while ((r = f.next(t)) == Result::Ok)
            tpdus.push_back(bytes(t));
        if (r != Result::NeedMore)
            return r;
    }
    EXPECT_EQ(f.buffered(), 0u);
    return Result::Ok;
}

}  // namespace

TEST(Tpkt, RejectsBadHeadersAndStaysFailed)
{
    const struct {
        const char* name;
        const char* bytes;
        Result expected;
    } cases[] = {
        {"version 2", "02000007020f80", Result::Malformed},
        {"reserved set", "03010007020f80", Result::Malformed},
        {"length below 7", "03000006020f", Result::Malformed},
        {"over cap", "03001005", Result::TooLarge},
    };
    for (const auto& c : cases) {
        tpkt::Framer f(4096);
        f.feed(hex(c.bytes));
        ByteView t;
        EXPECT_EQ(f.next(t), c.expected) << c.name;
        f.feed(c01::cr);
        EXPECT_EQ(f.next(t), c.expected) << c.name;
    }
}

TEST(Cotp, RejectsMalformedTpdus)
{
    const struct {
        const char* name;
        Bytes tpdu;
        Result expected;
    } cases[] = {
        {"empty", {}, Result::Malformed},
        {"LI beyond data", hex("06e00000"), Result::Malformed},
        {"LI 255", hex("ff" + std::string(510, '0')), Result::Malformed},
        {"CR too short", hex("04e0000000"), Result::Malformed},
        {"CR parameter length lies", hex("09e00000000100c0050d"), Result::Malformed},
        {"CR parameter header cut", hex("07e00000000100c0"), Result::Malformed},
        {"CR bad size code", hex("09e00000000100c00114"), Result::Malformed},
        {"CR with user data", hex("06e0000000010000ff"), Result::Malformed},
        {"CR oversized TSAP", hex("29e00000000100c121" + std::string(66, '1')), Result::Malformed},
        {"DT with LI 3", hex("03f08000"), Result::Malformed},
        {"DT class 1 form", hex("02f180"), Result::Malformed},
        {"DR too short", hex("0380000100"), Result::Malformed},
        {"ER parameter lies", hex("067000010002c1"), Result::Malformed},
        {"unknown code AK", hex("0460000100"), Result::Unsupported},
        {"expedited data", hex("0410000180"), Result::Unsupported},
    };
    for (const auto& c : cases) {
        cotp::Tpdu t;
        EXPECT_EQ(cotp::decode(c.tpdu, t), c.expected) << c.name;
    }
}

TEST(Cotp, SegmentsAndReassemblesAtEverySize)
{
    Bytes tsdu(20000);
    for (std::size_t i = 0; i < tsdu.size(); ++i)
        tsdu[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t size : {128u, 1024u, 8192u}) {
        for (std::size_t length : std::initializer_list<std::size_t>{0, 1, size - 3, size - 2, 20000}) {
            SCOPED_TRACE(testing::Message() << size << " " << length);
            const ByteView part = ByteView(tsdu).first(length);
            Bytes stream;
            cotp::appendData(stream, part, size);
            std::vector<Bytes> tpdus;
            ASSERT_EQ(frameAll(stream, stream.size(), tpdus), Result::Ok);
            EXPECT_EQ(tpdus.size(), length == 0 ? 1 : (length + size - 4) / (size - 3));
            cotp::Reassembler r(20000);
            for (std::size_t i = 0; i < tpdus.size(); ++i) {
                EXPECT_LE(tpdus[i].size(), size);
                cotp::Tpdu t;
                ASSERT_EQ(cotp::decode(tpdus[i], t), Result::Ok);
                bool complete = false;
                ASSERT_EQ(r.add(t.data, complete), Result::Ok);
                EXPECT_EQ(complete, i + 1 == tpdus.size());
            }
            EXPECT_EQ(bytes(r.tsdu()), bytes(part));
        }
    }
}

TEST(Cotp, ReassemblyStopsAtTheCap)
{
    cotp::Reassembler r(100);
    const Bytes chunk(60, 0xaa);
    bool complete = true;
    EXPECT_EQ(r.add({false, chunk}, complete), Result::Ok);
    EXPECT_FALSE(complete);
    EXPECT_EQ(r.add({true, ByteView(chunk).first(40)}, complete), Result::Ok);
    EXPECT_TRUE(complete);
    EXPECT_EQ(r.tsdu().size(), 100u);
    // A finished TSDU is dropped on the next segment; the cap applies afresh.
    EXPECT_EQ(r.add({false, chunk}, complete), Result::Ok);
    EXPECT_EQ(r.add({true, chunk}, complete), Result::TooLarge);
}

TEST(Cotp, ErrorAndDisconnectRoundTrip)
{
    Bytes out;
    cotp::appendError(out, {0x1234, 2}, hex("02f080"));
    cotp::appendDisconnect(out, {0x0001, 0x0002, 128});
    std::vector<Bytes> tpdus;
    ASSERT_EQ(frameAll(out, out.size(), tpdus), Result::Ok);
    ASSERT_EQ(tpdus.size(), 2u);
    cotp::Tpdu t;
    ASSERT_EQ(cotp::decode(tpdus[0], t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::ER);
    EXPECT_EQ(t.error.dstRef, 0x1234);
    EXPECT_EQ(t.error.cause, 2);
    ASSERT_EQ(cotp::decode(tpdus[1], t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::DR);
    EXPECT_EQ(t.disconnect.srcRef, 2);
    EXPECT_EQ(t.disconnect.reason, 128);
}
