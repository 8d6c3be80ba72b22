// The tree of FNN_STEUERBOX, built once from the node tables below.
#include "box_model.hpp"
#include "model_tables.hpp"

#include <cstdio>
#include <string>

namespace box {

using iec61850::ied::ModelBuilder;
using namespace shapes;

namespace {

struct ObjectRow {
    const char* name;
    Shape shape;
};

struct NodeRow {
    const char* name;
    std::span<const ObjectRow> objects;
};

constexpr ObjectRow kStbLln0[] = {{"NamPlt", LPL_ld}, {"Beh", ENS}, {"Health", ENS}, {"Mod", ENC_st}};
constexpr ObjectRow kStbLphd[] = {{"PhyNam", DPL},  {"PhyHealth", ENS}, {"Proxy", SPS},     {"NumPwrUp", INS},
                                  {"WrmStr", INS},  {"RsDev", SPC},     {"PwrSupAlm", SPS}, {"NamParamRev", VSS_ns}};
constexpr ObjectRow kStbLcms[] = {
    {"Beh", ENS},          {"NamPlt", LPL_ln},    {"VndCerExpNr1", SPS}, {"VndCerExpTm1", TS_},
    {"VndCerExpNr2", SPS}, {"VndCerExpTm2", TS_}, {"OpCerExpNr1", SPS},  {"OpCerExpTm1", TS_},
    {"OpCerExpNr2", SPS},  {"OpCerExpTm2", TS_},  {"DevCerExpNr1", SPS}, {"DevCerExpTm1", TS_},
    {"DevCerCrt1", SPC},   {"DevCerExpNr2", SPS}, {"DevCerExpTm2", TS_}, {"DevCerCrt2", SPC}};
constexpr ObjectRow kStbLdms[] = {{"Beh", ENS},     {"NamPlt", LPL_ln}, {"UpdSt", ENS},   {"UpdErrCode", ENS},
                                  {"UpdErrMsg", VSS}, {"UpdInit", SPC}, {"UpdVld", SPC},  {"UpdInst", SPC_tm},
                                  {"UpdConf", SPC}, {"UpdAbrt", SPC},   {"UpdRs", SPC},   {"UpdCan", SPC}};
constexpr ObjectRow kStbCommFail[] = {{"Ind1", SPS}, {"Ind2", SPS}, {"Beh", ENS}};
constexpr ObjectRow kStbLtms[] = {{"TmSrc", VSS}, {"TmSrcTyp", ENS}, {"TmSyn", ENS}, {"TmSyc", TS_},
                                  {"TmOfs", INS_u}, {"TmUpd", TS_},  {"Beh", ENS}};
constexpr ObjectRow kStbManip[] = {{"Beh", ENS}, {"Ind1", SPS}, {"SPCSO1", SPC}};
constexpr ObjectRow kStbSwitch[] = {{"Beh", ENS},    {"Loc", SPS},       {"OpCnt", INS},     {"Pos", DPC_st},
                                    {"SwTyp", ENS},  {"BlkOpn", SPC_st}, {"BlkCls", SPC_st}};
constexpr ObjectRow kStbTest[] = {{"Beh", ENS}, {"Ind1", SPS}, {"Ind2", SPS}, {"SPCSO1", SPC}};

constexpr NodeRow kStbNodes[] = {
    {"LLN0", kStbLln0},         {"LPHD", kStbLphd},     {"LCMS1", kStbLcms},       {"LDMS1", kStbLdms},
    {"CommFail_GGIO1", kStbCommFail}, {"LTMS1", kStbLtms}, {"Manip_GGIO1", kStbManip}, {"S1_XSWI1", kStbSwitch},
    {"S2_XSWI1", kStbSwitch},   {"W3_XSWI1", kStbSwitch}, {"W4_XSWI1", kStbSwitch}, {"Test_GGIO1", kStbTest}};

constexpr ObjectRow kClsLln0[] = {{"NamPlt", LPL_ld}, {"Beh", ENS}, {"GrRef", ORG}};
constexpr ObjectRow kClsMmxu[] = {{"Beh", ENS}, {"TotW", MV_db}};
constexpr ObjectRow kClsSoftstart[] = {{"Beh", ENS}, {"Ind1", SPS}, {"Ind2", SPS}, {"Ind3", SPS}, {"Ind4", SPS}};
constexpr ObjectRow kClsCommFail[] = {{"Ind1", SPS}, {"Beh", ENS}};
constexpr ObjectRow kClsActPowGgio[] = {{"Beh", ENS},  {"AnOut1", APC_st}, {"EEHealth", ENS}, {"AnIn1", MV},
                                        {"EEName", DPL_ee}, {"Ind1", SPS}, {"Ind2", SPS}};
constexpr ObjectRow kClsFailSafe[] = {{"Beh", ENS},        {"Mod", ENC},        {"NamPlt", LPL_ln},
                                      {"FailDurSet", APC}, {"FailPGnSet", APC}, {"FailPLodSet", APC},
                                      {"FailDurGet", MV},  {"FailPGnGet", MV},  {"FailPLodGet", MV}};
constexpr ObjectRow kClsDerRtg[] = {{"Beh", ENS},    {"Mod", ENC},     {"NamPlt", LPL_ln}, {"NomPGn", MV},
                                    {"NomPLod", MV}, {"CnttPGn", MV},  {"CnttPLod", MV}};
// ActPow_FSCC001 ends with Schd001..Schd026 (ORG), added in order.
constexpr ObjectRow kClsActPowFscc[] = {{"Beh", ENS}, {"ActSchdRef", RS}, {"ValMV", MV}, {"CtlEnt", ORG}};

constexpr NodeRow kClsFixedNodes[] = {
    {"LLN0", kClsLln0},           {"MMXU001", kClsMmxu},           {"Softstart_GGIO001", kClsSoftstart},
    {"CommFail_GGIO1", kClsCommFail}, {"ActPow_GGIO001", kClsActPowGgio}, {"FailSafe_GGIO001", kClsFailSafe},
    {"DERRtg_GGIO001", kClsDerRtg}, {"ActPow_FSCC001", kClsActPowFscc}};

constexpr ObjectRow kScheduleHead[] = {{"Beh", ENS},      {"NamPlt", LPL},    {"SchdSt", ENS},  {"SchdEntr", INS},
                                       {"ValMV", MV},     {"ActStrTm", TS_},  {"NxtStrTm", TS_}, {"SchdEnaErr", ENS}};

template <class... Args>
std::string format(const char* pattern, Args... args)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

void addObjects(ModelBuilder& b, LogicalNode* ln, std::span<const ObjectRow> objects)
{
    for (const ObjectRow& o : objects)
        b.object(ln, o.name, o.shape);
}

void addScheduleNode(ModelBuilder& b, LogicalDevice* ld, const ScheduleNode& node)
{
    const ScheduleFamily& f = node.family;
    LogicalNode* ln = b.node(ld, node.name);
    addObjects(b, ln, kScheduleHead);
    const Shape request = f.operable ? Shape(SPC) : Shape(SPC_st);
    b.object(ln, "EnaReq", request);
    b.object(ln, "DsaReq", request);
    b.object(ln, "SchdPrio", ING);
    b.object(ln, "NumEntr", ING);
    b.object(ln, "SchdIntv", ING_u);
    for (int i = 1; i <= f.entries; ++i)
        b.object(ln, format("ValASG%03d", i), ASG);
    for (int i = 1; i <= f.startTimes; ++i)
        b.object(ln, format("StrTm%02d", i), f.calendar ? Shape(TSG) : Shape(TSG_tm));
    b.object(ln, "SchdReuse", SPG);
    if (f.eventTriggered) {
        b.object(ln, "EvTrg", SPG);
        b.object(ln, "InSyn", ORG);
    }
}

void addStb(ModelBuilder& b)
{
    LogicalDevice* ld = b.device("STB");
    for (const NodeRow& n : kStbNodes)
        addObjects(b, b.node(ld, n.name), n.objects);
}

void addCls(ModelBuilder& b, const char* ldInst)
{
    LogicalDevice* ld = b.device(ldInst);
    for (const NodeRow& n : kClsFixedNodes) {
        LogicalNode* ln = b.node(ld, n.name);
        addObjects(b, ln, n.objects);
        if (std::string_view(n.name) == "ActPow_FSCC001")
            for (std::size_t i = 1; i <= std::size(kScheduleNodes); ++i)
                b.object(ln, format("Schd%03zu", i), ORG);
    }
    for (const ScheduleNode& node : kScheduleNodes)
        addScheduleNode(b, ld, node);
}

LogicalNode* lln0(LogicalDevice* ld)
{
    return static_cast<LogicalNode*>(ld->firstChild);
}

void addStbDataSets(ModelBuilder& b, LogicalDevice* stb)
{
    DataSet* events = b.dataSet(lln0(stb), "dataset01");
    for (const char* member : kStbDataSet01)
        b.dataSetEntry(events, "STB", member);
    DataSet* switches = b.dataSet(lln0(stb), "dataset02");
    for (const char* member : kStbDataSet02)
        b.dataSetEntry(switches, "STB", member);
}

void addClsDataSet(ModelBuilder& b, LogicalDevice* cls)
{
    const char* ldInst = cls->name;
    DataSet* set = b.dataSet(lln0(cls), "dataset01");
    b.dataSetEntry(set, ldInst, "ActPow_FSCC001$MX$ValMV");
    b.dataSetEntry(set, ldInst, "ActPow_FSCC001$ST$ActSchdRef");
    for (const char* object : {"SchdSt", "SchdEnaErr"})
        for (const ScheduleNode& node : kScheduleNodes)
            b.dataSetEntry(set, ldInst, std::string(node.name) + "$ST$" + object);
    for (const char* member : kClsDataSetTail)
        b.dataSetEntry(set, ldInst, member);
}

constexpr std::uint8_t kGi = TRG_OPT_GI;
constexpr std::uint8_t kReportOptions =
    RPT_OPT_TIME_STAMP | RPT_OPT_REASON_FOR_INCLUSION | RPT_OPT_DATA_SET | RPT_OPT_CONF_REV;

void addReports(ModelBuilder& b, LogicalDevice* ld, std::uint8_t trgOps)
{
    const std::string rptId = std::string(ld->name) + "/report01";
    for (const char* name : {"reportControl0101", "reportControl0102"})
        b.reportControl(lln0(ld), name, rptId, false, "dataset01", 1, trgOps, kReportOptions, 0, 0);
}

void addLog(ModelBuilder& b, LogicalDevice* ld, const char* control, const char* dataSet, const char* log,
            std::uint8_t trgOps)
{
    const std::string logRef = std::string(ld->name) + "/LLN0$" + log;
    b.logControl(lln0(ld), control, dataSet, logRef, trgOps, 0, true, true);
}

ModelBuilder build()
{
    ModelBuilder b(kIedName);
    addStb(b);
    addCls(b, "CLS1");
    addCls(b, "CLS2");
    LogicalDevice* stb = IedModel_getDeviceByInst(b.model(), "STB");
    LogicalDevice* cls1 = IedModel_getDeviceByInst(b.model(), "CLS1");
    LogicalDevice* cls2 = IedModel_getDeviceByInst(b.model(), "CLS2");

    addStbDataSets(b, stb);
    addClsDataSet(b, cls1);
    addClsDataSet(b, cls2);

    addReports(b, stb, D | Q | kGi);
    addReports(b, cls1, D | Q | U | kGi);
    addReports(b, cls2, D | Q | U | kGi);

    addLog(b, stb, "logControlSTB", "dataset01", "logSTB", D | Q);
    addLog(b, stb, "logControlRelay", "dataset02", "logRelay", D | Q);
    addLog(b, cls1, "logControlCLS1", "dataset01", "logCLS1", D | Q | U);
    addLog(b, cls2, "logControlCLS2", "dataset01", "logCLS2", D | Q | U);
    b.log(lln0(stb), "logSTB");
    b.log(lln0(stb), "logRelay");
    b.log(lln0(cls1), "logCLS1");
    b.log(lln0(cls2), "logCLS2");

    b.setInitializer(applyStartValues);
    return b;
}

ModelBuilder& builder()
{
    static ModelBuilder model = build();
    return model;
}

}  // namespace

IedModel* staticModel()
{
    return builder().model();
}

std::size_t staticModelBytes()
{
    return builder().arenaBytes();
}

}  // namespace box
