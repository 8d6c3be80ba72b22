// The tree of FNN_STEUERBOX walked directly: counts, sibling orders, shapes,
// data sets and control blocks, and findDataAttribute.
#include "box_model.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Names = std::vector<std::string>;

struct Counts {
    int nodes = 0, objects = 0, attributes = 0;
};

void countAttributes(ModelNode* n, Counts& c)
{
    for (ModelNode* a = n->firstChild; a; a = a->sibling) {
        EXPECT_EQ(a->modelType, DataAttributeModelType) << a->name;
        EXPECT_EQ(static_cast<DataAttribute*>(a)->elementCount, 0) << a->name;
        ++c.attributes;
        countAttributes(a, c);
    }
}

Counts countDevice(const char* ld)
{
    Counts c;
    for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), ld)->firstChild; ln; ln = ln->sibling, ++c.nodes)
        for (ModelNode* object = ln->firstChild; object; object = object->sibling, ++c.objects) {
            EXPECT_EQ(object->modelType, DataObjectModelType);
            countAttributes(object, c);
        }
    return c;
}

// "CLS1", "CLS1/MMXU001" or "CLS1/MMXU001.TotW"
ModelNode* at(const std::string& path)
{
    const auto slash = path.find('/');
    ModelNode* device = IedModel_getDeviceByInst(box::staticModel(), path.substr(0, slash).c_str());
    return device && slash != std::string::npos ? ModelNode_getByPath(device, path.substr(slash + 1).c_str()) : device;
}

Names childNames(ModelNode* n)
{
    Names names;
    for (ModelNode* c = n ? n->firstChild : nullptr; c; c = c->sibling)
        names.emplace_back(c->name);
    return names;
}

// Every attribute below a data object as "path FC type trigger", in order.
void describe(ModelNode* n, const std::string& prefix, Names& out)
{
    for (ModelNode* c = n->firstChild; c; c = c->sibling) {
        auto* a = static_cast<DataAttribute*>(c);
        const std::string path = prefix + a->name;
        out.push_back(path + " " + FunctionalConstraint_toString(a->fc) + " " + std::to_string(a->type) + " " +
                      std::to_string(a->triggerOptions));
        describe(a, path + "$", out);
    }
}

const Names kScheduleNodeNames = {
    "SysRes_FSCH010001",  "EmpSPrg_FSCH020001", "EmpSPrg_FSCH020002", "EmpSPrg_FSCH020003", "EmpSPrg_FSCH020004",
    "EmpSPrg_FSCH020005", "EmpSPrg_FSCH020101", "EmpSPrg_FSCH020102", "EmpSPrg_FSCH020103", "EmpWCmd_FSCH030001",
    "EmpWCmd_FSCH030002", "EmpDCmd_FSCH050001", "EmpDCmd_FSCH050002", "SysSoft_FSCH110001", "SysSoft_FSCH110002",
    "SysSoft_FSCH110003", "SysSoft_FSCH110004", "DsoWCmd_FSCH130001", "DsoWCmd_FSCH130002", "DsoDCmd_FSCH150001",
    "DsoDCmd_FSCH150002", "SysComEr_FSCH220001", "DsoECmd_FSCH250001", "DsoECmd_FSCH250002", "DsoECmd_FSCH250003",
    "DsoECmd_FSCH250004"};

TEST(ModelTree, CountsPerDeviceAndInAll)
{
    IedModel* model = box::staticModel();
    EXPECT_STREQ(model->name, "FNN_STEUERBOX");
    Names devices;
    for (ModelNode* d = at("STB"); d; d = d->sibling)
        devices.emplace_back(d->name);
    EXPECT_EQ(devices, (Names{"STB", "CLS1", "CLS2"}));
    for (const char* ld : {"CLS3", "cls1", "", "STB "})
        EXPECT_EQ(IedModel_getDeviceByInst(model, ld), nullptr) << ld;

    Counts all;
    for (auto [ld, expected] : {std::pair{"STB", std::tuple(12, 85, 444)}, {"CLS1", std::tuple(34, 2271, 11611)},
                                {"CLS2", std::tuple(34, 2271, 11611)}}) {
        const Counts c = countDevice(ld);
        EXPECT_EQ(std::tie(c.nodes, c.objects, c.attributes), expected) << ld;
        all = {all.nodes + c.nodes, all.objects + c.objects, all.attributes + c.attributes};
    }
    EXPECT_EQ(std::tie(all.nodes, all.objects, all.attributes), std::tuple(80, 4627, 23666));
}

TEST(ModelTree, NodeOrders)
{
    EXPECT_EQ(childNames(at("STB")), (Names{"LLN0", "LPHD", "LCMS1", "LDMS1", "CommFail_GGIO1", "LTMS1", "Manip_GGIO1",
                                            "S1_XSWI1", "S2_XSWI1", "W3_XSWI1", "W4_XSWI1", "Test_GGIO1"}));
    Names cls = {"LLN0",           "MMXU001",          "Softstart_GGIO001", "CommFail_GGIO1",
                 "ActPow_GGIO001", "FailSafe_GGIO001", "DERRtg_GGIO001",    "ActPow_FSCC001"};
    cls.insert(cls.end(), kScheduleNodeNames.begin(), kScheduleNodeNames.end());
    EXPECT_EQ(childNames(at("CLS1")), cls);
    EXPECT_EQ(childNames(at("CLS2")), cls);
}

// Names below a node (its data objects) or below a data object (its
// attributes as "path FC type trigger"), from an index (negative: from the end).
struct Listing {
    const char* path;
    int from;
    Names expected;
    std::size_t count = 0;  // 0: any
};

const Listing kListings[] = {
    {"STB/LLN0", 0, {"NamPlt", "Beh", "Health", "Mod"}, 4},
    {"STB/CommFail_GGIO1", 0, {"Ind1", "Ind2", "Beh"}, 3},
    {"CLS1/LLN0", 0, {"NamPlt", "Beh", "GrRef"}, 3},
    {"CLS2/ActPow_FSCC001", 3, {"CtlEnt", "Schd001"}, 30},
    {"CLS1/EmpSPrg_FSCH020101", 9, {"DsaReq", "SchdPrio", "NumEntr", "SchdIntv", "ValASG001"}, 330},
    {"CLS1/EmpSPrg_FSCH020101", 312, {"ValASG300", "StrTm01"}},
    {"CLS1/EmpSPrg_FSCH020101", -2, {"StrTm16", "SchdReuse"}},
    {"CLS1/SysSoft_FSCH110003", -4, {"ValASG001", "SchdReuse", "EvTrg", "InSyn"}, 13 + 1 + 3},
    {"CLS2/SysComEr_FSCH220001", -1, {"InSyn"}, 13 + 100 + 3},
    {"CLS1/EmpDCmd_FSCH050001", -3, {"ValASG001", "StrTm01", "SchdReuse"}, 13 + 1 + 1 + 1},
    {"STB/LPHD.RsDev", 3, {"ctlNum ST 6 0", "stVal ST 1 1", "q ST 24 2"}, 17},
    {"STB/LPHD.RsDev", 7, {"ctlModel CF 12 1", "Oper CO 27 0"}},
    {"STB/LDMS1.UpdInst", 5, {"Oper$ctlVal CO 1 0", "Oper$operTm CO 23 0", "Oper$origin CO 27 0"}},
    {"CLS1/FailSafe_GGIO001.FailPGnSet", 6, {"Oper$ctlVal CO 27 0", "Oper$ctlVal$f CO 10 0"}, 22},
    {"CLS1/ActPow_GGIO001.AnOut1", 0, {"mxVal MX 27 1", "mxVal$f MX 10 1"}, 12},
    {"CLS1/MMXU001.TotW",
     0,
     {"mag MX 27 4", "mag$f MX 10 4", "q MX 24 2", "t MX 23 0", "units CF 27 1", "units$SIUnit CF 12 1",
      "units$multiplier CF 12 1", "db CF 9 1", "dbRef CF 10 1", "d DC 21 0"},
     10},
    {"STB/LTMS1.TmOfs", 0, {"stVal ST 4 1", "q ST 24 2", "t ST 23 0", "units CF 27 0"}, 6},
    {"CLS2/EmpSPrg_FSCH020005.ValASG100", 0, {"setMag SP 27 1", "setMag$f SP 10 1", "units CF 27 1"}, 5},
    {"CLS1/EmpSPrg_FSCH020001.StrTm05", 0, {"setTm SP 23 1", "setCal SP 27 1"}, 10},
    {"CLS1/EmpSPrg_FSCH020001.StrTm05", -1, {"setCal$mn SP 6 1"}},
    {"CLS1/EmpWCmd_FSCH030001.StrTm16", 0, {"setTm SP 23 1"}, 1},
    {"CLS1/ActPow_FSCC001.ActSchdRef", 0, {"stVal ST 20 1"}},
    {"STB/S2_XSWI1.Pos", 0, {"stVal ST 13 1"}},
    {"STB/LLN0.NamPlt", 2, {"ldNs EX 21 0"}},
};

TEST(ModelTree, ChildOrdersAndShapes)
{
    for (const Listing& l : kListings) {
        SCOPED_TRACE(l.path);
        ModelNode* node = at(l.path);
        ASSERT_NE(node, nullptr);
        Names names;
        if (node->modelType == DataObjectModelType)
            describe(node, "", names);
        else
            names = childNames(node);
        if (l.count) {
            EXPECT_EQ(names.size(), l.count);
        }
        const auto first = static_cast<std::ptrdiff_t>(l.from < 0 ? static_cast<int>(names.size()) + l.from : l.from);
        ASSERT_LE(first + static_cast<std::ptrdiff_t>(l.expected.size()), static_cast<std::ptrdiff_t>(names.size()));
        EXPECT_EQ(Names(names.begin() + first, names.begin() + first + static_cast<std::ptrdiff_t>(l.expected.size())),
                  l.expected);
    }
    EXPECT_EQ(childNames(at("STB/S1_XSWI1")), childNames(at("STB/W4_XSWI1")));
}

// The trigger rules that hold across every shape, checked on every attribute.
void checkTriggers(DataAttribute* a, const std::string& where)
{
    const std::string_view name = a->name;
    std::uint8_t expected = 0xff;  // no rule
    if (a->fc == IEC61850_FC_DC || a->fc == IEC61850_FC_EX || a->fc == IEC61850_FC_CO || name == "t")
        expected = 0;
    else if (name == "q")
        expected = TRG_OPT_QUALITY_CHANGED;
    else if (name == "stVal" || name == "ctlModel" || a->fc == IEC61850_FC_SP)
        expected = TRG_OPT_DATA_CHANGED;
    else if (name == "mag" || (name == "f" && std::string_view(a->parent->name) == "mag"))
        expected = TRG_OPT_DATA_UPDATE;
    if (expected != 0xff) {
        EXPECT_EQ(a->triggerOptions, expected) << where;
    }
    EXPECT_EQ(a->type == IEC61850_CONSTRUCTED, a->firstChild != nullptr) << where;
    for (ModelNode* c = a->firstChild; c; c = c->sibling) {
        EXPECT_EQ(static_cast<DataAttribute*>(c)->fc, a->fc) << where << "$" << c->name;
        checkTriggers(static_cast<DataAttribute*>(c), where + "$" + c->name);
    }
}

TEST(ModelTree, TriggerOptionsFollowTheRulesEverywhere)
{
    std::map<FunctionalConstraint, int> byFc;
    for (ModelNode* d = at("STB"); d; d = d->sibling)
        for (ModelNode* ln = d->firstChild; ln; ln = ln->sibling)
            for (ModelNode* object = ln->firstChild; object; object = object->sibling)
                for (ModelNode* a = object->firstChild; a; a = a->sibling) {
                    ++byFc[static_cast<DataAttribute*>(a)->fc];
                    checkTriggers(static_cast<DataAttribute*>(a),
                                  std::string(d->name) + "/" + ln->name + "." + object->name + "." + a->name);
                }
    std::vector<FunctionalConstraint> used;
    for (auto [fc, n] : byFc)
        used.push_back(fc);
    EXPECT_EQ(used, (std::vector<FunctionalConstraint>{IEC61850_FC_ST, IEC61850_FC_MX, IEC61850_FC_SP, IEC61850_FC_CF,
                                                       IEC61850_FC_DC, IEC61850_FC_EX, IEC61850_FC_CO}));
}

TEST(ModelTree, OnlyTheStatusOnlySchedulesLackControls)
{
    for (const std::string& ln : kScheduleNodeNames) {
        const bool statusOnly = ln.starts_with("SysRes") || ln.starts_with("SysSoft");
        for (const char* request : {".EnaReq.Oper", ".DsaReq.Oper"})
            EXPECT_EQ(at("CLS2/" + ln + request) == nullptr, statusOnly) << ln;
    }
    EXPECT_EQ(at("CLS1/EmpSPrg_FSCH020001.EvTrg"), nullptr);
}

TEST(ModelTree, ReportAndLogControlBlocks)
{
    IedModel* model = box::staticModel();
    Names reports;
    for (ReportControlBlock* r = model->rcbs; r; r = r->sibling) {
        EXPECT_FALSE(r->buffered);
        EXPECT_EQ(std::tie(r->confRef, r->options, r->bufferTime, r->intPeriod), std::tuple(1u, 142, 0u, 0u));
        EXPECT_STREQ(r->parent->name, "LLN0");
        reports.push_back(std::string(r->parent->parent->name) + "/" + r->name + " " + r->rptId + " " +
                          r->dataSetName + " " + std::to_string(r->trgOps));
    }
    EXPECT_EQ(reports, (Names{"STB/reportControl0101 STB/report01 dataset01 19",
                              "STB/reportControl0102 STB/report01 dataset01 19",
                              "CLS1/reportControl0101 CLS1/report01 dataset01 23",
                              "CLS1/reportControl0102 CLS1/report01 dataset01 23",
                              "CLS2/reportControl0101 CLS2/report01 dataset01 23",
                              "CLS2/reportControl0102 CLS2/report01 dataset01 23"}));
    Names logControls;
    for (LogControlBlock* l = model->lcbs; l; l = l->sibling) {
        EXPECT_TRUE(l->logEna && l->reasonCode);
        EXPECT_EQ(l->intPeriod, 0u);
        logControls.push_back(std::string(l->parent->parent->name) + "/" + l->name + " " + l->dataSetName + " " +
                              l->logRef + " " + std::to_string(l->trgOps));
    }
    EXPECT_EQ(logControls, (Names{"STB/logControlSTB dataset01 STB/LLN0$logSTB 3",
                                  "STB/logControlRelay dataset02 STB/LLN0$logRelay 3",
                                  "CLS1/logControlCLS1 dataset01 CLS1/LLN0$logCLS1 7",
                                  "CLS2/logControlCLS2 dataset01 CLS2/LLN0$logCLS2 7"}));
    Names logs;
    for (Log* l = model->logs; l; l = l->sibling)
        logs.push_back(std::string(l->parent->parent->name) + "/" + l->parent->name + "$" + l->name);
    EXPECT_EQ(logs, (Names{"STB/LLN0$logSTB", "STB/LLN0$logRelay", "CLS1/LLN0$logCLS1", "CLS2/LLN0$logCLS2"}));
    EXPECT_EQ(model->gseCBs, nullptr);
    EXPECT_EQ(model->svCBs, nullptr);
    EXPECT_EQ(model->sgcbs, nullptr);
}

TEST(FindDataAttribute, FindsDirectChildrenAndNothingForWrongOrPartialNames)
{
    const box::ModelAccess access;
    using Lookup = std::tuple<const char*, const char*, const char*, const char*>;
    for (auto [ld, ln, object, da] : {Lookup{"CLS1", "MMXU001", "TotW", "mag"},
                                      {"CLS2", "ActPow_GGIO001", "AnOut1", "mxVal"},
                                      {"CLS2", "EmpSPrg_FSCH020101", "ValASG300", "setMag"},
                                      {"STB", "LPHD", "RsDev", "Oper"},
                                      {"STB", "LPHD", "PhyHealth", "stVal"}}) {
        DataAttribute* a = access.findDataAttribute(ld, ln, object, da);
        EXPECT_EQ(a, at(std::string(ld) + "/" + ln + "." + object + "." + da)) << ln << "." << object;
        EXPECT_NE(a, nullptr) << ln << "." << object;
    }
    for (auto [ld, ln, object, da] : {Lookup{"CLS1", "MMXU001", "TotW", "mag.f"},
                                      {"CLS1", "MMXU001", "TotW", "f"},
                                      {"CLS1", "MMXU001", "totw", "mag"},
                                      {"CLS3", "MMXU001", "TotW", "mag"},
                                      {"STB", "LPHD1", "PhyHealth", "stVal"},
                                      {"STB", "LPHD", "RsDev", "ctlVal"},
                                      {"CLS2", "EmpSPrg_FSCH020001", "ValASG300", "setMag"},
                                      {"CLS1", "EmpWCmd_FSCH030001", "StrTm16", "setCal"},
                                      {"", "", "", ""},
                                      {"CLS1", "MMXU001", "TotW", "ma"}})
        EXPECT_EQ(box::findDataAttribute(ld, ln, object, da), nullptr) << ld << " " << ln << " " << object << " " << da;
}

}  // namespace
