#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace iec61850::platform;

TEST(Listener, RejectsBadAddressAcceptsNothingWhenIdleAndRefusesOnceClosed)
{
    std::uint16_t port;
    {
        Listener l;
        EXPECT_EQ(l.open("not an address", 0), NetStatus::BadAddress);
        ASSERT_EQ(l.open("127.0.0.1", 0), NetStatus::Ok);
        Socket s;
        EXPECT_EQ(l.accept(s), NetStatus::WouldBlock);
        EXPECT_FALSE(s.valid());
        port = l.port();
    }
    Socket s;
    EXPECT_EQ(connectTcp("127.0.0.1", port, 5000, s), NetStatus::Refused);
    EXPECT_FALSE(s.valid());
}

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
