// The client against a scripted peer over loopback TCP: a server side that
// answers each request as the test says, including wrongly.
#include "capture.hpp"
#include "scripted_peer.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using client::ErrorKind;
using client::MmsConnection;
using mms::Value;

Bytes names(std::uint32_t invokeId, std::vector<std::string> ids, bool more)
{
    return respond(invokeId, mms::GetNameListResponse{std::move(ids), more});
}

Bytes identity(std::uint32_t invokeId, const char* vendor)
{
    return respond(invokeId, mms::IdentifyResponse{vendor, "", ""});
}

Bytes report(Value v)
{
    return encode(mms::UnconfirmedPdu{{mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT")), {std::move(v)}}});
}

// A connection to `peer`, or a failed test.
void connect(MmsConnection& c, const ScriptedPeer& peer)
{
    auto r = c.connect(peer.options());
    ASSERT_TRUE(r.ok()) << r.error().describe();
}

TEST(ScriptedPeer, NameListsContinueAfterTheLastNameAndAnEmptyPartEndsInAnError)
{
    std::vector<std::optional<std::string>> continuations;
    ScriptedPeer peer([&](const mms::ConfirmedRequest& r) {
        const auto& req = std::get<mms::GetNameListRequest>(r.service);
        continuations.push_back(req.continueAfter);
        if (req.objectClass == mms::ObjectClass::Domain)
            return Reply{{names(r.invokeId, {}, true)}};  // promises more but gives nothing
        if (!req.continueAfter)
            return Reply{{names(r.invokeId, {"a", "b"}, true)}};
        return Reply{{names(r.invokeId, {*req.continueAfter == "b" ? "c" : "d"}, *req.continueAfter == "b")}};
    });
    MmsConnection c;
    connect(c, peer);
    auto list = c.variableNames("LD");
    ASSERT_TRUE(list.ok()) << list.error().describe();
    EXPECT_EQ(*list, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(continuations, (std::vector<std::optional<std::string>>{std::nullopt, "b", "c"}));
    EXPECT_EQ(c.domainNames().error().kind, ErrorKind::Protocol);
    EXPECT_EQ(peer.requests(), 4);
}

TEST(ScriptedPeer, IgnoresAnswersToOtherInvokeIdsAndDispatchesReportsFirst)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        return Reply{{identity(r.invokeId + 100, "wrong"), report(Value::integer(7)), identity(r.invokeId, "right")}};
    });
    MmsConnection c;
    int reports = 0;
    c.setReportHandler([&](const mms::InformationReport& r) { reports += r.results.at(0).toInt32(); });
    connect(c, peer);
    EXPECT_EQ(c.identify()->vendor, "right");
    EXPECT_EQ(reports, 7);
}

TEST(ScriptedPeer, TheReportHandlerMayMakeRequestsOfItsOwn)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        if (r.invokeId == 1)
            return Reply{{report(Value::boolean(true))}};
        return Reply{{identity(2, "inner"), identity(1, "outer")}};
    });
    MmsConnection c;
    std::string inner;
    c.setReportHandler([&](const mms::InformationReport&) {
        auto id = c.identify();
        inner = id.ok() ? id->vendor : id.error().describe();
    });
    connect(c, peer);
    auto outer = c.identify();
    ASSERT_TRUE(outer.ok()) << outer.error().describe();
    EXPECT_EQ(outer->vendor, "outer");
    EXPECT_EQ(inner, "inner");
}

TEST(ScriptedPeer, AHandlerThatClosesEndsTheWaitingRequest)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest&) { return Reply{{report(Value::boolean(true))}}; });
    MmsConnection c;
    c.setReportHandler([&](const mms::InformationReport&) { c.close(); });
    connect(c, peer);
    c.setRequestTimeout(60000);
    EXPECT_EQ(c.identify().error().kind, ErrorKind::ConnectionLost);
    EXPECT_FALSE(c.connected());
}

TEST(ScriptedPeer, ALateAnswerDoesNotSatisfyTheNextRequest)
{
    ScriptedPeer peer([](const mms::ConfirmedRequest& r) {
        if (r.invokeId == 1)
            return Reply{};  // never answered in time
        return Reply{{identity(1, "late"), identity(r.invokeId, "current")}};
    });
    MmsConnection c;
    connect(c, peer);
    c.setRequestTimeout(100);
    EXPECT_EQ(c.identify().error().kind, ErrorKind::Timeout);
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
    connect(c, peer);
    auto e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::ServiceError);
    EXPECT_EQ(e.errorClass, static_cast<int>(mms::ErrorClass::Access));
    EXPECT_EQ(e.code, mms::error_code::access::ObjectAccessDenied);
    e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::Reject);
    EXPECT_EQ(e.code, mms::reject_code::confirmed_request::UnrecognizedService);
    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);
    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);  // two results for one variable
    EXPECT_TRUE(c.connected());
}

TEST(ScriptedPeer, UndecodableAnswersDeadPeersAndRefusalsEndTheConnection)
{
    const struct {
        const char* name;
        ScriptedPeer::Script script;
        ErrorKind expected;
    } cases[] = {
        // Well-formed BER, but a confirmed response without a service.
        {"undecodable", [](const mms::ConfirmedRequest&) { return Reply{{Bytes{0xa1, 0x03, 0x02, 0x01, 0x01}}}; },
         ErrorKind::Protocol},
        {"peer dies under a waiting request", [](const mms::ConfirmedRequest&) { return Reply{{}, true}; },
         ErrorKind::ConnectionLost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.script);
        MmsConnection connection;
        connect(connection, peer);
        EXPECT_EQ(connection.read("LD", "x").error().kind, c.expected);
        EXPECT_FALSE(connection.connected());
        EXPECT_FALSE(connection.waitForReports(0).ok());
    }
    ScriptedPeer refusing([](const mms::ConfirmedRequest&) { return Reply{}; }, false);
    MmsConnection c;
    EXPECT_EQ(c.connect(refusing.options()).error().kind, ErrorKind::Refused);
    EXPECT_FALSE(c.connected());
}

// Answers every request with a success of the right service.
Reply plausibleAnswer(const mms::ConfirmedRequest& r)
{
    if (const auto* s = std::get_if<mms::GetNameListRequest>(&r.service)) {
        if (s->objectClass == mms::ObjectClass::Domain)
            return {{names(r.invokeId, {"FNN_STEUERBOXSTB"}, false)}};
        if (!s->continueAfter)
            return {{names(r.invokeId, {"LLN0", "LLN0$RP$reportControl0101$RptEna"}, true)}};
        return {{names(r.invokeId, {"LLN0$ST"}, false)}};
    }
    if (std::holds_alternative<mms::ReadRequest>(r.service))
        return {{respond(r.invokeId, mms::ReadResponse{std::nullopt, {Value::float32(0)}})}};
    if (std::holds_alternative<mms::WriteRequest>(r.service))
        return {{respond(r.invokeId, mms::WriteResponse{{mms::WriteResult{}}})}};
    return {{respond(r.invokeId, mms::GetNamedVariableListAttributesResponse{})}};
}

// The client's requests, byte for byte as the reference client sent them.
TEST(RequestBytes, AsCaptured)
{
    constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";
    const Value time = Value::utcTime(test_support::fromHex("6b36ec800000000a"));  // 2027-01-01T00:00:00Z
    const struct {
        const char* capture;
        std::function<bool(MmsConnection&)> requests;
    } cases[] = {
        {"02-getnamelist-domains-and-variables",
         [](MmsConnection& c) {
             const bool domains = c.domainNames().ok();
             const auto names = c.variableNames("FNN_STEUERBOXSTB");  // the second request continues after the first part
             return domains && names.ok() && names->size() == 3;
         }},
        {"04-read-float-and-node",
         [](MmsConnection& c) {
             return c.read(kCls1, "MMXU001$MX$TotW$mag$f").ok() && c.read(kCls1, "EmpSPrg_FSCH020101$SP").ok();
         }},
        {"05-write-schedule-settings",
         [&](MmsConnection& c) {
             return c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok() &&
                    c.write(kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm", time).ok();
         }},
        {"08-dataset-attributes-and-read",
         [](MmsConnection& c) {
             return c.variableListAttributes(kCls1, "LLN0$dataset01").ok() && c.readList(kCls1, "LLN0$dataset01").ok();
         }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.capture);
        ScriptedPeer peer(plausibleAnswer);
        MmsConnection c;
        connect(c, peer);
        EXPECT_TRUE(test.requests(c));
        const auto& captured = test_support::capture(test.capture).clientPdus();  // initiate, requests, conclude
        EXPECT_EQ(peer.received(), std::vector<Bytes>(captured.begin() + 1, captured.end() - 1));
    }
}

}  // namespace
}  // namespace client_test
