// Connections that fail: nobody listening, nobody answering, a server
// stopped or its process killed under a waiting client.
#include "test_server.hpp"

#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace client_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using mms::Value;

client::ConnectOptions quickOptions(std::uint16_t port)
{
    client::ConnectOptions o;
    o.port = port;
    o.connectTimeoutMs = o.requestTimeoutMs = 300;
    return o;
}

TEST(ConnectFailure, NobodyListeningNoRoomSilenceAndAFullBacklog)
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
        const auto status = platform::connectTcp("127.0.0.1", backlog.port(), 200, s);
        saturated = status == platform::NetStatus::TimedOut;
        if (status == platform::NetStatus::Ok)
            fillers.push_back(std::move(s));
    }
    ASSERT_TRUE(saturated) << "the backlog never filled";

    server::ServerConfig noRoom;  // accepts and closes at once, as for one client too many
    noRoom.maxConnections = 0;
    TestServer full(noRoom);

    auto refusedAtOnce = quickOptions(closedPort);
    refusedAtOnce.connectTimeoutMs = 60000;  // refusal must not wait for the timeout
    const std::pair<client::ConnectOptions, ErrorKind> cases[] = {
        {refusedAtOnce, ErrorKind::ConnectFailed},
        {full.options(), ErrorKind::Refused},
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

TEST(AbruptEnd, AServerStoppedUnderAnIdleClientIsNoticed)
{
    auto server = std::make_unique<TestServer>();
    MmsConnection c;
    ASSERT_TRUE(c.connect(server->options()).ok());
    server.reset();
    EXPECT_EQ(c.read(kDevice, "Types$i").error().kind, ErrorKind::ConnectionLost);
    EXPECT_FALSE(c.connected());
    EXPECT_FALSE(c.release().ok());
}

// The server runs in a child process; when the write reaches the model the
// child tells us and we kill it while our write waits for the answer.
TEST(AbruptEnd, AServerProcessKilledUnderAWaitingWriteEndsIt)
{
    int toParent[2];
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(toParent[0]);
        auto model = makeModel();
        model->setWriteCheck([fd = toParent[1]](auto&&...) -> std::optional<mms::DataAccessError> {
            const char c = 'w';
            (void)!::write(fd, &c, 1);
            for (;;)
                ::pause();
        });
        server::MmsServer s(*model);
        if (s.listen("127.0.0.1", 0) != platform::NetStatus::Ok)
            ::_exit(1);
        const std::uint16_t port = s.port();
        (void)!::write(toParent[1], &port, sizeof port);
        for (;;)
            s.step(1000);
    }
    ::close(toParent[1]);
    std::uint16_t port = 0;
    ASSERT_EQ(::read(toParent[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));

    std::thread killer([&] {
        char c;
        if (::read(toParent[0], &c, 1) == 1)
            ::kill(child, SIGKILL);
    });
    MmsConnection c;
    auto o = quickOptions(port);
    o.connectTimeoutMs = o.requestTimeoutMs = 10000;
    const auto connected = c.connect(o);
    client::Outcome w = connected.ok() ? c.write(kDevice, "Types$i", Value::integer(1)) : connected;
    ::kill(child, SIGKILL);
    killer.join();
    ::waitpid(child, nullptr, 0);
    ::close(toParent[0]);

    ASSERT_TRUE(connected.ok()) << connected.error().describe();
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().kind, ErrorKind::ConnectionLost) << w.error().describe();
}

}  // namespace
}  // namespace client_test
