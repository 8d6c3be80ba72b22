// Uploads for the store's tests, at a fixed "now".
#pragma once

#include "schedule_store.hpp"

namespace schedmgr::test {

constexpr Millis T0 = 1'800'000'000'000;
constexpr Millis second = 1000;
constexpr Millis minute = 60 * second;
constexpr Millis hour = 60 * minute;

inline Upload timed(std::int32_t priority, std::vector<double> values, std::vector<Millis> starts,
                    std::int32_t intervalSeconds = 900, bool reuse = false)
{
    Upload upload;
    upload.priority = priority;
    upload.entryCount = static_cast<std::int32_t>(values.size());
    upload.intervalSeconds = intervalSeconds;
    upload.values = std::move(values);
    upload.startTimes = std::move(starts);
    upload.reuse = reuse;
    upload.uploadTime = T0;
    return upload;
}

// Uploaded with addScheduleJSONTrg: flag set means event-triggered.
inline Upload eventTriggered(std::int32_t priority, std::vector<double> values, bool flag = true, bool reuse = false)
{
    Upload upload = timed(priority, std::move(values), {}, 900, reuse);
    upload.trigger = flag ? Trigger::Event : Trigger::None;
    return upload;
}

}  // namespace schedmgr::test
