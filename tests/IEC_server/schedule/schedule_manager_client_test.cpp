// The schedule-manager calls against no service and against a stand-in that
// answers every question with a reply of the wrong shape: each call fails and
// says so once on standard output and once in syslog.
#include "model_fixture.hpp"

#include <sdbus-c++/sdbus-c++.h>

namespace {

namespace sm = schedulemanager;
using Replies = FakeScheduleManager::Replies;

// Runs every call once; true for each that the service answered.
std::vector<bool> callEverything(sdbus::IProxy* proxy)
{
    const auto accepted = [](const sm::UploadResult& r) { return r.outcome == sm::UploadResult::Outcome::Accepted; };
    return {
        sm::checkExistence(proxy, 1, "EmpSPrg_FSCH020001").has_value(),
        sm::updateStatusOfSchedule(proxy, 1, "EmpSPrg_FSCH02000", 1).has_value(),
        sm::getActStrTm(proxy, 1, "EmpSPrg_FSCH020001").has_value(),
        sm::getNxtStrTm(proxy, 1, "EmpSPrg_FSCH020001").has_value(),
        sm::calculateValIndex(proxy, 1, "EmpSPrg_FSCH020001", 5).has_value(),
        sm::getVal(proxy, 1, "EmpSPrg_FSCH020001", 2).has_value(),
        accepted(sm::addScheduleJSON(proxy, 1, "EmpSPrg_FSCH020001", {})),
        accepted(sm::addScheduleJSONTrg(proxy, 1, "SysSoft_FSCH110001", {})),
        sm::getActivateSchedule(proxy, 1).has_value(),
        sm::getSchedule3Days(proxy, 1).has_value(),
    };
}

TEST_F(ScheduleModelTest, EveryCallWithoutTheServiceOrWithRepliesOfTheWrongShapeFailsAndSaysSo)
{
    const std::vector<std::string> methods{"checkExistence",      "updateStatusOfSchedule", "getActStrTm",
                                           "getNxtStrTm",         "calculateValIndex",      "getVal",
                                           "addScheduleJSON",     "addScheduleJSONTrg",     "getActivateSchedule",
                                           "getSchedule3Days"};
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, kScheduleManagerService, kScheduleManagerPath);
    for (int mode = -2; mode <= static_cast<int>(Replies::ExtraValue); ++mode) {
        SCOPED_TRACE(mode);  // -2: no proxy, -1: no service
        std::unique_ptr<FakeScheduleManager> service;
        if (mode > static_cast<int>(Replies::Correct))
            service = std::make_unique<FakeScheduleManager>(static_cast<Replies>(mode));
        else if (mode == 0)
            continue;
        RecordCapture::clear();
        testing::internal::CaptureStdout();
        const std::vector<bool> answered = callEverything(mode == -2 ? nullptr : proxy.get());
        const std::string output = testing::internal::GetCapturedStdout();

        // The uploads' replies are not read: only the eight questions fail when a service answers.
        std::vector<std::string> failed = methods;
        if (service)
            std::erase_if(failed, [](const std::string& m) { return m.starts_with("addSchedule"); });
        for (std::size_t i = 0; i < methods.size(); ++i)
            EXPECT_EQ(answered[i], service && methods[i].starts_with("addSchedule")) << methods[i];
        const auto records = RecordCapture::records();
        ASSERT_EQ(records.size(), failed.size());
        for (std::size_t i = 0; i < failed.size(); ++i) {
            EXPECT_EQ(records[i].first, LOG_NOTICE);
            EXPECT_EQ(records[i].second.rfind("Error " + failed[i] + ": ", 0), 0u) << records[i].second;
            EXPECT_NE(output.find(records[i].second + "\n"), std::string::npos) << records[i].second;
        }
        if (mode == -1) {
            EXPECT_NE(output.find("Error getVal: [org.freedesktop.DBus.Error.ServiceUnknown]"), std::string::npos);
        }
        if (service) {
            EXPECT_EQ(service->calls().size(), 10u);
        }
    }
}

}  // namespace
