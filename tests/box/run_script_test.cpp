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

class RunScript : public ::testing::Test {
protected:
    void start()
    {
        ASSERT_TRUE(eventually([] { return !somebodyServesMms(); }, 120s)) << "port 4102 is busy";
        testsupport::ChildProcess::Options options;
        options.environment = {"BUILD_DIR=" BOX_BUILD_DIR, "RUN_DIR=" + runDir.path() + "/run", "RUN_BUS=private"};
        script.emplace("/bin/bash", std::vector<std::string>{BOX_SOURCE_DIR "/scripts/run.sh"}, options);
        // The script may have to build first.
        ASSERT_TRUE(script->waitForOutput("Waiting for IEC Clients...", 600s))
            << script->output() << script->errorOutput();
    }

    bool groupGone() const { return ::kill(-script->pid(), 0) == -1 && errno == ESRCH; }

    testsupport::TempDir runDir;
    std::optional<testsupport::ChildProcess> script;
};

TEST_F(RunScript, RunsTheWholeBoxForTheClientAndCtrlCStopsIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const fs::path run = runDir.path() + "/run";
    EXPECT_TRUE(fs::is_directory(run / "box" / "uploaded_files"));
    EXPECT_TRUE(fs::exists(run / "config" / "JSONRPC_config.conf"));
    EXPECT_TRUE(script->waitForOutput("schedule-manager ready"));
    EXPECT_TRUE(script->waitForOutput("iec-client watch 60 --enable"));

    BoxClient client;
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.readString(kCls1, "ActPow_FSCC001$ST$ActSchdRef$stVal"), "@CLS1/no_schedule_active");
    EXPECT_EQ(client.readFloat(kCls1, "ActPow_GGIO001$MX$AnOut1$mxVal$f"), 0.0f);
    EXPECT_EQ(script->output().find("Error updateStatusOfSchedule"), std::string::npos) << "no schedule manager";

    testsupport::ChildProcess browse(BOX_CLIENT_PROGRAM, {"devices"});
    EXPECT_EQ(browse.waitForExit(), 0);
    EXPECT_NE(browse.output().find("FNN_STEUERBOXCLS1"), std::string::npos) << browse.output();

    ::kill(-script->pid(), SIGINT);  // what a terminal's Ctrl-C does
    EXPECT_EQ(script->waitForExit(30s), 130);
    EXPECT_TRUE(eventually([this] { return groupGone(); }, 10s)) << "processes of the box are left";
    EXPECT_FALSE(somebodyServesMms());
    EXPECT_NE(script->output().find("run: stopped"), std::string::npos);
}

TEST_F(RunScript, SigtermStopsEverythingToo)
{
    ASSERT_NO_FATAL_FAILURE(start());
    script->signal(SIGTERM);
    EXPECT_EQ(script->waitForExit(30s), 143);
    EXPECT_TRUE(eventually([this] { return groupGone(); }, 10s)) << "processes of the box are left";
    EXPECT_FALSE(somebodyServesMms());
}

}  // namespace
