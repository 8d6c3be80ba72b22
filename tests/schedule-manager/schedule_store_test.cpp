#include "uploads.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>

using namespace schedmgr;
using namespace schedmgr::test;

namespace {

const std::string ln1 = "EmpSPrg_FSCH020001";
const std::string ln2 = "EmpSPrg_FSCH020002";

RequestError::Kind refusal(auto&& call)
{
    try {
        call();
    } catch (const RequestError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "not refused";
    return RequestError::Kind::StoreFull;
}

}  // namespace

// One schedule per CLS, observed at the edges of its runs.
TEST(ScheduleRuns, StatesEntriesFromOneAndStartTimesAtTheBoundaries)
{
    ScheduleStore store;
    EXPECT_EQ(store.state(1, ln1, T0), ScheduleState::NotReady);
    store.upload(1, ln1, timed(10, {1, 2, 3}, {T0 + hour, 0, T0 + 3 * hour}));  // runs of 45 minutes
    store.upload(2, ln1, timed(10, {1, 2, 3, 4}, {T0 + 30 * minute, T0}));      // unsorted on purpose
    store.upload(3, ln1, timed(10, {7, 8}, {T0, T0 + 10 * hour}, 900, true));   // repeats every 30 minutes
    store.upload(4, ln1, timed(10, {1}, {0, 0}));
    constexpr Millis run = 30 * minute;
    using enum ScheduleState;
    struct Case {
        std::int32_t cls;
        Millis at;
        ScheduleState state;
        std::int32_t entry;
        Millis active, next;
    };
    const Case cases[] = {
        {1, T0, Ready, 0, 0, T0 + hour},
        {1, T0 + hour, Running, 1, T0 + hour, T0 + 3 * hour},
        {1, T0 + hour + 15 * minute - 1, Running, 1, T0 + hour, T0 + 3 * hour},
        {1, T0 + hour + 15 * minute, Running, 2, T0 + hour, T0 + 3 * hour},
        {1, T0 + hour + 45 * minute - 1, Running, 3, T0 + hour, T0 + 3 * hour},
        {1, T0 + hour + 45 * minute, Ready, 0, 0, T0 + 3 * hour},
        {1, T0 + 3 * hour, Running, 1, T0 + 3 * hour, 0},
        {1, T0 + 3 * hour + 45 * minute, StartTimeRequired, 0, 0, 0},
        // A later start time ends the run before it.
        {2, T0 + 29 * minute, Running, 2, T0, T0 + 30 * minute},
        {2, T0 + 31 * minute, Running, 1, T0 + 30 * minute, 0},
        // Reuse repeats back to back; the next start time begins a new series.
        {3, T0 + run, Running, 1, T0 + run, T0 + 2 * run},
        {3, T0 + 5 * run + 15 * minute, Running, 2, T0 + 5 * run, T0 + 6 * run},
        {3, T0 + 10 * hour - minute, Running, 2, T0 + 19 * run, T0 + 10 * hour},
        {3, T0 + 10 * hour + 10 * minute, Running, 1, T0 + 10 * hour, T0 + 10 * hour + run},
        {3, T0 + 100 * hour, Running, 1, T0 + 100 * hour, T0 + 100 * hour + run},
        {4, T0, StartTimeRequired, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CLS" << c.cls << " at T0 + " << (c.at - T0) / 1000 << " s");
        EXPECT_EQ(store.state(c.cls, ln1, c.at), c.state);
        EXPECT_EQ(store.entryIndex(c.cls, ln1, c.at), c.entry);
        EXPECT_EQ(store.activeStartTime(c.cls, ln1, c.at), c.active);
        EXPECT_EQ(store.nextStartTime(c.cls, ln1, c.at), c.next);
        EXPECT_EQ(store.activeSchedule(c.cls, c.at), c.entry ? ln1 : noScheduleActive);
    }
    EXPECT_EQ(store.value(1, ln1, 2), 2);
}

TEST(ActiveSchedule, HighestPriorityThenLaterStartThenLaterUpload)
{
    ScheduleStore store;
    store.upload(1, ln1, timed(250, {1}, {T0}, 3600));
    store.upload(1, ln2, timed(20, {2}, {T0 + minute}, 3600));
    EXPECT_EQ(store.activeSchedule(1, T0 + 2 * minute), ln1) << "higher priority wins though it started earlier";

    store.upload(1, ln2, timed(250, {2}, {T0 + minute}, 3600));
    EXPECT_EQ(store.activeSchedule(1, T0 + 30 * second), ln1) << "the other has not started yet";
    EXPECT_EQ(store.activeSchedule(1, T0 + 2 * minute), ln2) << "tie: the later start wins";

    Upload same = timed(250, {3}, {T0}, 3600);
    same.uploadTime = T0 + 5;
    store.upload(1, "DsoECmd_FSCH250001", same);
    store.upload(1, ln2, timed(250, {2}, {T0}, 3600));
    EXPECT_EQ(store.activeSchedule(1, T0), "DsoECmd_FSCH250001") << "tie on start: the later upload wins";

    store.upload(1, "DsoECmd_FSCH250001", timed(250, {3}, {T0}, 3600));
    EXPECT_EQ(store.activeSchedule(1, T0), "DsoECmd_FSCH250001") << "full tie: the smaller name";
    EXPECT_EQ(store.activeSchedule(2, T0), noScheduleActive);
}

TEST(ActiveSchedule, ReusedSchedulesKeepTheirOrderAcrossRepetitions)
{
    ScheduleStore store;
    store.upload(1, ln1, timed(20, {1}, {T0}, 600, true));
    store.upload(1, ln2, timed(20, {2}, {T0 + 5 * minute}, 600, true));
    for (Millis t = T0 + 5 * minute; t < T0 + hour; t += minute)
        EXPECT_EQ(store.activeSchedule(1, t), ln2) << (t - T0) / minute;
}

TEST(EventTriggered, ReadyButNeverActiveWithoutItsEvent)
{
    ScheduleStore store;
    store.upload(1, ln1, timed(10, {5}, {T0}, 3600));
    store.upload(1, "SysSoft_FSCH110001", eventTriggered(1000, {42, 43}));
    EXPECT_EQ(store.state(1, "SysSoft_FSCH110001", T0), ScheduleState::Ready);
    EXPECT_EQ(store.activeSchedule(1, T0 + minute), ln1);

    store.setEvent(1, "SysSoft_FSCH110001", true, T0 + minute);
    EXPECT_EQ(store.activeSchedule(1, T0 + minute), "SysSoft_FSCH110001");
    EXPECT_EQ(store.state(1, "SysSoft_FSCH110001", T0 + minute), ScheduleState::Running);
    EXPECT_EQ(store.activeStartTime(1, "SysSoft_FSCH110001", T0 + 2 * minute), T0 + minute);
    EXPECT_EQ(store.nextStartTime(1, "SysSoft_FSCH110001", T0 + 2 * minute), 0u);

    store.setEvent(1, "SysSoft_FSCH110001", true, T0 + 20 * minute);  // already present: unchanged
    EXPECT_EQ(store.entryIndex(1, "SysSoft_FSCH110001", T0 + 16 * minute), 2);

    store.upload(1, "SysSoft_FSCH110001", eventTriggered(1000, {44, 45}));  // a re-upload keeps the event
    EXPECT_EQ(store.value(1, "SysSoft_FSCH110001", store.entryIndex(1, "SysSoft_FSCH110001", T0 + 16 * minute)), 45);

    EXPECT_EQ(store.state(1, "SysSoft_FSCH110001", T0 + 31 * minute), ScheduleState::Ready) << "run over";
    store.setEvent(1, "SysSoft_FSCH110001", false, T0 + 2 * minute);
    EXPECT_EQ(store.activeSchedule(1, T0 + 2 * minute), ln1);
}

TEST(EventTriggered, WithoutTheFlagOrOnTheWrongScheduleTheEventIsRefused)
{
    ScheduleStore store;
    store.upload(1, "SysComEr_FSCH220001", eventTriggered(220, {1}, false));
    EXPECT_EQ(store.state(1, "SysComEr_FSCH220001", T0), ScheduleState::StartTimeRequired);
    EXPECT_EQ(refusal([&] { store.setEvent(1, "SysComEr_FSCH220001", true, T0); }), RequestError::Kind::InvalidArgs);
    store.upload(1, ln1, timed(10, {5}, {T0}));
    EXPECT_EQ(refusal([&] { store.setEvent(1, ln1, true, T0); }), RequestError::Kind::InvalidArgs);
    EXPECT_EQ(refusal([&] { store.setEvent(1, ln2, true, T0); }), RequestError::Kind::UnknownSchedule);
    EXPECT_EQ(store.activeSchedule(1, T0), ln1);
}

TEST(BadUploads, AreRefusedAndWithdrawTheScheduleOfThatName)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto withCount = [](std::int32_t n) {
        Upload u = timed(10, {1, 2}, {T0});
        u.entryCount = n;
        return u;
    };
    const std::vector<Upload> bad = {
        withCount(-1),
        withCount(0),
        withCount(3),
        timed(10, {1}, {T0}, 0),
        timed(10, {1}, {T0}, -900),
        timed(10, std::vector<double>(301, 1.0), {T0}),
        timed(10, {1}, std::vector<Millis>(17, T0)),
        timed(10, {1, nan}, {T0}),
        timed(10, {1, std::numeric_limits<double>::infinity()}, {T0}),
        timed(10, {1}, {latestStartTime + 1}),
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        ScheduleStore store;
        store.upload(1, ln1, timed(10, {1}, {T0}));
        EXPECT_EQ(refusal([&] { store.upload(1, ln1, bad[i]); }), RequestError::Kind::InvalidArgs) << i;
        EXPECT_FALSE(store.contains(1, ln1)) << i;
        EXPECT_EQ(store.activeSchedule(1, T0), noScheduleActive) << i;
    }

    ScheduleStore store;
    Upload unusedValueIsNaN = timed(10, {1, nan}, {T0});
    unusedValueIsNaN.entryCount = 1;
    store.upload(1, ln1, unusedValueIsNaN);
    store.upload(1, ln2, timed(10, std::vector<double>(300, 1.0), std::vector<Millis>(16, T0)));
    EXPECT_TRUE(store.contains(1, ln1));
    EXPECT_TRUE(store.contains(1, ln2));
}

TEST(BadUploads, AddressesAndIndicesOutOfRange)
{
    ScheduleStore store;
    for (std::int32_t cls : {0, -1, 5})
        EXPECT_EQ(refusal([&] { store.upload(cls, ln1, timed(10, {1}, {T0})); }), RequestError::Kind::InvalidArgs);
    for (const std::string& name : std::vector<std::string>{"", "a b", std::string(65, 'A'), "x\ny"})
        EXPECT_EQ(refusal([&] { store.upload(1, name, timed(10, {1}, {T0})); }), RequestError::Kind::InvalidArgs);
    EXPECT_EQ(refusal([&] { store.activeSchedule(0, T0); }), RequestError::Kind::InvalidArgs);
    EXPECT_EQ(refusal([&] { store.value(1, ln1, 1); }), RequestError::Kind::UnknownSchedule);

    store.upload(1, ln1, timed(10, {1, 2}, {T0}));
    for (std::int32_t index : {0, -1, 3})
        EXPECT_EQ(refusal([&] { store.value(1, ln1, index); }), RequestError::Kind::InvalidArgs);
    EXPECT_EQ(store.schedules().size(), 1u);
}

TEST(BadUploads, TheStoreIsBoundedPerCls)
{
    ScheduleStore store;
    for (std::size_t i = 0; i < maxSchedulesPerCls; ++i)
        store.upload(1, "N" + std::to_string(i), timed(1, {1}, {T0}));
    EXPECT_EQ(refusal([&] { store.upload(1, "one_more", timed(1, {1}, {T0})); }), RequestError::Kind::StoreFull);
    store.upload(1, "N0", timed(2, {1}, {T0}));  // replacing still works
    store.upload(2, "one_more", timed(1, {1}, {T0}));
    EXPECT_EQ(store.schedules().size(), maxSchedulesPerCls + 1);
}

TEST(ThreeDayProfile, MapsEveryChangePointToTheRoundedSetpoint)
{
    ScheduleStore store;
    EXPECT_TRUE(store.profile(1, T0).empty());

    store.upload(1, ln1, timed(20, {100.4, 100.5, -2.5, -2.5, 7}, {T0 - 5 * minute}, 600));
    const Profile expected = {
        {T0, 100},
        {T0 + 5 * minute, 101},
        {T0 + 15 * minute, -3},  // -2.5 rounds away from zero; the equal next entry is no change
        {T0 + 35 * minute, 7},
        {T0 + 45 * minute, noSetpoint},
    };
    EXPECT_EQ(store.profile(1, T0), expected);
}

TEST(ThreeDayProfile, HigherPriorityRunsCoverLowerOnesWithinThe72Hours)
{
    ScheduleStore store;
    store.upload(1, ln1, timed(20, {10}, {T0 + hour}, 24 * 3600, true));
    store.upload(1, "DsoECmd_FSCH250001", timed(250, {0}, {T0 + 2 * hour, T0 + 80 * hour}, 1800));
    const Profile expected = {
        {T0 + hour, 10},
        {T0 + 2 * hour, 0},
        {T0 + 2 * hour + 30 * minute, 10},
    };
    EXPECT_EQ(store.profile(1, T0), expected);
    EXPECT_TRUE(store.profile(2, T0).empty());

    // An event taken as present for the whole horizon.
    store.upload(1, "SysSoft_FSCH110001", eventTriggered(110, {-5.6}, true, true));
    store.setEvent(1, "SysSoft_FSCH110001", true, T0 - hour);
    const Profile withEvent = {
        {T0, -6},
        {T0 + 2 * hour, 0},
        {T0 + 2 * hour + 30 * minute, -6},
    };
    EXPECT_EQ(store.profile(1, T0), withEvent);
}

TEST(ThreeDayProfile, StaysBoundedForFineSchedules)
{
    ScheduleStore store;
    std::vector<double> alternating(300);
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = static_cast<double>(i % 2);
    store.upload(1, ln1, timed(20, alternating, {T0}, 1, true));
    const auto profile = store.profile(1, T0);
    EXPECT_EQ(profile.size(), maxProfilePoints);
    EXPECT_EQ(profile.rbegin()->first, T0 + (maxProfilePoints - 1) * second);

    // Entries that round to the same kW are no change, also across repetitions.
    store.upload(1, ln1, timed(20, {100.2, 99.6, 100.4}, {T0 - hour}, 1, true));
    store.upload(1, ln2, timed(10, {1, 2, 3}, {T0 + 70 * hour}, 1, true));
    EXPECT_EQ(store.profile(1, T0), (Profile{{T0, 100}}));
}

TEST(Rounding, ToWholeKilowattsWithinRange)
{
    EXPECT_EQ(roundToKw(0.49), 0);
    EXPECT_EQ(roundToKw(-0.5), -1);
    EXPECT_EQ(roundToKw(3.4e38), INT64_MAX);
    EXPECT_EQ(roundToKw(-3.4e38), INT64_MIN + 1);
}

TEST(RandomTraffic, AnswersStayConsistentWhateverIsUploaded)
{
    std::mt19937 random(61850);
    auto pick = [&](auto... options) {
        const std::array values{options...};
        return values[std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(random)];
    };
    const std::vector<std::string> names = {ln1, ln2, "SysSoft_FSCH110001", "DsoECmd_FSCH250001"};
    ScheduleStore store;
    int activeSeen = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::int32_t cls = pick(1, 2, 0, 5);
        const std::string& name = names[random() % names.size()];
        const Millis now = T0 + random() % (100 * hour);
        Upload upload = timed(pick(0, 10, -5, INT32_MAX, INT32_MIN), std::vector<double>(random() % 8, 1.5),
                              {pick(Millis{0}, now, now + hour, T0, latestStartTime)}, pick(1, 60, 900, 0, -1, INT32_MAX),
                              random() % 2 == 0);
        for (auto& v : upload.values)
            v = pick(0.0, -3.3, 1e20, -1e300, 7.5);
        upload.entryCount = pick(upload.entryCount, 1, 0, -1, 300);
        if (random() % 3 == 0)
            upload.trigger = pick(Trigger::Event, Trigger::None);
        try {
            store.upload(cls, name, upload);
            if (upload.trigger == Trigger::Event)
                store.setEvent(cls, name, random() % 2 == 0, now - random() % hour);
        } catch (const RequestError&) {
        }
        if (cls != 1 && cls != 2)
            continue;

        const std::string active = store.activeSchedule(cls, now);
        if (active != noScheduleActive) {
            ASSERT_EQ(store.state(cls, active, now), ScheduleState::Running);
            ++activeSeen;
        }
        for (const auto& other : names) {
            if (!store.contains(cls, other))
                continue;
            const auto index = store.entryIndex(cls, other, pick(now, Millis{0}, UINT64_MAX));
            ASSERT_GE(index, 0);
            if (index > 0)
                store.value(cls, other, index);
            ASSERT_EQ(store.state(cls, other, now) == ScheduleState::Running, store.activeStartTime(cls, other, now) != 0);
        }
        const auto profile = store.profile(cls, now);
        ASSERT_LE(profile.size(), maxProfilePoints);
        if (!profile.empty()) {
            ASSERT_GE(profile.begin()->first, now);
            ASSERT_LT(profile.rbegin()->first, now + profileHorizon);
        }
        ASSERT_EQ(profile.contains(now), active != noScheduleActive);
        if (active != noScheduleActive) {
            ASSERT_EQ(profile.at(now), roundToKw(store.value(cls, active, store.entryIndex(cls, active, now))));
        }
    }
    EXPECT_GT(activeSeen, 100);
}
