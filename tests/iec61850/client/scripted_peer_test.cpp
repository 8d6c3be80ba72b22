// The client library against scripted servers (tests/data/client/peer.txt)
// and against ports where nobody answers: answers out of order or of the
// wrong kind, reports amid requests, peers that fail.
#include "scripted_peer.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using mms::DataAccessError;
using mms::Value;

class Scripted : public ::testing::Test {
protected:
    // Connects to a peer that plays the session of peer.txt called `name`.
    void connect(const std::string& name)
    {
        EXPECT_EQ(peer ? peer->finish() : "", "");
        peer.emplace(session("peer.txt", name));
        auto r = c.connect(peer->options());
        ASSERT_TRUE(r.ok()) << r.error().describe();
    }
    void TearDown() override { EXPECT_EQ(peer ? peer->finish() : "", ""); }

    std::optional<ScriptedPeer> peer;
    MmsConnection c;
};

TEST_F(Scripted, NameListsContinueAfterTheLastNameAndAnEmptyPartEndsInAnError)
{
    connect("name-lists");
    EXPECT_EQ(*c.variableNames("LD"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(c.domainNames().error().kind, ErrorKind::Protocol);
}

TEST_F(Scripted, IgnoresAnswersToOtherInvokeIdsAndHandsOverReportsFirst)
{
    int reports = 0;
    c.setReportHandler([&](const mms::InformationReport& r) { reports += r.results.at(0).toInt32(); });
    connect("invoke-ids");
    EXPECT_EQ(c.identify()->vendor, "right");
    EXPECT_EQ(reports, 7);
}

TEST_F(Scripted, TheReportHandlerMayMakeRequestsOfItsOwn)
{
    std::string inner;
    c.setReportHandler([&](const mms::InformationReport&) {
        auto id = c.identify();
        inner = id.ok() ? id->vendor : id.error().describe();
    });
    connect("nested-request");
    EXPECT_EQ(c.identify()->vendor, "outer");
    EXPECT_EQ(inner, "inner");
}

TEST_F(Scripted, AHandlerThatClosesEndsTheWaitingRequest)
{
    c.setReportHandler([&](const mms::InformationReport&) { c.close(); });
    connect("handler-closes");
    c.setRequestTimeout(60000);
    EXPECT_EQ(c.identify().error().kind, ErrorKind::ConnectionLost);
    EXPECT_FALSE(c.connected());
}

TEST_F(Scripted, ALateAnswerDoesNotSatisfyTheNextRequest)
{
    connect("late-answer");
    c.setRequestTimeout(100);
    EXPECT_EQ(c.identify().error().kind, ErrorKind::Timeout);
    c.setRequestTimeout(5000);
    EXPECT_EQ(c.identify()->vendor, "current");
}

TEST_F(Scripted, MapsErrorsRejectsAndMisfitAnswers)
{
    connect("misfits");
    auto e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::ServiceError);
    EXPECT_EQ(e.errorClass, static_cast<int>(mms::ErrorClass::Access));
    EXPECT_EQ(e.code, mms::error_code::access::ObjectAccessDenied);
    e = c.read("LD", "x").error();
    EXPECT_EQ(e.kind, ErrorKind::Reject);
    EXPECT_EQ(e.code, mms::reject_code::confirmed_request::UnrecognizedService);
    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);  // a status answer
    EXPECT_EQ(c.read("LD", "x").error().kind, ErrorKind::Protocol);  // two results for one variable
    EXPECT_TRUE(c.connected());
}

TEST_F(Scripted, ResultsPerItemRequestsTooLargeAndTheEnd)
{
    connect("per-item");
    const std::vector<client::VariableRef> refs{{"LD", "x"}, {"", "y"}};
    EXPECT_EQ(*c.read(refs), (std::vector<Value>{Value::integer(5), Value::error(DataAccessError::ObjectNonExistent)}));
    const std::vector<Value> values{Value::integer(5), Value::boolean(true)};
    auto writes = c.write(refs, values);
    ASSERT_TRUE(writes.ok()) << writes.error().describe();
    EXPECT_TRUE(writes->at(0).ok());
    EXPECT_EQ(writes->at(1).failure, DataAccessError::TypeInconsistent);
    EXPECT_EQ(c.write("LD", "x", values[0]).error().code, static_cast<int>(DataAccessError::ObjectNonExistent));
    EXPECT_EQ(c.write(refs, std::span(values).first(1)).error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(c.write("LD", "x", Value::visibleString(std::string(70000, 'x'))).error().kind, ErrorKind::TooLarge);
    ASSERT_TRUE(c.conclude().ok());
    EXPECT_EQ(c.identify().error().kind, ErrorKind::NotConnected);
    ASSERT_TRUE(c.release().ok());
    EXPECT_EQ(c.release().error().kind, ErrorKind::NotConnected);
}

TEST_F(Scripted, UndecodableAnswersAndPeersThatGoEndTheConnection)
{
    const std::pair<const char*, ErrorKind> cases[] = {
        {"undecodable", ErrorKind::Protocol},  // well-formed BER: a confirmed response without a service
        {"gone-under-request", ErrorKind::ConnectionLost},
        {"gone-while-idle", ErrorKind::ConnectionLost},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        connect(name);
        EXPECT_EQ(c.read("LD", "x").error().kind, expected);
        EXPECT_FALSE(c.connected());
        EXPECT_FALSE(c.waitForReports(0).ok());
    }
    for (const char* name : {"refused", "closed-at-once"}) {
        peer.emplace(session("peer.txt", name));
        EXPECT_EQ(c.connect(peer->options()).error().kind, ErrorKind::Refused) << name;
        EXPECT_FALSE(c.connected());
        EXPECT_EQ(peer->finish(), "");
    }
}

TEST_F(Scripted, DataSetRequestsAsTheReferenceClientSentThem)
{
    connect("data-set");
    EXPECT_TRUE(c.variableListAttributes("FNN_STEUERBOXCLS1", "LLN0$dataset01").ok());
    EXPECT_TRUE(c.readList("FNN_STEUERBOXCLS1", "LLN0$dataset01").ok());
}

client::ConnectOptions quickOptions(std::uint16_t port)
{
    client::ConnectOptions o;
    o.port = port;
    o.connectTimeoutMs = o.requestTimeoutMs = 100;
    return o;
}

TEST(ConnectFailure, NobodyListeningSilenceAndAFullBacklog)
{
    platform::Listener probe;  // a port nobody listens on
    ASSERT_EQ(probe.open("127.0.0.1", 0), platform::NetStatus::Ok);
    const std::uint16_t closedPort = probe.port();
    probe.close();
    platform::Listener silent;  // the kernel completes TCP, nobody reads
    ASSERT_EQ(silent.open("127.0.0.1", 0), platform::NetStatus::Ok);
    platform::Listener backlog;
    ASSERT_EQ(backlog.open("127.0.0.1", 0, 1), platform::NetStatus::Ok);
    std::vector<platform::Socket> fillers;
    bool saturated = false;
    for (int i = 0; i < 16 && !saturated; ++i) {
        platform::Socket s;
        const auto status = platform::connectTcp("127.0.0.1", backlog.port(), 100, s);
        saturated = status == platform::NetStatus::TimedOut;
        if (status == platform::NetStatus::Ok)
            fillers.push_back(std::move(s));
    }
    ASSERT_TRUE(saturated) << "the backlog never filled";

    auto refusedAtOnce = quickOptions(closedPort);
    refusedAtOnce.connectTimeoutMs = 60000;  // refusal must not wait for the timeout
    const std::pair<client::ConnectOptions, ErrorKind> cases[] = {
        {refusedAtOnce, ErrorKind::ConnectFailed},
        {quickOptions(silent.port()), ErrorKind::Timeout},
        {quickOptions(backlog.port()), ErrorKind::Timeout},
    };
    for (const auto& [options, expected] : cases) {
        MmsConnection c;
        auto r = c.connect(options);
        ASSERT_FALSE(r.ok()) << options.port;
        EXPECT_EQ(r.error().kind, expected) << r.error().describe();
        EXPECT_FALSE(c.connected());
    }
}

}  // namespace
}  // namespace client_test
