// A small model for the IED layer tests: data objects shaped as in the box's
// model (SPC, ENC and APC controls, MV, ENS, ING, ASG, DPL), a sub data
// object, one SP attribute of every type, one INT32 attribute per functional
// constraint; in CLS1 a data set with two report blocks sharing one RptID
// (TrgOps 23 and 19) and a log block; and a fixture serving it.
#pragma once

#include "ied_test_support.hpp"

#include "iec61850/mms/type_description.hpp"

namespace ied_test {

using iec61850::Bytes;
using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;
using iec61850::mms::TypeDescription;
using iec61850::mms::Value;

constexpr std::uint8_t kDchg = TRG_OPT_DATA_CHANGED, kQchg = TRG_OPT_QUALITY_CHANGED, kDupd = TRG_OPT_DATA_UPDATE;

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
    {"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32},
    {"q", IEC61850_FC_MX, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_MX, IEC61850_TIMESTAMP},
};
inline constexpr AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_ENUMERATED, kDchg},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};
inline constexpr AttributeShape kCounter[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, kDchg | kDupd},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, kQchg},
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

// One SP attribute of every type (tests/data/ied/attribute_types.txt), with
// the MMS type it maps to and a value that differs from the start value.
struct TypeCase {
    AttributeShape shape;
    TypeDescription type;
    Value sample;
};

inline const std::vector<TypeCase>& everyType()
{
    static const auto rows = dataRows(TEST_IED_DATA_DIR "/attribute_types.txt");  // the names live here
    static std::vector<TypeCase> cases;
    for (std::size_t i = cases.size(); i < rows.size(); ++i) {
        const auto& row = rows[i];
        cases.push_back({{row.at(0).c_str(), IEC61850_FC_SP, static_cast<DataAttributeType>(std::stoi(row.at(1))), 0,
                          std::stoi(row.at(2))}, {}, {}});
        EXPECT_EQ(TypeDescription::decode(fromHex(row.at(3)), cases.back().type), iec61850::mms::Status::Ok) << row[0];
        EXPECT_EQ(Value::decodeData(fromHex(row.at(4)), cases.back().sample), iec61850::ber::Status::Ok) << row[0];
    }
    return cases;
}

struct TestModel {
    ModelBuilder builder{"BOX"};
    LogicalDevice* ld0 = builder.device("LD0");
    LogicalDevice* cls1 = builder.device("CLS1");
    LogicalNode* ggio = builder.node(ld0, "GGIO1");
    LogicalNode* fsch = builder.node(cls1, "EmpSPrg_FSCH020001");
    LogicalNode* lln0 = builder.node(cls1, "LLN0");
    LogicalNode* ggio1 = builder.node(cls1, "GGIO1");
    DataObject* allTypes = builder.object(ggio, "AllTypes");
    DataObject* everyFc = builder.object(ggio, "EveryFc", kEveryFc);
    DataObject* phsA = builder.object(builder.object(ggio, "PhV"), "phsA", kMv);
    DataObject* valMv = builder.object(fsch, "ValMV", kMv);
    DataObject* beh = builder.object(fsch, "Beh", kEns);
    DataObject* enaReq = builder.object(fsch, "EnaReq", kSpc);
    DataObject* schdPrio = builder.object(fsch, "SchdPrio", kIng);
    DataObject* valAsg = builder.object(fsch, "ValASG005", kAsg);
    DataObject* namPlt = builder.object(fsch, "NamPlt", kDpl);
    LogicalNode* cswi = builder.node(ld0, "CSWI1");
    DataObject* spcSo = builder.object(cswi, "SpcSo", kSpc);
    DataObject* unhandled = builder.object(cswi, "Unhandled", kSpc);
    DataObject* enc =
        builder.object(cswi, "EncCtl", controlShape({{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_ENUMERATED}}));
    DataObject* apc = builder.object(cswi, "ApcCtl",
                                     controlShape({{"Oper$ctlVal$f", IEC61850_FC_CO, IEC61850_FLOAT32},
                                                   {"Oper$operTm", IEC61850_FC_CO, IEC61850_TIMESTAMP}}));
    DataObject* ind = builder.object(ggio1, "Ind", kEns);
    DataObject* cnt = builder.object(ggio1, "Cnt", kCounter);
    DataObject* anIn = builder.object(ggio1, "AnIn", kMv);
    DataSet* dataSet = builder.dataSet(lln0, "dataset01");

    TestModel()
    {
        for (const TypeCase& c : everyType())
            builder.attribute(allTypes, c.shape);
        for (const char* member : {"GGIO1$ST$Ind", "GGIO1$ST$Cnt", "GGIO1$MX$AnIn"})
            builder.dataSetEntry(dataSet, "CLS1", member);
        constexpr int kOptFlds = RPT_OPT_TIME_STAMP | RPT_OPT_REASON_FOR_INCLUSION | RPT_OPT_DATA_SET | RPT_OPT_CONF_REV;
        builder.reportControl(lln0, "reportControl0101", "CLS1/report01", false, "dataset01", 1, 23, kOptFlds, 0, 0);
        builder.reportControl(lln0, "reportControl0102", "CLS1/report01", false, "dataset01", 1, 19, kOptFlds, 0, 0);
        builder.logControl(lln0, "logControlCLS1", "dataset01", "CLS1/LLN0$logCLS1", 7, 0, true, true);
        builder.log(lln0, "logCLS1");
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
