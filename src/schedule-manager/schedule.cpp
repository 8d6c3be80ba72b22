#include "schedule.hpp"

#include <algorithm>
#include <cmath>

namespace schedmgr {

namespace {

void require(bool condition, const std::string& message)
{
    if (!condition)
        throw RequestError(RequestError::Kind::InvalidArgs, message);
}

void keepEarliest(std::optional<Millis>& earliest, Millis candidate)
{
    if (!earliest || candidate < *earliest)
        earliest = candidate;
}

}  // namespace

Millis Schedule::intervalMillis() const
{
    return static_cast<Millis>(intervalSeconds) * 1000;
}

Millis Schedule::runDuration() const
{
    return static_cast<Millis>(entryCount) * intervalMillis();
}

std::optional<Millis> Schedule::seriesStartAt(Millis now) const
{
    if (trigger == Trigger::Event)
        return eventSince && *eventSince <= now ? eventSince : std::nullopt;
    auto after = std::upper_bound(startTimes.begin(), startTimes.end(), now);
    if (trigger != Trigger::StartTimes || after == startTimes.begin())
        return std::nullopt;
    return *std::prev(after);
}

std::optional<Millis> Schedule::startTimeAfter(Millis now) const
{
    auto after = std::upper_bound(startTimes.begin(), startTimes.end(), now);
    if (trigger != Trigger::StartTimes || after == startTimes.end())
        return std::nullopt;
    return *after;
}

std::optional<Run> Schedule::runAt(Millis now) const
{
    const auto seriesStart = seriesStartAt(now);
    if (!seriesStart)
        return std::nullopt;
    const Millis elapsed = now - *seriesStart;
    const Millis duration = runDuration();
    if (!reuse)
        return elapsed < duration ? std::optional<Run>(Run{*seriesStart, *seriesStart}) : std::nullopt;
    return Run{*seriesStart, *seriesStart + elapsed / duration * duration};
}

ScheduleState Schedule::stateAt(Millis now) const
{
    if (runAt(now))
        return ScheduleState::Running;
    switch (trigger) {
    case Trigger::Event:
        return ScheduleState::Ready;
    case Trigger::None:
        return ScheduleState::StartTimeRequired;
    case Trigger::StartTimes:
        break;
    }
    const bool startAhead = !startTimes.empty() && startTimes.back() > now;
    return startAhead ? ScheduleState::Ready : ScheduleState::StartTimeRequired;
}

std::int32_t Schedule::entryIndexAt(Millis now) const
{
    const auto run = runAt(now);
    if (!run)
        return 0;
    return static_cast<std::int32_t>((now - run->start) / intervalMillis()) + 1;
}

Millis Schedule::nextStartAfter(Millis now) const
{
    auto next = startTimeAfter(now);
    if (const auto run = runAt(now); run && reuse)
        keepEarliest(next, run->start + runDuration());
    return next.value_or(0);
}

std::optional<Millis> Schedule::nextRunChangeAfter(Millis now) const
{
    auto next = startTimeAfter(now);
    if (const auto run = runAt(now); run && !reuse)
        keepEarliest(next, run->trigger + runDuration());
    return next;
}

void validate(const Schedule& schedule)
{
    require(schedule.entryCount >= 1, "entry count must be at least 1");
    require(schedule.values.size() <= maxValues, "more than " + std::to_string(maxValues) + " values");
    require(static_cast<std::size_t>(schedule.entryCount) == schedule.values.size(),
            "entry count exceeds the number of values");
    require(schedule.intervalSeconds > 0, "interval must be at least 1 s");
    require(std::all_of(schedule.values.begin(), schedule.values.end(), [](double v) { return std::isfinite(v); }),
            "values must be finite");
    require(schedule.startTimes.size() <= maxStartTimes,
            "more than " + std::to_string(maxStartTimes) + " start times");
    require(std::is_sorted(schedule.startTimes.begin(), schedule.startTimes.end()) &&
                std::adjacent_find(schedule.startTimes.begin(), schedule.startTimes.end()) ==
                    schedule.startTimes.end(),
            "start times out of order");
    require(std::all_of(schedule.startTimes.begin(), schedule.startTimes.end(),
                        [](Millis t) { return t > 0 && t <= latestStartTime; }),
            "start time out of range");
    require(schedule.trigger == Trigger::Event || !schedule.eventSince, "event on a schedule without event trigger");
}

}  // namespace schedmgr
