// An InMemoryModel with one journal, LLN0$logSTB of FNN_STEUERBOXSTB, that
// serves ReadJournal from its own entries: by time range, after an entry,
// and never more than asked for.
#pragma once

#include "iec61850/server/memory_model.hpp"

#include <functional>

namespace test_support {

class JournalModel : public iec61850::server::InMemoryModel {
public:
    using Value = iec61850::mms::Value;

    JournalModel() = default;
    explicit JournalModel(InMemoryModel base) : InMemoryModel(std::move(base)) {}

    std::vector<iec61850::mms::JournalEntry> entries;
    std::vector<iec61850::mms::ReadJournalRequest> requests;  // as the model was asked
    std::vector<std::size_t> asked;                           // their entry limits

    // Entries numbered 1..n, one second apart after `startMs`, each with value(i) and a reason code.
    void fill(std::size_t n, std::uint64_t startMs, const std::function<Value(std::size_t)>& value)
    {
        for (std::size_t i = 1; i <= n; ++i) {
            iec61850::mms::JournalEntry e;
            e.entryId = {0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
            e.occurrenceTime = Value::binaryTimeMs(startMs + 1000 * i);
            e.variables.push_back({"FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal", value(i)});
            Value reason = Value::bitString(7);
            reason.setBit(1 + i % 3, true);
            e.variables.push_back({"ReasonCode", reason});
            entries.push_back(std::move(e));
        }
    }

    bool readJournal(const iec61850::server::ClientContext&, std::string_view domain, std::string_view journal,
                     const iec61850::mms::ReadJournalRequest& r, std::size_t maxEntries,
                     std::vector<iec61850::mms::JournalEntry>& out) override
    {
        if (domain != "FNN_STEUERBOXSTB" || journal != "LLN0$logSTB")
            return false;
        requests.push_back(r);
        asked.push_back(maxEntries);
        bool started = !r.startAfterEntry || *r.startAfterEntry == iec61850::Bytes(8, 0);
        for (const iec61850::mms::JournalEntry& e : entries) {
            if (!started) {
                started = e.entryId == *r.startAfterEntry;
                continue;
            }
            const std::uint64_t t = e.occurrenceTime.binaryTimeMs();
            if ((r.startingTime && t < r.startingTime->binaryTimeMs()) || (r.endingTime && t > r.endingTime->binaryTimeMs()))
                continue;
            if (out.size() == maxEntries)
                break;
            out.push_back(e);
        }
        return true;
    }
};

}  // namespace test_support
