// The iec-values tool run as a program: the files it writes, its lines and
// its exit statuses.
#include "child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using testsupport::readFile;

constexpr const char* kDefaultFile = "IEC61850_Values.xml";

class IecValues : public ::testing::Test {
protected:
    // Runs the tool in the temporary directory to its end.
    int run(const std::vector<std::string>& args)
    {
        auto tool = testsupport::runToEnd(IEC_VALUES_PROGRAM, args, {.workingDirectory = dir.path(), .environment = {}});
        out = tool.out;
        err = tool.err;
        EXPECT_TRUE(tool.status.has_value()) << "iec-values did not end";
        return tool.status.value_or(-1);
    }

    std::string path(const std::string& name) const { return dir.path() + "/" + name; }

    testsupport::TempDir dir;
    std::string out;
    std::string err;
};

TEST_F(IecValues, SavesTheStartValuesToTheDefaultFile)
{
    EXPECT_EQ(run({"save"}), 0);
    EXPECT_EQ(out, "-- Saving all the data --\nsave_all_IEC_values_in_XML is done\n");
    const std::string saved = readFile(path(kDefaultFile));
    EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root>\n    <STB>\n", 0), 0u);
    EXPECT_NE(saved.find("<vendor unit=\"MMS_VISIBLE_STRING\" value=\"de.vde.fnn.stb.admin\"/>"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "no temporary left behind";
}

TEST_F(IecValues, ALoadedFileCarriesItsValuesIntoTheModelAndSavesAgainAsItWas)
{
    ASSERT_EQ(run({"save", "start.xml"}), 0);
    EXPECT_EQ(run({"load", "start.xml", "again.xml"}), 0);
    EXPECT_NE(out.find("load_all_IEC_values_from_XML done\n"), std::string::npos);
    EXPECT_NE(out.find(" values applied, 0 entries rejected\n"), std::string::npos);
    EXPECT_EQ(err, "");
    EXPECT_EQ(readFile(path("again.xml")), readFile(path("start.xml")));

    std::string text = readFile(path("start.xml"));
    const std::pair<std::string, std::string> edits[] = {
        {"<db unit=\"MMS_UNSIGNED\" value=\"1000\"/>", "<db unit=\"MMS_UNSIGNED\" value=\"2500\"/>"},
        {"<setMag unit=\"MMS_FLOAT\" value=\"0\"/>", "<setMag unit=\"MMS_FLOAT\" value=\"-12.5\"/>"}};
    for (const auto& [from, to] : edits)
        text.replace(text.find(from), from.size(), to);
    std::ofstream(path(kDefaultFile)) << text;
    EXPECT_EQ(run({"load", kDefaultFile, "out.xml"}), 0);
    const std::string saved = readFile(path("out.xml"));
    for (const auto& [from, to] : edits)
        EXPECT_NE(saved.find(to), std::string::npos) << to;
    EXPECT_EQ(saved.find("value=\"2500\""), saved.rfind("value=\"2500\""));
}

TEST_F(IecValues, FilesThatCannotBeReadOrWrittenEndWithStatusOne)
{
    EXPECT_EQ(run({"load"}), 1);
    EXPECT_EQ(out, "load_all_IEC_values_from_XML\n");
    EXPECT_EQ(err, std::string("Error: Could not load XML file:") + kDefaultFile + "\n");

    std::ofstream(path("broken.xml")) << "<Root><STB>";
    EXPECT_EQ(run({"load", "broken.xml", "out.xml"}), 1);
    EXPECT_EQ(err, "Error: Could not load XML file:broken.xml\n");
    EXPECT_FALSE(std::filesystem::exists(path("out.xml")));

    EXPECT_EQ(run({"save", "absent/values.xml"}), 1);
    EXPECT_EQ(err, "Error: Could not save XML file:absent/values.xml\n");

    ASSERT_EQ(run({"save"}), 0);
    EXPECT_EQ(run({"load", kDefaultFile, "absent/values.xml"}), 1);
    EXPECT_EQ(err, "Error: Could not save XML file:absent/values.xml\n");
}

TEST_F(IecValues, PartlyWrongFileStillLoadsAndSaysWhatItLeftOut)
{
    std::ofstream(path("part.xml")) << "<Root><CLS1><MMXU001><TotW><db unit=\"MMS_UNSIGNED\" value=\"x\"/>"
                                       "<q unit=\"MMS_BITSTRING\" value=\"2\"/><nope unit=\"MMS_INTEGER\" value=\"1\"/>"
                                       "</TotW></MMXU001></CLS1></Root>";
    EXPECT_EQ(run({"load", "part.xml"}), 0);
    EXPECT_EQ(out, "load_all_IEC_values_from_XML\n"
                   "load value not valid for: CLS1/MMXU001.TotW.db \"x\"\n"
                   "load DA not found for: CLS1/MMXU001.TotW.nope\n"
                   "load_all_IEC_values_from_XML done\n"
                   "1 values applied, 2 entries rejected\n");
}

TEST_F(IecValues, WrongUseShowsTheUsageAndEndsWithStatusTwo)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"store"}, {"save", "a.xml", "b.xml"}, {"load", "a", "b", "c"}}) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err.find("usage: iec-values save [FILE]"), std::string::npos);
        EXPECT_EQ(out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
