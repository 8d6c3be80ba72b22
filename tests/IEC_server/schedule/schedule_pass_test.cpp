// Device passes against a stand-in schedule manager: schedule states, the active
// schedule, the set-point outputs and their listeners, and what a failed call,
// a missing service or bus and replies of the wrong shape leave behind.
#include "model_fixture.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdlib>

namespace {

using Records = RecordCapture::Records;
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

constexpr std::uint64_t kActStrTm = 1'764'000'000'000;
constexpr std::uint64_t kNxtStrTm = 1'764'000'900'500;
constexpr std::uint8_t kLeapSecondsKnown = 0x80;
const std::string kActive = "CLS1/EmpSPrg_FSCH020001";
const std::string kAnOut1 = "CLS1/ActPow_GGIO001.AnOut1.mxVal.f";
const std::string kControllerValue = "CLS1/ActPow_FSCC001.ValMV.mag.f";
const std::string kActSchdRef = "CLS1/ActPow_FSCC001.ActSchdRef.stVal";

class DevicePass : public ScheduleModelTest {
protected:
    void SetUp() override
    {
        ScheduleModelTest::SetUp();
        service = std::make_unique<FakeScheduleManager>();
        callbacks["ems"] = [this](std::int32_t cls) { heard.push_back(cls); };
        // A known earlier state of the outputs.
        setText(kActSchdRef, "@CLS1/none");
        for (const std::string& path : {kAnOut1, kControllerValue, kActive + ".ValMV.mag.f"})
            setFloat(path, -1.0f);
    }
    void TearDown() override
    {
        service.reset();
        ScheduleModelTest::TearDown();
    }

    std::string pass(LogicalDeviceKind kind = LogicalDeviceKind::CLS1)
    {
        return printed([&] { handling->updateDevice(kind); });
    }

    void setEntry(int index, double value, std::uint64_t actStrTm, std::uint64_t nxtStrTm)
    {
        service->answer("calculateValIndex", std::to_string(index));
        service->answer("getVal", std::to_string(value));
        service->answer("getActStrTm", std::to_string(actStrTm));
        service->answer("getNxtStrTm", std::to_string(nxtStrTm));
    }
    void setActive(const char* node) { service->answer("getActivateSchedule 1", node); }

    // A pass in which EmpSPrg_FSCH020001 of CLS1 is active with entry 5, value 10.5.
    void publishGoodValue()
    {
        setActive("EmpSPrg_FSCH020001");
        setEntry(5, 10.5, kActStrTm, kNxtStrTm);
        pass();
        ASSERT_EQ(floatAt(kAnOut1), 10.5f);
        heard.clear();
        service->clear();
        RecordCapture::clear();
    }

    std::unique_ptr<FakeScheduleManager> service;
    std::vector<std::int32_t> heard;
};

TEST_F(DevicePass, StatesOneToFourAreWrittenAndOthersLeaveTheNodeAlone)
{
    setEntry(0, 0.0, kActStrTm, kNxtStrTm);
    // The first six schedule types answer 0 to 5.
    for (std::size_t code = 0; code <= 5; ++code)
        service->answer("updateStatusOfSchedule 1 " + std::string(scheduleTypePrefixes[code]), std::to_string(code));
    for (std::string_view prefix : scheduleTypePrefixes) {
        const std::string node = "CLS1/" + scheduleNodeName(prefix, 1);
        setInt(node + ".SchdSt.stVal", 9);
        IedServer_updateBooleanAttributeValue(server, at(node + ".EnaReq.stVal"), true);
    }

    EXPECT_EQ(pass(), "Schedule EmpSPrg_FSCH020101 Start Time required \n"
                      "Schedule EmpWCmd_FSCH030001 Ready \n"
                      "Schedule EmpDCmd_FSCH050001 Running \n"
                      "\n## Active Schedule of CLS1 is: no_schedule_active\n");
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "## Schedule: EmpSPrg_FSCH020101 Start Time required"},
                                                 {LOG_NOTICE, "## Schedule: EmpWCmd_FSCH030001 Ready"},
                                                 {LOG_NOTICE, "## Schedule: EmpDCmd_FSCH050001 Running"}}));
    const std::pair<std::int32_t, bool> expected[] = {{9, true}, {1, false}, {2, false}, {3, false}, {4, true}, {9, true}};
    for (std::size_t type = 0; type < std::size(expected); ++type) {
        const auto [state, enabled] = expected[type];
        const std::string node = "CLS1/" + scheduleNodeName(scheduleTypePrefixes[type], 1);
        SCOPED_TRACE(node);
        EXPECT_EQ(intAt(node + ".SchdSt.stVal"), state);
        EXPECT_EQ(boolAt(node + ".EnaReq.stVal"), enabled);
    }
    std::vector<std::string> expectedCalls;
    for (const auto& row : boxtest::dataRows("device_pass_calls.txt"))
        expectedCalls.push_back(row.at(0));
    EXPECT_EQ(service->calls(), expectedCalls);
    EXPECT_EQ(timeAt("CLS1/EmpWCmd_FSCH030001.NxtStrTm.stVal"), kNxtStrTm);
    EXPECT_EQ(timeAt("CLS1/EmpDCmd_FSCH050001.ActStrTm.stVal"), kActStrTm);

    // Running, then start time required: EnaReq is cleared again.
    service->answer("updateStatusOfSchedule 2 EmpSPrg_FSCH02000", "4");
    pass(LogicalDeviceKind::CLS2);
    EXPECT_TRUE(boolAt("CLS2/EmpSPrg_FSCH020001.EnaReq.stVal"));
    service->answer("updateStatusOfSchedule 2 EmpSPrg_FSCH02000", "2");
    pass(LogicalDeviceKind::CLS2);
    EXPECT_FALSE(boolAt("CLS2/EmpSPrg_FSCH020001.EnaReq.stVal"));
}

TEST_F(DevicePass, TheActiveScheduleIsMirroredAndEveryListenerHearsItOnce)
{
    std::vector<std::int32_t> heardToo;
    callbacks["second"] = [&](std::int32_t cls) { heardToo.push_back(cls); };
    service->answer("updateStatusOfSchedule 1 EmpSPrg_FSCH02000", "3");
    setActive("EmpSPrg_FSCH020001");
    setEntry(5, 42.5, kActStrTm, kNxtStrTm);

    EXPECT_EQ(pass(), "Schedule EmpSPrg_FSCH020001 Ready \n\n## Active Schedule of CLS1 is: EmpSPrg_FSCH020001\n");
    EXPECT_EQ(textAt(kActSchdRef), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(intAt(kActive + ".SchdEntr.stVal"), 5);
    EXPECT_EQ(floatAt(kActive + ".ValMV.mag.f"), 42.5f);
    EXPECT_EQ(timeAt(kActive + ".ActStrTm.stVal"), kActStrTm);
    EXPECT_EQ(timeAt(kActive + ".NxtStrTm.stVal"), kNxtStrTm);
    // Ready, yet enabled: the active-schedule step comes after the states.
    EXPECT_TRUE(boolAt(kActive + ".EnaReq.stVal"));
    EXPECT_EQ(floatAt(kAnOut1), 42.5f);
    EXPECT_EQ(floatAt(kControllerValue), 42.5f);
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
    EXPECT_EQ(heardToo, std::vector<std::int32_t>{1});
    EXPECT_NE(textAt("CLS2/ActPow_FSCC001.ActSchdRef.stVal"), "@CLS2/EmpSPrg_FSCH020001");
    EXPECT_EQ(service->calls().at(13), "getVal 1 EmpSPrg_FSCH020001 5");

    // No schedule active any more: the outputs go back to 0, once, and the listeners hear it.
    service->clear();
    heard.clear();
    setActive("no_schedule_active");
    pass();
    EXPECT_EQ(textAt(kActSchdRef), "@CLS1/no_schedule_active");
    EXPECT_EQ(floatAt(kAnOut1), 0.0f);
    EXPECT_EQ(floatAt(kControllerValue), 0.0f);
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
    pass();
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
    EXPECT_EQ(service->calls().size(), 24u);
}

// Each failing question stops the pass where it failed: the outputs, the
// controller and the listeners keep the last good value.
TEST_F(DevicePass, AFailedQuestionPublishesNothing)
{
    for (const char* method : {"calculateValIndex", "getVal", "getActStrTm", "getNxtStrTm", "getActivateSchedule"}) {
        SCOPED_TRACE(method);
        service.reset();  // the bus name is free again
        service = std::make_unique<FakeScheduleManager>();
        publishGoodValue();
        setEntry(6, 1234.0, 2345, 3456);
        service->fail(method);

        const std::string output = pass();

        const std::string error = std::string("Error ") + method + ": [de.brenvolta.test.Failed] injected failure";
        EXPECT_NE(output.find(error + "\n"), std::string::npos) << output;
        EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, error}}));
        EXPECT_EQ(textAt(kActSchdRef), "@CLS1/EmpSPrg_FSCH020001");
        EXPECT_EQ(floatAt(kAnOut1), 10.5f);
        EXPECT_EQ(floatAt(kControllerValue), 10.5f);
        EXPECT_NE(timeAt(kActive + ".ActStrTm.stVal"), 2345u);
        EXPECT_NE(timeAt(kActive + ".NxtStrTm.stVal"), 3456u);
        EXPECT_NE(floatAt(kActive + ".ValMV.mag.f"), 1234.0f);
        EXPECT_TRUE(heard.empty());
    }
    // Without an answer on the active schedule no further question is asked.
    EXPECT_EQ(service->calls().size(), 11u);
}


TEST_F(ScheduleModelTest, WithoutSystemBusStartUpGoesOnAndEveryCallFails)
{
    handling.reset();
    const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus->directory() + "/absent_socket").c_str(), 1);
    std::string output = printed([&] { handling = std::make_unique<IecScheduleHandling>(server, &callbacks); });
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    EXPECT_EQ(output.rfind("Initializing DBus in IecScheduleHandling\nError initDBus: ", 0), 0u) << output;
    auto records = RecordCapture::records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (std::pair<int, std::string>{LOG_INFO, "Initializing DBus in IecScheduleHandling"}));

    setText(kActSchdRef, "@CLS1/before");
    RecordCapture::clear();
    // A service on the bus does not help a process that has no connection.
    FakeScheduleManager service;
    output = printed([&] { handling->updateAllDevices(); });
    EXPECT_TRUE(service.calls().empty());
    EXPECT_EQ(RecordCapture::records().size(), 20u + 2 * 11u);
    EXPECT_NE(output.find("Error getActivateSchedule: [org.freedesktop.DBus.Error.Disconnected]"), std::string::npos);
    EXPECT_EQ(textAt(kActSchdRef), "@CLS1/before");
}

}  // namespace
