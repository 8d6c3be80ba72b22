// The schedule-manager program on a private system bus: its members and signatures
// (tests/data/dbus), its errors, its trace, restarts and start-up problems. Every
// method's answers are tested against the server's client (tests/IEC_server/schedule).
#include "box_harness.hpp"

#include <fstream>

namespace {

using testsupport::ChildProcess;
using std::int32_t;
using std::uint64_t;

const std::string serviceName = "de.brenvolta.vantor.iec61850.schedulemanager";
const std::string objectPath = "/de/brenvolta/vantor/iec61850/schedulemanager";
const std::string errorPrefix = serviceName + ".Error.";
const std::string ln1 = "EmpSPrg_FSCH020001";
const std::string trg = "SysSoft_FSCH110001";
constexpr uint64_t hour = 3'600'000;

class ScheduleManagerProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        connection_ = sdbus::createSystemBusConnection();
        start({"--trace", "--state-file", statePath()});
    }
    void start(const std::vector<std::string>& args)
    {
        proxy_.reset();
        program_ = std::make_unique<ChildProcess>(SCHEDULE_MANAGER_PROGRAM, args);
        ASSERT_TRUE(program_->waitForOutput("schedule-manager ready on " + serviceName + "\n"))
            << program_->errorOutput();
        proxy_ = sdbus::createProxy(*connection_, serviceName, objectPath);
    }
    std::string statePath() const { return dir_.path() + "/state.json"; }

    template <typename Result, typename... Args>
    Result call(const std::string& method, const Args&... args)
    {
        Result result{};
        proxy_->callMethod(method).onInterface(serviceName).withArguments(args...).storeResultsTo(result);
        return result;
    }
    // The D-Bus error name a call is answered with, empty when it succeeds.
    template <typename... Args>
    std::string errorOf(const std::string& method, const Args&... args)
    {
        try {
            proxy_->callMethod(method).onInterface(serviceName).withArguments(args...);
        } catch (const sdbus::Error& e) {
            return e.getName();
        }
        return {};
    }
    std::string upload(const std::string& ln, int32_t priority, std::vector<double> values, std::vector<uint64_t> starts,
                       int32_t interval = 3600, bool reuse = false)
    {
        return errorOf("addScheduleJSON", int32_t{1}, ln, priority, static_cast<int32_t>(values.size()), interval, values,
                       starts, reuse, boxtest::nowMs());
    }
    // An event-triggered system schedule of one value with a 60 s interval.
    std::string uploadTriggered(int32_t cls, const std::string& ln, int32_t priority, bool reuse)
    {
        return errorOf("addScheduleJSONTrg", cls, ln, priority, int32_t{1}, int32_t{60}, std::vector<double>{-4}, reuse,
                       true, uint64_t{0}, true);
    }

    testsupport::PrivateBus bus_;
    testsupport::TempDir dir_;
    std::unique_ptr<ChildProcess> program_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace

TEST_F(ScheduleManagerProgram, HasTheRecordedMembersAnswersBadCallsWithErrorsAndTracesEveryCall)
{
    EXPECT_EQ(boxtest::introspection(serviceName, objectPath),
              testsupport::readFile(BOX_TEST_DATA_DIR "/dbus/schedule-manager.introspection"));
    const uint64_t now = boxtest::nowMs();
    // The store's refusals (tested there one by one) and the service's own checks, as D-Bus errors.
    const std::string invalid = errorPrefix + "InvalidArgs";
    EXPECT_EQ(upload(ln1, 1, {1}, {now}, 0), invalid);
    EXPECT_EQ(errorOf("updateStatusOfSchedule", int32_t{1}, std::string("EmpSPrg_FSCH02000"), int32_t{-1}), invalid);
    EXPECT_EQ(errorOf("getSchedule3Days", int32_t{-7}), invalid);
    EXPECT_EQ(errorOf("getVal", int32_t{1}, ln1, int32_t{1}), errorPrefix + "UnknownSchedule");
    EXPECT_EQ(errorOf("setEvent", int32_t{1}, ln1, true), errorPrefix + "UnknownSchedule");
    EXPECT_EQ(errorOf("getVal", int32_t{1}, ln1, std::string("one")), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(errorOf("noSuchMethod", int32_t{1}), "org.freedesktop.DBus.Error.UnknownMethod");

    const std::size_t since = program_->output().size();
    EXPECT_EQ(upload(ln1, 10, std::vector<double>(100, 1.0), std::vector<uint64_t>(16, now), 900), "");
    EXPECT_EQ(errorOf("getVal", int32_t{1}, ln1, int32_t{3}), "");
    errorOf("checkExistence", int32_t{1}, std::string("bad\nname"));
    EXPECT_EQ(uploadTriggered(2, "SysComEr_FSCH220001", 220, false), "");
    const std::string expected = "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=10 n=100 intv=900 values=100 "
                                 "starts=16 start1=" + std::to_string(now) + " reuse=0\n"
                                 "getVal cls=1 ln=EmpSPrg_FSCH020001 index=3\n"
                                 "checkExistence cls=1 ln=bad?name\n"
                                 "addScheduleJSONTrg cls=2 ln=SysComEr_FSCH220001 prio=220 n=1 intv=60 values=1 "
                                 "reuse=0 evtrg=1 system=1\n";
    EXPECT_TRUE(program_->waitForOutput(expected)) << program_->output().substr(since);
    EXPECT_TRUE(program_->running());
}

TEST_F(ScheduleManagerProgram, ARestartKeepsTheSchedulesAndEvents)
{
    const uint64_t begin = boxtest::nowMs() - 1000;
    upload(ln1, 20, {3, 4}, {begin});
    upload("EmpSPrg_FSCH020002", 10, {9}, {begin + hour}, 60, true);
    uploadTriggered(2, trg, 110, true);
    errorOf("setEvent", int32_t{2}, trg, true);
    auto before = call<std::map<uint64_t, int64_t>>("getSchedule3Days", int32_t{1});

    EXPECT_EQ(program_->stop(), 0);
    start({"--state-file", statePath()});

    EXPECT_EQ(call<std::string>("getActivateSchedule", int32_t{1}), ln1);
    EXPECT_EQ(call<std::string>("getActivateSchedule", int32_t{2}), trg);
    EXPECT_EQ(call<uint64_t>("getNxtStrTm", int32_t{1}, std::string("EmpSPrg_FSCH020002")), begin + hour);
    auto after = call<std::map<uint64_t, int64_t>>("getSchedule3Days", int32_t{1});
    after.erase(after.begin());
    before.erase(before.begin());  // the first point is "now"
    EXPECT_EQ(after, before);
    EXPECT_EQ(program_->errorOutput(), "");
}

TEST_F(ScheduleManagerProgram, ProblemsAreReportedNotCrashedOn)
{
    ChildProcess second(SCHEDULE_MANAGER_PROGRAM, {"--state-file", dir_.path() + "/other.json"});
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.errorOutput().find("cannot own " + serviceName), std::string::npos) << second.errorOutput();
    ChildProcess without(SCHEDULE_MANAGER_PROGRAM, {"--state-file", dir_.path() + "/other.json"},
                         {.workingDirectory = {}, .environment = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"}});
    EXPECT_EQ(without.waitForExit(), 1);
    EXPECT_NE(without.errorOutput().find("cannot own"), std::string::npos) << without.errorOutput();
    EXPECT_EQ(ChildProcess(SCHEDULE_MANAGER_PROGRAM, {"--state-file"}).waitForExit(), 2);

    EXPECT_EQ(program_->stop(), 0);
    std::ofstream(statePath()) << "{\"format\": 1, \"schedules\": [{\"cls\": 1}]}";
    start({"--state-file", statePath()});
    EXPECT_TRUE(program_->waitForErrorOutput("is unusable")) << program_->errorOutput();
    EXPECT_EQ(call<std::string>("getActivateSchedule", int32_t{1}), "no_schedule_active");

    EXPECT_EQ(program_->stop(), 0);
    start({"--state-file", dir_.path() + "/no/state.json"});
    upload(ln1, 1, {5}, {boxtest::nowMs() - 1000});
    EXPECT_TRUE(program_->waitForErrorOutput("cannot write state file")) << program_->errorOutput();
    EXPECT_EQ(call<std::string>("getActivateSchedule", int32_t{1}), ln1) << "kept in memory";
}
