#include "box_model.hpp"
#include "console.hpp"
#include "iec_schedule_handling.hpp"
#include "iec_server.hpp"
#include "logical_device_kind.hpp"
#include "settings_store.hpp"

#include <cinttypes>
#include <map>
#include <syslog.h>

std::set<ChangedNode> pendingChanges;
std::mutex changeMutex;

namespace {
std::set<ChangedNode> unansweredChanges;  // under changeMutex
}

namespace {

using WriteTargets = std::map<std::string, std::string>;  // data object -> data attribute

WriteTargets writeTargets()
{
    WriteTargets targets{{"SchdIntv", "setVal"}, {"EnaReq", "Oper"}};
    for (int entry = 1; entry <= 300; ++entry)
        targets.emplace(valAsgName(entry), "setMag");
    for (int entry = 1; entry <= 16; ++entry)
        targets.emplace(strTmName(entry), "setTm");
    return targets;
}

const char* nameOf(const ModelNode* node)
{
    return node && node->name ? node->name : "";
}

const char* textOf(const MmsValue* value)
{
    const char* text = MmsValue_toString(value);
    return text ? text : "";
}

// The set-point of a written setMag: its first member, the float f.
void logStructure(const MmsValue* value)
{
    if (MmsValue_getArraySize(value) == 0) {
        syslog(LOG_NOTICE, "Value: structure without members");
        return;
    }
    syslog(LOG_NOTICE, "Value: float (MMS_STRUCTURE) %f",
           static_cast<double>(MmsValue_toFloat(MmsValue_getElement(value, 0))));
}

void logArray(const MmsValue* value)
{
    const int size = MmsValue_getArraySize(value);
    syslog(LOG_NOTICE, "Value: array with size %zu", static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i)
        logMmsValue(MmsValue_getElement(value, i));
}

void logWrittenValue(const MmsValue* value)
{
    if (!value) {
        syslog(LOG_NOTICE, "Value: nullptr");
        return;
    }
    switch (MmsValue_getType(value)) {
    case MMS_ARRAY: logArray(value); break;
    case MMS_STRUCTURE: logStructure(value); break;
    case MMS_UTC_TIME:
        syslog(LOG_NOTICE, "Value: MMS_UTC_TIME: %llu",
               static_cast<unsigned long long>(MmsValue_toUnixTimestamp(value)));
        break;
    default: logMmsValue(value);
    }
}

// False when the service did not answer the upload: it is tried again later.
bool handOnToScheduleHandling(const ChangedNode& change)
{
    const auto& [node, device] = change;
    printEmptyLine();
    printLine("------- processIEC ValuesInSM: Logical Node Name: %s, CLS Name: %s", node.c_str(), device.c_str());
    const auto upload = scheduleHandling->uploadSchedule(node, logicalDeviceKindFromString(device));
    scheduleHandling->updateDevice(logicalDeviceKindFromString(device));
    return upload.outcome != IecScheduleHandling::UploadResult::Outcome::NoAnswer;
}

}  // namespace

void registerWriteHandlers(ServerContext& context, int n)
{
    printLine("+++++++++ Acess  Handler +++++++++ ");
    const WriteTargets targets = writeTargets();
    const std::string device = "CLS" + std::to_string(n);
    for (std::string_view prefix : scheduleTypePrefixes) {
        const std::string node = scheduleNodeName(prefix, 1);
        for (const auto& [object, attribute] : targets) {
            if (DataAttribute* da = box::findDataAttribute(device, node, object, attribute))
                IedServer_handleWriteAccess(iedServer, da, writeAccessHandler, &context);
        }
    }
}

MmsDataAccessError writeAccessHandler(DataAttribute* dataAttribute, MmsValue* value, ClientConnection, void*)
{
    const ModelNode* object = dataAttribute ? dataAttribute->parent : nullptr;
    const ModelNode* node = object ? object->parent : nullptr;
    const ModelNode* device = node ? node->parent : nullptr;
    syslog(LOG_NOTICE, "## writeAccess Handler called! %s LogicalNode: %s, DataObject: %s, DataAttribute: %s",
           nameOf(device), nameOf(node), nameOf(object), nameOf(dataAttribute));
    logWrittenValue(value);
    {
        std::lock_guard lock(changeMutex);
        pendingChanges.emplace(nameOf(node), nameOf(device));
    }
    wakeScheduleWorker();
    return DATA_ACCESS_ERROR_SUCCESS;
}

void logMmsValue(const MmsValue* value)
{
    switch (MmsValue_getType(value)) {
    case MMS_BOOLEAN: syslog(LOG_NOTICE, "Value: bool: %d", MmsValue_getBoolean(value) ? 1 : 0); break;
    case MMS_INTEGER: syslog(LOG_NOTICE, "Value: int32: %" PRId32, MmsValue_toInt32(value)); break;
    case MMS_UNSIGNED: syslog(LOG_NOTICE, "Value: uint32: %" PRIu32, MmsValue_toUint32(value)); break;
    case MMS_FLOAT: syslog(LOG_NOTICE, "Value: float: %f", static_cast<double>(MmsValue_toFloat(value))); break;
    case MMS_VISIBLE_STRING: syslog(LOG_NOTICE, "Value:std::string: %s", textOf(value)); break;
    default: syslog(LOG_NOTICE, "Unknown value type!");
    }
}

bool drainPendingChanges(const std::function<bool(const ChangedNode&)>& handOn)
{
    std::set<ChangedNode> changes;
    {
        std::lock_guard lock(changeMutex);
        changes.swap(pendingChanges);
    }
    std::set<ChangedNode> unanswered;
    for (const ChangedNode& change : changes)
        if (!handOn(change))
            unanswered.insert(change);
    const bool allAnswered = unanswered.empty();
    std::lock_guard lock(changeMutex);
    unansweredChanges.merge(unanswered);
    return allAnswered;
}

void keepUnanswered(const ChangedNode& change)
{
    std::lock_guard lock(changeMutex);
    unansweredChanges.insert(change);
}

void retryUnansweredChanges()
{
    std::lock_guard lock(changeMutex);
    pendingChanges.merge(unansweredChanges);
    unansweredChanges.clear();
}

bool changesPending()
{
    std::lock_guard lock(changeMutex);
    return !pendingChanges.empty();
}

bool processIECValuesInSM()
{
    if (settingsStore)
        settingsStore->saveIfChanged();
    return !scheduleHandling || drainPendingChanges(handOnToScheduleHandling);
}
