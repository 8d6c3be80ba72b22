// Device passes: schedule states, the active schedule, the set-point outputs
// and their listeners, and what a failed call leaves behind.
#include "model_fixture.hpp"

#include <cstdlib>

namespace {

using Records = RecordCapture::Records;

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
        IedServer_updateUTCTimeAttributeValue(server, at(node + ".SchdSt.t"), 1000);
        IedServer_updateBooleanAttributeValue(server, at(node + ".EnaReq.stVal"), true);
        IedServer_updateUTCTimeAttributeValue(server, at(node + ".EnaReq.t"), 2000);
    }

    EXPECT_EQ(pass(), "Schedule EmpSPrg_FSCH020101 Start Time required \n"
                      "Schedule EmpWCmd_FSCH030001 Ready \n"
                      "Schedule EmpDCmd_FSCH050001 Running \n"
                      "\n## Active Schedule of CLS1 is: no_schedule_active\n");
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "## Schedule: EmpSPrg_FSCH020101 Start Time required"},
                                                 {LOG_NOTICE, "## Schedule: EmpWCmd_FSCH030001 Ready"},
                                                 {LOG_NOTICE, "## Schedule: EmpDCmd_FSCH050001 Running"}}));
    const std::tuple<std::int32_t, bool, bool> expected[] = {// state, enabled, written
                                                             {9, true, false}, {1, false, true}, {2, false, true},
                                                             {3, false, true}, {4, true, true},  {9, true, false}};
    for (std::size_t type = 0; type < std::size(expected); ++type) {
        const auto [state, enabled, written] = expected[type];
        const std::string node = "CLS1/" + scheduleNodeName(scheduleTypePrefixes[type], 1);
        SCOPED_TRACE(node);
        EXPECT_EQ(intAt(node + ".SchdSt.stVal"), state);
        EXPECT_EQ(boolAt(node + ".EnaReq.stVal"), enabled);
        // EnaReq's time changes with its value.
        EXPECT_EQ(timeAt(node + ".EnaReq.t") == 2000u, !written || enabled);
        EXPECT_EQ(timeAt(node + ".SchdSt.t") > 1000u, written);
        if (written) {
            EXPECT_EQ(timeQualityAt(node + ".SchdSt.t"), kLeapSecondsKnown);
        }
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
    EXPECT_EQ(timeQualityAt("CLS1/ActPow_FSCC001.ActSchdRef.t"), kLeapSecondsKnown);
    EXPECT_EQ(intAt(kActive + ".SchdEntr.stVal"), 5);
    EXPECT_EQ(floatAt(kActive + ".ValMV.mag.f"), 42.5f);
    EXPECT_EQ(timeAt(kActive + ".ActStrTm.stVal"), kActStrTm);
    EXPECT_EQ(timeAt(kActive + ".NxtStrTm.stVal"), kNxtStrTm);
    EXPECT_EQ(timeQualityAt(kActive + ".NxtStrTm.stVal"), kLeapSecondsKnown);
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

TEST_F(DevicePass, ListenersMissingOrEmptyAreReported)
{
    callbacks.clear();
    setActive("EmpSPrg_FSCH020001");
    setEntry(1, 7.25, kActStrTm, kNxtStrTm);
    EXPECT_NE(pass().find("Error: No callbacks registered.\n"), std::string::npos);
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "Error: No callbacks registered."}}));
    EXPECT_EQ(floatAt(kAnOut1), 7.25f);
    EXPECT_EQ(floatAt(kControllerValue), -1.0f);

    // An empty callable is skipped, not thrown: the others are called.
    callbacks["empty"] = nullptr;
    callbacks["ems"] = [this](std::int32_t cls) { heard.push_back(cls); };
    EXPECT_NE(pass().find("Error: callback empty is empty\n"), std::string::npos);
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
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

    // A service answering with wrong types changes nothing either.
    publishGoodValue();
    setInt(kActive + ".SchdSt.stVal", 9);
    service.reset();
    service = std::make_unique<FakeScheduleManager>(FakeScheduleManager::Replies::WrongTypes);
    pass();
    EXPECT_EQ(RecordCapture::records().size(), 11u);
    EXPECT_EQ(intAt(kActive + ".SchdSt.stVal"), 9);
    EXPECT_EQ(textAt(kActSchdRef), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(floatAt(kAnOut1), 10.5f);
    EXPECT_TRUE(heard.empty());
}

TEST_F(DevicePass, AnUnknownOrEmptyActiveReferenceStopsThePass)
{
    setActive("Bogus_FSCH990001");
    EXPECT_NE(pass().find("Error: DA in CLS1 for SchdEntr not found\n"), std::string::npos);
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "Error: DA in CLS1 for SchdEntr not found"}}));
    EXPECT_EQ(service->calls().size(), 12u);
    EXPECT_TRUE(heard.empty());

    service->clear();
    setText("CLS2/ActPow_FSCC001.ActSchdRef.stVal", "");
    EXPECT_EQ(printed([&] { handling->updateActiveScheduleData(LogicalDeviceKind::CLS2); }),
              "Error: CLS2 getActiveScheduleNameFromController -> schdRef is empty\n"
              "Error: CLS2 updateActiveScheduleData -> LDofActiveSchedule or nameOfActiveSchedule is empty\n");
    EXPECT_TRUE(service->calls().empty());
}

TEST_F(DevicePass, StartUpUploadsTheFirstInstancesOfBothDevicesThenRefreshesBoth)
{
    printed([&] { handling->updateAllDevices(); });
    const auto calls = service->calls();
    ASSERT_EQ(calls.size(), 20u + 2 * 11u);
    for (std::size_t i = 0; i < 20; ++i) {
        const std::string node = scheduleNodeName(scheduleTypePrefixes[i % 10], 1);
        const bool triggered = node.starts_with("SysSoft") || node.starts_with("SysComEr");
        const std::string start = (triggered ? "addScheduleJSONTrg " : "addScheduleJSON ") +
                                  std::string(i < 10 ? "1 " : "2 ") + node + " ";
        EXPECT_EQ(calls[i].rfind(start, 0), 0u) << calls[i];
    }
    EXPECT_EQ(calls[20], "updateStatusOfSchedule 1 SysRes_FSCH01000 1");
    EXPECT_EQ(calls[30], "getActivateSchedule 1");
    EXPECT_EQ(calls[31], "updateStatusOfSchedule 2 SysRes_FSCH01000 1");
    EXPECT_EQ(calls[41], "getActivateSchedule 2");
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
