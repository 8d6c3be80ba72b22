// Schedule handling: uploads schedule nodes to the schedule-manager service
// and mirrors its answers (states, active schedule, set-point) into the model.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"
#include "logical_device_kind.hpp"
#include "server_context.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class IecScheduleHandling {
public:
    IecScheduleHandling(IedServer* server, CallbackTable* callbacks);

    void updateAllDevices();
    void updateDevice(LogicalDeviceKind cls);
    void uploadSchedule(std::string lnName, LogicalDeviceKind cls);

private:
    IedServer* server_;
    CallbackTable* callbacks_;
};

using Schedule3Days = std::map<std::uint64_t, std::int64_t>;

// The planned set-point profile of a CLS; nullopt when the service did not answer.
std::optional<Schedule3Days> getSchedule3Days(std::int32_t cls);
