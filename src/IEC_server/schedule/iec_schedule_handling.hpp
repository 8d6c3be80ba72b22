// Schedule handling: uploads schedule nodes to the schedule-manager service
// and mirrors its answers (states, active schedule, set-point) into the model.
// All of it runs on one thread; every model access takes the data-model lock.
#pragma once

#include "box_model.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "logical_device_kind.hpp"
#include "schedule_manager_client.hpp"
#include "schedule_timeline.hpp"
#include "server_context.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sdbus {
class IConnection;
}

class IecScheduleHandling {
public:
    using UploadResult = schedulemanager::UploadResult;
    // Whether a node holds settings a client configured (ld, ln).
    using NodeFilter = std::function<bool(const std::string&, const std::string&)>;

    // Opens the system bus and installs scheduleManagerProxy; without a bus
    // it reports so and every later call fails as an unanswered one.
    IecScheduleHandling(IedServer server, CallbackTable* callbacks);
    ~IecScheduleHandling();
    IecScheduleHandling(const IecScheduleHandling&) = delete;
    IecScheduleHandling& operator=(const IecScheduleHandling&) = delete;

    void initDBus();
    // Opens the bus again when a call found the connection gone (or there was none).
    void reconnectIfLost();

    // Uploads the first instance of every schedule type of CLS1, then CLS2,
    // then refreshes both devices. With a filter, only the nodes it accepts
    // are uploaded: the service keeps what it holds for the others. Returns
    // the uploads the service did not answer.
    using Unanswered = std::vector<std::pair<std::string, LogicalDeviceKind>>;
    Unanswered updateAllDevices(const NodeFilter& configured = {});
    // States of the first instances, the active schedule, its data and outputs.
    void updateDevice(LogicalDeviceKind cls);
    // Sends the node's settings as they now stand and shows in SchdEnaErr
    // whether the service took them; NoAnswer for a non-schedule node too.
    UploadResult uploadSchedule(std::string lnName, LogicalDeviceKind cls);

    // True when the service's state was written to SchdSt and EnaReq.
    bool updateScheduleState(std::string_view prefix, std::int32_t instance, LogicalDeviceKind cls);
    // True when the service named the active schedule and ActSchdRef holds it.
    bool updateActiveScheduleRef(LogicalDeviceKind cls);
    void updateActiveScheduleData(LogicalDeviceKind cls);
    // Device and node named by ActSchdRef; both left as they are on error.
    void getActiveScheduleNameFromController(std::string& ld, std::string& name, LogicalDeviceKind cls);
    void updateSetpointOutputs(const std::string& lnName, LogicalDeviceKind cls);

    // When, after the device's last pass, its schedules change next (ms since
    // the epoch); nullopt when nothing is known to come.
    std::optional<std::uint64_t> nextChangeMs(LogicalDeviceKind cls, std::uint64_t nowMs) const;

private:
    IedServer server() const { return server_; }
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
    void noteStartTimes(const std::string& node, std::int32_t state, LogicalDeviceKind cls);
    void publishSetpoint(float value, LogicalDeviceKind cls);
    void withdrawSetpoint(LogicalDeviceKind cls);
    void showUploadResult(const std::string& lnName, LogicalDeviceKind cls, const UploadResult& result);
    void writeStatus(DataAttribute* time, const std::function<void()>& writeValue);
    void notifyListeners(LogicalDeviceKind cls);
    void discardUnsolicitedMessages();
    bool connectionAlive();
    ScheduleTimeline& timeline(LogicalDeviceKind cls) { return timelines_[static_cast<std::size_t>(clsNumber(cls)) - 1]; }
    const ScheduleTimeline& timeline(LogicalDeviceKind cls) const
    {
        return timelines_[static_cast<std::size_t>(clsNumber(cls)) - 1];
    }

    IedServer server_;
    box::ModelAccess model_;
    CallbackTable* callbacks_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::array<ScheduleTimeline, 4> timelines_;
    std::array<bool, 4> setpointPublished_{};
};

// The planned set-point profile of a CLS; nullopt when the service did not answer.
std::optional<Schedule3Days> getSchedule3Days(std::int32_t cls);

// What a refusal of an upload says about the node's settings: the enable
// error code of IEC 61850-90-10 (2 NumEntr, 3 SchdIntv, 4 values, 6 StrTm,
// 99 other).
std::int32_t enableErrorOf(std::string_view refusal);
