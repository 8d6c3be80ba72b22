// The JSON-RPC export against real HTTP peers on 127.0.0.1, and the key=value
// lines of its configuration (tests/data/jsonrpc) with their messages.
#include "box_harness.hpp"
#include "jsonrpc_config.hpp"
#include "jsonrpc_mapper.hpp"

#include <future>
#include <sstream>

namespace {

using namespace boxtest;

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
    for (const auto& row : dataRows("jsonrpc/answers.txt")) {
        SCOPED_TRACE(row.at(0) + " " + row.at(1));
        JsonRpcPeer peer(row.at(1), std::stoi(row.at(0)));
        const auto console = sendThrough(peer.port());
        std::string line = row.at(2);
        if (line.ends_with("\\n"))
            line.replace(line.size() - 2, 2, "\n");
        EXPECT_NE((console->out + console->err).find(line), std::string::npos) << console->out << console->err;
        EXPECT_EQ(console->out.empty(), !line.starts_with("JsonrpcMapper -> Successfully")) << console->out;
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
