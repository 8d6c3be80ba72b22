// Saving the model right after start-up: layout, type tags, start values, and
// saves that cannot be written.
#include "model_values.hpp"

#include <tinyxml2.h>

#include <filesystem>

namespace persistence::test {
namespace {

using tinyxml2::XMLElement;

// The tag a value of the attribute type is stored under; nullptr: stored bare.
const char* expectedUnit(DataAttributeType type)
{
    switch (type) {
    case IEC61850_BOOLEAN: return "MMS_BOOLEAN";
    case IEC61850_QUALITY:
    case IEC61850_CHECK:
    case IEC61850_CODEDENUM: return "MMS_BITSTRING";
    case IEC61850_INT32:
    case IEC61850_ENUMERATED: return "MMS_INTEGER";
    case IEC61850_INT8U:
    case IEC61850_INT16U:
    case IEC61850_INT32U: return "MMS_UNSIGNED";
    case IEC61850_FLOAT32: return "MMS_FLOAT";
    case IEC61850_VISIBLE_STRING_129:
    case IEC61850_VISIBLE_STRING_255: return "MMS_VISIBLE_STRING";
    case IEC61850_TIMESTAMP: return "MMS_UTC_TIME";
    default: return nullptr;
    }
}

const char* expectedUnit(const DataAttribute* attribute)
{
    if (attribute->type == IEC61850_CONSTRUCTED)
        return expectedUnit(static_cast<const DataAttribute*>(attribute->firstChild)->type);
    return expectedUnit(attribute->type);
}

class SavedAtStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.get(), nullptr);
        ASSERT_TRUE(save_all_IEC_values_in_XML(server.get(), file, output.streams()));
        ASSERT_EQ(document.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
        root = document.RootElement();
        ASSERT_NE(root, nullptr);
    }

    // The attribute element at LD/LN/DO/DA.
    const XMLElement* entry(const char* ld, const char* ln, const char* dataObject, const char* da)
    {
        const XMLElement* e = root->FirstChildElement(ld);
        for (const char* name : {ln, dataObject, da})
            e = e ? e->FirstChildElement(name) : nullptr;
        EXPECT_NE(e, nullptr) << ld << '/' << ln << '.' << dataObject << '.' << da;
        return e;
    }

    void expectEntry(const char* ld, const char* ln, const char* dataObject, const char* da, const char* unit,
                     const char* value)
    {
        const XMLElement* e = entry(ld, ln, dataObject, da);
        if (!e)
            return;
        const tinyxml2::XMLAttribute* first = e->FirstAttribute();
        ASSERT_NE(first, nullptr) << da << " is bare";
        EXPECT_STREQ(first->Name(), "unit");
        EXPECT_STREQ(first->Value(), unit) << ld << '/' << ln << '.' << dataObject << '.' << da;
        ASSERT_NE(first->Next(), nullptr);
        EXPECT_STREQ(first->Next()->Name(), "value");
        EXPECT_STREQ(first->Next()->Value(), value) << ld << '/' << ln << '.' << dataObject << '.' << da;
        EXPECT_EQ(first->Next()->Next(), nullptr);
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    ModelServer server;
    Captured output;
    tinyxml2::XMLDocument document;
    const XMLElement* root = nullptr;
};

TEST_F(SavedAtStart, FileHoldsEveryDeviceNodeObjectAndAttributeInModelOrder)
{
    EXPECT_EQ(output.out.str(), "-- Saving all the data --\nsave_all_IEC_values_in_XML is done\n");
    EXPECT_EQ(output.err.str(), "");
    ASSERT_NE(document.FirstChild()->ToDeclaration(), nullptr);
    EXPECT_STREQ(document.FirstChild()->Value(), "xml version=\"1.0\" encoding=\"UTF-8\"");
    EXPECT_STREQ(root->Name(), "Root");

    int devices = 0, nodes = 0, objects = 0, attributes = 0;
    const XMLElement* ldElement = root->FirstChildElement();
    for (ModelNode* ld = box::staticModel()->firstChild; ld; ld = ld->sibling, ++devices) {
        ASSERT_NE(ldElement, nullptr);
        ASSERT_STREQ(ldElement->Name(), ld->name);
        const XMLElement* lnElement = ldElement->FirstChildElement();
        for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling, ++nodes) {
            ASSERT_STREQ(lnElement->Name(), ln->name);
            const XMLElement* doElement = lnElement->FirstChildElement();
            for (ModelNode* dataObject = ln->firstChild; dataObject; dataObject = dataObject->sibling, ++objects) {
                ASSERT_STREQ(doElement->Name(), dataObject->name);
                const XMLElement* daElement = doElement->FirstChildElement();
                for (ModelNode* da = dataObject->firstChild; da; da = da->sibling, ++attributes) {
                    ASSERT_NE(daElement, nullptr) << dataObject->name << '.' << da->name;
                    ASSERT_STREQ(daElement->Name(), da->name);
                    EXPECT_EQ(daElement->FirstChildElement(), nullptr);
                    const char* unit = expectedUnit(static_cast<DataAttribute*>(da));
                    EXPECT_STREQ(daElement->Attribute("unit"), unit) << ln->name << '.' << dataObject->name << '.'
                                                                     << da->name;
                    EXPECT_EQ(daElement->Attribute("value") != nullptr, unit != nullptr);
                    daElement = daElement->NextSiblingElement();
                }
                EXPECT_EQ(daElement, nullptr);
                doElement = doElement->NextSiblingElement();
            }
            EXPECT_EQ(doElement, nullptr);
            lnElement = lnElement->NextSiblingElement();
        }
        EXPECT_EQ(lnElement, nullptr);
        ldElement = ldElement->NextSiblingElement();
    }
    EXPECT_EQ(ldElement, nullptr);
    EXPECT_EQ(devices, 3);
    EXPECT_EQ(nodes, 80);
    EXPECT_EQ(objects, 4627);
    EXPECT_EQ(attributes, 10131);
    tinyxml2::XMLPrinter printer;  // tinyxml2's indented form
    document.Print(&printer);
    EXPECT_EQ(testsupport::readFile(file), std::string(printer.CStr()));
}

TEST_F(SavedAtStart, StartValuesAreStoredUnderTheirTags)
{
    const XMLElement* firstEntry = root->FirstChildElement()->FirstChildElement()->FirstChildElement()
                                       ->FirstChildElement();
    EXPECT_STREQ(firstEntry->Name(), "vendor");
    expectEntry("STB", "LLN0", "NamPlt", "vendor", "MMS_VISIBLE_STRING", "de.vde.fnn.stb.admin");
    expectEntry("STB", "LLN0", "NamPlt", "swRev", "MMS_VISIBLE_STRING", "1.0.0");
    for (const char* cls : {"CLS1", "CLS2"}) {
        expectEntry(cls, "MMXU001", "TotW", "db", "MMS_UNSIGNED", "1000");
        expectEntry(cls, "MMXU001", "TotW", "dbRef", "MMS_FLOAT", "100");
        expectEntry(cls, "MMXU001", "TotW", "mag", "MMS_FLOAT", "0");
        expectEntry(cls, "MMXU001", "TotW", "units", "MMS_INTEGER", "38");
        expectEntry(cls, "MMXU001", "Beh", "stVal", "MMS_INTEGER", "1");
        expectEntry(cls, "MMXU001", "TotW", "q", "MMS_BITSTRING", "0");
        expectEntry(cls, "EmpSPrg_FSCH020001", "ValASG001", "setMag", "MMS_FLOAT", "0");
        expectEntry(cls, "EmpSPrg_FSCH020001", "EnaReq", "Oper", "MMS_BOOLEAN", "false");
        expectEntry(cls, "SysRes_FSCH010001", "StrTm16", "setCal", "MMS_UNSIGNED", "0");
        expectEntry(cls, "FailSafe_GGIO001", "FailDurSet", "maxVal", "MMS_FLOAT", "86400");
        if (const XMLElement* oper = entry(cls, "FailSafe_GGIO001", "FailDurSet", "Oper")) {
            EXPECT_EQ(oper->FirstAttribute(), nullptr) << "the ctlVal of an APC is itself a structure";
        }
    }
    expectEntry("CLS2", "ActPow_FSCC001", "Schd022", "setSrcRef", "MMS_VISIBLE_STRING", "@CLS2/SysComEr_FSCH220001");
    expectEntry("STB", "S1_XSWI1", "Loc", "stVal", "MMS_BOOLEAN", "true");
    expectEntry("STB", "S1_XSWI1", "Pos", "t", "MMS_UTC_TIME", "0");
}

TEST_F(SavedAtStart, TimesAreStoredInWholeSecondsAndFloatsWithEightDigits)
{
    IedServer_updateUTCTimeAttributeValue(server.get(), attributeAt("CLS1/MMXU001.TotW.t"), 1'700'000'012'345);
    IedServer_updateFloatAttributeValue(server.get(), attributeAt("CLS1/EmpSPrg_FSCH020001.ValASG002.setMag.f"),
                                        1.0f / 3.0f);
    ASSERT_TRUE(save_all_IEC_values_in_XML(server.get(), file, output.streams()));
    ASSERT_EQ(document.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
    root = document.RootElement();
    expectEntry("CLS1", "MMXU001", "TotW", "t", "MMS_UTC_TIME", "1700000012");
    expectEntry("CLS1", "EmpSPrg_FSCH020001", "ValASG002", "setMag", "MMS_FLOAT", "0.33333334");
}

TEST(FailedSave, IsReportedAndLeavesWhatWasThere)
{
    testsupport::TempDir dir;
    ModelServer server;
    namespace fs = std::filesystem;
    const std::string absent = dir.path() + "/absent/" + kValuesFileName, previous = dir.path() + "/values.xml",
                      taken = dir.path() + "/taken";
    writeText(previous, "<Root>previous</Root>");
    fs::create_directory(previous + ".tmp");  // the new file cannot be created
    fs::create_directories(taken + "/inside");
    for (const std::string& file : {absent, previous, taken}) {
        Captured output;
        EXPECT_FALSE(save_all_IEC_values_in_XML(server.get(), file, output.streams())) << file;
        EXPECT_EQ(output.out.str(), "-- Saving all the data --\n");
        EXPECT_EQ(output.err.str(), "Error: Could not save XML file:" + file + "\n");
    }
    EXPECT_FALSE(fs::exists(dir.path() + "/absent"));
    EXPECT_EQ(testsupport::readFile(previous), "<Root>previous</Root>");
    EXPECT_TRUE(fs::is_directory(previous + ".tmp")) << "what was in the way stays";
    EXPECT_FALSE(fs::exists(taken + ".tmp"));
    EXPECT_TRUE(fs::is_directory(taken + "/inside"));

    Captured output;
    EXPECT_FALSE(save_all_IEC_values_in_XML(nullptr, dir.path() + "/none.xml", output.streams()));
    EXPECT_FALSE(fs::exists(dir.path() + "/none.xml"));
    EXPECT_FALSE(load_all_IEC_values_from_XML(nullptr, previous, output.streams()).fileRead);
}

}  // namespace
}  // namespace persistence::test
