#include "schedule_store.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace schedmgr {

namespace {

[[noreturn]] void refuse(const std::string& message)
{
    throw RequestError(RequestError::Kind::InvalidArgs, message);
}

bool isNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

struct Candidate {
    const std::string* name;
    const Schedule* schedule;
    Run run;

    auto rank() const { return std::tuple(schedule->priority, run.trigger, schedule->uploadTime); }
    bool beats(const Candidate& other) const
    {
        if (rank() != other.rank())
            return rank() > other.rank();
        return *name < *other.name;
    }
};

template <typename Entries>
std::optional<Candidate> pickActive(const Entries& entries, Millis now)
{
    std::optional<Candidate> best;
    for (const auto& [name, schedule] : entries) {
        if (auto run = schedule->runAt(now)) {
            Candidate candidate{name, schedule, *run};
            if (!best || candidate.beats(*best))
                best = candidate;
        }
    }
    return best;
}

}  // namespace

void checkCls(std::int32_t cls)
{
    if (cls < 1 || cls > maxCls)
        refuse("CLS " + std::to_string(cls) + " outside 1.." + std::to_string(maxCls));
}

void checkLnName(const std::string& lnName)
{
    if (lnName.empty() || lnName.size() > maxLnNameLength ||
        !std::all_of(lnName.begin(), lnName.end(), isNameCharacter))
        refuse("invalid logical-node name '" + lnName.substr(0, maxLnNameLength) + "'");
}

Schedule normalise(const Upload& upload)
{
    if (upload.entryCount < 0)
        refuse("negative entry count");
    if (upload.intervalSeconds <= 0)
        refuse("interval must be at least 1 s");
    if (upload.values.size() > maxValues)
        refuse("more than " + std::to_string(maxValues) + " values");
    if (static_cast<std::size_t>(upload.entryCount) > upload.values.size())
        refuse("entry count exceeds the number of values");
    if (upload.startTimes.size() > maxStartTimes)
        refuse("more than " + std::to_string(maxStartTimes) + " start times");

    Schedule schedule;
    schedule.priority = upload.priority;
    schedule.entryCount = upload.entryCount;
    schedule.intervalSeconds = upload.intervalSeconds;
    schedule.values.assign(upload.values.begin(), upload.values.begin() + upload.entryCount);
    std::copy_if(upload.startTimes.begin(), upload.startTimes.end(), std::back_inserter(schedule.startTimes),
                 [](Millis t) { return t != 0; });
    std::sort(schedule.startTimes.begin(), schedule.startTimes.end());
    schedule.startTimes.erase(std::unique(schedule.startTimes.begin(), schedule.startTimes.end()),
                              schedule.startTimes.end());
    schedule.reuse = upload.reuse;
    schedule.trigger = upload.trigger;
    schedule.systemSchedule = upload.systemSchedule;
    schedule.uploadTime = upload.uploadTime;
    validate(schedule);
    return schedule;
}

std::int64_t roundToKw(double value)
{
    constexpr double limit = 9.2e18;
    if (value >= limit)
        return INT64_MAX;
    if (value <= -limit)
        return INT64_MIN + 1;
    return std::llround(value);
}

void ScheduleStore::upload(std::int32_t cls, const std::string& lnName, const Upload& upload)
{
    checkCls(cls);
    checkLnName(lnName);
    ScheduleKey key{cls, lnName};
    Schedule schedule;
    try {
        schedule = normalise(upload);
    } catch (const RequestError&) {
        schedules_.erase(key);
        throw;
    }
    if (auto old = schedules_.find(key); old != schedules_.end() && schedule.trigger == Trigger::Event)
        schedule.eventSince = old->second.eventSince;
    insert(std::move(key), std::move(schedule));
}

void ScheduleStore::restore(std::int32_t cls, const std::string& lnName, Schedule schedule)
{
    checkCls(cls);
    checkLnName(lnName);
    validate(schedule);
    insert({cls, lnName}, std::move(schedule));
}

void ScheduleStore::insert(ScheduleKey key, Schedule schedule)
{
    if (auto existing = schedules_.find(key); existing != schedules_.end()) {
        existing->second = std::move(schedule);
        return;
    }
    if (schedulesOf(key.first).size() >= maxSchedulesPerCls)
        throw RequestError(RequestError::Kind::StoreFull,
                           "CLS " + std::to_string(key.first) + " already holds " +
                               std::to_string(maxSchedulesPerCls) + " schedules");
    schedules_.emplace(std::move(key), std::move(schedule));
}

void ScheduleStore::setEvent(std::int32_t cls, const std::string& lnName, bool present, Millis now)
{
    auto& schedule = find(cls, lnName);
    if (schedule.trigger != Trigger::Event)
        refuse(lnName + " is not an event-triggered schedule");
    if (!present)
        schedule.eventSince.reset();
    else if (!schedule.eventSince)
        schedule.eventSince = now;
}

const Schedule& ScheduleStore::find(std::int32_t cls, const std::string& lnName) const
{
    checkCls(cls);
    checkLnName(lnName);
    auto it = schedules_.find({cls, lnName});
    if (it == schedules_.end())
        throw RequestError(RequestError::Kind::UnknownSchedule,
                           "no schedule " + lnName + " for CLS " + std::to_string(cls));
    return it->second;
}

Schedule& ScheduleStore::find(std::int32_t cls, const std::string& lnName)
{
    return const_cast<Schedule&>(std::as_const(*this).find(cls, lnName));
}

std::vector<ScheduleStore::Entry> ScheduleStore::schedulesOf(std::int32_t cls) const
{
    std::vector<Entry> entries;
    for (auto it = schedules_.lower_bound({cls, {}}); it != schedules_.end() && it->first.first == cls; ++it)
        entries.emplace_back(&it->first.second, &it->second);
    return entries;
}

bool ScheduleStore::contains(std::int32_t cls, const std::string& lnName) const
{
    checkCls(cls);
    checkLnName(lnName);
    return schedules_.contains({cls, lnName});
}

ScheduleState ScheduleStore::state(std::int32_t cls, const std::string& lnName, Millis now) const
{
    if (!contains(cls, lnName))
        return ScheduleState::NotReady;
    return schedules_.at({cls, lnName}).stateAt(now);
}

std::string ScheduleStore::activeSchedule(std::int32_t cls, Millis now) const
{
    checkCls(cls);
    const auto active = pickActive(schedulesOf(cls), now);
    return active ? *active->name : noScheduleActive;
}

std::int32_t ScheduleStore::entryIndex(std::int32_t cls, const std::string& lnName, Millis now) const
{
    return find(cls, lnName).entryIndexAt(now);
}

double ScheduleStore::value(std::int32_t cls, const std::string& lnName, std::int32_t index) const
{
    const auto& schedule = find(cls, lnName);
    if (index < 1 || index > schedule.entryCount)
        refuse("entry index " + std::to_string(index) + " outside 1.." + std::to_string(schedule.entryCount));
    return schedule.values[static_cast<std::size_t>(index - 1)];
}

Millis ScheduleStore::activeStartTime(std::int32_t cls, const std::string& lnName, Millis now) const
{
    const auto run = find(cls, lnName).runAt(now);
    return run ? run->start : 0;
}

Millis ScheduleStore::nextStartTime(std::int32_t cls, const std::string& lnName, Millis now) const
{
    return find(cls, lnName).nextStartAfter(now);
}

Profile ScheduleStore::profile(std::int32_t cls, Millis now) const
{
    checkCls(cls);
    const auto entries = schedulesOf(cls);
    const Millis end = now + profileHorizon;
    Profile profile;
    std::optional<std::int64_t> previous;
    for (Millis t = now; t < end && profile.size() < maxProfilePoints;) {
        const auto active = pickActive(entries, t);
        std::optional<std::int64_t> setpoint;
        if (active) {
            const auto index = active->schedule->entryIndexAt(t);
            setpoint = roundToKw(active->schedule->values[static_cast<std::size_t>(index - 1)]);
        }
        if (t == now ? setpoint.has_value() : setpoint != previous)
            profile[t] = setpoint.value_or(noSetpoint);
        previous = setpoint;

        std::optional<Millis> next;
        auto keepEarliest = [&next](std::optional<Millis> change) {
            if (change && (!next || *change < *next))
                next = change;
        };
        for (const auto& [name, schedule] : entries)
            keepEarliest(schedule->nextRunChangeAfter(t));
        if (active)
            keepEarliest(active->schedule->nextValueChangeAfter(
                t, [](double a, double b) { return roundToKw(a) == roundToKw(b); }));
        if (!next)
            break;
        t = *next;
    }
    return profile;
}

}  // namespace schedmgr
