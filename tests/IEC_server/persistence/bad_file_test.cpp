// Loading files that are missing, broken or wrong in part: each fault gives
// its line, and nothing but the good entries changes the model.
#include "model_values.hpp"

#include <filesystem>

namespace persistence::test {
namespace {

constexpr const char* kStart = "load_all_IEC_values_from_XML\n";
constexpr const char* kDone = "load_all_IEC_values_from_XML done\n";

// One attribute entry in a minimal file.
std::string entryFile(const std::string& ld, const std::string& ln, const std::string& dataObject,
                      const std::string& entry)
{
    return "<Root><" + ld + "><" + ln + "><" + dataObject + ">" + entry + "</" + dataObject + "></" + ln + "></" + ld +
           "></Root>";
}

class BadFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.get(), nullptr);
        start = snapshot(server.get());
    }

    LoadResult load(const std::string& text)
    {
        writeText(file, text);
        return load_all_IEC_values_from_XML(server.get(), file, output.streams());
    }

    // Paths changed since the start.
    std::vector<std::string> changed() { return differences(start, snapshot(server.get())); }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    ModelServer server;
    Snapshot start;
    Captured output;
};

TEST_F(BadFile, MissingFileIsAFailureOfTheLoad)
{
    const LoadResult result = load_all_IEC_values_from_XML(server.get(), file, output.streams());
    EXPECT_FALSE(result.fileRead);
    EXPECT_EQ(output.out.str(), kStart);
    EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n");
}

TEST_F(BadFile, FilesThatAreNotXmlAreFailuresAndApplyNothing)
{
    for (const char* text : {"", "<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" value=\"9\"/></Beh>",
                             "<Root><STB></CLS1></Root>", "plain text", "<Root a=1/>"}) {
        output.out.str("");
        output.err.str("");
        EXPECT_FALSE(load(text).fileRead) << text;
        EXPECT_EQ(output.out.str(), kStart);
        EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n") << text;
    }
    EXPECT_TRUE(changed().empty());
}

TEST_F(BadFile, FileFarLargerThanAnyValueFileIsNotRead)
{
    std::string text = "<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" value=\"9\"/></Beh></LLN0></STB>";
    text += std::string(9u << 20, ' ') + "</Root>";  // well-formed, only too large
    EXPECT_FALSE(load(text).fileRead);
    EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n");
    EXPECT_TRUE(changed().empty());
}

TEST_F(BadFile, DirectoryInPlaceOfTheFileIsNotRead)
{
    std::filesystem::create_directory(file);
    EXPECT_FALSE(load_all_IEC_values_from_XML(server.get(), file, output.streams()).fileRead);
    EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n");
}

TEST_F(BadFile, DocumentWithoutElementsHasNoRoot)
{
    EXPECT_TRUE(load("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- nothing saved -->\n").fileRead);
    EXPECT_EQ(output.out.str(), std::string(kStart) + "root not found5\n" + kDone);
    EXPECT_EQ(output.err.str(), "");
}

TEST_F(BadFile, RootWithoutDevices)
{
    EXPECT_TRUE(load("<Root>text only</Root>").fileRead);
    EXPECT_EQ(output.out.str(), std::string(kStart) + "error LD 7\n" + kDone);
    EXPECT_TRUE(changed().empty());
}

TEST_F(BadFile, DeviceWithoutNodesIsPassedOverAndTheOthersApply)
{
    const LoadResult result = load("<Root><STB/><CLS1><MMXU001><TotW><db unit=\"MMS_UNSIGNED\" value=\"7\"/>"
                                   "</TotW></MMXU001></CLS1><CLS2/></Root>");
    EXPECT_EQ(output.out.str(), std::string(kStart) + "error LN 7\nerror LN 7\n" + kDone);
    EXPECT_EQ(result.applied, 1);
    EXPECT_EQ(changed(), std::vector<std::string>{"CLS1/MMXU001.TotW.db"});
}

TEST_F(BadFile, UnknownNamesAreReportedOnePerEntry)
{
    const std::string entry = "<stVal unit=\"MMS_INTEGER\" value=\"3\"/>";
    const LoadResult result = load("<Root>"
                                   "<CLS3><LLN0><Beh>" + entry + "</Beh></LLN0></CLS3>"
                                   "<STB><LLN1><Beh>" + entry + "</Beh></LLN1>"
                                   "<LLN0><Bah>" + entry + "</Bah><Beh><stval unit=\"MMS_INTEGER\" value=\"3\"/>"
                                   "<q/>" + entry + "</Beh></LLN0></STB></Root>");
    EXPECT_EQ(output.out.str(), std::string(kStart) +
                                    "load DA not found for: CLS3/LLN0.Beh.stVal\n"
                                    "load DA not found for: STB/LLN1.Beh.stVal\n"
                                    "load DA not found for: STB/LLN0.Bah.stVal\n"
                                    "load DA not found for: STB/LLN0.Beh.stval\n" +
                                    kDone);
    EXPECT_EQ(result.rejected, 4);
    EXPECT_EQ(result.applied, 1);
    EXPECT_EQ(changed(), std::vector<std::string>{"STB/LLN0.Beh.stVal"});
}

TEST_F(BadFile, UnknownTagsAreReportedAndLoadingGoesOn)
{
    const LoadResult result =
        load(entryFile("CLS1", "MMXU001", "TotW",
                       "<db unit=\"MMS_DOUBLE\" value=\"1\"/><db unit=\"mms_unsigned\" value=\"2\"/>"
                       "<db unit=\"\" value=\"3\"/><db unit=\"MMS_UNSIGNED\" value=\"4\"/>"));
    EXPECT_EQ(output.out.str(), std::string(kStart) +
                                    "#### unit not found: MMS_DOUBLE\n"
                                    "#### unit not found: mms_unsigned\n"
                                    "#### unit not found: \n" +
                                    kDone);
    EXPECT_EQ(result.rejected, 3);
    EXPECT_EQ(IedServer_getAttributeValue(server.get(), attribute("CLS1", "MMXU001", "TotW", "db"))->toUint32(), 4u);
}

struct BadValue {
    const char* ld;
    const char* ln;
    const char* dataObject;
    const char* entry;  // the attribute element
    const char* line;   // what the load says about it
};

// Texts that do not parse, or do not fit the attribute they are meant for.
constexpr BadValue kBadValues[] = {
    {"STB", "S1_XSWI1", "Loc", R"(<stVal unit="MMS_BOOLEAN" value="yes"/>)",
     "load value not valid for: STB/S1_XSWI1.Loc.stVal \"yes\""},
    {"STB", "S1_XSWI1", "Loc", R"(<stVal unit="MMS_BOOLEAN" value="2"/>)",
     "load value not valid for: STB/S1_XSWI1.Loc.stVal \"2\""},
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_INTEGER" value="12abc"/>)",
     "load value not valid for: STB/LLN0.Beh.stVal \"12abc\""},
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_INTEGER" value="2147483648"/>)",
     "load value not valid for: STB/LLN0.Beh.stVal \"2147483648\""},
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_INTEGER" value=" 3"/>)",
     "load value not valid for: STB/LLN0.Beh.stVal \" 3\""},
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_INTEGER"/>)", "load value not valid for: STB/LLN0.Beh.stVal \"\""},
    {"STB", "LLN0", "Beh", R"(<q unit="MMS_BITSTRING" value="8192"/>)",
     "load value not valid for: STB/LLN0.Beh.q \"8192\""},
    {"STB", "LLN0", "Beh", R"(<q unit="MMS_BITSTRING" value="-1"/>)",
     "load value not valid for: STB/LLN0.Beh.q \"-1\""},
    {"STB", "LLN0", "Beh", R"(<t unit="MMS_UTC_TIME" value="4294967296"/>)",
     "load value not valid for: STB/LLN0.Beh.t \"4294967296\""},
    {"CLS1", "MMXU001", "TotW", R"(<db unit="MMS_UNSIGNED" value="-1"/>)",
     "load value not valid for: CLS1/MMXU001.TotW.db \"-1\""},
    {"CLS1", "EmpSPrg_FSCH020001", "EnaReq", R"(<ctlNum unit="MMS_UNSIGNED" value="256"/>)",
     "load value not valid for: CLS1/EmpSPrg_FSCH020001.EnaReq.ctlNum \"256\""},
    {"CLS1", "SysRes_FSCH010001", "StrTm01", R"(<setCal unit="MMS_UNSIGNED" value="65536"/>)",
     "load value not valid for: CLS1/SysRes_FSCH010001.StrTm01.setCal \"65536\""},
    {"CLS1", "EmpSPrg_FSCH020001", "ValASG001", R"(<setMag unit="MMS_FLOAT" value="1,5"/>)",
     "load value not valid for: CLS1/EmpSPrg_FSCH020001.ValASG001.setMag \"1,5\""},
    {"CLS1", "EmpSPrg_FSCH020001", "ValASG001", R"(<setMag unit="MMS_FLOAT" value="1e99"/>)",
     "load value not valid for: CLS1/EmpSPrg_FSCH020001.ValASG001.setMag \"1e99\""},
    // a tag of another type than the attribute's value
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_BOOLEAN" value="true"/>)",
     "load unit does not fit: STB/LLN0.Beh.stVal MMS_BOOLEAN"},
    {"STB", "LLN0", "Beh", R"(<stVal unit="MMS_UNSIGNED" value="3"/>)",
     "load unit does not fit: STB/LLN0.Beh.stVal MMS_UNSIGNED"},
    {"STB", "LLN0", "Beh", R"(<q unit="MMS_VISIBLE_STRING" value="0"/>)",
     "load unit does not fit: STB/LLN0.Beh.q MMS_VISIBLE_STRING"},
    {"CLS1", "FailSafe_GGIO001", "FailDurSet", R"(<Oper unit="MMS_INTEGER" value="1"/>)",
     "load unit does not fit: CLS1/FailSafe_GGIO001.FailDurSet.Oper MMS_INTEGER"},
    {"CLS1", "EmpSPrg_FSCH020001", "EnaReq", R"(<Oper unit="MMS_INTEGER" value="1"/>)",
     "load unit does not fit: CLS1/EmpSPrg_FSCH020001.EnaReq.Oper MMS_INTEGER"},
    {"CLS1", "MMXU001", "TotW", R"(<units unit="MMS_UNSIGNED" value="1"/>)",
     "load unit does not fit: CLS1/MMXU001.TotW.units MMS_UNSIGNED"},
};

// Every update the server sees, changed or not.
struct UpdateRecorder : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool) override { updated.push_back(a->name); }
    std::vector<std::string> updated;
};

TEST_F(BadFile, ValuesThatDoNotParseOrFitAreReportedAndChangeNothing)
{
    UpdateRecorder recorder;
    iec61850::ied::setUpdateListener(server.get(), &recorder);
    for (const BadValue& bad : kBadValues) {
        output.out.str("");
        const LoadResult result = load(entryFile(bad.ld, bad.ln, bad.dataObject, bad.entry));
        EXPECT_EQ(output.out.str(), std::string(kStart) + bad.line + "\n" + kDone) << bad.entry;
        EXPECT_EQ(result.rejected, 1) << bad.entry;
        EXPECT_EQ(result.applied, 0) << bad.entry;
        EXPECT_EQ(recorder.updated, std::vector<std::string>{}) << bad.entry;
    }
    iec61850::ied::setUpdateListener(server.get(), nullptr);
    EXPECT_TRUE(changed().empty());
}

TEST_F(BadFile, StringsLongerThanTheAttributeAllowsAreReported)
{
    const std::string longest(129, 'r');
    const std::string tooLong(130, 'r');
    const LoadResult result = load(entryFile("CLS1", "LLN0", "GrRef",
                                             "<setSrcRef unit=\"MMS_VISIBLE_STRING\" value=\"" + tooLong + "\"/>"
                                             "<setSrcRef unit=\"MMS_VISIBLE_STRING\" value=\"" + longest + "\"/>"));
    EXPECT_EQ(output.out.str(),
              std::string(kStart) + "load value not valid for: CLS1/LLN0.GrRef.setSrcRef \"" + tooLong + "\"\n" + kDone);
    EXPECT_EQ(result.applied, 1);
    EXPECT_EQ(MmsValue_toString(IedServer_getAttributeValue(server.get(), attribute("CLS1", "LLN0", "GrRef", "setSrcRef"))),
              longest);
}

TEST_F(BadFile, EntriesTheFileDoesNotRestoreArePassedOverSilently)
{
    const LoadResult result =
        load("<Root><CLS1><LLN0/><MMXU001><TotW/><Beh><stVal/><q>text</q></Beh><TotW>"
             "<dbRef unit=\"MMS_FLOAT\" value=\"5\"/><mag unit=\"MMS_FLOAT\" value=\"5\"/>"
             "<dbRef unit=\"MMS_FLOAT\" value=\"not a number\"/><d value=\"no unit\"/>"
             "</TotW></MMXU001></CLS1></Root>");
    EXPECT_EQ(output.out.str(), std::string(kStart) + kDone);
    EXPECT_EQ(result.applied + result.rejected, 0);
    EXPECT_TRUE(changed().empty());
}

TEST_F(BadFile, ConstructedEntriesApplyToTheFirstComponentOnly)
{
    const LoadResult result = load(entryFile("CLS2", "MMXU001", "TotW", R"(<units unit="MMS_INTEGER" value="29"/>)"));
    EXPECT_EQ(result.applied, 1);
    EXPECT_EQ(changed(), (std::vector<std::string>{"CLS2/MMXU001.TotW.units", "CLS2/MMXU001.TotW.units.SIUnit"}));
    DataAttribute* units = attribute("CLS2", "MMXU001", "TotW", "units");
    EXPECT_EQ(IedServer_getInt32AttributeValue(server.get(), component(units, "SIUnit")), 29);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server.get(), component(units, "multiplier")), 3);
}

}  // namespace
}  // namespace persistence::test
