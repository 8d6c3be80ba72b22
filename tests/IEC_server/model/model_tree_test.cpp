// The tree of FNN_STEUERBOX walked directly: counts, sibling orders, shapes,
// data sets and control blocks, and findDataAttribute.
#include "box_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <string>
#include <vector>

namespace {

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

Counts countDevice(LogicalDevice* ld)
{
    Counts c;
    for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling) {
        ++c.nodes;
        for (ModelNode* object = ln->firstChild; object; object = object->sibling) {
            EXPECT_EQ(object->modelType, DataObjectModelType);
            EXPECT_EQ(static_cast<DataObject*>(object)->elementCount, 0);
            ++c.objects;
            countAttributes(object, c);
        }
    }
    return c;
}

std::vector<std::string> childNames(ModelNode* n)
{
    std::vector<std::string> names;
    for (ModelNode* c = n ? n->firstChild : nullptr; c; c = c->sibling)
        names.emplace_back(c->name);
    return names;
}

ModelNode* at(std::string_view ld, std::string_view ln = {}, std::string_view object = {})
{
    ModelNode* n = IedModel_getDeviceByInst(box::staticModel(), std::string(ld).c_str());
    for (std::string_view part : {ln, object})
        if (n && !part.empty())
            n = ModelNode_getChild(n, std::string(part).c_str());
    return n;
}

// Every attribute below a data object as "path FC type trigger", in order.
void describe(ModelNode* n, const std::string& prefix, std::vector<std::string>& out)
{
    for (ModelNode* c = n->firstChild; c; c = c->sibling) {
        auto* a = static_cast<DataAttribute*>(c);
        const std::string path = prefix + a->name;
        out.push_back(path + " " + FunctionalConstraint_toString(a->fc) + " " + std::to_string(a->type) + " " +
                      std::to_string(a->triggerOptions));
        describe(a, path + "$", out);
    }
}

std::vector<std::string> shapeOf(std::string_view ld, std::string_view ln, std::string_view object)
{
    std::vector<std::string> out;
    ModelNode* n = at(ld, ln, object);
    if (n)
        describe(n, "", out);
    return out;
}

const std::vector<std::string> kScheduleNodeNames = {
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
    std::vector<std::string> devices;
    for (LogicalDevice* d = model->firstChild; d; d = static_cast<LogicalDevice*>(d->sibling))
        devices.emplace_back(d->name);
    EXPECT_EQ(devices, (std::vector<std::string>{"STB", "CLS1", "CLS2"}));

    const Counts stb = countDevice(IedModel_getDeviceByInst(model, "STB"));
    EXPECT_EQ(stb.nodes, 12);
    EXPECT_EQ(stb.objects, 85);
    EXPECT_EQ(stb.attributes, 444);
    Counts all = stb;
    for (const char* cls : {"CLS1", "CLS2"}) {
        const Counts c = countDevice(IedModel_getDeviceByInst(model, cls));
        EXPECT_EQ(c.nodes, 34) << cls;
        EXPECT_EQ(c.objects, 2271) << cls;
        EXPECT_EQ(c.attributes, 11611) << cls;
        all.nodes += c.nodes;
        all.objects += c.objects;
        all.attributes += c.attributes;
    }
    EXPECT_EQ(all.nodes, 80);
    EXPECT_EQ(all.objects, 4627);
    EXPECT_EQ(all.attributes, 23666);
}

TEST(ModelTree, DevicesByInstanceAndIndex)
{
    IedModel* model = box::staticModel();
    EXPECT_STREQ(IedModel_getDeviceByIndex(model, 0)->name, "STB");
    for (const char* ld : {"STB", "CLS1", "CLS2"})
        EXPECT_NE(IedModel_getDeviceByInst(model, ld), nullptr) << ld;
    for (const char* ld : {"CLS3", "CLS4", "cls1", "", "STB "})
        EXPECT_EQ(IedModel_getDeviceByInst(model, ld), nullptr) << ld;
    EXPECT_EQ(box::staticModel(), model);
}

TEST(ModelTree, NodeOrders)
{
    EXPECT_EQ(childNames(at("STB")),
              (std::vector<std::string>{"LLN0", "LPHD", "LCMS1", "LDMS1", "CommFail_GGIO1", "LTMS1", "Manip_GGIO1",
                                        "S1_XSWI1", "S2_XSWI1", "W3_XSWI1", "W4_XSWI1", "Test_GGIO1"}));
    std::vector<std::string> cls = {"LLN0",           "MMXU001",          "Softstart_GGIO001", "CommFail_GGIO1",
                                    "ActPow_GGIO001", "FailSafe_GGIO001", "DERRtg_GGIO001",    "ActPow_FSCC001"};
    cls.insert(cls.end(), kScheduleNodeNames.begin(), kScheduleNodeNames.end());
    EXPECT_EQ(childNames(at("CLS1")), cls);
    EXPECT_EQ(childNames(at("CLS2")), cls);
}

TEST(ModelTree, DataObjectOrdersThatMatter)
{
    EXPECT_EQ(childNames(at("STB", "LLN0")), (std::vector<std::string>{"NamPlt", "Beh", "Health", "Mod"}));
    EXPECT_EQ(childNames(at("STB", "CommFail_GGIO1")), (std::vector<std::string>{"Ind1", "Ind2", "Beh"}));
    EXPECT_EQ(childNames(at("STB", "LTMS1")).back(), "Beh");
    EXPECT_EQ(childNames(at("CLS1", "LLN0")), (std::vector<std::string>{"NamPlt", "Beh", "GrRef"}));
    EXPECT_EQ(childNames(at("STB", "S1_XSWI1")), childNames(at("STB", "W4_XSWI1")));

    const auto fscc = childNames(at("CLS2", "ActPow_FSCC001"));
    ASSERT_EQ(fscc.size(), 30u);
    EXPECT_EQ(fscc[3], "CtlEnt");
    EXPECT_EQ(fscc[4], "Schd001");
    EXPECT_EQ(fscc[29], "Schd026");

    const auto head = std::vector<std::string>{"Beh",      "NamPlt",   "SchdSt",     "SchdEntr", "ValMV",
                                               "ActStrTm", "NxtStrTm", "SchdEnaErr", "EnaReq",   "DsaReq",
                                               "SchdPrio", "NumEntr",  "SchdIntv",   "ValASG001"};
    const auto big = childNames(at("CLS1", "EmpSPrg_FSCH020101"));
    ASSERT_EQ(big.size(), 330u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), big.begin()));
    EXPECT_EQ(big[13 + 299], "ValASG300");
    EXPECT_EQ(big[13 + 300], "StrTm01");
    EXPECT_EQ(big[13 + 315], "StrTm16");
    EXPECT_EQ(big.back(), "SchdReuse");

    const auto soft = childNames(at("CLS1", "SysSoft_FSCH110003"));
    EXPECT_EQ(std::vector<std::string>(soft.end() - 4, soft.end()),
              (std::vector<std::string>{"ValASG001", "SchdReuse", "EvTrg", "InSyn"}));
    const auto comEr = childNames(at("CLS2", "SysComEr_FSCH220001"));
    EXPECT_EQ(comEr.size(), 13u + 100 + 3);
    EXPECT_EQ(comEr.back(), "InSyn");
    EXPECT_EQ(childNames(at("CLS1", "EmpDCmd_FSCH050001")).size(), 13u + 1 + 1 + 1);
}

TEST(ModelTree, ClsDevicesAreIdentical)
{
    auto everything = [](const char* ld) {
        std::vector<std::string> out;
        for (ModelNode* ln = at(ld)->firstChild; ln; ln = ln->sibling)
            for (ModelNode* object = ln->firstChild; object; object = object->sibling)
                describe(object, std::string(ln->name) + "." + object->name + ".", out);
        return out;
    };
    const auto one = everything("CLS1");
    EXPECT_EQ(one.size(), 11611u);
    EXPECT_EQ(one, everything("CLS2"));
}

TEST(ModelTree, ControlShapesKeepTheirOrders)
{
    const auto spc = shapeOf("STB", "LPHD", "RsDev");
    ASSERT_EQ(spc.size(), 17u);
    EXPECT_EQ(spc[0], "origin ST 27 0");
    EXPECT_EQ(spc[3], "ctlNum ST 6 0");
    EXPECT_EQ(spc[4], "stVal ST 1 1");
    EXPECT_EQ(spc[5], "q ST 24 2");
    EXPECT_EQ(spc[7], "ctlModel CF 12 1");
    EXPECT_EQ(spc[8], "Oper CO 27 0");
    EXPECT_EQ(spc[16], "Oper$Check CO 25 0");

    const auto tm = shapeOf("STB", "LDMS1", "UpdInst");
    ASSERT_GE(tm.size(), 7u);
    EXPECT_EQ(tm[0], "stVal ST 1 1");
    EXPECT_EQ(tm[5], "Oper$ctlVal CO 1 0");
    EXPECT_EQ(tm[6], "Oper$operTm CO 23 0");
    EXPECT_EQ(tm[7], "Oper$origin CO 27 0");

    const auto apc = shapeOf("CLS1", "FailSafe_GGIO001", "FailPGnSet");
    ASSERT_EQ(apc.size(), 22u);
    EXPECT_EQ(apc[0], "mxVal MX 27 1");
    EXPECT_EQ(apc[1], "mxVal$f MX 10 1");
    EXPECT_EQ(apc[6], "Oper$ctlVal CO 27 0");
    EXPECT_EQ(apc[7], "Oper$ctlVal$f CO 10 0");
    EXPECT_EQ(apc[15], "units CF 27 1");
    EXPECT_EQ(apc[20], "maxVal CF 27 1");

    EXPECT_EQ(shapeOf("CLS1", "ActPow_GGIO001", "AnOut1").size(), 12u);
    EXPECT_EQ(shapeOf("STB", "LLN0", "Mod").size(), 4u);
    EXPECT_EQ(shapeOf("CLS1", "DERRtg_GGIO001", "Mod")[4], "Oper CO 27 0");
}

TEST(ModelTree, MeasurementAndSettingShapes)
{
    EXPECT_EQ(shapeOf("CLS1", "MMXU001", "TotW"),
              (std::vector<std::string>{"mag MX 27 4", "mag$f MX 10 4", "q MX 24 2", "t MX 23 0", "units CF 27 1",
                                        "units$SIUnit CF 12 1", "units$multiplier CF 12 1", "db CF 9 1",
                                        "dbRef CF 10 1", "d DC 21 0"}));
    EXPECT_EQ(shapeOf("STB", "LTMS1", "TmOfs"),
              (std::vector<std::string>{"stVal ST 4 1", "q ST 24 2", "t ST 23 0", "units CF 27 0",
                                        "units$SIUnit CF 12 0", "units$multiplier CF 12 0"}));
    EXPECT_EQ(shapeOf("CLS2", "EmpSPrg_FSCH020005", "ValASG100"),
              (std::vector<std::string>{"setMag SP 27 1", "setMag$f SP 10 1", "units CF 27 1",
                                        "units$SIUnit CF 12 1", "units$multiplier CF 12 1"}));
    const auto cal = shapeOf("CLS1", "EmpSPrg_FSCH020001", "StrTm05");
    ASSERT_EQ(cal.size(), 10u);
    EXPECT_EQ(cal[0], "setTm SP 23 1");
    EXPECT_EQ(cal[1], "setCal SP 27 1");
    EXPECT_EQ(cal[3], "setCal$occType SP 12 1");
    EXPECT_EQ(cal[9], "setCal$mn SP 6 1");
    EXPECT_EQ(shapeOf("CLS1", "EmpWCmd_FSCH030001", "StrTm05"), (std::vector<std::string>{"setTm SP 23 1"}));
    EXPECT_EQ(shapeOf("CLS1", "ActPow_FSCC001", "ActSchdRef")[0], "stVal ST 20 1");
    EXPECT_EQ(shapeOf("STB", "S2_XSWI1", "Pos")[0], "stVal ST 13 1");
    EXPECT_EQ(shapeOf("STB", "LPHD", "NamParamRev").back(), "dataNs EX 21 0");
    EXPECT_EQ(shapeOf("STB", "LLN0", "NamPlt")[2], "ldNs EX 21 0");
}

// The trigger rules that hold across every shape, checked on every attribute.
void checkTriggers(DataAttribute* a, const std::string& where)
{
    const std::string_view name = a->name;
    const std::uint8_t trg = a->triggerOptions;
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
        EXPECT_EQ(trg, expected) << where;
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
    for (LogicalDevice* d = box::staticModel()->firstChild; d; d = static_cast<LogicalDevice*>(d->sibling))
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
    EXPECT_EQ(shapeOf("STB", "LTMS1", "TmOfs")[3], "units CF 27 0");
}

TEST(ModelTree, ScheduleFamiliesDifferOnlyWhereTheyShould)
{
    auto has = [](const char* ld, const char* ln, const char* object) { return at(ld, ln, object) != nullptr; };
    EXPECT_TRUE(has("CLS1", "EmpSPrg_FSCH020101", "ValASG300"));
    EXPECT_FALSE(has("CLS1", "EmpSPrg_FSCH020005", "ValASG101"));
    EXPECT_TRUE(has("CLS1", "EmpDCmd_FSCH050001", "ValASG001"));
    EXPECT_TRUE(has("CLS1", "EmpDCmd_FSCH050001", "StrTm01"));
    EXPECT_FALSE(has("CLS1", "EmpDCmd_FSCH050001", "ValASG002"));
    EXPECT_FALSE(has("CLS1", "EmpDCmd_FSCH050001", "StrTm02"));
    EXPECT_FALSE(has("CLS1", "SysSoft_FSCH110001", "StrTm01"));
    EXPECT_FALSE(has("CLS1", "SysComEr_FSCH220001", "StrTm01"));
    EXPECT_FALSE(has("CLS1", "EmpSPrg_FSCH020001", "EvTrg"));

    for (const std::string& ln : kScheduleNodeNames) {
        const bool statusOnly = ln.starts_with("SysRes") || ln.starts_with("SysSoft");
        for (const char* request : {"EnaReq", "DsaReq"})
            EXPECT_EQ(ModelNode_getChild(at("CLS2", ln, request), "Oper") == nullptr, statusOnly) << ln;
    }
}

TEST(ModelTree, DataSetsInOrderAndResolving)
{
    IedModel* model = box::staticModel();
    std::vector<std::string> sets;
    for (DataSet* s = model->dataSets; s; s = s->sibling)
        sets.push_back(std::string(s->logicalDeviceName) + "/" + s->name + ":" + std::to_string(s->elementCount));
    EXPECT_EQ(sets, (std::vector<std::string>{"STB/LLN0$dataset01:26", "STB/LLN0$dataset02:4",
                                              "CLS1/LLN0$dataset01:63", "CLS2/LLN0$dataset01:63"}));
    for (DataSet* s = model->dataSets; s; s = s->sibling) {
        int n = 0;
        for (DataSetEntry* e = s->fcdas; e; e = e->sibling, ++n) {
            EXPECT_STREQ(e->logicalDeviceName, s->logicalDeviceName);
            EXPECT_EQ(e->index, -1);
            EXPECT_EQ(e->componentName, nullptr);
            // node $ FC $ object: the object exists and has attributes of that FC
            std::string name = e->variableName;
            const auto first = name.find('$'), second = name.find('$', first + 1);
            ASSERT_NE(second, std::string::npos) << name;
            ModelNode* object = at(e->logicalDeviceName, name.substr(0, first), name.substr(second + 1));
            ASSERT_NE(object, nullptr) << s->name << " " << name;
            const auto fc = FunctionalConstraint_fromString(name.substr(first + 1, 2).c_str());
            bool hasFc = false;
            for (ModelNode* a = object->firstChild; a; a = a->sibling)
                hasFc = hasFc || static_cast<DataAttribute*>(a)->fc == fc;
            EXPECT_TRUE(hasFc) << name;
        }
        EXPECT_EQ(n, s->elementCount);
    }
    DataSet* cls1 = IedModel_lookupDataSet(model, "CLS1", "LLN0$dataset01");
    ASSERT_NE(cls1, nullptr);
    std::vector<std::string> members;
    for (DataSetEntry* e = cls1->fcdas; e; e = e->sibling)
        members.emplace_back(e->variableName);
    EXPECT_EQ(members[0], "ActPow_FSCC001$MX$ValMV");
    EXPECT_EQ(members[2], "SysRes_FSCH010001$ST$SchdSt");
    EXPECT_EQ(members[27], "DsoECmd_FSCH250004$ST$SchdSt");
    EXPECT_EQ(members[28], "SysRes_FSCH010001$ST$SchdEnaErr");
    EXPECT_EQ(members[53], "DsoECmd_FSCH250004$ST$SchdEnaErr");
    EXPECT_EQ(members[54], "MMXU001$MX$TotW");
    EXPECT_EQ(members[62], "FailSafe_GGIO001$MX$FailPLodGet");
    DataSet* stb = IedModel_lookupDataSet(model, "STB", "LLN0$dataset01");
    ASSERT_NE(stb, nullptr);
    EXPECT_STREQ(stb->fcdas->variableName, "LPHD$ST$PwrSupAlm");
}

TEST(ModelTree, ReportAndLogControlBlocks)
{
    IedModel* model = box::staticModel();
    std::vector<std::string> reports;
    for (ReportControlBlock* r = model->rcbs; r; r = r->sibling) {
        EXPECT_FALSE(r->buffered);
        EXPECT_EQ(r->confRef, 1u);
        EXPECT_EQ(r->options, 142);
        EXPECT_EQ(r->bufferTime, 0u);
        EXPECT_EQ(r->intPeriod, 0u);
        EXPECT_STREQ(r->parent->name, "LLN0");
        reports.push_back(std::string(r->parent->parent->name) + "/" + r->name + " " + r->rptId + " " +
                          r->dataSetName + " " + std::to_string(r->trgOps));
    }
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "STB/reportControl0101 STB/report01 dataset01 19",
                           "STB/reportControl0102 STB/report01 dataset01 19",
                           "CLS1/reportControl0101 CLS1/report01 dataset01 23",
                           "CLS1/reportControl0102 CLS1/report01 dataset01 23",
                           "CLS2/reportControl0101 CLS2/report01 dataset01 23",
                           "CLS2/reportControl0102 CLS2/report01 dataset01 23",
                       }));
    std::vector<std::string> logControls;
    for (LogControlBlock* l = model->lcbs; l; l = l->sibling) {
        EXPECT_TRUE(l->logEna);
        EXPECT_TRUE(l->reasonCode);
        EXPECT_EQ(l->intPeriod, 0u);
        logControls.push_back(std::string(l->parent->parent->name) + "/" + l->name + " " + l->dataSetName + " " +
                              l->logRef + " " + std::to_string(l->trgOps));
    }
    EXPECT_EQ(logControls, (std::vector<std::string>{
                               "STB/logControlSTB dataset01 STB/LLN0$logSTB 3",
                               "STB/logControlRelay dataset02 STB/LLN0$logRelay 3",
                               "CLS1/logControlCLS1 dataset01 CLS1/LLN0$logCLS1 7",
                               "CLS2/logControlCLS2 dataset01 CLS2/LLN0$logCLS2 7",
                           }));
    std::vector<std::string> logs;
    for (Log* l = model->logs; l; l = l->sibling)
        logs.push_back(std::string(l->parent->parent->name) + "/" + l->parent->name + "$" + l->name);
    EXPECT_EQ(logs, (std::vector<std::string>{"STB/LLN0$logSTB", "STB/LLN0$logRelay", "CLS1/LLN0$logCLS1",
                                              "CLS2/LLN0$logCLS2"}));
    EXPECT_EQ(model->gseCBs, nullptr);
    EXPECT_EQ(model->svCBs, nullptr);
    EXPECT_EQ(model->sgcbs, nullptr);
}

TEST(FindDataAttribute, FindsDirectChildrenOnly)
{
    const box::ModelAccess access;
    DataAttribute* mag = access.findDataAttribute("CLS1", "MMXU001", "TotW", "mag");
    ASSERT_NE(mag, nullptr);
    EXPECT_EQ(mag, ModelNode_getByPath(at("CLS1"), "MMXU001.TotW.mag"));
    ASSERT_NE(mag->firstChild, nullptr);
    EXPECT_STREQ(mag->firstChild->name, "f");

    for (auto [ln, object, da] : {std::tuple{"ActPow_GGIO001", "AnOut1", "mxVal"},
                                  {"ActPow_FSCC001", "ValMV", "mag"},
                                  {"EmpSPrg_FSCH020003", "ValASG042", "setMag"}}) {
        DataAttribute* a = box::findDataAttribute("CLS2", ln, object, da);
        ASSERT_NE(a, nullptr) << ln << "." << object;
        EXPECT_STREQ(a->firstChild->name, "f");
        EXPECT_STREQ(a->parent->parent->parent->name, "CLS2");
    }
    EXPECT_NE(box::findDataAttribute("CLS2", "EmpSPrg_FSCH020101", "ValASG300", "setMag"), nullptr);
    DataAttribute* oper = box::findDataAttribute("STB", "LPHD", "RsDev", "Oper");
    ASSERT_NE(oper, nullptr);
    EXPECT_EQ(oper->type, IEC61850_CONSTRUCTED);
    EXPECT_EQ(oper->fc, IEC61850_FC_CO);
    EXPECT_STREQ(box::findDataAttribute("CLS1", "LLN0", "GrRef", "setSrcRef")->name, "setSrcRef");
}

TEST(FindDataAttribute, FindsNothingForWrongOrPartialNames)
{
    const box::ModelAccess access;
    const std::tuple<const char*, const char*, const char*, const char*> misses[] = {
        {"CLS1", "MMXU001", "TotW", "mag.f"},
        {"CLS1", "MMXU001", "TotW", "mag$f"},
        {"CLS1", "MMXU001", "TotW", "f"},
        {"CLS1", "MMXU001", "totw", "mag"},
        {"CLS1", "mmxu001", "TotW", "mag"},
        {"CLS3", "MMXU001", "TotW", "mag"},
        {"STB", "LPHD1", "PhyHealth", "stVal"},
        {"STB", "LPHD", "RsDev", "ctlVal"},
        {"CLS2", "EmpSPrg_FSCH020001", "ValASG300", "setMag"},
        {"CLS1", "EmpWCmd_FSCH030001", "StrTm16", "setCal"},
        {"", "", "", ""},
        {"CLS1", "MMXU001", "TotW", ""},
        {"CLS1", "MMXU001", "TotW", "ma"},
        {"CLS1", "MMXU001", "TotW", "magg"},
    };
    for (auto [ld, ln, object, da] : misses)
        EXPECT_EQ(access.findDataAttribute(ld, ln, object, da), nullptr) << ld << " " << ln << " " << object << " " << da;
    EXPECT_NE(access.findDataAttribute("STB", "LPHD", "PhyHealth", "stVal"), nullptr);
}

}  // namespace
