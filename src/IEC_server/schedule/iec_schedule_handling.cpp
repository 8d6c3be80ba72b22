#include "iec_schedule_handling.hpp"

IecScheduleHandling::IecScheduleHandling(IedServer* server, CallbackTable* callbacks)
    : server_(server), callbacks_(callbacks)
{
}

void IecScheduleHandling::updateAllDevices() {}
void IecScheduleHandling::updateDevice(LogicalDeviceKind) {}
void IecScheduleHandling::uploadSchedule(std::string, LogicalDeviceKind) {}

std::optional<Schedule3Days> getSchedule3Days(std::int32_t) { return std::nullopt; }
