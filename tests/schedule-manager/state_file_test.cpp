#include "child_process.hpp"
#include "state_file.hpp"
#include "store_script.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace schedmgr;
using namespace schedmgr::test;

namespace {

ScheduleStore sampleStore()
{
    ScheduleStore store;
    store.upload(1, "EmpSPrg_FSCH020001", uploadOf("prio=-3 values=0.100000001490116,-1e30,42 starts=T+1h,0,T reuse uploaded=T-1"));
    store.upload(2, "SysSoft_FSCH110001", uploadOf("prio=110 values=5 event system"));
    store.setEvent(2, "SysSoft_FSCH110001", true, T0 + 7);
    store.upload(2, "SysComEr_FSCH220001", uploadOf("prio=110 values=5 noevent"));
    return store;
}

void expectSameSchedules(const ScheduleStore& a, const ScheduleStore& b)
{
    auto fields = [](const Schedule& s) {
        return std::tie(s.priority, s.entryCount, s.intervalSeconds, s.values, s.startTimes, s.reuse, s.trigger,
                        s.systemSchedule, s.uploadTime, s.eventSince);
    };
    ASSERT_EQ(a.schedules().size(), b.schedules().size());
    for (const auto& [key, schedule] : a.schedules())
        EXPECT_EQ(fields(schedule), fields(b.schedules().at(key)));  // exact doubles
}

}  // namespace

TEST(StateFile, SavedStoreIsWhatTheNextStartLoads)
{
    testsupport::TempDir dir;
    const StateFile file(dir.path() + "/state.json");
    std::ostringstream errors;
    EXPECT_TRUE(file.load(errors).schedules().empty()) << "missing file: empty store";

    ASSERT_TRUE(file.save(sampleStore(), errors));
    const ScheduleStore loaded = file.load(errors);
    expectSameSchedules(loaded, sampleStore());
    EXPECT_EQ(loaded.activeSchedule(2, T0 + 30000), "SysSoft_FSCH110001");
    EXPECT_FALSE(std::filesystem::exists(file.path() + ".tmp"));

    ASSERT_TRUE(file.save(ScheduleStore{}, errors));
    EXPECT_TRUE(file.load(errors).schedules().empty()) << "an emptied store stays empty";
    EXPECT_EQ(errors.str(), "");
}

TEST(StateFile, CorruptFilesAreSetAsideNotTrusted)
{
    const std::string good = toJson(sampleStore());
    testsupport::TempDir dir;
    const StateFile file(dir.path() + "/state.json");
    std::ifstream damaged(SCHEDULE_MANAGER_TEST_DATA "/damaged-state.txt");
    ASSERT_TRUE(damaged);
    for (std::string line; std::getline(damaged, line);) {
        if (line.empty() || line.starts_with("#"))
            continue;
        SCOPED_TRACE(line);
        std::string text = line == "half" ? good.substr(0, good.size() / 2) : line.substr(std::min<std::size_t>(6, line.size()));
        if (const auto arrow = line.find(" => "); arrow != std::string::npos) {
            const auto at = (text = good).find(line.substr(0, arrow));
            ASSERT_NE(at, std::string::npos);
            text.replace(at, arrow, line.substr(arrow + 4));
        }
        std::ofstream(file.path(), std::ios::binary) << text;
        std::ostringstream errors;
        EXPECT_TRUE(file.load(errors).schedules().empty());
        EXPECT_NE(errors.str().find("is unusable"), std::string::npos) << errors.str();
        EXPECT_FALSE(std::filesystem::exists(file.path()));
        EXPECT_EQ(testsupport::readFile(file.path() + ".corrupt"), text);
    }
}

TEST(StateFile, AFailedSaveIsReportedAndLeavesTheOldFile)
{
    testsupport::TempDir dir;
    std::ostringstream errors;
    const StateFile file(dir.path() + "/state.json");
    ASSERT_TRUE(file.save(sampleStore(), errors));
    std::filesystem::create_directory(file.path() + ".tmp");  // blocks the temporary file
    EXPECT_FALSE(file.save(ScheduleStore{}, errors));
    expectSameSchedules(file.load(errors), sampleStore());
}
