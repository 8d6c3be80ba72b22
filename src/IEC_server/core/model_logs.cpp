#include "box_model.hpp"
#include "console.hpp"
#include "iec_server.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"

#include <syslog.h>
#include <vector>

namespace {

using iec61850::ied::SqliteLogStorage;

// Held for the life of the process: the storage registry points at them.
std::vector<std::unique_ptr<SqliteLogStorage>>& openStorages()
{
    static std::vector<std::unique_ptr<SqliteLogStorage>> storages;
    return storages;
}

// "IecServer_CLS1_logCLS1.sqlite"
std::string storageFileName(const Log& log)
{
    const ModelNode* device = log.parent ? log.parent->parent : nullptr;
    return std::string("IecServer_") + (device ? device->name : "") + "_" + log.name + ".sqlite";
}

}  // namespace

int attachModelLogs(const std::string& directory, std::size_t maxEntriesPerLog)
{
    int attached = 0;
    for (Log* log = box::staticModel()->logs; log; log = log->sibling) {
        const std::string path = directory + "/" + storageFileName(*log);
        iec61850::ied::SqliteLogOptions options;
        options.maxEntries = maxEntriesPerLog;
        auto storage = SqliteLogStorage::open(path, options);
        if (!storage) {
            printLine("Opening log storage failed: %s", path.c_str());
            syslog(LOG_NOTICE, "Opening log storage failed: %s", path.c_str());
            continue;
        }
        iec61850::ied::attachLogStorage(log, storage.get());
        openStorages().push_back(std::move(storage));
        ++attached;
    }
    return attached;
}
