#include "iec61850/ied/iec61850_server.hpp"

#include "iec61850/ied/log_control.hpp"
#include "iec61850/ied/mms_mapping.hpp"
#include "iec61850/ied/reporting.hpp"
#include "iec61850/platform/clock.hpp"
#include "iec61850/server/mms_server.hpp"

#include <cstdio>
#include <memory>
#include <string>

using iec61850::ied::Change;
using iec61850::ied::MmsMapping;
using iec61850::mms::Value;
namespace srv = iec61850::server;

struct sIedServer {
    IedModel* model = nullptr;
    std::unique_ptr<MmsMapping> mapping;
    std::unique_ptr<iec61850::ied::Reporting> reporting;
    std::unique_ptr<iec61850::ied::LogControl> logControl;
    srv::ServerConfig config;
    std::unique_ptr<srv::MmsServer> server;
    std::string localAddress = "0.0.0.0";
    std::string filestore;
    IedConnectionIndicationHandler connectionHandler = nullptr;
    void* connectionParameter = nullptr;
    bool listening = false;
};

namespace {

constexpr int kDefaultPort = 102;

bool listenOn(IedServer s, int port)
{
    if (!s || s->listening)
        return false;
    auto p = static_cast<std::uint16_t>(port < 0 ? kDefaultPort : port);
    s->listening = s->server->listen(s->localAddress, p) == iec61850::platform::NetStatus::Ok;
    return s->listening;
}

// Applies an update under the model mutex and tells the listener.
template <class F>
void update(IedServer s, DataAttribute* a, Change what, F&& apply)
{
    if (!s || !a || !a->mmsValue)
        return;
    auto lock = s->server->lockModel();
    Value before = *a->mmsValue;
    apply(*a->mmsValue);
    s->mapping->notify(a, what, !(before == *a->mmsValue));
}

template <class F>
auto readValue(IedServer s, DataAttribute* a, F&& get) -> decltype(get(std::declval<const Value&>()))
{
    if (!s || !a || !a->mmsValue)
        return {};
    auto lock = s->server->lockModel();
    return get(*a->mmsValue);
}

// The blocks' data sets must name only what the model has.
std::string checkBlocks(IedModel& model, const MmsMapping& mapping)
{
    std::string error = iec61850::ied::checkDataSets(mapping);
    for (ReportControlBlock* b = model.rcbs; b && error.empty(); b = b->sibling)
        if (b->parent && !iec61850::ied::dataSetOfBlock(model, *b->parent, b->dataSetName))
            error = "report control block " + std::string(b->name) + ": no data set " + (b->dataSetName ? b->dataSetName : "");
    for (LogControlBlock* b = model.lcbs; b && error.empty(); b = b->sibling)
        if (b->parent && b->dataSetName && !iec61850::ied::dataSetOfBlock(model, *b->parent, b->dataSetName))
            error = "log control block " + std::string(b->name) + ": no data set " + b->dataSetName;
    return error;
}

void attachRuntime(IedServer s)
{
    s->server->setTickHandler([s](std::uint64_t nowMs) { return s->reporting->tick(nowMs); });
}

iec61850::mms::ServiceError serviceErrorOf(MmsError e)
{
    using iec61850::mms::ErrorClass;
    namespace code = iec61850::mms::error_code;
    if (e >= MMS_ERROR_FILE_OTHER && e <= MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE)
        return {ErrorClass::File, e - MMS_ERROR_FILE_OTHER, {}, {}};
    switch (e) {
    case MMS_ERROR_ACCESS_OBJECT_ACCESS_DENIED: return {ErrorClass::Access, code::access::ObjectAccessDenied, {}, {}};
    case MMS_ERROR_ACCESS_OBJECT_NON_EXISTENT: return {ErrorClass::Access, code::access::ObjectNonExistent, {}, {}};
    case MMS_ERROR_RESOURCE_OTHER: return {ErrorClass::Resource, code::resource::Other, {}, {}};
    case MMS_ERROR_RESOURCE_CAPABILITY_UNAVAILABLE:
        return {ErrorClass::Resource, code::resource::CapabilityUnavailable, {}, {}};
    case MMS_ERROR_SERVICE_OTHER: return {ErrorClass::Service, code::service::Other, {}, {}};
    default: return {ErrorClass::File, code::file::Other, {}, {}};
    }
}

}  // namespace

IedServer IedServer_create(IedModel* model)
{
    if (!model)
        return nullptr;
    auto s = std::make_unique<sIedServer>();
    s->model = model;
    s->mapping = std::make_unique<MmsMapping>(*model);
    if (std::string error = checkBlocks(*model, *s->mapping); !error.empty()) {
        std::fprintf(stderr, "IedServer_create: %s\n", error.c_str());
        return nullptr;
    }
    s->config.identity = {"Brenvolta", "generic libIEC", "1.5"};
    s->server = std::make_unique<srv::MmsServer>(*s->mapping, s->config);
    IedServer server = s.release();
    server->reporting = std::make_unique<iec61850::ied::Reporting>(
        *server->mapping, [server](srv::ConnectionId id, const iec61850::mms::VariableAccessSpec& access,
                                   std::span<const Value* const> values) {
            return server->server->sendInformationReport(id, access, values);
        });
    server->reporting->setDeadlineHandler([server] { server->server->wake(); });
    server->logControl = std::make_unique<iec61850::ied::LogControl>(*server->mapping);
    server->mapping->addBlockService(server->reporting.get());
    server->mapping->addBlockService(server->logControl.get());
    server->mapping->addInternalListener(server->reporting.get());
    server->mapping->addInternalListener(server->logControl.get());
    attachRuntime(server);
    server->mapping->setConnectionHandler([server](const srv::ClientContext& client, bool connected) {
        if (server->connectionHandler)
            server->connectionHandler(server, &client, connected, server->connectionParameter);
    });
    if (model->initializer)
        model->initializer();
    return server;
}

void IedServer_destroy(IedServer server)
{
    if (!server)
        return;
    server->server->stop();
    server->server->close();
    server->server.reset();
    delete server;
}

void IedServer_setServerIdentity(IedServer server, const char* vendor, const char* model, const char* revision)
{
    if (server)
        server->server->setIdentity({vendor ? vendor : "", model ? model : "", revision ? revision : ""});
}

void IedServer_setLocalIpAddress(IedServer server, const char* address)
{
    if (server && address)
        server->localAddress = address;
}

void IedServer_start(IedServer server, int port)
{
    if (listenOn(server, port))
        server->server->start();
}

void IedServer_startThreadless(IedServer server, int port)
{
    listenOn(server, port);
}

bool IedServer_processIncomingData(IedServer server, int timeoutMs)
{
    if (!server || !server->listening)
        return false;
    server->server->step(timeoutMs);
    return true;
}

void IedServer_performPeriodicTasks(IedServer server)
{
    if (!server)
        return;
    auto lock = server->server->lockModel();
    server->reporting->tick(iec61850::platform::timeMs());
}

bool IedServer_isRunning(IedServer server)
{
    return server && server->listening;
}

void IedServer_stop(IedServer server)
{
    if (!server || !server->listening)
        return;
    server->server->stop();
    server->server->close();
    server->listening = false;
}

int IedServer_getPort(IedServer server)
{
    return server && server->listening ? server->server->port() : 0;
}

void IedServer_setConnectionIndicationHandler(IedServer server, IedConnectionIndicationHandler handler,
                                              void* parameter)
{
    if (!server)
        return;
    server->connectionHandler = handler;
    server->connectionParameter = parameter;
}

const char* ClientConnection_getLocalAddress(ClientConnection connection)
{
    return connection ? connection->localAddress.c_str() : nullptr;
}

const char* ClientConnection_getPeerAddress(ClientConnection connection)
{
    return connection ? connection->peerAddress.c_str() : nullptr;
}

MmsServer IedServer_getMmsServer(IedServer server)
{
    return server ? server->server.get() : nullptr;
}

void IedServer_setFilestoreBasepath(IedServer server, const char* basepath)
{
    if (!server || !basepath)
        return;
    server->filestore = basepath;
    server->server->setFileStore(basepath);
}

void MmsServer_installFileAccessHandler(MmsServer server, MmsFileAccessHandler handler, void* parameter)
{
    if (!server)
        return;
    if (!handler) {
        server->setFileAccessHandler(nullptr);
        return;
    }
    server->setFileAccessHandler([handler, parameter](const srv::ClientContext& client, srv::FileService service,
                                                      std::string_view localFile, std::string_view otherFile)
                                     -> std::optional<iec61850::mms::ServiceError> {
        std::string local(localFile), other(otherFile);
        MmsError e = handler(parameter, &client, static_cast<MmsFileServiceType>(service), local.c_str(),
                             otherFile.empty() ? nullptr : other.c_str());
        if (e == MMS_ERROR_NONE)
            return std::nullopt;
        return serviceErrorOf(e);
    });
}

void IedServer_handleWriteAccess(IedServer server, DataAttribute* dataAttribute, WriteAccessHandler handler,
                                 void* parameter)
{
    if (!server || !dataAttribute)
        return;
    auto lock = server->server->lockModel();
    server->mapping->setWriteHandler(dataAttribute, handler, parameter);
}

void IedServer_setWriteAccessPolicy(IedServer server, FunctionalConstraint fc, AccessPolicy policy)
{
    if (!server)
        return;
    auto lock = server->server->lockModel();
    server->mapping->setWritePolicy(fc, policy);
}

void IedServer_lockDataModel(IedServer server)
{
    if (server)
        server->server->modelMutex().lock();
}

void IedServer_unlockDataModel(IedServer server)
{
    if (server)
        server->server->modelMutex().unlock();
}

MmsValue* IedServer_getAttributeValue(IedServer server, DataAttribute* dataAttribute)
{
    return server && dataAttribute ? dataAttribute->mmsValue : nullptr;
}

std::int32_t IedServer_getInt32AttributeValue(IedServer server, DataAttribute* dataAttribute)
{
    return readValue(server, dataAttribute, [](const Value& v) { return v.toInt32(); });
}

bool IedServer_getBooleanAttributeValue(IedServer server, DataAttribute* dataAttribute)
{
    return readValue(server, dataAttribute, [](const Value& v) { return v.is(Value::Kind::Boolean) && v.toBool(); });
}

float IedServer_getFloatAttributeValue(IedServer server, DataAttribute* dataAttribute)
{
    return readValue(server, dataAttribute, [](const Value& v) { return v.toFloat(); });
}

std::uint64_t IedServer_getUTCTimeAttributeValue(IedServer server, DataAttribute* dataAttribute)
{
    return readValue(server, dataAttribute, [](const Value& v) { return v.utcMs(); });
}

void IedServer_updateAttributeValue(IedServer server, DataAttribute* dataAttribute, const MmsValue* value)
{
    if (!value)
        return;
    Change what = dataAttribute && dataAttribute->type == IEC61850_QUALITY ? Change::Quality : Change::Value;
    const iec61850::mms::TypeDescription type =
        dataAttribute ? iec61850::ied::typeOfAttribute(*dataAttribute) : iec61850::mms::TypeDescription();
    update(server, dataAttribute, what, [&](Value& v) {
        if (iec61850::mms::conforms(*value, type))
            iec61850::ied::assignInPlace(v, *value);
    });
}

void IedServer_updateFloatAttributeValue(IedServer server, DataAttribute* dataAttribute, float value)
{
    update(server, dataAttribute, Change::Value, [value](Value& v) {
        if (v.is(Value::Kind::Float))
            v.setFloat(value);
    });
}

void IedServer_updateInt32AttributeValue(IedServer server, DataAttribute* dataAttribute, std::int32_t value)
{
    IedServer_updateInt64AttributeValue(server, dataAttribute, value);
}

void IedServer_updateInt64AttributeValue(IedServer server, DataAttribute* dataAttribute, std::int64_t value)
{
    update(server, dataAttribute, Change::Value, [value](Value& v) {
        if (v.is(Value::Kind::Integer) || v.is(Value::Kind::Unsigned))
            v.setInt64(value);
    });
}

void IedServer_updateUnsignedAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint32_t value)
{
    update(server, dataAttribute, Change::Value, [value](Value& v) {
        if (v.is(Value::Kind::Integer) || v.is(Value::Kind::Unsigned))
            v.setUint64(value);
    });
}

void IedServer_updateBooleanAttributeValue(IedServer server, DataAttribute* dataAttribute, bool value)
{
    update(server, dataAttribute, Change::Value, [value](Value& v) {
        if (v.is(Value::Kind::Boolean))
            v.setBool(value);
    });
}

void IedServer_updateBitStringAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint32_t value)
{
    Change what = dataAttribute && dataAttribute->type == IEC61850_QUALITY ? Change::Quality : Change::Value;
    update(server, dataAttribute, what, [value](Value& v) {
        if (v.is(Value::Kind::BitString))
            v.setBitsFromInteger(value);
    });
}

void IedServer_updateVisibleStringAttributeValue(IedServer server, DataAttribute* dataAttribute, const char* value)
{
    if (!value)
        return;
    const iec61850::mms::TypeDescription type =
        dataAttribute ? iec61850::ied::basicTypeOf(dataAttribute->type) : iec61850::mms::TypeDescription();
    update(server, dataAttribute, Change::Value, [&](Value& v) {
        Value next = v.is(Value::Kind::MmsString) ? Value::mmsString(value) : Value::visibleString(value);
        if (iec61850::mms::conforms(next, type))
            v = std::move(next);
    });
}

void IedServer_updateUTCTimeAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint64_t msSinceEpoch)
{
    update(server, dataAttribute, Change::Value, [msSinceEpoch](Value& v) {
        if (v.is(Value::Kind::UtcTime))
            v.setUtcMs(msSinceEpoch);
    });
}

void IedServer_updateTimestampAttributeValue(IedServer server, DataAttribute* dataAttribute,
                                             const Timestamp* timestamp)
{
    if (!timestamp)
        return;
    update(server, dataAttribute, Change::Value, [timestamp](Value& v) {
        if (v.is(Value::Kind::UtcTime))
            v = Value::utcTime(iec61850::ByteView(timestamp->val, sizeof timestamp->val));
    });
}

void IedServer_updateQuality(IedServer server, DataAttribute* dataAttribute, std::uint16_t quality)
{
    update(server, dataAttribute, Change::Quality, [quality](Value& v) {
        if (v.is(Value::Kind::BitString))
            v.setBitsFromInteger(quality);
    });
}

namespace iec61850::ied {

void setUpdateListener(IedServer server, UpdateListener* listener)
{
    if (!server)
        return;
    auto lock = server->server->lockModel();
    server->mapping->setUpdateListener(listener);
}

}  // namespace iec61850::ied
