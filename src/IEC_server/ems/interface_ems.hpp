// The box's D-Bus service for the local energy management system (EMS):
// set-point data of CLS1 as properties and signals, the EMS's measured total
// power written into the model through "setTotw", and the JSON-RPC export.
#pragma once

#include "box_model.hpp"
#include "iec_schedule_handling.hpp"
#include "server_context.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The set-point node ActPow_GGIO001.AnOut1 of one CLS.
struct ActPowValues {
    std::int64_t powerLimit = 0;
    std::uint64_t powerLimitTime = 0;  // ms since the epoch
    std::int32_t scaleFactor = 0;
    std::int64_t maxProductionPower = 0;
    std::int64_t maxConsumptionPower = 0;
};

// "totw" on the bus: (value, seconds since the epoch, reserved).
using TotwValue = sdbus::Struct<std::int64_t, std::uint64_t, std::int32_t>;

class InterfaceEMS {
public:
    // Connects, publishes the objects, registers "callback1" in the context
    // and starts the D-Bus thread; failures are reported on standard error.
    // When the bus goes away later, that thread connects again, takes the
    // name again and publishes the objects anew.
    explicit InterfaceEMS(ServerContext* context);
    ~InterfaceEMS();
    InterfaceEMS(const InterfaceEMS&) = delete;
    InterfaceEMS& operator=(const InterfaceEMS&) = delete;

    void createDBusConnectionAndObjects();
    void registerDBusInterfaces();
    void readJsonrpcConfig();

    ActPowValues readActPowValues(std::int32_t n) const;
    // These four serve CLS1; n names the CLS in the trace line only.
    std::int64_t getPowerLimit(std::int32_t n) const;
    std::int32_t getScaleFactor(std::int32_t n) const;
    std::int64_t getMaxProductionPower(std::int32_t n) const;
    std::int64_t getMaxConsumptionPower(std::int32_t n) const;

    std::int64_t readTotw(std::int32_t n) const;
    TotwValue getDBUSMMX001Totw(std::int32_t n) const;
    void setTotw(std::int64_t value, std::uint64_t timestamp, std::int32_t reserved, std::int32_t n);

    sdbus::ObjectPath getDBUSObjectPathMMXU(std::int32_t n) const;
    sdbus::ObjectPath getDBUSObjectPathActPowGGIO001(std::int32_t n) const;
    std::vector<sdbus::ObjectPath> getDbusObjectPathsCLSDevices() const;

    // The set-point listener "callback1".
    void emitDbusSignalUpdateActPowGGIO001(std::int32_t n);
    void emitDbusSignalUpdateMMX001Totw(std::int32_t n);
    void setTotwAndNotify(std::int64_t value, std::uint64_t timestamp, std::int32_t reserved, std::int32_t n);

    Schedule3Days schedule3DaysCopy() const;
    bool jsonrpcExportEnabled() const { return jsonrpcEnabled; }
    const std::string& jsonrpcServerHost() const { return jsonrpcHost; }
    std::int32_t jsonrpcServerPort() const { return jsonrpcPort; }

private:
    void registerMembers();
    void finishRegistration();
    void serveBus();
    bool reconnect();
    void dropConnection();
    void registerRootMembers();
    void registerClsMembers();
    void registerMmxuMembers();
    void registerActPowMembers();
    void refreshSchedule3Days(std::int32_t n);
    void emitActPowSignals(std::int32_t n);

    std::unique_ptr<sdbus::IConnection> connection;
    ServerContext* context;
    box::ModelAccess attributeAccess;
    bool jsonrpcEnabled = false;
    std::string jsonrpcHost = "localhost";
    std::int32_t jsonrpcPort = 5000;
    Schedule3Days schedule3Days;
    mutable std::mutex schedule3DaysMutex;
    std::string serviceName = "de.brenvolta.vantor.iec61850";
    std::string rootInterfaceName = "de.brenvolta.vantor.iec61850";
    std::string rootObjectPath = "/de/brenvolta/vantor/iec61850";
    std::string clsInterfaceName = "de.brenvolta.vantor.iec61850.cls";
    std::string clsObjectPathPrefix = "/de/brenvolta/vantor/iec61850/cls/";
    std::string mmxuInterfaceName = "de.brenvolta.vantor.iec61850.cls.mmxu001";
    std::string mmxuObjectPathPrefix = "/de/brenvolta/vantor/iec61850/cls/mmxu001/";
    std::string actPowInterfaceName = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001";
    std::string actPowObjectPathPrefix = "/de/brenvolta/vantor/iec61850/cls/actpow_ggio001/";
    std::shared_ptr<sdbus::IObject> rootObject;
    std::shared_ptr<sdbus::IObject> clsObject;
    std::shared_ptr<sdbus::IObject> mmxuObject;
    std::shared_ptr<sdbus::IObject> actPowObject;
    // Held while the connection and objects are used from outside the D-Bus
    // thread (signals) or replaced by it (reconnection).
    std::mutex busMutex;
    std::condition_variable stopRequested;
    bool stopping = false;
    std::thread busThread;
};
