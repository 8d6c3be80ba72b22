// The JSON-RPC export against real HTTP peers on 127.0.0.1, and the key=value
// lines of its configuration (tests/data/jsonrpc) with their messages.
#include "box_harness.hpp"
#include "jsonrpc_config.hpp"
#include "jsonrpc_mapper.hpp"

#include <future>
#include <sstream>

namespace {

using namespace boxtest;

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
             {R"({"jsonrpc":"2.0","id":1,"result":"ok"})", 200, "", "type must be boolean, but is string"},
             {R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})", 200, "",
              "JsonrpcMapper -> Error sending values: -32601: Method not found\n"},
             {"not json", 200, "", "-32700: invalid JSON response from server"},
             {R"({"jsonrpc":"2.0","id":1})", 200, "", "neither \"result\" nor \"error\""},
             {"[true]", 200, "", "-32603"},
         }) {
        SCOPED_TRACE(std::string(a.body) + " " + std::to_string(a.status));
        JsonRpcPeer peer(a.body, a.status);
        const auto console = sendThrough(peer.port());
        EXPECT_EQ(console->out, a.out);
        if (*a.err)
            EXPECT_NE(console->err.find(a.err), std::string::npos) << console->err;
        else
            EXPECT_EQ(console->err, "");
        ASSERT_EQ(peer.received().size(), 1u);
        EXPECT_EQ(peer.received()[0].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[-4200,0]})");
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
    JsonRpcPeer peer(kTrue);
    JsonrpcMapper mapper(false, "127.0.0.1", peer.port());
    EXPECT_EQ(mapper.value1(), 0);
    ConsoleCapture console;
    mapper.updateValues(-4200, 0);
    mapper.updateValues(1500, 7);
    console.finish();
    EXPECT_EQ(mapper.value1(), 1500);
    EXPECT_EQ(mapper.value2(), 7);
    EXPECT_EQ(peer.requestCount(), 0u);
    EXPECT_EQ(console.out + console.err, "");
}

// "=== ENABLED HOST PORT -> ENABLED HOST PORT", the file's text, "--- out", standard output, "--- err", standard error.
TEST(JsonrpcConfig, LinesAreAppliedAndReported)
{
    const std::string cases = testsupport::readFile(BOX_TEST_DATA_DIR "/jsonrpc/config-lines.txt");
    auto read = [](std::istringstream in) {
        JsonrpcConfig c;
        std::string enabled;
        in >> enabled >> c.host >> c.port;
        c.enabled = enabled == "true";
        return c;
    };
    int count = 0;
    for (std::size_t at = 0; (at = cases.find("=== ", at)) != std::string::npos; ++count) {
        const auto line = cases.find('\n', at), arrow = cases.find(" -> ", at);
        const auto out = cases.find("--- out\n", line), err = cases.find("--- err\n", out);
        const auto nextCase = cases.find("\n=== ", err);
        const auto next = nextCase == std::string::npos ? cases.size() : nextCase + 1;
        const std::string text = cases.substr(line + 1, out - line - 1);
        SCOPED_TRACE(text);
        JsonrpcConfig config = read(std::istringstream(cases.substr(at + 4, arrow - at - 4)));
        const JsonrpcConfig after = read(std::istringstream(cases.substr(arrow + 4, line - arrow - 4)));
        std::istringstream in(text);
        ConsoleCapture console;
        applyJsonrpcConfig(in, config);
        console.finish();
        EXPECT_EQ(std::tie(config.enabled, config.host, config.port), std::tie(after.enabled, after.host, after.port));
        EXPECT_EQ(console.out, cases.substr(out + 8, err - out - 8));
        EXPECT_EQ(console.err, cases.substr(err + 8, next - err - 8));
        at = next;
    }
    EXPECT_EQ(count, 9);
}

}  // namespace
