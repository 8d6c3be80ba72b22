// The SCL writer on a small model: names, types, data sets, control blocks
// and values, read back with an XML parser.
#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/scl/scl_export.hpp"
#include "iec61850/scl/xml_writer.hpp"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using ied::AttributeShape;
using ied::ModelBuilder;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

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
    XMLDocument doc;
    explicit Parsed(const std::string& text)
    {
        EXPECT_EQ(doc.Parse(text.c_str(), text.size()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
    }
    XMLElement* root() { return doc.RootElement(); }
};

std::vector<XMLElement*> all(XMLElement* parent, const char* name)
{
    std::vector<XMLElement*> found;
    if (!parent)
        return found;
    for (XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::string_view(e->Name()) == name)
            found.push_back(e);
        for (XMLElement* below : all(e, name))
            found.push_back(below);
    }
    return found;
}

std::string attr(const XMLElement* e, const char* name)
{
    const char* v = e ? e->Attribute(name) : nullptr;
    return v ? v : "<none>";
}

XMLElement* byAttribute(XMLElement* root, const char* element, const char* name, const std::string& value)
{
    for (XMLElement* e : all(root, element))
        if (attr(e, name) == value)
            return e;
    return nullptr;
}

TEST(SclNames, NodeNamesSplitIntoPrefixClassAndInstance)
{
    struct Case {
        const char* name;
        scl::LnName parts;
    };
    const Case cases[] = {
        {"LLN0", {"", "LLN0", ""}},
        {"LPHD", {"", "LPHD", ""}},
        {"LCMS1", {"", "LCMS", "1"}},
        {"MMXU001", {"", "MMXU", "001"}},
        {"EmpSPrg_FSCH020001", {"EmpSPrg_", "FSCH", "020001"}},
        {"CommFail_GGIO1", {"CommFail_", "GGIO", "1"}},
        {"S1_XSWI1", {"S1_", "XSWI", "1"}},
        {"ABC", {"", "ABC", ""}},
    };
    for (const Case& c : cases) {
        const scl::LnName got = scl::splitLnName(c.name);
        EXPECT_EQ(got.prefix, c.parts.prefix) << c.name;
        EXPECT_EQ(got.lnClass, c.parts.lnClass) << c.name;
        EXPECT_EQ(got.inst, c.parts.inst) << c.name;
    }
}

TEST(SclNames, TextIsEscapedAndInvalidBytesReplaced)
{
    EXPECT_EQ(scl::xmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c'");
    EXPECT_EQ(scl::xmlEscape("x\x01y\x7Fz\tw"), "xyz&#9;w");
    EXPECT_EQ(scl::xmlEscape("f\xC3\xBCr \xE2\x82\xAC"), "f\xC3\xBCr \xE2\x82\xAC");
    EXPECT_EQ(scl::xmlEscape("bad \xFF \xC3 \xC0\x80 \xED\xA0\x80 end"), "bad ? ? ?? ??? end");
    EXPECT_EQ(scl::xmlEscape("cut \xE2\x82"), "cut ??");
}

class SmallModel : public ::testing::Test {
protected:
    ModelBuilder builder = smallModel();
    IedModel* model = builder.model();
};

TEST_F(SmallModel, DocumentCarriesTheIedAndItsAccessPoint)
{
    scl::ExportOptions o;
    o.mmsPort = 4102;
    o.ipAddress = "10.0.0.7";
    Parsed p(scl::sclDocument(*model, o));
    XMLElement* root = p.root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(std::string(root->Name()), "SCL");
    EXPECT_EQ(attr(root, "xmlns"), "http://www.iec.ch/61850/2003/SCL");
    EXPECT_EQ(attr(root, "version"), "2007");
    EXPECT_EQ(attr(root, "revision"), "B");
    // Schema order: Header, Communication, IED, DataTypeTemplates.
    std::vector<std::string> top;
    for (XMLElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement())
        top.emplace_back(e->Name());
    EXPECT_EQ(top, (std::vector<std::string>{"Header", "Communication", "IED", "DataTypeTemplates"}));

    XMLElement* cap = byAttribute(root, "ConnectedAP", "iedName", "TESTIED");
    ASSERT_NE(cap, nullptr);
    EXPECT_EQ(attr(cap, "apName"), "AP1");
    std::map<std::string, std::string> address;
    for (XMLElement* pe : all(cap, "P"))
        address[attr(pe, "type")] = pe->GetText() ? pe->GetText() : "";
    EXPECT_EQ(address["IP"], "10.0.0.7");
    EXPECT_EQ(address["MMS-Port"], "4102");

    XMLElement* ied = byAttribute(root, "IED", "name", "TESTIED");
    ASSERT_NE(ied, nullptr);
    EXPECT_NE(byAttribute(ied, "AccessPoint", "name", "AP1"), nullptr);
    EXPECT_EQ(all(ied, "LDevice").size(), 1u);
    EXPECT_EQ(all(ied, "LN0").size(), 1u);
    EXPECT_EQ(all(ied, "LN").size(), 3u);
    XMLElement* conf = all(ied, "ConfDataSet").at(0);
    EXPECT_EQ(attr(conf, "max"), "1");
    EXPECT_EQ(attr(conf, "maxAttributes"), "2");
}

TEST_F(SmallModel, EqualShapesShareOneTypeAndIdsAreStableAndUnique)
{
    const std::string first = scl::sclDocument(*model);
    EXPECT_EQ(first, scl::sclDocument(*model));
    Parsed p(first);
    XMLElement* root = p.root();

    XMLElement* a = byAttribute(root, "LN", "prefix", "Sw_");
    XMLElement* b = byAttribute(root, "LN", "prefix", "Yz_");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(attr(a, "lnType"), attr(b, "lnType"));
    EXPECT_EQ(attr(a, "inst"), "12");
    EXPECT_EQ(attr(b, "inst"), "13");

    // TotW and Hz differ in one trigger option only: two DOTypes, one DAType for mag.
    XMLElement* mmxuType = byAttribute(root, "LNodeType", "lnClass", "MMXU");
    ASSERT_NE(mmxuType, nullptr);
    const std::string totW = attr(byAttribute(mmxuType, "DO", "name", "TotW"), "type");
    const std::string hz = attr(byAttribute(mmxuType, "DO", "name", "Hz"), "type");
    EXPECT_NE(totW, hz);
    XMLElement* totWType = byAttribute(root, "DOType", "id", totW);
    XMLElement* hzType = byAttribute(root, "DOType", "id", hz);
    ASSERT_TRUE(totWType && hzType);
    EXPECT_EQ(attr(byAttribute(totWType, "DA", "name", "mag"), "dupd"), "true");
    EXPECT_EQ(attr(byAttribute(hzType, "DA", "name", "mag"), "dchg"), "true");
    EXPECT_EQ(attr(byAttribute(totWType, "DA", "name", "mag"), "type"),
              attr(byAttribute(hzType, "DA", "name", "mag"), "type"));
    EXPECT_EQ(attr(byAttribute(totWType, "DA", "name", "units"), "bType"), "Struct");

    std::set<std::string> ids;
    XMLElement* templates = root->FirstChildElement("DataTypeTemplates");
    for (XMLElement* t = templates->FirstChildElement(); t; t = t->NextSiblingElement())
        EXPECT_TRUE(ids.insert(attr(t, "id")).second) << attr(t, "id");
}

TEST_F(SmallModel, DataSetsAndControlBlocksSitInTheirNodes)
{
    Parsed p(scl::sclDocument(*model));
    XMLElement* ln0 = all(p.root(), "LN0").at(0);
    XMLElement* set = byAttribute(ln0, "DataSet", "name", "Events");
    ASSERT_NE(set, nullptr);
    const auto members = all(set, "FCDA");
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(attr(members[0], "prefix"), "Sw_");
    EXPECT_EQ(attr(members[0], "lnClass"), "XSWI");
    EXPECT_EQ(attr(members[0], "lnInst"), "12");
    EXPECT_EQ(attr(members[0], "doName"), "Pos");
    EXPECT_EQ(attr(members[0], "daName"), "<none>");
    EXPECT_EQ(attr(members[0], "fc"), "ST");
    EXPECT_EQ(attr(members[1], "lnClass"), "MMXU");
    EXPECT_EQ(attr(members[1], "prefix"), "<none>");
    EXPECT_EQ(attr(members[1], "doName"), "TotW");
    EXPECT_EQ(attr(members[1], "daName"), "mag.f");

    XMLElement* rc = byAttribute(ln0, "ReportControl", "name", "urcbEvents01");
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(attr(rc, "datSet"), "Events");
    EXPECT_EQ(attr(rc, "rptID"), "LD0/Events");
    EXPECT_EQ(attr(rc, "confRev"), "3");
    EXPECT_EQ(attr(rc, "bufTime"), "50");
    EXPECT_EQ(attr(rc, "intgPd"), "1000");
    EXPECT_EQ(attr(rc, "buffered"), "false");
    XMLElement* trg = rc->FirstChildElement("TrgOps");
    EXPECT_EQ(attr(trg, "dchg"), "true");
    EXPECT_EQ(attr(trg, "gi"), "true");
    EXPECT_EQ(attr(trg, "dupd"), "false");
    XMLElement* opt = rc->FirstChildElement("OptFields");
    EXPECT_EQ(attr(opt, "seqNum"), "true");
    EXPECT_EQ(attr(opt, "dataSet"), "true");
    EXPECT_EQ(attr(opt, "timeStamp"), "false");
    EXPECT_NE(rc->FirstChildElement("RptEnabled"), nullptr);

    // The log lives in MMXU1: the log control block names that node.
    XMLElement* lc = byAttribute(ln0, "LogControl", "name", "lcb");
    ASSERT_NE(lc, nullptr);
    EXPECT_EQ(attr(lc, "logName"), "measurements");
    EXPECT_EQ(attr(lc, "lnClass"), "MMXU");
    EXPECT_EQ(attr(lc, "lnInst"), "1");
    EXPECT_EQ(attr(lc, "ldInst"), "<none>");
    EXPECT_EQ(attr(lc, "logEna"), "true");
    EXPECT_EQ(attr(lc, "reasonCode"), "false");
    EXPECT_EQ(attr(lc->FirstChildElement("TrgOps"), "dupd"), "true");
    XMLElement* mmxu = byAttribute(p.root(), "LN", "lnClass", "MMXU");
    EXPECT_NE(byAttribute(mmxu, "Log", "name", "measurements"), nullptr);
    EXPECT_EQ(byAttribute(ln0, "Log", "name", "measurements"), nullptr);
}

TEST_F(SmallModel, ClassesComeFromTheCallbackOrFromTheAttributes)
{
    Parsed inferred(scl::sclDocument(*model));
    EXPECT_NE(byAttribute(inferred.root(), "DOType", "cdc", "ENS"), nullptr);
    EXPECT_NE(byAttribute(inferred.root(), "DOType", "cdc", "MV"), nullptr);
    EXPECT_NE(byAttribute(inferred.root(), "DOType", "cdc", "LPL"), nullptr);

    scl::ExportOptions o;
    o.classify = [](const DataObject& d) -> std::optional<scl::ObjectClass> {
        if (std::string_view(d.name) == "Pos")
            return scl::ObjectClass{"DPC", "Switch_Pos"};
        return std::nullopt;
    };
    Parsed told(scl::sclDocument(*model, o));
    XMLElement* pos = byAttribute(told.root(), "DOType", "cdc", "DPC");
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(attr(pos, "id"), "Switch_Pos");
    EXPECT_EQ(attr(byAttribute(pos, "DA", "name", "stVal"), "bType"), "Dbpos");
    EXPECT_EQ(attr(byAttribute(pos, "DA", "name", "ctlModel"), "type"), "CtlModelKind");
}

TEST(SclWriterModels, SubObjectsAndMembersOutsideTheModelAreStillNamed)
{
    ModelBuilder b("IED2");
    LogicalDevice* ld = b.device("LD1");
    LogicalNode* lln0 = b.node(ld, "LLN0");
    b.object(lln0, "Beh", kEns);
    LogicalNode* mmxu = b.node(ld, "MMXU2");
    DataObject* phv = b.object(mmxu, "PhV");
    DataObject* phsA = b.object(phv, "phsA");
    b.attribute(phsA, "cVal", IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_CHANGED);
    DataSet* set = b.dataSet(lln0, "ds");
    b.dataSetEntry(set, "LD1", "MMXU2$MX$PhV$phsA$cVal");
    b.dataSetEntry(set, "LD1", "LPHD1$ST$PhyHealth");  // no such node
    b.dataSetEntry(set, "LD1", "LLN0");                // no FC, no object

    Parsed p(scl::sclDocument(*b.model()));
    const auto members = all(p.root(), "FCDA");
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(attr(members[0], "doName"), "PhV.phsA");
    EXPECT_EQ(attr(members[0], "daName"), "cVal");
    EXPECT_EQ(attr(members[1], "lnClass"), "LPHD");
    EXPECT_EQ(attr(members[1], "lnInst"), "1");
    EXPECT_EQ(attr(members[1], "doName"), "PhyHealth");
    EXPECT_EQ(attr(members[2], "lnClass"), "LLN0");
    EXPECT_EQ(attr(members[2], "doName"), "<none>");

    XMLElement* mmxuType = byAttribute(p.root(), "LNodeType", "lnClass", "MMXU");
    XMLElement* phvType = byAttribute(p.root(), "DOType", "id", attr(byAttribute(mmxuType, "DO", "name", "PhV"), "type"));
    ASSERT_NE(phvType, nullptr);
    XMLElement* sdo = byAttribute(phvType, "SDO", "name", "phsA");
    ASSERT_NE(sdo, nullptr);
    XMLElement* phsAType = byAttribute(p.root(), "DOType", "id", attr(sdo, "type"));
    ASSERT_NE(phsAType, nullptr);
    EXPECT_EQ(attr(byAttribute(phsAType, "DA", "name", "cVal"), "fc"), "MX");
}

class ServedSmallModel : public SmallModel {
protected:
    void SetUp() override { ASSERT_NE(server, nullptr); }
    void TearDown() override { IedServer_destroy(server); }

    MmsValue* value(const char* reference)
    {
        auto* a = reinterpret_cast<DataAttribute*>(IedModel_getModelNodeByObjectReference(model, reference));
        EXPECT_NE(a, nullptr) << reference;
        return a ? a->mmsValue : nullptr;
    }

    IedServer server = IedServer_create(model);
};

TEST_F(ServedSmallModel, ConfiguredValuesAreWrittenDefaultsLeftOut)
{
    MmsValue_setVisibleString(value("LD0/LLN0.NamPlt.vendor"), "A<B> & \"C\"\x01 f\xC3\xBCr \xFF");
    MmsValue_setInt32(value("LD0/LLN0.Beh.stVal"), 1);  // ST: a state, not configuration
    MmsValue_setInt32(value("LD0/Sw_XSWI12.Pos.ctlModel"), 1);
    MmsValue_setInt32(value("LD0/Yz_XSWI13.Pos.ctlModel"), 9);  // no literal of CtlModelKind
    MmsValue_setInt32(value("LD0/MMXU1.TotW.units.SIUnit"), 38);
    MmsValue_setInt32(value("LD0/MMXU1.TotW.units.multiplier"), 3);
    MmsValue_setUint32(value("LD0/MMXU1.TotW.db"), 1000);

    Parsed p(scl::sclDocument(*model));
    XMLElement* root = p.root();
    XMLElement* ln0 = all(root, "LN0").at(0);
    XMLElement* plate = byAttribute(ln0, "DOI", "name", "NamPlt");
    ASSERT_NE(plate, nullptr);
    XMLElement* vendor = byAttribute(plate, "DAI", "name", "vendor");
    ASSERT_NE(vendor, nullptr);
    EXPECT_STREQ(vendor->FirstChildElement("Val")->GetText(), "A<B> & \"C\" f\xC3\xBCr ?");
    EXPECT_EQ(byAttribute(plate, "DAI", "name", "d"), nullptr) << "an empty string is the default";
    EXPECT_EQ(byAttribute(ln0, "DOI", "name", "Beh"), nullptr);

    auto valueOf = [&](const char* prefix, const char* object, const char* attribute) -> std::string {
        XMLElement* ln = byAttribute(root, "LN", "prefix", prefix);
        XMLElement* doi = byAttribute(ln ? ln : root, "DOI", "name", object);
        XMLElement* dai = doi ? byAttribute(doi, "DAI", "name", attribute) : nullptr;
        const XMLElement* val = dai ? dai->FirstChildElement("Val") : nullptr;
        return val && val->GetText() ? val->GetText() : "<none>";
    };
    EXPECT_EQ(valueOf("Sw_", "Pos", "ctlModel"), "direct-with-normal-security");
    EXPECT_EQ(valueOf("Yz_", "Pos", "ctlModel"), "9");
    XMLElement* totW = byAttribute(byAttribute(root, "LN", "lnClass", "MMXU"), "DOI", "name", "TotW");
    ASSERT_NE(totW, nullptr);
    XMLElement* units = byAttribute(totW, "SDI", "name", "units");
    ASSERT_NE(units, nullptr);
    EXPECT_STREQ(byAttribute(units, "DAI", "name", "SIUnit")->FirstChildElement("Val")->GetText(), "W");
    EXPECT_STREQ(byAttribute(units, "DAI", "name", "multiplier")->FirstChildElement("Val")->GetText(), "k");
    EXPECT_STREQ(byAttribute(totW, "DAI", "name", "db")->FirstChildElement("Val")->GetText(), "1000");
    EXPECT_EQ(byAttribute(root, "DOI", "name", "Hz"), nullptr);

    // The ordinal without a literal became one, so the value reads back.
    XMLElement* kind = byAttribute(root, "EnumType", "id", "CtlModelKind");
    ASSERT_NE(kind, nullptr);
    XMLElement* nine = byAttribute(kind, "EnumVal", "ord", "9");
    ASSERT_NE(nine, nullptr);
    EXPECT_STREQ(nine->GetText(), "9");

    scl::ExportOptions none;
    none.values = false;
    Parsed bare(scl::sclDocument(*model, none));
    EXPECT_TRUE(all(bare.root(), "DOI").empty());
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

}  // namespace
