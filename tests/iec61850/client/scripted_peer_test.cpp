// The client against a scripted peer over loopback TCP: a server side that
// answers each request as the test says, including wrongly.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace client_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using mms::Value;

struct Reply {
    std::vector<Bytes> pdus;  // raw MMS PDUs, sent in order
    bool close = false;       // then drop the connection
};

Bytes encode(mms::Pdu pdu)
{
    return mms::encodePdu(pdu);
}

Bytes respond(std::uint32_t invokeId, mms::ConfirmedResponseService service)
{
    return encode(mms::ConfirmedResponse{invokeId, std::move(service)});
}

// Accepts one connection and answers each confirmed request with the
// script's reply. Runs in a thread of its own until destroyed.
class ScriptedPeer {
public:
    using Script = std::function<Reply(const mms::ConfirmedRequest&)>;

    explicit ScriptedPeer(Script script, bool acceptAssociation = true)
        : script_(std::move(script)), accept_(acceptAssociation)
    {
        if (listener_.open("127.0.0.1", 0) != platform::NetStatus::Ok)
            throw std::runtime_error("scripted peer cannot listen");
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer()
    {
        stop_ = true;
        thread_.join();
    }

    client::ConnectOptions options() const
    {
        client::ConnectOptions o;
        o.port = listener_.port();
        o.connectTimeoutMs = o.requestTimeoutMs = 5000;
        return o;
    }
    int requests() const { return requests_; }

private:
    void run()
    {
        platform::Socket socket;
        while (!stop_ && !socket.valid()) {
            platform::PollEntry e{listener_.fd(), true, false};
            if (platform::poll(std::span(&e, 1), 20) > 0)
                listener_.accept(socket);
        }
        bool dropAfterFlush = false;
        iso::ServerAssociation::Callbacks callbacks;
        callbacks.onAssociate = [this](ByteView, Bytes& response) {
            mms::InitiateParameters p;
            p.localDetail = 65000;
            p.maxServOutstandingCalling = p.maxServOutstandingCalled = 5;
            p.dataStructureNestingLevel = 10;
            response = encode(mms::InitiateResponse{p});
            return accept_;
        };
        iso::ServerAssociation* association = nullptr;
        callbacks.onData = [&](ByteView bytes) {
            mms::Pdu pdu;
            if (mms::decodePdu(bytes, pdu) != mms::Status::Ok)
                return;
            if (std::holds_alternative<mms::ConcludeRequest>(pdu)) {
                association->send(encode(mms::ConcludeResponse{}));
                return;
            }
            const auto* request = std::get_if<mms::ConfirmedRequest>(&pdu);
            if (!request)
                return;
            ++requests_;
            Reply reply = script_(*request);
            for (const Bytes& b : reply.pdus)
                association->send(b);
            dropAfterFlush = dropAfterFlush || reply.close;
        };
        iso::ServerAssociation a(std::move(callbacks));
        association = &a;
        Bytes buffer(16384);
        while (!stop_ && socket.valid()) {
            Bytes& out = a.output();
            while (!out.empty()) {
                auto r = socket.send(out);
                if (!r.ok() && r.status != platform::NetStatus::WouldBlock)
                    break;
                out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.count));
            }
            if (dropAfterFlush || a.closed())
                break;
            platform::PollEntry e{socket.fd(), true, false};
            if (platform::poll(std::span(&e, 1), 20) <= 0)
                continue;
            auto r = socket.recv(buffer);
            if (r.ok())
                a.receive(ByteView(buffer).first(r.count));
            else if (r.status != platform::NetStatus::WouldBlock)
                break;
        }
    }

    Script script_;
    bool accept_;
    platform::Listener listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
};

mms::GetNameListResponse names(std::vector<std::string> ids, bool more)
{
    return {std::move(ids), more};
}

TEST(ScriptedPeer, ContinuesAfterTheLastNameAndStopsOnTheLastPart)
{
    std::vector<std::optional<std::string>> continuations;
    ScriptedPeer peer([&](const mms::ConfirmedRequest& r) {
        const auto& req = std::get<mms::GetNameListRequest>(r.service);
        continuations.push_back(req.continueAfter);
        if (!req.continueAfter)
            return Reply{{respond(r.invokeId, names({"a", "b"}, true))}};
        if (*req.continueAfter == "b")
            return Reply{{respond(r.invokeId, names({"c"}, true))}};
        return Reply{{respond(r.invokeId, names({"d"}, false))}};
    });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto list = c.variableNames("LD");
    ASSERT_TRUE(list.ok()) << list.error().describe();
    EXPECT_EQ(*list, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(continuations, (std::vector<std::optional<std::string>>{std::nullopt, "b", "c"}));
}

TEST(ScriptedPeer, AnEmptyPartThatPromisesMoreIsAnErrorNotALoop)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        return Reply{{respond(r.invokeId, names({}, true))}};
    });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto list = c.domainNames();
    ASSERT_FALSE(list.ok());
    EXPECT_EQ(list.error().kind, ErrorKind::Protocol);
    EXPECT_EQ(peer.requests(), 1);
}

TEST(ScriptedPeer, IgnoresAnswersToOtherInvokeIdsAndDispatchesReportsFirst)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        mms::InformationReport report{mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT")),
                                      {Value::integer(7)}};
        return Reply{{respond(r.invokeId + 100, mms::IdentifyResponse{"wrong", "x", "y"}),
                      encode(mms::UnconfirmedPdu{report}),
                      respond(r.invokeId, mms::IdentifyResponse{"right", "m", "r"})}};
    });
    MmsConnection c;
    int reports = 0;
    c.setReportHandler([&](const mms::InformationReport& r) { reports += r.results.at(0).toInt32(); });
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto id = c.identify();
    ASSERT_TRUE(id.ok()) << id.error().describe();
    EXPECT_EQ(id->vendor, "right");
    EXPECT_EQ(reports, 7);
}

mms::InformationReport someReport()
{
    return {mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT")), {Value::boolean(true)}};
}

TEST(ScriptedPeer, TheReportHandlerMayMakeRequestsOfItsOwn)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        if (r.invokeId == 1)
            return Reply{{encode(mms::UnconfirmedPdu{someReport()})}};
        return Reply{{respond(2, mms::IdentifyResponse{"inner", "", ""}),
                      respond(1, mms::IdentifyResponse{"outer", "", ""})}};
    });
    MmsConnection c;
    std::string inner;
    c.setReportHandler([&](const mms::InformationReport&) {
        auto id = c.identify();
        inner = id.ok() ? id->vendor : id.error().describe();
    });
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto outer = c.identify();
    ASSERT_TRUE(outer.ok()) << outer.error().describe();
    EXPECT_EQ(outer->vendor, "outer");
    EXPECT_EQ(inner, "inner");
}

TEST(ScriptedPeer, AHandlerThatClosesEndsTheWaitingRequest)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest&) { return Reply{{encode(mms::UnconfirmedPdu{someReport()})}}; });
    MmsConnection c;
    c.setReportHandler([&](const mms::InformationReport&) { c.close(); });
    ASSERT_TRUE(c.connect(peer.options()).ok());
    c.setRequestTimeout(60000);
    auto r = c.identify();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::ConnectionLost) << r.error().describe();
    EXPECT_FALSE(c.connected());
}

TEST(ScriptedPeer, ALateAnswerDoesNotSatisfyTheNextRequest)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        if (r.invokeId == 1)
            return Reply{};  // never answered in time
        return Reply{{respond(1, mms::IdentifyResponse{"late", "", ""}),
                      respond(r.invokeId, mms::IdentifyResponse{"current", "", ""})}};
    });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    c.setRequestTimeout(100);
    auto first = c.identify();
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().kind, ErrorKind::Timeout);
    c.setRequestTimeout(5000);
    auto second = c.identify();
    ASSERT_TRUE(second.ok()) << second.error().describe();
    EXPECT_EQ(second->vendor, "current");
}

TEST(ScriptedPeer, MapsErrorsRejectsAndMisfitAnswers)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        switch (r.invokeId) {
        case 1:
            return Reply{{encode(mms::ConfirmedError{
                r.invokeId, {mms::ErrorClass::Access, mms::error_code::access::ObjectAccessDenied, {}, {}}})}};
        case 2:
            return Reply{{encode(mms::RejectPdu{r.invokeId, mms::RejectClass::ConfirmedRequest,
                                                mms::reject_code::confirmed_request::UnrecognizedService})}};
        case 3:
            return Reply{{respond(r.invokeId, mms::StatusResponse{})}};  // wrong service
        default:
            return Reply{{respond(r.invokeId, mms::ReadResponse{std::nullopt, {Value::integer(1), Value::integer(2)}})}};
        }
    });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());

    auto e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::ServiceError);
    EXPECT_EQ(e.errorClass, static_cast<int>(mms::ErrorClass::Access));
    EXPECT_EQ(e.code, mms::error_code::access::ObjectAccessDenied);

    e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::Reject);
    EXPECT_EQ(e.errorClass, static_cast<int>(mms::RejectClass::ConfirmedRequest));
    EXPECT_EQ(e.code, mms::reject_code::confirmed_request::UnrecognizedService);

    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);
    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);  // two results for one variable
    EXPECT_TRUE(c.connected());
}

TEST(ScriptedPeer, AnUndecodableAnswerEndsTheConnection)
{
    // Well-formed BER, but a confirmed response without a service.
    ScriptedPeer peer([](const mms::ConfirmedRequest&) { return Reply{{Bytes{0xa1, 0x03, 0x02, 0x01, 0x01}}}; });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto r = c.identify();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Protocol);
    EXPECT_FALSE(c.connected());
}

TEST(ScriptedPeer, APeerThatDiesUnderAWaitingRequestEndsItWithConnectionLost)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest&) { return Reply{{}, true}; });
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    auto r = c.read("LD", "x");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::ConnectionLost) << r.error().describe();
    EXPECT_FALSE(c.connected());
    EXPECT_EQ(c.waitForReports(0).error().kind, ErrorKind::ConnectionLost);
}

TEST(ScriptedPeer, ARefusedAssociationIsReportedAsRefused)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest&) { return Reply{}; }, false);
    MmsConnection c;
    auto r = c.connect(peer.options());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Refused) << r.error().describe();
    EXPECT_FALSE(c.connected());
}

}  // namespace
}  // namespace client_test
