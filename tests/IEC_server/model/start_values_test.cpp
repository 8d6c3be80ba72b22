// Start values after server creation, read through the server API and found
// with findDataAttribute.
#include "box_model.hpp"

#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

class StartValues : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = IedServer_create(box::staticModel()); }
    static void TearDownTestSuite() { IedServer_destroy(server); }
    void SetUp() override { ASSERT_NE(server, nullptr); }

    static MmsValue* value(const char* ld, const char* ln, const char* object, const char* da)
    {
        DataAttribute* a = box::findDataAttribute(ld, ln, object, da);
        EXPECT_NE(a, nullptr) << ld << "/" << ln << "." << object << "." << da;
        return a ? IedServer_getAttributeValue(server, a) : nullptr;
    }
    static std::int32_t integer(const char* ld, const char* ln, const char* object, const char* da = "stVal")
    {
        return MmsValue_toInt32(value(ld, ln, object, da));
    }
    static std::string text(const char* ld, const char* ln, const char* object, const char* da)
    {
        const char* s = MmsValue_toString(value(ld, ln, object, da));
        return s ? s : "<none>";
    }
    static MmsValue* component(MmsValue* v, int i) { return MmsValue_getElement(v, i); }

    static inline IedServer server = nullptr;
};

TEST_F(StartValues, CountsByKind)
{
    const box::StartValueCounts& c = box::lastStartValueCounts();
    EXPECT_EQ(c.integer, 7412);
    EXPECT_EQ(c.string, 96);
    EXPECT_EQ(c.boolean, 17);
    EXPECT_EQ(c.floating, 6);
    EXPECT_EQ(c.unsignedInt, 2);
    EXPECT_EQ(c.total(), 7533);
}

TEST_F(StartValues, References)
{
    EXPECT_EQ(text("CLS2", "ActPow_FSCC001", "Schd022", "setSrcRef"), "@CLS2/SysComEr_FSCH220001");
    EXPECT_EQ(text("CLS1", "ActPow_FSCC001", "Schd014", "setSrcRef"), "@CLS1/SysSoft_FSCH110001");
    EXPECT_EQ(text("CLS1", "ActPow_FSCC001", "Schd001", "setSrcRef"), "@CLS1/SysRes_FSCH010001");
    EXPECT_EQ(text("CLS2", "ActPow_FSCC001", "Schd026", "setSrcRef"), "@CLS2/DsoECmd_FSCH250004");
    EXPECT_EQ(text("CLS2", "ActPow_FSCC001", "CtlEnt", "setSrcRef"), "@CLS2/ActPow_GGIO001.AnOut1.mxVal.f");
    EXPECT_EQ(text("CLS1", "SysSoft_FSCH110004", "InSyn", "setSrcRef"), "@CLS1/Softstart_GGIO001.Ind4.stVal");
    EXPECT_EQ(text("CLS2", "SysComEr_FSCH220001", "InSyn", "setSrcRef"), "@CLS2/CommFail_GGIO1.Ind1.stVal");
    EXPECT_EQ(text("CLS1", "LLN0", "GrRef", "setSrcRef"), "@STB");
    EXPECT_EQ(text("CLS1", "ActPow_FSCC001", "ActSchdRef", "stVal"), "");
}

TEST_F(StartValues, ScheduleParameters)
{
    EXPECT_EQ(integer("CLS1", "EmpSPrg_FSCH020102", "NumEntr", "setVal"), 300);
    EXPECT_EQ(integer("CLS1", "EmpSPrg_FSCH020102", "SchdPrio", "setVal"), 20);
    EXPECT_EQ(integer("CLS2", "SysRes_FSCH010001", "SchdPrio", "setVal"), 10);
    EXPECT_EQ(integer("CLS2", "DsoECmd_FSCH250003", "SchdPrio", "setVal"), 250);
    EXPECT_EQ(integer("CLS2", "DsoECmd_FSCH250003", "NumEntr", "setVal"), 1);
    EXPECT_EQ(integer("CLS1", "SysComEr_FSCH220001", "NumEntr", "setVal"), 100);
    EXPECT_EQ(integer("CLS1", "SysComEr_FSCH220001", "SchdPrio", "setVal"), 220);
    EXPECT_EQ(integer("CLS1", "SysSoft_FSCH110002", "SchdEnaErr"), 1);
    EXPECT_EQ(integer("CLS1", "SysSoft_FSCH110002", "SchdSt"), 0);
    EXPECT_EQ(integer("CLS1", "EmpWCmd_FSCH030002", "SchdIntv", "setVal"), 0);
    EXPECT_TRUE(MmsValue_getBoolean(value("CLS1", "SysComEr_FSCH220001", "SchdReuse", "setVal")));
    EXPECT_FALSE(MmsValue_getBoolean(value("CLS1", "EmpSPrg_FSCH020001", "SchdReuse", "setVal")));
    EXPECT_TRUE(MmsValue_getBoolean(value("CLS2", "SysSoft_FSCH110003", "EvTrg", "setVal")));

    MmsValue* cal = value("CLS1", "SysRes_FSCH010001", "StrTm16", "setCal");
    EXPECT_EQ(MmsValue_toInt32(component(cal, 1)), 5);  // occType
    EXPECT_EQ(MmsValue_toInt32(component(cal, 0)), 0);
    EXPECT_EQ(box::findDataAttribute("CLS1", "EmpWCmd_FSCH030001", "StrTm16", "setCal"), nullptr);
    EXPECT_EQ(MmsValue_getUtcTimeInMs(value("CLS1", "EmpWCmd_FSCH030001", "StrTm16", "setTm")), 0u);
    EXPECT_EQ(MmsValue_toFloat(component(value("CLS2", "EmpSPrg_FSCH020101", "ValASG300", "setMag"), 0)), 0.0f);
}

TEST_F(StartValues, BehaviourModeAndControlModels)
{
    EXPECT_EQ(integer("CLS1", "FailSafe_GGIO001", "Beh"), 0);
    EXPECT_EQ(integer("CLS1", "DERRtg_GGIO001", "Beh"), 0);
    EXPECT_EQ(integer("CLS1", "DERRtg_GGIO001", "Mod"), 0);
    EXPECT_EQ(integer("CLS1", "ActPow_GGIO001", "Beh"), 1);
    EXPECT_EQ(integer("CLS2", "DsoECmd_FSCH250004", "Beh"), 1);
    EXPECT_EQ(integer("STB", "CommFail_GGIO1", "Beh"), 1);
    EXPECT_EQ(integer("STB", "LLN0", "Health"), 1);
    EXPECT_EQ(integer("STB", "LLN0", "Mod"), 1);
    EXPECT_EQ(integer("STB", "LPHD", "PhyHealth"), 0);
    EXPECT_EQ(integer("STB", "W3_XSWI1", "SwTyp"), 1);
    EXPECT_TRUE(MmsValue_getBoolean(value("STB", "S1_XSWI1", "Loc", "stVal")));
    EXPECT_FALSE(MmsValue_getBoolean(value("STB", "LPHD", "Proxy", "stVal")));

    for (auto [ld, ln, object, model] : {std::tuple{"STB", "LPHD", "RsDev", 1}, {"STB", "LDMS1", "UpdInst", 1},
                                         {"STB", "Test_GGIO1", "SPCSO1", 1}, {"STB", "LLN0", "Mod", 0},
                                         {"STB", "W4_XSWI1", "Pos", 0}, {"STB", "S2_XSWI1", "BlkCls", 0},
                                         {"CLS1", "ActPow_GGIO001", "AnOut1", 0}, {"CLS1", "SysRes_FSCH010001", "EnaReq", 0},
                                         {"CLS1", "SysSoft_FSCH110004", "DsaReq", 0},
                                         {"CLS2", "EmpDCmd_FSCH050001", "EnaReq", 1},
                                         {"CLS2", "FailSafe_GGIO001", "Mod", 1},
                                         {"CLS2", "FailSafe_GGIO001", "FailPLodSet", 1}})
        EXPECT_EQ(integer(ld, ln, object, "ctlModel"), model) << ld << "/" << ln << "." << object;
}

TEST_F(StartValues, UnitsNamePlatesAndMeasurementSettings)
{
    auto units = [](const char* ld, const char* ln, const char* object) {
        MmsValue* u = value(ld, ln, object, "units");
        return std::pair{MmsValue_toInt32(component(u, 0)), MmsValue_toInt32(component(u, 1))};
    };
    EXPECT_EQ(units("CLS1", "EmpSPrg_FSCH020103", "ValASG300"), std::pair(38, 3));
    EXPECT_EQ(units("CLS2", "MMXU001", "TotW"), std::pair(38, 3));
    EXPECT_EQ(units("CLS2", "DERRtg_GGIO001", "CnttPLod"), std::pair(38, 3));
    EXPECT_EQ(units("CLS2", "ActPow_FSCC001", "ValMV"), std::pair(38, 3));
    EXPECT_EQ(units("CLS1", "DsoWCmd_FSCH130001", "SchdIntv"), std::pair(4, 0));
    EXPECT_EQ(units("CLS1", "FailSafe_GGIO001", "FailDurSet"), std::pair(4, 0));
    EXPECT_EQ(units("CLS1", "FailSafe_GGIO001", "FailDurGet"), std::pair(4, 0));
    EXPECT_EQ(units("STB", "LTMS1", "TmOfs"), std::pair(4, 0));

    EXPECT_EQ(text("STB", "LLN0", "NamPlt", "vendor"), "de.vde.fnn.stb.admin");
    EXPECT_EQ(text("STB", "LLN0", "NamPlt", "d"), "Admin-Modell für die Steuerbox nach LH V1.2 vom 2020-xx-xx.");
    EXPECT_EQ(text("CLS2", "LLN0", "NamPlt", "configRev"), "1.2.0");
    EXPECT_EQ(text("CLS2", "LLN0", "NamPlt", "ldNs"), "IEC 61850-7-4:2007B");
    EXPECT_EQ(text("CLS1", "DERRtg_GGIO001", "NamPlt", "lnNs"), "FNN-STB-ext:2019A");
    EXPECT_EQ(text("CLS1", "DERRtg_GGIO001", "NamPlt", "vendor"), "");
    EXPECT_EQ(text("STB", "LPHD", "PhyNam", "model"), "Kelvra");
    EXPECT_EQ(text("STB", "LPHD", "PhyNam", "serNum"), "13377331");
    EXPECT_EQ(text("STB", "LPHD", "NamParamRev", "dataNs"), "FNN-STB-ext:2019A");
    EXPECT_EQ(text("CLS1", "ActPow_GGIO001", "EEName", "vendor"), "");

    EXPECT_EQ(MmsValue_toUint32(value("CLS1", "MMXU001", "TotW", "db")), 1000u);
    EXPECT_EQ(MmsValue_getType(value("CLS1", "MMXU001", "TotW", "db")), MMS_UNSIGNED);
    EXPECT_EQ(MmsValue_toFloat(value("CLS2", "MMXU001", "TotW", "dbRef")), 100.0f);
    EXPECT_EQ(text("CLS2", "MMXU001", "TotW", "d"), "Wirkleistungswert");
    EXPECT_EQ(MmsValue_toFloat(component(value("CLS1", "FailSafe_GGIO001", "FailDurSet", "maxVal"), 0)), 86400.0f);
    EXPECT_EQ(MmsValue_toFloat(component(value("CLS1", "FailSafe_GGIO001", "FailPGnSet", "maxVal"), 0)), 0.0f);
}

TEST(StartValuesRerun, ASecondServerStartsFromTheSameValues)
{
    for (int round = 0; round < 2; ++round) {
        IedServer server = IedServer_create(box::staticModel());
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(box::lastStartValueCounts().total(), 7533);
        DataAttribute* prio = box::findDataAttribute("CLS1", "EmpWCmd_FSCH030001", "SchdPrio", "setVal");
        EXPECT_EQ(IedServer_getInt32AttributeValue(server, prio), 30);
        IedServer_updateInt32AttributeValue(server, prio, 99);
        IedServer_destroy(server);
    }
}

}  // namespace
