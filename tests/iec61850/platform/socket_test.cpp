#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

using namespace iec61850::platform;

namespace {

// Waits (poll, no timing assertions) until the socket is readable.
void waitReadable(int fd)
{
    PollEntry e{fd, true, false};
    ASSERT_EQ(poll({&e, 1}, 5000), 1);
}

struct Pair {
    Listener listener;
    Socket client;
    Socket server;
};

void connectPair(Pair& p)
{
    ASSERT_EQ(p.listener.open("127.0.0.1", 0), NetStatus::Ok);
    ASSERT_NE(p.listener.port(), 0);
    ASSERT_EQ(connectTcp("127.0.0.1", p.listener.port(), 5000, p.client), NetStatus::Ok);
    waitReadable(p.listener.fd());
    ASSERT_EQ(p.listener.accept(p.server), NetStatus::Ok);
}

}  // namespace

TEST(Socket, ExchangesBytesAndReportsAddresses)
{
    Pair p;
    connectPair(p);
    std::string port = std::to_string(p.listener.port());
    EXPECT_EQ(p.listener.localAddress(), "127.0.0.1:" + port);
    EXPECT_EQ(p.client.peerAddress(), "127.0.0.1:" + port);
    EXPECT_EQ(p.server.localAddress(), "127.0.0.1:" + port);
    EXPECT_EQ(p.server.peerAddress(), p.client.localAddress());

    std::array<std::uint8_t, 16> buf{};
    EXPECT_EQ(p.server.recv(buf).status, NetStatus::WouldBlock);

    const std::array<std::uint8_t, 4> msg{0x03, 0x00, 0x00, 0x04};
    IoResult sent = p.client.send(msg);
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(sent.count, msg.size());
    waitReadable(p.server.fd());
    IoResult got = p.server.recv(buf);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.count, msg.size());
    EXPECT_TRUE(std::equal(msg.begin(), msg.end(), buf.begin()));

    p.server.shutdownWrite();  // half close: end of stream for the client only
    waitReadable(p.client.fd());
    EXPECT_EQ(p.client.recv(buf).status, NetStatus::Closed);
    p.client.close();
    waitReadable(p.server.fd());
    EXPECT_EQ(p.server.recv(buf).status, NetStatus::Closed);
}

TEST(Socket, MovedSocketOwnsTheDescriptorOnce)
{
    Pair p;
    connectPair(p);
    int fd = p.client.fd();
    Socket moved = std::move(p.client);
    EXPECT_FALSE(p.client.valid());
    EXPECT_EQ(moved.fd(), fd);
    Socket assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.fd(), fd);
    EXPECT_EQ(moved.recv(std::span<std::uint8_t>{}).status, NetStatus::Error);
}

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
    EXPECT_EQ(c.peerAddress(), "[::1]:" + std::to_string(l.port()));
}

TEST(Waker, InterruptsPollFromAnotherThread)
{
    Waker w;
    ASSERT_TRUE(w.valid());
    std::thread t([&] { w.wake(); });
    PollEntry e{w.fd(), true, false};
    EXPECT_EQ(poll({&e, 1}, -1), 1);
    EXPECT_TRUE(e.readable);
    t.join();
    w.drain();
    EXPECT_EQ(poll({&e, 1}, 0), 0);
}
