// The schedule store's answers as a script of uploads, events and expected
// answers (tests/data/schedule-manager/store.txt), and one property: whatever
// is uploaded, its answers stay consistent with each other.
#include "store_script.hpp"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <random>

using namespace schedmgr;
using namespace schedmgr::test;

namespace {

const char* const kStates[] = {"", "NotReady", "StartTimeRequired", "Ready", "Running"};
const char* const kKinds[] = {"InvalidArgs", "UnknownSchedule", "StoreFull"};

std::string nameOf(ScheduleState s) { return kStates[static_cast<int>(s)]; }
std::string activeName(const std::string& ln) { return ln == noScheduleActive ? "none" : ln; }

// One line of the script against the store; "!Kind" in front expects that refusal.
void runLine(ScheduleStore& store, std::istringstream& words)
{
    std::string command, ln, word;
    std::int32_t cls = 0;
    words >> command;
    if (command.starts_with("!")) {
        try {
            runLine(store, words);
        } catch (const RequestError& e) {
            EXPECT_EQ(kKinds[static_cast<int>(e.kind())], command.substr(1));
            return;
        }
        ADD_FAILURE() << "not refused";
    } else if (command == "store") {
        store = {};
    } else if (command == "upload") {
        words >> cls >> ln;
        store.upload(cls, ln, uploadOf(words));
    } else if (command == "bad") {
        const std::string settings(std::istreambuf_iterator<char>(words), {});
        ScheduleStore fresh;
        fresh.upload(1, "EmpSPrg_FSCH020001", uploadOf("prio=10 values=1 starts=T"));
        std::istringstream refused("!InvalidArgs upload 1 EmpSPrg_FSCH020001 " + settings);
        runLine(fresh, refused);
        EXPECT_FALSE(fresh.contains(1, "EmpSPrg_FSCH020001"));
        EXPECT_EQ(fresh.activeSchedule(1, T0), noScheduleActive);
    } else if (command == "fill") {
        int n = 0;
        words >> cls >> n;
        for (int i = 0; i < n; ++i)
            store.upload(cls, "N" + std::to_string(i), uploadOf("prio=1 values=1 starts=T"));
    } else if (command == "event") {
        words >> cls >> ln >> word;
        std::string at;
        words >> at;
        store.setEvent(cls, ln, word == "on", timeAt(at));
    } else if (command == "active") {
        std::string at;
        words >> cls >> at >> ln;
        const auto range = at.find(".."), step = at.find('/');
        const Millis from = timeAt(at.substr(0, range));
        const Millis to = range == std::string::npos ? from : timeAt(at.substr(range + 2, step - range - 2));
        for (Millis t = from; t <= to; t += step == std::string::npos ? 1 : timeAt("0+" + at.substr(step + 1)))
            EXPECT_EQ(activeName(store.activeSchedule(cls, t)), ln) << at;
    } else if (command == "profile" || command == "points") {
        words >> cls >> word;
        const Profile profile = store.profile(cls, timeAt(word));
        if (command == "points") {
            std::size_t size = 0;
            words >> size >> word;
            EXPECT_EQ(profile.size(), size);
            EXPECT_EQ(profile.empty() ? 0 : profile.rbegin()->first, timeAt(word));
            return;
        }
        Profile expected;
        for (std::string point; words >> point;) {
            const std::string value = point.substr(point.find('=') + 1);
            expected[timeAt(point.substr(0, point.find('=')))] = value == "none" ? noSetpoint : std::stoll(value);
        }
        EXPECT_EQ(profile, expected);
    } else if (command == "round") {
        double value = 0;
        std::int64_t kw = 0;
        words >> value >> kw;
        EXPECT_EQ(roundToKw(value), kw) << value;
    } else if (command == "size") {
        std::size_t size = 0;
        words >> size;
        EXPECT_EQ(store.schedules().size(), size);
    } else {
        std::string at, expected, active, next;
        words >> cls >> ln;
        if (command == "value") {
            std::int32_t index = 0;
            double value = 0;
            words >> index >> value;
            EXPECT_EQ(store.value(cls, ln, index), value);
            return;
        }
        if (command == "contains") {
            words >> expected;
            EXPECT_EQ(store.contains(cls, ln), expected == "yes");
            return;
        }
        words >> at;
        const Millis now = timeAt(at);
        if (command == "state" || command == "run") {
            words >> expected;
            EXPECT_EQ(nameOf(store.state(cls, ln, now)), expected);
        }
        if (command == "entry" || command == "run") {
            std::int32_t entry = 0;
            words >> entry;
            EXPECT_EQ(store.entryIndex(cls, ln, now), entry);
            if (command == "run") {
                EXPECT_EQ(activeName(store.activeSchedule(cls, now)), entry ? ln : "none");
            }
        }
        if (command == "start" || command == "run") {
            words >> active >> next;
            EXPECT_EQ(store.activeStartTime(cls, ln, now), timeAt(active));
            EXPECT_EQ(store.nextStartTime(cls, ln, now), timeAt(next));
        }
        ASSERT_TRUE(command == "state" || command == "entry" || command == "start" || command == "run") << command;
    }
}

}  // namespace

TEST(ScheduleStore, AnswersAsTheScriptSays)
{
    std::ifstream script(SCHEDULE_MANAGER_TEST_DATA "/store.txt");
    ASSERT_TRUE(script) << SCHEDULE_MANAGER_TEST_DATA;
    ScheduleStore store;
    int lines = 0;
    for (std::string line; std::getline(script, line);) {
        ++lines;
        if (line.empty() || line.starts_with("#"))
            continue;
        SCOPED_TRACE("store.txt:" + std::to_string(lines) + ": " + line);
        std::istringstream words(line);
        runLine(store, words);
    }
    for (const std::string& name : {std::string(""), std::string("a b"), std::string(65, 'A'), std::string("x\ny")}) {
        try {
            store.upload(1, name, uploadOf("prio=10 values=1 starts=T"));
            ADD_FAILURE() << name;
        } catch (const RequestError& e) {
            EXPECT_EQ(e.kind(), RequestError::Kind::InvalidArgs) << name;
        }
    }
}

TEST(ScheduleStore, AnswersStayConsistentWhateverIsUploaded)
{
    std::mt19937 random(61850);
    auto pick = [&](auto... options) {
        const std::array values{options...};
        return values[std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(random)];
    };
    const std::vector<std::string> names = {"EmpSPrg_FSCH020001", "EmpSPrg_FSCH020002", "SysSoft_FSCH110001",
                                            "DsoECmd_FSCH250001"};
    ScheduleStore store;
    int activeSeen = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::int32_t cls = pick(1, 2, 0, 5);
        const std::string& name = names[random() % names.size()];
        const Millis now = T0 + random() % (100 * hour);
        Upload upload;
        upload.priority = pick(0, 10, -5, INT32_MAX, INT32_MIN);
        upload.values = std::vector<double>(random() % 8);
        upload.startTimes = {pick(Millis{0}, now, now + hour, T0, latestStartTime)};
        upload.intervalSeconds = pick(1, 60, 900, 0, -1, INT32_MAX);
        upload.reuse = random() % 2 == 0;
        for (auto& v : upload.values)
            v = pick(0.0, -3.3, 1e20, -1e300, 7.5);
        upload.entryCount = pick(static_cast<std::int32_t>(upload.values.size()), 1, 0, -1, 300);
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
