// Built into test_server, whose runtime tests cover IPv4 listeners and sockets.
#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace iec61850::platform;

TEST(Listener, ServesIpv6LoopbackWhenAvailable)
{
    Listener l;
    if (l.open("::1", 0) != NetStatus::Ok)
        GTEST_SKIP() << "no IPv6 loopback";
    Socket c;
    ASSERT_EQ(connectTcp("::1", l.port(), 5000, c), NetStatus::Ok);
    Socket moved = std::move(c);  // owns the descriptor once
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(moved.peerAddress(), "[::1]:" + std::to_string(l.port()));
}
