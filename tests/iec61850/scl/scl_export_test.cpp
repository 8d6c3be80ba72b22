// The SCL writer on a small model: names, types, data sets, control blocks
// and values, read back with an XML parser.
#include "scl_xml.hpp"

#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/scl/scl_export.hpp"
#include "iec61850/scl/xml_writer.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

namespace {

using namespace iec61850;
using namespace scltest;
using ied::AttributeShape;
using ied::ModelBuilder;

constexpr AttributeShape kEns[] = {{"stVal", IEC61850_FC_ST, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED},
                                   {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
                                   {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP}};
constexpr AttributeShape kPlate[] = {{"vendor", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
                                     {"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255}};
constexpr AttributeShape kPos[] = {{"stVal", IEC61850_FC_ST, IEC61850_CODEDENUM, TRG_OPT_DATA_CHANGED},
                                   {"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED}};
constexpr AttributeShape kTotW[] = {{"mag", IEC61850_FC_MX, IEC61850_CONSTRUCTED, TRG_OPT_DATA_UPDATE},
                                    {"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_UPDATE},
                                    {"units$SIUnit", IEC61850_FC_CF, IEC61850_ENUMERATED},
                                    {"units$multiplier", IEC61850_FC_CF, IEC61850_ENUMERATED},
                                    {"db", IEC61850_FC_CF, IEC61850_INT32U}};
// As kTotW but mag reports data changes.
constexpr AttributeShape kHz[] = {{"mag", IEC61850_FC_MX, IEC61850_CONSTRUCTED, TRG_OPT_DATA_CHANGED},
                                  {"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_UPDATE},
                                  {"units$SIUnit", IEC61850_FC_CF, IEC61850_ENUMERATED},
                                  {"units$multiplier", IEC61850_FC_CF, IEC61850_ENUMERATED},
                                  {"db", IEC61850_FC_CF, IEC61850_INT32U}};

ModelBuilder smallModel()
{
    ModelBuilder b("TESTIED");
    LogicalDevice* ld = b.device("LD0");
    LogicalNode* lln0 = b.node(ld, "LLN0");
    b.object(lln0, "Beh", kEns);
    b.object(lln0, "NamPlt", kPlate);
    for (const char* name : {"Sw_XSWI12", "Yz_XSWI13"}) {
        LogicalNode* sw = b.node(ld, name);
        b.object(sw, "Beh", kEns);
        b.object(sw, "Pos", kPos);
    }
    LogicalNode* mmxu = b.node(ld, "MMXU1");
    b.object(mmxu, "TotW", kTotW);
    b.object(mmxu, "Hz", kHz);
    DataSet* set = b.dataSet(lln0, "Events");
    b.dataSetEntry(set, "LD0", "Sw_XSWI12$ST$Pos");
    b.dataSetEntry(set, "LD0", "MMXU1$MX$TotW$mag$f");
    b.reportControl(lln0, "urcbEvents01", "LD0/Events", false, "Events", 3, TRG_OPT_DATA_CHANGED | TRG_OPT_GI,
                    RPT_OPT_SEQ_NUM | RPT_OPT_DATA_SET, 50, 1000);
    b.logControl(lln0, "lcb", "Events", "LD0/MMXU1$measurements", TRG_OPT_DATA_UPDATE, 0, true, false);
    b.log(mmxu, "measurements");
    return b;
}

struct Parsed {
    tinyxml2::XMLDocument doc;
    explicit Parsed(const std::string& text)
    {
        EXPECT_EQ(doc.Parse(text.c_str(), text.size()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
    }
    XMLElement* root() { return doc.RootElement(); }
};

using Attributes = std::vector<std::pair<const char*, const char*>>;

void expectAttributes(const XMLElement* e, const Attributes& expected)
{
    ASSERT_NE(e, nullptr);
    for (const auto& [name, value] : expected)
        EXPECT_EQ(attr(e, name), value) << e->Name() << " " << name;
}

// The DOType of a data object inside the LNodeType of that class.
XMLElement* objectType(XMLElement* root, const char* lnClass, const char* object)
{
    XMLElement* lnType = byAttribute(root, "LNodeType", "lnClass", lnClass);
    return byAttribute(root, "DOType", "id", attr(byAttribute(lnType, "DO", "name", object), "type"));
}

TEST(SclNames, NodeNamesSplitAndTextIsEscaped)
{
    const std::pair<const char*, const char*> cases[] = {
        {"LLN0", "|LLN0|"}, {"LPHD", "|LPHD|"}, {"MMXU001", "|MMXU|001"}, {"EmpSPrg_FSCH020001", "EmpSPrg_|FSCH|020001"},
        {"S1_XSWI1", "S1_|XSWI|1"}, {"ABC", "|ABC|"}};
    for (const auto& [name, parts] : cases) {
        const scl::LnName got = scl::splitLnName(name);
        EXPECT_EQ(got.prefix + "|" + got.lnClass + "|" + got.inst, parts);
    }
    EXPECT_EQ(scl::xmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c'");
    EXPECT_EQ(scl::xmlEscape("x\x01y\x7Fz\tw"), "xyz&#9;w");
    EXPECT_EQ(scl::xmlEscape("f\xC3\xBCr \xE2\x82\xAC"), "f\xC3\xBCr \xE2\x82\xAC");
    EXPECT_EQ(scl::xmlEscape("bad \xFF \xC3 \xC0\x80 \xED\xA0\x80 end"), "bad ? ? ?? ??? end");
    EXPECT_EQ(scl::xmlEscape("cut \xE2\x82"), "cut ??");
}

TEST(SclWriter, ElementsNestAndCloseInOrder)
{
    std::ostringstream out;
    {
        scl::XmlWriter xml(out);
        scl::Element a(xml, "a");
        a.attribute("x", "1<2");
        { scl::Element(xml, "b").flag("f", true); }
        xml.open("c").attribute("n", 5).text("t&t");
        xml.close();
    }
    EXPECT_EQ(out.str(), "<a x=\"1&lt;2\">\n  <b f=\"true\"/>\n  <c n=\"5\">t&amp;t</c>\n</a>\n");
}

class SmallModel : public ::testing::Test {
protected:
    ModelBuilder builder = smallModel();
    IedModel* model = builder.model();
};

TEST_F(SmallModel, EqualShapesShareOneTypeAndTheOutputIsStable)
{
    const std::string first = scl::sclDocument(*model);
    EXPECT_EQ(first, scl::sclDocument(*model));
    Parsed p(first);
    XMLElement* a = byAttribute(p.root(), "LN", "prefix", "Sw_");
    XMLElement* b = byAttribute(p.root(), "LN", "prefix", "Yz_");
    expectAttributes(a, {{"lnType", attr(b, "lnType").c_str()}, {"inst", "12"}});
    expectAttributes(b, {{"inst", "13"}});

    // TotW and Hz differ in one trigger option only: two DOTypes, one DAType for mag.
    XMLElement* totW = objectType(p.root(), "MMXU", "TotW");
    XMLElement* hz = objectType(p.root(), "MMXU", "Hz");
    ASSERT_TRUE(totW && hz && totW != hz);
    expectAttributes(byAttribute(totW, "DA", "name", "mag"),
                     {{"dupd", "true"}, {"type", attr(byAttribute(hz, "DA", "name", "mag"), "type").c_str()}});
    expectAttributes(byAttribute(hz, "DA", "name", "mag"), {{"dchg", "true"}});
    expectAttributes(byAttribute(totW, "DA", "name", "units"), {{"bType", "Struct"}});
}

TEST_F(SmallModel, DataSetsAndControlBlocksSitInTheirNodes)
{
    Parsed p(scl::sclDocument(*model));
    EXPECT_EQ(all(p.root(), "LN").size(), 3u);
    expectAttributes(all(p.root(), "ConfDataSet").at(0), {{"max", "1"}, {"maxAttributes", "2"}});
    XMLElement* ln0 = all(p.root(), "LN0").at(0);
    const auto members = all(byAttribute(ln0, "DataSet", "name", "Events"), "FCDA");
    ASSERT_EQ(members.size(), 2u);
    expectAttributes(members[0], {{"prefix", "Sw_"}, {"lnClass", "XSWI"}, {"lnInst", "12"}, {"doName", "Pos"},
                                  {"daName", ""}, {"fc", "ST"}});
    expectAttributes(members[1], {{"prefix", ""}, {"lnClass", "MMXU"}, {"doName", "TotW"}, {"daName", "mag.f"}});

    XMLElement* rc = byAttribute(ln0, "ReportControl", "name", "urcbEvents01");
    expectAttributes(rc, {{"datSet", "Events"}, {"rptID", "LD0/Events"}, {"confRev", "3"}, {"bufTime", "50"},
                          {"intgPd", "1000"}, {"buffered", "false"}});
    expectAttributes(rc->FirstChildElement("TrgOps"), {{"dchg", "true"}, {"gi", "true"}, {"dupd", "false"}});
    expectAttributes(rc->FirstChildElement("OptFields"), {{"seqNum", "true"}, {"dataSet", "true"}, {"timeStamp", "false"}});
    EXPECT_NE(rc->FirstChildElement("RptEnabled"), nullptr);

    // The log lives in MMXU1: the log control block names that node.
    XMLElement* lc = byAttribute(ln0, "LogControl", "name", "lcb");
    expectAttributes(lc, {{"logName", "measurements"}, {"lnClass", "MMXU"}, {"lnInst", "1"}, {"ldInst", ""},
                          {"logEna", "true"}, {"reasonCode", "false"}});
    expectAttributes(lc->FirstChildElement("TrgOps"), {{"dupd", "true"}});
    EXPECT_NE(byAttribute(byAttribute(p.root(), "LN", "lnClass", "MMXU"), "Log", "name", "measurements"), nullptr);
    EXPECT_EQ(byAttribute(ln0, "Log", "name", "measurements"), nullptr);
}

TEST_F(SmallModel, ClassesComeFromTheCallbackOrFromTheAttributes)
{
    Parsed inferred(scl::sclDocument(*model));
    for (const char* cdc : {"ENS", "MV", "LPL"})
        EXPECT_NE(byAttribute(inferred.root(), "DOType", "cdc", cdc), nullptr) << cdc;

    scl::ExportOptions o;
    o.classify = [](const DataObject& d) -> std::optional<scl::ObjectClass> {
        if (std::string_view(d.name) == "Pos")
            return scl::ObjectClass{"DPC", "Switch_Pos"};
        return std::nullopt;
    };
    Parsed told(scl::sclDocument(*model, o));
    XMLElement* pos = byAttribute(told.root(), "DOType", "cdc", "DPC");
    expectAttributes(pos, {{"id", "Switch_Pos"}});
    expectAttributes(byAttribute(pos, "DA", "name", "stVal"), {{"bType", "Dbpos"}});
    expectAttributes(byAttribute(pos, "DA", "name", "ctlModel"), {{"type", "CtlModelKind"}});
}

TEST(SclWriterModels, SubObjectsAndMembersOutsideTheModelAreStillNamed)
{
    ModelBuilder b("IED2");
    LogicalDevice* ld = b.device("LD1");
    LogicalNode* lln0 = b.node(ld, "LLN0");
    b.object(lln0, "Beh", kEns);
    DataObject* phsA = b.object(b.object(b.node(ld, "MMXU2"), "PhV"), "phsA");
    b.attribute(phsA, "cVal", IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_CHANGED);
    DataSet* set = b.dataSet(lln0, "ds");
    b.dataSetEntry(set, "LD1", "MMXU2$MX$PhV$phsA$cVal");
    b.dataSetEntry(set, "LD1", "LPHD1$ST$PhyHealth");  // no such node
    b.dataSetEntry(set, "LD1", "LLN0");                // no FC, no object

    Parsed p(scl::sclDocument(*b.model()));
    const auto members = all(p.root(), "FCDA");
    ASSERT_EQ(members.size(), 3u);
    expectAttributes(members[0], {{"doName", "PhV.phsA"}, {"daName", "cVal"}});
    expectAttributes(members[1], {{"lnClass", "LPHD"}, {"lnInst", "1"}, {"doName", "PhyHealth"}});
    expectAttributes(members[2], {{"lnClass", "LLN0"}, {"doName", ""}});

    XMLElement* sdo = byAttribute(objectType(p.root(), "MMXU", "PhV"), "SDO", "name", "phsA");
    XMLElement* phsAType = byAttribute(p.root(), "DOType", "id", attr(sdo, "type"));
    expectAttributes(byAttribute(phsAType, "DA", "name", "cVal"), {{"fc", "MX"}});
}

TEST_F(SmallModel, ConfiguredValuesAreWrittenDefaultsLeftOut)
{
    IedServer server = IedServer_create(model);
    ASSERT_NE(server, nullptr);
    auto set = [&](const char* reference) {
        auto* a = reinterpret_cast<DataAttribute*>(IedModel_getModelNodeByObjectReference(model, reference));
        EXPECT_NE(a, nullptr) << reference;
        return a->mmsValue;
    };
    MmsValue_setVisibleString(set("LD0/LLN0.NamPlt.vendor"), "A<B> & \"C\"\x01 f\xC3\xBCr \xFF");
    MmsValue_setInt32(set("LD0/LLN0.Beh.stVal"), 1);  // ST: a state, not configuration
    MmsValue_setInt32(set("LD0/Sw_XSWI12.Pos.ctlModel"), 1);
    MmsValue_setInt32(set("LD0/Yz_XSWI13.Pos.ctlModel"), 9);  // no literal of CtlModelKind
    MmsValue_setInt32(set("LD0/MMXU1.TotW.units.SIUnit"), 38);
    MmsValue_setInt32(set("LD0/MMXU1.TotW.units.multiplier"), 3);
    MmsValue_setUint32(set("LD0/MMXU1.TotW.db"), 1000);

    Parsed p(scl::sclDocument(*model));
    XMLElement* root = p.root();
    XMLElement* plate = byAttribute(all(root, "LN0").at(0), "DOI", "name", "NamPlt");
    EXPECT_EQ(valText(byAttribute(plate, "DAI", "name", "vendor")), "A<B> & \"C\" f\xC3\xBCr ?");
    EXPECT_EQ(byAttribute(plate, "DAI", "name", "d"), nullptr) << "an empty string is the default";
    EXPECT_EQ(byAttribute(root, "DOI", "name", "Beh"), nullptr);
    auto valueOf = [&](const char* node, const char* object, const char* attribute) {
        XMLElement* ln = nullptr;
        for (XMLElement* e : all(root, "LN"))
            ln = lnName(e) == node ? e : ln;
        return valText(byAttribute(byAttribute(ln, "DOI", "name", object), "DAI", "name", attribute));
    };
    EXPECT_EQ(valueOf("Sw_XSWI12", "Pos", "ctlModel"), "direct-with-normal-security");
    EXPECT_EQ(valueOf("Yz_XSWI13", "Pos", "ctlModel"), "9");
    EXPECT_EQ(valueOf("MMXU1", "TotW", "SIUnit"), "W");
    EXPECT_EQ(valueOf("MMXU1", "TotW", "multiplier"), "k");
    EXPECT_EQ(valueOf("MMXU1", "TotW", "db"), "1000");
    EXPECT_EQ(byAttribute(root, "DOI", "name", "Hz"), nullptr);
    // The ordinal without a literal became one, so the value reads back.
    EXPECT_EQ(std::string(byAttribute(byAttribute(root, "EnumType", "id", "CtlModelKind"), "EnumVal", "ord", "9")
                              ->GetText()),
              "9");

    scl::ExportOptions none;
    none.values = false;
    Parsed bare(scl::sclDocument(*model, none));
    EXPECT_TRUE(all(bare.root(), "DOI").empty());
    IedServer_destroy(server);
}

}  // namespace
