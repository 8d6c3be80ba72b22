// The box's SCL file as scl-export writes it: the reviewed file line by line, valid
// against our structural schema, and the program's options and failures. (The
// served model is recorded in tests/data/box/model_tree.txt: the two cannot drift
// apart unnoticed.)
#include "scl_xml.hpp"

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace scltest;
using testsupport::Finished;

Finished runProgram(const std::string& program, const std::vector<std::string>& args)
{
    return testsupport::runToEnd(program, args, {}, std::chrono::seconds(40));
}

// After an intended change, write the file anew with
//   build/src/scl-export/scl-export tests/data/scl-export/box.icd
TEST(SclExport, WritesTheReviewedFileWhichTheSchemaAccepts)
{
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/box.icd";
    const Finished exported = runProgram(SCL_EXPORT_PROGRAM, {path});
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::istringstream actual(testsupport::readFile(path)), expected(testsupport::readFile(SCL_REVIEWED_FILE));
    int line = 1;
    for (std::string a, e; std::getline(expected, e); ++line)
        if (!std::getline(actual, a) || a != e)
            return ADD_FAILURE() << "box.icd line " << line << ": expected\n" << e << "\nwritten\n" << a;
    EXPECT_TRUE(actual.peek() == EOF) << "box.icd has more than " << line - 1 << " lines";

    if (std::string(XMLLINT_PROGRAM).empty())
        GTEST_SKIP() << "xmllint is not installed";
    const Finished lint = runProgram(XMLLINT_PROGRAM, {"--noout", "--schema", SCL_STRUCTURE_XSD, path});
    EXPECT_EQ(lint.status, 0) << lint.err;
}

TEST(SclExport, WritesToStandardOutputAndReportsFailures)
{
    Finished run = runProgram(SCL_EXPORT_PROGRAM, {"--no-values", "--ip", "192.168.7.9", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    tinyxml2::XMLDocument d;
    ASSERT_EQ(d.Parse(run.out.c_str(), run.out.size()), tinyxml2::XML_SUCCESS);
    EXPECT_TRUE(all(d.RootElement(), "DOI").empty());
    XMLElement* ip = byAttribute(d.RootElement(), "P", "type", "IP");
    ASSERT_NE(ip, nullptr);
    EXPECT_STREQ(ip->GetText(), "192.168.7.9");

    run = runProgram(SCL_EXPORT_PROGRAM, {"/nonexistent-directory/box.icd"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write /nonexistent-directory/box.icd"), std::string::npos) << run.err;
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--frobnicate"}, {"a.icd", "b.icd"}}) {
        run = runProgram(SCL_EXPORT_PROGRAM, wrong);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage: scl-export"), std::string::npos);
    }
    run = runProgram(SCL_EXPORT_PROGRAM, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("usage: scl-export"), std::string::npos);
}

}  // namespace
