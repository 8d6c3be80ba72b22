#include "wire_helpers.hpp"

#include "iec61850/platform/clock.hpp"
#include "iec61850/platform/socket.hpp"
#include "iec61850/server/mms_server.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <filesystem>
#include <mutex>

using namespace test;
using iec61850::server::ClientContext;
using iec61850::server::InMemoryModel;
using iec61850::server::MmsServer;
using iec61850::server::ServerConfig;
namespace platform = iec61850::platform;

namespace {

constexpr std::string_view kCls1 = "FNN_STEUERBOXCLS1";

// A structure of 400 doubles: about 4 kB a read.
void addBig(InMemoryModel& model)
{
    using T = mms::TypeDescription;
    model.addDomain(kCls1);
    std::vector<T> big;
    for (int i = 0; i < 400; ++i)
        big.push_back(T::float64().named("v" + std::to_string(i)));
    model.addVariable(kCls1, "Big", T::structure(std::move(big)));
}

// Waits on a condition the server's own thread brings about; bounded, never asserted on time.
template <typename Pred>
bool until(Pred done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        platform::sleepMs(2);
    return done();
}

// A client on raw sockets speaking the capture bytes.
struct RawClient {
    platform::Socket socket;
    Bytes inbox;
    bool eof = false;

    bool connect(std::uint16_t port) { return platform::connectTcp("127.0.0.1", port, 5000, socket) == platform::NetStatus::Ok; }

    bool send(ByteView bytes)
    {
        while (!bytes.empty()) {
            platform::IoResult r = socket.send(bytes);
            if (r.status == platform::NetStatus::WouldBlock) {
                platform::PollEntry e{socket.fd(), false, true};
                platform::poll({&e, 1}, 100);
                continue;
            }
            if (!r.ok())
                return false;
            bytes = bytes.subspan(r.count);
        }
        return true;
    }

    // Waits (at most 10 s) for what the server sends next, or for its close.
    bool readMore()
    {
        platform::PollEntry e{socket.fd(), true, false};
        if (eof || platform::poll({&e, 1}, 10000) <= 0)
            return false;
        std::uint8_t buf[4096];
        for (;;) {
            platform::IoResult r = socket.recv(buf);
            if (r.status == platform::NetStatus::WouldBlock)
                return true;
            if (!r.ok()) {
                eof = true;
                return false;
            }
            inbox.insert(inbox.end(), buf, buf + r.count);
        }
    }

    // Reads until `count` answers have arrived (or nothing more comes).
    std::vector<Answer> read(std::size_t count)
    {
        std::vector<Answer> answers;
        test_support::splitAnswers(inbox, answers);
        while (answers.size() < count && readMore())
            test_support::splitAnswers(inbox, answers);
        return answers;
    }

    bool associate()
    {
        const auto& in = captured("01-associate-identify");
        if (!send(in[0]) || read(1).size() != 1 || !send(in[1]))
            return false;
        auto answers = read(1);
        return answers.size() == 1 && answers[0].raw.size() > 7 && answers[0].raw[7] == 0x0E;  // after TPKT and DT: AC
    }

    bool identify()
    {
        EXPECT_TRUE(send(captured("01-associate-identify")[2]));
        auto answers = read(1);
        const mms::Pdu pdu = answers.size() == 1 && !answers[0].mms.empty() ? decode(answers[0].mms) : mms::RejectPdu{};
        auto* r = std::get_if<mms::ConfirmedResponse>(&pdu);
        return r && std::holds_alternative<mms::IdentifyResponse>(r->service);
    }

    // Waits for the server to close the connection without sending anything.
    bool closedSilently()
    {
        while (readMore())
            ;
        return eof && inbox.empty();
    }
};

// The server's end of a client's connection, among this process's descriptors.
int serverEndOf(const platform::Socket& client, std::uint16_t serverPort)
{
    sockaddr_in mine{}, local{}, peer{};
    socklen_t size = sizeof mine;
    ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&mine), &size);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        socklen_t a = sizeof local, b = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 && local.sin_family == AF_INET &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0 && ntohs(local.sin_port) == serverPort &&
            peer.sin_port == mine.sin_port)
            return fd;
    }
    return -1;
}

int socketOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

// A server on a free loopback port, serving on its own thread, with the connections
// it opened and closed. (The box serves step by step from its main loop: tests/box.)
struct Served {
    explicit Served(const ServerConfig& config = {}) : server(model, config)
    {
        addBig(model);
        server.setConnectionOpenedHandler([this](const ClientContext& c) {
            std::lock_guard lock(mutex);
            opened.push_back(c);
        });
        server.setConnectionClosedHandler([this](const ClientContext& c) {
            std::lock_guard lock(mutex);
            closed.push_back(c);
        });
        EXPECT_EQ(server.listen("127.0.0.1", 0), platform::NetStatus::Ok);
        EXPECT_TRUE(server.start());
    }
    ~Served()
    {
        server.stop();
        EXPECT_FALSE(server.isRunning());
    }
    std::size_t closedCount()
    {
        std::lock_guard lock(mutex);
        return closed.size();
    }

    InMemoryModel model;
    std::mutex mutex;
    std::vector<ClientContext> opened, closed;
    MmsServer server;
};

class Runtime : public ::testing::Test, protected Served {};

}  // namespace

TEST_F(Runtime, SetsKeepaliveAndReportsTheAddressesOfAConnection)
{
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.associate());
    // Keepalive: a peer that lost power is dropped after 60 s + 3 x 10 s.
    const int serverEnd = serverEndOf(c.socket, server.port());
    ASSERT_GE(serverEnd, 0);
    EXPECT_EQ(socketOption(serverEnd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(socketOption(serverEnd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(socketOption(serverEnd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(socketOption(serverEnd, IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(socketOption(serverEnd, IPPROTO_TCP, TCP_USER_TIMEOUT), 90000);
    c.socket.shutdownWrite();  // the server closes its side too
    EXPECT_TRUE(c.closedSilently());
    ASSERT_TRUE(until([&] { return closedCount() == 1; }));

    std::lock_guard lock(mutex);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].localAddress, "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(opened[0].peerAddress, c.socket.localAddress());
    EXPECT_EQ(closed[0].id, opened[0].id);
    EXPECT_EQ(closed[0].peerAddress, opened[0].peerAddress);
}

TEST_F(Runtime, RefusesOneConnectionTooManyAndFreesTheSlotOfAClientThatJustCloses)
{
    std::vector<RawClient> clients(5);
    for (auto& c : clients) {
        ASSERT_TRUE(c.connect(server.port()));
        ASSERT_TRUE(c.associate());
    }
    RawClient extra;
    ASSERT_TRUE(extra.connect(server.port()));  // the kernel accepts; the server closes it
    EXPECT_TRUE(extra.closedSilently());
    EXPECT_EQ(server.connectionCount(), 5u);
    for (auto& c : clients)
        EXPECT_TRUE(c.identify());
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(opened.size(), 5u);
        EXPECT_TRUE(closed.empty());
    }

    // As in capture 11: the client closes TCP without conclude or release.
    clients[2].socket.close();
    ASSERT_TRUE(until([&] { return closedCount() == 1; }));
    EXPECT_EQ(server.connectionCount(), 4u);
    RawClient next;
    ASSERT_TRUE(next.connect(server.port()));
    ASSERT_TRUE(next.associate());
    EXPECT_TRUE(next.identify());
    EXPECT_TRUE(clients[0].identify());
}

// Half an AARQ, then silence; then more clients than the limit killed
// mid-association, one after another.
TEST_F(Runtime, HalfAssociatedClientsNeitherStallNorLeakSlots)
{
    const auto& in = captured("01-associate-identify");
    auto halfAssociate = [&](RawClient& c) {
        ASSERT_TRUE(c.connect(server.port()));
        ASSERT_TRUE(c.send(in[0]));
        ASSERT_EQ(c.read(1).size(), 1u);
        ASSERT_TRUE(c.send(ByteView(in[1]).first(in[1].size() / 2)));
    };
    RawClient silent;
    halfAssociate(silent);
    RawClient busy;
    ASSERT_TRUE(busy.connect(server.port()));
    ASSERT_TRUE(busy.associate());
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(busy.identify());
    EXPECT_EQ(server.connectionCount(), 2u);

    for (std::size_t i = 1; i <= 6; ++i) {
        {
            RawClient killed;
            halfAssociate(killed);
        }
        ASSERT_TRUE(until([&] { return closedCount() == i; })) << i;
    }
    RawClient after;
    ASSERT_TRUE(after.connect(server.port()));
    ASSERT_TRUE(after.associate());
    EXPECT_TRUE(after.identify());
    EXPECT_TRUE(busy.identify());
}

TEST_F(Runtime, AClientThatPipelinesAndDoesNotReadIsHeldToTheBoundNotTheOthers)
{
    RawClient hog;
    ASSERT_TRUE(hog.connect(server.port()));
    ASSERT_TRUE(hog.associate());
    // Reads of a 400-double structure (~4 kB answers each), sent back to back
    // without collecting an answer. Invoke IDs of two octets: one framing fits all.
    constexpr std::uint32_t kFirst = 128, kReads = 2500;
    mms::ReadRequest r{false, mms::VariableAccessSpec::single(mms::ObjectName::inDomain(std::string(kCls1), "Big"))};
    const Bytes framing = clientTpkt(mms::encodePdu(mms::ConfirmedRequest{kFirst, r}));
    Bytes burst;
    for (std::uint32_t id = kFirst; id < kFirst + kReads; ++id) {
        const Bytes pdu = mms::encodePdu(mms::ConfirmedRequest{id, r});
        burst.insert(burst.end(), framing.begin(), framing.end() - static_cast<std::ptrdiff_t>(pdu.size()));
        burst.insert(burst.end(), pdu.begin(), pdu.end());
    }
    // The socket may stop taking the burst once the server stops reading; send what it takes.
    ByteView rest(burst);
    std::size_t most = 0;
    for (int i = 0; i < 200 && !rest.empty(); ++i) {
        platform::IoResult res = hog.socket.send(rest);
        if (res.ok())
            rest = rest.subspan(res.count);
        platform::sleepMs(1);
        most = std::max(most, server.bufferedBytes());
    }
    EXPECT_LE(most, iec61850::server::outputBound(ServerConfig{}) + 64 * 1024);  // the bound, a read and an answer

    RawClient other;
    ASSERT_TRUE(other.connect(server.port()));
    ASSERT_TRUE(other.associate());
    EXPECT_TRUE(other.identify());

    // The hog reads at last: every read answered in order, by its data or,
    // beyond the five it may have outstanding, by a reject.
    ASSERT_TRUE(hog.send(rest));
    std::vector<Answer> frames = hog.read(kReads);
    ASSERT_EQ(frames.size(), kReads);
    std::size_t data = 0;
    for (std::uint32_t id = kFirst; id < kFirst + kReads; ++id) {
        const mms::Pdu pdu = decode(frames[id - kFirst].mms);
        const auto* answer = std::get_if<mms::ConfirmedResponse>(&pdu);
        const auto* refusal = std::get_if<mms::RejectPdu>(&pdu);
        ASSERT_TRUE(answer || refusal) << id;
        EXPECT_EQ(answer ? answer->invokeId : refusal->invokeId.value_or(0), id);
        data += answer != nullptr;
    }
    EXPECT_GE(data, 5u);
    hog.socket.close();
    ASSERT_TRUE(until([&] { return closedCount() == 1; }));
    EXPECT_TRUE(other.identify());
}

// Reports sent from this thread to one connection or all, and from a write
// handler to the writer, after the response to its write.
TEST_F(Runtime, SendsInformationReportsToTheChosenConnectionsOnly)
{
    const mms::Value rptId = mms::Value::visibleString("CLS1/report01"), big = mms::Value::visibleString(std::string(70000, 'x'));
    const mms::Value* values[] = {&rptId};
    const mms::Value* bigValues[] = {&big};
    auto access = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
    model.setWriteObserver([&](const ClientContext& who, std::string_view, std::string_view, const mms::Value& v) {
        const mms::Value* written[] = {&v};
        EXPECT_TRUE(server.sendInformationReport(who.id, access, written));
    });
    RawClient a, b;
    ASSERT_TRUE(a.connect(server.port()));
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1; }));
    EXPECT_EQ(server.broadcastInformationReport(access, values), 0u);  // not associated yet
    ASSERT_TRUE(a.associate());
    ASSERT_TRUE(b.connect(server.port()));
    ASSERT_TRUE(b.associate());
    iec61850::server::ConnectionId idOfB;
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(opened.size(), 2u);
        idOfB = opened[1].id;
    }
    EXPECT_FALSE(server.sendInformationReport(9999, access, values));
    EXPECT_FALSE(server.sendInformationReport(idOfB, access, bigValues));  // beyond the PDU size
    ASSERT_TRUE(server.sendInformationReport(idOfB, access, values));
    auto frames = b.read(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::get<mms::UnconfirmedPdu>(decode(frames[0].mms)).report, (mms::InformationReport{access, {rptId}}));
    EXPECT_EQ(server.broadcastInformationReport(access, values), 2u);
    EXPECT_EQ(a.read(1).size(), 1u);
    EXPECT_EQ(b.read(1).size(), 1u);

    mms::WriteRequest w{mms::VariableAccessSpec::single(mms::ObjectName::inDomain(std::string(kCls1), "Big$v7")),
                        {mms::Value::float64(7.5)}};
    ASSERT_TRUE(a.send(clientTpkt(mms::encodePdu(mms::ConfirmedRequest{1, w}))));
    frames = a.read(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(response<mms::WriteResponse>(decode(frames[0].mms)).results.size(), 1u);
    EXPECT_EQ(std::get<mms::UnconfirmedPdu>(decode(frames[1].mms)).report.results,
              std::vector<mms::Value>{mms::Value::float64(7.5)});
    EXPECT_TRUE(a.identify());
}


TEST(RuntimeSetup, DropsAClientThatNeverAssociates)
{
    ServerConfig config;
    config.associateTimeoutMs = 500;
    Served s(config);
    RawClient silent;
    ASSERT_TRUE(silent.connect(s.server.port()));
    ASSERT_TRUE(silent.send(captured("01-associate-identify")[0]));  // CR only
    EXPECT_EQ(silent.read(1).size(), 1u);
    EXPECT_TRUE(silent.closedSilently());
    ASSERT_TRUE(until([&] { return s.closedCount() == 1; }));

    RawClient next;  // its own deadline starts at its own accept
    ASSERT_TRUE(next.connect(s.server.port()));
    ASSERT_TRUE(next.associate());
    EXPECT_TRUE(next.identify());
}

TEST(RuntimeSetup, ReportsABadOrTakenAddressAndClosesEveryConnectionAndTheListenerWhenStopped)
{
    Served s;
    const std::uint16_t port = s.server.port();
    MmsServer second(s.model);
    EXPECT_EQ(second.listen("not an address", 0), platform::NetStatus::BadAddress);
    EXPECT_EQ(second.listen("127.0.0.1", port), platform::NetStatus::AddressInUse);
    EXPECT_FALSE(second.start());
    EXPECT_FALSE(second.isRunning());
    RawClient a;
    ASSERT_TRUE(a.connect(port));
    ASSERT_TRUE(a.associate());
    s.server.stop();
    EXPECT_FALSE(s.server.isRunning());
    s.server.close();
    EXPECT_EQ(s.closedCount(), 1u);
    EXPECT_TRUE(a.closedSilently());
    RawClient late;  // the listener is gone with its port
    EXPECT_EQ(platform::connectTcp("127.0.0.1", port, 5000, late.socket), platform::NetStatus::Refused);
}
