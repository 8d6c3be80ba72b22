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
constexpr const char* kNode = "EmpSPrg_FSCH020001";

// One MMS client: holds a report control block, reads, and (with a node) writes that
// schedule now and then. Whatever it wrote last is what the box runs at the end;
// CLS1 clients hold a report of the EMS's last total power.
void load(const char* domain, const char* rcb, const char* node, const std::atomic<bool>& stop,
          const std::atomic<std::int64_t>& lastTotw)
{
    SCOPED_TRACE(std::string(domain) + " " + rcb + " " + (node ? node : "(reads only)"));
    BoxClient client;
    ASSERT_TRUE(client.connected() && client.enableReports(domain, rcb));
    int rounds = 1;
    float lastWritten = 0;
    for (; !stop; ++rounds) {
        EXPECT_TRUE(client.readFloat(domain, "MMXU001$MX$TotW$mag$f"));
        EXPECT_TRUE(client.readString(domain, "ActPow_FSCC001$ST$ActSchdRef$stVal"));
        if (node && rounds % 10 == 0) {
            lastWritten = static_cast<float>(100 * (rounds / 10));
            EXPECT_TRUE(client.writeSchedule(domain, node, {lastWritten, 1.0f}, nowMs() - 1000, 3600));
        }
        ASSERT_TRUE(client.connection().waitForReports(20).ok());
    }
    EXPECT_TRUE(!node || lastWritten > 0);
    EXPECT_TRUE(!node || eventually([&] {
        return client.readFloat(domain, "ActPow_GGIO001$MX$AnOut1$mxVal$f") == lastWritten;
    }))
        << "last written " << lastWritten;
    EXPECT_TRUE(domain != std::string(kCls1) || client.waitForReport([&](const auto& report) {
        auto v = reportedMember(report, kTotW);
        return v && firstFloat(*v) == static_cast<float>(lastTotw);
    })) << "no report of the last total power " << lastTotw;
    EXPECT_GT(client.reports().size(), 0u);
    EXPECT_TRUE(client.connected());
    std::cout << "soak: " << domain << " " << rcb << ": " << rounds << " rounds, " << client.reports().size()
              << " reports\n";
}

TEST(Soak, ClientsAndTheEmsKeepTheBoxBusyAndNothingIsLost)
{
    const char* seconds = std::getenv("BOX_SOAK_SECONDS");
    const auto duration = std::chrono::seconds(std::clamp(seconds ? std::atoi(seconds) : 60, 5, 600));
    JsonRpcPeer peer;
    Box box(Box::Options{.jsonRpcPort = peer.port()});
    ASSERT_TRUE(box.waitUntilServing()) << box.serverOutput();
    EmsClient ems;

    std::atomic<bool> stop = false;
    std::atomic<std::int64_t> totw = 0;
    std::vector<std::thread> threads;
    threads.emplace_back([&] { load(kCls1, "reportControl0101", kNode, stop, totw); });
    threads.emplace_back([&] { load(kCls1, "reportControl0102", nullptr, stop, totw); });
    threads.emplace_back([&] { load(kCls2, "reportControl0101", kNode, stop, totw); });
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t warmResident = 0;
    while (std::chrono::steady_clock::now() < start + duration) {
        ems.setTotw(totw + 1, nowMs() / 1000, kSoakMark);
        ++totw;
        if (!warmResident && std::chrono::steady_clock::now() - start > duration / 4)
            warmResident = residentKiB(box.server().pid());
        std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    const std::uint64_t endResident = residentKiB(box.server().pid());
    EXPECT_TRUE(box.server().running()) << box.serverOutput();
    EXPECT_TRUE(box.scheduleManager().running());

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
    std::cout << "soak: " << duration.count() << " s, " << totw << " setTotw calls, server resident " << warmResident
              << " KiB warm, " << endResident << " KiB at the end\n";
#ifndef BOX_SANITIZED
    EXPECT_LT(endResident, warmResident + 8192) << "server memory grew";
#endif
}

}  // namespace
