// Our client against our threaded server over real loopback TCP, through a
// relay that records both byte streams; tshark must decode them cleanly.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "sample_model.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <thread>

using namespace iec61850;
using namespace test_support;

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Accepts one connection on 127.0.0.1 and relays it to the server port,
// recording what passes each way.
class Relay {
public:
    explicit Relay(std::uint16_t serverPort) : serverPort_(serverPort), listener_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_.get(), 1) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~Relay() { finish(); }

    std::uint16_t port() const { return port_; }

    const Transcript& finish()
    {
        if (thread_.joinable())
            thread_.join();
        return transcript_;
    }

private:
    void run()
    {
        pollfd p{listener_.get(), POLLIN, 0};
        if (::poll(&p, 1, kIdleLimitMs) != 1)
            return;
        Fd client(::accept(listener_.get(), nullptr, nullptr));
        Fd server(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in a = loopback(serverPort_);
        if (client.get() < 0 || ::connect(server.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            return;
        relay(client.get(), server.get());
    }

    void relay(int client, int server)
    {
        bool clientOpen = true, serverOpen = true;
        std::array<std::uint8_t, 65536> buf;
        while (clientOpen || serverOpen) {
            pollfd fds[2] = {{clientOpen ? client : -1, POLLIN, 0}, {serverOpen ? server : -1, POLLIN, 0}};
            if (::poll(fds, 2, kIdleLimitMs) <= 0)
                return;  // nothing for a long while: give up rather than hang
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents)
                    continue;
                const int from = i == 0 ? client : server, to = i == 0 ? server : client;
                const ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    (i == 0 ? clientOpen : serverOpen) = false;
                    ::shutdown(to, SHUT_WR);
                    continue;
                }
                const ByteView chunk(buf.data(), static_cast<std::size_t>(n));
                i == 0 ? transcript_.toServer(chunk) : transcript_.toClient(chunk);
                writeAll(to, buf.data(), chunk.size());
            }
        }
    }

    static constexpr int kIdleLimitMs = 10000;
    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    Fd listener_;
    Transcript transcript_;
    std::thread thread_;
};

template <typename T>
void expectOk(const client::Result<T>& r, const char* what)
{
    EXPECT_TRUE(r.ok()) << what << ": " << (r.ok() ? "" : r.error().describe());
}

}  // namespace

TEST(LoopbackSession, OurClientAgainstOurServer)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    auto model = makeSampleModel();
    server::MmsServer server(*model);
    ASSERT_EQ(server.listen("127.0.0.1", 0), platform::NetStatus::Ok);
    ASSERT_TRUE(server.start());
    Relay relay(server.port());
    ASSERT_NE(relay.port(), 0);

    {
        client::MmsConnection c;
        client::ConnectOptions options;
        options.port = relay.port();
        options.maxPduSize = 1200;  // name lists need continuing
        ASSERT_TRUE(c.connect(options).ok());

        expectOk(c.identify(), "identify");
        expectOk(c.status(), "status");
        const auto domains = c.domainNames();
        expectOk(domains, "domains");
        if (domains.ok()) {
            EXPECT_EQ(domains->size(), 3u);
        }
        expectOk(c.variableNames(kCls1), "variable names");
        expectOk(c.variableListNames(kCls1), "list names");
        expectOk(c.journalNames(kStb), "journal names");
        expectOk(c.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001$CO"), "type");
        const auto f = c.read(kCls1, "MMXU001$MX$TotW$mag$f");
        expectOk(f, "read");
        if (f.ok()) {
            EXPECT_FLOAT_EQ(f->toFloat(), 1234.5f);
        }
        expectOk(c.readList(kCls1, "LLN0$dataset01"), "read list");
        expectOk(c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", mms::Value::float32(12.5f)), "write");
        EXPECT_FALSE(c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", mms::Value::boolean(true)).ok());
        expectOk(c.variableListAttributes(kCls1, "LLN0$dataset01"), "list attributes");
        const client::VariableRef members[] = {{kCls1, "MMXU001$MX$TotW"}};
        (void)c.defineVariableList(kCls1, "LLN0$mine", members);  // refused or done: either is a clean answer
        (void)c.deleteVariableList(kCls1, "LLN0$mine");

        std::size_t reports = 0;
        c.setReportHandler([&](const mms::InformationReport&) { ++reports; });
        {
            auto lock = server.lockModel();
            const mms::Value* values[] = {model->value(kCls1, "MMXU001$MX$TotW")};
            EXPECT_EQ(server.broadcastInformationReport(
                          mms::VariableAccessSpec::single(mms::ObjectName::inDomain(kCls1, "MMXU001$MX$TotW")), values),
                      1u);
        }
        expectOk(c.waitForReports(5000), "reports");
        EXPECT_EQ(reports, 1u);
        expectOk(c.release(), "release");
    }
    const Transcript& t = relay.finish();
    server.stop();

    const Decode d = decodeTranscript("loopback-session.pcap", t,
                                      {"mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
                                       "mms.unconfirmedService", "acse.rlre_element", "tcp.analysis.flags"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    EXPECT_GE(d.count("mms.confirmedServiceRequest", "1"), 4u) << d.summary();  // with continuations
    for (const char* service : {"0", "1", "2", "4", "5", "6", "12"})
        EXPECT_GE(d.count("mms.confirmedServiceResponse", service), 1u) << "service " << service;
    EXPECT_EQ(d.count("mms.unconfirmedService", "0"), 1u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}
