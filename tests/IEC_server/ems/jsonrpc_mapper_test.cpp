// The JSON-RPC export against real HTTP peers on 127.0.0.1.
#include "ems_test_support.hpp"
#include "jsonrpc_mapper.hpp"

#include <future>

namespace {

using namespace emstest;

constexpr const char* kTrue = R"({"jsonrpc":"2.0","id":1,"result":true})";
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

TEST(JsonrpcExport, EachAnswerGivesItsLine)
{
    struct Answer {
        const char* body;
        int status;
        const char* out;
        const char* err;  // a part of standard error; "" for none at all
    };
    for (const Answer& a : {
             Answer{kTrue, 200, "JsonrpcMapper -> Successfully sent values to server.\n", ""},
             {R"({"jsonrpc":"2.0","id":1,"result":false})", 200, "", "JsonrpcMapper -> Failed to send values to server.\n"},
             {kTrue, 500, "", kConnectorError},
             {"", 404, "", kConnectorError},
             {R"({"jsonrpc":"2.0","id":1,"result":"ok"})", 200, "",
              "type must be boolean, but is string"},
             {R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})", 200, "",
              "JsonrpcMapper -> Error sending values: -32601: Method not found\n"},
             {"not json", 200, "", "-32700: invalid JSON response from server"},
             {R"({"jsonrpc":"2.0","id":1})", 200, "", "neither \"result\" nor \"error\""},
             {"[true]", 200, "", "-32603"},
         }) {
        SCOPED_TRACE(std::string(a.body) + " " + std::to_string(a.status));
        JsonRpcTestServer server(a.body, a.status);
        const auto console = sendThrough(server.port());
        EXPECT_EQ(console->out, a.out);
        if (*a.err) {
            EXPECT_NE(console->err.find(a.err), std::string::npos) << console->err;
        } else {
            EXPECT_EQ(console->err, "");
        }
    }
    EXPECT_EQ(sendThrough(closedPort())->err, kConnectorError);
}

// The export on a thread of its own, waited for with a generous deadline.
std::string errorOutputOfUnansweredExport(int port)
{
    auto done = std::make_shared<std::promise<std::string>>();
    std::thread([done, port] { done->set_value(sendThrough(port)->err); }).detach();
    auto result = done->get_future();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return "export still waiting after 60 s";
    return result.get();
}

TEST(JsonrpcExport, PeersThatNeverAnswerEndWithTheReadOrConnectTimeout)
{
    SilentPeer accepting;
    EXPECT_EQ(errorOutputOfUnansweredExport(accepting.port()), kConnectorError);
    SilentPeer full(0);
    full.occupyQueue();
    EXPECT_EQ(errorOutputOfUnansweredExport(full.port()), kConnectorError);
}

TEST(JsonrpcExport, DisabledSendsNothingButKeepsTheValues)
{
    JsonRpcTestServer server(kTrue);
    JsonrpcMapper mapper(false, "127.0.0.1", server.port());
    EXPECT_EQ(mapper.value1(), 0);
    ConsoleCapture console;
    mapper.updateValues(-4200, 0);
    mapper.updateValues(1500, 7);
    console.finish();
    EXPECT_EQ(mapper.value1(), 1500);
    EXPECT_EQ(mapper.value2(), 7);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(console.out + console.err, "");
}

}  // namespace
