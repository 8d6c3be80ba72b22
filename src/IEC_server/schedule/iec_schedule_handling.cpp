#include "iec_schedule_handling.hpp"

#include "iec61850/ied/hal.hpp"
#include "schedule_log.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kController = "ActPow_FSCC001";
constexpr std::string_view kOutput = "ActPow_GGIO001";
constexpr std::string_view kNoScheduleActive = "no_schedule_active";

constexpr std::array<std::string_view, 5> kSystemScheduleNodes{
    "SysComEr_FSCH220001", "SysSoft_FSCH110001", "SysSoft_FSCH110002", "SysSoft_FSCH110003", "SysSoft_FSCH110004",
};

sdbus::IProxy* proxy() { return scheduleManagerProxy.get(); }

Timestamp timestampAt(std::uint64_t ms)
{
    Timestamp timestamp;
    Timestamp_clearFlags(&timestamp);
    Timestamp_setTimeInMilliseconds(&timestamp, ms);
    Timestamp_setLeapSecondKnown(&timestamp, true);
    return timestamp;
}

Timestamp timestampNow() { return timestampAt(Hal_getTimeInMs()); }

DataAttribute* component(DataAttribute* attribute)
{
    return attribute ? static_cast<DataAttribute*>(attribute->firstChild) : nullptr;
}

bool isSystemSchedule(std::string_view lnName)
{
    for (std::string_view node : kSystemScheduleNodes)
        if (node == lnName) return true;
    return false;
}

const char* stateText(std::int32_t code)
{
    switch (code) {
    case 2: return "Start Time required";
    case 3: return "Ready";
    case 4: return "Running";
    default: return nullptr;
    }
}

// One schedule node's settings, read in one go.
struct ScheduleSettings {
    std::int32_t priority = 0;
    std::int32_t numberOfEntries = 0;
    std::int32_t interval = 0;
    std::vector<double> values;
    std::vector<std::uint64_t> startTimesMs;
    bool timeBased = false;
    bool reuse = false;
    bool eventTrigger = false;
    std::uint64_t uploadTimeMs = 0;
};

class ScheduleNodeReader {
public:
    ScheduleNodeReader(IedServer server, std::string ld, std::string ln)
        : server_(server), ld_(std::move(ld)), ln_(std::move(ln))
    {
    }

    // nullopt for a node without SchdPrio (not a schedule node).
    std::optional<ScheduleSettings> read() const
    {
        DataModelLock lock(server_);
        DataAttribute* priority = find("SchdPrio", "setVal");
        if (!priority) return std::nullopt;
        ScheduleSettings s;
        s.priority = IedServer_getInt32AttributeValue(server_, priority);
        s.numberOfEntries = IedServer_getInt32AttributeValue(server_, find("NumEntr", "setVal"));
        s.interval = IedServer_getInt32AttributeValue(server_, find("SchdIntv", "setVal"));
        s.values = values();
        s.uploadTimeMs = Hal_getTimeInMs();
        s.reuse = IedServer_getBooleanAttributeValue(server_, find("SchdReuse", "setVal"));
        s.timeBased = find(strTmName(1), "setTm") != nullptr;
        if (s.timeBased)
            s.startTimesMs = startTimes();
        else
            s.eventTrigger = IedServer_getBooleanAttributeValue(server_, find("EvTrg", "setVal"));
        return s;
    }

private:
    DataAttribute* find(std::string_view dataObject, std::string_view attribute) const
    {
        return box::findDataAttribute(ld_, ln_, dataObject, attribute);
    }

    std::vector<double> values() const
    {
        std::vector<double> values;
        for (int entry = 1; DataAttribute* setMag = find(valAsgName(entry), "setMag"); ++entry) {
            const MmsValue* structure = IedServer_getAttributeValue(server_, setMag);
            const MmsValue* f = structure ? MmsValue_getElement(structure, 0) : nullptr;
            values.push_back(f ? static_cast<double>(MmsValue_toFloat(f)) : 0.0);
        }
        return values;
    }

    std::vector<std::uint64_t> startTimes() const
    {
        std::vector<std::uint64_t> times;
        for (int entry = 1; DataAttribute* setTm = find(strTmName(entry), "setTm"); ++entry)
            times.push_back(IedServer_getUTCTimeAttributeValue(server_, setTm));
        return times;
    }

    IedServer server_;
    std::string ld_;
    std::string ln_;
};

schedulemanager::UploadResult send(const std::string& lnName, LogicalDeviceKind cls, ScheduleSettings s)
{
    if (s.timeBased) {
        return schedulemanager::addScheduleJSON(proxy(), clsNumber(cls), lnName,
                                                {s.priority, s.numberOfEntries, s.interval, std::move(s.values),
                                                 std::move(s.startTimesMs), s.reuse, s.uploadTimeMs});
    }
    return schedulemanager::addScheduleJSONTrg(proxy(), clsNumber(cls), lnName,
                                               {s.priority, s.numberOfEntries, s.interval, std::move(s.values),
                                                s.reuse, s.eventTrigger, s.uploadTimeMs, isSystemSchedule(lnName)});
}

std::string clsText(LogicalDeviceKind cls) { return std::to_string(clsNumber(cls)); }

// The run settings of a node as the service got them with its last upload.
struct RunSettings {
    std::uint64_t intervalMs = 0;
    std::uint64_t durationMs = 0;
    bool reuse = false;
};

RunSettings runSettings(IedServer server, const box::ModelAccess& model, const std::string& ld, const std::string& ln)
{
    DataAttribute* entries = model.findDataAttribute(ld, ln, "NumEntr", "setVal");
    DataAttribute* interval = model.findDataAttribute(ld, ln, "SchdIntv", "setVal");
    DataAttribute* reuse = model.findDataAttribute(ld, ln, "SchdReuse", "setVal");
    DataModelLock lock(server);
    RunSettings r;
    const std::int32_t seconds = interval ? IedServer_getInt32AttributeValue(server, interval) : 0;
    const std::int32_t count = entries ? IedServer_getInt32AttributeValue(server, entries) : 0;
    if (seconds > 0 && count > 0) {
        r.intervalMs = static_cast<std::uint64_t>(seconds) * 1000;
        r.durationMs = static_cast<std::uint64_t>(count) * r.intervalMs;
    }
    r.reuse = reuse && IedServer_getBooleanAttributeValue(server, reuse);
    return r;
}

bool mentions(std::string_view text, std::initializer_list<std::string_view> words)
{
    for (std::string_view word : words)
        if (text.find(word) != std::string_view::npos)
            return true;
    return false;
}

}  // namespace

std::int32_t enableErrorOf(std::string_view refusal)
{
    if (mentions(refusal, {"NumEntr", "entry count"}))
        return 2;
    if (mentions(refusal, {"SchdIntv", "interval"}))
        return 3;
    if (mentions(refusal, {"StrTm", "start time"}))
        return 6;
    if (mentions(refusal, {"ValASG", "value"}))
        return 4;
    return 99;
}

IecScheduleHandling::IecScheduleHandling(IedServer server, CallbackTable* callbacks)
    : server_(server), callbacks_(callbacks)
{
    initDBus();
}

IecScheduleHandling::~IecScheduleHandling()
{
    if (connection_) scheduleManagerProxy.reset();
}

void IecScheduleHandling::initDBus()
{
    schedulelog::print("Initializing DBus in IecScheduleHandling");
    schedulelog::record(LOG_INFO, "Initializing DBus in IecScheduleHandling");
    scheduleManagerProxy.reset();
    connection_.reset();
    schedulemanager::clearConnectionLost();
    try {
        connection_ = sdbus::createSystemBusConnection();
        scheduleManagerProxy = sdbus::createProxy(*connection_, kScheduleManagerService, kScheduleManagerPath);
    } catch (const sdbus::Error& error) {
        scheduleManagerProxy.reset();
        connection_.reset();
        const std::string text = std::string("Error initDBus: ") + error.what();
        schedulelog::report(text, text);
    }
}

void IecScheduleHandling::reconnectIfLost()
{
    if (!connection_ || schedulemanager::connectionLost() || !connectionAlive())
        initDBus();
}

// Reading what is pending on the connection finds out whether the bus is still there.
bool IecScheduleHandling::connectionAlive()
{
    try {
        for (int i = 0; i < 64 && connection_->processPendingRequest(); ++i) {
        }
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

DataAttribute* IecScheduleHandling::find(std::string_view ld, std::string_view ln, std::string_view dataObject,
                                         std::string_view attribute) const
{
    return model_.findDataAttribute(ld, ln, dataObject, attribute);
}

IecScheduleHandling::Unanswered IecScheduleHandling::updateAllDevices(const NodeFilter& configured)
{
    Unanswered unanswered;
    for (LogicalDeviceKind cls : {LogicalDeviceKind::CLS1, LogicalDeviceKind::CLS2})
        for (std::string_view prefix : scheduleTypePrefixes) {
            const std::string node = scheduleNodeName(prefix, 1);
            if (configured && !configured(deviceName(cls), node))
                continue;
            if (uploadSchedule(node, cls).outcome == UploadResult::Outcome::NoAnswer)
                unanswered.emplace_back(node, cls);
        }
    updateDevice(LogicalDeviceKind::CLS1);
    updateDevice(LogicalDeviceKind::CLS2);
    return unanswered;
}

void IecScheduleHandling::updateDevice(LogicalDeviceKind cls)
{
    timeline(cls).clear();
    for (std::string_view prefix : scheduleTypePrefixes)
        updateScheduleState(prefix, 1, cls);
    // Without a fresh answer the last reference may name a schedule that has
    // ended; its data is not republished then.
    if (updateActiveScheduleRef(cls)) updateActiveScheduleData(cls);
    discardUnsolicitedMessages();
}

std::optional<std::uint64_t> IecScheduleHandling::nextChangeMs(LogicalDeviceKind cls, std::uint64_t nowMs) const
{
    return timeline(cls).nextChangeAfter(nowMs);
}

IecScheduleHandling::UploadResult IecScheduleHandling::uploadSchedule(std::string lnName, LogicalDeviceKind cls)
{
    UploadResult result;
    if (auto settings = ScheduleNodeReader(server(), deviceName(cls), lnName).read()) {
        result = send(lnName, cls, std::move(*settings));
        showUploadResult(lnName, cls, result);
    }
    discardUnsolicitedMessages();
    return result;
}

// SchdEnaErr says whether the schedule could be enabled: 1 when the service
// took it, else the setting its refusal names. No answer changes nothing.
void IecScheduleHandling::showUploadResult(const std::string& lnName, LogicalDeviceKind cls, const UploadResult& result)
{
    using Outcome = UploadResult::Outcome;
    if (result.outcome == Outcome::NoAnswer)
        return;
    const std::int32_t code = result.outcome == Outcome::Accepted ? 1 : enableErrorOf(result.error);
    const std::string ld = deviceName(cls);
    DataAttribute* value = find(ld, lnName, "SchdEnaErr", "stVal");
    if (!value)
        return;
    writeStatus(find(ld, lnName, "SchdEnaErr", "t"),
                [&] { IedServer_updateInt32AttributeValue(server(), value, code); });
}

// A status's time goes first: the value's change sends the report, which carries both.
void IecScheduleHandling::writeStatus(DataAttribute* time, const std::function<void()>& writeValue)
{
    const Timestamp now = timestampNow();
    DataModelLock lock(server());
    IedServer_updateTimestampAttributeValue(server(), time, &now);
    writeValue();
}

// No event loop runs on the connection: replies that came after their call
// timed out, and signals addressed to us, would pile up in its queue.
void IecScheduleHandling::discardUnsolicitedMessages()
{
    if (connection_)
        connectionAlive();
}

bool IecScheduleHandling::updateScheduleState(std::string_view prefix, std::int32_t instance, LogicalDeviceKind cls)
{
    const std::string node = scheduleNodeName(prefix, instance);
    const std::string ld = deviceName(cls);
    DataAttribute* enaReq = find(ld, node, "EnaReq", "stVal");
    DataAttribute* state = find(ld, node, "SchdSt", "stVal");
    DataAttribute* stateTime = find(ld, node, "SchdSt", "t");
    if (!enaReq || !state || !stateTime) return false;

    const Timestamp now = timestampNow();
    const auto code =
        schedulemanager::updateStatusOfSchedule(proxy(), clsNumber(cls), std::string(prefix), instance);
    if (!code || *code < 1 || *code > 4) return false;

    if (const char* text = stateText(*code))
        schedulelog::report("Schedule " + node + " " + text + " ", "## Schedule: " + node + " " + text);
    const bool enabled = *code == 4;
    {
        DataModelLock lock(server());
        IedServer_updateTimestampAttributeValue(server(), stateTime, &now);
        IedServer_updateInt32AttributeValue(server(), state, *code);
        if (IedServer_getBooleanAttributeValue(server(), enaReq) != enabled)
            IedServer_updateTimestampAttributeValue(server(), find(ld, node, "EnaReq", "t"), &now);
        IedServer_updateBooleanAttributeValue(server(), enaReq, enabled);
    }
    noteStartTimes(node, *code, cls);
    return true;
}

// A schedule that waits for its start or runs has start times the service
// knows: they go into the node, and into the device's timeline.
void IecScheduleHandling::noteStartTimes(const std::string& node, std::int32_t state, LogicalDeviceKind cls)
{
    if (state < 2)
        return;
    const std::string ld = deviceName(cls);
    const auto nxtStrTm = schedulemanager::getNxtStrTm(proxy(), clsNumber(cls), node);
    if (!nxtStrTm)
        return;
    std::optional<std::uint64_t> actStrTm;
    if (state == 4 && !(actStrTm = schedulemanager::getActStrTm(proxy(), clsNumber(cls), node)))
        return;
    const Timestamp now = timestampNow();
    {
        DataModelLock lock(server());
        const Timestamp next = timestampAt(*nxtStrTm);
        IedServer_updateTimestampAttributeValue(server(), find(ld, node, "NxtStrTm", "t"), &now);
        IedServer_updateTimestampAttributeValue(server(), find(ld, node, "NxtStrTm", "stVal"), &next);
        if (actStrTm) {
            const Timestamp started = timestampAt(*actStrTm);
            IedServer_updateTimestampAttributeValue(server(), find(ld, node, "ActStrTm", "t"), &now);
            IedServer_updateTimestampAttributeValue(server(), find(ld, node, "ActStrTm", "stVal"), &started);
        }
    }
    if (state == 3)
        timeline(cls).ready(*nxtStrTm);
    if (state == 4) {
        const RunSettings run = runSettings(server(), model_, ld, node);
        timeline(cls).running(*actStrTm, *nxtStrTm, run.durationMs, run.reuse);
    }
}

bool IecScheduleHandling::updateActiveScheduleRef(LogicalDeviceKind cls)
{
    const auto name = schedulemanager::getActivateSchedule(proxy(), clsNumber(cls));
    if (!name) return false;
    const std::string ld = deviceName(cls);
    DataAttribute* ref = find(ld, kController, "ActSchdRef", "stVal");
    writeStatus(find(ld, kController, "ActSchdRef", "t"), [&] {
        IedServer_updateVisibleStringAttributeValue(server(), ref, activeScheduleRef(cls, *name).c_str());
    });
    return true;
}

void IecScheduleHandling::getActiveScheduleNameFromController(std::string& ld, std::string& name,
                                                              LogicalDeviceKind cls)
{
    const std::string prefix = "Error: CLS" + clsText(cls) + " getActiveScheduleNameFromController -> ";
    DataAttribute* ref = find(deviceName(cls), kController, "ActSchdRef", "stVal");
    if (!ref) {
        schedulelog::report(prefix + "DA is null", prefix + "DA is null");
        return;
    }
    std::string reference;
    {
        DataModelLock lock(server());
        const MmsValue* value = IedServer_getAttributeValue(server(), ref);
        const char* text = value ? MmsValue_toString(value) : nullptr;
        reference = text ? text : "";
    }
    if (reference.empty()) {
        schedulelog::report(prefix + "schdRef is empty", prefix + "schdRef is empty");
        return;
    }
    ScheduleRefParts parts = splitActiveScheduleRef(reference);
    ld = std::move(parts.device);
    name = std::move(parts.node);
}

void IecScheduleHandling::updateActiveScheduleData(LogicalDeviceKind cls)
{
    std::string ld;
    std::string name;
    getActiveScheduleNameFromController(ld, name, cls);
    if (ld.empty() || name.empty()) {
        const std::string text = "Error: CLS" + clsText(cls) +
                                 " updateActiveScheduleData -> LDofActiveSchedule or nameOfActiveSchedule is empty";
        schedulelog::report(text, text);
        return;
    }
    schedulelog::print("");
    schedulelog::print("## Active Schedule of " + ld + " is: " + name);
    if (name == kNoScheduleActive) {
        withdrawSetpoint(cls);
        return;
    }
    publishActiveScheduleData(ld, name, cls);
}

// Asks for the active node's entry, value and start times, finding each
// target as it goes; nullopt when a call failed or a target is missing.
std::optional<IecScheduleHandling::ActiveEntry> IecScheduleHandling::queryActiveEntry(const std::string& ld,
                                                                                      const std::string& name,
                                                                                      LogicalDeviceKind cls) const
{
    const std::int32_t number = clsNumber(cls);
    ActiveEntry e;
    const auto index = schedulemanager::calculateValIndex(proxy(), number, name, Hal_getTimeInMs());
    if (!index) return std::nullopt;
    e.index = *index;
    if (!(e.entryTarget = find(ld, name, "SchdEntr", "stVal"))) {
        const std::string text = "Error: DA in CLS" + clsText(cls) + " for SchdEntr not found";
        schedulelog::report(text, text);
        return std::nullopt;
    }
    const auto value = schedulemanager::getVal(proxy(), number, name, e.index);
    if (!value) return std::nullopt;
    e.value = *value;
    if (!(e.valueTarget = find(ld, name, "ValMV", "mag"))) {
        schedulelog::report("DA for ValMV not found", "Error: DA for ValMV not found");
        return std::nullopt;
    }
    const auto actStrTm = schedulemanager::getActStrTm(proxy(), number, name);
    if (!actStrTm) return std::nullopt;
    e.actStrTmMs = *actStrTm;
    if (!(e.actStrTmTarget = find(ld, name, "ActStrTm", "stVal"))) {
        schedulelog::report("DA for ActStrTm not found", "Error: DA for ActStrTm not found");
        return std::nullopt;
    }
    const auto nxtStrTm = schedulemanager::getNxtStrTm(proxy(), number, name);
    if (!nxtStrTm) return std::nullopt;
    e.nxtStrTmMs = *nxtStrTm;
    if (!(e.nxtStrTmTarget = find(ld, name, "NxtStrTm", "stVal"))) {
        schedulelog::report("DA for NxtStrTm not found", "Error: DA for NxtStrTm not found");
        return std::nullopt;
    }
    if (!(e.enaReqTarget = find(ld, name, "EnaReq", "stVal"))) {
        schedulelog::report("DA for EnaReq not found", "Error: DA for EnaReq not found");
        return std::nullopt;
    }
    return e;
}

// Written only once every answer is in, so the node, the outputs and the
// listeners keep their last good values when a call fails.
void IecScheduleHandling::publishActiveScheduleData(const std::string& ld, const std::string& name,
                                                    LogicalDeviceKind cls)
{
    const Timestamp now = timestampNow();
    const auto entry = queryActiveEntry(ld, name, cls);
    if (!entry) return;
    timeline(cls).active(entry->actStrTmMs, entry->index, runSettings(server(), model_, ld, name).intervalMs);

    {
        DataModelLock lock(server());
        IedServer_updateTimestampAttributeValue(server(), find(ld, name, "SchdEntr", "t"), &now);
        IedServer_updateInt32AttributeValue(server(), entry->entryTarget, entry->index);

        IedServer_updateTimestampAttributeValue(server(), find(ld, name, "ValMV", "t"), &now);
        MmsValue* structure = MmsValue_createEmptyStructure(1);
        MmsValue_setElement(structure, 0, MmsValue_newFloat(static_cast<float>(entry->value)));
        IedServer_updateAttributeValue(server(), entry->valueTarget, structure);
        MmsValue_delete(structure);

        const Timestamp actStrTm = timestampAt(entry->actStrTmMs);
        IedServer_updateTimestampAttributeValue(server(), find(ld, name, "ActStrTm", "t"), &now);
        IedServer_updateTimestampAttributeValue(server(), entry->actStrTmTarget, &actStrTm);
        const Timestamp nxtStrTm = timestampAt(entry->nxtStrTmMs);
        IedServer_updateTimestampAttributeValue(server(), find(ld, name, "NxtStrTm", "t"), &now);
        IedServer_updateTimestampAttributeValue(server(), entry->nxtStrTmTarget, &nxtStrTm);

        IedServer_updateTimestampAttributeValue(server(), find(ld, name, "EnaReq", "t"), &now);
        IedServer_updateBooleanAttributeValue(server(), entry->enaReqTarget, true);
    }

    updateSetpointOutputs(name, cls);
}

void IecScheduleHandling::updateSetpointOutputs(const std::string& lnName, LogicalDeviceKind cls)
{
    DataAttribute* nodeValue = component(find(deviceName(cls), lnName, "ValMV", "mag"));
    if (!nodeValue) {
        schedulelog::report("DA for ValMV not found", "Error: DA for ValMV not found");
        return;
    }
    publishSetpoint(IedServer_getFloatAttributeValue(server(), nodeValue), cls);
}

// No schedule runs any more: the outputs go back to where they stood before
// the first schedule ran, and the listeners hear of it.
void IecScheduleHandling::withdrawSetpoint(LogicalDeviceKind cls)
{
    if (setpointPublished_[static_cast<std::size_t>(clsNumber(cls)) - 1])
        publishSetpoint(0.0f, cls);
    setpointPublished_[static_cast<std::size_t>(clsNumber(cls)) - 1] = false;
}

void IecScheduleHandling::publishSetpoint(float value, LogicalDeviceKind cls)
{
    const Timestamp now = timestampNow();
    const std::string ld = deviceName(cls);
    {
        // The time goes first: the value's change sends the report, which carries both.
        DataModelLock lock(server());
        IedServer_updateTimestampAttributeValue(server(), find(ld, kOutput, "AnOut1", "t"), &now);
        IedServer_updateFloatAttributeValue(server(), component(find(ld, kOutput, "AnOut1", "mxVal")), value);
    }
    setpointPublished_[static_cast<std::size_t>(clsNumber(cls)) - 1] = true;

    if (!callbacks_ || callbacks_->empty()) {
        schedulelog::report("Error: No callbacks registered.", "Error: No callbacks registered.");
        return;
    }
    notifyListeners(cls);
    DataModelLock lock(server());
    IedServer_updateTimestampAttributeValue(server(), find(ld, kController, "ValMV", "t"), &now);
    IedServer_updateFloatAttributeValue(server(), component(find(ld, kController, "ValMV", "mag")), value);
}

void IecScheduleHandling::notifyListeners(LogicalDeviceKind cls)
{
    const CallbackTable listeners = *callbacks_;
    for (const auto& [name, listener] : listeners) {
        if (listener)
            listener(clsNumber(cls));
        else
            schedulelog::report("Error: callback " + name + " is empty", "Error: callback " + name + " is empty");
    }
}

std::optional<Schedule3Days> getSchedule3Days(std::int32_t cls)
{
    return schedulemanager::getSchedule3Days(scheduleManagerProxy.get(), cls);
}
