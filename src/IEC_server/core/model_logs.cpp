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

std::string deviceOf(const Log& log)
{
    const ModelNode* device = log.parent ? log.parent->parent : nullptr;
    return device ? device->name : "";
}

// "IecServer_CLS1_logCLS1.sqlite"
std::string storageFileName(const Log& log)
{
    return "IecServer_" + deviceOf(log) + "_" + log.name + ".sqlite";
}

}  // namespace

int attachModelLogs(const std::string& directory, std::optional<LogRetention> everyLog)
{
    int attached = 0;
    for (Log* log = box::staticModel()->logs; log; log = log->sibling) {
        const std::string path = directory + "/" + storageFileName(*log);
        const LogRetention retention = everyLog.value_or(deviceOf(*log) == "STB" ? stbLogRetention : clsLogRetention);
        iec61850::ied::SqliteLogOptions options;
        options.maxEntries = retention.maxEntries;
        options.maxBytes = retention.maxBytes;
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
