// The box's SCL file as scl-export writes it: well-formed, closed over its
// types, every name and reference resolving in the served model, and the
// same names a client reads from a server on the model over TCP.
#include "box_classes.hpp"
#include "box_model.hpp"

#include "child_process.hpp"
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/scl/scl_export.hpp"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using testsupport::ChildProcess;
using testsupport::TempDir;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

std::vector<XMLElement*> children(XMLElement* parent, const char* name)
{
    std::vector<XMLElement*> found;
    for (XMLElement* e = parent ? parent->FirstChildElement(name) : nullptr; e; e = e->NextSiblingElement(name))
        found.push_back(e);
    return found;
}

std::vector<XMLElement*> all(XMLElement* parent, const char* name)
{
    std::vector<XMLElement*> found;
    for (XMLElement* e = parent ? parent->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
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
    return v ? v : "";
}

XMLElement* byAttribute(XMLElement* parent, const char* element, const char* name, const std::string& value)
{
    for (XMLElement* e : all(parent, element))
        if (attr(e, name) == value)
            return e;
    return nullptr;
}

std::string lnName(const XMLElement* ln, const char* instAttribute = "inst")
{
    return attr(ln, "prefix") + attr(ln, "lnClass") + attr(ln, instAttribute);
}

std::optional<int> run(const std::vector<std::string>& args, ChildProcess** keep = nullptr)
{
    static std::vector<std::unique_ptr<ChildProcess>> processes;
    processes.push_back(std::make_unique<ChildProcess>(SCL_EXPORT_PROGRAM, args));
    if (keep)
        *keep = processes.back().get();
    return processes.back()->waitForExit(std::chrono::seconds(40));
}

class BoxScl : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir;
        path = dir->path() + "/box.icd";
        exitStatus = run({path});
        if (exitStatus == 0)
            doc.LoadFile(path.c_str());
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override
    {
        ASSERT_EQ(exitStatus, 0);
        ASSERT_EQ(doc.ErrorID(), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
        root = doc.RootElement();
        ASSERT_NE(root, nullptr);
        templates = root->FirstChildElement("DataTypeTemplates");
        ASSERT_NE(templates, nullptr);
        server = root->FirstChildElement("IED")->FirstChildElement("AccessPoint")->FirstChildElement("Server");
        ASSERT_NE(server, nullptr);
    }

    std::map<std::string, XMLElement*> types(const char* element)
    {
        std::map<std::string, XMLElement*> byId;
        for (XMLElement* t : children(templates, element))
            byId.emplace(attr(t, "id"), t);
        return byId;
    }

    // Every node as (LD, LN name) with its element.
    std::vector<std::pair<std::string, XMLElement*>> nodes()
    {
        std::vector<std::pair<std::string, XMLElement*>> list;
        for (XMLElement* ld : children(server, "LDevice")) {
            for (XMLElement* ln = ld->FirstChildElement(); ln; ln = ln->NextSiblingElement())
                if (std::string_view(ln->Name()) == "LN0" || std::string_view(ln->Name()) == "LN")
                    list.emplace_back(attr(ld, "inst"), ln);
        }
        return list;
    }

    static inline TempDir* dir = nullptr;
    static inline std::string path;
    static inline std::optional<int> exitStatus;
    static inline XMLDocument doc;
    XMLElement* root = nullptr;
    XMLElement* templates = nullptr;
    XMLElement* server = nullptr;
};

std::optional<int> xmllint(const std::vector<std::string>& args, std::string* errors = nullptr)
{
    ChildProcess p(XMLLINT_PROGRAM, args);
    auto status = p.waitForExit(std::chrono::seconds(40));
    if (errors)
        *errors = p.errorOutput();
    return status;
}

// Well-formed, and valid against our schema of the exported structure:
// element order, required attributes, name patterns, type references.
TEST_F(BoxScl, XmllintFindsTheFileWellFormedAndStructured)
{
    if (std::string(XMLLINT_PROGRAM).empty())
        GTEST_SKIP() << "xmllint is not installed";
    std::string errors;
    EXPECT_EQ(xmllint({"--noout", path}, &errors), 0) << errors;
    EXPECT_EQ(xmllint({"--noout", "--schema", SCL_STRUCTURE_XSD, path}, &errors), 0) << errors;

    // The schema does reject a file whose node names a type that is not there.
    std::string text = testsupport::readFile(path);
    const std::string type = "lnType=\"LLN0\"";
    const std::size_t at = text.find(type);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, type.size(), "lnType=\"LLNX\"");
    const std::string broken = dir->path() + "/broken.icd";
    std::ofstream(broken) << text;
    EXPECT_NE(xmllint({"--noout", "--schema", SCL_STRUCTURE_XSD, broken}, &errors), 0);
    EXPECT_NE(errors.find("lnType"), std::string::npos) << errors;
}

TEST_F(BoxScl, HoldsTheDevicesNodesDataSetsAndControlBlocksOfTheModel)
{
    EXPECT_EQ(attr(root->FirstChildElement("IED"), "name"), "FNN_STEUERBOX");
    EXPECT_EQ(attr(root->FirstChildElement("IED")->FirstChildElement("AccessPoint"), "name"), "AP1");
    std::vector<std::string> devices;
    for (XMLElement* ld : children(server, "LDevice"))
        devices.push_back(attr(ld, "inst"));
    EXPECT_EQ(devices, (std::vector<std::string>{"STB", "CLS1", "CLS2"}));
    EXPECT_EQ(nodes().size(), 80u);
    EXPECT_EQ(all(server, "LN0").size(), 3u);
    EXPECT_EQ(all(server, "DataSet").size(), 4u);
    EXPECT_EQ(all(server, "ReportControl").size(), 6u);
    EXPECT_EQ(all(server, "LogControl").size(), 4u);
    EXPECT_EQ(all(server, "Log").size(), 4u);

    std::vector<std::size_t> members;
    for (XMLElement* set : all(server, "DataSet"))
        members.push_back(all(set, "FCDA").size());
    EXPECT_EQ(members, (std::vector<std::size_t>{26, 4, 63, 63}));

    XMLElement* port = byAttribute(root->FirstChildElement("Communication"), "P", "type", "MMS-Port");
    ASSERT_NE(port, nullptr);
    EXPECT_STREQ(port->GetText(), "4102");
}

TEST_F(BoxScl, EveryTypeIsDefinedOnceAndUsed)
{
    std::set<std::string> allIds;
    std::map<std::string, std::set<std::string>> defined;
    for (const char* kind : {"LNodeType", "DOType", "DAType", "EnumType"})
        for (XMLElement* t : children(templates, kind)) {
            EXPECT_TRUE(allIds.insert(attr(t, "id")).second) << "duplicate id " << attr(t, "id");
            defined[kind].insert(attr(t, "id"));
        }
    std::map<std::string, std::set<std::string>> used;
    for (auto& [ld, ln] : nodes())
        used["LNodeType"].insert(attr(ln, "lnType"));
    for (XMLElement* t : children(templates, "LNodeType"))
        for (XMLElement* d : children(t, "DO"))
            used["DOType"].insert(attr(d, "type"));
    for (XMLElement* t : children(templates, "DOType"))
        for (XMLElement* s : children(t, "SDO"))
            used["DOType"].insert(attr(s, "type"));
    auto attributeTypes = [&](XMLElement* a) {
        const std::string bType = attr(a, "bType");
        if (bType == "Struct")
            used["DAType"].insert(attr(a, "type"));
        else if (bType == "Enum")
            used["EnumType"].insert(attr(a, "type"));
        else
            EXPECT_EQ(a->Attribute("type"), nullptr) << attr(a, "name") << " of bType " << bType;
    };
    for (XMLElement* t : children(templates, "DOType"))
        for (XMLElement* a : children(t, "DA"))
            attributeTypes(a);
    for (XMLElement* t : children(templates, "DAType"))
        for (XMLElement* a : children(t, "BDA"))
            attributeTypes(a);
    for (const char* kind : {"LNodeType", "DOType", "DAType", "EnumType"})
        EXPECT_EQ(used[kind], defined[kind]) << kind;

    for (XMLElement* e : children(templates, "EnumType")) {
        std::set<std::string> ords, texts;
        for (XMLElement* v : children(e, "EnumVal")) {
            EXPECT_TRUE(ords.insert(attr(v, "ord")).second) << attr(e, "id");
            EXPECT_TRUE(texts.insert(v->GetText() ? v->GetText() : "").second) << attr(e, "id");
        }
        EXPECT_FALSE(ords.empty()) << attr(e, "id");
    }
}

TEST_F(BoxScl, NamesFollowTheSclPatterns)
{
    const std::regex ldInst("[A-Za-z0-9][0-9A-Za-z_]{0,63}");
    const std::regex prefix("[A-Za-z][0-9A-Za-z_]{0,10}");
    const std::regex lnClass("[A-Z]{4}");
    const std::regex inst("[0-9]{1,12}");
    const std::regex doName("[A-Z][0-9A-Za-z]{0,11}");
    const std::regex daName("[A-Za-z][0-9A-Za-z]{0,59}");
    const std::regex blockName("[A-Za-z][0-9A-Za-z_]{0,31}");
    const std::regex id("[^\\s]{1,255}");
    const std::set<std::string> fcs{"ST", "MX", "SP", "CF", "DC", "EX", "CO"};

    for (XMLElement* ld : children(server, "LDevice"))
        EXPECT_TRUE(std::regex_match(attr(ld, "inst"), ldInst)) << attr(ld, "inst");
    for (auto& [ld, ln] : nodes()) {
        if (std::string_view(ln->Name()) == "LN0") {
            EXPECT_EQ(attr(ln, "lnClass"), "LLN0");
            EXPECT_EQ(attr(ln, "inst"), "");
            continue;
        }
        EXPECT_TRUE(std::regex_match(attr(ln, "lnClass"), lnClass)) << lnName(ln);
        if (ln->Attribute("prefix")) {
            EXPECT_TRUE(std::regex_match(attr(ln, "prefix"), prefix)) << lnName(ln);
        }
        // The model's physical-device node is LPHD without an instance; the
        // file names it as served rather than as an LPHD1 no client could read.
        if (lnName(ln) == "LPHD") {
            EXPECT_EQ(ld, "STB");
        } else {
            EXPECT_TRUE(std::regex_match(attr(ln, "inst"), inst)) << lnName(ln);
        }
    }
    for (XMLElement* d : all(templates, "DO"))
        EXPECT_TRUE(std::regex_match(attr(d, "name"), doName)) << attr(d, "name");
    for (const char* element : {"DA", "BDA"})
        for (XMLElement* a : all(templates, element))
            EXPECT_TRUE(std::regex_match(attr(a, "name"), daName)) << attr(a, "name");
    for (XMLElement* a : all(templates, "DA"))
        EXPECT_TRUE(fcs.contains(attr(a, "fc"))) << attr(a, "name") << " " << attr(a, "fc");
    for (const char* element : {"DataSet", "ReportControl", "LogControl", "Log"})
        for (XMLElement* e : all(server, element))
            EXPECT_TRUE(std::regex_match(attr(e, "name"), blockName)) << attr(e, "name");
    for (XMLElement* t = templates->FirstChildElement(); t; t = t->NextSiblingElement())
        EXPECT_TRUE(std::regex_match(attr(t, "id"), id)) << attr(t, "id");
}

TEST_F(BoxScl, DataSetMembersResolveInTheModel)
{
    IedModel* model = box::staticModel();
    for (XMLElement* f : all(server, "FCDA")) {
        const std::string ln = lnName(f, "lnInst");
        LogicalDevice* ld = IedModel_getDeviceByInst(model, attr(f, "ldInst").c_str());
        ASSERT_NE(ld, nullptr) << attr(f, "ldInst");
        LogicalNode* node = LogicalDevice_getLogicalNode(ld, ln.c_str());
        ASSERT_NE(node, nullptr) << ln;
        std::string path = attr(f, "doName");
        if (f->Attribute("daName"))
            path += "." + attr(f, "daName");
        const FunctionalConstraint fc = FunctionalConstraint_fromString(attr(f, "fc").c_str());
        ASSERT_NE(fc, IEC61850_FC_NONE) << attr(f, "fc");
        ModelNode* object = ModelNode_getChild(node, attr(f, "doName").c_str());
        ASSERT_NE(object, nullptr) << ln << "." << path;
        bool hasFc = false;
        for (ModelNode* a = object->firstChild; a; a = a->sibling)
            hasFc = hasFc || static_cast<DataAttribute*>(a)->fc == fc;
        EXPECT_TRUE(hasFc) << ln << "." << path << " has nothing of FC " << attr(f, "fc");
    }
}

TEST_F(BoxScl, ControlBlocksNameTheirDataSetsAndLogs)
{
    const IedModel* model = box::staticModel();
    int reports = 0;
    for (const ReportControlBlock* r = model->rcbs; r; r = r->sibling, ++reports) {
        XMLElement* ld = byAttribute(server, "LDevice", "inst", static_cast<ModelNode*>(r->parent)->parent->name);
        XMLElement* rc = byAttribute(ld, "ReportControl", "name", r->name);
        ASSERT_NE(rc, nullptr) << r->name;
        EXPECT_NE(byAttribute(ld->FirstChildElement("LN0"), "DataSet", "name", attr(rc, "datSet")), nullptr);
        EXPECT_EQ(attr(rc, "rptID"), r->rptId);
        const bool cls = std::string_view(ld->Attribute("inst")).starts_with("CLS");
        XMLElement* trg = rc->FirstChildElement("TrgOps");
        EXPECT_EQ(attr(trg, "dchg"), "true");
        EXPECT_EQ(attr(trg, "qchg"), "true");
        EXPECT_EQ(attr(trg, "gi"), "true");
        EXPECT_EQ(attr(trg, "dupd"), cls ? "true" : "false");
        XMLElement* opt = rc->FirstChildElement("OptFields");
        for (const char* on : {"timeStamp", "reasonCode", "dataSet", "configRef"})
            EXPECT_EQ(attr(opt, on), "true") << on;
        for (const char* off : {"seqNum", "dataRef", "entryID", "bufOvfl"})
            EXPECT_EQ(attr(opt, off), "false") << off;
    }
    EXPECT_EQ(reports, 6);
    for (XMLElement* lc : all(server, "LogControl")) {
        XMLElement* ln0 = lc->Parent()->ToElement();
        EXPECT_EQ(lc->Attribute("lnClass"), nullptr) << "every log sits beside its control block";
        EXPECT_NE(byAttribute(ln0, "DataSet", "name", attr(lc, "datSet")), nullptr) << attr(lc, "name");
        EXPECT_NE(byAttribute(ln0, "Log", "name", attr(lc, "logName")), nullptr) << attr(lc, "name");
    }
}

// (path below the node, fc, basic type, triggers) of every attribute, from
// the model and from the SCL's types.
using Leaf = std::tuple<std::string, std::string, std::string, int>;

void modelLeaves(const ModelNode* first, const std::string& prefix, std::vector<Leaf>& out)
{
    for (const ModelNode* n = first; n; n = n->sibling) {
        const std::string path = prefix + n->name;
        if (n->modelType == DataAttributeModelType) {
            const auto* a = static_cast<const DataAttribute*>(n);
            const bool component = a->parent->modelType == DataAttributeModelType;
            const char* fc = FunctionalConstraint_toString(a->fc);
            out.emplace_back(path, fc ? fc : "", std::string(scl::basicType(a->type)),
                             component ? 0 : a->triggerOptions);
        }
        modelLeaves(n->firstChild, path + ".", out);
    }
}

TEST_F(BoxScl, TypesExpandToExactlyTheModelsTree)
{
    auto lnTypes = types("LNodeType");
    auto doTypes = types("DOType");
    auto daTypes = types("DAType");
    std::function<void(XMLElement*, const std::string&, const std::string&, std::vector<Leaf>&)> structLeaves =
        [&](XMLElement* type, const std::string& prefix, const std::string& fc, std::vector<Leaf>& out) {
            for (XMLElement* b : children(type, "BDA")) {
                const std::string path = prefix + attr(b, "name");
                out.emplace_back(path, fc, attr(b, "bType"), 0);
                if (attr(b, "bType") == "Struct")
                    structLeaves(daTypes.at(attr(b, "type")), path + ".", fc, out);
            }
        };
    IedModel* model = box::staticModel();
    for (auto& [ldInst, ln] : nodes()) {
        const std::string name = lnName(ln);
        std::vector<Leaf> fromScl;
        for (XMLElement* d : children(lnTypes.at(attr(ln, "lnType")), "DO")) {
            for (XMLElement* a : children(doTypes.at(attr(d, "type")), "DA")) {
                const std::string path = attr(d, "name") + "." + attr(a, "name");
                const int trg = (attr(a, "dchg") == "true" ? TRG_OPT_DATA_CHANGED : 0) |
                                (attr(a, "qchg") == "true" ? TRG_OPT_QUALITY_CHANGED : 0) |
                                (attr(a, "dupd") == "true" ? TRG_OPT_DATA_UPDATE : 0);
                fromScl.emplace_back(path, attr(a, "fc"), attr(a, "bType"), trg);
                if (attr(a, "bType") == "Struct")
                    structLeaves(daTypes.at(attr(a, "type")), path + ".", attr(a, "fc"), fromScl);
            }
        }
        LogicalNode* node = LogicalDevice_getLogicalNode(IedModel_getDeviceByInst(model, ldInst.c_str()),
                                                         name.c_str());
        ASSERT_NE(node, nullptr) << ldInst << "/" << name;
        std::vector<Leaf> fromModel;
        modelLeaves(node->firstChild, "", fromModel);
        ASSERT_EQ(fromScl, fromModel) << ldInst << "/" << name;
    }
}

TEST_F(BoxScl, EveryDataObjectHasTheClassOfItsShape)
{
    int objects = 0;
    for (LogicalDevice* ld = box::staticModel()->firstChild; ld; ld = static_cast<LogicalDevice*>(ld->sibling))
        for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling)
            for (ModelNode* o = ln->firstChild; o; o = o->sibling, ++objects)
                EXPECT_TRUE(box::classOfObject(*static_cast<DataObject*>(o))) << ld->name << "/" << ln->name
                                                                               << "." << o->name;
    EXPECT_EQ(objects, 4627);

    auto classOf = [&](const char* ld, const char* lnInst, const char* object) {
        XMLElement* ldev = byAttribute(server, "LDevice", "inst", ld);
        for (XMLElement* ln = ldev->FirstChildElement(); ln; ln = ln->NextSiblingElement())
            if (lnName(ln) == lnInst) {
                XMLElement* type = byAttribute(templates, "LNodeType", "id", attr(ln, "lnType"));
                XMLElement* d = byAttribute(type, "DO", "name", object);
                XMLElement* t = byAttribute(templates, "DOType", "id", attr(d, "type"));
                return attr(t, "cdc") + " " + attr(t, "id");
            }
        return std::string("none");
    };
    EXPECT_EQ(classOf("CLS1", "SysRes_FSCH010001", "EnaReq"), "SPC SPC_st");
    EXPECT_EQ(classOf("CLS1", "EmpSPrg_FSCH020001", "EnaReq"), "SPC SPC");
    EXPECT_EQ(classOf("CLS2", "EmpWCmd_FSCH030001", "StrTm05"), "TSG TSG_tm");
    EXPECT_EQ(classOf("CLS2", "MMXU001", "TotW"), "MV MV_db");
    EXPECT_EQ(classOf("STB", "LDMS1", "UpdInst"), "SPC SPC_tm");
    EXPECT_EQ(classOf("STB", "LLN0", "Mod"), "ENC ENC_st_BehaviourMode");
    EXPECT_EQ(classOf("CLS1", "ActPow_FSCC001", "Schd026"), "ORG ORG");
    EXPECT_EQ(classOf("CLS1", "EmpSPrg_FSCH020001", "SchdSt"), "ENS ENS_ScheduleState");
}

TEST_F(BoxScl, StartValuesAreTheConfiguredValues)
{
    auto value = [&](const char* ld, const char* ln, const std::vector<const char*>& path) -> std::string {
        XMLElement* ldev = byAttribute(server, "LDevice", "inst", ld);
        XMLElement* node = nullptr;
        for (XMLElement* e = ldev->FirstChildElement(); e && !node; e = e->NextSiblingElement())
            if (lnName(e) == ln || (std::string_view(ln) == "LLN0" && std::string_view(e->Name()) == "LN0"))
                node = e;
        XMLElement* at = node;
        for (std::size_t i = 0; at && i < path.size(); ++i) {
            const char* element = i == 0 ? "DOI" : i + 1 == path.size() ? "DAI" : "SDI";
            XMLElement* next = nullptr;
            for (XMLElement* c : children(at, element))
                if (attr(c, "name") == path[i])
                    next = c;
            at = next;
        }
        XMLElement* val = at ? at->FirstChildElement("Val") : nullptr;
        return val && val->GetText() ? val->GetText() : "<none>";
    };
    EXPECT_EQ(value("CLS2", "ActPow_FSCC001", {"Schd022", "setSrcRef"}), "@CLS2/SysComEr_FSCH220001");
    EXPECT_EQ(value("CLS1", "ActPow_FSCC001", {"CtlEnt", "setSrcRef"}), "@CLS1/ActPow_GGIO001.AnOut1.mxVal.f");
    EXPECT_EQ(value("STB", "LLN0", {"NamPlt", "d"}), "Admin-Modell f\xC3\xBCr die Steuerbox nach LH V1.2 vom 2020-xx-xx.");
    EXPECT_EQ(value("STB", "LPHD", {"PhyNam", "serNum"}), "13377331");
    EXPECT_EQ(value("CLS1", "MMXU001", {"TotW", "db"}), "1000");
    EXPECT_EQ(value("CLS1", "MMXU001", {"TotW", "dbRef"}), "100");
    EXPECT_EQ(value("CLS1", "FailSafe_GGIO001", {"FailDurSet", "maxVal", "f"}), "86400");
    EXPECT_EQ(value("CLS1", "FailSafe_GGIO001", {"FailDurSet", "units", "SIUnit"}), "s");
    EXPECT_EQ(value("CLS2", "EmpSPrg_FSCH020101", {"ValASG300", "units", "SIUnit"}), "W");
    EXPECT_EQ(value("CLS2", "EmpSPrg_FSCH020101", {"ValASG300", "units", "multiplier"}), "k");
    EXPECT_EQ(value("CLS2", "EmpSPrg_FSCH020102", {"NumEntr", "setVal"}), "300");
    EXPECT_EQ(value("CLS2", "EmpSPrg_FSCH020102", {"SchdPrio", "setVal"}), "20");
    EXPECT_EQ(value("CLS1", "EmpSPrg_FSCH020001", {"EnaReq", "ctlModel"}), "direct-with-normal-security");
    EXPECT_EQ(value("CLS1", "SysComEr_FSCH220001", {"SchdReuse", "setVal"}), "true");
    EXPECT_EQ(value("CLS1", "SysRes_FSCH010001", {"StrTm16", "setCal", "occType"}), "5");
    EXPECT_EQ(value("CLS1", "SysRes_FSCH010001", {"SchdIntv", "setVal"}), "<none>");  // 0, the default
    EXPECT_EQ(value("CLS1", "LLN0", {"Beh", "stVal"}), "<none>");                   // a state, not a setting
}

// The names a client lists for a node's data, made from the SCL.
void mmsNames(XMLElement* ln, std::map<std::string, XMLElement*>& doTypes,
              std::map<std::string, XMLElement*>& daTypes, XMLElement* lnType, std::set<std::string>& out)
{
    const std::string name = lnName(ln);
    out.insert(name);
    std::function<void(XMLElement*, const std::string&, std::set<std::string>&)> components =
        [&](XMLElement* type, const std::string& prefix, std::set<std::string>& names) {
            for (XMLElement* b : children(type, "BDA")) {
                names.insert(prefix + "$" + attr(b, "name"));
                if (attr(b, "bType") == "Struct")
                    components(daTypes.at(attr(b, "type")), prefix + "$" + attr(b, "name"), names);
            }
        };
    for (XMLElement* d : children(lnType, "DO"))
        for (XMLElement* a : children(doTypes.at(attr(d, "type")), "DA")) {
            const std::string fc = name + "$" + attr(a, "fc");
            const std::string object = fc + "$" + attr(d, "name");
            out.insert({fc, object, object + "$" + attr(a, "name")});
            if (attr(a, "bType") == "Struct")
                components(daTypes.at(attr(a, "type")), object + "$" + attr(a, "name"), out);
        }
}

TEST_F(BoxScl, AClientOverTcpListsTheSameNames)
{
    IedServer served = IedServer_create(box::staticModel());
    ASSERT_NE(served, nullptr);
    IedServer_setLocalIpAddress(served, "127.0.0.1");
    IedServer_start(served, 0);
    ASSERT_TRUE(IedServer_isRunning(served));
    client::MmsConnection connection;
    client::ConnectOptions o;
    o.port = static_cast<std::uint16_t>(IedServer_getPort(served));
    ASSERT_TRUE(connection.connect(o).ok());

    auto doTypes = types("DOType");
    auto daTypes = types("DAType");
    auto lnTypes = types("LNodeType");
    const std::set<std::string> dataFcs{"ST", "MX", "SP", "CF", "DC", "EX", "CO"};
    for (XMLElement* ld : children(server, "LDevice")) {
        const std::string domain = "FNN_STEUERBOX" + attr(ld, "inst");
        std::set<std::string> expected, blocks, sets, logs;
        for (XMLElement* ln = ld->FirstChildElement(); ln; ln = ln->NextSiblingElement()) {
            if (!ln->Attribute("lnType"))
                continue;
            mmsNames(ln, doTypes, daTypes, lnTypes.at(attr(ln, "lnType")), expected);
            for (XMLElement* rc : children(ln, "ReportControl"))
                blocks.insert(lnName(ln) + "$" + (attr(rc, "buffered") == "true" ? "BR$" : "RP$") + attr(rc, "name"));
            for (XMLElement* lc : children(ln, "LogControl"))
                blocks.insert(lnName(ln) + "$LG$" + attr(lc, "name"));
            for (XMLElement* s : children(ln, "DataSet"))
                sets.insert(lnName(ln) + "$" + attr(s, "name"));
            for (XMLElement* l : children(ln, "Log"))
                logs.insert(lnName(ln) + "$" + attr(l, "name"));
        }
        auto names = connection.variableNames(domain);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        std::set<std::string> data, listedBlocks;
        for (const std::string& n : *names) {
            const std::size_t first = n.find('$');
            const std::string fc = first == std::string::npos ? "" : n.substr(first + 1, 2);
            const std::size_t third = n.find('$', first + 4);
            if (first == std::string::npos || dataFcs.contains(fc))
                data.insert(n);
            else if (n.size() > first + 3 && third == std::string::npos)
                listedBlocks.insert(n);
        }
        EXPECT_GT(data.size(), 500u) << domain;
        EXPECT_EQ(data, expected) << domain;
        EXPECT_FALSE(blocks.empty()) << domain;
        EXPECT_EQ(listedBlocks, blocks) << domain;

        auto lists = connection.variableListNames(domain);
        ASSERT_TRUE(lists.ok());
        EXPECT_EQ(std::set<std::string>(lists->begin(), lists->end()), sets) << domain;
        auto journals = connection.journalNames(domain);
        ASSERT_TRUE(journals.ok());
        EXPECT_EQ(std::set<std::string>(journals->begin(), journals->end()), logs) << domain;
    }
    connection.close();
    IedServer_stop(served);
    IedServer_destroy(served);
}

TEST(SclExportProgram, WritesToStandardOutputAndReportsFailures)
{
    ChildProcess* p = nullptr;
    ASSERT_EQ(run({"--no-values", "--ip", "192.168.7.9", "-"}, &p), 0) << p->errorOutput();
    const std::string out = p->output();
    XMLDocument d;
    ASSERT_EQ(d.Parse(out.c_str(), out.size()), tinyxml2::XML_SUCCESS);
    EXPECT_TRUE(all(d.RootElement(), "DOI").empty());
    EXPECT_NE(byAttribute(d.RootElement(), "P", "type", "IP"), nullptr);
    EXPECT_STREQ(byAttribute(d.RootElement(), "P", "type", "IP")->GetText(), "192.168.7.9");

    EXPECT_EQ(run({"/nonexistent-directory/box.icd"}, &p), 1);
    EXPECT_NE(p->errorOutput().find("cannot write /nonexistent-directory/box.icd"), std::string::npos)
        << p->errorOutput();
    EXPECT_EQ(run({"--frobnicate"}, &p), 2);
    EXPECT_NE(p->errorOutput().find("usage: scl-export"), std::string::npos);
    EXPECT_EQ(run({"a.icd", "b.icd"}, &p), 2);
    EXPECT_EQ(run({"--help"}, &p), 0);
    EXPECT_NE(p->output().find("usage: scl-export"), std::string::npos);
}

}  // namespace
