// The data object shapes of the box's model: every attribute in order with
// its functional constraint, type and trigger options. Constructed attributes
// that carry triggers are listed before their components.
#pragma once

#include "iec61850/ied/model.hpp"

#include <span>

namespace box::shapes {

using iec61850::ied::AttributeShape;
using Shape = std::span<const AttributeShape>;

inline constexpr std::uint8_t D = TRG_OPT_DATA_CHANGED;
inline constexpr std::uint8_t Q = TRG_OPT_QUALITY_CHANGED;
inline constexpr std::uint8_t U = TRG_OPT_DATA_UPDATE;

inline constexpr auto ST = IEC61850_FC_ST;
inline constexpr auto MX = IEC61850_FC_MX;
inline constexpr auto SP = IEC61850_FC_SP;
inline constexpr auto CF = IEC61850_FC_CF;
inline constexpr auto DC = IEC61850_FC_DC;
inline constexpr auto EX = IEC61850_FC_EX;
inline constexpr auto CO = IEC61850_FC_CO;

inline constexpr auto BOOL = IEC61850_BOOLEAN;
inline constexpr auto U8 = IEC61850_INT8U;
inline constexpr auto U16 = IEC61850_INT16U;
inline constexpr auto I32 = IEC61850_INT32;
inline constexpr auto U32 = IEC61850_INT32U;
inline constexpr auto F32 = IEC61850_FLOAT32;
inline constexpr auto ENUM = IEC61850_ENUMERATED;
inline constexpr auto CODED = IEC61850_CODEDENUM;
inline constexpr auto OCT64 = IEC61850_OCTET_STRING_64;
inline constexpr auto VS129 = IEC61850_VISIBLE_STRING_129;
inline constexpr auto VS255 = IEC61850_VISIBLE_STRING_255;
inline constexpr auto TS = IEC61850_TIMESTAMP;
inline constexpr auto QUAL = IEC61850_QUALITY;
inline constexpr auto CHECK = IEC61850_CHECK;
inline constexpr auto CONS = IEC61850_CONSTRUCTED;

#define BOX_UNITS(fc, trg) {"units", fc, CONS, trg}, {"units$SIUnit", fc, ENUM, trg}, {"units$multiplier", fc, ENUM, trg}
#define BOX_ORIGIN(prefix, fc) {prefix "origin$orCat", fc, ENUM}, {prefix "origin$orIdent", fc, OCT64}
#define BOX_OPER_TAIL BOX_ORIGIN("Oper$", CO), {"Oper$ctlNum", CO, U8}, {"Oper$T", CO, TS}, \
    {"Oper$Test", CO, BOOL}, {"Oper$Check", CO, CHECK}
#define BOX_STATUS(type, fc) {"stVal", fc, type, D}, {"q", fc, QUAL, Q}, {"t", fc, TS}
#define BOX_FLOAT(name, fc, trg) {name, fc, CONS, trg}, {name "$f", fc, F32, trg}

inline constexpr AttributeShape APC[] = {
    BOX_FLOAT("mxVal", MX, D), {"q", MX, QUAL, Q}, {"t", MX, TS}, {"ctlModel", CF, ENUM, D},
    {"Oper$ctlVal$f", CO, F32}, BOX_OPER_TAIL,
    BOX_UNITS(CF, D), BOX_FLOAT("minVal", CF, D), BOX_FLOAT("maxVal", CF, D)};
inline constexpr AttributeShape APC_st[] = {
    BOX_FLOAT("mxVal", MX, D), {"q", MX, QUAL, Q}, {"t", MX, TS}, {"ctlModel", CF, ENUM, D},
    BOX_UNITS(CF, D), BOX_FLOAT("minVal", CF, D), BOX_FLOAT("maxVal", CF, D)};
inline constexpr AttributeShape ASG[] = {BOX_FLOAT("setMag", SP, D), BOX_UNITS(CF, D)};
inline constexpr AttributeShape DPC_st[] = {BOX_STATUS(CODED, ST), {"ctlModel", CF, ENUM, D}};
inline constexpr AttributeShape DPL[] = {{"vendor", DC, VS255}, {"hwRev", DC, VS255}, {"swRev", DC, VS255},
                                         {"serNum", DC, VS255}, {"model", DC, VS255}, {"mRID", DC, VS255}};
inline constexpr AttributeShape DPL_ee[] = {
    {"vendor", DC, VS255}, {"model", DC, VS255}, {"mRID", DC, VS255}, {"d", DC, VS255}};
inline constexpr AttributeShape ENC[] = {
    BOX_STATUS(ENUM, ST), {"ctlModel", CF, ENUM, D}, {"Oper$ctlVal", CO, ENUM}, BOX_OPER_TAIL};
inline constexpr AttributeShape ENC_st[] = {BOX_STATUS(ENUM, ST), {"ctlModel", CF, ENUM, D}};
inline constexpr AttributeShape ENS[] = {BOX_STATUS(ENUM, ST)};
inline constexpr AttributeShape ING[] = {{"setVal", SP, I32, D}};
inline constexpr AttributeShape ING_u[] = {{"setVal", SP, I32, D}, BOX_UNITS(CF, D)};
inline constexpr AttributeShape INS[] = {BOX_STATUS(I32, ST)};
inline constexpr AttributeShape INS_u[] = {BOX_STATUS(I32, ST), BOX_UNITS(CF, 0)};
inline constexpr AttributeShape LPL[] = {{"vendor", DC, VS255}, {"swRev", DC, VS255}, {"d", DC, VS255}};
inline constexpr AttributeShape LPL_ld[] = {{"vendor", DC, VS255}, {"swRev", DC, VS255}, {"ldNs", EX, VS255},
                                            {"d", DC, VS255}, {"configRev", DC, VS255}};
inline constexpr AttributeShape LPL_ln[] = {
    {"vendor", DC, VS255}, {"swRev", DC, VS255}, {"d", DC, VS255}, {"lnNs", EX, VS255}};
inline constexpr AttributeShape MV[] = {BOX_FLOAT("mag", MX, U), {"q", MX, QUAL, Q}, {"t", MX, TS}, BOX_UNITS(CF, D)};
inline constexpr AttributeShape MV_db[] = {BOX_FLOAT("mag", MX, U), {"q", MX, QUAL, Q}, {"t", MX, TS},
                                           BOX_UNITS(CF, D), {"db", CF, U32, D}, {"dbRef", CF, F32, D},
                                           {"d", DC, VS255}};
inline constexpr AttributeShape ORG[] = {{"setSrcRef", SP, VS129, D}};
inline constexpr AttributeShape RS[] = {BOX_STATUS(VS129, ST)};
inline constexpr AttributeShape SPC[] = {
    BOX_ORIGIN("", ST), {"ctlNum", ST, U8}, BOX_STATUS(BOOL, ST), {"ctlModel", CF, ENUM, D},
    {"Oper$ctlVal", CO, BOOL}, BOX_OPER_TAIL};
inline constexpr AttributeShape SPC_st[] = {BOX_STATUS(BOOL, ST), {"ctlModel", CF, ENUM, D}};
inline constexpr AttributeShape SPC_tm[] = {
    BOX_STATUS(BOOL, ST), {"ctlModel", CF, ENUM, D}, {"Oper$ctlVal", CO, BOOL}, {"Oper$operTm", CO, TS},
    BOX_OPER_TAIL};
inline constexpr AttributeShape SPG[] = {{"setVal", SP, BOOL, D}};
inline constexpr AttributeShape SPS[] = {BOX_STATUS(BOOL, ST)};
inline constexpr AttributeShape TS_[] = {BOX_STATUS(TS, ST)};
inline constexpr AttributeShape TSG[] = {
    {"setTm", SP, TS, D},      {"setCal", SP, CONS, D},    {"setCal$occ", SP, U16, D},
    {"setCal$occType", SP, ENUM, D}, {"setCal$occPer", SP, ENUM, D}, {"setCal$weekDay", SP, ENUM, D},
    {"setCal$month", SP, ENUM, D},   {"setCal$day", SP, U8, D},      {"setCal$hr", SP, U8, D},
    {"setCal$mn", SP, U8, D}};
inline constexpr AttributeShape TSG_tm[] = {{"setTm", SP, TS, D}};
inline constexpr AttributeShape VSS[] = {BOX_STATUS(VS255, ST)};
inline constexpr AttributeShape VSS_ns[] = {BOX_STATUS(VS255, ST), {"dataNs", EX, VS255}};

#undef BOX_UNITS
#undef BOX_ORIGIN
#undef BOX_OPER_TAIL
#undef BOX_STATUS
#undef BOX_FLOAT

}  // namespace box::shapes
