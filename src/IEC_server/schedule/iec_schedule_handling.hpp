// Schedule handling: uploads schedule nodes to the schedule-manager service
// and mirrors its answers (states, active schedule, set-point) into the model.
#pragma once

#include "box_model.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "logical_device_kind.hpp"
#include "schedule_manager_client.hpp"
#include "server_context.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sdbus {
class IConnection;
}

class IecScheduleHandling {
public:
    // server: the address of the variable holding the running server.
    // Opens the system bus and installs scheduleManagerProxy; without a bus
    // it reports so and every later call fails as an unanswered one.
    IecScheduleHandling(IedServer* server, CallbackTable* callbacks);
    ~IecScheduleHandling();
    IecScheduleHandling(const IecScheduleHandling&) = delete;
    IecScheduleHandling& operator=(const IecScheduleHandling&) = delete;

    void initDBus();

    // Uploads the first instance of every schedule type of CLS1, then CLS2,
    // then refreshes both devices.
    void updateAllDevices();
    // States of the first instances, the active schedule, its data and outputs.
    void updateDevice(LogicalDeviceKind cls);
    // Sends the node's settings as they now stand; nothing for a non-schedule node.
    void uploadSchedule(std::string lnName, LogicalDeviceKind cls);

    // True when the service's state was written to SchdSt and EnaReq.
    bool updateScheduleState(std::string_view prefix, std::int32_t instance, LogicalDeviceKind cls);
    // True when the service named the active schedule and ActSchdRef holds it.
    bool updateActiveScheduleRef(LogicalDeviceKind cls);
    void updateActiveScheduleData(LogicalDeviceKind cls);
    // Device and node named by ActSchdRef; both left as they are on error.
    void getActiveScheduleNameFromController(std::string& ld, std::string& name, LogicalDeviceKind cls);
    void updateSetpointOutputs(const std::string& lnName, LogicalDeviceKind cls);

private:
    IedServer server() const { return *server_; }
    DataAttribute* find(std::string_view ld, std::string_view ln, std::string_view dataObject,
                        std::string_view attribute) const;
    struct ActiveEntry {
        std::int32_t index = 0;
        double value = 0.0;
        std::uint64_t actStrTmMs = 0;
        std::uint64_t nxtStrTmMs = 0;
        DataAttribute* entryTarget = nullptr;
        DataAttribute* valueTarget = nullptr;
        DataAttribute* actStrTmTarget = nullptr;
        DataAttribute* nxtStrTmTarget = nullptr;
        DataAttribute* enaReqTarget = nullptr;
    };
    std::optional<ActiveEntry> queryActiveEntry(const std::string& ld, const std::string& name,
                                                LogicalDeviceKind cls) const;
    void publishActiveScheduleData(const std::string& ld, const std::string& name, LogicalDeviceKind cls);
    void notifyListeners(LogicalDeviceKind cls);
    void discardUnsolicitedMessages();

    IedServer* server_;
    box::ModelAccess model_;
    CallbackTable* callbacks_;
    std::unique_ptr<sdbus::IConnection> connection_;
};

// The planned set-point profile of a CLS; nullopt when the service did not answer.
std::optional<Schedule3Days> getSchedule3Days(std::int32_t cls);
