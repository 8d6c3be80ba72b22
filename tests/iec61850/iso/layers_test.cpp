// Each ISO layer's codec on its own: framing, segmentation, refusals and bad input.
#include "iec61850/iso/acse.hpp"
#include "iec61850/iso/presentation.hpp"
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
        {"LI 0", hex("008000"), Result::Malformed},
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

TEST(Session, LongLengthsRefuseAndAbortRoundTrip)
{
    const Bytes big(1000, 0x5a);
    const Bytes small = hex("3003020101");
    Bytes out;
    ASSERT_TRUE(session::appendFinish(out, big));
    EXPECT_EQ(out[1], 0xff);  // 0xff + two octets
    EXPECT_FALSE(session::appendFinish(out, Bytes(70000, 1)));
    session::Spdu s;
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(bytes(s.userData), big);

    out.clear();
    ASSERT_TRUE(session::appendRefuse(out, small));
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Refuse);
    EXPECT_EQ(s.reason, session::kRefusedByUser);
    EXPECT_EQ(bytes(s.userData), small);

    out.clear();
    ASSERT_TRUE(session::appendAbort(out, small));
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Abort);
    EXPECT_TRUE(s.hasTransportDisconnect);
    EXPECT_EQ(bytes(s.userData), small);

    // Peers that put user data in PGI 193 instead of the reason code, or in extended user data (PGI 194).
    for (const char* spdu : {"0c05c1033001ff", "0d05c2033001ff"}) {
        const Bytes wire = hex(spdu);
        ASSERT_EQ(session::decode(wire, s), Result::Ok) << spdu;
        EXPECT_EQ(bytes(s.userData), hex("3001ff")) << spdu;
    }
}

TEST(Session, RejectsLyingOrUnknownSpdus)
{
    const struct {
        const char* name;
        const char* tsdu;
        Result expected;
    } cases[] = {
        {"empty", "", Result::Malformed},
        {"SI only", "0d", Result::Malformed},
        {"length beyond data", "0d0514020002", Result::Malformed},
        {"long form cut", "0dff00", Result::Malformed},
        {"long form beyond data", "0dff0100c1", Result::Malformed},
        {"trailing bytes", "090000", Result::Malformed},
        {"parameter length lies", "0d03140300", Result::Malformed},
        {"parameter header cut", "0d0114", Result::Malformed},
        {"nested item lies", "0d06050413050016", Result::Malformed},
        {"requirements of 3 octets", "0d051403000200", Result::Malformed},
        {"version of 2 octets", "0d06050416020201", Result::Malformed},
        {"oversized selector", "0d1333110000000000000000000000000000000000", Result::Malformed},
        {"empty reason code", "0c023200", Result::Malformed},
        {"lone Give-Tokens", "0100", Result::Malformed},
        {"Give-Tokens before other than data", "01000900", Result::Malformed},
        {"unknown SI", "0700", Result::Unsupported},
        {"expedited SI", "0500", Result::Unsupported},
    };
    for (const auto& c : cases) {
        session::Spdu s;
        EXPECT_EQ(session::decode(hex(c.tsdu), s), c.expected) << c.name;
    }
}

TEST(Presentation, NegotiationRefusesMissingMmsOrBer)
{
    presentation::ConnectRequest cp;
    cp.contexts = {{1, presentation::kAcseSyntax, {presentation::kBerSyntax}},
                   {3, presentation::kMmsSyntax, {{2, 1, 2, 1}}},
                   {5, {1, 2, 3}, {presentation::kBerSyntax}}};
    presentation::Contexts chosen;
    std::vector<presentation::ContextResult> results;
    EXPECT_FALSE(presentation::negotiate(cp, chosen, results));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].result, presentation::result::Acceptance);
    EXPECT_EQ(results[1].providerReason, presentation::reason::TransferSyntaxesNotSupported);
    EXPECT_EQ(results[2].providerReason, presentation::reason::AbstractSyntaxNotSupported);

    cp.contexts.resize(1);
    EXPECT_FALSE(presentation::negotiate(cp, chosen, results));
    cp.contexts.push_back({7, presentation::kMmsSyntax, {{2, 1, 2, 1}, presentation::kBerSyntax}});
    EXPECT_TRUE(presentation::negotiate(cp, chosen, results));
    EXPECT_EQ(chosen.mms, 7);
}

TEST(Presentation, RejectsWrongTagsShapesAndEveryTruncation)
{
    const struct {
        const char* name;
        const char* ppdu;
        Result expected;
    } cases[] = {
        {"sequence not set", "3005a003800101", Result::Malformed},
        {"no normal-mode parameters", "3105a003800101", Result::Malformed},
        {"x410 mode", "310aa003800100a1033001ff", Result::Unsupported},
        {"mode value 0", "3109a003800100a2020000", Result::Unsupported},
        {"universal inside normal mode", "3109a003800101a2020500", Result::Malformed},
        {"simply-encoded data", "310ba003800101a2044002aabb", Result::Unsupported},
        {"context id 0", "3115a003800101a20e610c300a020100a005a0030201ff", Result::Malformed},
        {"context id 200", "3116a003800101a20f610d300b020200c8a005a0030201ff", Result::Malformed},
        {"PDV without value", "310ea003800101a20761053003020101", Result::Malformed},
        {"PDV arbitrary encoding", "3110a003800101a20961073005020101 8200", Result::Unsupported},
        {"single-ASN1 with two values", "3115a003800101a20e610c300a020101a00405000500", Result::Malformed},
        {"empty PDV list", "3109a003800101a2026100", Result::Malformed},
        {"trailing bytes", "3105a00380010100", Result::Malformed},
        {"length lies", "3106a003800101", Result::Malformed},
    };
    for (const auto& c : cases) {
        presentation::ConnectRequest cp;
        EXPECT_EQ(presentation::decodeConnect(hex(c.ppdu), cp), c.expected) << c.name;
    }
    const ByteView cp = iso_test::sessionUserData(c01::cnAarq);
    for (std::size_t n = 0; n < cp.size(); ++n) {
        presentation::ConnectRequest out;
        EXPECT_NE(presentation::decodeConnect(cp.first(n), out), Result::Ok) << n;
    }
}

TEST(Presentation, CapsListSizes)
{
    using ber::universal_tag::Sequence;
    ber::Writer w;  // a CP with 17 context definitions
    const auto cp = w.begin(ber::universal(ber::universal_tag::Set));
    const auto mode = w.begin(ber::context(0));
    w.integer(ber::context(0), 1);
    w.end(mode);
    const auto normal = w.begin(ber::context(2));
    const auto list = w.begin(ber::context(4));
    for (int i = 0; i < 17; ++i) {
        const auto item = w.begin(ber::universal(Sequence));
        w.integer(ber::universal(ber::universal_tag::Integer), 2 * i + 1);
        w.oid(ber::universal(ber::universal_tag::ObjectIdentifier), presentation::kMmsSyntax);
        const auto ts = w.begin(ber::universal(Sequence));
        w.oid(ber::universal(ber::universal_tag::ObjectIdentifier), presentation::kBerSyntax);
        w.end(ts);
        w.end(item);
    }
    w.end(list);
    w.end(normal);
    w.end(cp);
    presentation::ConnectRequest out;
    EXPECT_EQ(presentation::decodeConnect(w.bytes(), out), Result::TooLarge);

    ber::Writer u;  // user data with 9 PDVs
    const auto ud = u.begin(ber::application(1));
    for (int i = 0; i < 9; ++i) {
        const auto pdv = u.begin(ber::universal(Sequence));
        u.integer(ber::universal(ber::universal_tag::Integer), 3);
        const auto v = u.begin(ber::context(0));
        u.null(ber::universal(ber::universal_tag::Null));
        u.end(v);
        u.end(pdv);
    }
    u.end(ud);
    std::vector<presentation::Pdv> pdvs;
    EXPECT_EQ(presentation::decodeUserData(u.bytes(), pdvs), Result::TooLarge);
}

TEST(Acse, RejectsWrongShapes)
{
    const struct {
        const char* name;
        const char* apdu;
        Result expected;
    } cases[] = {
        {"application 5", "6500", Result::Malformed},
        {"universal sequence", "3000", Result::Malformed},
        {"AARQ without context name", "6000", Result::Malformed},
        {"context name not explicit", "6007810528ca220203", Result::Malformed},
        {"context name with two OIDs", "6010a10e060528ca220203060528ca220203", Result::Malformed},
        {"version without bit 1", "600d80020700a107060528ca220203", Result::Unsupported},
        {"universal field", "600ba107060528ca2202030500", Result::Malformed},
        {"AARE result not explicit", "610ca107060528ca220203820100", Result::Malformed},
        {"AARE diagnostic source 3", "6110a107060528ca220203a305a303020100", Result::Malformed},
        {"user info not EXTERNAL", "6010a107060528ca220203be053003020103", Result::Malformed},
        {"two EXTERNALs", "6019a107060528ca220203be0e28050201030500280502010305 00", Result::Malformed},
        {"arbitrary encoding", "6013a107060528ca220203be08280602010382 0100", Result::Unsupported},
        {"EXTERNAL without value", "6010a107060528ca220203be0528 03020103", Result::Malformed},
        {"direct reference not BER", "6016a107060528ca220203be0b2809060251020201030500", Result::Unsupported},
        {"RLRQ with a title", "6205a2030201 00", Result::Malformed},
        {"ABRT with universal", "64050500 800100", Result::Malformed},
    };
    for (const auto& c : cases) {
        acse::Apdu a;
        EXPECT_EQ(acse::decode(hex(c.apdu), a), c.expected) << c.name;
    }
    acse::Apdu a;
    ASSERT_EQ(acse::decode(acse::encodeAarq(3, {}), a), Result::Ok);
    EXPECT_FALSE(a.userInformation);
}
