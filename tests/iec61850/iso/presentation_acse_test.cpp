#include "iec61850/iso/acse.hpp"
#include "iec61850/iso/presentation.hpp"
#include "iec61850/iso/session.hpp"

#include "capture01.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::hex;
namespace c01 = iso_test::c01;

namespace {

Bytes bytes(ByteView v)
{
    return {v.begin(), v.end()};
}

// The session user data of a captured single-TPDU SPDU.
ByteView sessionUserData(const Bytes& packet)
{
    session::Spdu s;
    EXPECT_EQ(session::decode(ByteView(packet).subspan(7), s), Result::Ok);
    return s.userData;
}

const std::optional<Bytes> kPsel = hex("00000001");

}  // namespace

TEST(Presentation, DecodesCapturedConnectAndNegotiates)
{
    presentation::ConnectRequest cp;
    ASSERT_EQ(presentation::decodeConnect(sessionUserData(c01::cnAarq), cp), Result::Ok);
    EXPECT_EQ(cp.callingSelector, kPsel);
    EXPECT_EQ(cp.calledSelector, kPsel);
    ASSERT_EQ(cp.contexts.size(), 2u);
    EXPECT_EQ(cp.contexts[0].id, 1);
    EXPECT_EQ(cp.contexts[0].abstractSyntax, presentation::kAcseSyntax);
    EXPECT_EQ(cp.contexts[1].id, 3);
    EXPECT_EQ(cp.contexts[1].abstractSyntax, presentation::kMmsSyntax);
    ASSERT_EQ(cp.userData.size(), 1u);
    EXPECT_EQ(cp.userData[0].contextId, 1);

    presentation::Contexts chosen{0, 0};
    std::vector<presentation::ContextResult> results;
    ASSERT_TRUE(presentation::negotiate(cp, chosen, results));
    EXPECT_EQ(chosen.acse, 1);
    EXPECT_EQ(chosen.mms, 3);
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) {
        EXPECT_EQ(r.result, presentation::result::Acceptance);
        EXPECT_EQ(r.transferSyntax, presentation::kBerSyntax);
    }

    acse::Apdu aarq;
    ASSERT_EQ(acse::decode(cp.userData[0].value, aarq), Result::Ok);
    EXPECT_EQ(aarq.kind, acse::Kind::Aarq);
    EXPECT_EQ(aarq.contextName, acse::kMmsContextName);
    ASSERT_TRUE(aarq.userInformation);
    EXPECT_EQ(aarq.userInformation->contextId, 3);
    EXPECT_EQ(bytes(aarq.userInformation->value), c01::initiateRequest);

    // Re-encoding with the captured AARQ gives the captured CP.
    EXPECT_EQ(presentation::encodeConnect(kPsel, kPsel, chosen, cp.userData[0].value),
              bytes(sessionUserData(c01::cnAarq)));
}

TEST(Presentation, EncodesTheCapturedAccept)
{
    const std::vector<presentation::ContextResult> results(2, {presentation::result::Acceptance, presentation::kBerSyntax, {}});
    const Bytes aare = acse::encodeAare(acse::result::Accepted, acse::source::ServiceUser, acse::diagnostic::Null, 3,
                                        c01::initiateResponse);
    EXPECT_EQ(presentation::encodeAccept(kPsel, results, 1, aare), bytes(sessionUserData(c01::acAare)));

    presentation::ConnectResponse cpa;
    ASSERT_EQ(presentation::decodeAccept(sessionUserData(c01::acAare), cpa), Result::Ok);
    EXPECT_EQ(cpa.respondingSelector, kPsel);
    ASSERT_EQ(cpa.results.size(), 2u);
    ASSERT_EQ(cpa.userData.size(), 1u);
    acse::Apdu decoded;
    ASSERT_EQ(acse::decode(cpa.userData[0].value, decoded), Result::Ok);
    EXPECT_EQ(decoded.kind, acse::Kind::Aare);
    EXPECT_EQ(decoded.result, acse::result::Accepted);
    EXPECT_EQ(decoded.diagnosticSource, acse::source::ServiceUser);
    EXPECT_EQ(bytes(decoded.userInformation->value), c01::initiateResponse);
}

TEST(Presentation, UserDataAndReleaseFromCapture)
{
    std::vector<presentation::Pdv> pdvs;
    ASSERT_EQ(presentation::decodeUserData(sessionUserData(c01::identifyRequest), pdvs), Result::Ok);
    ASSERT_EQ(pdvs.size(), 1u);
    EXPECT_EQ(pdvs[0].contextId, 3);
    EXPECT_EQ(bytes(pdvs[0].value), c01::identifyRequestPdu);
    EXPECT_EQ(presentation::encodeUserData(3, c01::identifyRequestPdu), bytes(sessionUserData(c01::identifyRequest)));

    ASSERT_EQ(presentation::decodeUserData(sessionUserData(c01::finishRlrq), pdvs), Result::Ok);
    acse::Apdu rlrq;
    ASSERT_EQ(acse::decode(pdvs[0].value, rlrq), Result::Ok);
    EXPECT_EQ(rlrq.kind, acse::Kind::Rlrq);
    EXPECT_EQ(rlrq.reason, 0);
    EXPECT_EQ(presentation::encodeUserData(1, acse::encodeRlrq(0)), bytes(sessionUserData(c01::finishRlrq)));

    ASSERT_EQ(presentation::decodeUserData(sessionUserData(c01::disconnectRlre), pdvs), Result::Ok);
    acse::Apdu rlre;
    ASSERT_EQ(acse::decode(pdvs[0].value, rlre), Result::Ok);
    EXPECT_EQ(rlre.kind, acse::Kind::Rlre);
    EXPECT_FALSE(rlre.reason);
}

TEST(Presentation, RefuseAndAbortRoundTrip)
{
    const Bytes aare = acse::encodeAare(acse::result::RejectedPermanent, acse::source::ServiceProvider,
                                        acse::diagnostic::NoReasonGiven, 3, hex("aa0302017f"));
    const std::vector<presentation::ContextResult> results{{presentation::result::ProviderRejection, {}, 2}};
    presentation::ConnectResponse cpr;
    const Bytes refuse = presentation::encodeRefuse(kPsel, results, 3, 1, aare);
    ASSERT_EQ(presentation::decodeRefuse(refuse, cpr), Result::Ok);
    EXPECT_EQ(cpr.respondingSelector, kPsel);
    EXPECT_EQ(cpr.providerReason, 3);
    ASSERT_EQ(cpr.results.size(), 1u);
    EXPECT_EQ(cpr.results[0].providerReason, 2);
    ASSERT_EQ(cpr.userData.size(), 1u);
    acse::Apdu a;
    ASSERT_EQ(acse::decode(cpr.userData[0].value, a), Result::Ok);
    EXPECT_EQ(a.result, acse::result::RejectedPermanent);
    EXPECT_EQ(a.diagnosticSource, acse::source::ServiceProvider);
    EXPECT_EQ(a.diagnostic, acse::diagnostic::NoReasonGiven);
    EXPECT_EQ(bytes(a.userInformation->value), hex("aa0302017f"));

    std::vector<presentation::Pdv> pdvs;
    const Bytes aru = presentation::encodeAbort(1, acse::encodeAbrt(acse::source::AbortByProvider));
    ASSERT_EQ(presentation::decodeAbort(aru, pdvs), Result::Ok);
    ASSERT_EQ(pdvs.size(), 1u);
    ASSERT_EQ(acse::decode(pdvs[0].value, a), Result::Ok);
    EXPECT_EQ(a.kind, acse::Kind::Abrt);
    EXPECT_EQ(a.abortSource, acse::source::AbortByProvider);
    // A provider abort (ARP) has no user data.
    ASSERT_EQ(presentation::decodeAbort(hex("3003800101"), pdvs), Result::Ok);
    EXPECT_TRUE(pdvs.empty());
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

TEST(Presentation, RejectsWrongTagsAndShapes)
{
    struct Case {
        const char* name;
        Bytes ppdu;
        Result expected;
    } cases[] = {
        {"sequence not set", hex("3005a003800101"), Result::Malformed},
        {"no normal-mode parameters", hex("3105a003800101"), Result::Malformed},
        {"x410 mode", hex("310aa003800100a1033001ff"), Result::Unsupported},
        {"mode value 0", hex("3109a003800100a2020000"), Result::Unsupported},
        {"universal inside normal mode", hex("3109a003800101a2020500"), Result::Malformed},
        {"simply-encoded data", hex("310ba003800101a2044002aabb"), Result::Unsupported},
        {"context id 0", hex("3115a003800101a20e610c300a020100a005a0030201ff"), Result::Malformed},
        {"context id 200", hex("3116a003800101a20f610d300b020200c8a005a0030201ff"), Result::Malformed},
        {"PDV without value", hex("310ea003800101a20761053003020101"), Result::Malformed},
        {"PDV arbitrary encoding", hex("3110a003800101a20961073005020101 8200"), Result::Unsupported},
        {"single-ASN1 with two values", hex("3115a003800101a20e610c300a020101a00405000500"), Result::Malformed},
        {"empty PDV list", hex("3109a003800101a2026100"), Result::Malformed},
        {"trailing bytes", hex("3105a00380010100"), Result::Malformed},
        {"length lies", hex("3106a003800101"), Result::Malformed},
    };
    for (const auto& c : cases) {
        presentation::ConnectRequest cp;
        EXPECT_EQ(presentation::decodeConnect(c.ppdu, cp), c.expected) << c.name;
    }
}

TEST(Presentation, CapsListSizes)
{
    ber::Writer w;
    const auto cp = w.begin(ber::universal(ber::universal_tag::Set));
    const auto mode = w.begin(ber::context(0));
    w.integer(ber::context(0), 1);
    w.end(mode);
    const auto normal = w.begin(ber::context(2));
    const auto list = w.begin(ber::context(4));
    for (int i = 0; i < 17; ++i) {
        const auto item = w.begin(ber::universal(ber::universal_tag::Sequence));
        w.integer(ber::universal(ber::universal_tag::Integer), 2 * i + 1);
        w.oid(ber::universal(ber::universal_tag::ObjectIdentifier), presentation::kMmsSyntax);
        const auto ts = w.begin(ber::universal(ber::universal_tag::Sequence));
        w.oid(ber::universal(ber::universal_tag::ObjectIdentifier), presentation::kBerSyntax);
        w.end(ts);
        w.end(item);
    }
    w.end(list);
    w.end(normal);
    w.end(cp);
    presentation::ConnectRequest out;
    EXPECT_EQ(presentation::decodeConnect(w.bytes(), out), Result::TooLarge);

    Bytes pdvs;
    ber::Writer u;
    const auto ud = u.begin(ber::application(1));
    for (int i = 0; i < 9; ++i) {
        const auto pdv = u.begin(ber::universal(ber::universal_tag::Sequence));
        u.integer(ber::universal(ber::universal_tag::Integer), 3);
        const auto v = u.begin(ber::context(0));
        u.null(ber::universal(ber::universal_tag::Null));
        u.end(v);
        u.end(pdv);
    }
    u.end(ud);
    std::vector<presentation::Pdv> list9;
    EXPECT_EQ(presentation::decodeUserData(u.bytes(), list9), Result::TooLarge);
}

TEST(Presentation, EveryTruncationOfTheCapturedConnectFails)
{
    const ByteView cp = sessionUserData(c01::cnAarq);
    for (std::size_t n = 0; n < cp.size(); ++n) {
        presentation::ConnectRequest out;
        EXPECT_NE(presentation::decodeConnect(cp.first(n), out), Result::Ok) << n;
    }
}

TEST(Acse, RejectsWrongShapes)
{
    struct Case {
        const char* name;
        Bytes apdu;
        Result expected;
    } cases[] = {
        {"application 5", hex("6500"), Result::Malformed},
        {"universal sequence", hex("3000"), Result::Malformed},
        {"AARQ without context name", hex("6000"), Result::Malformed},
        {"context name not explicit", hex("6007810528ca220203"), Result::Malformed},
        {"context name with two OIDs", hex("6010a10e060528ca220203060528ca220203"), Result::Malformed},
        {"version without bit 1", hex("600d80020700a107060528ca220203"), Result::Unsupported},
        {"universal field", hex("600ba107060528ca2202030500"), Result::Malformed},
        {"AARE result not explicit", hex("610ca107060528ca220203820100"), Result::Malformed},
        {"AARE diagnostic source 3", hex("6110a107060528ca220203a305a303020100"), Result::Malformed},
        {"user info not EXTERNAL", hex("6010a107060528ca220203be053003020103"), Result::Malformed},
        {"two EXTERNALs", hex("6019a107060528ca220203be0e28050201030500280502010305 00"), Result::Malformed},
        {"arbitrary encoding", hex("6013a107060528ca220203be08280602010382 0100"), Result::Unsupported},
        {"EXTERNAL without value", hex("6010a107060528ca220203be0528 03020103"), Result::Malformed},
        {"direct reference not BER", hex("6016a107060528ca220203be0b2809060251020201030500"), Result::Unsupported},
        {"RLRQ with a title", hex("6205a2030201 00"), Result::Malformed},
        {"ABRT with universal", hex("64050500 800100"), Result::Malformed},
    };
    for (const auto& c : cases) {
        acse::Apdu a;
        EXPECT_EQ(acse::decode(c.apdu, a), c.expected) << c.name;
    }
}

TEST(Acse, RoundTrips)
{
    acse::Apdu a;
    const Bytes aarq = acse::encodeAarq(3, c01::initiateRequest);
    ASSERT_EQ(acse::decode(aarq, a), Result::Ok);
    EXPECT_EQ(a.kind, acse::Kind::Aarq);
    EXPECT_EQ(a.userInformation->contextId, 3);
    EXPECT_EQ(bytes(a.userInformation->value), c01::initiateRequest);
    ASSERT_EQ(acse::decode(acse::encodeAarq(3, {}), a), Result::Ok);
    EXPECT_FALSE(a.userInformation);
    ASSERT_EQ(acse::decode(acse::encodeRlre(1), a), Result::Ok);
    EXPECT_EQ(a.kind, acse::Kind::Rlre);
    EXPECT_EQ(a.reason, 1);
    EXPECT_EQ(acse::encodeRlrq(0), hex("6203800100"));
}
