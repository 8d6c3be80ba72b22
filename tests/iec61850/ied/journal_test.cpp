// ReadJournal on the logs of an IED model: the mapping of log entries to
// journal entries, capture 10's requests fed to a connection on the model,
// and over real TCP with our client against an SQLite storage, including
// entries a log control block writes.
#include "ied_test_support.hpp"

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/mms_mapping.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "iec61850/server/server_connection.hpp"

#include <memory>

namespace ied_test {
namespace {

using namespace iec61850;
using namespace iec61850::ied;

constexpr std::uint64_t k1984 = 441763200000ull;
constexpr std::uint64_t kNow = 1796544443992ull;  // when capture 10 was taken
constexpr const char* kStb = "FNN_STEUERBOXSTB";

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

mms::Value dataChange()
{
    mms::Value v = mms::Value::bitString(7);
    v.setBit(1, true);
    return v;
}

// Odd entries carry a reason code, even ones none.
LogEntry logEntry(std::uint64_t n, std::uint64_t timeMs)
{
    const bool withReason = n % 2;
    LogEntry e;
    e.timeMs = timeMs;
    e.id = entryIdFromNumber(n);
    e.values.push_back({"FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal", mms::Value::integer(static_cast<std::int64_t>(n % 5)),
                        withReason ? std::optional(dataChange()) : std::nullopt});
    return e;
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

// The answers to the two ReadJournal requests of the capture.
std::vector<Bytes> feedCapture10(server::MmsDataModel& model)
{
    server::ServerConnection c(model, server::ServerConfig{});
    std::vector<Bytes> answers;
    for (const char* tpkt : kCapture10) {
        c.receive(fromHex(tpkt));
        answers.push_back(mmsOfServerTpkt(c.output()));
        c.output().clear();
    }
    EXPECT_TRUE(c.associated());
    return {answers.begin() + 2, answers.end()};
}

std::size_t entriesIn(const Bytes& answer)
{
    mms::Pdu pdu;
    mms::ExtraResponse extra;
    EXPECT_EQ(mms::decodePdu(answer, pdu), ber::Status::Ok);
    const auto* response = std::get_if<mms::ConfirmedResponse>(&pdu);
    if (!response)
        return SIZE_MAX;
    const auto* service = std::get_if<mms::UnrecognizedService>(&response->service);
    if (!service || mms::decodeExtraResponse(*service, extra) != ber::Status::Ok)
        return SIZE_MAX;
    const auto& journal = std::get<mms::ReadJournalResponse>(extra);
    EXPECT_FALSE(journal.moreFollows);
    return journal.entries.size();
}

TEST(JournalAccess, Capture10IsAnsweredAsCapturedWithoutStorageAndWithEntriesWithIt)
{
    BoxModel box;
    MmsMapping mapping(*box.model());
    EXPECT_EQ(feedCapture10(mapping), (std::vector<Bytes>{fromHex(kCapturedAnswers[0]), fromHex(kCapturedAnswers[1])}));

    // With entries: all after the 1984 / zero id position; those up to the
    // capture's end time in the range request.
    MemoryLogStorage storage;
    attachLogStorage(box.logStb, &storage);
    storage.append(logEntry(1, k1984 + 5));
    storage.append(logEntry(2, kNow + 86400000ull * 400));  // after the captured end time
    const std::vector<Bytes> answers = feedCapture10(mapping);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(entriesIn(answers[0]), 2u);
    EXPECT_EQ(entriesIn(answers[1]), 1u);
}

class JournalOverTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stbStorage && cls1Storage);
        ASSERT_TRUE(attachLogStorage(box.model(), "STB/LLN0$logSTB", stbStorage.get()));
        ASSERT_TRUE(attachLogStorage(box.model(), "CLS1/LLN0$logCLS1", cls1Storage.get()));
        server = std::make_unique<LoopbackServer>(box.model());
        ASSERT_TRUE(server->start());
    }
    void connect(std::int32_t maxPdu)
    {
        ASSERT_TRUE(server->connect(client, maxPdu));
        EXPECT_TRUE(client.negotiated().supports(mms::services_supported::ReadJournal));
    }

    TempDir dir;
    BoxModel box;
    std::unique_ptr<SqliteLogStorage> stbStorage = SqliteLogStorage::open(dir.file("logSTB.db"));
    std::unique_ptr<SqliteLogStorage> cls1Storage = SqliteLogStorage::open(dir.file("logCLS1.db"));
    std::unique_ptr<LoopbackServer> server;
    MmsConnection client;
};

TEST_F(JournalOverTcp, TheWholeJournalComesInPagesAtASmallPduSize)
{
    for (std::uint64_t n = 1; n <= 60; ++n)
        ASSERT_TRUE(stbStorage->append(logEntry(n, kNow + n * 1000)));
    connect(400);

    const auto page = valueOf(client.readJournal(kStb, "LLN0$logSTB"));
    EXPECT_TRUE(page.moreFollows);
    EXPECT_GT(page.entries.size(), 1u);
    EXPECT_LT(page.entries.size(), 60u);

    const auto all = valueOf(client.readWholeJournal(kStb, "LLN0$logSTB"));
    ASSERT_EQ(all.size(), 60u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].occurrenceTime.binaryTimeMs(), kNow + (i + 1) * 1000) << i;
        EXPECT_EQ(all[i].entryId.back(), i + 1) << i;
        EXPECT_EQ(all[i].variables.size(), i % 2 ? 1u : 2u) << i;
    }
    const mms::JournalEntry& first = all.front();
    EXPECT_EQ(first.occurrenceTime.timeOctets().size(), 6u);
    EXPECT_EQ(first.variables[0].tag, "FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal");
    EXPECT_EQ(first.variables[0].value, mms::Value::integer(1));
    EXPECT_EQ(first.variables[1].tag, "ReasonCode");
    EXPECT_EQ(first.variables[1].value, dataChange());
    EXPECT_EQ(valueOf(client.readWholeJournal(kStb, "LLN0$logSTB", kNow + 10000, kNow + 19000)).size(), 10u);
    const auto after = valueOf(client.readJournalAfter(kStb, "LLN0$logSTB", kNow + 58000, Bytes{0, 0, 0, 0, 0, 0, 0, 58}));
    EXPECT_EQ(after.entries.size(), 2u);
    EXPECT_FALSE(after.moreFollows);

    EXPECT_EQ(client.readJournal(kStb, "LLN0$nothing").error().kind, client::ErrorKind::ServiceError);
    EXPECT_TRUE(client.identify().ok());  // the association stays
}

TEST_F(JournalOverTcp, EntriesWrittenByTheLogControlBlockAreRead)
{
    connect(65000);
    IedServer_updateInt32AttributeValue(*server, static_cast<DataAttribute*>(ModelNode_getChild(box.mod, "stVal")), 3);
    const auto entries = valueOf(client.readWholeJournal("FNN_STEUERBOXCLS1", "LLN0$logCLS1"));
    ASSERT_EQ(entries.size(), 1u);
    const mms::JournalEntry& e = entries.front();
    ASSERT_EQ(e.variables.size(), 2u);
    EXPECT_NE(e.variables[0].tag.find("LLN0$ST$Mod$stVal"), std::string::npos);
    EXPECT_EQ(e.variables[0].value.toInt32(), 3);
    EXPECT_EQ(e.variables[1].tag, "ReasonCode");
    EXPECT_TRUE(e.variables[1].value.getBit(1));  // data change
}

}  // namespace
}  // namespace ied_test
