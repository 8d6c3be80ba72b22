// A small model for the IED layer tests: every functional constraint and
// attribute type, data object shapes as in the box's model (SPC, MV, ENS,
// ING, ASG, TSG, DPL), a sub data object, an array, a data set and a log.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"

namespace ied_test {

using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;

constexpr std::uint8_t kDchg = TRG_OPT_DATA_CHANGED;
constexpr std::uint8_t kQchg = TRG_OPT_QUALITY_CHANGED;

inline constexpr AttributeShape kSpc[] = {
    {"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN},
    {"Oper$origin$orCat", IEC61850_FC_CO, IEC61850_ENUMERATED},
    {"Oper$origin$orIdent", IEC61850_FC_CO, IEC61850_OCTET_STRING_64},
    {"Oper$ctlNum", IEC61850_FC_CO, IEC61850_INT8U},
    {"Oper$T", IEC61850_FC_CO, IEC61850_TIMESTAMP},
    {"Oper$Test", IEC61850_FC_CO, IEC61850_BOOLEAN},
    {"Oper$Check", IEC61850_FC_CO, IEC61850_CHECK},
    {"origin$orCat", IEC61850_FC_ST, IEC61850_ENUMERATED},
    {"origin$orIdent", IEC61850_FC_ST, IEC61850_OCTET_STRING_64},
    {"ctlNum", IEC61850_FC_ST, IEC61850_INT8U},
    {"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN, kDchg},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
    {"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED},
};
inline constexpr AttributeShape kMv[] = {
    {"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32, kDchg},
    {"q", IEC61850_FC_MX, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_MX, IEC61850_TIMESTAMP},
};
inline constexpr AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_ENUMERATED, kDchg},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};
inline constexpr AttributeShape kIng[] = {{"setVal", IEC61850_FC_SP, IEC61850_INT32, kDchg}};
inline constexpr AttributeShape kAsg[] = {{"setMag$f", IEC61850_FC_SP, IEC61850_FLOAT32, kDchg}};
inline constexpr AttributeShape kTsg[] = {{"setTm", IEC61850_FC_SP, IEC61850_TIMESTAMP, kDchg}};
inline constexpr AttributeShape kDpl[] = {
    {"vendor", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
    {"swRev", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
    {"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
};

// One SP attribute of every type, named after it.
inline constexpr AttributeShape kAllTypes[] = {
    {"b", IEC61850_FC_SP, IEC61850_BOOLEAN},
    {"i8", IEC61850_FC_SP, IEC61850_INT8},
    {"i16", IEC61850_FC_SP, IEC61850_INT16},
    {"i32", IEC61850_FC_SP, IEC61850_INT32},
    {"i64", IEC61850_FC_SP, IEC61850_INT64},
    {"u8", IEC61850_FC_SP, IEC61850_INT8U},
    {"u16", IEC61850_FC_SP, IEC61850_INT16U},
    {"u24", IEC61850_FC_SP, IEC61850_INT24U},
    {"u32", IEC61850_FC_SP, IEC61850_INT32U},
    {"f32", IEC61850_FC_SP, IEC61850_FLOAT32},
    {"f64", IEC61850_FC_SP, IEC61850_FLOAT64},
    {"enm", IEC61850_FC_SP, IEC61850_ENUMERATED},
    {"cde", IEC61850_FC_SP, IEC61850_CODEDENUM},
    {"o6", IEC61850_FC_SP, IEC61850_OCTET_STRING_6},
    {"o8", IEC61850_FC_SP, IEC61850_OCTET_STRING_8},
    {"o64", IEC61850_FC_SP, IEC61850_OCTET_STRING_64},
    {"v32", IEC61850_FC_SP, IEC61850_VISIBLE_STRING_32},
    {"v64", IEC61850_FC_SP, IEC61850_VISIBLE_STRING_64},
    {"v65", IEC61850_FC_SP, IEC61850_VISIBLE_STRING_65},
    {"v129", IEC61850_FC_SP, IEC61850_VISIBLE_STRING_129},
    {"v255", IEC61850_FC_SP, IEC61850_VISIBLE_STRING_255},
    {"u255", IEC61850_FC_SP, IEC61850_UNICODE_STRING_255},
    {"ts", IEC61850_FC_SP, IEC61850_TIMESTAMP},
    {"q", IEC61850_FC_SP, IEC61850_QUALITY},
    {"chk", IEC61850_FC_SP, IEC61850_CHECK},
    {"gbs", IEC61850_FC_SP, IEC61850_GENERIC_BITSTRING},
    {"et", IEC61850_FC_SP, IEC61850_ENTRY_TIME},
    {"pca", IEC61850_FC_SP, IEC61850_PHYCOMADDR},
    {"cur", IEC61850_FC_SP, IEC61850_CURRENCY},
    {"opt", IEC61850_FC_SP, IEC61850_OPTFLDS},
    {"trg", IEC61850_FC_SP, IEC61850_TRGOPS},
    {"arr", IEC61850_FC_SP, IEC61850_INT32, 0, 3},
};

// One INT32 attribute per functional constraint.
inline constexpr AttributeShape kEveryFc[] = {
    {"st", IEC61850_FC_ST, IEC61850_INT32}, {"mx", IEC61850_FC_MX, IEC61850_INT32},
    {"sp", IEC61850_FC_SP, IEC61850_INT32}, {"sv", IEC61850_FC_SV, IEC61850_INT32},
    {"cf", IEC61850_FC_CF, IEC61850_INT32}, {"dc", IEC61850_FC_DC, IEC61850_INT32},
    {"sg", IEC61850_FC_SG, IEC61850_INT32}, {"se", IEC61850_FC_SE, IEC61850_INT32},
    {"sr", IEC61850_FC_SR, IEC61850_INT32}, {"or", IEC61850_FC_OR, IEC61850_INT32},
    {"bl", IEC61850_FC_BL, IEC61850_INT32}, {"ex", IEC61850_FC_EX, IEC61850_INT32},
};

struct TestModel {
    ModelBuilder builder{"TESTIED"};
    LogicalDevice* ld0 = builder.device("LD0");
    LogicalDevice* cls1 = builder.device("CLS1");
    LogicalNode* lln0 = builder.node(ld0, "LLN0");
    LogicalNode* ggio = builder.node(ld0, "GGIO1");
    LogicalNode* fsch = builder.node(cls1, "EmpSPrg_FSCH020001");
    DataObject* mod = builder.object(lln0, "Mod", kEns);
    DataObject* namPlt = builder.object(lln0, "NamPlt", kDpl);
    DataObject* allTypes = builder.object(ggio, "AllTypes", kAllTypes);
    DataObject* everyFc = builder.object(ggio, "EveryFc", kEveryFc);
    DataObject* wye = builder.object(ggio, "PhV");
    DataObject* phsA = builder.object(wye, "phsA", kMv);
    DataObject* valMv = builder.object(fsch, "ValMV", kMv);
    DataObject* beh = builder.object(fsch, "Beh", kEns);
    DataObject* enaReq = builder.object(fsch, "EnaReq", kSpc);
    DataObject* schdPrio = builder.object(fsch, "SchdPrio", kIng);
    DataObject* valAsg = builder.object(fsch, "ValASG005", kAsg);
    DataObject* strTm = builder.object(fsch, "StrTm02", kTsg);
    DataObject* fschNamPlt = builder.object(fsch, "NamPlt", kDpl);

    TestModel()
    {
        DataSet* events = builder.dataSet(lln0, "Events");
        builder.dataSetEntry(events, "CLS1", "EmpSPrg_FSCH020001$ST$EnaReq$stVal");
        builder.dataSetEntry(events, "LD0", "LLN0$ST$Mod$stVal");
        builder.reportControl(lln0, "urcbEvents01", "LD0/Events", false, "Events", 1,
                              TRG_OPT_DATA_CHANGED | TRG_OPT_GI, RPT_OPT_SEQ_NUM, 0, 0);
        builder.log(lln0, "logLD0");
    }

    IedModel* model() { return builder.model(); }
    DataAttribute* attribute(ModelNode* node, const char* path)
    {
        return static_cast<DataAttribute*>(ModelNode_getByPath(node, path));
    }
};

}  // namespace ied_test
