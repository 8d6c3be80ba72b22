// ReadJournal of MmsConnection.
#include "iec61850/client/mms_connection.hpp"

namespace iec61850::client {
namespace {

// Cap on what a server can make us collect.
constexpr std::size_t kMaxJournalEntries = 100000;

mms::ReadJournalRequest journalRequest(std::string_view domain, std::string_view journal,
                                       std::optional<std::uint64_t> fromMs, std::optional<std::uint64_t> toMs)
{
    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain(std::string(domain), std::string(journal));
    if (fromMs)
        r.startingTime = mms::Value::binaryTimeMs(*fromMs);
    if (toMs)
        r.endingTime = mms::Value::binaryTimeMs(*toMs);
    return r;
}

Result<mms::ReadJournalResponse> journalCall(MmsConnection& c, const mms::ReadJournalRequest& request)
{
    Result<mms::ConfirmedResponseService> r = c.request(mms::encodeExtra(mms::ExtraRequest{request}));
    if (!r.ok())
        return r.error();
    const auto* raw = std::get_if<mms::UnrecognizedService>(&r.value());
    mms::ExtraResponse extra;
    if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok)
        return Error{ErrorKind::Protocol, 0, 0, "undecodable journal answer"};
    if (auto* typed = std::get_if<mms::ReadJournalResponse>(&extra))
        return std::move(*typed);
    return Error{ErrorKind::Protocol, 0, 0, "answer for another service"};
}

}  // namespace

Result<mms::ReadJournalResponse> MmsConnection::readJournal(std::string_view domain, std::string_view journal,
                                                            std::optional<std::uint64_t> fromMs,
                                                            std::optional<std::uint64_t> toMs)
{
    return journalCall(*this, journalRequest(domain, journal, fromMs, toMs));
}

Result<mms::ReadJournalResponse> MmsConnection::readJournalAfter(std::string_view domain, std::string_view journal,
                                                                 std::uint64_t afterTimeMs, ByteView afterEntry,
                                                                 std::optional<std::uint64_t> toMs)
{
    mms::ReadJournalRequest r = journalRequest(domain, journal, std::nullopt, toMs);
    r.startAfterTime = mms::Value::binaryTimeMs(afterTimeMs);
    r.startAfterEntry = Bytes(afterEntry.begin(), afterEntry.end());
    return journalCall(*this, r);
}

Result<std::vector<mms::JournalEntry>> MmsConnection::readWholeJournal(std::string_view domain,
                                                                       std::string_view journal,
                                                                       std::optional<std::uint64_t> fromMs,
                                                                       std::optional<std::uint64_t> toMs)
{
    std::vector<mms::JournalEntry> entries;
    mms::ReadJournalRequest request = journalRequest(domain, journal, fromMs, toMs);
    for (;;) {
        Result<mms::ReadJournalResponse> r = journalCall(*this, request);
        if (!r.ok())
            return r.error();
        if (entries.size() + r->entries.size() > kMaxJournalEntries)
            return Error{ErrorKind::Protocol, 0, 0, "too many journal entries"};
        if (r->moreFollows && r->entries.empty())
            return Error{ErrorKind::Protocol, 0, 0, "more follows, but no entry came"};
        for (mms::JournalEntry& e : r->entries)
            entries.push_back(std::move(e));
        if (!r->moreFollows)
            return entries;
        request.startAfterTime = entries.back().occurrenceTime;
        request.startAfterEntry = entries.back().entryId;
    }
}

}  // namespace iec61850::client
