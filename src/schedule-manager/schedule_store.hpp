// The schedules of every CLS, keyed by CLS number and logical-node name, and
// the questions the server asks about them. No I/O: "now" is passed in.
//
// - An upload that breaks a rule is refused with a RequestError and withdraws
//   the schedule stored under that name, which then reads as not ready (1).
// - Active schedule of a CLS: among the running ones the highest priority;
//   on a tie the later start (the start time or event that began the run),
//   then the later upload, then the smaller name.
// - Three-day profile: from now to now + 72 h, each moment the set-point
//   changes mapped to the set-point then in force in whole kW; a moment from
//   which no schedule is active maps to noSetpoint. The value at now is
//   included when a schedule is active.
#pragma once

#include "schedule.hpp"

#include <map>
#include <string>
#include <utility>

namespace schedmgr {

inline constexpr std::int32_t maxCls = 4;
inline constexpr std::size_t maxSchedulesPerCls = 64;
inline constexpr std::size_t maxLnNameLength = 64;
inline constexpr Millis profileHorizon = 72ULL * 3600 * 1000;
inline constexpr std::size_t maxProfilePoints = 10000;
inline constexpr std::int64_t noSetpoint = INT64_MIN;
inline constexpr const char* noScheduleActive = "no_schedule_active";

using ScheduleKey = std::pair<std::int32_t, std::string>;
using Profile = std::map<Millis, std::int64_t>;

// What a client sends with an upload, before it is checked.
struct Upload {
    std::int32_t priority = 0;
    std::int32_t entryCount = 0;
    std::int32_t intervalSeconds = 0;
    std::vector<double> values;
    std::vector<Millis> startTimes;  // as sent, 0 = unset
    bool reuse = false;
    Trigger trigger = Trigger::StartTimes;
    bool systemSchedule = false;
    Millis uploadTime = 0;
};

class ScheduleStore {
public:
    // All of these throw RequestError for a CLS outside 1..maxCls or a bad name.
    void upload(std::int32_t cls, const std::string& lnName, const Upload& upload);
    void setEvent(std::int32_t cls, const std::string& lnName, bool present, Millis now);
    // Adds an already normalised schedule, e.g. one read back from a file.
    void restore(std::int32_t cls, const std::string& lnName, Schedule schedule);

    bool contains(std::int32_t cls, const std::string& lnName) const;
    ScheduleState state(std::int32_t cls, const std::string& lnName, Millis now) const;
    std::string activeSchedule(std::int32_t cls, Millis now) const;
    std::int32_t entryIndex(std::int32_t cls, const std::string& lnName, Millis now) const;
    double value(std::int32_t cls, const std::string& lnName, std::int32_t index) const;
    Millis activeStartTime(std::int32_t cls, const std::string& lnName, Millis now) const;
    Millis nextStartTime(std::int32_t cls, const std::string& lnName, Millis now) const;
    Profile profile(std::int32_t cls, Millis now) const;

    const std::map<ScheduleKey, Schedule>& schedules() const { return schedules_; }

private:
    using Entry = std::pair<const std::string*, const Schedule*>;

    const Schedule& find(std::int32_t cls, const std::string& lnName) const;
    Schedule& find(std::int32_t cls, const std::string& lnName);
    std::vector<Entry> schedulesOf(std::int32_t cls) const;
    void insert(ScheduleKey key, Schedule schedule);

    std::map<ScheduleKey, Schedule> schedules_;
};

void checkCls(std::int32_t cls);
void checkLnName(const std::string& lnName);
Schedule normalise(const Upload& upload);  // throws RequestError(InvalidArgs)
std::int64_t roundToKw(double value);

}  // namespace schedmgr
