// Every call against the reference schedule-manager program on a private bus.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "fake_schedule_manager.hpp"
#include "private_bus.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

namespace {

namespace sm = schedulemanager;

using boxtest::nowMs;

class ReferenceService : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager.emplace(SCHEDULE_MANAGER_PATH, std::vector<std::string>{"--trace", "--state-file", dir.path() + "/s.json"});
        ASSERT_TRUE(manager->waitForOutput("ready")) << manager->errorOutput();
        connection = sdbus::createSystemBusConnection();
        proxy = sdbus::createProxy(*connection, kScheduleManagerService, kScheduleManagerPath);
    }
    void TearDown() override { manager.reset(); }

    testsupport::TempDir dir;
    testsupport::PrivateBus bus;
    RecordCapture capture;
    std::optional<testsupport::ChildProcess> manager;
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
};

TEST_F(ReferenceService, EveryMethodIsAnsweredWithItsSignature)
{
    const std::string node = "EmpSPrg_FSCH020001";
    const std::uint64_t start = nowMs() - 90'000;
    using Outcome = sm::UploadResult::Outcome;
    ASSERT_EQ(sm::addScheduleJSON(proxy.get(), 1, node, {20, 2, 60, {5.5, 6.5}, {start}, false, nowMs()}).outcome,
              Outcome::Accepted);
    ASSERT_EQ(sm::addScheduleJSONTrg(proxy.get(), 1, "SysSoft_FSCH110001", {110, 1, 60, {1.0}, false, true, nowMs(), true})
                  .outcome,
              Outcome::Accepted);

    EXPECT_EQ(sm::checkExistence(proxy.get(), 1, node), true);
    EXPECT_EQ(sm::checkExistence(proxy.get(), 2, node), false);
    EXPECT_EQ(sm::updateStatusOfSchedule(proxy.get(), 1, "EmpSPrg_FSCH02000", 1), 4);
    EXPECT_EQ(sm::updateStatusOfSchedule(proxy.get(), 1, "SysSoft_FSCH11000", 1), 3);
    EXPECT_EQ(sm::getActivateSchedule(proxy.get(), 1), node);
    EXPECT_EQ(sm::getActivateSchedule(proxy.get(), 2), "no_schedule_active");
    const auto index = sm::calculateValIndex(proxy.get(), 1, node, nowMs());
    EXPECT_EQ(index, 2);  // 90 s into a run of two 60 s entries
    EXPECT_EQ(sm::getVal(proxy.get(), 1, node, index.value_or(1)), 6.5);
    EXPECT_EQ(sm::getActStrTm(proxy.get(), 1, node), start);
    EXPECT_TRUE(sm::getNxtStrTm(proxy.get(), 1, node).has_value());
    const auto days = sm::getSchedule3Days(proxy.get(), 1);
    ASSERT_TRUE(days);
    EXPECT_FALSE(days->empty());

    EXPECT_TRUE(RecordCapture::records().empty());
    EXPECT_NE(manager->output().find("getSchedule3Days cls=1"), std::string::npos);
}

}  // namespace
