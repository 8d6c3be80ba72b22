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
    EXPECT_EQ(printed([&] { handling->uploadSchedule(node, LogicalDeviceKind::CLS1); }), "");
    const std::uint64_t after = Hal_getTimeInMs();

    ASSERT_EQ(service.calls().size(), 1u);
    const auto fields = callFields(service.calls()[0]);
    ASSERT_EQ(fields.size(), 10u);
    std::string values = "[0 0 0 0 0.10000000149011612";  // the float's own value, not 0.1
    for (int i = 5; i < 99; ++i)
        values += " 0";
    EXPECT_EQ(std::vector(fields.begin(), fields.end() - 1),
              (std::vector<std::string>{"addScheduleJSON", "1", node, "20", "3", "900", values + " -250.5]",
                                        "[0 1764000000250 0 0 0 0 0 0 0 0 0 0 0 0 0 0]", "true"}));
    EXPECT_GE(std::stoull(fields[9]), before);
    EXPECT_LE(std::stoull(fields[9]), after);
}

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

    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string& name = nodes[i].name;
        const auto f = callFields(calls[i]);
        const bool triggered = nodes[i].startTimes == 0;
        ASSERT_EQ(f.size(), 10u + triggered) << calls[i];
        const auto count = [](const std::string& array) { return array == "[]" ? 0 : std::ranges::count(array, ' ') + 1; };
        const bool system = name.starts_with("SysSoft") || name == "SysComEr_FSCH220001";
        // Start values of the model: SysComEr reuses its schedule, the rest do not.
        const std::string reuse = name == "SysComEr_FSCH220001" ? "true" : "false";
        EXPECT_EQ(f[0] + " " + f[1] + " " + f[2], (triggered ? "addScheduleJSONTrg 2 " : "addScheduleJSON 2 ") + name);
        EXPECT_EQ(count(f[6]), static_cast<std::ptrdiff_t>(nodes[i].values)) << name;
        if (triggered) {
            EXPECT_EQ(f[7] + " " + f[10], reuse + (system ? " true" : " false")) << name;
            if (name.starts_with("SysSoft")) {
                EXPECT_EQ(f[8], name == "SysSoft_FSCH110001" ? "false" : "true") << name;
            }
        } else {
            EXPECT_EQ(count(f[7]), static_cast<std::ptrdiff_t>(nodes[i].startTimes)) << name;
            EXPECT_EQ(f[8], reuse) << name;
            EXPECT_FALSE(system) << name;
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

}  // namespace
