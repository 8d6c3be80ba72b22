// The server process: its one server, its schedule handling, the handlers it
// gives the server library, and the steps the main loop runs.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"
#include "server_context.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

class IecScheduleHandling;
namespace persistence {
class SettingsStore;
}

inline constexpr int iecServerPort = 4102;
inline constexpr const char* filestoreBasePath = "./uploaded_files/";
inline constexpr const char* protectedFileName = "IEDSERVER.BIN";

// Published once the server is created and kept until the process ends:
// the EMS thread may read it at any time.
extern std::atomic<IedServer> iedServer;
extern std::unique_ptr<IecScheduleHandling> scheduleHandling;
extern std::unique_ptr<persistence::SettingsStore> settingsStore;
// Tells the schedule worker, once it runs, that a drain has work; safe from any thread.
void wakeScheduleWorker();

[[noreturn]] void runIecServer(ServerContext& context);
void initiateIecServer(ServerContext& context);
// The box's server on its model, its settings, write, connection and file
// handlers and logs (in the working directory): everything but listening.
void prepareIecServer(ServerContext& context);

void connectionIndicationHandler(IedServer server, ClientConnection connection, bool connected, void* parameter);
MmsError fileAccessHandler(void* parameter, MmsServerConnection connection, MmsFileServiceType service,
                           const char* localFilename, const char* otherFilename);

// What a log keeps on flash: its newest entries within both bounds.
struct LogRetention {
    std::uint64_t maxBytes;
    std::size_t maxEntries;
};
// A CLS log records every write of TotW (a data update; the EMS writes it
// about once a second, about 114 bytes an entry): 16 MiB hold about 40
// hours of it, so a day of schedule history stays. The STB logs record
// status changes only.
inline constexpr LogRetention clsLogRetention{16u << 20, 500000};
inline constexpr LogRetention stbLogRetention{2u << 20, 50000};

// Opens one SQLite log storage per log of the model, in directory, and
// attaches it; a log whose storage cannot be opened keeps no entries (the
// failure is reported). Each log keeps what its device's retention says,
// or `everyLog`. Returns how many logs got a storage.
int attachModelLogs(const std::string& directory, std::optional<LogRetention> everyLog = std::nullopt);

// Write interception: which schedule nodes changed since the last drain.
using ChangedNode = std::pair<std::string, std::string>;  // (logical node, logical device)
extern std::set<ChangedNode> pendingChanges;
extern std::mutex changeMutex;

void registerWriteHandlers(ServerContext& context, int n);
MmsDataAccessError writeAccessHandler(DataAttribute* dataAttribute, MmsValue* value, ClientConnection connection,
                                      void* parameter);
void logMmsValue(const MmsValue* value);

// Takes the recorded changes and hands each on in set order; changes recorded
// meanwhile stay for the next drain. Those handOn says got no answer are kept
// apart until retryUnansweredChanges. True when every change was answered.
bool drainPendingChanges(const std::function<bool(const ChangedNode&)>& handOn);
void retryUnansweredChanges();
// Keeps a change for the retry, as a drain keeps one the service did not answer.
void keepUnanswered(const ChangedNode& change);
bool changesPending();
// The drain: the settings saved when they changed, then upload and device
// pass per changed node. True when the service answered every upload.
bool processIECValuesInSM();
