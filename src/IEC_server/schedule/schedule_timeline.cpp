#include "schedule_timeline.hpp"

#include <algorithm>

void ScheduleTimeline::add(std::uint64_t moment)
{
    if (moment > 0)
        moments_.push_back(moment);
}

void ScheduleTimeline::ready(std::uint64_t nxtStrTmMs) { add(nxtStrTmMs); }

void ScheduleTimeline::running(std::uint64_t actStrTmMs, std::uint64_t nxtStrTmMs, std::uint64_t runDurationMs,
                               bool reuse)
{
    add(nxtStrTmMs);
    if (!reuse && actStrTmMs > 0 && runDurationMs > 0)
        add(actStrTmMs + runDurationMs);
}

void ScheduleTimeline::active(std::uint64_t actStrTmMs, std::int32_t index, std::uint64_t intervalMs)
{
    if (actStrTmMs > 0 && index >= 1 && intervalMs > 0)
        add(actStrTmMs + static_cast<std::uint64_t>(index) * intervalMs);
}

std::optional<std::uint64_t> ScheduleTimeline::nextChangeAfter(std::uint64_t nowMs) const
{
    std::optional<std::uint64_t> next;
    bool late = false;
    for (std::uint64_t moment : moments_) {
        if (moment > nowMs)
            next = next ? std::min(*next, moment) : moment;
        else if (nowMs - moment <= kLateToleranceMs)
            late = true;
    }
    if (late)
        return next ? std::min(*next, nowMs + kRetryLateMs) : nowMs + kRetryLateMs;
    return next;
}
