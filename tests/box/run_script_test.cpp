// scripts/run.sh as an installer runs it: it builds, brings up the whole box on
// a private bus in its run directory, and Ctrl-C or SIGTERM stops everything.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

namespace {

using namespace boxtest;
namespace fs = std::filesystem;

struct Stop {
    int signal;
    bool toGroup;  // a terminal's Ctrl-C reaches the whole process group
    int status;
};

class RunScript : public ::testing::TestWithParam<Stop> {};

TEST_P(RunScript, RunsTheWholeBoxForTheClientAndASignalStopsIt)
{
    ASSERT_TRUE(eventually([] { return !somebodyServesMms(); }, 120s)) << "port 4102 is busy";
    testsupport::TempDir runDir;
    const fs::path run = runDir.path() + "/run";
    testsupport::ChildProcess script("/bin/bash", {BOX_SOURCE_DIR "/scripts/run.sh"},
                                     {.workingDirectory = {},
                                      .environment = {"BUILD_DIR=" BOX_BUILD_DIR, "RUN_DIR=" + run.string(),
                                                      "RUN_BUS=private"}});
    // The script may have to build first.
    ASSERT_TRUE(script.waitForOutput("Waiting for IEC Clients...", 600s)) << script.output() << script.errorOutput();
    EXPECT_TRUE(fs::is_directory(run / "box" / "uploaded_files"));
    EXPECT_TRUE(fs::exists(run / "config" / "JSONRPC_config.conf"));
    EXPECT_TRUE(script.waitForOutput("schedule-manager ready"));
    EXPECT_TRUE(script.waitForOutput("iec-client watch 60 --enable"));

    BoxClient client;
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.readString(kCls1, "ActPow_FSCC001$ST$ActSchdRef$stVal"), "@CLS1/no_schedule_active");
    EXPECT_EQ(client.readFloat(kCls1, "ActPow_GGIO001$MX$AnOut1$mxVal$f"), 0.0f);
    EXPECT_EQ(script.output().find("Error updateStatusOfSchedule"), std::string::npos) << "no schedule manager";
    testsupport::ChildProcess browse(BOX_CLIENT_PROGRAM, {"devices"});
    EXPECT_EQ(browse.waitForExit(), 0);
    EXPECT_NE(browse.output().find("FNN_STEUERBOXCLS1"), std::string::npos) << browse.output();

    ::kill(GetParam().toGroup ? -script.pid() : script.pid(), GetParam().signal);
    const auto status = script.waitForExit(30s);
    if (status != GetParam().status) {
        testsupport::ChildProcess ps("/bin/sh", {"-c", "ps -eo pid,pgid,stat,wchan:24,args | awk '$2 == " +
                                                           std::to_string(script.pid()) + "'"});
        ps.waitForExit();
        ADD_FAILURE() << "exit status " << status.value_or(-999) << "\n" << ps.output() << ps.errorOutput()
                      << script.output() << script.errorOutput();
    }
    EXPECT_TRUE(eventually([&] { return ::kill(-script.pid(), 0) == -1 && errno == ESRCH; }, 10s))
        << "processes of the box are left";
    EXPECT_FALSE(somebodyServesMms());
    EXPECT_NE(script.output().find("run: stopped"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(CtrlCAndSigterm, RunScript, ::testing::Values(Stop{SIGINT, true, 130}, Stop{SIGTERM, false, 143}));

}  // namespace
