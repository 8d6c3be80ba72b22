// The box's SCL file as scl-export writes it: valid against our structural
// schema, closed over its types, every reference resolving in the served
// model, and the same names a client reads from a server on the model over TCP.
#include "box_classes.hpp"
#include "box_model.hpp"
#include "scl_xml.hpp"

#include "child_process.hpp"
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/scl/scl_export.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace iec61850;
using namespace scltest;
using testsupport::TempDir;

using testsupport::Finished;

Finished runProgram(const std::string& program, const std::vector<std::string>& args)
{
    return testsupport::runToEnd(program, args, {}, std::chrono::seconds(40));
}

// (path below the node, fc, basic type, triggers) of every attribute and component.
using Leaf = std::tuple<std::string, std::string, std::string, int>;

void modelLeaves(const ModelNode* first, const std::string& prefix, std::vector<Leaf>& out)
{
    for (const ModelNode* n = first; n; n = n->sibling) {
        const std::string path = prefix + n->name;
        if (n->modelType == DataAttributeModelType) {
            const auto* a = static_cast<const DataAttribute*>(n);
            const bool component = a->parent->modelType == DataAttributeModelType;
            const char* fc = FunctionalConstraint_toString(a->fc);
            out.emplace_back(path, fc ? fc : "", std::string(scl::basicType(a->type)), component ? 0 : a->triggerOptions);
        }
        modelLeaves(n->firstChild, path + ".", out);
    }
}

class BoxScl : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir;
        path = dir->path() + "/box.icd";
        exported = runProgram(SCL_EXPORT_PROGRAM, {path});
        if (exported.status == 0)
            doc.LoadFile(path.c_str());
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override
    {
        ASSERT_EQ(exported.status, 0) << exported.err;
        ASSERT_EQ(doc.ErrorID(), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
        root = doc.RootElement();
        templates = root->FirstChildElement("DataTypeTemplates");
        server = root->FirstChildElement("IED")->FirstChildElement("AccessPoint")->FirstChildElement("Server");
        ASSERT_TRUE(templates && server);
        for (XMLElement* t = templates->FirstChildElement(); t; t = t->NextSiblingElement())
            types[t->Name()].emplace(attr(t, "id"), t);
    }

    // Every node as (LD inst, node element).
    std::vector<std::pair<std::string, XMLElement*>> nodes()
    {
        std::vector<std::pair<std::string, XMLElement*>> list;
        for (XMLElement* ld : children(server, "LDevice"))
            for (XMLElement* ln = ld->FirstChildElement(); ln; ln = ln->NextSiblingElement())
                if (ln->Attribute("lnType"))
                    list.emplace_back(attr(ld, "inst"), ln);
        return list;
    }

    std::vector<Leaf> sclLeaves(XMLElement* ln)
    {
        std::vector<Leaf> out;
        std::function<void(XMLElement*, const char*, const std::string&, const std::string&)> expand =
            [&](XMLElement* type, const char* element, const std::string& prefix, const std::string& fc) {
                for (XMLElement* a : children(type, element)) {
                    const std::string path = prefix + attr(a, "name");
                    const std::string ownFc = fc.empty() ? attr(a, "fc") : fc;
                    const int trg = (attr(a, "dchg") == "true" ? TRG_OPT_DATA_CHANGED : 0) |
                                    (attr(a, "qchg") == "true" ? TRG_OPT_QUALITY_CHANGED : 0) |
                                    (attr(a, "dupd") == "true" ? TRG_OPT_DATA_UPDATE : 0);
                    out.emplace_back(path, ownFc, attr(a, "bType"), trg);
                    if (attr(a, "bType") == "Struct")
                        expand(types["DAType"].at(attr(a, "type")), "BDA", path + ".", ownFc);
                }
            };
        for (XMLElement* d : children(types["LNodeType"].at(attr(ln, "lnType")), "DO"))
            expand(types["DOType"].at(attr(d, "type")), "DA", attr(d, "name") + ".", "");
        return out;
    }

    static inline TempDir* dir = nullptr;
    static inline std::string path;
    static inline Finished exported;
    static inline tinyxml2::XMLDocument doc;
    XMLElement* root = nullptr;
    XMLElement* templates = nullptr;
    XMLElement* server = nullptr;
    std::map<std::string, std::map<std::string, XMLElement*>> types;  // element name -> id -> type
};

// The whole file as it was reviewed: devices, nodes, types, data sets, control blocks,
// communication and start values. After an intended change, write it anew with
//   build/src/scl-export/scl-export tests/data/scl-export/box.icd
TEST_F(BoxScl, IsTheReviewedFile)
{
    std::istringstream actual(testsupport::readFile(path)), expected(testsupport::readFile(SCL_REVIEWED_FILE));
    int line = 1;
    for (std::string a, e; std::getline(expected, e); ++line)
        if (!std::getline(actual, a) || a != e)
            return ADD_FAILURE() << "box.icd line " << line << ": expected\n" << e << "\nwritten\n" << a;
    EXPECT_TRUE(actual.peek() == EOF) << "box.icd has more than " << line - 1 << " lines";
}

// The schema checks element order, required attributes, name patterns, unique
// ids and that node and data object types resolve.
TEST_F(BoxScl, XmllintFindsTheFileWellFormedAndStructured)
{
    if (std::string(XMLLINT_PROGRAM).empty())
        GTEST_SKIP() << "xmllint is not installed";
    Finished lint = runProgram(XMLLINT_PROGRAM, {"--noout", "--schema", SCL_STRUCTURE_XSD, path});
    EXPECT_EQ(lint.status, 0) << lint.err;

    // It does reject a file whose node names a type that is not there.
    std::string text = testsupport::readFile(path);
    text.replace(text.find("lnType=\"LLN0\""), 13, "lnType=\"LLNX\"");
    const std::string broken = dir->path() + "/broken.icd";
    std::ofstream(broken) << text;
    lint = runProgram(XMLLINT_PROGRAM, {"--noout", "--schema", SCL_STRUCTURE_XSD, broken});
    EXPECT_NE(lint.status, 0);
    EXPECT_NE(lint.err.find("lnType"), std::string::npos) << lint.err;
}

TEST_F(BoxScl, EveryTypeIsUsedAndEveryAttributeTypeResolves)
{
    std::map<std::string, std::set<std::string>> used;
    for (auto& [ld, ln] : nodes())
        used["LNodeType"].insert(attr(ln, "lnType"));
    for (const char* element : {"DO", "SDO"})
        for (XMLElement* d : all(templates, element))
            used["DOType"].insert(attr(d, "type"));
    for (const char* element : {"DA", "BDA"})
        for (XMLElement* a : all(templates, element)) {
            const std::string bType = attr(a, "bType");
            const std::string kind = bType == "Struct" ? "DAType" : bType == "Enum" ? "EnumType" : "";
            if (kind.empty())
                EXPECT_EQ(a->Attribute("type"), nullptr) << attr(a, "name") << " of bType " << bType;
            else
                used[kind].insert(attr(a, "type"));
        }
    for (const char* kind : {"LNodeType", "DOType", "DAType", "EnumType"}) {
        std::set<std::string> defined;
        for (const auto& [id, type] : types[kind])
            defined.insert(id);
        EXPECT_EQ(used[kind], defined) << kind;
    }
    for (const auto& [id, e] : types["EnumType"]) {
        std::set<std::string> texts;
        for (XMLElement* v : children(e, "EnumVal"))
            EXPECT_TRUE(texts.insert(v->GetText() ? v->GetText() : "").second) << id;
        EXPECT_FALSE(texts.empty()) << id;
    }
}

TEST_F(BoxScl, DataSetMembersResolveInTheModel)
{
    IedModel* model = box::staticModel();
    for (XMLElement* f : all(server, "FCDA")) {
        const std::string ln = lnName(f, "lnInst");
        LogicalNode* node = LogicalDevice_getLogicalNode(IedModel_getDeviceByInst(model, attr(f, "ldInst").c_str()),
                                                         ln.c_str());
        ASSERT_NE(node, nullptr) << attr(f, "ldInst") << "/" << ln;
        const std::string path = ln + "." + attr(f, "doName") + "." + attr(f, "daName");
        const FunctionalConstraint fc = FunctionalConstraint_fromString(attr(f, "fc").c_str());
        ModelNode* object = ModelNode_getChild(node, attr(f, "doName").c_str());
        ASSERT_NE(object, nullptr) << path;
        bool hasFc = false;
        for (ModelNode* a = object->firstChild; a; a = a->sibling)
            hasFc = hasFc || static_cast<DataAttribute*>(a)->fc == fc;
        EXPECT_TRUE(hasFc) << path << " has nothing of FC " << attr(f, "fc");
    }
}

TEST_F(BoxScl, TypesExpandToExactlyTheModelsTree)
{
    IedModel* model = box::staticModel();
    for (auto& [ldInst, ln] : nodes()) {
        const std::string name = lnName(ln);
        LogicalNode* node = LogicalDevice_getLogicalNode(IedModel_getDeviceByInst(model, ldInst.c_str()), name.c_str());
        ASSERT_NE(node, nullptr) << ldInst << "/" << name;
        std::vector<Leaf> fromModel;
        modelLeaves(node->firstChild, "", fromModel);
        ASSERT_EQ(sclLeaves(ln), fromModel) << ldInst << "/" << name;
    }
}

TEST_F(BoxScl, AClientOverTcpListsTheSameNames)
{
    IedServer served = IedServer_create(box::staticModel());
    IedServer_setLocalIpAddress(served, "127.0.0.1");
    IedServer_start(served, 0);
    ASSERT_TRUE(IedServer_isRunning(served));
    client::MmsConnection connection;
    client::ConnectOptions o;
    o.port = static_cast<std::uint16_t>(IedServer_getPort(served));
    ASSERT_TRUE(connection.connect(o).ok());

    const std::set<std::string> dataFcs{"ST", "MX", "SP", "CF", "DC", "EX", "CO"};
    for (XMLElement* ld : children(server, "LDevice")) {
        const std::string domain = "FNN_STEUERBOX" + attr(ld, "inst");
        std::set<std::string> expected, sets, logs;
        for (auto& [inst, ln] : nodes()) {
            if (inst != attr(ld, "inst"))
                continue;
            const std::string name = lnName(ln);
            expected.insert(name);
            for (auto [leaf, fc, type, trg] : sclLeaves(ln)) {
                std::replace(leaf.begin(), leaf.end(), '.', '$');
                expected.insert({name + "$" + fc, name + "$" + fc + "$" + leaf.substr(0, leaf.find('$')),
                                 name + "$" + fc + "$" + leaf});
            }
            for (XMLElement* rc : children(ln, "ReportControl"))
                expected.insert(name + (attr(rc, "buffered") == "true" ? "$BR$" : "$RP$") + attr(rc, "name"));
            for (XMLElement* lc : children(ln, "LogControl"))
                expected.insert(name + "$LG$" + attr(lc, "name"));
            for (XMLElement* s : children(ln, "DataSet"))
                sets.insert(name + "$" + attr(s, "name"));
            for (XMLElement* l : children(ln, "Log"))
                logs.insert(name + "$" + attr(l, "name"));
        }
        auto names = connection.variableNames(domain);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        std::set<std::string> listed;  // data and control blocks, without the blocks' own attributes
        for (const std::string& n : *names) {
            const std::size_t first = n.find('$');
            if (first == std::string::npos || dataFcs.contains(n.substr(first + 1, 2)) ||
                (n.size() > first + 3 && n.find('$', first + 4) == std::string::npos))
                listed.insert(n);
        }
        EXPECT_GT(listed.size(), 500u) << domain;
        EXPECT_EQ(listed, expected) << domain;
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
    Finished run = runProgram(SCL_EXPORT_PROGRAM, {"--no-values", "--ip", "192.168.7.9", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    tinyxml2::XMLDocument d;
    ASSERT_EQ(d.Parse(run.out.c_str(), run.out.size()), tinyxml2::XML_SUCCESS);
    EXPECT_TRUE(all(d.RootElement(), "DOI").empty());
    XMLElement* ip = byAttribute(d.RootElement(), "P", "type", "IP");
    ASSERT_NE(ip, nullptr);
    EXPECT_STREQ(ip->GetText(), "192.168.7.9");

    run = runProgram(SCL_EXPORT_PROGRAM, {"/nonexistent-directory/box.icd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write /nonexistent-directory/box.icd"), std::string::npos) << run.err;
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--frobnicate"}, {"a.icd", "b.icd"}}) {
        run = runProgram(SCL_EXPORT_PROGRAM, wrong);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage: scl-export"), std::string::npos);
    }
    run = runProgram(SCL_EXPORT_PROGRAM, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("usage: scl-export"), std::string::npos);
}

}  // namespace
