// The IEC 61850 server API: an IedServer serves an IedModel over MMS.
// C-style handles and functions; every call is thread-safe (updates take the
// data-model mutex), except create/destroy.
#pragma once

#include "iec61850/ied/model.hpp"
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/ied/timestamp.hpp"

#include <cstdint>

namespace iec61850::server {
class MmsServer;
struct ClientContext;
}  // namespace iec61850::server

struct sIedServer;
using IedServer = sIedServer*;
// The client a request or an indication is about; valid during the callback.
using ClientConnection = const iec61850::server::ClientContext*;
using MmsServerConnection = const iec61850::server::ClientContext*;
using MmsServer = iec61850::server::MmsServer*;

enum MmsDataAccessError : std::int8_t {
    DATA_ACCESS_ERROR_NO_RESPONSE = -2,
    DATA_ACCESS_ERROR_SUCCESS = -1,
    DATA_ACCESS_ERROR_OBJECT_INVALIDATED = 0,
    DATA_ACCESS_ERROR_HARDWARE_FAULT = 1,
    DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE = 2,
    DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED = 3,
    DATA_ACCESS_ERROR_OBJECT_UNDEFINED = 4,
    DATA_ACCESS_ERROR_INVALID_ADDRESS = 5,
    DATA_ACCESS_ERROR_TYPE_UNSUPPORTED = 6,
    DATA_ACCESS_ERROR_TYPE_INCONSISTENT = 7,
    DATA_ACCESS_ERROR_OBJECT_ATTRIBUTE_INCONSISTENT = 8,
    DATA_ACCESS_ERROR_OBJECT_ACCESS_UNSUPPORTED = 9,
    DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT = 10,
    DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID = 11,
};

enum AccessPolicy : std::uint8_t { ACCESS_POLICY_ALLOW, ACCESS_POLICY_DENY };

// Errors a file access handler answers with; mapped to MMS service errors
// (the file class occupies 90..99 in the order of its MMS codes).
enum MmsError : std::uint8_t {
    MMS_ERROR_NONE = 0,
    MMS_ERROR_ACCESS_OBJECT_ACCESS_DENIED = 21,
    MMS_ERROR_ACCESS_OBJECT_NON_EXISTENT = 22,
    MMS_ERROR_RESOURCE_OTHER = 30,
    MMS_ERROR_RESOURCE_CAPABILITY_UNAVAILABLE = 31,
    MMS_ERROR_SERVICE_OTHER = 40,
    MMS_ERROR_FILE_OTHER = 90,
    MMS_ERROR_FILE_FILENAME_AMBIGUOUS = 91,
    MMS_ERROR_FILE_FILE_BUSY = 92,
    MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR = 93,
    MMS_ERROR_FILE_CONTENT_TYPE_INVALID = 94,
    MMS_ERROR_FILE_POSITION_INVALID = 95,
    MMS_ERROR_FILE_FILE_ACCESS_DENIED = 96,
    MMS_ERROR_FILE_FILE_NON_EXISTENT = 97,
    MMS_ERROR_FILE_DUPLICATE_FILENAME = 98,
    MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE = 99,
};

enum MmsFileServiceType : std::uint8_t {
    MMS_FILE_ACCESS_TYPE_READ_DIRECTORY = 0,
    MMS_FILE_ACCESS_TYPE_OPEN = 1,
    MMS_FILE_ACCESS_TYPE_OBTAIN = 2,
    MMS_FILE_ACCESS_TYPE_DELETE = 3,
    MMS_FILE_ACCESS_TYPE_RENAME = 4,
};

using IedConnectionIndicationHandler = void (*)(IedServer server, ClientConnection connection, bool connected,
                                                void* parameter);
using WriteAccessHandler = MmsDataAccessError (*)(DataAttribute* dataAttribute, MmsValue* value,
                                                  ClientConnection connection, void* parameter);
using MmsFileAccessHandler = MmsError (*)(void* parameter, MmsServerConnection connection,
                                          MmsFileServiceType service, const char* localFilename,
                                          const char* otherFilename);

// Builds a value for every attribute (zero / false / empty / time 0 /
// quality good) and runs the model's initializer. The model must outlive
// the server. nullptr if model is null.
IedServer IedServer_create(IedModel* model);
void IedServer_destroy(IedServer server);

// What identify answers (vendor, model, revision); connections opened
// afterwards see it.
void IedServer_setServerIdentity(IedServer server, const char* vendor, const char* model, const char* revision);
// Default: all interfaces. Set before start.
void IedServer_setLocalIpAddress(IedServer server, const char* address);

// Serves in a thread of its own. Port 0: any free port (see getPort); negative: 102.
void IedServer_start(IedServer server, int port);
// Listens only; the application calls processIncomingData / performPeriodicTasks.
void IedServer_startThreadless(IedServer server, int port);
// Threadless: serves what has arrived (waits at most timeoutMs); returns
// whether the server is listening.
bool IedServer_processIncomingData(IedServer server, int timeoutMs = 0);
void IedServer_performPeriodicTasks(IedServer server);
bool IedServer_isRunning(IedServer server);
void IedServer_stop(IedServer server);
// The port the server listens on (useful with port 0), 0 when not listening.
int IedServer_getPort(IedServer server);

void IedServer_setConnectionIndicationHandler(IedServer server, IedConnectionIndicationHandler handler,
                                              void* parameter);
// "127.0.0.1:102"
const char* ClientConnection_getLocalAddress(ClientConnection connection);
const char* ClientConnection_getPeerAddress(ClientConnection connection);

// The stack's server (valid after start / startThreadless, else nullptr).
MmsServer IedServer_getMmsServer(IedServer server);
// Directory served by the MMS file services. Set before start.
void IedServer_setFilestoreBasepath(IedServer server, const char* basepath);
void MmsServer_installFileAccessHandler(MmsServer server, MmsFileAccessHandler handler, void* parameter);

// Called before a client write to the attribute (or to any part of it, or to
// a node covering it) is stored; SUCCESS stores it, anything else refuses.
void IedServer_handleWriteAccess(IedServer server, DataAttribute* dataAttribute, WriteAccessHandler handler,
                                 void* parameter);
// Only CF and DC may be changed (both denied by default); SP, SV and SE are
// always writable, the rest never.
void IedServer_setWriteAccessPolicy(IedServer server, FunctionalConstraint fc, AccessPolicy policy);

void IedServer_lockDataModel(IedServer server);
void IedServer_unlockDataModel(IedServer server);

// Holds the data-model lock for its lifetime.
class DataModelLock {
public:
    explicit DataModelLock(IedServer server) : server_(server) { IedServer_lockDataModel(server_); }
    ~DataModelLock() { IedServer_unlockDataModel(server_); }
    DataModelLock(const DataModelLock&) = delete;
    DataModelLock& operator=(const DataModelLock&) = delete;

private:
    IedServer server_;
};

// The stored value; use under lockDataModel when reading it field by field.
MmsValue* IedServer_getAttributeValue(IedServer server, DataAttribute* dataAttribute);
std::int32_t IedServer_getInt32AttributeValue(IedServer server, DataAttribute* dataAttribute);
bool IedServer_getBooleanAttributeValue(IedServer server, DataAttribute* dataAttribute);
float IedServer_getFloatAttributeValue(IedServer server, DataAttribute* dataAttribute);
std::uint64_t IedServer_getUTCTimeAttributeValue(IedServer server, DataAttribute* dataAttribute);

// Updates; each counts as an update even when the value is unchanged.
// A value of another type than the attribute's is ignored.
void IedServer_updateAttributeValue(IedServer server, DataAttribute* dataAttribute, const MmsValue* value);
void IedServer_updateFloatAttributeValue(IedServer server, DataAttribute* dataAttribute, float value);
void IedServer_updateInt32AttributeValue(IedServer server, DataAttribute* dataAttribute, std::int32_t value);
void IedServer_updateInt64AttributeValue(IedServer server, DataAttribute* dataAttribute, std::int64_t value);
void IedServer_updateUnsignedAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint32_t value);
void IedServer_updateBooleanAttributeValue(IedServer server, DataAttribute* dataAttribute, bool value);
void IedServer_updateBitStringAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint32_t value);
void IedServer_updateVisibleStringAttributeValue(IedServer server, DataAttribute* dataAttribute,
                                                 const char* value);
void IedServer_updateUTCTimeAttributeValue(IedServer server, DataAttribute* dataAttribute, std::uint64_t msSinceEpoch);
void IedServer_updateTimestampAttributeValue(IedServer server, DataAttribute* dataAttribute,
                                             const Timestamp* timestamp);
// Quality as an integer, bit 0 = first bit (validity low bit) on the wire.
void IedServer_updateQuality(IedServer server, DataAttribute* dataAttribute, std::uint16_t quality);

namespace iec61850::ied {

// What an update or a client write did to an attribute.
enum class Change : std::uint8_t { Value, Quality, Update };

// Called under the model mutex on every update and every stored client write
// (once for each attribute and component the write covers); `changed` false
// when the value stayed the same (then `what` is Update). Reports and logs
// hook in here.
struct UpdateListener {
    virtual ~UpdateListener() = default;
    virtual void attributeUpdated(DataAttribute* attribute, Change what, bool changed) = 0;
};

void setUpdateListener(IedServer server, UpdateListener* listener);

}  // namespace iec61850::ied
