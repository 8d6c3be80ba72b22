#include "interface_ems.hpp"

#include "iec_server.hpp"
#include "jsonrpc_config.hpp"
#include "jsonrpc_mapper.hpp"
#include "numeric_conversion.hpp"

#include "iec61850/ied/hal.hpp"
#include "iec61850/ied/mms_value_api.hpp"

#include <fstream>
#include <iostream>
#include <syslog.h>

namespace {

constexpr const char* kListenerName = "callback1";
constexpr std::int32_t kPublishedCls = 1;

void trace(const std::string& line) { std::cout << line + '\n' << std::flush; }
void traceError(const std::string& line) { std::cerr << line + '\n' << std::flush; }

std::string clsTrace(std::int32_t n, const char* what)
{
    return "### InterfaceEMS CLS" + std::to_string(n) + " " + what + " ### ";
}

std::string logicalDevice(std::int32_t n) { return "CLS" + std::to_string(n); }

DataAttribute* component(DataAttribute* attribute, int index)
{
    ModelNode* node = attribute ? attribute->firstChild : nullptr;
    for (; node && index > 0; --index)
        node = node->sibling;
    return node && node->modelType == DataAttributeModelType ? static_cast<DataAttribute*>(node) : nullptr;
}

std::int64_t readFloat(IedServer server, DataAttribute* attribute)
{
    return attribute ? ems::truncateToInt64(IedServer_getFloatAttributeValue(server, attribute)) : 0;
}

}  // namespace

InterfaceEMS::InterfaceEMS(ServerContext* context) : context(context)
{
    try {
        trace("");
        trace("# InterfaceEMS initiation");
        syslog(LOG_INFO, "InterfaceEMS initiation");
        createDBusConnectionAndObjects();
        registerDBusInterfaces();
        readJsonrpcConfig();
        jsonrpcMapper = std::make_unique<JsonrpcMapper>(jsonrpcEnabled, jsonrpcHost, jsonrpcPort);
        trace("# InterfaceEMS initiation done");
        trace("");
        syslog(LOG_INFO, "InterfaceEMS initiation done");
    } catch (const std::exception& e) {
        traceError(std::string("Error during InterfaceEMS initialization: ") + e.what());
    }
}

InterfaceEMS::~InterfaceEMS()
{
    // No handler may run while the members go.
    {
        std::lock_guard lock(busMutex);
        stopping = true;
        if (connection)
            connection->leaveEventLoop();
    }
    stopRequested.notify_all();
    if (busThread.joinable())
        busThread.join();
    dropConnection();
}

void InterfaceEMS::dropConnection()
{
    // The objects refer to the connection: they go first.
    rootObject.reset();
    clsObject.reset();
    mmxuObject.reset();
    actPowObject.reset();
    connection.reset();
}

void InterfaceEMS::createDBusConnectionAndObjects()
{
    dropConnection();
    connection = sdbus::createSystemBusConnection(serviceName);
    rootObject = sdbus::createObject(*connection, "/de/brenvolta/vantor/iec61850");
    clsObject = sdbus::createObject(*connection, clsObjectPathPrefix + std::to_string(kPublishedCls));
    mmxuObject = sdbus::createObject(*connection, mmxuObjectPathPrefix + std::to_string(kPublishedCls));
    actPowObject = sdbus::createObject(*connection, actPowObjectPathPrefix + std::to_string(kPublishedCls));
}

void InterfaceEMS::registerDBusInterfaces()
{
    trace("registerDBusInterfaces");
    registerMembers();
    if (context)
        context->registerCallback(kListenerName, [this](std::int32_t n) { emitDbusSignalUpdateActPowGGIO001(n); });
    finishRegistration();
    busThread = std::thread([this] { serveBus(); });
}

void InterfaceEMS::registerMembers()
{
    registerRootMembers();
    registerClsMembers();
    registerMmxuMembers();
    registerActPowMembers();
}

void InterfaceEMS::finishRegistration()
{
    for (const auto& object : {rootObject, clsObject, mmxuObject, actPowObject})
        object->finishRegistration();
}

// The D-Bus thread: serves the bus until the process ends, and when the bus
// goes away (its daemon restarted) connects again.
void InterfaceEMS::serveBus()
{
    for (;;) {
        try {
            connection->enterEventLoop();
            return;  // left on purpose
        } catch (const sdbus::Error& e) {
            traceError(std::string("InterfaceEMS -> lost the system bus: ") + e.what());
        }
        if (!reconnect())
            return;
    }
}

// Tries again with growing pauses; false when the process asks it to stop.
bool InterfaceEMS::reconnect()
{
    using namespace std::chrono_literals;
    std::chrono::milliseconds pause = 200ms;
    for (bool reported = false;; pause = std::min<std::chrono::milliseconds>(pause * 2, 10s)) {
        std::unique_lock lock(busMutex);
        if (stopRequested.wait_for(lock, pause, [this] { return stopping; }))
            return false;
        try {
            createDBusConnectionAndObjects();
            registerMembers();
            finishRegistration();
            trace("InterfaceEMS -> connected to the system bus again");
            syslog(LOG_NOTICE, "InterfaceEMS connected to the system bus again");
            return true;
        } catch (const sdbus::Error& e) {
            dropConnection();
            if (!reported)
                traceError(std::string("InterfaceEMS -> connecting to the system bus failed: ") + e.what());
            reported = true;
        }
    }
}

void InterfaceEMS::registerRootMembers()
{
    rootObject->registerProperty("cls_devices").onInterface(rootInterfaceName).withGetter([this] {
        return getDbusObjectPathsCLSDevices();
    });
}

void InterfaceEMS::registerClsMembers()
{
    clsObject->registerProperty("mmxu001").onInterface(clsInterfaceName).withGetter([this] {
        return getDBUSObjectPathMMXU(kPublishedCls);
    });
    clsObject->registerProperty("actpow_ggioO001").onInterface(clsInterfaceName).withGetter([this] {
        return getDBUSObjectPathActPowGGIO001(kPublishedCls);
    });
}

void InterfaceEMS::registerMmxuMembers()
{
    mmxuObject->registerProperty("totw").onInterface(mmxuInterfaceName).withGetter([this] {
        return getDBUSMMX001Totw(kPublishedCls);
    });
    mmxuObject->registerMethod("setTotw")
        .onInterface(mmxuInterfaceName)
        .implementedAs([this](std::int64_t value, std::uint64_t timestamp, std::int32_t reserved) {
            setTotwAndNotify(value, timestamp, reserved, kPublishedCls);
        });
    mmxuObject->registerSignal("totw").onInterface(mmxuInterfaceName).withParameters<TotwValue>();
}

void InterfaceEMS::registerActPowMembers()
{
    const std::string& interface = actPowInterfaceName;
    actPowObject->registerSignal("AnOut_mxVal_f").onInterface(interface).withParameters<std::int64_t>();
    actPowObject->registerSignal("AnOut1_units_multiplier").onInterface(interface).withParameters<std::int32_t>();
    actPowObject->registerSignal("AnOut1_minVal_f").onInterface(interface).withParameters<std::int64_t>();
    actPowObject->registerSignal("AnOut1_maxVal_f").onInterface(interface).withParameters<std::int64_t>();
    actPowObject->registerSignal("AnOut_mxVal_Schedule").onInterface(interface).withParameters<Schedule3Days>();
    actPowObject->registerProperty("AnOut_mxVal_f").onInterface(interface).withGetter([this] {
        return getPowerLimit(kPublishedCls);
    });
    actPowObject->registerProperty("AnOut1_units_multiplier").onInterface(interface).withGetter([this] {
        return getScaleFactor(kPublishedCls);
    });
    actPowObject->registerProperty("AnOut1_minVal_f").onInterface(interface).withGetter([this] {
        return getMaxProductionPower(kPublishedCls);
    });
    actPowObject->registerProperty("AnOut1_maxVal_f").onInterface(interface).withGetter([this] {
        return getMaxConsumptionPower(kPublishedCls);
    });
    actPowObject->registerProperty("AnOut_mxVal_Schedule").onInterface(interface).withGetter([this] {
        return schedule3DaysCopy();
    });
}

void InterfaceEMS::readJsonrpcConfig()
{
    std::ifstream file(kJsonrpcConfigPath);
    if (!file) {
        traceError("Could not open JSONRPC_config.conf config file, using defaults");
        return;
    }
    JsonrpcConfig config{jsonrpcEnabled, jsonrpcHost, jsonrpcPort};
    const auto keep = [&] {
        jsonrpcEnabled = config.enabled;
        jsonrpcHost = config.host;
        jsonrpcPort = config.port;
    };
    try {
        applyJsonrpcConfig(file, config);
    } catch (...) {
        keep();
        throw;
    }
    keep();
}

ActPowValues InterfaceEMS::readActPowValues(std::int32_t n) const
{
    const std::string ld = logicalDevice(n);
    const auto find = [&](const char* da) {
        return attributeAccess.findDataAttribute(ld, "ActPow_GGIO001", "AnOut1", da);
    };
    const IedServer server = iedServer.load(std::memory_order_acquire);
    DataModelLock lock(server);
    ActPowValues values;
    values.powerLimit = readFloat(server, component(find("mxVal"), 0));
    if (DataAttribute* t = find("t"))
        values.powerLimitTime = IedServer_getUTCTimeAttributeValue(server, t);
    if (DataAttribute* multiplier = component(find("units"), 1))
        values.scaleFactor = MmsValue_toInt32(IedServer_getAttributeValue(server, multiplier));
    values.maxProductionPower = readFloat(server, component(find("minVal"), 0));
    values.maxConsumptionPower = readFloat(server, component(find("maxVal"), 0));
    return values;
}

std::int64_t InterfaceEMS::getPowerLimit(std::int32_t n) const
{
    trace(clsTrace(n, "getPower Limit"));
    return readActPowValues(kPublishedCls).powerLimit;
}

std::int32_t InterfaceEMS::getScaleFactor(std::int32_t n) const
{
    trace(clsTrace(n, "getScale Factor"));
    return readActPowValues(kPublishedCls).scaleFactor;
}

std::int64_t InterfaceEMS::getMaxProductionPower(std::int32_t n) const
{
    trace(clsTrace(n, "getMax ProductionPower"));
    return readActPowValues(kPublishedCls).maxProductionPower;
}

std::int64_t InterfaceEMS::getMaxConsumptionPower(std::int32_t n) const
{
    trace(clsTrace(n, "getMax ConsumptionPower"));
    return readActPowValues(kPublishedCls).maxConsumptionPower;
}

std::int64_t InterfaceEMS::readTotw(std::int32_t n) const
{
    DataAttribute* mag = attributeAccess.findDataAttribute(logicalDevice(n), "MMXU001", "TotW", "mag");
    const IedServer server = iedServer.load(std::memory_order_acquire);
    DataModelLock lock(server);
    return readFloat(server, component(mag, 0));
}

TotwValue InterfaceEMS::getDBUSMMX001Totw(std::int32_t n) const
{
    trace(clsTrace(n, "getDBUSMMX001Totw"));
    return TotwValue(readTotw(kPublishedCls), Hal_getTimeInMs() / 1000, 0);
}

void InterfaceEMS::setTotw(std::int64_t value, std::uint64_t, std::int32_t, std::int32_t n)
{
    DataAttribute* mag = attributeAccess.findDataAttribute(logicalDevice(n), "MMXU001", "TotW", "mag");
    DataAttribute* f = component(mag, 0);
    if (!f) {
        trace("DataAttribute not found");
        return;
    }
    const IedServer server = iedServer.load(std::memory_order_acquire);
    if (!server) {
        traceError("InterfaceEMS setTotw -> IEC server not created yet, value not stored");
        return;
    }
    // The time of the measurement goes first, so the value's report carries it.
    Timestamp now;
    Timestamp_clearFlags(&now);
    Timestamp_setTimeInMilliseconds(&now, Hal_getTimeInMs());
    Timestamp_setLeapSecondKnown(&now, true);
    DataModelLock lock(server);
    IedServer_updateTimestampAttributeValue(
        server, attributeAccess.findDataAttribute(logicalDevice(n), "MMXU001", "TotW", "t"), &now);
    IedServer_updateFloatAttributeValue(server, f, static_cast<float>(value));
}

sdbus::ObjectPath InterfaceEMS::getDBUSObjectPathMMXU(std::int32_t n) const
{
    trace(clsTrace(n, "getDBUSObject PathMMXU"));
    return sdbus::ObjectPath(mmxuObjectPathPrefix + std::to_string(n));
}

sdbus::ObjectPath InterfaceEMS::getDBUSObjectPathActPowGGIO001(std::int32_t n) const
{
    trace("### InterfaceEMS getDBUSObject PathActPowGGIO001 ### ");
    return sdbus::ObjectPath(actPowObjectPathPrefix + std::to_string(n));
}

std::vector<sdbus::ObjectPath> InterfaceEMS::getDbusObjectPathsCLSDevices() const
{
    trace("### InterfaceEMS getDbusObject PathsCLSDevices ### ");
    std::vector<sdbus::ObjectPath> paths;
    for (int cls = 1; cls <= 4; ++cls)
        paths.emplace_back(clsObjectPathPrefix + std::to_string(cls));
    return paths;
}

void InterfaceEMS::emitDbusSignalUpdateActPowGGIO001(std::int32_t n)
{
    const std::int64_t powerLimit = getPowerLimit(n);
    if (jsonrpcMapper)
        jsonrpcMapper->updateValues(ems::saturateToInt32(powerLimit), 0);
    refreshSchedule3Days(n);
    trace("### InterfaceEMS +++++++++++++++++++  CLS" + std::to_string(n) + " DbusSignal UpdateActPowGGIO001");
    try {
        std::lock_guard lock(busMutex);
        emitActPowSignals(n);
        emitDbusSignalUpdateMMX001Totw(n);
    } catch (const sdbus::Error& e) {
        traceError(std::string("InterfaceEMS -> Error emitting signals: ") + e.what());
    }
}

void InterfaceEMS::emitActPowSignals(std::int32_t n)
{
    if (!actPowObject)
        return;
    const std::string& interface = actPowInterfaceName;
    actPowObject->emitSignal("AnOut1_maxVal_f").onInterface(interface).withArguments(getMaxConsumptionPower(n));
    actPowObject->emitSignal("AnOut1_minVal_f").onInterface(interface).withArguments(getMaxProductionPower(n));
    actPowObject->emitSignal("AnOut1_units_multiplier").onInterface(interface).withArguments(getScaleFactor(n));
    actPowObject->emitSignal("AnOut_mxVal_Schedule").onInterface(interface).withArguments(schedule3DaysCopy());
    actPowObject->emitSignal("AnOut_mxVal_f").onInterface(interface).withArguments(getPowerLimit(n));
}

void InterfaceEMS::emitDbusSignalUpdateMMX001Totw(std::int32_t n)
{
    trace(clsTrace(n, "emitDbusSignalUpdateMMX001Totw"));
    if (mmxuObject)
        mmxuObject->emitSignal("totw").onInterface(mmxuInterfaceName).withArguments(getDBUSMMX001Totw(n));
}

// Runs on the D-Bus thread, which owns the connection: no lock needed.
void InterfaceEMS::setTotwAndNotify(std::int64_t value, std::uint64_t timestamp, std::int32_t reserved,
                                    std::int32_t n)
{
    if (mmxuObject)
        mmxuObject->emitSignal("totw")
            .onInterface(mmxuInterfaceName)
            .withArguments(TotwValue(value, timestamp, reserved));
    setTotw(value, timestamp, reserved, n);
}

// A failed query leaves an empty profile: the last one may be stale, or
// another device's.
void InterfaceEMS::refreshSchedule3Days(std::int32_t n)
{
    Schedule3Days profile = getSchedule3Days(n).value_or(Schedule3Days{});
    std::lock_guard lock(schedule3DaysMutex);
    schedule3Days = std::move(profile);
}

Schedule3Days InterfaceEMS::schedule3DaysCopy() const
{
    std::lock_guard lock(schedule3DaysMutex);
    return schedule3Days;
}
