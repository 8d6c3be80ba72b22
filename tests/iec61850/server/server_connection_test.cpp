// A ServerConnection fed client bytes: negotiation, pipelining, answers over
// the PDU size, and malformed input at the MMS layer (the captures and every
// service are transcripts under tests/data/transcripts).
#include "wire_helpers.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace test;
using iec61850::server::ClientContext;
using iec61850::server::InMemoryModel;
using iec61850::server::ServerConfig;
namespace iso = iec61850::iso;

namespace {

constexpr std::string_view kCls1 = "FNN_STEUERBOXCLS1";

mms::ObjectName cls1(std::string item)
{
    return mms::ObjectName::inDomain(std::string(kCls1), std::move(item));
}

mms::VariableAccessSpec variable(std::string item)
{
    return mms::VariableAccessSpec::single(cls1(std::move(item)));
}

mms::TypeDescription scheduleSettings()
{
    using T = mms::TypeDescription;
    std::vector<T> c;
    for (auto name : {"SchdPrio", "NumEntr", "SchdIntv"})
        c.push_back(T::structure({T::integer(32).named("setVal")}).named(name));
    char name[16];
    for (int i = 1; i <= 300; ++i) {
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        c.push_back(T::structure({T::structure({T::float32().named("f")}).named("setMag")}).named(name));
    }
    for (int i = 1; i <= 16; ++i) {
        std::snprintf(name, sizeof name, "StrTm%02d", i);
        c.push_back(T::structure({T::utcTime().named("setTm")}).named(name));
    }
    c.push_back(T::structure({T::boolean().named("setVal")}).named("SchdReuse"));
    return T::structure(std::move(c));
}

InMemoryModel scheduleModel()
{
    using T = mms::TypeDescription;
    InMemoryModel model;
    model.addDomain(kCls1);
    model.addVariable(kCls1, "MMXU001",
                      T::structure({T::structure({T::structure({T::structure({T::float32().named("f")}).named("mag")})
                                                      .named("TotW")})
                                        .named("MX")}));
    for (auto node : {"EmpSPrg_FSCH020001", "EmpSPrg_FSCH020101"})
        model.addVariable(kCls1, node, T::structure({scheduleSettings().named("SP")}));
    return model;
}

}  // namespace

TEST(Initiate, NegotiatesTheSmallerValuesAndRefusesTinyPdus)
{
    InMemoryModel model;
    Peer small(model);
    small.associate(1000);
    EXPECT_EQ(small.connection->maxPduSize(), 1000);

    ServerConfig config;
    config.maxPduSize = 4000;
    config.maxServOutstanding = 2;
    config.maxNestingLevel = 4;
    Peer larger(model, config);
    larger.associate(65000);
    EXPECT_EQ(larger.connection->maxPduSize(), 4000);
    EXPECT_EQ(larger.connection->maxServOutstandingCalling(), 2);
    EXPECT_EQ(larger.connection->maxServOutstandingCalled(), 2);
    EXPECT_EQ(larger.connection->nestingLevel(), 4);

    Peer tiny(model);
    auto answers = tiny.feedAll(associationWithPduSize(20));
    ASSERT_EQ(answers[1].size(), 1u);
    EXPECT_FALSE(tiny.connection->associated());
    if (!answers[1][0].mms.empty()) {  // refusals carry the initiate-error when the layer allows
        EXPECT_TRUE(std::holds_alternative<mms::InitiateError>(decode(answers[1][0].mms)));
    }

    // The AARQ with its initiate-request tag changed to conclude-request.
    auto noInitiate = associationWithPduSize(65000);
    const Bytes initiate = hex("a826800300fde8");
    auto at = std::search(noInitiate[1].begin(), noInitiate[1].end(), initiate.begin(), initiate.end());
    ASSERT_NE(at, noInitiate[1].end());
    *at = 0xAB;
    Peer refused(model);
    refused.feedAll(noInitiate);
    EXPECT_FALSE(refused.connection->associated());
}

// A client that pipelines without reading: beyond the five requests it may have
// unanswered it gets rejects; beyond the output bound its input waits
// undecoded, and is answered in order as the output drains.
TEST(Initiate, PipelinedRequestsBeyondTheLimitsAreRejectedOrWaitForTheOutputToDrain)
{
    InMemoryModel model;
    ServerConfig config;
    config.maxPduSize = 1000;
    config.maxQueuedOutput = 0;  // the least bound: two PDUs and 4096 octets
    Peer p(model, config);
    p.associate(1000);
    constexpr std::uint32_t kRequests = 2000;
    Bytes burst;
    for (std::uint32_t id = 1; id <= kRequests; ++id) {
        const Bytes tpkt = clientTpkt(mms::encodePdu(mms::ConfirmedRequest{id, mms::IdentifyRequest{}}));
        burst.insert(burst.end(), tpkt.begin(), tpkt.end());
    }
    p.connection->receive(burst);
    EXPECT_GT(p.connection->bufferedInput(), 0u);
    std::vector<ServerFrame> frames;
    std::size_t most = 0, rounds = 0;
    for (; !p.connection->output().empty() && rounds < kRequests; ++rounds) {
        most = std::max(most, p.connection->output().size());
        EXPECT_TRUE(splitServerOutput(p.connection->output().pending(), frames));
        p.connection->output().clear();  // the socket took it all
        p.connection->receive({});
    }
    EXPECT_GT(rounds, 2u);
    EXPECT_LE(most, iec61850::server::outputBound(config) + 100);  // the bound and one answer
    ASSERT_EQ(frames.size(), kRequests);
    std::size_t answered = 0;
    for (std::uint32_t id = 1; id <= kRequests; ++id) {
        const mms::Pdu pdu = decode(frames[id - 1].mms);
        if (const auto* r = std::get_if<mms::ConfirmedResponse>(&pdu)) {
            EXPECT_EQ(r->invokeId, id);
            ++answered;
        } else {
            EXPECT_EQ(reject(pdu), (mms::RejectPdu{id, mms::RejectClass::ConfirmedRequest,
                                                   mms::reject_code::confirmed_request::MaxServOutstandingExceeded}));
        }
    }
    EXPECT_EQ(answered, 5 * rounds);  // five each time the output drained
}

// ---- Services ---------------------------------------------------------------------

TEST(Services, ResponsesLargerThanThePduSizeBecomeErrors)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate(1000);
    for (auto service : {mms::ConfirmedRequestService{mms::ReadRequest{false, variable("EmpSPrg_FSCH020101")}},
                         mms::ConfirmedRequestService{mms::GetVariableAccessAttributesRequest{
                             cls1("EmpSPrg_FSCH020101")}}}) {
        auto e = serviceError(p.ask(6, service));
        EXPECT_EQ(e.errorClass, mms::ErrorClass::Service);
        EXPECT_EQ(e.code, mms::error_code::service::PduSize);
        EXPECT_LE(p.lastSize, 1000u);
    }
    // Small answers still flow afterwards.
    EXPECT_EQ(response<mms::ReadResponse>(p.ask(7, mms::ReadRequest{false, variable("MMXU001")})).results.size(), 1u);
}

TEST(Services, InformationReportIsSentOnlyWhenAssociatedAndWithinThePduSize)
{
    InMemoryModel model;
    const mms::Value value = mms::Value::visibleString("CLS1/report01");
    const mms::Value* values[] = {&value};
    auto access = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
    Peer p(model);
    EXPECT_FALSE(p.connection->sendInformationReport(access, values));

    p.associate(200);
    ASSERT_TRUE(p.connection->sendInformationReport(access, values));
    auto frames = p.feed({});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::get<mms::UnconfirmedPdu>(decode(frames[0].mms)).report,
              (mms::InformationReport{access, {value}}));

    const mms::Value big = mms::Value::visibleString(std::string(300, 'x'));
    const mms::Value* bigValues[] = {&big};
    EXPECT_FALSE(p.connection->sendInformationReport(access, bigValues));
    EXPECT_TRUE(p.connection->output().empty());
}

// ---- Malformed and unexpected PDUs --------------------------------------------

TEST(Malformed, TruncatedRandomAndDeeplyNestedPdusNeverCrash)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate();
    const Bytes good = mms::encodePdu(mms::ConfirmedRequest{
        3, mms::WriteRequest{variable("MMXU001$MX$TotW$mag$f"), {mms::Value::float32(2.0f)}}});
    ASSERT_LT(good.size(), 128u);
    // The PDU's own TLV stays whole; what it holds is cut short.
    for (std::size_t n = 0; n + 2 < good.size(); ++n) {
        Bytes cut{good[0], static_cast<std::uint8_t>(n)};
        cut.insert(cut.end(), good.begin() + 2, good.begin() + 2 + static_cast<std::ptrdiff_t>(n));
        EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(p.exchange(cut))) << n;
    }
    EXPECT_EQ(model.value(kCls1, "MMXU001$MX$TotW$mag$f")->toFloat(), 0.0f);

    // Random contents under every MMS PDU tag (well-formed TLV, so the ISO
    // layers pass them up): at most one answer each, and it decodes.
    std::mt19937 rng(61850);
    const std::uint8_t tags[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA9, 0xAA, 0xAC, 0xAD};
    for (int i = 0; i < 300; ++i) {
        Bytes junk{tags[rng() % std::size(tags)], static_cast<std::uint8_t>(rng() % 100)};
        for (std::size_t k = 0; k < junk[1]; ++k)
            junk.push_back(static_cast<std::uint8_t>(rng()));
        auto frames = p.feed(clientTpkt(junk));
        ASSERT_LE(frames.size(), 1u);
        if (!frames.empty()) {
            ASSERT_FALSE(frames[0].mms.empty());
            decode(frames[0].mms);
        }
        ASSERT_TRUE(p.connection->associated()) << i;
    }

    // A written value nested deeper than any decoder allows.
    ber::Writer deep;
    std::vector<ber::Writer::Marker> open = {deep.begin(ber::context(0, true))};
    deep.unsignedInteger(ber::universal(ber::universal_tag::Integer), 4);
    for (auto tag : {ber::context(5, true), ber::context(0, true), ber::universal(ber::universal_tag::Sequence, true),
                     ber::context(0, true), ber::context(1, true)})
        open.push_back(deep.begin(tag));
    deep.string(ber::universal(ber::universal_tag::VisibleString), kCls1);
    deep.string(ber::universal(ber::universal_tag::VisibleString), "MMXU001");
    for (int i = 0; i < 4; ++i, open.pop_back())
        deep.end(open.back());  // name, variable, list: the data follow
    for (int i = 0; i < 201; ++i)
        open.push_back(deep.begin(ber::context(i == 0 ? 0 : 2, true)));
    for (; !open.empty(); open.pop_back())
        deep.end(open.back());
    EXPECT_EQ(reject(p.exchange(deep.bytes())),
              (mms::RejectPdu{4, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument}));
}

TEST(Malformed, RawBytesBeforeAssociationDoNotCrash)
{
    InMemoryModel model;
    std::mt19937 rng(4102);
    for (int round = 0; round < 100; ++round) {
        Bytes junk(2 + rng() % 200);
        for (auto& b : junk)
            b = static_cast<std::uint8_t>(rng());
        if (round % 2)
            junk[0] = 3, junk[1] = 0;  // looks like TPKT
        Peer p(model);
        p.feed(junk);
        EXPECT_FALSE(p.connection->associated());
    }
}
