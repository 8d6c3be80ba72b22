#include "iec61850/iso/tpkt_cotp.hpp"

#include "capture01.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::concat;
using iso_test::hex;
namespace c01 = iso_test::c01;

namespace {

// Feeds `stream` in chunks of `step` and collects the TPDUs.
Result frameAll(tpkt::Framer& f, ByteView stream, std::size_t step, std::vector<Bytes>& tpdus)
{
    for (std::size_t at = 0; at < stream.size(); at += step) {
        f.feed(stream.subspan(at, std::min(step, stream.size() - at)));
        for (;;) {
            ByteView t;
            const Result r = f.next(t);
            if (r == Result::NeedMore)
                break;
            if (r != Result::Ok)
                return r;
            tpdus.emplace_back(t.begin(), t.end());
        }
    }
    return Result::Ok;
}

}  // namespace

TEST(Tpkt, FramesCaptureStreamAtAnyChunkSize)
{
    const Bytes stream = concat({c01::cr, c01::cnAarq, c01::identifyRequest, c01::concludeRequest, c01::finishRlrq});
    for (std::size_t step = 1; step <= stream.size(); ++step) {
        tpkt::Framer f;
        std::vector<Bytes> tpdus;
        ASSERT_EQ(frameAll(f, stream, step, tpdus), Result::Ok) << step;
        ASSERT_EQ(tpdus.size(), 5u) << step;
        EXPECT_EQ(tpdus[1], Bytes(c01::cnAarq.begin() + 4, c01::cnAarq.end()));
        EXPECT_EQ(tpdus[4], Bytes(c01::finishRlrq.begin() + 4, c01::finishRlrq.end()));
        EXPECT_EQ(f.buffered(), 0u);
    }
}

TEST(Tpkt, RejectsBadHeadersAndStaysFailed)
{
    struct Case {
        const char* name;
        Bytes bytes;
        Result expected;
    } cases[] = {
        {"version 2", hex("02000007020f80"), Result::Malformed},
        {"reserved set", hex("03010007020f80"), Result::Malformed},
        {"length below 7", hex("03000006020f"), Result::Malformed},
        {"length 0", hex("03000000"), Result::Malformed},
        {"over cap", hex("03001005"), Result::TooLarge},
    };
    for (const auto& c : cases) {
        tpkt::Framer f(4096);
        f.feed(c.bytes);
        ByteView t;
        EXPECT_EQ(f.next(t), c.expected) << c.name;
        f.feed(c01::cr);
        EXPECT_EQ(f.next(t), c.expected) << c.name;
    }
}

TEST(Cotp, DecodesCaptureConnectAndData)
{
    cotp::Tpdu t;
    ASSERT_EQ(cotp::decode(ByteView(c01::cr).subspan(4), t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::CR);
    EXPECT_EQ(t.connect.srcRef, 1);
    EXPECT_EQ(t.connect.dstRef, 0);
    EXPECT_EQ(t.connect.tpduSizeCode, 0x0d);
    EXPECT_EQ(t.connect.callingTsap, hex("0001"));
    EXPECT_EQ(t.connect.calledTsap, hex("0001"));

    ASSERT_EQ(cotp::decode(ByteView(c01::identifyRequest).subspan(4), t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::DT);
    EXPECT_TRUE(t.data.eot);
    EXPECT_EQ(Bytes(t.data.userData.begin(), t.data.userData.end()), Bytes(c01::identifyRequest.begin() + 7, c01::identifyRequest.end()));
}

TEST(Cotp, EncodesTheCapturedConnectConfirm)
{
    cotp::Tpdu cr;
    ASSERT_EQ(cotp::decode(ByteView(c01::cr).subspan(4), cr), Result::Ok);
    cotp::Connect cc = cr.connect;
    cc.dstRef = cr.connect.srcRef;
    cc.srcRef = 1;
    Bytes out;
    cotp::appendConnect(out, cotp::Code::CC, cc);
    EXPECT_EQ(out, c01::cc);
}

TEST(Cotp, SizeCodes)
{
    EXPECT_EQ(cotp::sizeFromCode(7), 128u);
    EXPECT_EQ(cotp::sizeFromCode(13), 8192u);
    EXPECT_EQ(cotp::sizeFromCode(6), 0u);
    EXPECT_EQ(cotp::sizeFromCode(14), 0u);
    EXPECT_EQ(cotp::codeForSize(8192), 13);
    EXPECT_EQ(cotp::codeForSize(65535), 13);
    EXPECT_EQ(cotp::codeForSize(1500), 10);
    EXPECT_EQ(cotp::codeForSize(10), 7);
}

TEST(Cotp, RejectsMalformedTpdus)
{
    struct Case {
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
            Bytes stream;
            const ByteView part = ByteView(tsdu).first(length);
            cotp::appendData(stream, part, size);
            tpkt::Framer f;
            std::vector<Bytes> tpdus;
            ASSERT_EQ(frameAll(f, stream, stream.size(), tpdus), Result::Ok);
            EXPECT_EQ(tpdus.size(), length == 0 ? 1 : (length + size - 4) / (size - 3)) << size << " " << length;
            cotp::Reassembler r(20000);
            for (std::size_t i = 0; i < tpdus.size(); ++i) {
                EXPECT_LE(tpdus[i].size(), size);
                cotp::Tpdu t;
                ASSERT_EQ(cotp::decode(tpdus[i], t), Result::Ok);
                bool complete = false;
                ASSERT_EQ(r.add(t.data, complete), Result::Ok);
                EXPECT_EQ(complete, i + 1 == tpdus.size());
            }
            EXPECT_EQ(Bytes(r.tsdu().begin(), r.tsdu().end()), Bytes(part.begin(), part.end()));
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
    tpkt::Framer f;
    std::vector<Bytes> tpdus;
    ASSERT_EQ(frameAll(f, out, out.size(), tpdus), Result::Ok);
    ASSERT_EQ(tpdus.size(), 2u);
    cotp::Tpdu t;
    ASSERT_EQ(cotp::decode(tpdus[0], t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::ER);
    EXPECT_EQ(t.error.dstRef, 0x1234);
    EXPECT_EQ(t.error.cause, 2);
    ASSERT_EQ(cotp::decode(tpdus[1], t), Result::Ok);
    EXPECT_EQ(t.code, cotp::Code::DR);
    EXPECT_EQ(t.disconnect.dstRef, 1);
    EXPECT_EQ(t.disconnect.srcRef, 2);
    EXPECT_EQ(t.disconnect.reason, 128);
}
