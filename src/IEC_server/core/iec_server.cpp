#include "iec_server.hpp"

#include "box_model.hpp"
#include "console.hpp"
#include "iec_schedule_handling.hpp"
#include "iec61850/ied/hal.hpp"
#include "schedule_worker.hpp"
#include "settings_store.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <syslog.h>
#include <thread>
#include <unistd.h>

std::atomic<IedServer> iedServer{nullptr};
std::unique_ptr<IecScheduleHandling> scheduleHandling;
std::unique_ptr<persistence::SettingsStore> settingsStore;

namespace {

std::unique_ptr<ScheduleWorker> scheduleWorker;
// Published once the worker exists: the server's thread may record writes before.
std::atomic<ScheduleWorker*> runningWorker{nullptr};

using namespace std::chrono;

constexpr float serverVersion = 301023.0f;
constexpr milliseconds periodicTasksPeriod{10};
constexpr milliseconds drainPeriod{450};
constexpr milliseconds debugDrainPeriod{500};

[[noreturn]] void failStart()
{
    printLine("Starting server failed on Port: %d! Exit.", iecServerPort);
    syslog(LOG_ERR, "Starting server failed on Port: %d", iecServerPort);
    // The server stays: the EMS thread may be using it. Ends without running
    // destructors while that thread still runs.
    std::_Exit(-1);
}

void logServerFacts()
{
    syslog(LOG_NOTICE, "Server started successfully on Port: %d", iecServerPort);
    syslog(LOG_NOTICE, "Program started by User %d", static_cast<int>(getuid()));
    const auto now = static_cast<std::time_t>(Hal_getTimeInMs() / 1000);
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

// What clients configured comes back before anyone can connect.
void restoreSettings(IedServer server)
{
    settingsStore = std::make_unique<persistence::SettingsStore>(server, box::staticModel(),
                                                                  persistence::kSettingsFileName);
    settingsStore->load();
    settingsStore->watch(wakeScheduleWorker);
}

// Uploads what clients configured; what the service did not answer is tried again later.
bool startUpPass()
{
    const auto unanswered = scheduleHandling->updateAllDevices([](const std::string& ld, const std::string& ln) {
        return !settingsStore || !settingsStore->holdsStartValues(ld, ln);
    });
    for (const auto& [node, cls] : unanswered)
        keepUnanswered({node, deviceName(cls)});
    printEmptyLine();
    printLine("Waiting for IEC Clients...");
    syslog(LOG_WARNING, "Waiting for IEC Clients...");
    return unanswered.empty();
}

void startScheduleWorker(const ServerContext& context)
{
    ScheduleWorker::Steps steps{
        .startUp = startUpPass,
        .drain = processIECValuesInSM,
        .drainPending = [] { return changesPending() || (settingsStore && settingsStore->changed()); },
        .retryUnanswered = retryUnansweredChanges,
    };
    ScheduleWorker::Timing timing;
    timing.drainPeriod = context.debugMode ? debugDrainPeriod : drainPeriod;
    scheduleWorker = std::make_unique<ScheduleWorker>(*scheduleHandling, std::move(steps), timing);
    runningWorker.store(scheduleWorker.get(), std::memory_order_release);
    scheduleWorker->start();
}

// Waits on the server's sockets, at most until the periodic tasks are due,
// and serves whatever arrives at once.
[[noreturn]] void serveThreadless()
{
    auto periodicTasksDue = steady_clock::now();
    for (;;) {
        const auto now = steady_clock::now();
        if (now >= periodicTasksDue) {
            IedServer_performPeriodicTasks(iedServer);
            periodicTasksDue = now + periodicTasksPeriod;
        }
        const auto wait = ceil<milliseconds>(periodicTasksDue - steady_clock::now());
        IedServer_processIncomingData(iedServer, static_cast<int>(std::max<milliseconds::rep>(wait.count(), 0)));
    }
}

}  // namespace

void wakeScheduleWorker()
{
    if (ScheduleWorker* worker = runningWorker.load(std::memory_order_acquire))
        worker->wake();
}

void prepareIecServer(ServerContext& context)
{
    IedServer server = IedServer_create(box::staticModel());
    iedServer.store(server, std::memory_order_release);
    IedServer_setServerIdentity(server, "Brenvolta", "generic libIEC", "1.5");
    restoreSettings(server);
    registerWriteHandlers(context, 1);
    registerWriteHandlers(context, 2);
    IedServer_setConnectionIndicationHandler(server, connectionIndicationHandler, nullptr);
    MmsServer mmsServer = IedServer_getMmsServer(server);
    IedServer_setFilestoreBasepath(server, filestoreBasePath);
    printLine("Filestore base path: %s", filestoreBasePath);
    MmsServer_installFileAccessHandler(mmsServer, fileAccessHandler, nullptr);
    attachModelLogs(".");
}

void initiateIecServer(ServerContext& context)
{
    printLine("## IecServer initiation");
    prepareIecServer(context);
    startServer(context);

    IedServer_setWriteAccessPolicy(iedServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    scheduleHandling = std::make_unique<IecScheduleHandling>(iedServer, &context.callbackTable);
    printLine("## IecServer initiation done");
    printEmptyLine();
}

void runIecServer(ServerContext& context)
{
    openlog("IecServerLog", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "######################################################");
    syslog(LOG_ERR, "IEC-Server Version: %f", static_cast<double>(serverVersion));
    initiateIecServer(context);
    startScheduleWorker(context);
    if (!context.debugMode)
        serveThreadless();
    // Debug mode: the server's own thread serves the clients.
    for (;;)
        std::this_thread::sleep_for(hours(24));
}
