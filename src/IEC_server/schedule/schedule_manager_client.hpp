// Blocking calls to the schedule-manager service on the system bus. Every
// call catches its D-Bus error, reports it (standard output and syslog) and
// tells the caller it failed; a null proxy fails the same way. Every call
// waits at most kServiceCallTimeout for its answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IProxy;
}

inline constexpr const char* kScheduleManagerService = "de.brenvolta.vantor.iec61850.schedulemanager";
inline constexpr const char* kScheduleManagerPath = "/de/brenvolta/vantor/iec61850/schedulemanager";
inline constexpr const char* kScheduleManagerInterface = kScheduleManagerService;

// How long any call waits for the service's answer.
inline constexpr std::chrono::milliseconds kServiceCallTimeout{3000};

using Schedule3Days = std::map<std::uint64_t, std::int64_t>;

// The process-wide proxy; installed by IecScheduleHandling, null before or
// when the system bus could not be opened.
extern std::unique_ptr<sdbus::IProxy> scheduleManagerProxy;

namespace schedulemanager {

struct TimedSchedule {
    std::int32_t priority = 0;
    std::int32_t numberOfEntries = 0;
    std::int32_t interval = 0;
    std::vector<double> values;
    std::vector<std::uint64_t> startTimesMs;
    bool reuse = false;
    std::uint64_t uploadTimeMs = 0;
};

struct TriggeredSchedule {
    std::int32_t priority = 0;
    std::int32_t numberOfEntries = 0;
    std::int32_t interval = 0;
    std::vector<double> values;
    bool reuse = false;
    bool eventTrigger = false;
    std::uint64_t uploadTimeMs = 0;
    bool systemSchedule = false;
};

// What became of an upload: the service took it, turned it down (its error
// text says why), or gave no answer.
struct UploadResult {
    enum class Outcome { Accepted, Refused, NoAnswer };
    Outcome outcome = Outcome::NoAnswer;
    std::string error;
};

// A pass over the service: a run of calls on one thread. The first call the
// service does not answer in time ends the pass: the calls after it fail at
// once, without a call and without a message, until the pass is over.
class ServicePass {
public:
    ServicePass();
    ~ServicePass();
    ServicePass(const ServicePass&) = delete;
    ServicePass& operator=(const ServicePass&) = delete;

    // A call of the pass on this thread timed out.
    static bool abandoned();
};

// Set when a call found the bus connection gone; whoever owns the connection
// reconnects and clears it.
bool connectionLost();
void clearConnectionLost();

std::optional<bool> checkExistence(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName);
std::optional<std::int32_t> updateStatusOfSchedule(sdbus::IProxy* proxy, std::int32_t cls, const std::string& prefix,
                                                   std::int32_t instance);
std::optional<std::uint64_t> getActStrTm(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName);
std::optional<std::uint64_t> getNxtStrTm(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName);
std::optional<std::int32_t> calculateValIndex(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName,
                                              std::uint64_t nowMs);
std::optional<double> getVal(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName, std::int32_t index);
UploadResult addScheduleJSON(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName,
                             const TimedSchedule& schedule);
UploadResult addScheduleJSONTrg(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName,
                                const TriggeredSchedule& schedule);
// The active node's name, or "no_schedule_active".
std::optional<std::string> getActivateSchedule(sdbus::IProxy* proxy, std::int32_t cls);
std::optional<Schedule3Days> getSchedule3Days(sdbus::IProxy* proxy, std::int32_t cls);

}  // namespace schedulemanager
