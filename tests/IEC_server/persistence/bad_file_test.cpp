// Loading files that are missing, broken or wrong in part: each fault gives
// its line, and nothing but the good entries changes the model.
#include "model_values.hpp"

#include <filesystem>
#include <tuple>

namespace persistence::test {
namespace {

constexpr const char* kStart = "load_all_IEC_values_from_XML\n";
constexpr const char* kDone = "load_all_IEC_values_from_XML done\n";

// One attribute entry below "LD/LN.DO" in a minimal file.
std::string entryFile(const std::string& object, const std::string& entry)
{
    const auto slash = object.find('/'), dot = object.find('.');
    const std::string ld = object.substr(0, slash), ln = object.substr(slash + 1, dot - slash - 1),
                      dataObject = object.substr(dot + 1);
    return "<Root><" + ld + "><" + ln + "><" + dataObject + ">" + entry + "</" + dataObject + "></" + ln + "></" + ld +
           "></Root>";
}

// Every update the server sees, changed or not.
struct UpdateRecorder : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool) override { updated.push_back(a->name); }
    std::vector<std::string> updated;
};

class BadFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.get(), nullptr);
        iec61850::ied::setUpdateListener(server.get(), &updates);
    }
    void TearDown() override { iec61850::ied::setUpdateListener(server.get(), nullptr); }

    LoadResult load(const std::string& text)
    {
        writeText(file, text);
        return loadAsIs();
    }
    LoadResult loadAsIs()
    {
        output.out.str("");
        output.err.str("");
        updates.updated.clear();
        return load_all_IEC_values_from_XML(server.get(), file, output.streams());
    }
    std::vector<std::string> changed() { return differences(before, snapshot(server.get())); }

    void expectUnreadable(const std::string& what)
    {
        EXPECT_EQ(output.out.str(), kStart) << what;
        EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n") << what;
        EXPECT_TRUE(updates.updated.empty()) << what;
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    ModelServer server;
    UpdateRecorder updates;
    Snapshot before;
    Captured output;
};

TEST_F(BadFile, FilesThatCannotBeReadAreFailuresOfTheLoad)
{
    before = snapshot(server.get());
    EXPECT_FALSE(loadAsIs().fileRead);
    expectUnreadable("missing");
    const std::string tooLarge = "<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" value=\"9\"/></Beh></LLN0></STB>" +
                                 std::string(9u << 20, ' ') + "</Root>";  // well-formed, only too large
    for (const std::string& text : {std::string(), std::string("<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" "
                                                               "value=\"9\"/></Beh>"),
                                    std::string("<Root><STB></CLS1></Root>"), std::string("plain text"),
                                    std::string("<Root a=1/>"), tooLarge}) {
        EXPECT_FALSE(load(text).fileRead);
        expectUnreadable(text.substr(0, 40));
    }
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(loadAsIs().fileRead);
    expectUnreadable("directory");
    EXPECT_TRUE(changed().empty());
}

struct Case {
    std::string text;
    std::string lines;  // what the load says between its first and last line
    int applied = 0, rejected = 0;
    std::vector<std::string> changed = {};
};

const std::string kStVal = "<stVal unit=\"MMS_INTEGER\" value=\"3\"/>";

const Case kStructureCases[] = {
    {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- nothing saved -->\n", "root not found5\n"},
    {"<Root>text only</Root>", "error LD 7\n"},
    {"<Root><STB/><CLS1><MMXU001><TotW><db unit=\"MMS_UNSIGNED\" value=\"7\"/></TotW></MMXU001></CLS1><CLS2/></Root>",
     "error LN 7\nerror LN 7\n", 1, 0, {"CLS1/MMXU001.TotW.db"}},
    {"<Root><CLS3><LLN0><Beh>" + kStVal + "</Beh></LLN0></CLS3><STB><LLN1><Beh>" + kStVal + "</Beh></LLN1><LLN0><Bah>" +
         kStVal + "</Bah><Beh><stval unit=\"MMS_INTEGER\" value=\"3\"/><q/>" + kStVal + "</Beh></LLN0></STB></Root>",
     "load DA not found for: CLS3/LLN0.Beh.stVal\nload DA not found for: STB/LLN1.Beh.stVal\n"
     "load DA not found for: STB/LLN0.Bah.stVal\nload DA not found for: STB/LLN0.Beh.stval\n",
     1, 4, {"STB/LLN0.Beh.stVal"}},
    {entryFile("CLS1/MMXU001.TotW", "<db unit=\"MMS_DOUBLE\" value=\"1\"/><db unit=\"mms_unsigned\" value=\"2\"/>"
                                    "<db unit=\"\" value=\"3\"/><db unit=\"MMS_UNSIGNED\" value=\"4\"/>"),
     "#### unit not found: MMS_DOUBLE\n#### unit not found: mms_unsigned\n#### unit not found: \n", 1, 3,
     {"CLS1/MMXU001.TotW.db"}},
    // strings up to 129 characters
    {entryFile("CLS1/LLN0.GrRef", "<setSrcRef unit=\"MMS_VISIBLE_STRING\" value=\"" + std::string(130, 'r') + "\"/>"
                                  "<setSrcRef unit=\"MMS_VISIBLE_STRING\" value=\"" + std::string(129, 'r') + "\"/>"),
     "load value not valid for: CLS1/LLN0.GrRef.setSrcRef \"" + std::string(130, 'r') + "\"\n", 1, 1,
     {"CLS1/LLN0.GrRef.setSrcRef"}},
    // entries the file does not restore, passed over silently
    {"<Root><CLS1><LLN0/><MMXU001><TotW/><Beh><stVal/><q>text</q></Beh><TotW><dbRef unit=\"MMS_FLOAT\" value=\"5\"/>"
     "<mag unit=\"MMS_FLOAT\" value=\"5\"/><dbRef unit=\"MMS_FLOAT\" value=\"not a number\"/><d value=\"no unit\"/>"
     "</TotW></MMXU001></CLS1></Root>",
     ""},
    // a constructed entry goes to its first component only
    {entryFile("CLS2/MMXU001.TotW", R"(<units unit="MMS_INTEGER" value="29"/>)"), "", 1, 0,
     {"CLS2/MMXU001.TotW.units", "CLS2/MMXU001.TotW.units.SIUnit"}},
};

TEST_F(BadFile, BrokenStructureAndUnknownNamesAreReportedAndTheRestApplies)
{
    for (const Case& c : kStructureCases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        before = snapshot(server.get());
        const LoadResult result = load(c.text);
        EXPECT_TRUE(result.fileRead);
        EXPECT_EQ(output.out.str(), kStart + c.lines + kDone);
        EXPECT_EQ(output.err.str(), "");
        EXPECT_EQ(result.applied, c.applied);
        EXPECT_EQ(result.rejected, c.rejected);
        EXPECT_EQ(changed(), c.changed);
    }
    EXPECT_EQ(IedServer_getInt32AttributeValue(server.get(), attributeAt("CLS2/MMXU001.TotW.units.multiplier")), 3);
    EXPECT_EQ(IedServer_getAttributeValue(server.get(), attributeAt("CLS1/MMXU001.TotW.db"))->toUint32(), 4u);
}

// Texts that do not parse, or do not fit the attribute they are meant for:
// {object, entry, what the load says after "load "}.
const std::tuple<const char*, const char*, const char*> kBadValues[] = {
    {"STB/S1_XSWI1.Loc", R"(<stVal unit="MMS_BOOLEAN" value="yes"/>)",
     "value not valid for: STB/S1_XSWI1.Loc.stVal \"yes\""},
    {"STB/S1_XSWI1.Loc", R"(<stVal unit="MMS_BOOLEAN" value="2"/>)",
     "value not valid for: STB/S1_XSWI1.Loc.stVal \"2\""},
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_INTEGER" value="12abc"/>)",
     "value not valid for: STB/LLN0.Beh.stVal \"12abc\""},
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_INTEGER" value="2147483648"/>)",
     "value not valid for: STB/LLN0.Beh.stVal \"2147483648\""},
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_INTEGER" value=" 3"/>)",
     "value not valid for: STB/LLN0.Beh.stVal \" 3\""},
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_INTEGER"/>)",
     "value not valid for: STB/LLN0.Beh.stVal \"\""},
    {"STB/LLN0.Beh", R"(<q unit="MMS_BITSTRING" value="8192"/>)",
     "value not valid for: STB/LLN0.Beh.q \"8192\""},
    {"STB/LLN0.Beh", R"(<q unit="MMS_BITSTRING" value="-1"/>)",
     "value not valid for: STB/LLN0.Beh.q \"-1\""},
    {"STB/LLN0.Beh", R"(<t unit="MMS_UTC_TIME" value="4294967296"/>)",
     "value not valid for: STB/LLN0.Beh.t \"4294967296\""},
    {"CLS1/MMXU001.TotW", R"(<db unit="MMS_UNSIGNED" value="-1"/>)",
     "value not valid for: CLS1/MMXU001.TotW.db \"-1\""},
    {"CLS1/EmpSPrg_FSCH020001.EnaReq", R"(<ctlNum unit="MMS_UNSIGNED" value="256"/>)",
     "value not valid for: CLS1/EmpSPrg_FSCH020001.EnaReq.ctlNum \"256\""},
    {"CLS1/SysRes_FSCH010001.StrTm01", R"(<setCal unit="MMS_UNSIGNED" value="65536"/>)",
     "value not valid for: CLS1/SysRes_FSCH010001.StrTm01.setCal \"65536\""},
    {"CLS1/EmpSPrg_FSCH020001.ValASG001", R"(<setMag unit="MMS_FLOAT" value="1,5"/>)",
     "value not valid for: CLS1/EmpSPrg_FSCH020001.ValASG001.setMag \"1,5\""},
    {"CLS1/EmpSPrg_FSCH020001.ValASG001", R"(<setMag unit="MMS_FLOAT" value="1e99"/>)",
     "value not valid for: CLS1/EmpSPrg_FSCH020001.ValASG001.setMag \"1e99\""},
    // a tag of another type than the attribute's value
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_BOOLEAN" value="true"/>)",
     "unit does not fit: STB/LLN0.Beh.stVal MMS_BOOLEAN"},
    {"STB/LLN0.Beh", R"(<stVal unit="MMS_UNSIGNED" value="3"/>)",
     "unit does not fit: STB/LLN0.Beh.stVal MMS_UNSIGNED"},
    {"STB/LLN0.Beh", R"(<q unit="MMS_VISIBLE_STRING" value="0"/>)",
     "unit does not fit: STB/LLN0.Beh.q MMS_VISIBLE_STRING"},
    {"CLS1/FailSafe_GGIO001.FailDurSet", R"(<Oper unit="MMS_INTEGER" value="1"/>)",
     "unit does not fit: CLS1/FailSafe_GGIO001.FailDurSet.Oper MMS_INTEGER"},
    {"CLS1/EmpSPrg_FSCH020001.EnaReq", R"(<Oper unit="MMS_INTEGER" value="1"/>)",
     "unit does not fit: CLS1/EmpSPrg_FSCH020001.EnaReq.Oper MMS_INTEGER"},
    {"CLS1/MMXU001.TotW", R"(<units unit="MMS_UNSIGNED" value="1"/>)",
     "unit does not fit: CLS1/MMXU001.TotW.units MMS_UNSIGNED"},
};

TEST_F(BadFile, ValuesThatDoNotParseOrFitAreReportedAndChangeNothing)
{
    before = snapshot(server.get());
    for (const auto& [object, entry, line] : kBadValues) {
        SCOPED_TRACE(entry);
        const LoadResult result = load(entryFile(object, entry));
        EXPECT_EQ(output.out.str(), kStart + std::string("load ") + line + "\n" + kDone);
        EXPECT_EQ(result.rejected, 1);
        EXPECT_EQ(result.applied, 0);
        EXPECT_TRUE(updates.updated.empty());
    }
    EXPECT_TRUE(changed().empty());
}

}  // namespace
}  // namespace persistence::test
