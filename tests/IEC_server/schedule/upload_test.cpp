// uploadSchedule reads a schedule node of the box's model and sends it whole.
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

TEST_F(Upload, EveryNodeOfTheModelGoesOutWithItsShapeAndOnlyTheFiveSystemNodesAreFlagged)
{
    FakeScheduleManager service;
    // The start value is true; a client turned it off in the first node.
    IedServer_updateBooleanAttributeValue(server, at("CLS2/SysSoft_FSCH110001.EvTrg.setVal"), false);
    const auto nodes = scheduleNodes();
    for (const ScheduleNode& node : nodes)
        handling->uploadSchedule(node.name, LogicalDeviceKind::CLS2);
    handling->uploadSchedule("ActPow_GGIO001", LogicalDeviceKind::CLS1);  // no schedule node: nothing sent
    handling->uploadSchedule("EmpSPrg_FSCH020001", LogicalDeviceKind::CLS3);

    // Per node: method, cls, name, values and start times counted, then the flags as sent.
    const auto count = [](const std::string& array) { return array == "[]" ? 0 : std::ranges::count(array, ' ') + 1; };
    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string& name = nodes[i].name;
        auto f = callFields(calls[i]);
        const bool triggered = nodes[i].startTimes == 0;
        ASSERT_EQ(f.size(), 10u + triggered) << calls[i];
        EXPECT_EQ(f[0] + " " + f[1] + " " + f[2], (triggered ? "addScheduleJSONTrg 2 " : "addScheduleJSON 2 ") + name);
        EXPECT_EQ(count(f[6]), static_cast<std::ptrdiff_t>(nodes[i].values)) << name;
        EXPECT_EQ(count(triggered ? "[]" : f[7]), static_cast<std::ptrdiff_t>(nodes[i].startTimes)) << name;
        // Start values: SysComEr reuses its schedule; only the five system nodes are flagged as such
        // and only the first SysSoft node lost its event trigger.
        const bool system = name.starts_with("SysSoft") || name == "SysComEr_FSCH220001";
        const std::string reuse = name == "SysComEr_FSCH220001" ? "true" : "false";
        const std::string flags = triggered ? f[7] + " " + f[8] + " " + f[10] : f[8];
        EXPECT_EQ(flags, triggered ? reuse + (name == "SysSoft_FSCH110001" ? " false " : " true ") + (system ? "true" : "false")
                                   : reuse) << name;
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

}  // namespace
