// One stored schedule and how it behaves at a given time.
//
// Conventions of this service:
// - Times are ms since 1970-01-01 UTC, the interval is in seconds.
// - A schedule is valid when 1 <= entry count <= values sent, interval > 0 and
//   the values it uses are finite. Only valid schedules are stored.
// - Start times of 0 are unset. Each set start time begins a run of
//   entryCount * interval seconds; a later start time ends the run before it.
// - Reuse: the run repeats back to back from its start time until the next
//   start time (or for ever after the last one, or while the event lasts).
// - Event-triggered schedules run from the moment their event is raised, for
//   as long as it stays present.
// - Entry indices start at 1; 0 means "no current entry".
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace schedmgr {

using Millis = std::uint64_t;

enum class Trigger {
    StartTimes,  // time-based upload
    Event,       // event-triggered upload with the event-trigger flag
    None,        // event-triggered upload without the flag: can never start
};

enum class ScheduleState : std::int32_t {
    NotReady = 1,
    StartTimeRequired = 2,
    Ready = 3,
    Running = 4,
};

inline constexpr std::size_t maxValues = 300;
inline constexpr std::size_t maxStartTimes = 16;
inline constexpr Millis latestStartTime = 253402300799999;  // 9999-12-31T23:59:59.999Z

class RequestError : public std::runtime_error {
public:
    enum class Kind { InvalidArgs, UnknownSchedule, StoreFull };
    RequestError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

struct Run {
    Millis trigger;  // the start time or event that began this series of runs
    Millis start;    // start of the current run (differs from trigger when reused)
};

struct Schedule {
    std::int32_t priority = 0;
    std::int32_t entryCount = 0;
    std::int32_t intervalSeconds = 0;
    std::vector<double> values;      // exactly entryCount values
    std::vector<Millis> startTimes;  // set ones only, ascending, no duplicates
    bool reuse = false;
    Trigger trigger = Trigger::StartTimes;
    bool systemSchedule = false;  // kept and reported; no effect on selection
    Millis uploadTime = 0;
    std::optional<Millis> eventSince;

    Millis intervalMillis() const;
    Millis runDuration() const;

    std::optional<Run> runAt(Millis now) const;
    ScheduleState stateAt(Millis now) const;
    std::int32_t entryIndexAt(Millis now) const;
    Millis nextStartAfter(Millis now) const;  // 0 when none is known
    // Next moment after now at which this schedule starts, stops or changes
    // the start time its runs count from.
    std::optional<Millis> nextRunChangeAfter(Millis now) const;
    // Next moment after now, within its runs, at which the value in force
    // differs from the current one by the given comparison.
    template <typename Same>
    std::optional<Millis> nextValueChangeAfter(Millis now, Same same) const;

private:
    std::optional<Millis> seriesStartAt(Millis now) const;
    std::optional<Millis> startTimeAfter(Millis now) const;
};

template <typename Same>
std::optional<Millis> Schedule::nextValueChangeAfter(Millis now, Same same) const
{
    const auto run = runAt(now);
    if (!run)
        return std::nullopt;
    const std::size_t current = static_cast<std::size_t>(entryIndexAt(now) - 1);
    for (std::size_t j = current + 1; j < values.size(); ++j)
        if (!same(values[j], values[current]))
            return run->start + j * intervalMillis();
    if (!reuse)
        return run->start + runDuration();
    for (std::size_t j = 0; j < current; ++j)
        if (!same(values[j], values[current]))
            return run->start + runDuration() + j * intervalMillis();
    return std::nullopt;
}

// Throws RequestError(InvalidArgs) when the schedule breaks a rule above.
void validate(const Schedule& schedule);

}  // namespace schedmgr
