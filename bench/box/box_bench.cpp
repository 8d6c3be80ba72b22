// The whole box with the reference schedule-manager service:
//   bench_box [starts] [writes] [load-seconds] [boundaries]
// - time from starting IecServer to "Waiting for IEC Clients..."
// - resident memory of IecServer after start and after a load phase
// - time from an MMS schedule write to the JSON-RPC request it causes
// - time from a schedule's entry boundary (and its end) to the report of the
//   new set-point at an MMS client and to the JSON-RPC request
#include "box_harness.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

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
        Box box(Box::Options{.jsonRpcPort = {}, .clockOffsetMs = 0, .syslog = nullptr, .startServer = false});
        const auto started = Clock::now();
        box.startServer();
        if (!box.waitUntilServing()) {
            std::cerr << box.serverOutput();
            std::exit(1);
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
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
        samples.push_back(static_cast<double>(peer.received().back().arrivalMs - start));
    }
    print("MMS schedule write to JSON-RPC request", summarize(samples), "ms");
}

// One schedule of entries a second apart, written once: each boundary should
// reach the model and the EMS on its own.
void boundaries(Box& box, JsonRpcPeer& peer, int entries)
{
    BoxClient client;
    client.enableReports(kCls1, "reportControl0101");
    std::vector<float> values;
    for (int i = 0; i < entries; ++i)
        values.push_back(static_cast<float>(101 + i));
    const std::uint64_t start = nowMs() + 4000;
    if (!client.writeSchedule(kCls1, kNode, values, start, 1)) {
        std::cerr << "schedule write refused\n";
        std::exit(1);
    }
    // The schedule of the phase before ends with this write: its end is not one of ours.
    std::this_thread::sleep_for(2s);
    const std::size_t requestsBefore = peer.requestCount();
    const std::uint64_t end = start + static_cast<std::uint64_t>(entries) * 1000;
    std::map<float, std::uint64_t> reported;  // set-point -> arrival of its first report
    client.waitForReport(
        [&](const InformationReport& r) {
            if (auto v = reportedMember(r, kAnOut1); v && nowMs() >= start)
                if (auto f = firstFloat(*v))
                    reported.emplace(*f, nowMs());
            return nowMs() > end + 2000;
        },
        std::chrono::milliseconds(end + 5000 - nowMs()));
    const auto boundaryOf = [&](float value) {
        return value == 0.0f ? end : start + static_cast<std::uint64_t>(value - 101) * 1000;
    };
    std::vector<double> toModel;
    for (const auto& [value, arrival] : reported)
        if (value == 0.0f || (value >= 101 && value < 101 + static_cast<float>(entries)))
            toModel.push_back(static_cast<double>(arrival) - static_cast<double>(boundaryOf(value)));
    std::vector<double> toJsonRpc;
    const auto requests = peer.requests();
    const auto received = peer.received();
    for (std::size_t i = requestsBefore; i < requests.size(); ++i)
        toJsonRpc.push_back(static_cast<double>(received[i].arrivalMs) -
                            static_cast<double>(boundaryOf(requests[i]["params"][0].get<float>())));
    if (toModel.size() < static_cast<std::size_t>(entries) + 1 || toJsonRpc.size() < toModel.size()) {
        std::cerr << "boundaries seen: " << toModel.size() << " in the model, " << toJsonRpc.size()
                  << " over JSON-RPC, of " << entries + 1 << "\n" << box.serverOutput();
        std::exit(1);
    }
    std::printf("%d boundaries (entries and the end), delay from the boundary:\n", entries + 1);
    print("  to the AnOut1 report at an MMS client", summarize(toModel), "ms");
    print("  to the JSON-RPC request", summarize(toJsonRpc), "ms");
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
    const int entries = argc > 4 ? std::atoi(argv[4]) : 24;

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
    boundaries(box, peer, std::max(20, entries));
    load(std::max(1, loadSeconds));
    const auto loadedResident = residentKiB(box.server().pid());
    std::printf("%-44s %8llu KiB\n", "IecServer resident after start", static_cast<unsigned long long>(startResident));
    std::printf("%-44s %8llu KiB (after %d s of load)\n", "IecServer resident after load",
                static_cast<unsigned long long>(loadedResident), loadSeconds);
    return 0;
}
