// The box over time and across failures, with real parts: schedules that
// start, step and end with no client write after the first; settings and
// schedules across kills of the server and of the whole box; a refused
// upload shown in SchdEnaErr; a schedule manager that hangs; a bus that restarts.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using namespace boxtest;

constexpr const char* kNode = "EmpSPrg_FSCH020001";
constexpr const char* kOtherNode = "DsoWCmd_FSCH130001";
constexpr const char* kAnOut = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kActSchdRef = "ActPow_FSCC001$ST$ActSchdRef$stVal";
constexpr std::size_t kActSchdRefMember = 1;

std::string at(const std::string& node, const std::string& path) { return node + "$" + path; }

// What a report carried for a CLS data set member: its first float or
// integer, and its time stamp (the member's last element).
struct Reported {
    double value = 0;
    std::uint64_t timeMs = 0;
};

std::vector<Reported> reportedValues(const std::vector<InformationReport>& reports, std::size_t member)
{
    std::vector<Reported> values;
    for (const auto& r : reports) {
        const auto v = reportedMember(r, member);
        if (!v || v->size() == 0)
            continue;
        const Value& first = (*v)[0];
        const double value = first.is(Value::Kind::Integer) ? static_cast<double>(first.toInt64())
                                                             : static_cast<double>(firstFloat(*v).value_or(-1e9f));
        if (values.empty() || values.back().value != value)
            values.push_back({value, (*v)[v->size() - 1].utcMs()});
    }
    return values;
}

std::vector<double> valuesOf(const std::vector<Reported>& reported)
{
    std::vector<double> values;
    for (const auto& r : reported)
        values.push_back(r.value);
    return values;
}

std::vector<std::int64_t> jsonRpcSetPoints(const JsonRpcPeer& peer)
{
    std::vector<std::int64_t> values;
    for (const auto& request : peer.requests())
        values.push_back(request["params"][0].get<std::int64_t>());
    return values;
}

std::vector<std::int64_t> signalledSetPoints(const EmsClient& ems)
{
    std::vector<std::int64_t> values;
    for (const auto& s : ems.signals("AnOut_mxVal_f"))
        values.push_back(s.value);
    return values;
}

std::size_t count(const std::string& text, const std::string& part, std::size_t from = 0)
{
    std::size_t n = 0;
    for (auto i = text.find(part, from); i != std::string::npos; i = text.find(part, i + part.size()))
        ++n;
    return n;
}

class BoxOverTime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startBox()); }

    void startBox()
    {
        box.emplace(Box::Options{.jsonRpcPort = peer.port()});
        ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
        ems.emplace();
        connectClient();
    }
    void connectClient()
    {
        client.emplace();
        ASSERT_TRUE(client->connected());
        ASSERT_TRUE(client->enableReports(kCls1, "reportControl0101"));
    }

    // Serves the client's reports until the condition holds.
    bool reportsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            client->waitForReport([](const InformationReport&) { return false; }, 100ms);
        }
        return true;
    }
    bool writeInt(const std::string& node, const std::string& setting, std::int32_t value)
    {
        return client->write(kCls1, at(node, "SP$" + setting + "$setVal"), Value::integer(value));
    }

    JsonRpcPeer peer;
    std::optional<Box> box;
    std::optional<EmsClient> ems;
    std::optional<BoxClient> client;
};

TEST_F(BoxOverTime, AScheduleStartsStepsAndEndsAtItsTimesWithNoFurtherWrite)
{
    const std::uint64_t start = nowMs() + 3000;
    ASSERT_TRUE(writeInt(kNode, "SchdPrio", 100));
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {11.0f, 22.0f, 33.0f}, start, 2));
    const std::uint64_t end = start + 3 * 2000;

    ASSERT_TRUE(reportsUntil([&] {
        return nowMs() > end + 1500 && valuesOf(reportedValues(client->reports(), kAnOut1)).back() == 0.0;
    })) << box->serverOutput();

    // Each step reaches the model at its boundary, not before and not a second later.
    const auto anOut = reportedValues(client->reports(), kAnOut1);
    ASSERT_EQ(valuesOf(anOut), (std::vector<double>{11, 22, 33, 0})) << box->serverOutput();
    for (std::size_t step = 0; step < anOut.size(); ++step) {
        const std::uint64_t boundary = start + step * 2000;
        EXPECT_GE(anOut[step].timeMs, boundary) << "step " << step;
        EXPECT_LE(anOut[step].timeMs, boundary + 1000) << "step " << step;
    }
    EXPECT_EQ(valuesOf(reportedValues(client->reports(), kControllerValMV)), (std::vector<double>{11, 22, 33, 0}));
    const auto reportedStates = reportedValues(client->reports(), kEmpSPrg1SchdSt);
    const auto states = valuesOf(reportedStates);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(std::vector(states.end() - 3, states.end()), (std::vector<double>{3, 4, 2}));
    // The report of a status carries the time of its change.
    EXPECT_GE(reportedStates[states.size() - 2].timeMs, start);
    EXPECT_GE(reportedStates.back().timeMs, end);
    EXPECT_EQ(client->readString(kCls1, kActSchdRef), "@CLS1/no_schedule_active");

    // The EMS hears every set-point, the end included, on the bus and over JSON-RPC.
    ASSERT_TRUE(eventually([&] { return jsonRpcSetPoints(peer).size() >= 4; }));
    EXPECT_EQ(jsonRpcSetPoints(peer), (std::vector<std::int64_t>{11, 22, 33, 0}));
    EXPECT_EQ(signalledSetPoints(*ems), (std::vector<std::int64_t>{11, 22, 33, 0}));
    EXPECT_EQ(box->server().output().find("Error"), std::string::npos) << box->serverOutput();
}

TEST_F(BoxOverTime, AHigherPriorityScheduleTakesOverAtItsStartAndHandsBackAtItsEnd)
{
    const std::uint64_t start = nowMs() + 3000;
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {11.0f, 11.0f, 11.0f}, start, 2));  // priority 20
    ASSERT_TRUE(client->writeSchedule(kCls1, kOtherNode, {77.0f}, start + 2000, 2));   // priority 130

    ASSERT_TRUE(reportsUntil([&] { return nowMs() > start + 6000 + 1500; })) << box->serverOutput();
    const auto anOut = reportedValues(client->reports(), kAnOut1);
    ASSERT_EQ(valuesOf(anOut), (std::vector<double>{11, 77, 11, 0})) << box->serverOutput();
    for (const auto& [step, boundary] : {std::pair{1, start + 2000}, {2, start + 4000}}) {
        EXPECT_GE(anOut[static_cast<std::size_t>(step)].timeMs, boundary);
        EXPECT_LE(anOut[static_cast<std::size_t>(step)].timeMs, boundary + 1000);
    }
    std::vector<std::string> references;
    std::vector<std::uint64_t> referenceTimes;
    for (const auto& r : client->reports())
        if (auto v = reportedMember(r, kActSchdRefMember); v && v->size() > 0)
            if (references.empty() || references.back() != (*v)[0].string()) {
                references.emplace_back((*v)[0].string());
                referenceTimes.push_back((*v)[v->size() - 1].utcMs());
            }
    ASSERT_GE(references.size(), 4u);
    EXPECT_EQ(std::vector(references.end() - 4, references.end()),
              (std::vector<std::string>{"@CLS1/EmpSPrg_FSCH020001", "@CLS1/DsoWCmd_FSCH130001",
                                        "@CLS1/EmpSPrg_FSCH020001", "@CLS1/no_schedule_active"}));
    // Each change of the reference is reported with the time of that change.
    const std::uint64_t changes[] = {start, start + 2000, start + 4000, start + 6000};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_GE(referenceTimes[referenceTimes.size() - 4 + i], changes[i]) << references[references.size() - 4 + i];
}

TEST_F(BoxOverTime, SettingsAndSchedulesSurviveAKillOfTheServerAndOfTheWholeBox)
{
    const std::uint64_t start = nowMs() + 600'000;
    ASSERT_TRUE(writeInt(kNode, "SchdPrio", 100));
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {11.0f, 22.0f, 33.0f}, start, 2));
    ASSERT_TRUE(client->write(kCls1, "MMXU001$CF$TotW$db", Value::unsignedInteger(2500)));
    ASSERT_TRUE(eventually([&] { return client->readInt(kCls1, at(kNode, "ST$SchdSt$stVal")) == 3; }));

    const auto expectConfigured = [&](const char* after, std::size_t traceSince) {
        SCOPED_TRACE(after);
        ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
        ASSERT_NO_FATAL_FAILURE(connectClient());
        EXPECT_EQ(client->readInt(kCls1, at(kNode, "SP$SchdIntv$setVal")), 2);
        EXPECT_EQ(client->readInt(kCls1, at(kNode, "SP$SchdPrio$setVal")), 100);
        EXPECT_EQ(client->readFloat(kCls1, at(kNode, "SP$ValASG002$setMag$f")), 22.0f);
        EXPECT_EQ(client->read(kCls1, at(kNode, "SP$StrTm01$setTm"))->utcMs(), start);
        EXPECT_EQ(client->readInt(kCls1, "MMXU001$CF$TotW$db"), 2500);
        EXPECT_TRUE(eventually([&] { return client->readInt(kCls1, at(kNode, "ST$SchdSt$stVal")) == 3; }));
        EXPECT_EQ(client->read(kCls1, at(kNode, "ST$NxtStrTm$stVal"))->utcMs(), start);
        EXPECT_EQ(client->readInt(kCls1, at(kNode, "ST$SchdEnaErr$stVal")), 1);
        // The start-up pass gave the service the configured node again, and only that one.
        const std::string trace = box->scheduleManager().output();
        EXPECT_EQ(count(trace, "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=100 n=3 intv=2", traceSince), 1u)
            << trace;
        EXPECT_EQ(count(trace, "addScheduleJSON", traceSince), 1u) << trace;
        EXPECT_EQ(box->server().output().find("Error"), std::string::npos) << box->serverOutput();
    };

    const std::size_t traceSince = box->scheduleManager().output().size();
    box->restartServer();
    expectConfigured("after a kill of the server", traceSince);

    ems.reset();  // its connection ends with the bus
    box->killServer();
    box->restartBus();  // and with it the schedule manager
    box->startServer();
    expectConfigured("after a kill of the whole box", 0);

    // The server up before the schedule manager: the start-up uploads are tried again.
    box->killServer();
    box->stopScheduleManager();
    box->startServer();
    ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
    box->startScheduleManager();
    EXPECT_TRUE(box->scheduleManager().waitForOutput("addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=100 n=3 intv=2"))
        << box->serverOutput();
}

TEST_F(BoxOverTime, ARefusedUploadShowsItsReasonInSchdEnaErrUntilTheSettingIsCorrected)
{
    const std::uint64_t start = nowMs() + 600'000;
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {5.0f}, start, 0));
    const std::string enaErr = at(kNode, "ST$SchdEnaErr$stVal");
    ASSERT_TRUE(eventually([&] { return client->readInt(kCls1, enaErr) == 3; })) << box->serverOutput();
    EXPECT_EQ(client->readInt(kCls1, at(kNode, "ST$SchdSt$stVal")), 1);
    EXPECT_GE(client->read(kCls1, at(kNode, "ST$SchdEnaErr$t"))->utcMs() + 1000, nowMs() - 5000);

    ASSERT_TRUE(writeInt(kNode, "SchdIntv", 60));
    EXPECT_TRUE(eventually([&] { return client->readInt(kCls1, enaErr) == 1; })) << box->serverOutput();
    EXPECT_TRUE(eventually([&] { return client->readInt(kCls1, at(kNode, "ST$SchdSt$stVal")) == 3; }));
}

TEST_F(BoxOverTime, ReadsAreAnsweredWhileTheScheduleManagerHangsAndThePassEndsAtOneTimeOut)
{
    box->scheduleManager().signal(SIGSTOP);
    const std::size_t since = box->server().output().size();
    ASSERT_TRUE(writeInt(kNode, "SchdIntv", 5));
    ASSERT_TRUE(eventually([&] { return box->server().output().find("processIEC ValuesInSM", since) != std::string::npos; }));

    // The drain waits for its answer; MMS does not.
    int reads = 0;
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (box->server().output().find("Error addScheduleJSON", since) == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
        ASSERT_EQ(client->readInt(kCls1, at(kNode, "SP$SchdIntv$setVal")), 5);
        ++reads;
    }
    EXPECT_GT(reads, 50);
    std::this_thread::sleep_for(1s);
    const std::string output = box->server().output();
    EXPECT_EQ(count(output, "Error ", since), 1u) << output.substr(since);
    EXPECT_NE(output.find("org.freedesktop.DBus.Error.Timeout", since), std::string::npos) << output.substr(since);

    // The service back: the upload is tried again and reaches it.
    box->scheduleManager().signal(SIGCONT);
    EXPECT_TRUE(box->scheduleManager().waitForOutput("addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=20 n=100 intv=5",
                                                     30s))
        << box->serverOutput();
}

TEST_F(BoxOverTime, AfterTheBusRestartsTheBoxOwnsItsNameAgainAndSchedulesReachTheService)
{
    ems.reset();
    box->restartBus();
    ems.emplace();
    EXPECT_TRUE(eventually([&] { return ems->powerLimit() == 0; })) << box->serverOutput();

    ASSERT_TRUE(writeInt(kNode, "SchdIntv", 7));
    EXPECT_TRUE(box->scheduleManager().waitForOutput("addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=20 n=100 intv=7"))
        << box->serverOutput();
    EXPECT_TRUE(box->server().running());
}

}  // namespace
