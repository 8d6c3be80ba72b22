// ReadJournal on the logs of the model: journal "LLN0$logCLS1" in the domain
// of its logical device, answered from the storage attached to the log.
#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/mms_mapping.hpp"

#include <algorithm>
#include <string>

namespace iec61850::ied {

namespace {

const Log* findJournal(const IedModel& model, const LogicalDevice* ld, std::string_view journal)
{
    auto dollar = journal.find('$');
    if (dollar == std::string_view::npos)
        return nullptr;
    auto node = journal.substr(0, dollar);
    auto name = journal.substr(dollar + 1);
    for (const Log* log = model.logs; log; log = log->sibling) {
        if (log->parent && log->parent->parent == ld && log->parent->name && log->name &&
            node == log->parent->name && name == log->name)
            return log;
    }
    return nullptr;
}

LogQuery queryOf(const mms::ReadJournalRequest& r, std::size_t maxEntries)
{
    LogQuery q;
    q.maxEntries = maxEntries;
    if (r.startingTime)
        q.fromMs = r.startingTime->binaryTimeMs();
    if (r.endingTime)
        q.toMs = r.endingTime->binaryTimeMs();
    if (r.startAfterTime && r.startAfterEntry) {
        LogPosition after{r.startAfterTime->binaryTimeMs(), {}};
        // An id of another length matches no entry: the time alone decides.
        if (r.startAfterEntry->size() == after.id.size())
            std::copy(r.startAfterEntry->begin(), r.startAfterEntry->end(), after.id.begin());
        else
            after.id = entryIdFromNumber(~std::uint64_t{0});
        q.after = after;
    }
    return q;
}

mms::JournalEntry toJournalEntry(const LogEntry& e)
{
    mms::JournalEntry out;
    out.entryId.assign(e.id.begin(), e.id.end());
    out.occurrenceTime = mms::Value::binaryTimeMs(e.timeMs);
    for (const LogValue& v : e.values) {
        out.variables.push_back({v.reference, v.value});
        if (v.reasonCode)
            out.variables.push_back({"ReasonCode", *v.reasonCode});
    }
    return out;
}

}  // namespace

bool MmsMapping::readJournal(const server::ClientContext&, std::string_view domain, std::string_view journal,
                             const mms::ReadJournalRequest& request, std::size_t maxEntries,
                             std::vector<mms::JournalEntry>& entries)
{
    const LogicalDevice* ld = device(domain);
    const Log* log = ld ? findJournal(model_, ld, journal) : nullptr;
    if (!log)
        return false;
    entries.clear();
    LogStorage* storage = logStorageOf(log);
    if (!storage || maxEntries == 0)
        return true;
    for (const LogEntry& e : storage->query(queryOf(request, maxEntries)))
        entries.push_back(toJournalEntry(e));
    return true;
}

}  // namespace iec61850::ied
