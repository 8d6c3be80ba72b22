// uploadSchedule reads a schedule node of the box's model and sends it whole.
#include "iec61850/ied/hal.hpp"
#include "model_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

struct ScheduleNode {
    std::string name;
    std::size_t values = 0, startTimes = 0;  // startTimes 0: event-triggered
};

// Every schedule node of a CLS device with its number of value and start-time objects.
std::vector<ScheduleNode> scheduleNodes()
{
    std::vector<ScheduleNode> nodes;
    for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), "CLS2")->firstChild; ln; ln = ln->sibling)
        if (std::string_view(ln->name).find("_FSCH") != std::string_view::npos) {
            ScheduleNode& node = nodes.emplace_back(ScheduleNode{ln->name});
            for (ModelNode* object = ln->firstChild; object; object = object->sibling) {
                node.values += std::string_view(object->name).starts_with("ValASG");
                node.startTimes += std::string_view(object->name).starts_with("StrTm");
            }
        }
    EXPECT_EQ(nodes.size(), 26u);
    return nodes;
}

class Upload : public ScheduleModelTest {};

TEST_F(Upload, TimeBasedNodeSendsEveryValueAndStartTimeWhateverNumEntrSays)
{
    FakeScheduleManager service;
    const std::string node = "EmpSPrg_FSCH020001", path = "CLS1/" + node;
    setInt(path + ".NumEntr.setVal", 3);
    setInt(path + ".SchdIntv.setVal", 900);
    IedServer_updateBooleanAttributeValue(server, at(path + ".SchdReuse.setVal"), true);
    setFloat(path + ".ValASG005.setMag.f", 0.1f);
    setFloat(path + ".ValASG100.setMag.f", -250.5f);
    IedServer_updateUTCTimeAttributeValue(server, at(path + ".StrTm02.setTm"), 1'764'000'000'250);

    const std::uint64_t before = Hal_getTimeInMs();
    const std::string output = printed([&] { handling->uploadSchedule(node, LogicalDeviceKind::CLS1); });
    const std::uint64_t after = Hal_getTimeInMs();

    EXPECT_EQ(output, "");
    const auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const ReceivedUpload& u = uploads[0];
    std::vector<double> values(100, 0.0);
    values[4] = static_cast<double>(0.1f);  // not 0.1
    values[99] = -250.5;
    std::vector<std::uint64_t> startTimes(16, 0);
    startTimes[1] = 1'764'000'000'250;
    EXPECT_GE(u.uploadTimeMs, before);
    EXPECT_LE(u.uploadTimeMs, after);
    EXPECT_EQ(u, (ReceivedUpload{"addScheduleJSON", 1, node, 20, 3, 900, values, startTimes, true, false,
                                 u.uploadTimeMs, false}));
}

TEST_F(Upload, EveryNodeOfTheModelGoesOutWithItsShapeAndOnlyTheFiveSystemNodesAreFlagged)
{
    FakeScheduleManager service;
    // The start value is true; a client turned it off in the first node.
    IedServer_updateBooleanAttributeValue(server, at("CLS2/SysSoft_FSCH110001.EvTrg.setVal"), false);
    const auto nodes = scheduleNodes();
    for (const ScheduleNode& node : nodes) handling->uploadSchedule(node.name, LogicalDeviceKind::CLS2);

    const auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), nodes.size());
    const std::set<std::string> system{"SysComEr_FSCH220001", "SysSoft_FSCH110001", "SysSoft_FSCH110002",
                                       "SysSoft_FSCH110003", "SysSoft_FSCH110004"};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        SCOPED_TRACE(nodes[i].name);
        const ReceivedUpload& u = uploads[i];
        EXPECT_EQ(u.lnName, nodes[i].name);
        EXPECT_EQ(u.cls, 2);
        EXPECT_EQ(u.values.size(), nodes[i].values);
        EXPECT_EQ(u.startTimesMs.size(), nodes[i].startTimes);
        EXPECT_EQ(u.method, nodes[i].startTimes ? "addScheduleJSON" : "addScheduleJSONTrg");
        EXPECT_EQ(u.systemSchedule, system.count(nodes[i].name) == 1);
        if (nodes[i].name.starts_with("SysSoft")) {
            EXPECT_EQ(u.eventTrigger, nodes[i].name != "SysSoft_FSCH110001");
        }
        // Start values of the model: SysComEr reuses its schedule, the rest do not.
        EXPECT_EQ(u.reuse, nodes[i].name == "SysComEr_FSCH220001");
    }
}

TEST_F(Upload, WhatIsNoScheduleNodeSendsNothing)
{
    FakeScheduleManager service;
    const std::string output = printed([&] {
        handling->uploadSchedule("ActPow_GGIO001", LogicalDeviceKind::CLS1);
        handling->uploadSchedule("", LogicalDeviceKind::CLS1);
        handling->uploadSchedule("EmpSPrg_FSCH020001", LogicalDeviceKind::CLS3);
    });
    EXPECT_EQ(output, "");
    EXPECT_TRUE(service.calls().empty());
    EXPECT_TRUE(RecordCapture::records().empty());
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

    const auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 20u);
    for (const ReceivedUpload& upload : uploads) {
        ASSERT_EQ(upload.values.size(), 100u);
        EXPECT_EQ(std::count(upload.values.begin(), upload.values.end(), upload.values.front()), 100);
    }
}

}  // namespace
