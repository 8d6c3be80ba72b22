// When a device's schedules change next, from the answers of its last pass:
// the start of a ready schedule, the next entry of the active one, the end of
// a run, the next repetition or start time.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

class ScheduleTimeline {
public:
    // A moment at most this far in the past means the service has not moved
    // on yet; the pass is tried again shortly.
    static constexpr std::uint64_t kLateToleranceMs = 2000;
    static constexpr std::uint64_t kRetryLateMs = 250;

    void clear() { moments_.clear(); }

    // Times in ms since the epoch as the service gives them; 0 is unknown.
    void ready(std::uint64_t nxtStrTmMs);
    void running(std::uint64_t actStrTmMs, std::uint64_t nxtStrTmMs, std::uint64_t runDurationMs, bool reuse);
    // index: the 1-based entry in force, of intervalMs each.
    void active(std::uint64_t actStrTmMs, std::int32_t index, std::uint64_t intervalMs);

    // The earliest moment after nowMs at which the device's model changes,
    // or nullopt when nothing is known to come.
    std::optional<std::uint64_t> nextChangeAfter(std::uint64_t nowMs) const;

private:
    void add(std::uint64_t moment);

    std::vector<std::uint64_t> moments_;
};
