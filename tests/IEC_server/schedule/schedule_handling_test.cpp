// Schedule handling on the box's model in a server of the test's own, against a
// stand-in schedule manager on a private system bus: device passes (the active
// schedule, the set-point outputs and their listeners, and what a failed call
// leaves behind), every call without the service or with replies of the wrong
// shape, and uploads of every schedule node.
#include "../box_test_support.hpp"
#include "data_rows.hpp"
#include "fake_schedule_manager.hpp"
#include "iec_schedule_handling.hpp"
#include "private_bus.hpp"
#include "schedule_timeline.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

class ScheduleModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new testsupport::PrivateBus();
        server = IedServer_create(box::staticModel());
    }
    static void TearDownTestSuite()
    {
        IedServer_destroy(server);
        server = nullptr;
        delete bus;
        bus = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(server, nullptr);
        printed([&] { handling = std::make_unique<IecScheduleHandling>(server, &callbacks); });
    }

    static DataAttribute* at(const std::string& path) { return boxtest::attributeAt(path); }
    // Times as ms, everything else as the value prints.
    static std::string valueAt(const std::string& path)
    {
        const MmsValue* value = IedServer_getAttributeValue(server, at(path));
        return value->is(MmsValue::Kind::UtcTime) ? std::to_string(value->utcMs()) : value->toString();
    }

    // Standard output of one action.
    template <class Action>
    static std::string printed(Action&& action)
    {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    static inline testsupport::PrivateBus* bus = nullptr;
    static inline IedServer server = nullptr;
    RecordCapture capture;
    CallbackTable callbacks;
    std::unique_ptr<IecScheduleHandling> handling;
};

namespace sm = schedulemanager;
using Replies = FakeScheduleManager::Replies;

// Runs every call once: each method and whether the service answered it.
std::vector<std::pair<std::string, bool>> callEverything(sdbus::IProxy* proxy)
{
    const auto accepted = [](const sm::UploadResult& r) { return r.outcome == sm::UploadResult::Outcome::Accepted; };
    return {
        {"checkExistence", sm::checkExistence(proxy, 1, "EmpSPrg_FSCH020001").has_value()},
        {"updateStatusOfSchedule", sm::updateStatusOfSchedule(proxy, 1, "EmpSPrg_FSCH02000", 1).has_value()},
        {"getActStrTm", sm::getActStrTm(proxy, 1, "EmpSPrg_FSCH020001").has_value()},
        {"getNxtStrTm", sm::getNxtStrTm(proxy, 1, "EmpSPrg_FSCH020001").has_value()},
        {"calculateValIndex", sm::calculateValIndex(proxy, 1, "EmpSPrg_FSCH020001", 5).has_value()},
        {"getVal", sm::getVal(proxy, 1, "EmpSPrg_FSCH020001", 2).has_value()},
        {"addScheduleJSON", accepted(sm::addScheduleJSON(proxy, 1, "EmpSPrg_FSCH020001", {}))},
        {"addScheduleJSONTrg", accepted(sm::addScheduleJSONTrg(proxy, 1, "SysSoft_FSCH110001", {}))},
        {"getActivateSchedule", sm::getActivateSchedule(proxy, 1).has_value()},
        {"getSchedule3Days", sm::getSchedule3Days(proxy, 1).has_value()},
    };
}

TEST_F(ScheduleModelTest, EveryCallWithoutTheServiceOrWithRepliesOfTheWrongShapeFailsAndSaysSo)
{
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
        std::vector<std::pair<std::string, bool>> answered;
        const std::string output = printed([&] { answered = callEverything(mode == -2 ? nullptr : proxy.get()); });

        // The uploads' replies are not read: only the eight questions fail when a service answers.
        std::vector<std::string> failed;
        for (const auto& [method, ok] : answered) {
            const bool upload = method.starts_with("addSchedule");
            EXPECT_EQ(ok, service && upload) << method;
            if (!service || !upload)
                failed.push_back(method);
        }
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

// The cases of tests/data/box/device_passes.txt, row by row: canned answers, injected
// failures, passes, and the model, log records and calls they must leave.
TEST_F(ScheduleModelTest, DevicePassesLeaveWhatTheAnswersSayAndFailuresLeaveTheLastGoodValues)
{
    std::unique_ptr<FakeScheduleManager> service;
    std::vector<std::int32_t> heard;
    callbacks["ems"] = [&](std::int32_t cls) { heard.push_back(cls); };
    const auto restartService = [&](Replies replies) {
        service.reset();  // the bus name is free again
        service = std::make_unique<FakeScheduleManager>(replies);
    };
    const auto restartHandling = [&] {
        handling.reset();
        RecordCapture::clear();
        printed([&] { handling = std::make_unique<IecScheduleHandling>(server, &callbacks); });
    };
    std::size_t logged = 0;  // records up to here were found
    std::string name;
    for (const auto& row : boxtest::dataRows("device_passes.txt")) {
        const std::string& verb = row.at(0);
        SCOPED_TRACE(name + ": " + testing::PrintToString(row));
        const auto records = RecordCapture::records();
        if (verb == "case") {
            name = row.at(1);
            restartService(Replies::Correct);
            restartHandling();
        } else if (verb == "answer") {
            service->answer(row.at(1), row.at(2));
        } else if (verb == "fail") {
            service->fail(row.at(1));
        } else if (verb == "replies") {
            restartService(Replies::WrongTypes);
        } else if (verb == "no bus") {
            const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus->directory() + "/absent_socket").c_str(), 1);
            restartHandling();
            setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
            logged = 0;
        } else if (verb == "pass") {
            RecordCapture::clear();
            service->clear();
            heard.clear();
            logged = 0;
            printed([&] {
                if (row.at(1) == "all")
                    handling->updateAllDevices();
                else
                    handling->updateDevice(row.at(1) == "CLS1" ? LogicalDeviceKind::CLS1 : LogicalDeviceKind::CLS2);
            });
        } else if (verb == "log") {
            const auto found = std::find_if(records.begin() + static_cast<std::ptrdiff_t>(std::min(logged, records.size())),
                                            records.end(), [&](const auto& r) { return r.second.starts_with(row.at(1)); });
            EXPECT_NE(found, records.end()) << testing::PrintToString(records);
            logged = static_cast<std::size_t>(found - records.begin()) + 1;
        } else if (verb == "logs") {
            EXPECT_EQ(records.size(), std::stoul(row.at(1))) << testing::PrintToString(records);
        } else if (verb == "calls") {
            EXPECT_EQ(service->calls().size(), std::stoul(row.at(1)));
        } else if (verb == "heard") {
            EXPECT_EQ(heard.size(), std::stoul(row.at(1)));
        } else {
            ASSERT_EQ(verb, "value");
            EXPECT_EQ(valueAt(row.at(1)), row.at(2));
        }
    }
}

class Upload : public ScheduleModelTest {};

TEST_F(Upload, EveryNodeOfTheModelGoesOutWithItsShapeAndOnlyTheFiveSystemNodesAreFlagged)
{
    FakeScheduleManager service;
    // The start value is true; a client turned it off in the first node.
    IedServer_updateBooleanAttributeValue(server, at("CLS2/SysSoft_FSCH110001.EvTrg.setVal"), false);
    const auto expected = testsupport::dataRows(BOX_TEST_DATA_DIR "/uploads.txt");
    for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), "CLS2")->firstChild; ln; ln = ln->sibling)
        handling->uploadSchedule(ln->name, LogicalDeviceKind::CLS2);  // no schedule node: nothing sent
    handling->uploadSchedule("EmpSPrg_FSCH020001", LogicalDeviceKind::CLS3);

    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto fields = callFields(calls[i]);
        ASSERT_EQ(fields.size(), expected[i].size()) << calls[i];
        for (std::size_t k = 0; k < fields.size(); ++k) {
            const std::string& f = fields[k];
            const std::string count = std::to_string(f == "[]" ? 0 : std::ranges::count(f, ' ') + 1);
            if (expected[i][k] != "*") {
                EXPECT_EQ(f.starts_with('[') ? count : f, expected[i][k]) << calls[i].substr(0, 80);
            }
        }
    }
}

// A writer applies whole client writes under the model lock, as the
// library's thread does in debug mode: all 100 values of a node at once,
// last to first, round after round. Every upload sees one round, never parts of two.
TEST_F(Upload, AnUploadNeverMixesOldAndNewSettings)
{
    FakeScheduleManager service;
    const std::string node = "EmpSPrg_FSCH020002";
    std::vector<DataAttribute*> values;
    for (int entry = 1; entry <= 100; ++entry)
        values.push_back(at("CLS1/" + node + "." + valAsgName(entry) + ".setMag.f"));

    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        for (float round = 1.0f; !done; round += 1.0f) {
            IedServer_lockDataModel(server);
            for (auto value = values.rbegin(); value != values.rend(); ++value)
                IedServer_updateFloatAttributeValue(server, *value, round);
            IedServer_unlockDataModel(server);
            ++rounds;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    while (rounds < 1) std::this_thread::yield();
    for (int i = 0; i < 20; ++i) handling->uploadSchedule(node, LogicalDeviceKind::CLS1);
    done = true;
    writer.join();

    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 20u);
    for (const std::string& upload : calls) {
        const std::string values = callFields(upload).at(6);
        const std::string first = values.substr(1, values.find(' ') - 1);
        std::string round = "[" + first;
        for (int i = 1; i < 100; ++i)
            round += " " + first;
        EXPECT_EQ(values, round + "]");
    }
}

constexpr std::uint64_t kNow = 1'800'000'000'000;

// A time of the table: with a sign, ms from kNow.
std::uint64_t ms(const std::string& field)
{
    return field[0] == '+' || field[0] == '-' ? kNow + static_cast<std::uint64_t>(std::stoll(field)) : std::stoull(field);
}

TEST(ScheduleTimeline, TheNextPassComesAtTheEarliestChangeTheAnswersAnnounce)
{
    for (const auto& row : testsupport::dataRows(BOX_TEST_DATA_DIR "/timeline.txt")) {
        ScheduleTimeline timeline;
        timeline.ready(kNow + 1);
        timeline.clear();
        for (std::size_t i = 1; i < row.size();) {
            if (row[i] == "ready") {
                timeline.ready(ms(row.at(i + 1)));
                i += 2;
            } else if (row[i] == "running") {
                timeline.running(ms(row.at(i + 1)), ms(row.at(i + 2)), ms(row.at(i + 3)), row.at(i + 4) == "true");
                i += 5;
            } else {
                ASSERT_EQ(row[i], "active");
                timeline.active(ms(row.at(i + 1)), std::stoi(row.at(i + 2)), ms(row.at(i + 3)));
                i += 4;
            }
        }
        const auto expected = row[0] == "none" ? std::nullopt : std::optional(ms(row[0]));
        EXPECT_EQ(timeline.nextChangeAfter(kNow), expected) << testing::PrintToString(row);
    }
}

TEST(EnableError, ARefusalNamesTheSettingItFoundWrong)
{
    for (const auto& row : boxtest::dataRows("enable_errors.txt"))
        EXPECT_EQ(enableErrorOf(row.at(1)), std::stoi(row.at(0))) << row.at(1);
}

}  // namespace
