// Report latency (update to the client's receipt, median and 99th
// percentile) and updates per second with one and four enabled report
// control blocks, over loopback TCP.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace iec61850;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kDomain = "BENCHCLS1";
inline constexpr ied::AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, TRG_OPT_DATA_CHANGED},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
};
constexpr int kBlocks = 4;

struct Bench {
    Bench()
    {
        auto* ld = b.device("CLS1");
        auto* lln0 = b.node(ld, "LLN0");
        auto* ggio = b.node(ld, "GGIO1");
        DataSet* set = b.dataSet(lln0, "dataset01");
        for (int i = 0; i < 26; ++i) {
            const std::string name = "Ind" + std::to_string(i);
            b.object(ggio, name, kEns);
            b.dataSetEntry(set, "CLS1", "GGIO1$ST$" + name);
        }
        for (int i = 0; i < kBlocks; ++i)
            b.reportControl(lln0, "reportControl010" + std::to_string(i + 1), "CLS1/report01", false, "dataset01", 1,
                            TRG_OPT_DATA_CHANGED | TRG_OPT_GI, 142, 0, 0);
        stVal = static_cast<DataAttribute*>(ModelNode_getByPath(ModelNode_getChild(ggio, "Ind0"), "stVal"));
        server = IedServer_create(b.model());
        IedServer_setLocalIpAddress(server, "127.0.0.1");
        IedServer_start(server, 0);
    }
    ~Bench() { IedServer_destroy(server); }

    std::unique_ptr<client::MmsConnection> enabledClient(int block)
    {
        auto c = std::make_unique<client::MmsConnection>();
        client::ConnectOptions o;
        o.port = static_cast<std::uint16_t>(IedServer_getPort(server));
        if (!c->connect(o).ok() ||
            !c->write(kDomain, "LLN0$RP$reportControl010" + std::to_string(block + 1) + "$RptEna", mms::Value::boolean(true))
                 .ok())
            std::fprintf(stderr, "could not enable block %d\n", block + 1);
        return c;
    }

    ied::ModelBuilder b{"BENCH"};
    DataAttribute* stVal = nullptr;
    IedServer server = nullptr;
};

void latency(Bench& bench)
{
    auto c = bench.enabledClient(0);
    std::size_t got = 0;
    c->setReportHandler([&](const mms::InformationReport&) { ++got; });
    std::vector<double> us;
    for (int i = 1; i <= 2000; ++i) {
        const auto start = Clock::now();
        IedServer_updateInt32AttributeValue(bench.server, bench.stVal, i);
        const std::size_t before = got;
        for (int w = 0; w < 100 && got == before; ++w)
            (void)c->waitForReports(50);
        if (got == before)
            break;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    std::printf("report latency: %zu reports, median %.1f us, p99 %.1f us\n", us.size(), us[us.size() / 2],
                us[us.size() * 99 / 100]);
}

void throughput(Bench& bench, int blocks)
{
    std::vector<std::unique_ptr<client::MmsConnection>> clients;
    for (int i = 0; i < blocks; ++i)
        clients.push_back(bench.enabledClient(i));
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::vector<std::thread> readers;
    for (auto& c : clients) {
        c->setReportHandler([&](const mms::InformationReport&) { ++received; });
        readers.emplace_back([&stop, conn = c.get()] {
            while (!stop)
                (void)conn->waitForReports(20);
        });
    }
    constexpr int kUpdates = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < kUpdates; ++i)
        IedServer_updateInt32AttributeValue(bench.server, bench.stVal, 100000 + blocks * kUpdates + i);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    for (auto& t : readers)
        t.join();
    std::printf("%d enabled block(s): %.0f updates/s, %zu of %d reports received\n", blocks, kUpdates / s,
                received.load(), kUpdates * blocks);
    for (auto& c : clients)
        c->abort();
}

}  // namespace

int main()
{
    {
        Bench bench;
        latency(bench);
    }
    for (int blocks : {1, kBlocks}) {
        Bench bench;
        throughput(bench, blocks);
    }
}
