// The box's model served over TCP on 127.0.0.1 and read with our client.
#include "box_model.hpp"

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using client::MmsConnection;
using mms::TypeDescription;
using mms::Value;

constexpr const char* kStb = "FNN_STEUERBOXSTB";
constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";
constexpr const char* kCls2 = "FNN_STEUERBOXCLS2";

class OverMms : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = IedServer_create(box::staticModel());
        if (!server)
            return;
        IedServer_setLocalIpAddress(server, "127.0.0.1");
        IedServer_start(server, 0);
    }
    static void TearDownTestSuite() { IedServer_destroy(server); }

    void SetUp() override
    {
        ASSERT_NE(server, nullptr) << "the model's data sets or control blocks do not resolve";
        ASSERT_TRUE(IedServer_isRunning(server));
        client::ConnectOptions o;
        o.port = static_cast<std::uint16_t>(IedServer_getPort(server));
        auto r = connection.connect(o);
        ASSERT_TRUE(r.ok()) << r.error().describe();
    }

    Value read(const char* domain, const char* item)
    {
        auto r = connection.read(domain, item);
        EXPECT_TRUE(r.ok()) << item << ": " << r.error().describe();
        return r.ok() ? *r : Value::error(mms::DataAccessError::ObjectUndefined);
    }

    std::vector<std::string> componentNames(const TypeDescription* t)
    {
        std::vector<std::string> names;
        if (t)
            for (const TypeDescription& c : t->components())
                names.push_back(c.name());
        return names;
    }

    static inline IedServer server = nullptr;
    MmsConnection connection;
};

TEST_F(OverMms, DomainsAndTheirLogicalNodes)
{
    auto domains = connection.domainNames();
    ASSERT_TRUE(domains.ok());
    EXPECT_EQ(*domains, (std::vector<std::string>{kCls1, kCls2, kStb}));

    // getNameList answers in name order; the top-level names are the nodes.
    for (const char* ld : {"STB", "CLS1", "CLS2"}) {
        std::vector<std::string> model;
        for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), ld)->firstChild; ln; ln = ln->sibling)
            model.emplace_back(ln->name);
        const std::string domain = std::string("FNN_STEUERBOX") + ld;
        auto names = connection.variableNames(domain);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        std::vector<std::string> nodes;
        std::copy_if(names->begin(), names->end(), std::back_inserter(nodes),
                     [](const std::string& n) { return n.find('$') == std::string::npos; });
        std::vector<std::string> sorted = model;
        std::sort(sorted.begin(), sorted.end());
        std::sort(nodes.begin(), nodes.end());
        EXPECT_EQ(nodes, sorted) << ld;
        EXPECT_EQ(std::find(names->begin(), names->end(), "LPHD1"), names->end());
    }
}

TEST_F(OverMms, TypeOfAScheduleNodeListsItsObjectsInModelOrder)
{
    auto type = connection.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001");
    ASSERT_TRUE(type.ok()) << type.error().describe();
    EXPECT_EQ(componentNames(&*type), (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP"}));
    EXPECT_EQ(componentNames(type->component("ST")),
              (std::vector<std::string>{"Beh", "SchdSt", "SchdEntr", "ActStrTm", "NxtStrTm", "SchdEnaErr", "EnaReq",
                                        "DsaReq"}));
    EXPECT_EQ(componentNames(type->component("CO")), (std::vector<std::string>{"EnaReq", "DsaReq"}));
    const auto sp = componentNames(type->component("SP"));
    ASSERT_EQ(sp.size(), 3u + 100 + 16 + 1);
    EXPECT_EQ(sp[0], "SchdPrio");
    EXPECT_EQ(sp[3], "ValASG001");
    EXPECT_EQ(sp[102], "ValASG100");
    EXPECT_EQ(sp[103], "StrTm01");
    EXPECT_EQ(sp.back(), "SchdReuse");
    EXPECT_EQ(componentNames(type->find("SP$StrTm16$setCal")),
              (std::vector<std::string>{"occ", "occType", "occPer", "weekDay", "month", "day", "hr", "mn"}));
    const TypeDescription* f = type->find("SP$ValASG042$setMag$f");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kind(), TypeDescription::Kind::FloatingPoint);
    EXPECT_EQ(componentNames(type->find("ST$EnaReq")),
              (std::vector<std::string>{"origin", "ctlNum", "stVal", "q", "t"}));

    auto wcmd = connection.variableAccessAttributes(kCls2, "EmpWCmd_FSCH030001$SP$StrTm16");
    ASSERT_TRUE(wcmd.ok());
    EXPECT_EQ(componentNames(&*wcmd), (std::vector<std::string>{"setTm"}));
    auto soft = connection.variableAccessAttributes(kCls2, "SysSoft_FSCH110001");
    ASSERT_TRUE(soft.ok());
    EXPECT_EQ(soft->component("CO"), nullptr);
}

TEST_F(OverMms, StartValuesReadBack)
{
    EXPECT_EQ(read(kCls2, "ActPow_FSCC001$SP$Schd022$setSrcRef"), Value::visibleString("@CLS2/SysComEr_FSCH220001"));
    EXPECT_EQ(read(kCls1, "ActPow_FSCC001$SP$Schd014$setSrcRef"), Value::visibleString("@CLS1/SysSoft_FSCH110001"));
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020102$SP$NumEntr$setVal").toInt32(), 300);
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020102$SP$SchdPrio$setVal").toInt32(), 20);
    EXPECT_EQ(read(kCls2, "SysRes_FSCH010001$SP$StrTm16$setCal$occType").toInt32(), 5);
    EXPECT_EQ(read(kCls1, "FailSafe_GGIO001$ST$Beh$stVal").toInt32(), 0);
    EXPECT_EQ(read(kCls1, "ActPow_GGIO001$ST$Beh$stVal").toInt32(), 1);
    EXPECT_EQ(read(kCls2, "MMXU001$CF$TotW$db").toUint32(), 1000u);
    EXPECT_EQ(read(kCls2, "MMXU001$CF$TotW$units"), Value::structure({Value::integer(38), Value::integer(3)}));
    EXPECT_EQ(read(kStb, "LPHD$DC$PhyNam$vendor"), Value::visibleString("Brenvolta CLS"));
    EXPECT_EQ(read(kStb, "LTMS1$CF$TmOfs$units"), Value::structure({Value::integer(4), Value::integer(0)}));

    auto missing = connection.read(kCls1, "EmpWCmd_FSCH030001$SP$StrTm16$setCal");
    EXPECT_TRUE(!missing.ok() || missing->isError());
    auto noNode = connection.read(kStb, "LPHD1$ST$WrmStr");
    EXPECT_TRUE(!noNode.ok() || noNode->isError());
}

TEST_F(OverMms, DataSetsResolve)
{
    auto stbSets = connection.variableListNames(kStb);
    ASSERT_TRUE(stbSets.ok());
    EXPECT_EQ(*stbSets, (std::vector<std::string>{"LLN0$dataset01", "LLN0$dataset02"}));
    for (auto [domain, set, count] : {std::tuple{kStb, "LLN0$dataset01", 26u}, {kStb, "LLN0$dataset02", 4u},
                                      {kCls1, "LLN0$dataset01", 63u}, {kCls2, "LLN0$dataset01", 63u}}) {
        auto members = connection.variableListAttributes(domain, set);
        ASSERT_TRUE(members.ok()) << set;
        EXPECT_EQ(members->size(), count);
        auto values = connection.readList(domain, set);
        ASSERT_TRUE(values.ok()) << domain << " " << set;
        ASSERT_EQ(values->size(), count);
        for (const Value& v : *values)
            EXPECT_FALSE(v.isError()) << domain << " " << set;
    }
    auto stb = connection.variableListAttributes(kStb, "LLN0$dataset01");
    ASSERT_TRUE(stb.ok());
    EXPECT_EQ(stb->front().item, "LPHD$ST$PwrSupAlm");
    EXPECT_EQ(stb->back().item, "LPHD$ST$NumPwrUp");
    auto cls = connection.variableListAttributes(kCls2, "LLN0$dataset01");
    ASSERT_TRUE(cls.ok());
    EXPECT_EQ((*cls)[1].domain, kCls2);
    EXPECT_EQ((*cls)[1].item, "ActPow_FSCC001$ST$ActSchdRef");
    EXPECT_EQ((*cls)[21 + 2].item, "SysComEr_FSCH220001$ST$SchdSt");
    EXPECT_EQ((*cls)[62].item, "FailSafe_GGIO001$MX$FailPLodGet");
}

TEST_F(OverMms, GeneralInterrogationReportsEveryMemberInOrder)
{
    std::vector<mms::InformationReport> reports;
    connection.setReportHandler([&](const mms::InformationReport& r) { reports.push_back(r); });
    const char* rcb = "LLN0$RP$reportControl0101";
    EXPECT_EQ(read(kCls1, "LLN0$RP$reportControl0101$RptID"), Value::visibleString("CLS1/report01"));
    ASSERT_TRUE(connection.write(kCls1, std::string(rcb) + "$RptEna", Value::boolean(true)).ok());
    ASSERT_TRUE(connection.write(kCls1, std::string(rcb) + "$GI", Value::boolean(true)).ok());
    while (reports.empty()) {
        auto n = connection.waitForReports(5000);
        ASSERT_TRUE(n.ok() && *n > 0) << "no report";
    }
    const std::vector<Value>& r = reports.front().results;
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], Value::visibleString("CLS1/report01"));
    auto inclusion = std::find_if(r.begin(), r.end(), [](const Value& v) {
        return v.is(Value::Kind::BitString) && v.bitStringSize() == 63;
    });
    ASSERT_NE(inclusion, r.end());
    EXPECT_EQ(inclusion->countSetBits(), 63u);
    auto expected = connection.readList(kCls1, "LLN0$dataset01");
    ASSERT_TRUE(expected.ok());
    const auto first = static_cast<std::size_t>(inclusion - r.begin()) + 1;
    ASSERT_EQ(r.size(), first + 2 * 63);
    EXPECT_EQ(std::vector<Value>(r.begin() + first, r.begin() + first + 63), *expected);
    EXPECT_EQ(std::find(r.begin(), r.end(), Value::visibleString("FNN_STEUERBOXCLS1/LLN0$dataset01")) - r.begin(),
              static_cast<long>(first) - 3);
}

TEST_F(OverMms, StbGeneralInterrogationCoversTheLphdMembers)
{
    std::vector<mms::InformationReport> reports;
    connection.setReportHandler([&](const mms::InformationReport& r) { reports.push_back(r); });
    ASSERT_TRUE(connection.write(kStb, "LLN0$RP$reportControl0102$RptEna", Value::boolean(true)).ok());
    ASSERT_TRUE(connection.write(kStb, "LLN0$RP$reportControl0102$GI", Value::boolean(true)).ok());
    while (reports.empty()) {
        auto n = connection.waitForReports(5000);
        ASSERT_TRUE(n.ok() && *n > 0) << "no report";
    }
    const std::vector<Value>& r = reports.front().results;
    auto inclusion = std::find_if(r.begin(), r.end(), [](const Value& v) {
        return v.is(Value::Kind::BitString) && v.bitStringSize() == 26;
    });
    ASSERT_NE(inclusion, r.end());
    EXPECT_EQ(inclusion->countSetBits(), 26u);
    ASSERT_EQ(r.end() - inclusion, 1 + 2 * 26);
    // NumPwrUp of LPHD, the last member: {stVal, q, t}
    EXPECT_EQ(inclusion[26], read(kStb, "LPHD$ST$NumPwrUp"));
    EXPECT_EQ(read(kStb, "LLN0$LG$logControlSTB$LogEna"), Value::boolean(true));
    EXPECT_EQ(read(kStb, "LLN0$LG$logControlRelay$LogRef"), Value::visibleString("STB/LLN0$logRelay"));
}

TEST_F(OverMms, AnUnchangedSetPointUpdateIsReportedAsDataUpdate)
{
    std::vector<mms::InformationReport> reports;
    connection.setReportHandler([&](const mms::InformationReport& r) { reports.push_back(r); });
    ASSERT_TRUE(connection.write(kCls2, "LLN0$RP$reportControl0102$RptEna", Value::boolean(true)).ok());
    DataAttribute* mag = box::findDataAttribute("CLS2", "ActPow_FSCC001", "ValMV", "mag");
    ASSERT_NE(mag, nullptr);
    IedServer_updateFloatAttributeValue(server, static_cast<DataAttribute*>(mag->firstChild), 0.0f);
    while (reports.empty()) {
        auto n = connection.waitForReports(5000);
        ASSERT_TRUE(n.ok() && *n > 0) << "no report";
    }
    const std::vector<Value>& r = reports.front().results;
    auto inclusion = std::find_if(r.begin(), r.end(), [](const Value& v) {
        return v.is(Value::Kind::BitString) && v.bitStringSize() == 63;
    });
    ASSERT_NE(inclusion, r.end());
    EXPECT_TRUE(inclusion->getBit(0));  // ActPow_FSCC001$MX$ValMV
    EXPECT_EQ(inclusion->countSetBits(), 1u);
    ASSERT_EQ(r.end() - inclusion, 3);
    EXPECT_TRUE(inclusion[2].getBit(3));  // reason: data update
    ASSERT_TRUE(connection.write(kCls2, "LLN0$RP$reportControl0102$RptEna", Value::boolean(false)).ok());
}

}  // namespace
