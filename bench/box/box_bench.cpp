// The whole box with the reference schedule-manager service:
//   bench_box [starts] [writes] [load-seconds]
// - time from starting IecServer to "Waiting for IEC Clients..."
// - resident memory of IecServer after start and after a load phase
// - time from an MMS schedule write to the JSON-RPC request it causes
#include "box_harness.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

using namespace boxtest;
using Clock = std::chrono::steady_clock;

constexpr const char* kNode = "EmpSPrg_FSCH020001";

struct Summary {
    double median, min, max;
};

Summary summarize(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

void print(const char* what, const Summary& s, const char* unit)
{
    std::printf("%-44s median %8.1f %s   min %8.1f   max %8.1f\n", what, s.median, unit, s.min, s.max);
}

void startUp(int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        Box box(Box::Options{});
        if (!box.waitUntilServing()) {
            std::cerr << box.serverOutput();
            std::exit(1);
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - box.serverStarted()).count());
    }
    print("start to \"Waiting for IEC Clients...\"", summarize(samples), "ms");
}

// Each write changes the set-point; the time runs from the EnaReq operation to the request's arrival.
void writeToJsonRpc(Box& box, JsonRpcPeer& peer, int writes)
{
    BoxClient client;
    std::vector<double> samples;
    for (int i = 1; i <= writes; ++i) {
        const float value = static_cast<float>(-100 * i);
        const std::size_t before = peer.requestCount();
        const std::uint64_t start = nowMs();
        if (!client.writeSchedule(kCls1, kNode, {value, 1.0f}, start - 1000, 3600) ||
            !eventually([&] { return peer.requestCount() > before; }, 20s)) {
            std::cerr << "no JSON-RPC request for write " << i << "\n" << box.serverOutput();
            std::exit(1);
        }
        samples.push_back(static_cast<double>(peer.arrivals().back() - start));
    }
    print("MMS schedule write to JSON-RPC request", summarize(samples), "ms");
}

// Two MMS clients read and write schedules with reports enabled while the EMS writes setTotw.
void load(int seconds)
{
    std::atomic<bool> stop = false;
    std::vector<std::thread> clients;
    for (const char* domain : {kCls1, kCls2})
        clients.emplace_back([domain, &stop] {
            BoxClient client;
            client.enableReports(domain, "reportControl0101");
            for (int round = 1; !stop; ++round) {
                client.readFloat(domain, "MMXU001$MX$TotW$mag$f");
                if (round % 20 == 0)
                    client.writeSchedule(domain, kNode, {static_cast<float>(round), 1.0f}, nowMs() - 1000, 3600);
                (void)client.connection().waitForReports(10);
            }
        });
    EmsClient ems;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (std::int64_t value = 1; Clock::now() < end; ++value) {
        ems.setTotw(value, nowMs() / 1000, 0);
        std::this_thread::sleep_for(10ms);
    }
    stop = true;
    for (auto& t : clients)
        t.join();
}

}  // namespace

int main(int argc, char** argv)
{
    const int starts = argc > 1 ? std::atoi(argv[1]) : 5;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 20;
    const int loadSeconds = argc > 3 ? std::atoi(argv[3]) : 30;

    startUp(std::max(1, starts));

    JsonRpcPeer peer;
    Box box(Box::Options{.jsonRpcPort = peer.port()});
    if (!box.waitUntilServing()) {
        std::cerr << box.serverOutput();
        return 1;
    }
    std::this_thread::sleep_for(1s);
    const auto startResident = residentKiB(box.server().pid());
    writeToJsonRpc(box, peer, std::max(1, writes));
    load(std::max(1, loadSeconds));
    const auto loadedResident = residentKiB(box.server().pid());
    std::printf("%-44s %8llu KiB\n", "IecServer resident after start", static_cast<unsigned long long>(startResident));
    std::printf("%-44s %8llu KiB (after %d s of load)\n", "IecServer resident after load",
                static_cast<unsigned long long>(loadedResident), loadSeconds);
    return 0;
}
