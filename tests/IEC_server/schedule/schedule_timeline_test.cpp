// When a device pass must run next, from what the last one learnt; what a
// refused upload says about the node's settings.
#include "iec_schedule_handling.hpp"
#include "schedule_timeline.hpp"
#include "data_rows.hpp"

#include <gtest/gtest.h>


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

}  // namespace
