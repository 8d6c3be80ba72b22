// The box under steady load for a bounded time (BOX_SOAK_SECONDS, default 60):
// MMS clients read, write schedules and hold reports while the EMS writes
// "setTotw" in a loop. Nothing may be lost, nothing may crash, and (outside
// sanitizer builds) the server's memory must stay flat.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <numeric>

namespace {

using namespace boxtest;

constexpr std::int32_t kSoakMark = 7;  // third field of the EMS's writes, to tell their echo apart

int soakSeconds()
{
    const char* text = std::getenv("BOX_SOAK_SECONDS");
    return std::clamp(text ? std::atoi(text) : 60, 5, 600);
}

// One MMS client: holds a report control block, reads, and (with a node) writes that schedule now and then.
struct ClientLoad {
    const char* domain;
    const char* rcb;
    const char* node;
    int failures = 0, rounds = 0, writes = 0;
    float lastWritten = 0;
    std::size_t reports = 0;
    bool settled = false, totwReported = false, connected = false;

    std::string label() const { return std::string(domain) + " " + rcb + " " + (node ? node : "(reads only)"); }

    void run(const std::atomic<bool>& stop, const std::atomic<std::int64_t>& lastTotw)
    {
        BoxClient client;
        if (!client.connected() || !client.enableReports(domain, rcb)) {
            failures = 1;
            return;
        }
        for (rounds = 1; !stop; ++rounds) {
            failures += !client.readFloat(domain, "MMXU001$MX$TotW$mag$f") ||
                        !client.readString(domain, "ActPow_FSCC001$ST$ActSchdRef$stVal");
            if (node && rounds % 10 == 0) {
                lastWritten = static_cast<float>(100 * (rounds / 10));
                failures += !client.writeSchedule(domain, node, {lastWritten, 1.0f}, nowMs() - 1000, 3600);
                ++writes;
            }
            failures += !client.connection().waitForReports(20).ok();
        }
        // Whatever was written last is what the box runs now.
        settled = !node || eventually([&] {
            return client.readFloat(domain, "ActPow_GGIO001$MX$AnOut1$mxVal$f") == lastWritten;
        }, 20s);
        // CLS1 clients hold a report of the EMS's last total power.
        totwReported = domain != std::string(kCls1) || client.waitForReport([&](const auto& report) {
            auto v = reportedMember(report, kTotW);
            return v && firstFloat(*v) == static_cast<float>(lastTotw);
        });
        reports = client.reportCount();
        connected = client.connected();
    }
};

TEST(Soak, ClientsAndTheEmsKeepTheBoxBusyAndNothingIsLost)
{
    JsonRpcPeer peer;
    Box box(Box::Options{.jsonRpcPort = peer.port()});
    ASSERT_TRUE(box.waitUntilServing()) << box.serverOutput();
    EmsClient ems;

    std::vector<ClientLoad> loads = {{kCls1, "reportControl0101", "EmpSPrg_FSCH020001"},
                                     {kCls1, "reportControl0102", nullptr},
                                     {kCls2, "reportControl0101", "EmpSPrg_FSCH020001"}};
    std::atomic<bool> stop = false;
    std::atomic<std::int64_t> totw = 0;
    std::vector<std::thread> threads;
    for (auto& load : loads)
        threads.emplace_back([&load, &stop, &totw] { load.run(stop, totw); });

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t warmResident = 0;
    while (std::chrono::steady_clock::now() < start + std::chrono::seconds(soakSeconds())) {
        ems.setTotw(totw + 1, nowMs() / 1000, kSoakMark);
        ++totw;
        if (!warmResident && std::chrono::steady_clock::now() - start > std::chrono::seconds(soakSeconds() / 4))
            warmResident = residentKiB(box.server().pid());
        std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    const std::uint64_t endResident = residentKiB(box.server().pid());

    EXPECT_TRUE(box.server().running()) << box.serverOutput();
    EXPECT_TRUE(box.scheduleManager().running());
    for (const auto& load : loads) {
        SCOPED_TRACE(load.label());
        EXPECT_EQ(load.failures, 0);
        EXPECT_TRUE(load.connected);
        EXPECT_TRUE(!load.node || load.writes > 0);
        EXPECT_TRUE(load.settled) << "last written " << load.lastWritten;
        EXPECT_GT(load.reports, 0u);
        EXPECT_TRUE(load.totwReported) << "no report of the last total power " << totw;
        std::cout << "soak: " << load.label() << ": " << load.rounds << " rounds, " << load.writes
                  << " schedule writes, " << load.reports << " reports\n";
    }

    // Every setTotw came back as its own signal, in order, and the model holds the last one.
    const auto echoed = [&] {
        std::vector<std::int64_t> values;
        for (const auto& s : ems.signals("totw"))
            if (s.reserved == kSoakMark)
                values.push_back(s.value);
        return values;
    };
    ASSERT_TRUE(eventually([&] { return echoed().size() >= static_cast<std::size_t>(totw); }));
    std::vector<std::int64_t> expected(static_cast<std::size_t>(totw.load()));
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(echoed(), expected);
    EXPECT_EQ(BoxClient().readFloat(kCls1, "MMXU001$MX$TotW$mag$f"), static_cast<float>(totw.load()));
    EXPECT_GT(peer.requestCount(), 0u);

    std::cout << "soak: " << soakSeconds() << " s, " << totw << " setTotw calls, server resident " << warmResident
              << " KiB warm, " << endResident << " KiB at the end\n";
#ifndef BOX_SANITIZED
    EXPECT_LT(endResident, warmResident + 8192) << "server memory grew";
#endif
}

}  // namespace
