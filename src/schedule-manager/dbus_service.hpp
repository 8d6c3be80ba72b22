// The store served on D-Bus: the ten methods the IEC server calls, plus
// setEvent (isb: cls, lnName, present) to raise and clear the event of an
// event-triggered schedule.
#pragma once

#include "state_file.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>

namespace schedmgr {

inline constexpr const char* serviceName = "de.brenvolta.vantor.iec61850.schedulemanager";
inline constexpr const char* objectPath = "/de/brenvolta/vantor/iec61850/schedulemanager";
inline constexpr const char* interfaceName = "de.brenvolta.vantor.iec61850.schedulemanager";

using Clock = std::function<Millis()>;

Millis systemClockMillis();

class ScheduleManagerService {
public:
    struct Settings {
        StateFile stateFile;
        Clock clock = systemClockMillis;
        bool trace = false;
    };

    ScheduleManagerService(sdbus::IConnection& connection, ScheduleStore store, Settings settings);
    ScheduleManagerService(const ScheduleManagerService&) = delete;
    ScheduleManagerService& operator=(const ScheduleManagerService&) = delete;

private:
    void registerMethods();
    void store(std::int32_t cls, const std::string& lnName, const Upload& upload);
    void changed();
    void trace(const std::string& line) const;

    ScheduleStore store_;
    Settings settings_;
    std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace schedmgr
