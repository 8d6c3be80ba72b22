// The schedule-manager calls against a stand-in service on a private system
// bus: arguments and signatures as received, replies as returned, and every
// way a call can fail.
#include "model_fixture.hpp"

#include <sdbus-c++/sdbus-c++.h>

namespace {

namespace sm = schedulemanager;
using Replies = FakeScheduleManager::Replies;

class ScheduleManagerClient : public ScheduleModelTest {
protected:
    void SetUp() override
    {
        ScheduleModelTest::SetUp();
        connection = sdbus::createSystemBusConnection();
        proxy = sdbus::createProxy(*connection, kScheduleManagerService, kScheduleManagerPath);
    }

    static bool accepted(const sm::UploadResult& r) { return r.outcome == sm::UploadResult::Outcome::Accepted; }

    // Runs every call once; true for each that the service answered.
    std::vector<bool> callEverything()
    {
        return {
            sm::checkExistence(proxy.get(), 1, "EmpSPrg_FSCH020001").has_value(),
            sm::updateStatusOfSchedule(proxy.get(), 1, "EmpSPrg_FSCH02000", 1).has_value(),
            sm::getActStrTm(proxy.get(), 1, "EmpSPrg_FSCH020001").has_value(),
            sm::getNxtStrTm(proxy.get(), 1, "EmpSPrg_FSCH020001").has_value(),
            sm::calculateValIndex(proxy.get(), 1, "EmpSPrg_FSCH020001", 5).has_value(),
            sm::getVal(proxy.get(), 1, "EmpSPrg_FSCH020001", 2).has_value(),
            accepted(sm::addScheduleJSON(proxy.get(), 1, "EmpSPrg_FSCH020001", {})),
            accepted(sm::addScheduleJSONTrg(proxy.get(), 1, "SysSoft_FSCH110001", {})),
            sm::getActivateSchedule(proxy.get(), 1).has_value(),
            sm::getSchedule3Days(proxy.get(), 1).has_value(),
        };
    }

    static inline const std::vector<std::string> methods{
        "checkExistence", "updateStatusOfSchedule", "getActStrTm",        "getNxtStrTm",         "calculateValIndex",
        "getVal",         "addScheduleJSON",        "addScheduleJSONTrg", "getActivateSchedule", "getSchedule3Days",
    };

    // Each failed method wrote "Error <method>: ..." once on standard output
    // and once to syslog at notice priority.
    static void expectReported(const std::vector<std::string>& failed, const std::string& output)
    {
        const auto records = RecordCapture::records();
        ASSERT_EQ(records.size(), failed.size());
        for (std::size_t i = 0; i < failed.size(); ++i) {
            const std::string prefix = "Error " + failed[i] + ": ";
            EXPECT_EQ(records[i].first, LOG_NOTICE);
            EXPECT_EQ(records[i].second.rfind(prefix, 0), 0u) << records[i].second;
            EXPECT_NE(output.find(records[i].second + "\n"), std::string::npos) << records[i].second;
        }
    }

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
};

TEST_F(ScheduleManagerClient, EveryMethodReachesTheServiceWithItsArgumentsAndReturnsItsAnswer)
{
    FakeScheduleManager service;
    service.setState(2, "DsoECmd_FSCH25000", 3);
    service.setActive(2, "EmpSPrg_FSCH020101");
    service.setEntry(17, -12.25, 1'700'000'000'123, 1'700'000'900'000);

    EXPECT_EQ(sm::checkExistence(proxy.get(), 2, "DsoECmd_FSCH250001"), true);
    EXPECT_EQ(sm::updateStatusOfSchedule(proxy.get(), 2, "DsoECmd_FSCH25000", 1), 3);
    EXPECT_EQ(sm::getActStrTm(proxy.get(), 2, "EmpSPrg_FSCH020101"), 1'700'000'000'123u);
    EXPECT_EQ(sm::getNxtStrTm(proxy.get(), 2, "EmpSPrg_FSCH020101"), 1'700'000'900'000u);
    EXPECT_EQ(sm::calculateValIndex(proxy.get(), 2, "EmpSPrg_FSCH020101", 1'700'000'000'999), 17);
    EXPECT_EQ(sm::getVal(proxy.get(), 2, "EmpSPrg_FSCH020101", 17), -12.25);
    EXPECT_EQ(sm::getActivateSchedule(proxy.get(), 2), "EmpSPrg_FSCH020101");
    service.setSchedule3Days({{3000, 30}, {1000, -10}, {2000, 20}});
    EXPECT_EQ(sm::getSchedule3Days(proxy.get(), 1), (Schedule3Days{{1000, -10}, {2000, 20}, {3000, 30}}));

    EXPECT_EQ(service.calls(), (std::vector<std::string>{
                                   "checkExistence 2 DsoECmd_FSCH250001",
                                   "updateStatusOfSchedule 2 DsoECmd_FSCH25000 1",
                                   "getActStrTm 2 EmpSPrg_FSCH020101",
                                   "getNxtStrTm 2 EmpSPrg_FSCH020101",
                                   "calculateValIndex 2 EmpSPrg_FSCH020101 1700000000999",
                                   "getVal 2 EmpSPrg_FSCH020101 17",
                                   "getActivateSchedule 2",
                                   "getSchedule3Days 1",
                               }));

    // The uploads carry every field in order.
    const double tenth = static_cast<double>(0.1f);
    ASSERT_TRUE(accepted(sm::addScheduleJSON(proxy.get(), 1, "EmpSPrg_FSCH020001",
                                             {20, 3, 900, {tenth, -5.5, 0.0}, {1'000, 2'000}, true, 1'700'000'000'000})));
    ASSERT_TRUE(accepted(sm::addScheduleJSONTrg(proxy.get(), 2, "SysComEr_FSCH220001",
                                                {220, 1, 60, {7.0}, false, true, 1'700'000'000'001, true})));

    EXPECT_EQ(service.uploads(),
              (std::vector<ReceivedUpload>{
                  {"addScheduleJSON", 1, "EmpSPrg_FSCH020001", 20, 3, 900, {tenth, -5.5, 0.0}, {1'000, 2'000}, true,
                   false, 1'700'000'000'000, false},
                  {"addScheduleJSONTrg", 2, "SysComEr_FSCH220001", 220, 1, 60, {7.0}, {}, false, true,
                   1'700'000'000'001, true}}));
    EXPECT_TRUE(RecordCapture::records().empty());
}

TEST_F(ScheduleManagerClient, WithoutTheServiceOrAProxyEveryCallFailsAndSaysSo)
{
    for (bool withProxy : {true, false}) {
        if (!withProxy)
            proxy.reset();
        RecordCapture::clear();
        testing::internal::CaptureStdout();
        const auto answered = callEverything();
        const std::string output = testing::internal::GetCapturedStdout();

        EXPECT_EQ(answered, std::vector<bool>(10, false));
        expectReported(methods, output);
        if (withProxy) {
            EXPECT_NE(output.find("Error getVal: [org.freedesktop.DBus.Error.ServiceUnknown]"), std::string::npos);
        }
    }
}

TEST_F(ScheduleManagerClient, RepliesOfTheWrongShapeAreFailures)
{
    // The uploads' replies are not read, so only the eight questions fail.
    std::vector<std::string> questions = methods;
    std::erase_if(questions, [](const std::string& m) { return m.starts_with("addSchedule"); });
    const std::vector<bool> onlyUploadsAnswered{false, false, false, false, false, false, true, true, false, false};

    for (Replies replies : {Replies::WrongTypes, Replies::NoValue, Replies::ExtraValue}) {
        SCOPED_TRACE(static_cast<int>(replies));
        FakeScheduleManager service(replies);
        RecordCapture::clear();
        testing::internal::CaptureStdout();
        const auto answered = callEverything();
        const std::string output = testing::internal::GetCapturedStdout();

        EXPECT_EQ(answered, onlyUploadsAnswered);
        expectReported(questions, output);
        EXPECT_EQ(service.calls().size(), 10u);
    }
}

TEST_F(ScheduleManagerClient, ASlowServiceIsWaitedFor)
{
    FakeScheduleManager service(Replies::Correct, std::chrono::milliseconds(1500));
    service.setEntry(4, 99.5, 0, 0);
    EXPECT_EQ(sm::getVal(proxy.get(), 1, "EmpSPrg_FSCH020001", 4), 99.5);
    EXPECT_TRUE(RecordCapture::records().empty());
}

TEST_F(ScheduleManagerClient, AServiceSlowerThanTheCallTimeoutEndsThePassAtThatCall)
{
    FakeScheduleManager service(Replies::Correct, kServiceCallTimeout + std::chrono::seconds(1));
    testing::internal::CaptureStdout();
    {
        sm::ServicePass pass;
        EXPECT_FALSE(sm::getActivateSchedule(proxy.get(), 1));
        EXPECT_TRUE(sm::ServicePass::abandoned());
        EXPECT_FALSE(sm::getVal(proxy.get(), 1, "EmpSPrg_FSCH020001", 1));
        EXPECT_EQ(sm::addScheduleJSON(proxy.get(), 1, "EmpSPrg_FSCH020001", {}).outcome,
                  sm::UploadResult::Outcome::NoAnswer);
    }
    EXPECT_FALSE(sm::ServicePass::abandoned());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Error getActivateSchedule: ", 0), 0u) << output;
    EXPECT_NE(output.find("org.freedesktop.DBus.Error.Timeout"), std::string::npos) << output;
    EXPECT_EQ(RecordCapture::records().size(), 1u);
    EXPECT_EQ(service.calls(), std::vector<std::string>{"getActivateSchedule 1"});
}

}  // namespace
