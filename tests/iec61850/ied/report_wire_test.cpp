// A recorded loopback session with reports: tshark must decode every PDU
// cleanly, the GI report must follow the write response, and its layout must
// match the captured reference report.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <thread>

// test_ied does not link the wire support library: its sources are built
// here and in report_wire_capture_test.cpp.
#include "../../support/pcap_writer.cpp"
#include "../../support/tshark.cpp"

using namespace iec61850;
using namespace test_support;
using mms::Value;

namespace {

constexpr const char* kDomain = "BOXCLS1";

inline constexpr ied::AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, TRG_OPT_DATA_CHANGED},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};

struct WireModel {
    WireModel()
    {
        auto* ld = b.device("CLS1");
        auto* lln0 = b.node(ld, "LLN0");
        auto* ggio = b.node(ld, "GGIO1");
        ind = b.object(ggio, "Ind", kEns);
        b.object(ggio, "Alm", kEns);
        DataSet* set = b.dataSet(lln0, "dataset01");
        b.dataSetEntry(set, "CLS1", "GGIO1$ST$Ind");
        b.dataSetEntry(set, "CLS1", "GGIO1$ST$Alm");
        b.reportControl(lln0, "reportControl0101", "CLS1/report01", false, "dataset01", 1, 23, 142, 0, 0);
    }
    ied::ModelBuilder b{"BOX"};
    DataObject* ind = nullptr;
};

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

// Relays one connection to the server and records both directions.
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
        bool open[2] = {true, true};
        const int fds[2] = {client.get(), server.get()};
        std::array<std::uint8_t, 65536> buf;
        while (open[0] || open[1]) {
            pollfd p2[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
            if (::poll(p2, 2, kIdleLimitMs) <= 0)
                return;
            for (int i = 0; i < 2; ++i) {
                if (!p2[i].revents)
                    continue;
                const ssize_t n = ::recv(fds[i], buf.data(), buf.size(), 0);
                if (n <= 0) {
                    open[i] = false;
                    ::shutdown(fds[1 - i], SHUT_WR);
                    continue;
                }
                const ByteView chunk(buf.data(), static_cast<std::size_t>(n));
                i == 0 ? transcript_.toServer(chunk) : transcript_.toClient(chunk);
                for (std::size_t sent = 0; sent < chunk.size();) {
                    const ssize_t m = ::send(fds[1 - i], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
                    if (m <= 0)
                        break;
                    sent += static_cast<std::size_t>(m);
                }
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

std::vector<mms::Pdu> decodeAll(const std::vector<Bytes>& pdus)
{
    std::vector<mms::Pdu> out;
    for (const Bytes& b : pdus) {
        mms::Pdu p;
        EXPECT_EQ(mms::decodePdu(b, p), ber::Status::Ok);
        out.push_back(std::move(p));
    }
    return out;
}

const mms::InformationReport* reportIn(const mms::Pdu& p)
{
    const auto* u = std::get_if<mms::UnconfirmedPdu>(&p);
    return u ? &u->report : nullptr;
}

// The kinds of the fields before the values: RptID .. inclusion.
std::vector<Value::Kind> headerKinds(const mms::InformationReport& r, std::size_t count)
{
    std::vector<Value::Kind> kinds;
    for (std::size_t i = 0; i < count && i < r.results.size(); ++i)
        kinds.push_back(r.results[i].kind());
    return kinds;
}

}  // namespace

TEST(ReportWire, RecordedSessionDecodesCleanlyAndMatchesTheCapturedLayout)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    WireModel m;
    IedServer server = IedServer_create(m.b.model());
    ASSERT_NE(server, nullptr);
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_start(server, 0);
    Relay relay(static_cast<std::uint16_t>(IedServer_getPort(server)));
    ASSERT_NE(relay.port(), 0);
    {
        client::MmsConnection c;
        std::size_t reports = 0;
        c.setReportHandler([&](const mms::InformationReport&) { ++reports; });
        client::ConnectOptions o;
        o.port = relay.port();
        ASSERT_TRUE(c.connect(o).ok());
        EXPECT_TRUE(c.read(kDomain, "LLN0$RP$reportControl0101").ok());
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$RptEna", Value::boolean(true)).ok());
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$GI", Value::boolean(true)).ok());
        for (int i = 0; i < 50 && reports < 1; ++i)
            (void)c.waitForReports(100);
        IedServer_updateInt32AttributeValue(server, static_cast<DataAttribute*>(ModelNode_getByPath(m.ind, "stVal")), 9);
        for (int i = 0; i < 50 && reports < 2; ++i)
            (void)c.waitForReports(100);
        EXPECT_EQ(reports, 2u);
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$RptEna", Value::boolean(false)).ok());
        EXPECT_TRUE(c.release().ok());
    }
    const Transcript& t = relay.finish();
    IedServer_destroy(server);

    const std::string pcap = ::testing::TempDir() + "report-session.pcap";
    const Decode d = decodeTranscript(pcap, t, {"mms.unconfirmedService", "mms.confirmedServiceResponse"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), 2u) << d.summary();

    std::ifstream in(pcap, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Capture ours(file, 4102);
    const std::vector<mms::Pdu> sent = decodeAll(ours.serverPdus());

    // The order: read, write, write, GI report, change report, write.
    std::vector<std::string> order;
    for (const mms::Pdu& p : sent) {
        if (reportIn(p))
            order.push_back("report");
        else if (const auto* r = std::get_if<mms::ConfirmedResponse>(&p))
            order.push_back(std::holds_alternative<mms::WriteResponse>(r->service) ? "write" : "other");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"other", "write", "write", "report", "report", "write"}));

    // Our GI report against the captured one: same header layout, one value
    // and one GI reason per member.
    const mms::InformationReport* gi = nullptr;
    for (const mms::Pdu& p : sent)
        if (!gi)
            gi = reportIn(p);
    const mms::InformationReport* reference = nullptr;
    const std::vector<mms::Pdu> captured = decodeAll(capture("07-report-gi-cls1").serverPdus());
    for (const mms::Pdu& p : captured)
        if (!reference)
            reference = reportIn(p);
    ASSERT_TRUE(gi && reference);
    EXPECT_EQ(gi->access, reference->access);
    EXPECT_EQ(headerKinds(*gi, 6), headerKinds(*reference, 6));
    EXPECT_EQ(gi->results[0], reference->results[0]);  // RptID
    EXPECT_EQ(gi->results[1], reference->results[1]);  // OptFlds
    EXPECT_EQ(gi->results[4], reference->results[4]);  // ConfRev
    EXPECT_EQ(gi->results[5].bitStringSize(), 2u);
    ASSERT_EQ(gi->results.size(), 6u + 2 * 2);
    EXPECT_EQ(gi->results[8], reference->results.back());  // reason GI
    EXPECT_EQ(gi->results[9], reference->results.back());
}
