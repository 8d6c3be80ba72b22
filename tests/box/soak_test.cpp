// The box under steady load for a bounded time (BOX_SOAK_SECONDS, default 60):
// MMS clients read, write schedules and hold reports while the EMS writes
// "setTotw" in a loop. Nothing may be lost, nothing may crash, and (outside
// sanitizer builds) the server's memory must stay flat.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace {

using namespace boxtest;

constexpr std::int32_t kSoakMark = 7;  // third field of the EMS's writes, to tell their echo apart

int soakSeconds()
{
    const char* text = std::getenv("BOX_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 60;
    return std::clamp(seconds, 5, 600);
}

struct ClientRole {
    const char* domain;
    const char* rcb;
    const char* node;  // schedule written by this client; none: it only reads

    std::string label() const { return std::string(domain) + " " + rcb + " " + (node ? node : "(reads only)"); }
};

// One MMS client: holds a report control block, reads, and writes a schedule now and then.
struct ClientLoad {
    explicit ClientLoad(ClientRole role) : role(role) {}

    void run(const std::atomic<bool>& stop, const std::atomic<std::int64_t>& lastTotw)
    {
        BoxClient client;
        if (!client.connected() || !client.enableReports(role.domain, role.rcb)) {
            failures = 1;
            return;
        }
        for (int round = 1; !stop; ++round) {
            if (!client.readFloat(role.domain, "MMXU001$MX$TotW$mag$f") ||
                !client.readString(role.domain, "ActPow_FSCC001$ST$ActSchdRef$stVal"))
                ++failures;
            if (role.node && round % 10 == 0) {
                lastWritten = static_cast<float>(100 * (round / 10));
                if (!client.writeSchedule(role.domain, role.node, {lastWritten, 1.0f}, nowMs() - 1000, 3600))
                    ++failures;
                ++writes;
            }
            if (!client.connection().waitForReports(20).ok())
                ++failures;
            ++reads;
        }
        // Whatever was written last is what the box runs now.
        const std::string out = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
        settled = !role.node || eventually([&] { return client.readFloat(role.domain, out) == lastWritten; }, 20s);
        // CLS1 clients hold a report of the EMS's last total power.
        totwReported = role.domain != std::string(kCls1) || client.waitForReport([&](const auto& report) {
            auto v = reportedMember(report, kTotW);
            return v && firstFloat(*v) == static_cast<float>(lastTotw);
        });
        reports = client.reportCount();
        connected = client.connected();
    }

    ClientRole role;
    std::atomic<int> failures = 0;
    int reads = 0;
    int writes = 0;
    float lastWritten = 0;
    std::size_t reports = 0;
    bool settled = false;
    bool totwReported = false;
    bool connected = false;
};

TEST(Soak, ClientsAndTheEmsKeepTheBoxBusyAndNothingIsLost)
{
    JsonRpcPeer peer;
    Box box(Box::Options{.jsonRpcPort = peer.port()});
    ASSERT_TRUE(box.waitUntilServing()) << box.serverOutput();
    EmsClient ems;

    std::vector<std::unique_ptr<ClientLoad>> loads;
    for (ClientRole role : {ClientRole{kCls1, "reportControl0101", "EmpSPrg_FSCH020001"},
                            ClientRole{kCls1, "reportControl0102", nullptr},
                            ClientRole{kCls2, "reportControl0101", "EmpSPrg_FSCH020001"}})
        loads.push_back(std::make_unique<ClientLoad>(role));

    std::atomic<bool> stop = false;
    std::atomic<std::int64_t> totw = 0;
    std::vector<std::thread> threads;
    for (auto& load : loads)
        threads.emplace_back([&load, &stop, &totw] { load->run(stop, totw); });

    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(soakSeconds());
    std::uint64_t warmResident = 0;
    std::size_t calls = 0;
    while (std::chrono::steady_clock::now() < end) {
        ems.setTotw(totw + 1, nowMs() / 1000, kSoakMark);
        ++totw;
        ++calls;
        if (!warmResident && std::chrono::steady_clock::now() - start > std::chrono::seconds(soakSeconds() / 4))
            warmResident = residentKiB(box.server().pid());
        std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    const std::uint64_t endResident = residentKiB(box.server().pid());

    EXPECT_TRUE(box.server().running()) << box.serverOutput();
    EXPECT_TRUE(box.scheduleManager()->running());
    for (const auto& load : loads) {
        SCOPED_TRACE(load->role.label());
        EXPECT_EQ(load->failures, 0);
        EXPECT_TRUE(load->connected);
        EXPECT_TRUE(!load->role.node || load->writes > 0);
        EXPECT_TRUE(load->settled) << "last written " << load->lastWritten;
        EXPECT_GT(load->reports, 0u);
        EXPECT_TRUE(load->totwReported) << "no report of the last total power " << totw;
    }

    // Every setTotw came back as its own signal, in order, and the model holds the last one.
    const auto echoed = [&] {
        std::vector<std::int64_t> values;
        for (const auto& s : ems.signals())
            if (s.name == "totw" && s.reserved == kSoakMark)
                values.push_back(s.value);
        return values;
    };
    ASSERT_TRUE(eventually([&] { return echoed().size() >= calls; }));
    const auto values = echoed();
    ASSERT_EQ(values.size(), calls);
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(values[i], static_cast<std::int64_t>(i + 1));
    BoxClient reader;
    EXPECT_EQ(reader.readFloat(kCls1, "MMXU001$MX$TotW$mag$f"), static_cast<float>(totw.load()));
    EXPECT_GT(peer.requestCount(), 0u);

    std::cout << "soak: " << soakSeconds() << " s, " << calls << " setTotw calls, server resident " << warmResident
              << " KiB warm, " << endResident << " KiB at the end\n";
    for (const auto& load : loads)
        std::cout << "soak: " << load->role.label() << ": " << load->reads << " rounds, "
                  << load->writes << " schedule writes, " << load->reports << " reports\n";
#ifndef BOX_SANITIZED
    EXPECT_LT(endResident, warmResident + 8192) << "server memory grew";
#endif
}

}  // namespace
