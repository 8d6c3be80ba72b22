#include "console.hpp"
#include "iec_server.hpp"
#include "iec61850/ied/hal.hpp"

#include "iec61850/server/file_store.hpp"

#include <ctime>
#include <syslog.h>

namespace {

const char* orEmpty(const char* text)
{
    return text ? text : "";
}

std::string currentTimeText()
{
    const auto now = static_cast<std::time_t>(Hal_getTimeInMs() / 1000);
    char text[32] = "";
    ctime_r(&now, text);
    return text;
}

// Compared as the file store resolves the name, so that detours such as
// "./IEDSERVER.BIN" or "IEDSERVER.BIN/" are the protected file too.
bool namesProtectedFile(const char* localFilename)
{
    return iec61850::server::normalFileName(orEmpty(localFilename)) == protectedFileName;
}

const char* serviceName(MmsFileServiceType service)
{
    switch (service) {
    case MMS_FILE_ACCESS_TYPE_READ_DIRECTORY: return "MMS_FILE_ACCESS_TYPE_READ_DIRECTORY";
    case MMS_FILE_ACCESS_TYPE_OPEN: return "MMS_FILE_ACCESS_TYPE_OPEN";
    case MMS_FILE_ACCESS_TYPE_OBTAIN: return "MMS_FILE_ACCESS_TYPE_OBTAIN";
    case MMS_FILE_ACCESS_TYPE_DELETE: return "MMS_FILE_ACCESS_TYPE_DELETE";
    case MMS_FILE_ACCESS_TYPE_RENAME: return "MMS_FILE_ACCESS_TYPE_RENAME";
    }
    return nullptr;
}

}  // namespace

void connectionIndicationHandler(IedServer, ClientConnection connection, bool connected, void*)
{
    const char* address = orEmpty(ClientConnection_getLocalAddress(connection));
    if (connected) {
        printLine("Connection opened: %s", address);
        syslog(LOG_NOTICE, "Connection opened: %s", address);
        return;
    }
    printLine("Connection closed: %s", address);
    syslog(LOG_NOTICE, "  ");
    syslog(LOG_NOTICE, "Connection closed at: %s", currentTimeText().c_str());
    syslog(LOG_NOTICE, "Connection closed: %s", address);
    syslog(LOG_NOTICE, "  ");
}

MmsError fileAccessHandler(void*, MmsServerConnection, MmsFileServiceType service, const char* localFilename,
                           const char* otherFilename)
{
    printLine("1 ########## fileAccessHandler ##########");
    printLine("fileAccessHandler: service = %d, local-file: %s, other-file: %s", static_cast<int>(service),
              orEmpty(localFilename), orEmpty(otherFilename));
    if (const char* name = serviceName(service))
        printLine("fileAccessHandler: service = %s", name);

    if (service == MMS_FILE_ACCESS_TYPE_RENAME)
        return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    if (service == MMS_FILE_ACCESS_TYPE_DELETE && namesProtectedFile(localFilename))
        return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    return MMS_ERROR_NONE;
}
