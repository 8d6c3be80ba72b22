#include "child_process.hpp"
#include "state_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace schedmgr;

namespace {

constexpr Millis T0 = 1'800'000'000'000;
constexpr Millis hour = 3'600'000;

ScheduleStore sampleStore()
{
    ScheduleStore store;
    Upload timed;
    timed.priority = -3;
    timed.entryCount = 3;
    timed.intervalSeconds = 900;
    timed.values = {0.100000001490116, -1e30, 42};
    timed.startTimes = {T0 + hour, 0, T0};
    timed.reuse = true;
    timed.uploadTime = T0 - 1;
    store.upload(1, "EmpSPrg_FSCH020001", timed);

    Upload event;
    event.priority = 110;
    event.entryCount = 1;
    event.intervalSeconds = 60;
    event.values = {5};
    event.trigger = Trigger::Event;
    event.systemSchedule = true;
    store.upload(2, "SysSoft_FSCH110001", event);
    store.setEvent(2, "SysSoft_FSCH110001", true, T0 + 7);

    event.trigger = Trigger::None;
    store.upload(2, "SysComEr_FSCH220001", event);
    return store;
}

void write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

void expectSameSchedules(const ScheduleStore& a, const ScheduleStore& b)
{
    ASSERT_EQ(a.schedules().size(), b.schedules().size());
    for (const auto& [key, schedule] : a.schedules()) {
        const auto& other = b.schedules().at(key);
        EXPECT_EQ(schedule.priority, other.priority);
        EXPECT_EQ(schedule.entryCount, other.entryCount);
        EXPECT_EQ(schedule.intervalSeconds, other.intervalSeconds);
        EXPECT_EQ(schedule.values, other.values);  // exact doubles
        EXPECT_EQ(schedule.startTimes, other.startTimes);
        EXPECT_EQ(schedule.reuse, other.reuse);
        EXPECT_EQ(schedule.trigger, other.trigger);
        EXPECT_EQ(schedule.systemSchedule, other.systemSchedule);
        EXPECT_EQ(schedule.uploadTime, other.uploadTime);
        EXPECT_EQ(schedule.eventSince, other.eventSince);
    }
}

}  // namespace

TEST(StateFile, RoundTripKeepsEveryScheduleAndEvent)
{
    const auto store = sampleStore();
    const auto back = fromJson(toJson(store));
    expectSameSchedules(store, back);
    EXPECT_EQ(back.activeSchedule(2, T0 + 30000), "SysSoft_FSCH110001");
    EXPECT_EQ(back.profile(1, T0), store.profile(1, T0));
}

TEST(StateFile, SavedStoreIsWhatTheNextStartLoads)
{
    testsupport::TempDir dir;
    const StateFile file(dir.path() + "/state.json");
    std::ostringstream errors;
    EXPECT_TRUE(file.load(errors).schedules().empty()) << "missing file: empty store";

    ASSERT_TRUE(file.save(sampleStore(), errors));
    expectSameSchedules(file.load(errors), sampleStore());
    EXPECT_FALSE(std::filesystem::exists(file.path() + ".tmp"));

    ASSERT_TRUE(file.save(ScheduleStore{}, errors));
    EXPECT_TRUE(file.load(errors).schedules().empty()) << "an emptied store stays empty";
    EXPECT_EQ(errors.str(), "");
}

TEST(StateFile, CorruptFilesAreSetAsideNotTrusted)
{
    const auto good = toJson(sampleStore());
    auto replaced = [&](const std::string& from, const std::string& to) {
        auto text = good;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::vector<std::string> corrupt = {
        "",
        "{",
        "[]",
        good.substr(0, good.size() / 2),
        replaced("\"format\": 1", "\"format\": 2"),
        replaced("\"interval\": 900", "\"interval\": 0"),
        replaced("\"interval\": 900", "\"interval\": 1e300"),
        replaced("\"interval\": 900", "\"interval\": 4294967296"),
        replaced("\"entries\": 3", "\"entries\": 4"),
        replaced("\"cls\": 1", "\"cls\": 9"),
        replaced("\"trigger\": \"event\"", "\"trigger\": \"sometimes\""),
        replaced("\"uploaded\": 1799999999999", "\"uploaded\": -1"),
        replaced("\"ln\": \"EmpSPrg_FSCH020001\"", "\"ln\": 7"),
    };
    testsupport::TempDir dir;
    const StateFile file(dir.path() + "/state.json");
    for (std::size_t i = 0; i < corrupt.size(); ++i) {
        write(file.path(), corrupt[i]);
        std::ostringstream errors;
        EXPECT_TRUE(file.load(errors).schedules().empty()) << i;
        EXPECT_NE(errors.str().find("is unusable"), std::string::npos) << i << ": " << errors.str();
        EXPECT_FALSE(std::filesystem::exists(file.path())) << i;
        EXPECT_EQ(testsupport::readFile(file.path() + ".corrupt"), corrupt[i]) << i;
    }
}

TEST(StateFile, AFailedSaveIsReportedAndLeavesTheOldFile)
{
    testsupport::TempDir dir;
    const StateFile missingDirectory(dir.path() + "/absent/state.json");
    std::ostringstream errors;
    EXPECT_FALSE(missingDirectory.save(sampleStore(), errors));
    EXPECT_NE(errors.str().find("cannot write state file"), std::string::npos);

    const StateFile file(dir.path() + "/state.json");
    ASSERT_TRUE(file.save(sampleStore(), errors));
    std::filesystem::create_directory(file.path() + ".tmp");  // blocks the temporary file
    EXPECT_FALSE(file.save(ScheduleStore{}, errors));
    expectSameSchedules(file.load(errors), sampleStore());
}
