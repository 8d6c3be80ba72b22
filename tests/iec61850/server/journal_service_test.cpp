// ReadJournal in a ServerConnection, fed client bytes: paging with moreFollows at small
// PDU sizes, journals that do not exist, and malformed requests.
#include "journal_model.hpp"
#include "wire_helpers.hpp"

#include <gtest/gtest.h>

using namespace test;
using namespace iec61850::server;
using test_support::JournalModel;

namespace {

constexpr std::uint64_t k1984 = 441763200000ull;  // 1984-01-01 in ms since 1970

void fill(JournalModel& model, std::size_t n, std::size_t valueBytes = 8)
{
    model.fill(n, k1984, [&](std::size_t) { return mms::Value::visibleString(std::string(valueBytes, 'v')); });
}

ServerConfig withPduSize(std::int32_t pduSize)
{
    ServerConfig c;
    c.maxPduSize = pduSize;
    return c;
}

mms::ReadJournalRequest request()
{
    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain("FNN_STEUERBOXSTB", "LLN0$logSTB");
    return r;
}

mms::ReadJournalResponse journalAnswer(const mms::Pdu& pdu)
{
    return extraResponse<mms::ReadJournalResponse>(pdu);
}

}  // namespace

TEST(JournalService, EntriesComeBackWithTheirFieldsAndInRange)
{
    JournalModel model;
    fill(model, 5);
    Peer p(model);
    p.associate();
    auto all = journalAnswer(p.ask(1, request()));
    EXPECT_EQ(all.entries, model.entries);
    EXPECT_FALSE(all.moreFollows);

    auto r = request();
    r.startingTime = mms::Value::binaryTimeMs(k1984 + 2000);
    r.endingTime = mms::Value::binaryTimeMs(k1984 + 4000);
    EXPECT_EQ(journalAnswer(p.ask(2, r)).entries,
              std::vector<mms::JournalEntry>(model.entries.begin() + 1, model.entries.begin() + 4));

    r = request();
    r.numberOfEntries = 2;
    auto two = journalAnswer(p.ask(3, r));
    EXPECT_EQ(two.entries.size(), 2u);
    EXPECT_TRUE(two.moreFollows);
}

// At every PDU size the pages fit, each but the last says more follow, and
// continuing after the last entry of a page yields every entry exactly once.
TEST(JournalService, PagesFitThePduSizeAndContinueAfterTheLastEntry)
{
    for (std::int32_t pduSize : {200, 257, 500, 1000, 4096}) {
        SCOPED_TRACE(pduSize);
        JournalModel model;
        fill(model, 300, 20);
        Peer p(model, withPduSize(pduSize));
        p.associate();
        ASSERT_EQ(p.connection->maxPduSize(), pduSize);
        std::vector<mms::JournalEntry> got;
        auto r = request();
        for (int page = 0; page < 400; ++page) {
            auto answer = journalAnswer(p.ask(static_cast<std::uint32_t>(page + 1), r));
            EXPECT_LE(p.lastSize, static_cast<std::size_t>(pduSize));
            ASSERT_FALSE(answer.entries.empty());
            got.insert(got.end(), answer.entries.begin(), answer.entries.end());
            if (!answer.moreFollows)
                break;
            r.startAfterTime = got.back().occurrenceTime;
            r.startAfterEntry = got.back().entryId;
        }
        EXPECT_EQ(got, model.entries);
        // Never more asked of the model than can fit, plus one to know whether more follow.
        for (std::size_t asked : model.asked)
            EXPECT_LE(asked, static_cast<std::size_t>(pduSize) / 28 + 1);
    }
}

TEST(JournalService, TooLargeEntriesAndUnknownJournalsAreErrors)
{
    JournalModel model;
    fill(model, 1, 400);
    Peer p(model, withPduSize(200));
    p.associate();
    auto e = serviceError(p.ask(1, request()));
    EXPECT_EQ(e.errorClass, mms::ErrorClass::Service);
    EXPECT_EQ(e.code, mms::error_code::service::PduSize);

    auto r = request();
    for (auto name : {mms::ObjectName::inDomain("FNN_STEUERBOXSTB", "LLN0$other"),
                      mms::ObjectName::inDomain("NOPE", "LLN0$logSTB"), mms::ObjectName::vmd("LLN0$logSTB"),
                      mms::ObjectName::association("LLN0$logSTB")}) {
        r.journal = name;
        e = serviceError(p.ask(7, r));
        EXPECT_EQ(e.errorClass, mms::ErrorClass::Access) << name.item;
        EXPECT_EQ(e.code, mms::error_code::access::ObjectNonExistent) << name.item;
    }
}

// Truncations and broken tags of the captured request are rejected; the
// association stays and still serves.
TEST(JournalService, MalformedRequestsAreRejectedAndTheAssociationStays)
{
    JournalModel model;
    Peer p(model);
    p.associate();
    const Bytes service = hex("bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c4e30246c6f67535442a5128006"
                              "00000000000081080000000000000000");
    std::vector<Bytes> bad;
    for (std::size_t cut : {3u, 10u, 30u, 45u, 60u}) {
        Bytes s(service.begin(), service.begin() + static_cast<std::ptrdiff_t>(cut));
        s[2] = static_cast<std::uint8_t>(cut - 3);  // the service element claims what is left
        bad.push_back(s);
    }
    bad.push_back(service);
    bad.back()[service.size() - 18] = 0x83;  // timeSpecification under an unknown tag
    for (const Bytes& s : bad) {
        ber::Writer w;
        const auto pdu = w.begin(ber::context(0, true));
        w.integer(ber::universal(ber::universal_tag::Integer), 9);
        w.raw(s);
        w.end(pdu);
        const mms::Pdu answer = p.exchange(w.bytes());
        EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(answer) || std::holds_alternative<mms::ConfirmedError>(answer))
            << test_support::toHex(s);
        ASSERT_TRUE(p.connection->associated());
    }
    EXPECT_TRUE(journalAnswer(p.ask(5, request())).entries.empty());
}
