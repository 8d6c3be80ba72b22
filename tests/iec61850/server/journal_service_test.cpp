// ReadJournal in a ServerConnection, fed client bytes: capture 10's requests
// (answered with the captured empty lists), paging with moreFollows at small
// PDU sizes, a journal that does not exist, and malformed requests.
#include "wire_helpers.hpp"

#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/server_connection.hpp"

#include <gtest/gtest.h>

using namespace test;
using namespace iec61850::server;

namespace {

// Client-to-server TCP payloads of 10-journal-read.pcap.
const std::vector<std::string_view> kCapture10 = {
    "0300001611e00000000100c0010dc2020001c1020001",
    "030000bb02f0800db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001"
    "a423300f0201010604520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528ca"
    "220203a20706052901876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583"
    "010aa416800101810305f100820c03ee1c00000408000079ef18",
    // entryToStartAfter: 1984-01-01, entry id eight zero octets
    "0300005302f0800100010061463044020103a03fa03d020101bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c"
    "4e30246c6f67535442a512800600000000000081080000000000000000",
    // rangeStart / rangeStop by time
    "0300005302f0800100010061463044020103a03fa03d020102bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c"
    "4e30246c6f67535442a1088006000000000000a208800601be3a593d40",
    "0300001602f0800100010061093007020103a0028b00",
    "0300001902f0800910c10e610c300a020101a0056203800100",
};
// The MMS PDUs the reference server answered the two ReadJournals with.
constexpr std::string_view kCapturedAnswers[] = {"a108020101bf4102a000", "a108020102bf4102a000"};

constexpr std::uint64_t k1984 = 441763200000ull;  // 1984-01-01 in ms since 1970

// A model with one journal per domain whose entries are numbered 1..n with
// time = base + number; it serves the ReadJournal selection itself.
class JournalModel : public InMemoryModel {
public:
    std::string domain = "FNN_STEUERBOXSTB";
    std::string journal = "LLN0$logSTB";
    std::vector<mms::JournalEntry> entries;
    std::vector<mms::ReadJournalRequest> requests;
    std::vector<std::size_t> asked;

    void fill(std::size_t n, std::size_t valueBytes = 8)
    {
        for (std::size_t i = 1; i <= n; ++i) {
            mms::JournalEntry e;
            e.entryId = Bytes{0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
            e.occurrenceTime = mms::Value::binaryTimeMs(k1984 + 1000 * i);
            e.variables.push_back({"STB/LLN0$ST$Beh$stVal", mms::Value::visibleString(std::string(valueBytes, 'v'))});
            mms::Value reason = mms::Value::bitString(7);
            reason.setBit(1, true);
            e.variables.push_back({"ReasonCode", reason});
            entries.push_back(std::move(e));
        }
    }

    bool readJournal(const ClientContext&, std::string_view d, std::string_view j, const mms::ReadJournalRequest& r,
                     std::size_t maxEntries, std::vector<mms::JournalEntry>& out) override
    {
        if (d != domain || j != journal)
            return false;
        requests.push_back(r);
        asked.push_back(maxEntries);
        bool started = !r.startAfterEntry;
        for (const mms::JournalEntry& e : entries) {
            std::uint64_t t = e.occurrenceTime.binaryTimeMs();
            if (!started) {
                started = e.entryId == *r.startAfterEntry;
                continue;
            }
            if ((r.startingTime && t < r.startingTime->binaryTimeMs()) || (r.endingTime && t > r.endingTime->binaryTimeMs()))
                continue;
            if (out.size() == maxEntries)
                break;
            out.push_back(e);
        }
        return true;
    }
};

Bytes capture(std::size_t i)
{
    return hex(kCapture10[i]);
}

struct Peer {
    JournalModel model;
    ServerConnection connection;
    std::size_t lastSize = 0;

    explicit Peer(std::int32_t ourPduSize = 65000) : connection(model, config(ourPduSize)) {}

    static ServerConfig config(std::int32_t pduSize)
    {
        ServerConfig c;
        c.maxPduSize = pduSize;
        return c;
    }

    std::vector<ServerFrame> feed(ByteView bytes)
    {
        connection.receive(bytes);
        std::vector<ServerFrame> frames;
        EXPECT_TRUE(splitServerOutput(connection.output(), frames));
        connection.output().clear();
        return frames;
    }
    void associate()
    {
        feed(capture(0));
        feed(capture(1));
        ASSERT_TRUE(connection.associated());
    }
    mms::Pdu exchange(const Bytes& pdu)
    {
        auto frames = feed(clientTpkt(pdu));
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1 || frames[0].mms.empty())
            return mms::RejectPdu{};
        lastSize = frames[0].mms.size();
        return decode(frames[0].mms);
    }
    mms::Pdu ask(std::uint32_t invokeId, const mms::ReadJournalRequest& r)
    {
        return exchange(mms::encodePdu(mms::ConfirmedRequest{invokeId, mms::encodeExtra(mms::ExtraRequest{r})}));
    }
};

mms::ReadJournalResponse journalAnswer(const mms::Pdu& pdu)
{
    const auto* r = std::get_if<mms::ConfirmedResponse>(&pdu);
    const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
    mms::ExtraResponse extra;
    if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok ||
        !std::holds_alternative<mms::ReadJournalResponse>(extra)) {
        ADD_FAILURE() << "not a ReadJournal answer, PDU kind " << pdu.index();
        return {};
    }
    return std::get<mms::ReadJournalResponse>(extra);
}

mms::ReadJournalRequest request(const JournalModel& m)
{
    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain(m.domain, m.journal);
    return r;
}

TEST(JournalCapture, TheCapturedRequestsGetTheCapturedEmptyAnswers)
{
    Peer p;
    p.associate();
    for (std::size_t i = 0; i < 2; ++i) {
        auto frames = p.feed(capture(2 + i));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].mms, hex(kCapturedAnswers[i])) << i;
    }
    ASSERT_EQ(p.model.requests.size(), 2u);
    const mms::ReadJournalRequest& after = p.model.requests[0];
    ASSERT_TRUE(after.startAfterTime && after.startAfterEntry);
    EXPECT_EQ(after.startAfterTime->binaryTimeMs(), k1984);
    EXPECT_EQ(*after.startAfterEntry, Bytes(8, 0));
    const mms::ReadJournalRequest& range = p.model.requests[1];
    ASSERT_TRUE(range.startingTime && range.endingTime);
    EXPECT_EQ(range.startingTime->binaryTimeMs(), k1984);
    EXPECT_GT(range.endingTime->binaryTimeMs(), range.startingTime->binaryTimeMs());
    EXPECT_FALSE(after.startingTime || range.startAfterEntry);

    // Conclude and release as captured.
    EXPECT_EQ(p.feed(capture(4)).size(), 1u);
    p.feed(capture(5));
    EXPECT_TRUE(p.connection.concluded());
}

TEST(JournalService, EntriesComeBackWithTheirFieldsAndInRange)
{
    Peer p;
    p.associate();
    p.model.fill(5);
    auto all = journalAnswer(p.ask(1, request(p.model)));
    EXPECT_EQ(all.entries, p.model.entries);
    EXPECT_FALSE(all.moreFollows);

    auto r = request(p.model);
    r.startingTime = mms::Value::binaryTimeMs(k1984 + 2000);
    r.endingTime = mms::Value::binaryTimeMs(k1984 + 4000);
    auto some = journalAnswer(p.ask(2, r));
    ASSERT_EQ(some.entries.size(), 3u);
    EXPECT_EQ(some.entries.front(), p.model.entries[1]);

    r = request(p.model);
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
        Peer p(pduSize);
        p.associate();
        ASSERT_EQ(p.connection.maxPduSize(), pduSize);
        p.model.fill(300, 20);
        std::vector<mms::JournalEntry> got;
        auto r = request(p.model);
        for (int page = 0; page < 400; ++page) {
            auto answer = journalAnswer(p.ask(static_cast<std::uint32_t>(page + 1), r));
            EXPECT_LE(p.lastSize, static_cast<std::size_t>(pduSize));
            ASSERT_FALSE(answer.entries.empty()) << pduSize;
            got.insert(got.end(), answer.entries.begin(), answer.entries.end());
            if (!answer.moreFollows)
                break;
            r.startAfterTime = got.back().occurrenceTime;
            r.startAfterEntry = got.back().entryId;
        }
        EXPECT_EQ(got, p.model.entries) << pduSize;
        // Never more asked of the model than can fit, plus one to know whether more follow.
        for (std::size_t asked : p.model.asked)
            EXPECT_LE(asked, static_cast<std::size_t>(pduSize) / 28 + 1);
    }
}

TEST(JournalService, AnEntryTooLargeForThePduIsAPduSizeError)
{
    Peer p(200);
    p.associate();
    p.model.fill(1, 400);
    const mms::Pdu pdu = p.ask(1, request(p.model));
    const auto* error = std::get_if<mms::ConfirmedError>(&pdu);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->error.errorClass, mms::ErrorClass::Service);
    EXPECT_EQ(error->error.code, mms::error_code::service::PduSize);
}

TEST(JournalService, UnknownJournalsAreObjectNonExistent)
{
    Peer p;
    p.associate();
    auto r = request(p.model);
    for (auto name : {mms::ObjectName::inDomain("FNN_STEUERBOXSTB", "LLN0$other"),
                      mms::ObjectName::inDomain("NOPE", "LLN0$logSTB"), mms::ObjectName::vmd("LLN0$logSTB"),
                      mms::ObjectName::association("LLN0$logSTB")}) {
        r.journal = name;
        const mms::Pdu pdu = p.ask(7, r);
        const auto* error = std::get_if<mms::ConfirmedError>(&pdu);
        ASSERT_TRUE(error) << name.item;
        EXPECT_EQ(error->error.errorClass, mms::ErrorClass::Access);
        EXPECT_EQ(error->error.code, mms::error_code::access::ObjectNonExistent);
    }
}

TEST(JournalService, AModelWithoutJournalsAnswersNoSuchJournal)
{
    InMemoryModel plain;
    ServerConnection c(plain, ServerConfig{});
    c.receive(capture(0));
    c.receive(capture(1));
    c.output().clear();
    c.receive(capture(2));
    std::vector<ServerFrame> frames;
    ASSERT_TRUE(splitServerOutput(c.output(), frames));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<mms::ConfirmedError>(decode(frames[0].mms)));
}

// Truncations and broken tags of the captured request are rejected as
// invalid arguments; the association stays and still serves.
TEST(JournalService, MalformedRequestsAreRejectedAndTheAssociationStays)
{
    Peer p;
    p.associate();
    const Bytes good = mms::encodePdu(mms::ConfirmedRequest{5, mms::encodeExtra(mms::ExtraRequest{request(p.model)})});
    const Bytes service = hex("bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c4e30246c6f67535442a5128006"
                              "00000000000081080000000000000000");
    std::vector<Bytes> bad;
    for (std::size_t cut : {3u, 10u, 30u, 45u, 60u}) {
        Bytes s(service.begin(), service.end() - static_cast<std::ptrdiff_t>(service.size() - cut));
        s[2] = static_cast<std::uint8_t>(cut - 3);  // the service element claims what is left
        bad.push_back(s);
    }
    Bytes wrongTime = service;
    wrongTime[wrongTime.size() - 18] = 0x83;  // timeSpecification under an unknown tag
    bad.push_back(wrongTime);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        const Bytes& s = bad[i];
        ber::Writer w;
        const auto pdu = w.begin(ber::context(0, true));
        w.integer(ber::universal(ber::universal_tag::Integer), 9);
        w.raw(s);
        w.end(pdu);
        const mms::Pdu answer = p.exchange(w.bytes());
        EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(answer) || std::holds_alternative<mms::ConfirmedError>(answer))
            << i;
        ASSERT_TRUE(p.connection.associated());
    }
    EXPECT_TRUE(journalAnswer(p.exchange(good)).entries.empty());
}

}  // namespace
