// Our server's real answers, checked by tshark: first to the reference
// clients' own requests, then to our client association asking for every
// service the server offers.
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/server_connection.hpp"
#include "sample_model.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace test_support;

namespace {

const std::vector<std::string> kFields = {
    "acse.result", "acse.rlre_element", "ses.type", "mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
    "mms.confirmed_ErrorPDU_element", "mms.rejectPDU_element", "mms.unconfirmedService", "mms.cancel_ErrorPDU_element",
    "mms.cancel_ResponsePDU", "mms.conclude_ResponsePDU_element", "mms.initiate_ResponsePDU_element",
    "mms.invokeID", "tcp.analysis.flags",
};

class ServerSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tsharkAvailable())
            GTEST_SKIP() << "tshark not installed";
    }

    // Feeds the client's chunks one by one, recording what the server answers to each.
    Transcript replay(const Transcript& reference)
    {
        server::ServerConnection connection(*model_, server::ServerConfig{});
        Transcript t;
        for (const Chunk& c : reference.chunks()) {
            if (c.direction != Direction::ToServer || connection.closed())
                continue;
            t.toServer(c.data);
            connection.receive(c.data);
            t.toClient(std::exchange(connection.output(), {}));
        }
        return t;
    }

    std::unique_ptr<server::InMemoryModel> model_ = makeSampleModel();
};

void expectClean(const Decode& d)
{
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
}

// Confirmed requests and everything that answers one, by invoke ID.
void expectEveryRequestAnswered(const Decode& d)
{
    std::size_t requests = 0, answers = 0;
    for (const Frame& f : d.frames) {
        const auto& protocols = f.protocols;
        if (protocols.find("mms") == std::string::npos)
            continue;
        if (auto it = f.fields.find("mms.confirmedServiceRequest"); it != f.fields.end())
            requests += it->second.size();
        for (const char* field : {"mms.confirmedServiceResponse", "mms.confirmed_ErrorPDU_element",
                                  "mms.rejectPDU_element"})
            if (auto it = f.fields.find(field); it != f.fields.end())
                answers += it->second.size();
    }
    EXPECT_GT(requests, 0u);
    EXPECT_EQ(answers, requests) << d.summary();
}

}  // namespace

TEST_F(ServerSession, AnswersTheReferenceClients)
{
    for (const std::string& name : captureNames()) {
        SCOPED_TRACE(name);
        const Transcript ours = replay(capture(name).transcript());
        const Decode d = decodeTranscript("server-" + name + ".pcap", ours, kFields);
        expectClean(d);
        EXPECT_EQ(d.count("acse.result", "0"), 1u) << d.summary();
        EXPECT_EQ(d.count("mms.initiate_ResponsePDU_element"), 1u);
        expectEveryRequestAnswered(d);
        const bool releases = name != "11-abrupt-close";
        EXPECT_EQ(d.count("mms.conclude_ResponsePDU_element"), releases ? 1u : 0u);
        EXPECT_EQ(d.count("acse.rlre_element"), releases ? 1u : 0u);
    }
}

TEST_F(ServerSession, AnswersEveryServiceOurClientAsks)
{
    server::ServerConfig config;
    server::ServerConnection server(*model_, config);
    std::vector<Bytes> answers;
    iso::ClientAssociation client({
        .onAssociated = [](ByteView) {},
        .onRefused = [](ByteView) {},
        .onData = [&](ByteView pdu) { answers.emplace_back(pdu.begin(), pdu.end()); },
        .onReleased = [] {},
        .onAborted = [] {},
    });
    Transcript t;
    auto pump = [&] {
        for (int i = 0; i < 100; ++i) {
            Bytes up = std::exchange(client.output(), {});
            Bytes down = std::exchange(server.output(), {});
            if (up.empty() && down.empty())
                return;
            t.toServer(up);
            t.toClient(down);
            if (!up.empty())
                server.receive(up);
            if (!down.empty())
                client.receive(down);
        }
    };

    mms::InitiateRequest initiate;
    initiate.params.localDetail = 1000;  // small, so name lists need continuing
    initiate.params.dataStructureNestingLevel = 10;
    initiate.params.parameterCbb = {0xf1, 0x00};
    initiate.params.parameterCbbBits = 11;
    initiate.params.servicesSupported = Bytes(11, 0);
    initiate.params.servicesSupportedBits = 85;
    client.connect(mms::encodePdu(initiate));
    pump();
    ASSERT_TRUE(server.associated());

    const auto cls1 = [](std::string item) { return mms::ObjectName::inDomain(kCls1, std::move(item)); };
    std::uint32_t id = 0;
    std::vector<mms::Pdu> requests;
    auto ask = [&](mms::ConfirmedRequestService s) { requests.push_back(mms::ConfirmedRequest{++id, std::move(s)}); };
    ask(mms::StatusRequest{});
    ask(mms::IdentifyRequest{});
    ask(mms::GetNameListRequest{mms::ObjectClass::Domain, mms::GetNameListRequest::Scope::Vmd, {}, {}});
    ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariable, mms::GetNameListRequest::Scope::Domain, kCls1, {}});
    ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariable, mms::GetNameListRequest::Scope::Domain, kCls1,
                                std::string("EmpSPrg_FSCH020001$SP")});
    ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariableList, mms::GetNameListRequest::Scope::Domain, kCls1, {}});
    ask(mms::GetNameListRequest{mms::ObjectClass::Journal, mms::GetNameListRequest::Scope::Domain, kStb, {}});
    ask(mms::GetVariableAccessAttributesRequest{cls1("EmpSPrg_FSCH020001$CO")});
    ask(mms::GetVariableAccessAttributesRequest{cls1("NoSuchNode")});
    ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("MMXU001$MX$TotW$mag$f"))});
    ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("LLN0"))});  // too big for the PDU size
    ask(mms::ReadRequest{true, mms::VariableAccessSpec::list(cls1("LLN0$dataset01"))});
    ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("MMXU001$MX$Nothing"))});
    ask(mms::WriteRequest{mms::VariableAccessSpec::single(cls1("EmpSPrg_FSCH020001$SP$ValASG005$setMag$f")),
                          {mms::Value::float32(12.5f)}});
    ask(mms::WriteRequest{mms::VariableAccessSpec::single(cls1("EmpSPrg_FSCH020001$SP$ValASG005$setMag$f")),
                          {mms::Value::visibleString("wrong type")}});
    ask(mms::GetNamedVariableListAttributesRequest{cls1("LLN0$dataset01")});
    ask(mms::DefineNamedVariableListRequest{cls1("LLN0$mine"), {{cls1("MMXU001$MX$TotW"), {}}}});
    ask(mms::DeleteNamedVariableListRequest{mms::DeleteNamedVariableListRequest::Scope::Specific, {cls1("LLN0$mine")},
                                            std::nullopt});
    ask(mms::UnrecognizedService{77, {0xbf, 0x4d, 0x00}});
    requests.push_back(mms::CancelRequest{id});
    for (const mms::Pdu& pdu : requests) {
        client.send(mms::encodePdu(pdu));
        pump();
    }
    const Bytes malformed = {0xa0, 0x03, 0x02, 0x01, 0x63};  // a request without a service
    client.send(malformed);
    pump();

    const mms::Value* totW = model_->value(kCls1, "MMXU001$MX$TotW");
    ASSERT_NE(totW, nullptr);
    const mms::Value* values[] = {totW};
    EXPECT_TRUE(server.sendInformationReport(
        mms::VariableAccessSpec::single(cls1("MMXU001$MX$TotW")), values));
    pump();

    client.send(mms::encodePdu(mms::ConcludeRequest{}));
    pump();
    client.release();
    pump();
    EXPECT_TRUE(server.closed());
    EXPECT_EQ(server.closeReason(), iso::CloseReason::Released);

    // One answer per request, the malformed one and the cancel included, then the report and the conclude.
    ASSERT_EQ(answers.size(), requests.size() + 3);
    for (const Bytes& a : answers) {
        mms::Pdu pdu;
        EXPECT_EQ(mms::decodePdu(a, pdu), ber::Status::Ok);
    }

    const Decode d = decodeTranscript("server-every-service.pcap", t, kFields);
    expectClean(d);
    EXPECT_EQ(d.count("mms.unconfirmedService", "0"), 1u) << d.summary();
    EXPECT_EQ(d.count("mms.cancel_ErrorPDU_element") + d.count("mms.cancel_ResponsePDU"), 1u);
    EXPECT_GE(d.count("mms.rejectPDU_element"), 2u);  // unknown service, malformed request
    EXPECT_EQ(d.count("mms.conclude_ResponsePDU_element"), 1u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
    for (const char* service : {"0", "1", "2", "4", "5", "6", "12"})
        EXPECT_GE(d.count("mms.confirmedServiceResponse", service), 1u) << "service " << service;
}
