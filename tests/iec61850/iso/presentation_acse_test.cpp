#include "iec61850/iso/acse.hpp"
#include "iec61850/iso/presentation.hpp"

#include "capture01.hpp"

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::hex;
using iso_test::sessionUserData;
namespace c01 = iso_test::c01;

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
    const ByteView cp = sessionUserData(c01::cnAarq);
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
