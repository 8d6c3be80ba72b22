// Where the entries of an IEC 61850 log are kept. A log control block appends
// entries; ReadJournal queries them page by page. A Log of the model has no
// storage until one is attached; without one it has no entries.
#pragma once

#include "iec61850/ied/model.hpp"
#include "iec61850/mms/value.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::ied {

using EntryId = std::array<std::uint8_t, 8>;

// Entry ids as big-endian counters.
EntryId entryIdFromNumber(std::uint64_t n);
std::uint64_t entryIdToNumber(const EntryId& id);

struct LogValue {
    std::string reference;                 // data reference as the log control block names it
    mms::Value value;
    std::optional<mms::Value> reasonCode;  // ReasonCode bit string, when the log control block includes it
    bool operator==(const LogValue&) const = default;
};

struct LogEntry {
    std::uint64_t timeMs = 0;  // ms since 1970
    EntryId id{};
    std::vector<LogValue> values;
    bool operator==(const LogEntry&) const = default;
};

struct LogPosition {
    std::uint64_t timeMs = 0;
    EntryId id{};
    bool operator==(const LogPosition&) const = default;
};

// Entries are kept in append order. A query selects, in that order, the
// entries with from <= time <= to (either bound optional) that come after
// `after`: the entry with that time and id, or when it is gone (or never
// was, as an all-zero id), those that would follow it: a later time, or the
// same time and a higher id. At most maxEntries are returned; the caller
// pages on.
struct LogQuery {
    std::optional<std::uint64_t> fromMs{};
    std::optional<std::uint64_t> toMs{};
    std::optional<LogPosition> after{};
    std::size_t maxEntries = 64;
};

class LogStorage {
public:
    virtual ~LogStorage() = default;

    // The storage numbers the entry (its id): one more than the entry it
    // stored last, so that the numbers of the entries kept have no gaps.
    // False when the entry was not taken (storage closed or queue full).
    virtual bool append(LogEntry entry) = 0;
    virtual std::vector<LogEntry> query(const LogQuery& q) = 0;
    virtual std::optional<LogPosition> oldest() = 0;
    virtual std::optional<LogPosition> newest() = 0;
};

// Keeps up to `capacity` entries in memory; the oldest go first.
class MemoryLogStorage : public LogStorage {
public:
    explicit MemoryLogStorage(std::size_t capacity = 1000) : capacity_(capacity) {}

    bool append(LogEntry entry) override;
    std::vector<LogEntry> query(const LogQuery& q) override;
    std::optional<LogPosition> oldest() override;
    std::optional<LogPosition> newest() override;

private:
    std::mutex mutex_;
    std::size_t capacity_;
    std::deque<LogEntry> entries_;
    std::uint64_t lastNumber_ = 0;
};

// Applies a query to entries in append order (for storages that hold them in memory).
template <typename Range>
std::vector<LogEntry> selectEntries(const Range& entries, const LogQuery& q)
{
    auto begin = std::begin(entries);
    auto end = std::end(entries);
    if (q.after) {
        auto at = std::find_if(begin, end, [&](const LogEntry& e) {
            return e.timeMs == q.after->timeMs && e.id == q.after->id;
        });
        begin = at != end ? std::next(at) : std::find_if(begin, end, [&](const LogEntry& e) {
            return e.timeMs > q.after->timeMs || (e.timeMs == q.after->timeMs && e.id > q.after->id);
        });
    }
    std::vector<LogEntry> out;
    for (auto it = begin; it != end && out.size() < q.maxEntries; ++it) {
        if ((!q.fromMs || it->timeMs >= *q.fromMs) && (!q.toMs || it->timeMs <= *q.toMs))
            out.push_back(*it);
    }
    return out;
}

// Attaching: the storage must outlive its use; nullptr detaches. The
// registry is process wide and thread safe.
void attachLogStorage(const Log* log, LogStorage* storage);
LogStorage* logStorageOf(const Log* log);
// logRef as in a log control block: "CLS1/LLN0$logCLS1" (LD instance / LN $ log name).
Log* findLog(IedModel* model, std::string_view logRef);
// False when the model has no such log.
bool attachLogStorage(IedModel* model, std::string_view logRef, LogStorage* storage);

}  // namespace iec61850::ied
