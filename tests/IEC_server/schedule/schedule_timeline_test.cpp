// When a device pass must run next, from what the last one learnt; what a
// refused upload says about the node's settings; the names schedule handling builds.
#include "iec_schedule_handling.hpp"
#include "logical_device_kind.hpp"
#include "schedule_timeline.hpp"
#include "data_rows.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

constexpr std::uint64_t kNow = 1'800'000'000'000;

std::uint64_t moment(const std::string& field)
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
                timeline.ready(moment(row.at(i + 1)));
                i += 2;
            } else if (row[i] == "running") {
                timeline.running(moment(row.at(i + 1)), moment(row.at(i + 2)), moment(row.at(i + 3)), row.at(i + 4) == "true");
                i += 5;
            } else {
                ASSERT_EQ(row[i], "active");
                timeline.active(moment(row.at(i + 1)), std::stoi(row.at(i + 2)), moment(row.at(i + 3)));
                i += 4;
            }
        }
        const auto expected = row[0] == "none" ? std::nullopt : std::optional(moment(row[0]));
        EXPECT_EQ(timeline.nextChangeAfter(kNow), expected) << testing::PrintToString(row);
    }
}

TEST(EnableError, ARefusalNamesTheSettingItFoundWrong)
{
    for (const auto& row : testsupport::dataRows(BOX_TEST_DATA_DIR "/enable_errors.txt")) {
        std::string refusal;
        for (std::size_t i = 1; i < row.size(); ++i)
            refusal += (i > 1 ? " " : "") + row[i];
        EXPECT_EQ(enableErrorOf(refusal), std::stoi(row[0])) << refusal;
    }
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
