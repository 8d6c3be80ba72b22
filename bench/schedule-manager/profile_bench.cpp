// Cost of the three-day profile and of writing the state file for a full store.
#include "state_file.hpp"

#include <chrono>
#include <cstdio>
#include <sstream>

using namespace schedmgr;

namespace {

constexpr Millis T0 = 1'800'000'000'000;
constexpr Millis hour = 3'600'000;

ScheduleStore fullStore(bool changingTop)
{
    ScheduleStore store;
    for (std::size_t n = 0; n < maxSchedulesPerCls; ++n) {
        Upload upload;
        upload.priority = static_cast<std::int32_t>(n);
        upload.entryCount = static_cast<std::int32_t>(maxValues);
        upload.intervalSeconds = 1;
        for (std::size_t i = 0; i < maxValues; ++i)
            upload.values.push_back(static_cast<double>((i + n) % 7) * 1.5);
        for (std::size_t s = 0; s < maxStartTimes; ++s)
            upload.startTimes.push_back(T0 + s * 4 * hour + n * 1000);
        upload.reuse = n == maxSchedulesPerCls - 1 ? changingTop : n % 2 == 0;
        store.upload(1, "Node_" + std::to_string(n), upload);
    }
    return store;
}

template <typename Work>
double millisecondsPerRun(int runs, Work&& work)
{
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i)
        work();
    const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - begin;
    return spent.count() / runs;
}

}  // namespace

int main()
{
    for (bool changingTop : {false, true}) {
        const auto store = fullStore(changingTop);
        std::size_t points = 0;
        const double ms = millisecondsPerRun(5, [&] { points = store.profile(1, T0).size(); });
        std::printf("profile, %zu schedules, top one %s: %.2f ms, %zu points\n", maxSchedulesPerCls,
                    changingTop ? "reused" : "not reused", ms, points);
    }
    const auto store = fullStore(true);
    std::size_t bytes = 0;
    const double ms = millisecondsPerRun(5, [&] { bytes = toJson(store).size(); });
    std::printf("state file text of a full CLS: %.2f ms, %zu bytes\n", ms, bytes);
}
