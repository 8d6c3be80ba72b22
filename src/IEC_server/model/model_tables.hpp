// The tables both the tree and the start values are made from: the schedule
// node families of a CLS device and the fixed data set members.
#pragma once

#include "shapes.hpp"

namespace box {

struct ScheduleFamily {
    int group;            // first two digits of the instance; priority is ten times it
    bool operable;        // EnaReq / DsaReq with an Oper block
    int entries;          // ValASG001..
    int startTimes;       // StrTm01..
    bool calendar;        // StrTm entries with setCal
    bool eventTriggered;  // EvTrg and InSyn after SchdReuse
};

inline constexpr ScheduleFamily kSysRes{1, false, 100, 16, true, false};
inline constexpr ScheduleFamily kEmpSPrg{2, true, 100, 16, true, false};
inline constexpr ScheduleFamily kEmpSPrgLong{2, true, 300, 16, true, false};
inline constexpr ScheduleFamily kEmpWCmd{3, true, 1, 16, false, false};
inline constexpr ScheduleFamily kEmpDCmd{5, true, 1, 1, true, false};
inline constexpr ScheduleFamily kSysSoft{11, false, 1, 0, false, true};
inline constexpr ScheduleFamily kDsoWCmd{13, true, 1, 16, false, false};
inline constexpr ScheduleFamily kDsoDCmd{15, true, 1, 1, true, false};
inline constexpr ScheduleFamily kSysComEr{22, true, 100, 0, false, true};
inline constexpr ScheduleFamily kDsoECmd{25, true, 1, 1, true, false};

struct ScheduleNode {
    const char* name;
    const ScheduleFamily& family;
};

// In model order; ActPow_FSCC001.Schd001..Schd026 point to them in this order.
inline constexpr ScheduleNode kScheduleNodes[] = {
    {"SysRes_FSCH010001", kSysRes},
    {"EmpSPrg_FSCH020001", kEmpSPrg},     {"EmpSPrg_FSCH020002", kEmpSPrg},     {"EmpSPrg_FSCH020003", kEmpSPrg},
    {"EmpSPrg_FSCH020004", kEmpSPrg},     {"EmpSPrg_FSCH020005", kEmpSPrg},
    {"EmpSPrg_FSCH020101", kEmpSPrgLong}, {"EmpSPrg_FSCH020102", kEmpSPrgLong}, {"EmpSPrg_FSCH020103", kEmpSPrgLong},
    {"EmpWCmd_FSCH030001", kEmpWCmd},     {"EmpWCmd_FSCH030002", kEmpWCmd},
    {"EmpDCmd_FSCH050001", kEmpDCmd},     {"EmpDCmd_FSCH050002", kEmpDCmd},
    {"SysSoft_FSCH110001", kSysSoft},     {"SysSoft_FSCH110002", kSysSoft},     {"SysSoft_FSCH110003", kSysSoft},
    {"SysSoft_FSCH110004", kSysSoft},
    {"DsoWCmd_FSCH130001", kDsoWCmd},     {"DsoWCmd_FSCH130002", kDsoWCmd},
    {"DsoDCmd_FSCH150001", kDsoDCmd},     {"DsoDCmd_FSCH150002", kDsoDCmd},
    {"SysComEr_FSCH220001", kSysComEr},
    {"DsoECmd_FSCH250001", kDsoECmd},     {"DsoECmd_FSCH250002", kDsoECmd},     {"DsoECmd_FSCH250003", kDsoECmd},
    {"DsoECmd_FSCH250004", kDsoECmd},
};

// The physical-device node is LPHD: members naming it resolve.
inline constexpr const char* kStbDataSet01[] = {
    "LPHD$ST$PwrSupAlm",      "LPHD$ST$PhyHealth",      "LCMS1$ST$VndCerExpNr1", "LCMS1$ST$VndCerExpNr2",
    "LCMS1$ST$OpCerExpNr1",   "LCMS1$ST$OpCerExpNr2",   "LCMS1$ST$DevCerExpNr1", "LCMS1$ST$DevCerCrt1",
    "LCMS1$ST$DevCerExpNr2",  "LCMS1$ST$DevCerCrt2",    "LDMS1$ST$UpdSt",        "LDMS1$ST$UpdErrCode",
    "LDMS1$ST$UpdErrMsg",     "CommFail_GGIO1$ST$Ind1", "CommFail_GGIO1$ST$Ind2", "LTMS1$ST$TmSyn",
    "LTMS1$ST$TmSyc",         "LTMS1$ST$TmOfs",         "LTMS1$ST$TmUpd",        "Test_GGIO1$ST$Ind1",
    "Test_GGIO1$ST$Ind2",     "Test_GGIO1$ST$SPCSO1",   "Manip_GGIO1$ST$Ind1",   "Manip_GGIO1$ST$SPCSO1",
    "LPHD$ST$WrmStr",         "LPHD$ST$NumPwrUp"};

inline constexpr const char* kStbDataSet02[] = {"S1_XSWI1$ST$Pos", "S2_XSWI1$ST$Pos", "W3_XSWI1$ST$Pos",
                                                "W4_XSWI1$ST$Pos"};

// CLS dataset01 after ValMV, ActSchdRef and the SchdSt / SchdEnaErr of every schedule node.
inline constexpr const char* kClsDataSetTail[] = {
    "MMXU001$MX$TotW",           "ActPow_GGIO001$MX$AnOut1",      "ActPow_GGIO001$MX$AnIn1",
    "ActPow_GGIO001$ST$EEHealth", "ActPow_GGIO001$ST$Ind1",       "ActPow_GGIO001$ST$Ind2",
    "FailSafe_GGIO001$MX$FailDurGet", "FailSafe_GGIO001$MX$FailPGnGet", "FailSafe_GGIO001$MX$FailPLodGet"};

// The model's initializer.
void applyStartValues();

}  // namespace box
