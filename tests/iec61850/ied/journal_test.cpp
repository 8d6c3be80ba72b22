// ReadJournal on the logs of an IED model over real TCP with our client:
// without storage, against an SQLite storage, and entries a log control
// block writes.
#include "ied_test_support.hpp"

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "iec61850/platform/clock.hpp"

#include <memory>

namespace ied_test {
namespace {

using namespace iec61850;
using namespace iec61850::ied;

constexpr std::uint64_t kNow = 1796544443992ull;
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

    BoxModel()
    {
        builder.log(stb, "logSTB");
        builder.log(cls1, "logCLS1");
        builder.object(stb, "Beh", kEns);
        DataSet* set = builder.dataSet(cls1, "dataset01");
        builder.dataSetEntry(set, "CLS1", "LLN0$ST$Mod$stVal");
        builder.logControl(cls1, "logControlCLS1", "dataset01", "CLS1/LLN0$logCLS1",
                           TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED | TRG_OPT_DATA_UPDATE, 0, true, true);
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

class JournalOverTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stbStorage && cls1Storage);
        ASSERT_TRUE(attachLogStorage(box.model(), "STB/LLN0$logSTB", stbStorage.get()));
        ASSERT_TRUE(server.start());
    }
    void connect(std::int32_t maxPdu)
    {
        ASSERT_TRUE(server.connect(client, maxPdu));
        EXPECT_TRUE(client.negotiated().supports(mms::services_supported::ReadJournal));
    }

    TempDir dir;
    BoxModel box;
    std::unique_ptr<SqliteLogStorage> stbStorage = SqliteLogStorage::open(dir.file("logSTB.db"));
    std::unique_ptr<SqliteLogStorage> cls1Storage = SqliteLogStorage::open(dir.file("logCLS1.db"));
    LoopbackServer server{box.model()};
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
    const auto middle = valueOf(client.readJournalAfter(kStb, "LLN0$logSTB", kNow + 30000, entryIdFromNumber(30)));
    ASSERT_FALSE(middle.entries.empty());
    EXPECT_EQ(middle.entries.front().entryId.back(), 31);
    EXPECT_TRUE(middle.moreFollows);
    const auto after = valueOf(client.readJournalAfter(kStb, "LLN0$logSTB", kNow + 58000, entryIdFromNumber(58)));
    EXPECT_EQ(after.entries.size(), 2u);
    EXPECT_FALSE(after.moreFollows);

    EXPECT_EQ(client.readJournal(kStb, "LLN0$nothing").error().kind, client::ErrorKind::ServiceError);
    EXPECT_TRUE(client.identify().ok());  // the association stays
}

TEST_F(JournalOverTcp, WithoutStorageNothingIsKeptAndWithItTheLogControlBlocksEntriesAreRead)
{
    connect(65000);
    DataAttribute* stVal = static_cast<DataAttribute*>(ModelNode_getChild(box.mod, "stVal"));
    IedServer_updateInt32AttributeValue(server, stVal, 2);
    EXPECT_TRUE(valueOf(client.readWholeJournal("FNN_STEUERBOXCLS1", "LLN0$logCLS1")).empty());

    ASSERT_TRUE(attachLogStorage(box.model(), "CLS1/LLN0$logCLS1", cls1Storage.get()));
    constexpr std::uint64_t k2040 = 2'208'988'800'000;  // past 2038
    platform::setWallClockOffsetMs(static_cast<std::int64_t>(k2040 - platform::wallTimeMs()));
    IedServer_updateInt32AttributeValue(server, stVal, 3);
    platform::setWallClockOffsetMs(0);
    const auto entries = valueOf(client.readWholeJournal("FNN_STEUERBOXCLS1", "LLN0$logCLS1", k2040));
    ASSERT_EQ(entries.size(), 1u);
    const mms::JournalEntry& e = entries.front();
    EXPECT_LT(e.occurrenceTime.binaryTimeMs() - k2040, 60'000u) << e.occurrenceTime.toString();
    ASSERT_EQ(e.variables.size(), 2u);
    EXPECT_NE(e.variables[0].tag.find("LLN0$ST$Mod$stVal"), std::string::npos);
    EXPECT_EQ(e.variables[0].value.toInt32(), 3);
    EXPECT_EQ(e.variables[1].tag, "ReasonCode");
    EXPECT_TRUE(e.variables[1].value.getBit(1));  // data change
}

}  // namespace
}  // namespace ied_test
