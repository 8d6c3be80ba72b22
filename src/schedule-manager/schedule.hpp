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
    // Next moment after now at which this schedule starts, stops, changes its
    // trigger or (when it is the active one) moves to another entry.
    std::optional<Millis> nextChangeAfter(Millis now, bool active) const;
};

// Throws RequestError(InvalidArgs) when the schedule breaks a rule above.
void validate(const Schedule& schedule);

}  // namespace schedmgr
