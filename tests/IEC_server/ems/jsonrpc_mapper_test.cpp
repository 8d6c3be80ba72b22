// The JSON-RPC export against real HTTP peers on 127.0.0.1.
#include "ems_test_support.hpp"
#include "jsonrpc_mapper.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using namespace emstest;

constexpr const char* kConnectorError = "JsonrpcMapper -> Error sending values: -32003: "
                                        "client connector error, received status != 200\n";

std::unique_ptr<ConsoleCapture> sendThrough(int port, std::int64_t value1 = -4200, std::int64_t value2 = 0)
{
    auto console = std::make_unique<ConsoleCapture>();
    JsonrpcMapper mapper(true, "127.0.0.1", port);
    mapper.updateValues(value1, value2);
    console->finish();
    return console;
}

std::unique_ptr<ConsoleCapture> exchange(const std::string& responseBody, int status = 200)
{
    JsonRpcTestServer server(answer(responseBody, status));
    return sendThrough(server.port());
}

TEST(JsonrpcExport, RequestBodyByteForByte)
{
    JsonRpcTestServer server(answer(R"({"jsonrpc":"2.0","id":1,"result":true})"));
    sendThrough(server.port(), -4200, 0);
    sendThrough(server.port(), 2147483647, 0);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/jsonrpc");
    EXPECT_EQ(requests[0].contentType, "application/json");
    EXPECT_EQ(requests[0].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[-4200,0]})");
    EXPECT_EQ(requests[1].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[2147483647,0]})");
}

TEST(JsonrpcExport, ResultTrueIsSuccess)
{
    auto console = exchange(R"({"jsonrpc":"2.0","id":1,"result":true})");
    EXPECT_EQ(console->out(), "JsonrpcMapper -> Successfully sent values to server.\n");
    EXPECT_EQ(console->err(), "");
}

TEST(JsonrpcExport, ResultFalseIsReportedAsFailure)
{
    auto console = exchange(R"({"jsonrpc":"2.0","id":1,"result":false})");
    EXPECT_EQ(console->out(), "");
    EXPECT_EQ(console->err(), "JsonrpcMapper -> Failed to send values to server.\n");
}

TEST(JsonrpcExport, StatusOtherThan200IsAConnectorError)
{
    EXPECT_EQ(exchange(R"({"jsonrpc":"2.0","id":1,"result":true})", 500)->err(), kConnectorError);
    EXPECT_EQ(exchange("", 404)->err(), kConnectorError);
}

TEST(JsonrpcExport, NothingListeningIsAConnectorError)
{
    EXPECT_EQ(sendThrough(closedPort())->err(), kConnectorError);
}

TEST(JsonrpcExport, NonBooleanResultGivesTheJsonTypeError)
{
    const std::string err = exchange(R"({"jsonrpc":"2.0","id":1,"result":"ok"})")->err();
    EXPECT_EQ(err.rfind("JsonrpcMapper -> Error sending values: ", 0), 0u) << err;
    EXPECT_NE(err.find("type must be boolean, but is string"), std::string::npos) << err;
}

TEST(JsonrpcExport, ServerErrorsAndMalformedResponsesAreReported)
{
    EXPECT_EQ(exchange(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})")->err(),
              "JsonrpcMapper -> Error sending values: -32601: Method not found\n");
    EXPECT_NE(exchange("not json")->err().find("-32700: invalid JSON response from server"), std::string::npos);
    EXPECT_NE(exchange(R"({"jsonrpc":"2.0","id":1})")->err().find("neither \"result\" nor \"error\""),
              std::string::npos);
    EXPECT_NE(exchange("[true]")->err().find("-32603"), std::string::npos);
}

// Runs the export on a thread of its own and waits for it with a generous deadline.
std::string errorOutputOfUnansweredExport(int port)
{
    auto done = std::make_shared<std::promise<std::string>>();
    std::thread([done, port] {
        done->set_value(sendThrough(port)->err());
    }).detach();
    auto result = done->get_future();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return "export still waiting after 60 s";
    return result.get();
}

TEST(JsonrpcExport, PeerThatNeverAnswersEndsWithTheReadTimeout)
{
    SilentPeer peer;
    EXPECT_EQ(errorOutputOfUnansweredExport(peer.port()), kConnectorError);
}

TEST(JsonrpcExport, ConnectionAttemptWithoutAnswerEndsWithTheConnectTimeout)
{
    SilentPeer peer(0);
    peer.occupyQueue();
    EXPECT_EQ(errorOutputOfUnansweredExport(peer.port()), kConnectorError);
}

TEST(JsonrpcExport, DisabledSendsNothingButKeepsTheValues)
{
    JsonRpcTestServer server(answer(R"({"jsonrpc":"2.0","id":1,"result":true})"));
    JsonrpcMapper mapper(false, "127.0.0.1", server.port());
    EXPECT_EQ(mapper.value1(), 0);
    ConsoleCapture console;
    mapper.updateValues(-4200, 0);
    mapper.updateValues(1500, 7);
    console.finish();
    EXPECT_EQ(mapper.value1(), 1500);
    EXPECT_EQ(mapper.value2(), 7);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err(), "");
}

}  // namespace
