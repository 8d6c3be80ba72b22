// The key=value lines of the JSON-RPC configuration and their messages.
#include "ems_test_support.hpp"
#include "jsonrpc_config.hpp"

#include <sstream>
#include <stdexcept>

namespace {

struct Case {
    const char* text;
    JsonrpcConfig before;
    JsonrpcConfig after;
    const char* out;
    const char* err;
};

const Case kCases[] = {
    {"jsonrpcEnabled = true\njsonrpcHost=  192.168.1.20 \njsonrpcPort=8383\n", {}, {true, "192.168.1.20", 8383},
     "jsonrpcEnabled: true\njsonrpcHost: 192.168.1.20\njsonrpcPort: 8383\n", ""},
    {"json rpc Port\t=\t7000\t\n", {}, {false, "localhost", 7000}, "jsonrpcPort: 7000\n", ""},
    // only lower-case "true" enables
    {"jsonrpcEnabled=True\n", {true, "h", 1}, {false, "h", 1}, "jsonrpcEnabled: false\n", ""},
    {"jsonrpcEnabled=1\n", {true, "h", 1}, {false, "h", 1}, "jsonrpcEnabled: false\n", ""},
    // the port read as stoi reads it
    {"jsonrpcPort=80abc\njsonrpcPort=  +8080\n", {}, {false, "localhost", 8080}, "jsonrpcPort: 80\njsonrpcPort: 8080\n",
     ""},
    // lines without a value are skipped silently
    {"jsonrpcHost=\njsonrpcHost=   \t\n\njust text\n=\n", {false, "kept", 5000}, {false, "kept", 5000}, "", ""},
    {"=value\n# note=1\njsonrpcPort=6000\n", {}, {false, "localhost", 6000}, "jsonrpcPort: 6000\n",
     "Unknown key in JSONRPC_config.conf: \nUnknown key in JSONRPC_config.conf: #note\n"},
    {"jsonrpcHost=a=b\njsonrpcPort=1\njsonrpcPort=2\n", {}, {false, "a=b", 2},
     "jsonrpcHost: a=b\njsonrpcPort: 1\njsonrpcPort: 2\n", ""},
    {"jsonrpcEnabled=true\r\njsonrpcHost=10.0.0.7\r\njsonrpcPort=8383\r\n\r\n", {}, {true, "10.0.0.7", 8383},
     "jsonrpcEnabled: true\njsonrpcHost: 10.0.0.7\njsonrpcPort: 8383\n", ""},
};

TEST(JsonrpcConfig, LinesAreAppliedAndReported)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        JsonrpcConfig config = c.before;
        std::istringstream in(c.text);
        emstest::ConsoleCapture console;
        applyJsonrpcConfig(in, config);
        console.finish();
        EXPECT_EQ(config.enabled, c.after.enabled);
        EXPECT_EQ(config.host, c.after.host);
        EXPECT_EQ(config.port, c.after.port);
        EXPECT_EQ(console.out, c.out);
        EXPECT_EQ(console.err, c.err);
    }
}

TEST(JsonrpcConfig, PortWithoutNumberThrowsAfterEarlierLines)
{
    JsonrpcConfig config;
    std::istringstream in("jsonrpcHost=ems.local\njsonrpcPort=abc\njsonrpcEnabled=true\n");
    std::istringstream huge("jsonrpcPort=99999999999\n");
    emstest::ConsoleCapture console;
    EXPECT_THROW(applyJsonrpcConfig(in, config), std::invalid_argument);
    EXPECT_THROW(applyJsonrpcConfig(huge, config), std::out_of_range);
    console.finish();
    EXPECT_EQ(config.host, "ems.local");
    EXPECT_FALSE(config.enabled);
    EXPECT_EQ(config.port, 5000);
}

}  // namespace
