#include "iec61850/ied/log_storage.hpp"

#include <unordered_map>

namespace iec61850::ied {

EntryId entryIdFromNumber(std::uint64_t n)
{
    EntryId id{};
    for (int i = 7; i >= 0; --i, n >>= 8)
        id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n & 0xFF);
    return id;
}

std::uint64_t entryIdToNumber(const EntryId& id)
{
    std::uint64_t n = 0;
    for (auto octet : id)
        n = (n << 8) | octet;
    return n;
}

bool MemoryLogStorage::append(LogEntry entry)
{
    std::lock_guard lock(mutex_);
    if (capacity_ == 0)
        return false;
    if (entries_.size() == capacity_)
        entries_.pop_front();
    entry.id = entryIdFromNumber(++lastNumber_);
    entries_.push_back(std::move(entry));
    return true;
}

std::vector<LogEntry> MemoryLogStorage::query(const LogQuery& q)
{
    std::lock_guard lock(mutex_);
    return selectEntries(entries_, q);
}

std::optional<LogPosition> MemoryLogStorage::oldest()
{
    std::lock_guard lock(mutex_);
    if (entries_.empty())
        return std::nullopt;
    return LogPosition{entries_.front().timeMs, entries_.front().id};
}

std::optional<LogPosition> MemoryLogStorage::newest()
{
    std::lock_guard lock(mutex_);
    if (entries_.empty())
        return std::nullopt;
    return LogPosition{entries_.back().timeMs, entries_.back().id};
}

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const Log*, LogStorage*> storages;
};

Registry& registry()
{
    static Registry r;
    return r;
}

bool sameName(const char* name, std::string_view text)
{
    return name && std::string_view(name) == text;
}

}  // namespace

void attachLogStorage(const Log* log, LogStorage* storage)
{
    if (!log)
        return;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (storage)
        r.storages[log] = storage;
    else
        r.storages.erase(log);
}

LogStorage* logStorageOf(const Log* log)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.storages.find(log);
    return it == r.storages.end() ? nullptr : it->second;
}

Log* findLog(IedModel* model, std::string_view logRef)
{
    if (!model)
        return nullptr;
    auto slash = logRef.find('/');
    auto dollar = logRef.rfind('$');
    if (slash == std::string_view::npos || dollar == std::string_view::npos || dollar < slash)
        return nullptr;
    auto device = logRef.substr(0, slash);
    auto node = logRef.substr(slash + 1, dollar - slash - 1);
    auto name = logRef.substr(dollar + 1);
    std::string_view ied = model->name ? model->name : "";
    if (device.size() > ied.size() && device.starts_with(ied) && !IedModel_getDeviceByInst(model, std::string(device).c_str()))
        device.remove_prefix(ied.size());
    for (Log* log = model->logs; log; log = log->sibling) {
        if (!sameName(log->name, name) || !log->parent || !sameName(log->parent->name, node))
            continue;
        auto* ld = log->parent->parent;
        if (ld && sameName(ld->name, device))
            return log;
    }
    return nullptr;
}

bool attachLogStorage(IedModel* model, std::string_view logRef, LogStorage* storage)
{
    Log* log = findLog(model, logRef);
    if (!log)
        return false;
    attachLogStorage(log, storage);
    return true;
}

}  // namespace iec61850::ied
