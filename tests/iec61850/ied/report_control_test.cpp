// Unbuffered reports and log control blocks of one small model over loopback
// TCP, seen by our client; ReadJournal of its log; one recorded report session
// decoded by tshark and laid out as the captured reference report.
#include "test_model.hpp"

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/reporting.hpp"
#include "iec61850/platform/clock.hpp"
#include "iec61850/platform/notice.hpp"
#include "loopback_relay.hpp"
#include "tshark.hpp"

#include <deque>

namespace ied_test {
namespace {

using namespace iec61850;

constexpr const char* kDomain = "BOXCLS1";
constexpr const char* kLog = "LLN0$logCLS1";
const std::string kRcb1 = "LLN0$RP$reportControl0101$";

// The fields of a report with OptFlds 142, as our client decoded them.
struct Report {
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
    const auto included = static_cast<std::ptrdiff_t>(f[5].countSetBits());
    return {f[5], std::vector<Value>(f.begin() + 6, f.begin() + 6 + included),
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
        return parse142(r);
    }
    // Nothing more came.
    bool quiet() { return connection.poll().ok() && reports.empty(); }

    int write(std::string_view item, const Value& v) { return writeError(connection, kDomain, item, v); }
    Value read(std::string_view item) { return valueOf(connection.read(kDomain, item)); }
    void enable(const std::string& block) { EXPECT_EQ(write(block + "RptEna", Value::boolean(true)), kAccepted); }
};

class Reports : public ServedModel {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void connect(Client& c) { ASSERT_TRUE(server.connect(c.connection)); }
    void update(DataObject* o, std::int32_t v) { IedServer_updateInt32AttributeValue(server, m.attribute(o, "stVal"), v); }
    void attachStorage(ied::LogStorage* s) { ASSERT_TRUE(ied::attachLogStorage(m.model(), "CLS1/LLN0$logCLS1", s)); }

};

TEST_F(Reports, EachTriggerReportsOnlyWhatTheBlockSelects)
{
    Client a, b;
    connect(a);
    connect(b);
    a.enable(kRcb1);                        // dchg qchg dupd GI
    b.enable("LLN0$RP$reportControl0102$");  // dchg qchg GI
    auto expectOnly = [](Client& c, std::size_t member, std::uint8_t reason) {
        const auto r = c.next();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->inclusion.countSetBits(), 1u);
        EXPECT_TRUE(r->inclusion.getBit(member));
        EXPECT_EQ(reasonOf(r->reasons.at(0)), reason);
    };
    update(m.ind, 1);
    IedServer_updateQuality(server, m.attribute(m.anIn, "q"), 1);
    for (Client* c : {&a, &b}) {
        expectOnly(*c, 0, kDchg);
        expectOnly(*c, 2, kQchg);
    }
    // The same value again: nothing where dupd is absent (Ind; block 0102),
    // a data-update report where both the attribute and the block select it.
    update(m.ind, 1);
    update(m.cnt, 0);
    // mag has no trigger option: a change of it reports nothing.
    IedServer_updateFloatAttributeValue(server, m.attribute(m.anIn, "mag$f"), 2.5f);
    update(m.ind, 2);  // a marker both see
    expectOnly(a, 1, kDupd);
    for (Client* c : {&a, &b})
        expectOnly(*c, 0, kDchg);
    EXPECT_TRUE(a.quiet() && b.quiet());
}

// IntgPd and BufTm are the client's to set: a period sends every member with
// the integrity reason, a buffer time gathers two changes into one report.
TEST_F(Reports, IntegrityPeriodAndBufferTimeAsTheClientSetsThem)
{
    Client a, b;
    connect(a);
    connect(b);
    EXPECT_EQ(a.write("LLN0$RP$reportControl0102$IntgPd", Value::unsignedInteger(50)), kAccepted);
    EXPECT_EQ(a.write("LLN0$RP$reportControl0102$TrgOps", bits(6, {1, 4})), kAccepted);  // dchg, integrity
    EXPECT_EQ(b.write(kRcb1 + "BufTm", Value::unsignedInteger(100)), kAccepted);
    a.enable("LLN0$RP$reportControl0102$");
    b.enable(kRcb1);
    for (int i = 0; i < 2; ++i) {
        const auto r = a.next();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->values.size(), 3u);
        for (const Value& reason : r->reasons)
            EXPECT_EQ(reasonOf(reason), TRG_OPT_INTEGRITY);
    }
    update(m.ind, 3);
    IedServer_updateQuality(server, m.attribute(m.anIn, "q"), 1);
    const auto r = b.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->inclusion, bits(3, {0, 2}));
    ASSERT_EQ(r->reasons.size(), 2u);
    EXPECT_EQ(reasonOf(r->reasons[0]), kDchg);
    EXPECT_EQ(reasonOf(r->reasons[1]), kQchg);
}

TEST_F(Reports, ReservationsKeepOtherClientsOutUntilDisconnect)
{
    Client a, b;
    connect(a);
    connect(b);
    a.enable(kRcb1);
    for (const auto& [item, v] : {std::pair{"RptEna", Value::boolean(true)}, {"Resv", Value::boolean(true)},
                                  {"IntgPd", Value::unsignedInteger(10)}})
        EXPECT_EQ(b.write(kRcb1 + item, v), kUnavailable) << item;
    // The owner cannot change settings while enabled, nor read-only parts ever.
    EXPECT_EQ(a.write(kRcb1 + "BufTm", Value::unsignedInteger(10)), kUnavailable);
    EXPECT_EQ(a.write(kRcb1 + "ConfRev", Value::unsignedInteger(2)), kDenied);
    Value rcb = b.read("LLN0$RP$reportControl0101");
    EXPECT_TRUE(rcb[1].toBool() && rcb[2].toBool());
    EXPECT_EQ(rcb[11].octets()[0], 127);  // the owner's address
    EXPECT_EQ(rcb[11].octets()[3], 1);
    // Reserved by the owner while enabled: the block stays its own after it disables it.
    EXPECT_EQ(a.write(kRcb1 + "Resv", Value::boolean(true)), kAccepted);
    EXPECT_EQ(a.write(kRcb1 + "Resv", Value::boolean(false)), kUnavailable);
    EXPECT_EQ(a.write(kRcb1 + "RptEna", Value::boolean(false)), kAccepted);
    EXPECT_TRUE(b.read(kRcb1 + "Resv").toBool());
    EXPECT_EQ(b.write(kRcb1 + "RptEna", Value::boolean(true)), kUnavailable);

    a.connection.close();
    bool enabled = false;
    for (int i = 0; i < 100 && !enabled; ++i)
        if (!(enabled = b.connection.write(kDomain, kRcb1 + "RptEna", Value::boolean(true)).ok()))
            platform::sleepMs(20);
    ASSERT_TRUE(enabled);
    update(m.ind, 5);
    const auto r = b.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->values.at(0)[0].toInt64(), 5);
    // Disabling releases an implicit reservation.
    EXPECT_EQ(b.write(kRcb1 + "RptEna", Value::boolean(false)), kAccepted);
    rcb = b.read("LLN0$RP$reportControl0101");
    EXPECT_FALSE(rcb[2].toBool());
    EXPECT_EQ(rcb[11], Value::octetString(Bytes(17, 0)));
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
        c.enable(std::string("LLN0$RP$") + block + "$");
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(c.write(std::string("LLN0$RP$") + block + "$GI", Value::boolean(true)), kAccepted);
    }
    platform::setNoticeSink(previous);
    EXPECT_TRUE(c.quiet());
    ASSERT_EQ(told.size(), 2u);
    for (auto [line, block, before] :
         {std::tuple{told[0], "reportControl0101", "0"}, {told[1], "reportControl0102", "2"}}) {
        EXPECT_TRUE(line.starts_with("Report not sent: BOXCLS1/LLN0$RP$" + std::string(block) + " to 127.0.0.1:"))
            << line;
        EXPECT_TRUE(line.ends_with(" (" + std::string(before) + " unsent before)")) << line;
    }
}

// The log control block writes entries, one second apart in 2040 here, to
// the attached storage; ReadJournal reads them back with their reason codes,
// by time, in pages at a small PDU size (each continuing after the last entry).
TEST_F(Reports, TheLogBlocksEntriesComeBackThroughReadJournal)
{
    Client c;
    ASSERT_TRUE(server.connect(c.connection, 400));
    const Value lcb = c.read("LLN0$LG$logControlCLS1");
    ASSERT_EQ(lcb.size(), 9u);
    EXPECT_EQ(lcb[1].string(), "BOXCLS1/LLN0$logCLS1");  // LogRef: with the IED name
    EXPECT_EQ(lcb[2].string(), "BOXCLS1/LLN0$dataset01");
    EXPECT_EQ(c.write("LLN0$LG$logControlCLS1$LogRef", Value::visibleString("x")), kDenied);
    update(m.ind, 99);  // without a storage nothing is kept, and nothing breaks
    EXPECT_TRUE(valueOf(c.connection.readWholeJournal(kDomain, kLog)).empty());

    ied::MemoryLogStorage storage;
    attachStorage(&storage);
    constexpr std::uint64_t k2040 = 2'208'988'800'000;  // past 2038
    const auto now = static_cast<std::int64_t>(platform::wallTimeMs());
    for (std::int32_t n = 1; n <= 60; ++n) {  // Ind changes, Cnt is updated unchanged, AnIn's quality changes
        platform::setWallClockOffsetMs(static_cast<std::int64_t>(k2040 + 1000u * n) - now);
        if (n % 3 == 1)
            update(m.ind, n);
        else if (n % 3 == 2)
            update(m.cnt, 0);
        else
            IedServer_updateQuality(server, m.attribute(m.anIn, "q"), static_cast<std::uint16_t>(n));
    }
    update(m.ind, 58);  // no dupd on Ind
    platform::setWallClockOffsetMs(0);
    const auto all = valueOf(c.connection.readWholeJournal(kDomain, kLog));
    ASSERT_EQ(all.size(), 60u);
    const char* members[] = {"GGIO1$MX$AnIn", "GGIO1$ST$Ind", "GGIO1$ST$Cnt"};
    const std::uint8_t reasons[] = {kQchg, kDchg, kDupd};
    for (std::size_t i = 0; i < all.size(); ++i) {
        const mms::JournalEntry& e = all[i];
        EXPECT_LT(e.occurrenceTime.binaryTimeMs() - (k2040 + 1000 * (i + 1)), 500u) << e.occurrenceTime.toString();
        EXPECT_EQ(e.entryId.back(), i + 1) << i;
        ASSERT_EQ(e.variables.size(), 2u) << i;
        EXPECT_EQ(e.variables[0].tag, std::string("BOXCLS1/") + members[(i + 1) % 3]);
        EXPECT_EQ(e.variables[1].tag, "ReasonCode");
        EXPECT_EQ(reasonOf(e.variables[1].value), reasons[(i + 1) % 3]) << i;
    }
    EXPECT_EQ(all[0].variables[0].value[0].toInt64(), 1);
    EXPECT_EQ(valueOf(c.connection.readWholeJournal(kDomain, kLog, k2040 + 10000, k2040 + 19500)).size(), 10u);
    const Value newest = c.read("LLN0$LG$logControlCLS1");
    EXPECT_EQ(newest[5], Value::octetString(Bytes{0, 0, 0, 0, 0, 0, 0, 1}));  // OldEnt
    EXPECT_EQ(newest[6], Value::octetString(Bytes{0, 0, 0, 0, 0, 0, 0, 60}));  // NewEnt
    EXPECT_EQ(newest[4].binaryTimeMs(), all.back().occurrenceTime.binaryTimeMs());

    EXPECT_EQ(c.write("LLN0$LG$logControlCLS1$LogEna", Value::boolean(false)), kAccepted);
    update(m.ind, 6);
    EXPECT_EQ(storage.query({.maxEntries = 100}).size(), 60u);
    EXPECT_EQ(c.connection.readJournal(kDomain, "LLN0$nothing").error().kind, client::ErrorKind::ServiceError);
    EXPECT_TRUE(c.connection.identify().ok());  // the association stays
    attachStorage(nullptr);
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
    const std::tuple<const DataAttribute*, Change, std::uint8_t, std::uint8_t> cases[] = {
        {&mag, Change::Value, all, kDupd},       {&mag, Change::Update, all, kDupd},
        {&mag, Change::Value, noUpdates, 0},     {&stVal, Change::Value, all, kDchg},
        {&stVal, Change::Value, kDupd, kDupd},   {&stVal, Change::Update, noUpdates, 0},
        {&q, Change::Quality, all, kQchg},       {&q, Change::Value, all, 0},
    };
    for (const auto& [a, change, options, reason] : cases)
        EXPECT_EQ(ied::MemberIndex::triggerReason(a, change, options), reason);
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

// A recorded session: a GI sends every member in order, after the write's
// response and laid out as the captured reference report; GI is reset; tshark
// decodes every PDU cleanly.
TEST_F(Reports, RecordedGeneralInterrogationMatchesTheCaptureAndDecodesCleanly)
{
    test_support::LoopbackRelay relay(static_cast<std::uint16_t>(IedServer_getPort(server)));
    ASSERT_NE(relay.port(), 0);
    {
        Client c;
        client::ConnectOptions o;
        o.port = relay.port();
        ASSERT_TRUE(c.connection.connect(o).ok());
        // The captured bit strings: OptFlds 38 80 (10 bits), TrgOps 74 (6 bits); Owner of 17 octets.
        const Value rcb = c.read("LLN0$RP$reportControl0101");
        ASSERT_EQ(rcb.size(), 12u);
        EXPECT_EQ(std::tuple(rcb[5], rcb[8], rcb[11].octets().size()),
                  std::tuple(Value::bitString(Bytes{0x38, 0x80}, 10), Value::bitString(Bytes{0x74}, 6), 17u));
        update(m.ind, 7);
        c.enable(kRcb1);
        EXPECT_EQ(c.write(kRcb1 + "GI", Value::boolean(true)), kAccepted);
        const auto gi = c.next();
        ASSERT_TRUE(gi);
        EXPECT_EQ(gi->inclusion, bits(3, {0, 1, 2}));
        EXPECT_EQ(gi->values, valueOf(c.connection.readList(kDomain, "LLN0$dataset01")));
        EXPECT_EQ(gi->values.at(0)[0].toInt64(), 7);
        EXPECT_FALSE(c.read(kRcb1 + "GI").toBool());
        update(m.ind, 9);
        EXPECT_TRUE(c.next());
        EXPECT_EQ(c.write(kRcb1 + "RptEna", Value::boolean(false)), kAccepted);
        EXPECT_TRUE(c.quiet());
        EXPECT_TRUE(c.connection.release().ok());
    }
    const test_support::Transcript& t = relay.finish();
    std::vector<mms::InformationReport> ours, captured;
    EXPECT_EQ(kindsAndReports(test_support::Capture(test_support::pcapFile(t), 4102).serverPdus(), ours),
              (std::vector<std::string>{"other", "write", "write", "report", "other", "other", "report", "write"}));
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

    if (!test_support::tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    const auto d = test_support::decodeTranscript(::testing::TempDir() + "report-session.pcap", t,
                                                  {"mms.unconfirmedService", "mms.confirmedServiceResponse"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), 2u) << d.summary();
}

}  // namespace
}  // namespace ied_test
