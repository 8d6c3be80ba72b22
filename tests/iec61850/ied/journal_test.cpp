// ReadJournal on the logs of an IED model: the mapping of log entries to
// journal entries, capture 10's requests fed to a connection on the model,
// and over real TCP with our client against an SQLite storage, including
// entries a log control block writes.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/mms_mapping.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "iec61850/server/server_connection.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using namespace iec61850;
using namespace iec61850::ied;
namespace fs = std::filesystem;

constexpr std::uint64_t k1984 = 441763200000ull;
constexpr std::uint64_t kNow = 1796544443992ull;  // when capture 10 was taken

constexpr AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};

// The journals of the box: LLN0$logSTB in STB, LLN0$logCLS1 in CLS1, the
// latter written by a log control block on a one-member data set.
struct BoxModel {
    ModelBuilder builder{"FNN_STEUERBOX"};
    LogicalNode* stb = builder.node(builder.device("STB"), "LLN0");
    LogicalNode* cls1 = builder.node(builder.device("CLS1"), "LLN0");
    DataObject* mod = builder.object(cls1, "Mod", kEns);
    Log* logStb = builder.log(stb, "logSTB");
    Log* logCls1 = builder.log(cls1, "logCLS1");

    BoxModel()
    {
        builder.object(stb, "Beh", kEns);
        DataSet* set = builder.dataSet(cls1, "dataset01");
        builder.dataSetEntry(set, "CLS1", "LLN0$ST$Mod$stVal");
        builder.logControl(cls1, "logControlCLS1", "dataset01", "CLS1/LLN0$logCLS1",
                           TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED | TRG_OPT_DATA_UPDATE, 0, true, true);
    }
    ~BoxModel()
    {
        attachLogStorage(logStb, nullptr);
        attachLogStorage(logCls1, nullptr);
    }
    IedModel* model() { return builder.model(); }
};

mms::Value reasonBits(std::size_t bit)
{
    mms::Value v = mms::Value::bitString(7);
    v.setBit(bit, true);
    return v;
}

LogEntry logEntry(std::uint64_t n, std::uint64_t timeMs, bool withReason = true)
{
    LogEntry e;
    e.timeMs = timeMs;
    e.id = entryIdFromNumber(n);
    e.values.push_back({"FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal", mms::Value::integer(static_cast<std::int64_t>(n % 5)),
                        withReason ? std::optional(reasonBits(1)) : std::nullopt});
    return e;
}

mms::ReadJournalRequest journalRequest(const char* domain, const char* journal)
{
    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain(domain, journal);
    return r;
}

TEST(JournalAccess, FindsOnlyTheModelsLogsAndAnswersEmptyWithoutStorage)
{
    BoxModel box;
    MmsMapping mapping(*box.model());
    std::vector<mms::JournalEntry> entries{mms::JournalEntry{}};
    const server::ClientContext client;
    auto r = journalRequest("FNN_STEUERBOXSTB", "LLN0$logSTB");
    EXPECT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 10, entries));
    EXPECT_TRUE(entries.empty());
    for (auto [domain, journal] : std::initializer_list<std::pair<const char*, const char*>>{
             {"FNN_STEUERBOXSTB", "LLN0$logCLS1"}, {"FNN_STEUERBOXCLS1", "LLN0$logSTB"},
             {"FNN_STEUERBOXSTB", "LPHD1$logSTB"}, {"FNN_STEUERBOXSTB", "logSTB"}, {"STB", "LLN0$logSTB"},
             {"FNN_STEUERBOXSTB", "LLN0$logSTB$x"}, {"", "LLN0$logSTB"}})
        EXPECT_FALSE(mapping.readJournal(client, domain, journal, r, 10, entries)) << domain << " " << journal;
}

TEST(JournalAccess, EntriesCarryIdTimeReferenceValueAndReasonCode)
{
    BoxModel box;
    MmsMapping mapping(*box.model());
    MemoryLogStorage storage;
    attachLogStorage(box.logStb, &storage);
    storage.append(logEntry(1, kNow));
    storage.append(logEntry(2, kNow + 1, false));
    storage.append(logEntry(3, kNow + 2));

    std::vector<mms::JournalEntry> entries;
    const server::ClientContext client;
    auto r = journalRequest("FNN_STEUERBOXSTB", "LLN0$logSTB");
    ASSERT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 10, entries));
    ASSERT_EQ(entries.size(), 3u);
    const mms::JournalEntry& first = entries[0];
    EXPECT_EQ(first.entryId, (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(first.occurrenceTime.timeOctets().size(), 6u);
    EXPECT_EQ(first.occurrenceTime.binaryTimeMs(), kNow);
    ASSERT_EQ(first.variables.size(), 2u);
    EXPECT_EQ(first.variables[0].tag, "FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal");
    EXPECT_EQ(first.variables[0].value, mms::Value::integer(1));
    EXPECT_EQ(first.variables[1].tag, "ReasonCode");
    EXPECT_EQ(first.variables[1].value, reasonBits(1));
    EXPECT_EQ(entries[1].variables.size(), 1u);  // no reason code stored

    // The request's selection reaches the storage: after an entry, a range, the page bound.
    r.startAfterTime = mms::Value::binaryTimeMs(kNow);
    r.startAfterEntry = Bytes{0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 10, entries));
    EXPECT_EQ(entries.size(), 2u);
    r.startAfterEntry = Bytes{1};  // not an id of ours: the time decides
    ASSERT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 10, entries));
    EXPECT_EQ(entries.size(), 2u);
    r = journalRequest("FNN_STEUERBOXSTB", "LLN0$logSTB");
    r.startingTime = mms::Value::binaryTimeMs(kNow + 1);
    r.endingTime = mms::Value::binaryTimeMs(kNow + 1);
    ASSERT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 10, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].entryId.back(), 2);
    r = journalRequest("FNN_STEUERBOXSTB", "LLN0$logSTB");
    ASSERT_TRUE(mapping.readJournal(client, "FNN_STEUERBOXSTB", "LLN0$logSTB", r, 2, entries));
    EXPECT_EQ(entries.size(), 2u);
}

// Client-to-server TCP payloads of 10-journal-read.pcap and the MMS PDUs the
// reference server answered the two ReadJournals with (no entries there).
const char* const kCapture10[] = {
    "0300001611e00000000100c0010dc2020001c1020001",
    "030000bb02f0800db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001"
    "a423300f0201010604520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528ca"
    "220203a20706052901876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583"
    "010aa416800101810305f100820c03ee1c00000408000079ef18",
    "0300005302f0800100010061463044020103a03fa03d020101bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c"
    "4e30246c6f67535442a512800600000000000081080000000000000000",
    "0300005302f0800100010061463044020103a03fa03d020102bf4137a021a11f1a10464e4e5f535445554552424f585354421a0b4c4c"
    "4e30246c6f67535442a1088006000000000000a208800601be3a593d40",
};
const char* const kCapturedAnswers[] = {"a108020101bf4102a000", "a108020102bf4102a000"};

Bytes hex(std::string_view text)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

// The MMS PDU at the end of one server data TPKT (TPKT, COTP DT, session
// give tokens + DT, presentation user data 61 { 30 { 02 03, a0 { MMS } } }).
Bytes mmsOfServerTpkt(ByteView tpkt)
{
    if (tpkt.size() < 11)
        return {};
    ber::Reader r(tpkt.subspan(11));
    ber::Element e;
    ber::Reader seq({}), pdv({});
    if (r.next(e) != ber::Status::Ok || r.enter(e, seq) != ber::Status::Ok || seq.next(e) != ber::Status::Ok ||
        seq.enter(e, pdv) != ber::Status::Ok)
        return {};
    while (pdv.next(e) == ber::Status::Ok)
        if (e.tag == ber::context(0, true))
            return Bytes(e.content.begin(), e.content.end());
    return {};
}

std::vector<Bytes> feedCapture10(server::MmsDataModel& model)
{
    server::ServerConnection c(model, server::ServerConfig{});
    std::vector<Bytes> answers;
    for (const char* tpkt : kCapture10) {
        c.receive(hex(tpkt));
        answers.push_back(mmsOfServerTpkt(c.output()));
        c.output().clear();
    }
    EXPECT_TRUE(c.associated());
    return {answers.begin() + 2, answers.end()};
}

TEST(JournalAccess, Capture10IsAnsweredAsCapturedWithoutStorageAndWithEntriesWithIt)
{
    BoxModel box;
    MmsMapping mapping(*box.model());
    std::vector<Bytes> answers = feedCapture10(mapping);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], hex(kCapturedAnswers[0]));
    EXPECT_EQ(answers[1], hex(kCapturedAnswers[1]));

    // With entries: all after the 1984 / zero id position; those up to the
    // capture's end time in the range request.
    MemoryLogStorage storage;
    attachLogStorage(box.logStb, &storage);
    storage.append(logEntry(1, k1984 + 5));
    storage.append(logEntry(2, kNow + 86400000ull * 400));  // after the captured end time
    answers = feedCapture10(mapping);
    ASSERT_EQ(answers.size(), 2u);
    std::size_t expected[] = {2, 1};
    for (std::size_t i = 0; i < 2; ++i) {
        mms::Pdu pdu;
        ASSERT_EQ(mms::decodePdu(answers[i], pdu), ber::Status::Ok);
        const auto* response = std::get_if<mms::ConfirmedResponse>(&pdu);
        ASSERT_TRUE(response);
        mms::ExtraResponse extra;
        ASSERT_EQ(mms::decodeExtraResponse(std::get<mms::UnrecognizedService>(response->service), extra),
                  ber::Status::Ok);
        const auto& journal = std::get<mms::ReadJournalResponse>(extra);
        EXPECT_EQ(journal.entries.size(), expected[i]) << i;
        EXPECT_FALSE(journal.moreFollows);
    }
}

class JournalOverTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "journal-XXXXXX").string();
        ASSERT_TRUE(mkdtemp(pattern.data()));
        dir = pattern;
        storage = SqliteLogStorage::open((fs::path(dir) / "logSTB.db").string());
        cls1Storage = SqliteLogStorage::open((fs::path(dir) / "logCLS1.db").string());
        ASSERT_TRUE(storage && cls1Storage);
        ASSERT_TRUE(attachLogStorage(box.model(), "STB/LLN0$logSTB", storage.get()));
        ASSERT_TRUE(attachLogStorage(box.model(), "CLS1/LLN0$logCLS1", cls1Storage.get()));
        server = IedServer_create(box.model());
        ASSERT_TRUE(server);
        IedServer_setLocalIpAddress(server, "127.0.0.1");
        IedServer_start(server, 0);
        ASSERT_TRUE(IedServer_isRunning(server));
    }
    void TearDown() override
    {
        connection.close();
        IedServer_destroy(server);
        attachLogStorage(box.logStb, nullptr);
        attachLogStorage(box.logCls1, nullptr);
        storage.reset();
        cls1Storage.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void connect(std::int32_t maxPdu)
    {
        client::ConnectOptions o;
        o.port = static_cast<std::uint16_t>(IedServer_getPort(server));
        o.maxPduSize = maxPdu;
        auto r = connection.connect(o);
        ASSERT_TRUE(r.ok()) << r.error().describe();
        EXPECT_TRUE(connection.negotiated().supports(mms::services_supported::ReadJournal));
    }

    BoxModel box;
    std::string dir;
    std::unique_ptr<SqliteLogStorage> storage;
    std::unique_ptr<SqliteLogStorage> cls1Storage;
    IedServer server = nullptr;
    client::MmsConnection connection;
};

TEST_F(JournalOverTcp, TheWholeJournalComesInPagesAtASmallPduSize)
{
    for (std::uint64_t n = 1; n <= 60; ++n)
        ASSERT_TRUE(storage->append(logEntry(n, kNow + n * 1000)));
    connect(400);

    auto page = connection.readJournal("FNN_STEUERBOXSTB", "LLN0$logSTB");
    ASSERT_TRUE(page.ok()) << page.error().describe();
    EXPECT_TRUE(page->moreFollows);
    EXPECT_GT(page->entries.size(), 1u);
    EXPECT_LT(page->entries.size(), 60u);

    auto all = connection.readWholeJournal("FNN_STEUERBOXSTB", "LLN0$logSTB");
    ASSERT_TRUE(all.ok()) << all.error().describe();
    ASSERT_EQ(all->size(), 60u);
    for (std::size_t i = 0; i < all->size(); ++i) {
        EXPECT_EQ((*all)[i].occurrenceTime.binaryTimeMs(), kNow + (i + 1) * 1000) << i;
        EXPECT_EQ((*all)[i].entryId.back(), i + 1) << i;
    }

    auto range = connection.readWholeJournal("FNN_STEUERBOXSTB", "LLN0$logSTB", kNow + 10000, kNow + 19000);
    ASSERT_TRUE(range.ok());
    EXPECT_EQ(range->size(), 10u);
    auto after = connection.readJournalAfter("FNN_STEUERBOXSTB", "LLN0$logSTB", kNow + 58000,
                                             Bytes{0, 0, 0, 0, 0, 0, 0, 58});
    ASSERT_TRUE(after.ok());
    ASSERT_EQ(after->entries.size(), 2u);
    EXPECT_FALSE(after->moreFollows);

    auto missing = connection.readJournal("FNN_STEUERBOXSTB", "LLN0$nothing");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, client::ErrorKind::ServiceError);
    EXPECT_TRUE(connection.identify().ok());  // the association stays
}

TEST_F(JournalOverTcp, EntriesWrittenByTheLogControlBlockAreRead)
{
    connect(65000);
    IedServer_updateInt32AttributeValue(server, reinterpret_cast<DataAttribute*>(
                                                    ModelNode_getChild(box.mod, "stVal")), 3);
    auto entries = connection.readWholeJournal("FNN_STEUERBOXCLS1", "LLN0$logCLS1");
    ASSERT_TRUE(entries.ok()) << entries.error().describe();
    ASSERT_EQ(entries->size(), 1u);
    const mms::JournalEntry& e = entries->front();
    ASSERT_EQ(e.variables.size(), 2u);
    EXPECT_NE(e.variables[0].tag.find("LLN0$ST$Mod$stVal"), std::string::npos);
    EXPECT_EQ(e.variables[0].value.toInt32(), 3);
    EXPECT_EQ(e.variables[1].tag, "ReasonCode");
    EXPECT_TRUE(e.variables[1].value.getBit(1));  // data change
}

}  // namespace
