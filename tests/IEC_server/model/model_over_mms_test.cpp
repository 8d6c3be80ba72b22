// The box's model served over TCP on 127.0.0.1 and read with our client,
// and its start values read through the server API and over MMS.
#include "../box_test_support.hpp"

#include "iec61850/ied/log_storage.hpp"

#include "capture.hpp"
#include "loopback_relay.hpp"
#include "tshark.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using namespace boxtest;
using mms::Value;
using mms::TypeDescription;
using Names = std::vector<std::string>;

// Attributes of each kind and constraint, read over MMS as the server holds them.
const char* const kServedPaths[] = {
    "CLS2/ActPow_FSCC001.Schd022.setSrcRef",        "CLS1/ActPow_FSCC001.ActSchdRef.stVal",
    "CLS1/EmpSPrg_FSCH020102.NumEntr.setVal",       "CLS1/SysComEr_FSCH220001.SchdReuse.setVal",
    "CLS2/SysRes_FSCH010001.StrTm16.setCal.occType", "CLS1/SysRes_FSCH010001.StrTm16.setCal.occ",
    "CLS2/EmpSPrg_FSCH020101.ValASG300.setMag.f",   "STB/LLN0.Health.stVal",
    "STB/S1_XSWI1.Loc.stVal",                       "CLS2/EmpDCmd_FSCH050001.EnaReq.ctlModel",
    "CLS1/EmpSPrg_FSCH020103.ValASG300.units",      "STB/LLN0.NamPlt.d",
    "CLS1/MMXU001.TotW.db",                         "CLS2/MMXU001.TotW.dbRef",
    "CLS1/FailSafe_GGIO001.FailDurSet.maxVal.f",    "CLS1/EmpWCmd_FSCH030001.StrTm16.setTm",
};

// "CLS1/LN.DO.DA" as domain and "LN$FC$DO$DA".
std::pair<std::string, std::string> mmsAddress(const std::string& path, const DataAttribute* a)
{
    const auto slash = path.find('/');
    const Names names = split(path.substr(slash + 1), '.');
    std::string item = names[0] + "$" + FunctionalConstraint_toString(a->fc);
    for (std::size_t i = 1; i < names.size(); ++i)
        item += "$" + names[i];
    return {"FNN_STEUERBOX" + path.substr(0, slash), item};
}

class OverMms : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = IedServer_create(box::staticModel());
        if (server)
            startOnLoopback(server);
    }
    static void TearDownTestSuite() { IedServer_destroy(server); }

    void SetUp() override
    {
        ASSERT_NE(server, nullptr) << "the model's data sets or control blocks do not resolve";
        ASSERT_TRUE(connectTo(connection, static_cast<std::uint16_t>(IedServer_getPort(server))));
    }

    Value read(const char* domain, const char* item)
    {
        auto r = connection.read(domain, item);
        EXPECT_TRUE(r.ok()) << item << ": " << r.error().describe();
        return r.ok() ? *r : Value::error(mms::DataAccessError::ObjectUndefined);
    }

    static Names componentNames(const TypeDescription* t)
    {
        Names names;
        if (t)
            for (const TypeDescription& c : t->components())
                names.push_back(c.name());
        return names;
    }

    // The first report after the writes: its values and where its inclusion bit string of `members` bits is.
    struct Report {
        std::vector<Value> values;
        std::size_t inclusion = 0;
    };
    Report firstReport(const char* domain, const std::vector<std::string>& writes, std::size_t members,
                       const std::function<void()>& then = {})
    {
        std::vector<mms::InformationReport> reports;
        connection.setReportHandler([&](const mms::InformationReport& r) { reports.push_back(r); });
        for (const std::string& item : writes)
            EXPECT_TRUE(connection.write(domain, item, Value::boolean(true)).ok()) << item;
        if (then)
            then();
        for (bool waiting = true; reports.empty() && waiting;) {
            auto n = connection.waitForReports(5000);
            waiting = n.ok() && *n > 0;
        }
        connection.setReportHandler({});
        if (reports.empty())
            return {};
        Report report{reports.front().results, 0};
        const auto& r = report.values;
        report.inclusion = static_cast<std::size_t>(std::find_if(r.begin(), r.end(), [&](const Value& v) {
            return v.is(Value::Kind::BitString) && v.bitStringSize() == members;
        }) - r.begin());
        return report;
    }

    static inline IedServer server = nullptr;
    client::MmsConnection connection;
};

TEST_F(OverMms, DomainsAndValuesAsTheModelHoldsThem)
{
    auto domains = connection.domainNames();
    ASSERT_TRUE(domains.ok());
    EXPECT_EQ(*domains, (Names{kCls1, kCls2, kStb}));
    for (const char* path : kServedPaths) {
        DataAttribute* a = attributeAt(path);
        ASSERT_NE(a, nullptr);
        const auto [domain, item] = mmsAddress(path, a);
        EXPECT_EQ(read(domain.c_str(), item.c_str()), *IedServer_getAttributeValue(server, a)) << item;
    }
    for (auto [domain, missing] : {std::pair{kCls1, "EmpWCmd_FSCH030001$SP$StrTm16$setCal"},
                                   {kStb, "LPHD1$ST$WrmStr"}}) {
        auto r = connection.read(domain, missing);
        EXPECT_TRUE(!r.ok() || r->isError()) << missing;
    }
}

TEST_F(OverMms, DomainsAndTheirLogicalNodes)
{
    // getNameList answers in name order; the top-level names are the nodes.
    for (const char* ld : {"STB", "CLS1", "CLS2"}) {
        Names model;
        for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), ld)->firstChild; ln; ln = ln->sibling)
            model.emplace_back(ln->name);
        auto names = connection.variableNames(std::string("FNN_STEUERBOX") + ld);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        Names nodes;
        std::copy_if(names->begin(), names->end(), std::back_inserter(nodes),
                     [](const std::string& n) { return n.find('$') == std::string::npos; });
        std::sort(model.begin(), model.end());
        EXPECT_EQ(nodes, model) << ld;
    }
}

TEST_F(OverMms, TypeOfAScheduleNodeListsItsObjectsInModelOrder)
{
    auto type = connection.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001");
    ASSERT_TRUE(type.ok()) << type.error().describe();
    EXPECT_EQ(componentNames(&*type), (Names{"MX", "ST", "CO", "CF", "DC", "SP"}));
    EXPECT_EQ(componentNames(type->component("ST")),
              (Names{"Beh", "SchdSt", "SchdEntr", "ActStrTm", "NxtStrTm", "SchdEnaErr", "EnaReq", "DsaReq"}));
    EXPECT_EQ(componentNames(type->component("CO")), (Names{"EnaReq", "DsaReq"}));
    const auto sp = componentNames(type->component("SP"));
    ASSERT_EQ(sp.size(), 3u + 100 + 16 + 1);
    EXPECT_EQ(sp[2] + " " + sp[3] + " " + sp[102] + " " + sp[103] + " " + sp.back(),
              "SchdIntv ValASG001 ValASG100 StrTm01 SchdReuse");
    EXPECT_EQ(componentNames(type->find("SP$StrTm16$setCal")),
              (Names{"occ", "occType", "occPer", "weekDay", "month", "day", "hr", "mn"}));
    ASSERT_NE(type->find("SP$ValASG042$setMag$f"), nullptr);
    EXPECT_EQ(type->find("SP$ValASG042$setMag$f")->kind(), TypeDescription::Kind::FloatingPoint);
    auto wcmd = connection.variableAccessAttributes(kCls2, "EmpWCmd_FSCH030001$SP$StrTm16");
    ASSERT_TRUE(wcmd.ok());
    EXPECT_EQ(componentNames(&*wcmd), (Names{"setTm"}));
}

// Every data set of the model with its members in order, each member readable.
TEST_F(OverMms, DataSetsResolve)
{
    auto stbSets = connection.variableListNames(kStb);
    ASSERT_TRUE(stbSets.ok());
    EXPECT_EQ(*stbSets, (Names{"LLN0$dataset01", "LLN0$dataset02"}));
    for (DataSet* set = box::staticModel()->dataSets; set; set = set->sibling) {
        const std::string domain = std::string("FNN_STEUERBOX") + set->logicalDeviceName;
        Names expected, served;
        for (DataSetEntry* e = set->fcdas; e; e = e->sibling)
            expected.push_back(std::string("FNN_STEUERBOX") + e->logicalDeviceName + "/" + e->variableName);
        auto members = connection.variableListAttributes(domain, set->name);
        ASSERT_TRUE(members.ok()) << set->name;
        for (const auto& m : *members)
            served.push_back(m.domain + "/" + m.item);
        EXPECT_EQ(served, expected) << domain;
        auto values = connection.readList(domain, set->name);
        ASSERT_TRUE(values.ok()) << domain << " " << set->name;
        ASSERT_EQ(values->size(), expected.size());
        EXPECT_TRUE(std::none_of(values->begin(), values->end(), [](const Value& v) { return v.isError(); }));
    }
}

// A GI report carries RptID, DatSet, every member in order and a reason for each.
TEST_F(OverMms, GeneralInterrogationReportsEveryMemberInOrder)
{
    for (auto [domain, block, rptId, members] : {std::tuple{kCls1, "reportControl0101", "CLS1/report01", 63u},
                                                 {kStb, "reportControl0102", "STB/report01", 26u}}) {
        const std::string prefix = std::string("LLN0$RP$") + block + "$";
        EXPECT_EQ(read(domain, (prefix + "RptID").c_str()), Value::visibleString(rptId));
        const Report report = firstReport(domain, {prefix + "RptEna", prefix + "GI"}, members);
        const auto& r = report.values;
        ASSERT_LT(report.inclusion, r.size()) << "no report with " << members << " members";
        EXPECT_EQ(r[0], Value::visibleString(rptId));
        EXPECT_EQ(r[report.inclusion].countSetBits(), members);
        auto expected = connection.readList(domain, "LLN0$dataset01");
        ASSERT_TRUE(expected.ok());
        const auto first = static_cast<std::ptrdiff_t>(report.inclusion) + 1;
        ASSERT_EQ(r.size(), static_cast<std::size_t>(first) + 2 * members);
        EXPECT_EQ(std::vector<Value>(r.begin() + first, r.begin() + first + members), *expected);
        EXPECT_EQ(r[report.inclusion - 2], Value::visibleString(std::string(domain) + "/LLN0$dataset01"));
        EXPECT_TRUE(connection.write(domain, prefix + "RptEna", Value::boolean(false)).ok());
    }
}

// A client that proposes 1,000-octet PDUs gets the CLS GI report (about
// 1.7 kB) in segments: each within the PDU size, numbered by SubSeqNum,
// together every member once and in order, under one sequence number.
TEST_F(OverMms, AGeneralInterrogationLargerThanThePduComesInSegments)
{
    test_support::LoopbackRelay relay(static_cast<std::uint16_t>(IedServer_getPort(server)));
    std::vector<mms::InformationReport> segments;
    std::vector<Value> values;
    {
        client::MmsConnection small;
        small.setReportHandler([&](const mms::InformationReport& r) { segments.push_back(r); });
        client::ConnectOptions options;
        options.port = relay.port();
        options.maxPduSize = 1000;
        ASSERT_TRUE(small.connect(options).ok());
        const std::string block = "LLN0$RP$reportControl0102$";
        auto sqNum = [&] {
            auto r = small.read(kCls1, block + "SqNum");
            return r.ok() ? r->toUint64() : 999;
        };
        const std::uint64_t before = sqNum();
        for (const char* item : {"RptEna", "GI"})
            ASSERT_TRUE(small.write(kCls1, block + item, Value::boolean(true)).ok()) << item;
        auto last = [&] { return !segments.empty() && segments.back().results.at(6) == Value::boolean(false); };
        for (int i = 0; i < 50 && !last(); ++i)
            ASSERT_TRUE(small.waitForReports(100).ok());
        ASSERT_TRUE(last());
        EXPECT_EQ(sqNum(), before + 1);
        auto list = connection.readList(kCls1, "LLN0$dataset01");  // larger than 1,000 octets too
        ASSERT_TRUE(list.ok());
        values = *list;
        ASSERT_TRUE(small.write(kCls1, block + "RptEna", Value::boolean(false)).ok());
        ASSERT_TRUE(small.release().ok());
    }
    const test_support::Transcript& t = relay.finish();

    // RptID, OptFlds, TimeOfEntry, DatSet, ConfRev, SubSeqNum, MoreSegmentsFollow, inclusion, values, reasons.
    ASSERT_GE(segments.size(), 2u);
    std::vector<Value> reported;
    std::size_t nextMember = 0;
    for (std::size_t n = 0; n < segments.size(); ++n) {
        const std::vector<Value>& f = segments[n].results;
        ASSERT_GE(f.size(), 8u);
        EXPECT_TRUE(f[1].getBit(9)) << "segmentation";
        EXPECT_EQ(f[5], Value::unsignedInteger(n));
        EXPECT_EQ(f[6], Value::boolean(n + 1 < segments.size()));
        const Value& inclusion = f[7];
        const std::size_t count = inclusion.countSetBits();
        ASSERT_EQ(f.size(), 8 + 2 * count);
        for (std::size_t i = 0; i < count; ++i, ++nextMember)
            EXPECT_TRUE(inclusion.getBit(nextMember)) << nextMember;
        reported.insert(reported.end(), f.begin() + 8, f.begin() + 8 + static_cast<std::ptrdiff_t>(count));
    }
    EXPECT_EQ(reported, values);
    const test_support::Capture wire(test_support::pcapFile(t), kServerPort);
    for (const Bytes& pdu : wire.serverPdus())
        EXPECT_LE(pdu.size(), 1000u);

    if (!test_support::tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    const auto d =
        test_support::decodeTranscript(::testing::TempDir() + "segmented-gi.pcap", t, {"mms.unconfirmedService"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), segments.size()) << d.summary();
}

// LogRef names the journal as ReadJournal needs it: domain, then LLN0$log.
TEST_F(OverMms, EveryLogRefLeadsReadJournalToItsLog)
{
    ied::MemoryLogStorage storage;
    ASSERT_TRUE(ied::attachLogStorage(box::staticModel(), "CLS1/LLN0$logCLS1", &storage));
    IedServer_updateFloatAttributeValue(server, attributeAt("CLS1/MMXU001.TotW.mag.f"), 3.5f);
    for (auto [domain, block, logRef, entries] :
         {std::tuple{kStb, "logControlSTB", "FNN_STEUERBOXSTB/LLN0$logSTB", 0u},
          {kStb, "logControlRelay", "FNN_STEUERBOXSTB/LLN0$logRelay", 0u},
          {kCls1, "logControlCLS1", "FNN_STEUERBOXCLS1/LLN0$logCLS1", 1u},
          {kCls2, "logControlCLS2", "FNN_STEUERBOXCLS2/LLN0$logCLS2", 0u}}) {
        const std::string served(read(domain, (std::string("LLN0$LG$") + block + "$LogRef").c_str()).string());
        EXPECT_EQ(served, logRef);
        EXPECT_EQ(read(domain, (std::string("LLN0$LG$") + block + "$LogEna").c_str()), Value::boolean(true));
        const auto slash = served.find('/');
        auto journal = connection.readWholeJournal(served.substr(0, slash), served.substr(slash + 1));
        ASSERT_TRUE(journal.ok()) << served << ": " << journal.error().describe();
        EXPECT_EQ(journal->size(), entries) << served;
    }
    ied::attachLogStorage(box::staticModel(), "CLS1/LLN0$logCLS1", nullptr);
}

TEST_F(OverMms, AnUnchangedSetPointUpdateIsReportedAsDataUpdate)
{
    const Report report = firstReport(kCls2, {"LLN0$RP$reportControl0102$RptEna"}, 63, [] {
        IedServer_updateFloatAttributeValue(server, attributeAt("CLS2/ActPow_FSCC001.ValMV.mag.f"), 0.0f);
    });
    ASSERT_LT(report.inclusion, report.values.size()) << "no report with 63 members";
    const Value& inclusion = report.values[report.inclusion];
    EXPECT_TRUE(inclusion.getBit(0));  // ActPow_FSCC001$MX$ValMV
    EXPECT_EQ(inclusion.countSetBits(), 1u);
    ASSERT_EQ(report.values.size() - report.inclusion, 3u);
    EXPECT_TRUE(report.values[report.inclusion + 2].getBit(3));  // reason: data update
    ASSERT_TRUE(connection.write(kCls2, "LLN0$RP$reportControl0102$RptEna", Value::boolean(false)).ok());
}

}  // namespace
