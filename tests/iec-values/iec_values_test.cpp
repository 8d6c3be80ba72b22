// The iec-values tool run as a program (tests/data/client/iec-values.txt):
// its arguments, the files it writes and its exit statuses. What it saves
// and loads is tested with the value store (tests/IEC_server/persistence).
#include "child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <set>
#include <sstream>

namespace {

TEST(IecValues, RunsAsTabled)
{
    testsupport::TempDir dir;
    std::ofstream(dir.path() + "/broken.xml") << "<Root><STB>";
    std::ofstream(dir.path() + "/part.xml") << "<Root><CLS1><MMXU001><TotW><db unit=\"MMS_UNSIGNED\" value=\"x\"/>"
                                               "<q unit=\"MMS_BITSTRING\" value=\"2\"/><nope unit=\"MMS_INTEGER\" value=\"1\"/>"
                                               "</TotW></MMXU001></CLS1></Root>";
    std::ifstream table(IEC_VALUES_RUNS);
    ASSERT_TRUE(table);
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line.starts_with("#"))
            continue;
        std::istringstream row(line);
        int status = -1;
        std::string text;
        ASSERT_TRUE(row >> status >> std::quoted(text)) << line;
        const std::vector<std::string> args{std::istream_iterator<std::string>(row), {}};
        const auto run = testsupport::runToEnd(IEC_VALUES_PROGRAM, args, {.workingDirectory = dir.path(), .environment = {}});
        EXPECT_EQ(run.status, status) << line;
        EXPECT_NE((run.out + run.err).find(text), std::string::npos) << line << '\n' << run.out << run.err;
    }
    EXPECT_EQ(testsupport::readFile(dir.path() + "/again.xml"), testsupport::readFile(dir.path() + "/start.xml"));
    std::set<std::string> files;  // no temporaries left, nothing written after a failed load
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"IEC61850_Values.xml", "again.xml", "broken.xml", "part.xml", "start.xml"}));
}

}  // namespace
