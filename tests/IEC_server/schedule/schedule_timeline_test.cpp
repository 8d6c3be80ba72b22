// When a device pass must run next, from what the last one learnt; what a
// refused upload says about the node's settings; the names schedule handling builds.
#include "iec_schedule_handling.hpp"
#include "logical_device_kind.hpp"
#include "schedule_timeline.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

constexpr std::uint64_t kNow = 1'800'000'000'000;
constexpr std::uint64_t kSecond = 1000;

struct Case {
    const char* what;
    std::function<void(ScheduleTimeline&)> answers;
    std::optional<std::uint64_t> next;
};

TEST(ScheduleTimeline, TheNextPassComesAtTheEarliestChangeTheAnswersAnnounce)
{
    const Case cases[] = {
        {"nothing waits or runs", [](ScheduleTimeline&) {}, std::nullopt},
        {"a ready schedule starts", [](ScheduleTimeline& t) { t.ready(kNow + 90 * kSecond); }, kNow + 90 * kSecond},
        {"a ready schedule without a start", [](ScheduleTimeline& t) { t.ready(0); }, std::nullopt},
        {"the next entry of the active one",
         [](ScheduleTimeline& t) {
             t.running(kNow - 5 * kSecond, 0, 60 * kSecond, false);
             t.active(kNow - 5 * kSecond, 1, 20 * kSecond);
         },
         kNow + 15 * kSecond},
        {"a run ends", [](ScheduleTimeline& t) { t.running(kNow - 5 * kSecond, 0, 60 * kSecond, false); },
         kNow + 55 * kSecond},
        {"a reused run repeats at its next start",
         [](ScheduleTimeline& t) { t.running(kNow - 5 * kSecond, kNow + 55 * kSecond, 60 * kSecond, true); },
         kNow + 55 * kSecond},
        {"a later start time ends a run early",
         [](ScheduleTimeline& t) { t.running(kNow - 5 * kSecond, kNow + 10 * kSecond, 60 * kSecond, false); },
         kNow + 10 * kSecond},
        {"the earliest of several",
         [](ScheduleTimeline& t) {
             t.ready(kNow + 300 * kSecond);
             t.ready(kNow + 30 * kSecond);
             t.running(kNow - 100 * kSecond, 0, 200 * kSecond, false);
         },
         kNow + 30 * kSecond},
        {"a moment just past: the service had not moved on yet",
         [](ScheduleTimeline& t) { t.ready(kNow - 100); }, kNow + ScheduleTimeline::kRetryLateMs},
        {"a moment long past counts for nothing", [](ScheduleTimeline& t) { t.ready(kNow - 60 * kSecond); },
         std::nullopt},
    };
    for (const Case& c : cases) {
        ScheduleTimeline timeline;
        timeline.ready(kNow + 1);
        timeline.clear();
        c.answers(timeline);
        EXPECT_EQ(timeline.nextChangeAfter(kNow), c.next) << c.what;
    }
}

TEST(EnableError, ARefusalNamesTheSettingItFoundWrong)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"entry count must be at least 1", 2},
        {"entry count exceeds the number of values", 2},
        {"interval must be at least 1 s", 3},
        {"values must be finite", 4},
        {"more than 300 values", 4},
        {"more than 16 start times", 6},
        {"start time out of range", 6},
        {"NumEntr 0", 2},
        {"cls must be 1 to 4", 99},
        {"", 99},
    };
    for (const auto& [refusal, code] : cases)
        EXPECT_EQ(enableErrorOf(refusal), code) << refusal;
}

TEST(ScheduleNames, KindsNumberedObjectsAndActiveScheduleReferences)
{
    EXPECT_EQ(logicalDeviceKindFromString("CLS1"), LogicalDeviceKind::CLS1);
    EXPECT_EQ(logicalDeviceKindFromString("CLS4"), LogicalDeviceKind::CLS4);
    for (const char* bad : {"cls1", "CLS5", "", "CLS", "CLS1 "})
        EXPECT_THROW(logicalDeviceKindFromString(bad), std::invalid_argument) << bad;
    EXPECT_EQ(valAsgName(7) + valAsgName(300) + strTmName(7) + strTmName(10), "ValASG007ValASG300StrTm07StrTm10");
    EXPECT_EQ(scheduleNodeName("EmpSPrg_FSCH02000", 1), "EmpSPrg_FSCH020001");
    EXPECT_EQ(activeScheduleRef(LogicalDeviceKind::CLS2, "SysSoft_FSCH110001"), "@CLS2/SysSoft_FSCH110001");
    using Parts = std::pair<std::string, std::string>;
    for (auto [ref, device, node] : {std::tuple{"@CLS2/SysSoft_FSCH110001", "CLS2", "SysSoft_FSCH110001"},
                                     {"@CLS1", "CLS1", ""}, {"/x", "", "x"}, {"@CLS1/A/B", "CLS1", "A"}}) {
        const ScheduleRefParts parts = splitActiveScheduleRef(ref);
        EXPECT_EQ(Parts(parts.device, parts.node), Parts(device, node)) << ref;
    }
}

}  // namespace
