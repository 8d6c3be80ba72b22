// The key=value lines of the JSON-RPC configuration and their messages.
#include "ems_test_support.hpp"
#include "jsonrpc_config.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace {

using emstest::ConsoleCapture;

struct Applied {
    JsonrpcConfig config;
    std::string out;
    std::string err;
};

Applied apply(const std::string& text, JsonrpcConfig config = {})
{
    std::istringstream in(text);
    ConsoleCapture console;
    applyJsonrpcConfig(in, config);
    console.finish();
    return {config, console.out(), console.err()};
}

TEST(JsonrpcConfig, BlanksAroundValuesAndKeys)
{
    const Applied a = apply("jsonrpcEnabled = true\njsonrpcHost=  192.168.1.20 \njsonrpcPort=8383\n");
    EXPECT_TRUE(a.config.enabled);
    EXPECT_EQ(a.config.host, "192.168.1.20");
    EXPECT_EQ(a.config.port, 8383);
    EXPECT_EQ(a.out, "jsonrpcEnabled: true\njsonrpcHost: 192.168.1.20\njsonrpcPort: 8383\n");
    EXPECT_EQ(a.err, "");

    EXPECT_EQ(apply("json rpc Port\t=\t7000\t\n").config.port, 7000);
}

TEST(JsonrpcConfig, OnlyLowerCaseTrueEnables)
{
    const Applied capital = apply("jsonrpcEnabled=True\n", JsonrpcConfig{true, "h", 1});
    EXPECT_FALSE(capital.config.enabled);
    EXPECT_EQ(capital.out, "jsonrpcEnabled: false\n");
    EXPECT_FALSE(apply("jsonrpcEnabled=1\n").config.enabled);
}

TEST(JsonrpcConfig, PortReadLikeStoi)
{
    EXPECT_EQ(apply("jsonrpcPort=80abc\n").config.port, 80);
    EXPECT_EQ(apply("jsonrpcPort=  +8080\n").config.port, 8080);
}

TEST(JsonrpcConfig, PortWithoutNumberThrowsAfterEarlierLines)
{
    JsonrpcConfig config;
    std::istringstream in("jsonrpcHost=ems.local\njsonrpcPort=abc\njsonrpcEnabled=true\n");
    ConsoleCapture console;
    EXPECT_THROW(applyJsonrpcConfig(in, config), std::invalid_argument);
    std::istringstream huge("jsonrpcPort=99999999999\n");
    EXPECT_THROW(applyJsonrpcConfig(huge, config), std::out_of_range);
    console.finish();
    EXPECT_EQ(config.host, "ems.local");
    EXPECT_FALSE(config.enabled);
    EXPECT_EQ(config.port, 5000);
}

TEST(JsonrpcConfig, LinesWithoutValueAreSkippedSilently)
{
    const Applied a = apply("jsonrpcHost=\njsonrpcHost=   \t\n\njust text\n=\n", JsonrpcConfig{false, "kept", 5000});
    EXPECT_EQ(a.config.host, "kept");
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(a.err, "");
}

TEST(JsonrpcConfig, UnknownKeysAreReportedAndSkipped)
{
    const Applied a = apply("=value\n# note=1\njsonrpcPort=6000\n");
    EXPECT_EQ(a.err, "Unknown key in JSONRPC_config.conf: \nUnknown key in JSONRPC_config.conf: #note\n");
    EXPECT_EQ(a.config.port, 6000);
}

TEST(JsonrpcConfig, ValueKeepsEqualsSignsAndLastLineWins)
{
    const Applied a = apply("jsonrpcHost=a=b\njsonrpcPort=1\njsonrpcPort=2\n");
    EXPECT_EQ(a.config.host, "a=b");
    EXPECT_EQ(a.config.port, 2);
}

TEST(JsonrpcConfig, CarriageReturnLineEndsRead)
{
    const Applied a = apply("jsonrpcEnabled=true\r\njsonrpcHost=10.0.0.7\r\njsonrpcPort=8383\r\n\r\n");
    EXPECT_TRUE(a.config.enabled);
    EXPECT_EQ(a.config.host, "10.0.0.7");
    EXPECT_EQ(a.config.port, 8383);
    EXPECT_EQ(a.err, "");
}

}  // namespace
