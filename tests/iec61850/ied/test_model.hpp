// A small model for the IED layer tests: every functional constraint and
// attribute type, data object shapes as in the box's model (SPC, MV, ENS,
// ING, ASG, DPL), SPC, ENC and APC controls, a sub data object, an array, a
// data set and a log; and a test fixture serving it.
#pragma once

#include "ied_test_support.hpp"

#include "iec61850/mms/type_description.hpp"

#include <vector>

namespace ied_test {

using iec61850::Bytes;
using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;
using iec61850::mms::TypeDescription;
using iec61850::mms::Value;

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
inline constexpr AttributeShape kDpl[] = {
    {"vendor", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
    {"swRev", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
    {"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255},
};

// The SPC rows behind other ctlVal rows (and operTm for APC).
inline std::vector<AttributeShape> controlShape(std::initializer_list<AttributeShape> ctlRows)
{
    std::vector<AttributeShape> rows(ctlRows);
    rows.insert(rows.end(), std::begin(kSpc) + 1, std::end(kSpc));
    return rows;
}

// One INT32 attribute per functional constraint, named after it in lower case.
inline constexpr AttributeShape kEveryFc[] = {
    {"st", IEC61850_FC_ST, IEC61850_INT32}, {"mx", IEC61850_FC_MX, IEC61850_INT32},
    {"sp", IEC61850_FC_SP, IEC61850_INT32}, {"sv", IEC61850_FC_SV, IEC61850_INT32},
    {"cf", IEC61850_FC_CF, IEC61850_INT32}, {"dc", IEC61850_FC_DC, IEC61850_INT32},
    {"sg", IEC61850_FC_SG, IEC61850_INT32}, {"se", IEC61850_FC_SE, IEC61850_INT32},
    {"sr", IEC61850_FC_SR, IEC61850_INT32}, {"or", IEC61850_FC_OR, IEC61850_INT32},
    {"bl", IEC61850_FC_BL, IEC61850_INT32}, {"ex", IEC61850_FC_EX, IEC61850_INT32},
};

// One SP attribute of every type, named after it, with the MMS type it maps
// to and a value that differs from the start value.
struct TypeCase {
    AttributeShape shape;
    TypeDescription type;
    Value sample;
};

inline std::vector<TypeCase> everyType()
{
    auto sp = [](const char* name, DataAttributeType type, int count = 0) {
        return AttributeShape{name, IEC61850_FC_SP, type, 0, count};
    };
    const Bytes six{1, 2, 3, 4, 5, 6};
    using T = TypeDescription;
    return {
        {sp("b", IEC61850_BOOLEAN), T::boolean(), Value::boolean(true)},
        {sp("i8", IEC61850_INT8), T::integer(8), Value::integer(-128)},
        {sp("i16", IEC61850_INT16), T::integer(16), Value::integer(-32768)},
        {sp("i32", IEC61850_INT32), T::integer(32), Value::integer(-2147483647 - 1)},
        {sp("i64", IEC61850_INT64), T::integer(64), Value::integer(INT64_MIN)},
        {sp("u8", IEC61850_INT8U), T::unsignedInteger(8), Value::unsignedInteger(255)},
        {sp("u16", IEC61850_INT16U), T::unsignedInteger(16), Value::unsignedInteger(65535)},
        {sp("u24", IEC61850_INT24U), T::unsignedInteger(24), Value::unsignedInteger(0xFFFFFF)},
        {sp("u32", IEC61850_INT32U), T::unsignedInteger(32), Value::unsignedInteger(0xFFFFFFFF)},
        {sp("f32", IEC61850_FLOAT32), T::float32(), Value::float32(-1.5f)},
        {sp("f64", IEC61850_FLOAT64), T::float64(), Value::float64(1e300)},
        {sp("enm", IEC61850_ENUMERATED), T::integer(8), Value::integer(4)},
        {sp("cde", IEC61850_CODEDENUM), T::bitString(2), bits(2, {0})},
        {sp("o6", IEC61850_OCTET_STRING_6), T::octetString(-6), Value::octetString(six)},
        {sp("o8", IEC61850_OCTET_STRING_8), T::octetString(-8), Value::octetString(Bytes{1, 2, 3})},
        {sp("o64", IEC61850_OCTET_STRING_64), T::octetString(-64), Value::octetString(Bytes(64, 0xAB))},
        {sp("v32", IEC61850_VISIBLE_STRING_32), T::visibleString(-32), Value::visibleString(std::string(32, 'x'))},
        {sp("v64", IEC61850_VISIBLE_STRING_64), T::visibleString(-64), Value::visibleString("sixty-four")},
        {sp("v65", IEC61850_VISIBLE_STRING_65), T::visibleString(-65), Value::visibleString(std::string(65, 'y'))},
        {sp("v129", IEC61850_VISIBLE_STRING_129), T::visibleString(-129), Value::visibleString(std::string(129, 'z'))},
        {sp("v255", IEC61850_VISIBLE_STRING_255), T::visibleString(-255), Value::visibleString(std::string(255, 'w'))},
        {sp("u255", IEC61850_UNICODE_STRING_255), T::mmsString(-255), Value::mmsString("Grüße")},
        {sp("ts", IEC61850_TIMESTAMP), T::utcTime(), Value::utcTimeMs(1798761600000, 0x0A)},
        {sp("q", IEC61850_QUALITY), T::bitString(-13), bits(13, {1, 12})},
        {sp("chk", IEC61850_CHECK), T::bitString(-2), bits(2, {0})},
        {sp("gbs", IEC61850_GENERIC_BITSTRING), T::bitString(-32), bits(20, {19})},
        {sp("et", IEC61850_ENTRY_TIME), T::binaryTime(true), Value::binaryTimeMs(1798761600123)},
        {sp("pca", IEC61850_PHYCOMADDR),
         T::structure({T::octetString(6).named("Addr"), T::unsignedInteger(8).named("PRIORITY"),
                       T::unsignedInteger(16).named("VID"), T::unsignedInteger(16).named("APPID")}),
         Value::structure({Value::octetString(six), Value::unsignedInteger(4), Value::unsignedInteger(4095),
                           Value::unsignedInteger(0x3FFF)})},
        {sp("cur", IEC61850_CURRENCY), T::visibleString(3), Value::visibleString("EUR")},
        {sp("opt", IEC61850_OPTFLDS), T::bitString(10), bits(10, {9})},
        {sp("trg", IEC61850_TRGOPS), T::bitString(6), bits(6, {1, 2, 3, 4, 5})},
        {sp("arr", IEC61850_INT32, 3), T::array(3, T::integer(32)),
         Value::array({Value::integer(1), Value::integer(-2), Value::integer(3)})},
    };
}

inline std::vector<AttributeShape> shapesOf(const std::vector<TypeCase>& cases)
{
    std::vector<AttributeShape> shapes;
    for (const TypeCase& c : cases)
        shapes.push_back(c.shape);
    return shapes;
}

struct TestModel {
    ModelBuilder builder{"TESTIED"};
    LogicalDevice* ld0 = builder.device("LD0");
    LogicalDevice* cls1 = builder.device("CLS1");
    LogicalNode* lln0 = builder.node(ld0, "LLN0");
    LogicalNode* ggio = builder.node(ld0, "GGIO1");
    LogicalNode* fsch = builder.node(cls1, "EmpSPrg_FSCH020001");
    DataObject* mod = builder.object(lln0, "Mod", kEns);
    DataObject* namPlt = builder.object(lln0, "NamPlt", kDpl);
    DataObject* allTypes = builder.object(ggio, "AllTypes", shapesOf(everyType()));
    DataObject* everyFc = builder.object(ggio, "EveryFc", kEveryFc);
    DataObject* wye = builder.object(ggio, "PhV");
    DataObject* phsA = builder.object(wye, "phsA", kMv);
    DataObject* valMv = builder.object(fsch, "ValMV", kMv);
    DataObject* beh = builder.object(fsch, "Beh", kEns);
    DataObject* enaReq = builder.object(fsch, "EnaReq", kSpc);
    DataObject* schdPrio = builder.object(fsch, "SchdPrio", kIng);
    DataObject* valAsg = builder.object(fsch, "ValASG005", kAsg);
    LogicalNode* cswi = builder.node(ld0, "CSWI1");
    DataObject* spcSo = builder.object(cswi, "SpcSo", kSpc);
    DataObject* unhandled = builder.object(cswi, "Unhandled", kSpc);
    DataObject* enc =
        builder.object(cswi, "EncCtl", controlShape({{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_ENUMERATED}}));
    DataObject* apc = builder.object(cswi, "ApcCtl",
                                     controlShape({{"Oper$ctlVal$f", IEC61850_FC_CO, IEC61850_FLOAT32},
                                                   {"Oper$operTm", IEC61850_FC_CO, IEC61850_TIMESTAMP}}));

    TestModel()
    {
        builder.object(fsch, "NamPlt", kDpl);
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

// The test model served on 127.0.0.1, with a client.
class ServedModel : public ::testing::Test {
protected:
    void connect()
    {
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(server.connect(client));
    }
    Value read(std::string_view domain, std::string_view item) { return valueOf(client.read(domain, item)); }
    int write(std::string_view domain, std::string_view item, const Value& v)
    {
        return writeError(client, domain, item, v);
    }

    TestModel m;
    LoopbackServer server{m.model()};
    MmsConnection client;
};

}  // namespace ied_test
