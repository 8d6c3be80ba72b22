// Device passes: schedule states, the active schedule, the set-point outputs
// and their listeners, and what a failed call leaves behind.
#include "fake_schedule_manager.hpp"
#include "model_fixture.hpp"

#include <cstdlib>

namespace {

using Records = std::vector<std::pair<int, std::string>>;

constexpr const char* kActive = "EmpSPrg_FSCH020001";
constexpr std::uint64_t kActStrTm = 1'764'000'000'000;
constexpr std::uint64_t kNxtStrTm = 1'764'000'900'500;
constexpr std::uint8_t kLeapSecondsKnown = 0x80;

class DevicePass : public ScheduleModelTest {
protected:
    void SetUp() override
    {
        ScheduleModelTest::SetUp();
        service = std::make_unique<FakeScheduleManager>();
        callbacks["ems"] = [this](std::int32_t cls) { heard.push_back(cls); };
        // A known earlier state of the outputs.
        IedServer_updateVisibleStringAttributeValue(server, attribute("CLS1", "ActPow_FSCC001", "ActSchdRef", "stVal"),
                                                    "@CLS1/none");
        setFloat("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal", -1.0f);
        setFloat("CLS1", "ActPow_FSCC001", "ValMV", "mag", -1.0f);
        setFloat("CLS1", kActive, "ValMV", "mag", -1.0f);
    }
    void TearDown() override
    {
        service.reset();
        ScheduleModelTest::TearDown();
    }

    // A pass in which EmpSPrg_FSCH020001 of CLS1 is active with entry 5, value 10.5.
    void publishGoodValue()
    {
        service->setActive(1, kActive);
        service->setEntry(5, 10.5, kActStrTm, kNxtStrTm);
        printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });
        ASSERT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 10.5f);
        heard.clear();
        service->clear();
        RecordCapture::clear();
    }

    std::unique_ptr<FakeScheduleManager> service;
    std::vector<std::int32_t> heard;
};

TEST_F(DevicePass, StatesOneToFourAreWrittenAndOthersLeaveTheNodeAlone)
{
    // The first six schedule types answer 0 to 5.
    for (std::int32_t code = 0; code <= 5; ++code)
        service->setState(1, std::string(scheduleTypePrefixes[static_cast<std::size_t>(code)]), code);
    for (std::string_view prefix : scheduleTypePrefixes) {
        const std::string node = scheduleNodeName(prefix, 1);
        IedServer_updateInt32AttributeValue(server, attribute("CLS1", node, "SchdSt", "stVal"), 9);
        IedServer_updateUTCTimeAttributeValue(server, attribute("CLS1", node, "SchdSt", "t"), 1000);
        IedServer_updateBooleanAttributeValue(server, attribute("CLS1", node, "EnaReq", "stVal"), true);
        IedServer_updateUTCTimeAttributeValue(server, attribute("CLS1", node, "EnaReq", "t"), 2000);
    }

    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });

    EXPECT_EQ(output, "Schedule EmpSPrg_FSCH020101 Start Time required \n"
                      "Schedule EmpWCmd_FSCH030001 Ready \n"
                      "Schedule EmpDCmd_FSCH050001 Running \n"
                      "\n## Active Schedule of CLS1 is: no_schedule_active\n");
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "## Schedule: EmpSPrg_FSCH020101 Start Time required"},
                                                 {LOG_NOTICE, "## Schedule: EmpWCmd_FSCH030001 Ready"},
                                                 {LOG_NOTICE, "## Schedule: EmpDCmd_FSCH050001 Running"}}));
    struct Expected {
        std::size_t type;
        std::int32_t state;
        bool enabled;
        bool written;
    };
    for (const Expected& e : {Expected{0, 9, true, false}, Expected{1, 1, false, true}, Expected{2, 2, false, true},
                              Expected{3, 3, false, true}, Expected{4, 4, true, true}, Expected{5, 9, true, false}}) {
        const std::string node = scheduleNodeName(scheduleTypePrefixes[e.type], 1);
        SCOPED_TRACE(node);
        EXPECT_EQ(intOf("CLS1", node, "SchdSt"), e.state);
        EXPECT_EQ(boolOf("CLS1", node, "EnaReq"), e.enabled);
        EXPECT_EQ(timeOf("CLS1", node, "EnaReq", "t"), 2000u);
        if (e.written) {
            EXPECT_GT(timeOf("CLS1", node, "SchdSt", "t"), 1000u);
            EXPECT_EQ(timeQualityOf("CLS1", node, "SchdSt", "t"), kLeapSecondsKnown);
        } else {
            EXPECT_EQ(timeOf("CLS1", node, "SchdSt", "t"), 1000u);
        }
    }
    // Ten state queries by type prefix and instance, then the active schedule.
    const auto calls = service->calls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls[0], "updateStatusOfSchedule 1 SysRes_FSCH01000 1");
    EXPECT_EQ(calls[9], "updateStatusOfSchedule 1 DsoECmd_FSCH25000 1");
    EXPECT_EQ(calls[10], "getActivateSchedule 1");
}

TEST_F(DevicePass, RunningThenStartTimeRequiredClearsEnaReqAgain)
{
    service->setState(2, "EmpSPrg_FSCH02000", 4);
    printed([&] { handling->updateDevice(LogicalDeviceKind::CLS2); });
    EXPECT_TRUE(boolOf("CLS2", kActive, "EnaReq"));
    service->setState(2, "EmpSPrg_FSCH02000", 2);
    printed([&] { handling->updateDevice(LogicalDeviceKind::CLS2); });
    EXPECT_FALSE(boolOf("CLS2", kActive, "EnaReq"));
    EXPECT_EQ(intOf("CLS2", kActive, "SchdSt"), 2);
}

TEST_F(DevicePass, TheActiveScheduleIsMirroredAndEveryListenerHearsItOnce)
{
    std::vector<std::int32_t> heardToo;
    callbacks["second"] = [&](std::int32_t cls) { heardToo.push_back(cls); };
    service->setState(1, "EmpSPrg_FSCH02000", 3);
    service->setActive(1, kActive);
    service->setEntry(5, 42.5, kActStrTm, kNxtStrTm);

    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });

    EXPECT_EQ(output, "Schedule EmpSPrg_FSCH020001 Ready \n\n## Active Schedule of CLS1 is: EmpSPrg_FSCH020001\n");
    EXPECT_EQ(textOf("CLS1", "ActPow_FSCC001", "ActSchdRef"), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(timeQualityOf("CLS1", "ActPow_FSCC001", "ActSchdRef", "t"), kLeapSecondsKnown);
    EXPECT_EQ(intOf("CLS1", kActive, "SchdEntr"), 5);
    EXPECT_EQ(floatOf("CLS1", kActive, "ValMV", "mag"), 42.5f);
    EXPECT_EQ(timeOf("CLS1", kActive, "ActStrTm", "stVal"), kActStrTm);
    EXPECT_EQ(timeOf("CLS1", kActive, "NxtStrTm", "stVal"), kNxtStrTm);
    EXPECT_EQ(timeQualityOf("CLS1", kActive, "NxtStrTm", "stVal"), kLeapSecondsKnown);
    // Ready, yet enabled: the active-schedule step comes after the states.
    EXPECT_TRUE(boolOf("CLS1", kActive, "EnaReq"));
    EXPECT_EQ(intOf("CLS1", kActive, "SchdSt"), 3);
    EXPECT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 42.5f);
    EXPECT_EQ(floatOf("CLS1", "ActPow_FSCC001", "ValMV", "mag"), 42.5f);
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
    EXPECT_EQ(heardToo, std::vector<std::int32_t>{1});
    // CLS2 is untouched.
    EXPECT_NE(textOf("CLS2", "ActPow_FSCC001", "ActSchdRef"), "@CLS2/EmpSPrg_FSCH020001");

    const auto calls = service->calls();
    ASSERT_EQ(calls.size(), 15u);
    EXPECT_EQ(calls[11].rfind("calculateValIndex 1 EmpSPrg_FSCH020001 ", 0), 0u);
    EXPECT_EQ(calls[12], "getVal 1 EmpSPrg_FSCH020001 5");
    EXPECT_EQ(calls[13], "getActStrTm 1 EmpSPrg_FSCH020001");
    EXPECT_EQ(calls[14], "getNxtStrTm 1 EmpSPrg_FSCH020001");
}

TEST_F(DevicePass, NoScheduleActiveChangesOnlyTheReference)
{
    publishGoodValue();
    service->setActive(1, "no_schedule_active");
    printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });
    EXPECT_EQ(textOf("CLS1", "ActPow_FSCC001", "ActSchdRef"), "@CLS1/no_schedule_active");
    EXPECT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 10.5f);
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(service->calls().size(), 11u);
}

TEST_F(DevicePass, WithoutListenersTheOutputIsWrittenButNotTheController)
{
    callbacks.clear();
    service->setActive(1, kActive);
    service->setEntry(1, 7.25, kActStrTm, kNxtStrTm);
    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });
    EXPECT_NE(output.find("Error: No callbacks registered.\n"), std::string::npos) << output;
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "Error: No callbacks registered."}}));
    EXPECT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 7.25f);
    EXPECT_EQ(floatOf("CLS1", "ActPow_FSCC001", "ValMV", "mag"), -1.0f);
}

TEST_F(DevicePass, AnEmptyListenerIsSkippedAndTheOthersAreCalled)
{
    callbacks["empty"] = nullptr;
    service->setActive(1, kActive);
    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });
    EXPECT_NE(output.find("Error: callback empty is empty\n"), std::string::npos) << output;
    EXPECT_EQ(heard, std::vector<std::int32_t>{1});
}

// Each failing question stops the pass where it failed: the outputs, the
// controller and the listeners keep the last good value.
TEST_F(DevicePass, AFailedQuestionPublishesNothing)
{
    for (const char* method : {"calculateValIndex", "getVal", "getActStrTm", "getNxtStrTm", "getActivateSchedule"}) {
        SCOPED_TRACE(method);
        service.reset();
        service = std::make_unique<FakeScheduleManager>();
        publishGoodValue();
        service->setEntry(6, 1234.0, 2345, 3456);
        service->fail(method);

        const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });

        const std::string error = std::string("Error ") + method + ": [de.brenvolta.test.Failed] injected failure";
        EXPECT_NE(output.find(error + "\n"), std::string::npos) << output;
        EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, error}}));
        EXPECT_EQ(textOf("CLS1", "ActPow_FSCC001", "ActSchdRef"), "@CLS1/EmpSPrg_FSCH020001");
        EXPECT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 10.5f);
        EXPECT_EQ(floatOf("CLS1", "ActPow_FSCC001", "ValMV", "mag"), 10.5f);
        EXPECT_NE(timeOf("CLS1", kActive, "ActStrTm", "stVal"), 2345u);
        EXPECT_NE(timeOf("CLS1", kActive, "NxtStrTm", "stVal"), 3456u);
        EXPECT_NE(floatOf("CLS1", kActive, "ValMV", "mag"), 1234.0f);
        EXPECT_TRUE(heard.empty());
    }
    // Without an answer on the active schedule no further question is asked.
    EXPECT_EQ(service->calls().size(), 11u);
}

TEST_F(DevicePass, AServiceAnsweringWithWrongTypesChangesNothing)
{
    publishGoodValue();
    IedServer_updateInt32AttributeValue(server, attribute("CLS1", kActive, "SchdSt", "stVal"), 9);
    service.reset();
    service = std::make_unique<FakeScheduleManager>(FakeScheduleManager::Replies::WrongTypes);

    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });

    EXPECT_EQ(RecordCapture::records().size(), 11u) << output;
    EXPECT_EQ(intOf("CLS1", kActive, "SchdSt"), 9);
    EXPECT_EQ(textOf("CLS1", "ActPow_FSCC001", "ActSchdRef"), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), 10.5f);
    EXPECT_TRUE(heard.empty());
}

TEST_F(DevicePass, AnUnknownActiveNodeStopsAtItsEntry)
{
    service->setActive(1, "Bogus_FSCH990001");
    const std::string output = printed([&] { handling->updateDevice(LogicalDeviceKind::CLS1); });
    EXPECT_NE(output.find("Error: DA in CLS1 for SchdEntr not found\n"), std::string::npos) << output;
    EXPECT_EQ(RecordCapture::records(), (Records{{LOG_NOTICE, "Error: DA in CLS1 for SchdEntr not found"}}));
    EXPECT_EQ(service->calls().size(), 12u);
    EXPECT_TRUE(heard.empty());
}

TEST_F(DevicePass, AnEmptyReferenceIsReported)
{
    IedServer_updateVisibleStringAttributeValue(server, attribute("CLS2", "ActPow_FSCC001", "ActSchdRef", "stVal"), "");
    const std::string output = printed([&] { handling->updateActiveScheduleData(LogicalDeviceKind::CLS2); });
    EXPECT_EQ(output, "Error: CLS2 getActiveScheduleNameFromController -> schdRef is empty\n"
                      "Error: CLS2 updateActiveScheduleData -> LDofActiveSchedule or nameOfActiveSchedule is empty\n");
    EXPECT_EQ(RecordCapture::records().size(), 2u);
    EXPECT_TRUE(service->calls().empty());
}

TEST_F(DevicePass, StartUpUploadsTheFirstInstancesOfBothDevicesThenRefreshesBoth)
{
    printed([&] { handling->updateAllDevices(); });
    const auto calls = service->calls();
    ASSERT_EQ(calls.size(), 20u + 2 * 11u);
    for (std::size_t i = 0; i < 20; ++i) {
        const std::string node = scheduleNodeName(scheduleTypePrefixes[i % 10], 1);
        const std::string cls = i < 10 ? "1" : "2";
        const std::string method = node.starts_with("SysSoft") || node.starts_with("SysComEr") ? "addScheduleJSONTrg"
                                                                                               : "addScheduleJSON";
        EXPECT_EQ(calls[i].rfind(method + " " + cls + " " + node + " ", 0), 0u) << calls[i];
    }
    EXPECT_EQ(calls[20], "updateStatusOfSchedule 1 SysRes_FSCH01000 1");
    EXPECT_EQ(calls[30], "getActivateSchedule 1");
    EXPECT_EQ(calls[31], "updateStatusOfSchedule 2 SysRes_FSCH01000 1");
    EXPECT_EQ(calls[41], "getActivateSchedule 2");
}

TEST_F(DevicePass, TheThreeDayQueryUsesTheProcessProxy)
{
    service->setSchedule3Days({{20, 2}, {10, 1}});
    EXPECT_EQ(getSchedule3Days(2), (Schedule3Days{{10, 1}, {20, 2}}));
    EXPECT_EQ(service->calls(), std::vector<std::string>{"getSchedule3Days 2"});

    handling.reset();
    const std::string output = printed([&] { EXPECT_EQ(getSchedule3Days(2), std::nullopt); });
    EXPECT_EQ(output, "Error getSchedule3Days: [org.freedesktop.DBus.Error.Disconnected] no connection to the system bus\n");
}

class WithoutSystemBus : public ScheduleModelTest {};

TEST_F(WithoutSystemBus, StartUpGoesOnAndEveryCallFails)
{
    handling.reset();
    const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus->directory() + "/absent_socket").c_str(), 1);
    std::string output = printed([&] { handling = std::make_unique<IecScheduleHandling>(&server, &callbacks); });
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    EXPECT_EQ(output.rfind("Initializing DBus in IecScheduleHandling\nError initDBus: ", 0), 0u) << output;
    auto records = RecordCapture::records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (std::pair<int, std::string>{LOG_INFO, "Initializing DBus in IecScheduleHandling"}));

    IedServer_updateVisibleStringAttributeValue(server, attribute("CLS1", "ActPow_FSCC001", "ActSchdRef", "stVal"),
                                                "@CLS1/before");
    RecordCapture::clear();
    // A service on the bus does not help a process that has no connection.
    FakeScheduleManager service;
    output = printed([&] { handling->updateAllDevices(); });
    EXPECT_TRUE(service.calls().empty());
    EXPECT_EQ(RecordCapture::records().size(), 20u + 2 * 11u);
    EXPECT_NE(output.find("Error getActivateSchedule: [org.freedesktop.DBus.Error.Disconnected]"), std::string::npos);
    EXPECT_EQ(textOf("CLS1", "ActPow_FSCC001", "ActSchdRef"), "@CLS1/before");
}

}  // namespace
