#include "iec_server.hpp"

#include "box_model.hpp"
#include "console.hpp"
#include "iec_schedule_handling.hpp"
#include "iec61850/ied/hal.hpp"

#include <cstdlib>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

IedServer iedServer = nullptr;
std::unique_ptr<IecScheduleHandling> scheduleHandling;

namespace {

constexpr float serverVersion = 301023.0f;
constexpr int tickMs = 10;
constexpr int drainPeriodTicks = 45;
constexpr int debugDrainMs = 500;

[[noreturn]] void failStart()
{
    printLine("Starting server failed on Port: %d! Exit.", iecServerPort);
    syslog(LOG_ERR, "Starting server failed on Port: %d", iecServerPort);
    IedServer_destroy(iedServer);
    iedServer = nullptr;
    // Ends without running destructors while other threads (D-Bus) still run.
    std::_Exit(-1);
}

void logServerFacts()
{
    syslog(LOG_NOTICE, "Server started successfully on Port: %d", iecServerPort);
    syslog(LOG_NOTICE, "Program started by User %d", static_cast<int>(getuid()));
    const std::time_t now = std::time(nullptr);
    char startTime[32] = "";
    ctime_r(&now, startTime);
    syslog(LOG_NOTICE, "Server started at: %s", startTime);
    char host[1024];
    host[sizeof host - 1] = '\0';
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    syslog(LOG_NOTICE, "Server started on Host: %s", host);
}

void startServer(const ServerContext& context)
{
    if (context.debugMode)
        IedServer_start(iedServer, iecServerPort);
    else
        IedServer_startThreadless(iedServer, iecServerPort);
    if (!IedServer_isRunning(iedServer))
        failStart();
    printLine("Server is running on Port: %d", iecServerPort);
    logServerFacts();
}

}  // namespace

void initiateIecServer(ServerContext& context)
{
    printLine("## IecServer initiation");
    iedServer = IedServer_create(box::staticModel());
    IedServer_setServerIdentity(iedServer, "Brenvolta", "generic libIEC", "1.5");
    registerWriteHandlers(context, 1);
    registerWriteHandlers(context, 2);
    IedServer_setConnectionIndicationHandler(iedServer, connectionIndicationHandler, nullptr);
    MmsServer mmsServer = IedServer_getMmsServer(iedServer);
    IedServer_setFilestoreBasepath(iedServer, filestoreBasePath);
    printLine("Filestore base path: %s", filestoreBasePath);
    MmsServer_installFileAccessHandler(mmsServer, fileAccessHandler, nullptr);
    attachModelLogs(".");

    startServer(context);

    IedServer_setWriteAccessPolicy(iedServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    scheduleHandling = std::make_unique<IecScheduleHandling>(&iedServer, &context.callbackTable);
    printLine("## IecServer initiation done");
    printEmptyLine();
}

void runIecServer(ServerContext& context)
{
    openlog("IecServerLog", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "######################################################");
    syslog(LOG_ERR, "IEC-Server Version: %f", static_cast<double>(serverVersion));
    initiateIecServer(context);
    scheduleHandling->updateAllDevices();
    printEmptyLine();
    printLine("Waiting for IEC Clients...");
    syslog(LOG_WARNING, "Waiting for IEC Clients...");

    int tick = 0;
    for (;;) {
        while (context.debugMode) {
            processIECValuesInSM();
            Thread_sleep(debugDrainMs);
        }
        IedServer_processIncomingData(iedServer);
        IedServer_performPeriodicTasks(iedServer);
        if (tick == drainPeriodTicks) {
            processIECValuesInSM();
            tick = 1;
        } else {
            ++tick;
        }
        Thread_sleep(tickMs);
    }
}
