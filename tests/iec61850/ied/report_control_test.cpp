// Data sets, unbuffered reports, log control blocks and ReadJournal of one
// small model over loopback TCP, seen by our client; one recorded report
// session decoded by tshark.
#include "ied_test_support.hpp"

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/reporting.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "iec61850/platform/clock.hpp"
#include "iec61850/platform/notice.hpp"
#include "loopback_relay.hpp"
#include "pcap_writer.hpp"
#include "tshark.hpp"

#include <atomic>
#include <deque>
#include <thread>

namespace ied_test {
namespace {

using namespace iec61850;
using ied::AttributeShape;
using ied::ModelBuilder;
using mms::Value;

constexpr const char* kDomain = "BOXCLS1";
constexpr std::uint8_t kDchg = TRG_OPT_DATA_CHANGED, kQchg = TRG_OPT_QUALITY_CHANGED, kDupd = TRG_OPT_DATA_UPDATE;
constexpr std::uint8_t kOpt142 = RPT_OPT_TIME_STAMP | RPT_OPT_REASON_FOR_INCLUSION | RPT_OPT_DATA_SET | RPT_OPT_CONF_REV;

constexpr AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, kDchg},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};
constexpr AttributeShape kCounter[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, kDchg | kDupd},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
};
constexpr AttributeShape kMv[] = {
    {"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32},
    {"q", IEC61850_FC_MX, IEC61850_QUALITY, kQchg},
};

// LLN0 of CLS1 with dataset01 = {GGIO1$ST$Ind, GGIO1$ST$Cnt, GGIO1$MX$AnIn},
// two report blocks sharing one RptID (TrgOps 23 and 19) and a log block.
struct ReportModel {
    explicit ReportModel(const char* lastMember = "GGIO1$MX$AnIn")
    {
        b.object(lln0, "Mod", kEns);
        DataSet* set = b.dataSet(lln0, "dataset01");
        for (const char* member : {"GGIO1$ST$Ind", "GGIO1$ST$Cnt", lastMember})
            b.dataSetEntry(set, "CLS1", member);
        b.reportControl(lln0, "reportControl0101", "CLS1/report01", false, "dataset01", 1, 23, kOpt142, 0, 0);
        b.reportControl(lln0, "reportControl0102", "CLS1/report01", false, "dataset01", 1, 19, kOpt142, 0, 0);
        b.logControl(lln0, "logControlCLS1", "dataset01", "CLS1/LLN0$logCLS1", 7, 0, true, true);
        b.log(lln0, "logCLS1");
    }
    DataAttribute* attr(DataObject* o, const char* path)
    {
        return static_cast<DataAttribute*>(ModelNode_getByPath(o, path));
    }

    ModelBuilder b{"BOX"};
    LogicalDevice* ld = b.device("CLS1");
    LogicalNode* lln0 = b.node(ld, "LLN0");
    LogicalNode* ggio = b.node(ld, "GGIO1");
    DataObject* ind = b.object(ggio, "Ind", kEns);
    DataObject* cnt = b.object(ggio, "Cnt", kCounter);
    DataObject* anIn = b.object(ggio, "AnIn", kMv);
};

// The fields of a report with OptFlds 142, as our client decoded them.
struct Report {
    std::string rptId;
    std::string datSet;
    std::uint64_t confRev = 0;
    Value inclusion;
    std::vector<Value> values;
    std::vector<Value> reasons;
};

Report parse142(const mms::InformationReport& r)
{
    const auto& f = r.results;
    if (f.size() < 6 || f.size() != 6 + 2 * f[5].countSetBits()) {
        ADD_FAILURE() << "report with " << f.size() << " fields";
        return {};
    }
    EXPECT_TRUE(f[2].is(Value::Kind::BinaryTime));
    const auto included = static_cast<std::ptrdiff_t>(f[5].countSetBits());
    return {std::string(f[0].string()), std::string(f[3].string()), f[4].toUint64(), f[5],
            std::vector<Value>(f.begin() + 6, f.begin() + 6 + included),
            std::vector<Value>(f.begin() + 6 + included, f.end())};
}

std::uint8_t reasonOf(const Value& code)
{
    std::uint8_t r = 0;
    for (std::size_t bit = 1; bit < code.bitStringSize(); ++bit)
        if (code.getBit(bit))
            r |= static_cast<std::uint8_t>(1u << (bit - 1));
    return r;
}

// One client that collects the reports it receives.
struct Client {
    MmsConnection connection;
    std::deque<mms::InformationReport> reports;

    Client() { connection.setReportHandler([this](const mms::InformationReport& r) { reports.push_back(r); }); }

    // The next report; fails after a bounded wait.
    std::optional<Report> next()
    {
        for (int i = 0; i < 50 && reports.empty(); ++i)
            (void)connection.waitForReports(100);
        if (reports.empty()) {
            ADD_FAILURE() << "no report came";
            return std::nullopt;
        }
        mms::InformationReport r = std::move(reports.front());
        reports.pop_front();
        EXPECT_TRUE(r.access.listName && r.access.listName->item == "RPT" &&
                    r.access.listName->scope == mms::ObjectName::Scope::Vmd);
        return parse142(r);
    }

    int write(std::string_view item, const Value& v) { return writeError(connection, kDomain, item, v); }
    Value read(std::string_view item) { return valueOf(connection.read(kDomain, item)); }
    void enable(const char* block)
    {
        EXPECT_EQ(write(std::string("LLN0$RP$") + block + "$RptEna", Value::boolean(true)), kAccepted);
    }
};

class Reports : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void connect(Client& c) { ASSERT_TRUE(server.connect(c.connection)); }
    void update(DataObject* o, std::int32_t v) { IedServer_updateInt32AttributeValue(server, m.attr(o, "stVal"), v); }

    ReportModel m;
    LoopbackServer server{m.b.model()};
};

TEST_F(Reports, BlocksAreNamedTypedAndReadAsTheCaptureShows)
{
    Client c;
    connect(c);
    const auto names = valueOf(c.connection.variableNames(kDomain));
    for (const char* n : {"LLN0$RP$reportControl0102$Owner", "LLN0$LG$logControlCLS1$NewEnt"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
    EXPECT_EQ(valueOf(c.connection.readList(kDomain, "LLN0$dataset01")).size(), 3u);

    const auto type = valueOf(c.connection.variableAccessAttributes(kDomain, "LLN0$RP$reportControl0101"));
    std::vector<std::string> components;
    for (const auto& t : type.components())
        components.emplace_back(t.name());
    EXPECT_EQ(components, (std::vector<std::string>{"RptID", "RptEna", "Resv", "DatSet", "ConfRev", "OptFlds", "BufTm",
                                                    "SqNum", "TrgOps", "IntgPd", "GI", "Owner"}));

    const Value rcb = c.read("LLN0$RP$reportControl0101");
    ASSERT_EQ(rcb.size(), 12u);
    EXPECT_EQ(rcb[3].string(), "BOXCLS1/LLN0$dataset01");
    // The captured bit strings: OptFlds 38 80 (10 bits), TrgOps 74 (6 bits).
    EXPECT_EQ(rcb[5], Value::bitString(Bytes{0x38, 0x80}, 10));
    EXPECT_EQ(rcb[8], Value::bitString(Bytes{0x74}, 6));
    EXPECT_EQ(rcb[11].octets().size(), 17u);
    EXPECT_EQ(c.read("LLN0$RP$reportControl0102$TrgOps"), Value::bitString(Bytes{0x64}, 6));
    // The data set reference resolves to the list.
    const std::string ref(rcb[3].string());
    const auto members = valueOf(
        c.connection.variableListAttributes(ref.substr(0, ref.find('/')), ref.substr(ref.find('/') + 1)));
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[2].item, "GGIO1$MX$AnIn");
}

TEST_F(Reports, GeneralInterrogationSendsEveryMemberInOrder)
{
    Client c;
    connect(c);
    update(m.ind, 7);
    c.enable("reportControl0101");
    ASSERT_EQ(c.write("LLN0$RP$reportControl0101$GI", Value::boolean(true)), kAccepted);
    const auto report = c.next();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->rptId, "CLS1/report01");
    EXPECT_EQ(report->datSet, "BOXCLS1/LLN0$dataset01");
    EXPECT_EQ(report->confRev, 1u);
    EXPECT_EQ(report->inclusion, bits(3, {0, 1, 2}));
    EXPECT_EQ(report->values,
              (std::vector<Value>{c.read("GGIO1$ST$Ind"), c.read("GGIO1$ST$Cnt"), c.read("GGIO1$MX$AnIn")}));
    EXPECT_EQ(report->values.at(0)[0].toInt64(), 7);
    for (const Value& r : report->reasons)
        EXPECT_EQ(reasonOf(r), TRG_OPT_GI);
    EXPECT_FALSE(c.read("LLN0$RP$reportControl0101$GI").toBool());
    EXPECT_TRUE(c.reports.empty());
}

TEST_F(Reports, EachTriggerReportsOnlyWhatTheBlockSelects)
{
    Client a, b;
    connect(a);
    connect(b);
    a.enable("reportControl0101");  // dchg qchg dupd GI
    b.enable("reportControl0102");  // dchg qchg GI
    auto expectOnly = [](Client& c, std::size_t member, std::uint8_t reason) {
        const auto r = c.next();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->inclusion.countSetBits(), 1u);
        EXPECT_TRUE(r->inclusion.getBit(member));
        EXPECT_EQ(reasonOf(r->reasons.at(0)), reason);
    };

    update(m.ind, 1);
    IedServer_updateQuality(server, m.attr(m.anIn, "q"), 1);
    for (Client* c : {&a, &b}) {
        expectOnly(*c, 0, TRG_OPT_DATA_CHANGED);
        expectOnly(*c, 2, TRG_OPT_QUALITY_CHANGED);
    }

    // The same value again: nothing where dupd is absent (Ind; block 0102),
    // a data-update report where both the attribute and the block select it.
    update(m.ind, 1);
    update(m.cnt, 0);
    // mag has no trigger option: a change of it reports nothing.
    IedServer_updateFloatAttributeValue(server, m.attr(m.anIn, "mag$f"), 2.5f);
    update(m.ind, 2);  // a marker both see
    expectOnly(a, 1, TRG_OPT_DATA_UPDATE);
    for (Client* c : {&a, &b})
        expectOnly(*c, 0, TRG_OPT_DATA_CHANGED);
    // Nothing else came.
    EXPECT_TRUE(a.connection.poll().ok() && b.connection.poll().ok());
    EXPECT_TRUE(a.reports.empty());
    EXPECT_TRUE(b.reports.empty());
}

TEST_F(Reports, ReservationsKeepOtherClientsOutUntilDisconnect)
{
    Client a, b;
    connect(a);
    connect(b);
    a.enable("reportControl0101");
    EXPECT_EQ(b.write("LLN0$RP$reportControl0101$RptEna", Value::boolean(true)), kUnavailable);
    EXPECT_EQ(b.write("LLN0$RP$reportControl0101$Resv", Value::boolean(true)), kUnavailable);
    EXPECT_EQ(b.write("LLN0$RP$reportControl0101$IntgPd", Value::unsignedInteger(10)), kUnavailable);
    // The owner cannot change settings while enabled, nor read-only parts ever.
    EXPECT_EQ(a.write("LLN0$RP$reportControl0101$BufTm", Value::unsignedInteger(10)), kUnavailable);
    EXPECT_EQ(a.write("LLN0$RP$reportControl0101$ConfRev", Value::unsignedInteger(2)), kDenied);
    Value rcb = b.read("LLN0$RP$reportControl0101");
    EXPECT_TRUE(rcb[1].toBool());
    EXPECT_TRUE(rcb[2].toBool());
    EXPECT_EQ(rcb[11].octets()[0], 127);  // the owner's address
    EXPECT_EQ(rcb[11].octets()[3], 1);
    // Reserved while enabled: the block stays the owner's after it disables it.
    EXPECT_EQ(a.write("LLN0$RP$reportControl0101$Resv", Value::boolean(true)), kAccepted);
    EXPECT_EQ(a.write("LLN0$RP$reportControl0101$Resv", Value::boolean(false)), kUnavailable);
    EXPECT_EQ(a.write("LLN0$RP$reportControl0101$RptEna", Value::boolean(false)), kAccepted);
    EXPECT_TRUE(b.read("LLN0$RP$reportControl0101$Resv").toBool());
    EXPECT_EQ(b.write("LLN0$RP$reportControl0101$RptEna", Value::boolean(true)), kUnavailable);

    a.connection.close();
    bool enabled = false;
    for (int i = 0; i < 100 && !enabled; ++i) {
        enabled = b.connection.write(kDomain, "LLN0$RP$reportControl0101$RptEna", Value::boolean(true)).ok();
        if (!enabled)
            platform::sleepMs(20);
    }
    ASSERT_TRUE(enabled);
    update(m.ind, 5);
    const auto r = b.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->values.at(0)[0].toInt64(), 5);

    // Disabling releases an implicit reservation.
    EXPECT_EQ(b.write("LLN0$RP$reportControl0101$RptEna", Value::boolean(false)), kAccepted);
    rcb = b.read("LLN0$RP$reportControl0101");
    EXPECT_FALSE(rcb[2].toBool());
    EXPECT_EQ(rcb[11], Value::octetString(Bytes(17, 0)));
}

TEST_F(Reports, IntegrityPeriodSendsAllMembers)
{
    Client c;
    connect(c);
    EXPECT_EQ(c.write("LLN0$RP$reportControl0102$IntgPd", Value::unsignedInteger(50)), kAccepted);
    EXPECT_EQ(c.write("LLN0$RP$reportControl0102$TrgOps", bits(6, {1, 4})), kAccepted);  // dchg, integrity
    EXPECT_EQ(c.read("LLN0$RP$reportControl0102$IntgPd").toUint64(), 50u);
    c.enable("reportControl0102");
    for (int i = 0; i < 2; ++i) {
        const auto r = c.next();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->values.size(), 3u);
        for (const Value& reason : r->reasons)
            EXPECT_EQ(reasonOf(reason), TRG_OPT_INTEGRITY);
    }
}

TEST_F(Reports, BufferTimeCollectsChangesIntoOneReport)
{
    Client c;
    connect(c);
    EXPECT_EQ(c.write("LLN0$RP$reportControl0101$BufTm", Value::unsignedInteger(100)), kAccepted);
    c.enable("reportControl0101");
    IedServer_lockDataModel(server);
    update(m.ind, 3);
    IedServer_updateQuality(server, m.attr(m.anIn, "q"), 1);
    IedServer_unlockDataModel(server);
    const auto r = c.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->inclusion, bits(3, {0, 2}));
    ASSERT_EQ(r->reasons.size(), 2u);
    EXPECT_EQ(reasonOf(r->reasons[0]), TRG_OPT_DATA_CHANGED);
    EXPECT_EQ(reasonOf(r->reasons[1]), TRG_OPT_QUALITY_CHANGED);
}

// At the smallest PDU size not even one member fits a segment: each such
// report is counted, and the first of a run per block is told.
TEST_F(Reports, ReportsThatCannotBeSentAreCountedAndTheFirstOfARunTold)
{
    std::vector<std::string> told;
    const platform::NoticeSink previous =
        platform::setNoticeSink([&](const std::string& line) { told.push_back(line); });
    Client c;
    ASSERT_TRUE(server.connect(c.connection, 64));  // the smallest the server agrees to
    for (const char* block : {"reportControl0101", "reportControl0102"}) {
        c.enable(block);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(c.write(std::string("LLN0$RP$") + block + "$GI", Value::boolean(true)), kAccepted);
    }
    platform::setNoticeSink(previous);
    EXPECT_TRUE(c.connection.poll().ok());
    EXPECT_TRUE(c.reports.empty());
    ASSERT_EQ(told.size(), 2u);
    for (auto [line, block, before] :
         {std::tuple{told[0], "reportControl0101", "0"}, {told[1], "reportControl0102", "2"}}) {
        EXPECT_TRUE(line.starts_with("Report not sent: BOXCLS1/LLN0$RP$" + std::string(block) + " to 127.0.0.1:"))
            << line;
        EXPECT_TRUE(line.ends_with(" (" + std::string(before) + " unsent before)")) << line;
    }
}

TEST(ReportModelCheck, AMemberNamingNothingRefusesTheServer)
{
    for (const char* member : {"GGIO1$MX$Nothing", "GGIO1$ST$AnIn"}) {
        ReportModel bad(member);
        testing::internal::CaptureStderr();
        EXPECT_EQ(IedServer_create(bad.b.model()), nullptr) << member;
        EXPECT_NE(testing::internal::GetCapturedStderr().find(member), std::string::npos) << member;
    }
}

// The log control block writes entries, stamped in 2040 here, to the
// attached storage; ReadJournal reads them back with their reason codes.
TEST_F(Reports, LogControlBlockWritesEntriesThatReadJournalReturns)
{
    Client c;
    connect(c);
    Value lcb = c.read("LLN0$LG$logControlCLS1");
    ASSERT_EQ(lcb.size(), 9u);
    EXPECT_EQ(lcb[1].string(), "BOXCLS1/LLN0$logCLS1");  // LogRef: with the IED name
    EXPECT_EQ(lcb[2].string(), "BOXCLS1/LLN0$dataset01");
    EXPECT_EQ(c.write("LLN0$LG$logControlCLS1$LogRef", Value::visibleString("x")), kDenied);
    update(m.ind, 4);  // without a storage nothing is kept, and nothing breaks
    EXPECT_TRUE(valueOf(c.connection.readWholeJournal(kDomain, "LLN0$logCLS1")).empty());

    TempDir dir;
    auto storage = ied::SqliteLogStorage::open(dir.file("log.db"));
    ASSERT_TRUE(storage && ied::attachLogStorage(m.b.model(), "CLS1/LLN0$logCLS1", storage.get()));
    constexpr std::uint64_t k2040 = 2'208'988'800'000;  // past 2038
    platform::setWallClockOffsetMs(static_cast<std::int64_t>(k2040 - platform::wallTimeMs()));
    update(m.ind, 5);
    update(m.ind, 5);  // no dupd on Ind
    update(m.cnt, 0);  // dupd
    IedServer_updateQuality(server, m.attr(m.anIn, "q"), 2);
    platform::setWallClockOffsetMs(0);
    const auto entries = valueOf(c.connection.readWholeJournal(kDomain, "LLN0$logCLS1", k2040));
    ASSERT_EQ(entries.size(), 3u);
    const char* members[] = {"GGIO1$ST$Ind", "GGIO1$ST$Cnt", "GGIO1$MX$AnIn"};
    const std::uint8_t reasons[] = {TRG_OPT_DATA_CHANGED, TRG_OPT_DATA_UPDATE, TRG_OPT_QUALITY_CHANGED};
    for (std::size_t i = 0; i < 3; ++i) {
        const mms::JournalEntry& e = entries[i];
        EXPECT_LT(e.occurrenceTime.binaryTimeMs() - k2040, 60'000u) << e.occurrenceTime.toString();
        ASSERT_EQ(e.variables.size(), 2u) << i;
        EXPECT_EQ(e.variables[0].tag, std::string("BOXCLS1/") + members[i]);
        EXPECT_EQ(e.variables[1].tag, "ReasonCode");
        EXPECT_EQ(reasonOf(e.variables[1].value), reasons[i]) << i;
    }
    EXPECT_EQ(entries[0].variables[0].value[0].toInt64(), 5);
    lcb = c.read("LLN0$LG$logControlCLS1");
    EXPECT_EQ(lcb[5], Value::octetString(Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(lcb[6], Value::octetString(Bytes{0, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_EQ(lcb[4].binaryTimeMs(), entries[2].occurrenceTime.binaryTimeMs());

    EXPECT_EQ(c.write("LLN0$LG$logControlCLS1$LogEna", Value::boolean(false)), kAccepted);
    update(m.ind, 6);
    EXPECT_EQ(storage->query({}).size(), 3u);
    ied::attachLogStorage(m.b.model(), "CLS1/LLN0$logCLS1", nullptr);
}

TEST_F(Reports, TheWholeJournalComesInPagesAtASmallPduSize)
{
    constexpr std::uint64_t kNow = 1796544443992ull;
    TempDir dir;
    auto storage = ied::SqliteLogStorage::open(dir.file("log.db"));
    ASSERT_TRUE(storage && ied::attachLogStorage(m.b.model(), "CLS1/LLN0$logCLS1", storage.get()));
    for (std::uint64_t n = 1; n <= 60; ++n) {  // odd entries with a reason code, even ones without
        ied::LogEntry e{kNow + n * 1000, ied::entryIdFromNumber(n), {}};
        e.values.push_back({"BOXCLS1/GGIO1$ST$Ind", Value::integer(static_cast<std::int64_t>(n % 5)),
                            n % 2 ? std::optional(bits(7, {1})) : std::nullopt});
        ASSERT_TRUE(storage->append(e));
    }
    Client c;
    ASSERT_TRUE(server.connect(c.connection, 400));
    EXPECT_TRUE(c.connection.negotiated().supports(mms::services_supported::ReadJournal));
    const char* log = "LLN0$logCLS1";
    const auto page = valueOf(c.connection.readJournal(kDomain, log));
    EXPECT_TRUE(page.moreFollows);
    EXPECT_GT(page.entries.size(), 1u);
    EXPECT_LT(page.entries.size(), 60u);

    const auto all = valueOf(c.connection.readWholeJournal(kDomain, log));
    ASSERT_EQ(all.size(), 60u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].occurrenceTime.binaryTimeMs(), kNow + (i + 1) * 1000) << i;
        EXPECT_EQ(all[i].entryId.back(), i + 1) << i;
        EXPECT_EQ(all[i].variables.size(), i % 2 ? 1u : 2u) << i;
    }
    EXPECT_EQ(all.front().occurrenceTime.timeOctets().size(), 6u);
    EXPECT_EQ(all.front().variables[0].value, Value::integer(1));
    EXPECT_EQ(all.front().variables[1].value, bits(7, {1}));
    EXPECT_EQ(valueOf(c.connection.readWholeJournal(kDomain, log, kNow + 10000, kNow + 19000)).size(), 10u);
    const auto middle = valueOf(c.connection.readJournalAfter(kDomain, log, kNow + 30000, ied::entryIdFromNumber(30)));
    ASSERT_FALSE(middle.entries.empty());
    EXPECT_EQ(middle.entries.front().entryId.back(), 31);
    EXPECT_TRUE(middle.moreFollows);
    const auto after = valueOf(c.connection.readJournalAfter(kDomain, log, kNow + 58000, ied::entryIdFromNumber(58)));
    EXPECT_EQ(after.entries.size(), 2u);
    EXPECT_FALSE(after.moreFollows);
    EXPECT_EQ(c.connection.readJournal(kDomain, "LLN0$nothing").error().kind, client::ErrorKind::ServiceError);
    EXPECT_TRUE(c.connection.identify().ok());  // the association stays
    ied::attachLogStorage(m.b.model(), "CLS1/LLN0$logCLS1", nullptr);
}

TEST(ReportsThreadless, ServesAndDrivesTheIntegrityPeriodInTheCallersThread)
{
    ReportModel m;
    LoopbackServer server(m.b.model());
    ASSERT_TRUE(server.start(false));
    std::atomic<bool> done{false};
    std::vector<std::uint8_t> reasons;
    std::string vendor;
    std::thread user([&] {
        Client c;
        if (server.connect(c.connection)) {
            if (auto id = c.connection.identify(); id.ok())
                vendor = id->vendor;
            (void)c.write("LLN0$RP$reportControl0101$TrgOps", bits(6, {4}));
            (void)c.write("LLN0$RP$reportControl0101$IntgPd", Value::unsignedInteger(30));
            c.enable("reportControl0101");
            if (const auto r = c.next())
                for (const Value& reason : r->reasons)
                    reasons.push_back(reasonOf(reason));
            (void)c.connection.release();
        }
        done = true;
    });
    for (int i = 0; i < 1000 && !done; ++i) {
        IedServer_processIncomingData(server, 10);
        IedServer_performPeriodicTasks(server);
    }
    user.join();
    EXPECT_EQ(vendor, "Brenvolta");
    EXPECT_EQ(reasons, std::vector<std::uint8_t>(3, TRG_OPT_INTEGRITY));
    IedServer_stop(server);
    EXPECT_FALSE(IedServer_isRunning(server));
    EXPECT_FALSE(IedServer_processIncomingData(server, 0));
}

// A changed value is also an update: where only updates trigger (a measured
// value's mag), the change is recorded as an update, never dropped.
TEST(TriggerReason, AChangeCountsAsAnUpdateWhereOnlyUpdatesTrigger)
{
    using ied::Change;
    auto attribute = [](std::uint8_t options) {
        DataAttribute a{};
        a.modelType = DataAttributeModelType;
        a.triggerOptions = options;
        return a;
    };
    const DataAttribute mag = attribute(kDupd), stVal = attribute(kDchg | kDupd), q = attribute(kQchg);
    const std::uint8_t all = kDchg | kQchg | kDupd, noUpdates = kDchg | kQchg;
    using ied::MemberIndex;
    EXPECT_EQ(MemberIndex::triggerReason(&mag, Change::Value, all), kDupd);
    EXPECT_EQ(MemberIndex::triggerReason(&mag, Change::Update, all), kDupd);
    EXPECT_EQ(MemberIndex::triggerReason(&mag, Change::Value, noUpdates), 0);
    EXPECT_EQ(MemberIndex::triggerReason(&stVal, Change::Value, all), kDchg);
    EXPECT_EQ(MemberIndex::triggerReason(&stVal, Change::Value, kDupd), kDupd);
    EXPECT_EQ(MemberIndex::triggerReason(&stVal, Change::Update, noUpdates), 0);
    EXPECT_EQ(MemberIndex::triggerReason(&q, Change::Quality, all), kQchg);
    EXPECT_EQ(MemberIndex::triggerReason(&q, Change::Value, all), 0);
}

// The server's PDUs by kind ("report", "write" or "other" answer), and its reports.
std::vector<std::string> kindsAndReports(const std::vector<Bytes>& pdus, std::vector<mms::InformationReport>& reports)
{
    std::vector<std::string> kinds;
    for (const Bytes& b : pdus) {
        mms::Pdu p;
        EXPECT_EQ(mms::decodePdu(b, p), ber::Status::Ok);
        if (const auto* u = std::get_if<mms::UnconfirmedPdu>(&p)) {
            reports.push_back(u->report);
            kinds.push_back("report");
        } else if (const auto* r = std::get_if<mms::ConfirmedResponse>(&p)) {
            kinds.push_back(std::holds_alternative<mms::WriteResponse>(r->service) ? "write" : "other");
        }
    }
    return kinds;
}

// A recorded session: tshark decodes every PDU cleanly, the GI report follows
// the write response and is laid out as the captured reference report.
TEST_F(Reports, RecordedSessionDecodesCleanlyAndMatchesTheCapturedLayout)
{
    if (!test_support::tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    test_support::LoopbackRelay relay(static_cast<std::uint16_t>(IedServer_getPort(server)));
    ASSERT_NE(relay.port(), 0);
    {
        Client c;
        client::ConnectOptions o;
        o.port = relay.port();
        ASSERT_TRUE(c.connection.connect(o).ok());
        EXPECT_EQ(c.read("LLN0$RP$reportControl0101").size(), 12u);
        c.enable("reportControl0101");
        EXPECT_EQ(c.write("LLN0$RP$reportControl0101$GI", Value::boolean(true)), kAccepted);
        EXPECT_TRUE(c.next());
        update(m.ind, 9);
        EXPECT_TRUE(c.next());
        EXPECT_EQ(c.write("LLN0$RP$reportControl0101$RptEna", Value::boolean(false)), kAccepted);
        EXPECT_TRUE(c.connection.release().ok());
    }
    const test_support::Transcript& t = relay.finish();
    const auto d = test_support::decodeTranscript(::testing::TempDir() + "report-session.pcap", t,
                                                  {"mms.unconfirmedService", "mms.confirmedServiceResponse"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), 2u) << d.summary();

    std::vector<mms::InformationReport> ours, captured;
    EXPECT_EQ(kindsAndReports(test_support::Capture(test_support::pcapFile(t), 4102).serverPdus(), ours),
              (std::vector<std::string>{"other", "write", "write", "report", "report", "write"}));
    kindsAndReports(test_support::capture("07-report-gi-cls1").serverPdus(), captured);
    ASSERT_FALSE(ours.empty() || captured.empty());
    const mms::InformationReport &gi = ours.front(), &reference = captured.front();
    EXPECT_EQ(gi.access, reference.access);
    ASSERT_EQ(gi.results.size(), 6u + 2 * 3);
    for (std::size_t i : {0u, 1u, 4u})  // RptID, OptFlds, ConfRev
        EXPECT_EQ(gi.results[i], reference.results[i]) << i;
    for (std::size_t i : {2u, 3u, 5u})  // time of entry, data set, inclusion
        EXPECT_EQ(gi.results[i].kind(), reference.results[i].kind()) << i;
    for (std::size_t i : {9u, 10u, 11u})  // reason GI
        EXPECT_EQ(gi.results[i], reference.results.back()) << i;
}

}  // namespace
}  // namespace ied_test
