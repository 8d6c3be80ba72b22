// The client against a scripted peer over loopback TCP: a server side that
// answers each request as the test says, including wrongly.
#include "scripted_peer.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using mms::Value;

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
