// The whole box with real parts (private system bus, schedule-manager service,
// IecServer, a JSON-RPC peer, an MMS client and the EMS on D-Bus) over time and
// across failures: schedules that start, step and end with no client write after
// the first; settings and schedules across kills of the server and of the whole
// box; a refused upload shown in SchdEnaErr; peers that stop or hang; a bus that
// restarts; and the box in 2040.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace {

using namespace boxtest;
using Reads = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kNode = "EmpSPrg_FSCH020001";
constexpr const char* kAnOut = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kActSchdRef = "ActPow_FSCC001$ST$ActSchdRef$stVal";
constexpr const char* kTotWMag = "MMXU001$MX$TotW$mag$f";
constexpr const char* kSchdSt = "$ST$SchdSt$stVal";  // items from "$" on are kNode's
constexpr float kSetPoint = -4200.0f;

// What reports carried for a CLS data set member, each change once: its first
// float, integer or string, and its time stamp (the member's last element).
struct Reported {
    std::string value;
    std::uint64_t timeMs = 0;
};

std::vector<Reported> reported(const std::vector<InformationReport>& reports, std::size_t member)
{
    std::vector<Reported> values;
    for (const auto& r : reports) {
        const auto v = reportedMember(r, member);
        if (!v || v->size() == 0)
            continue;
        const Value& first = (*v)[0];
        const std::string value = first.is(Value::Kind::Integer)         ? std::to_string(first.toInt64())
                                  : first.is(Value::Kind::VisibleString) ? std::string(first.string())
                                                                         : Value::float32(firstFloat(*v).value_or(-1e9f)).toString();
        if (values.empty() || values.back().value != value)
            values.push_back({value, (*v)[v->size() - 1].utcMs()});
    }
    return values;
}

std::vector<std::string> valuesOf(const std::vector<Reported>& reported, std::size_t last = 99)
{
    std::vector<std::string> values;
    for (const auto& r : reported)
        values.push_back(r.value);
    return std::vector(values.end() - static_cast<std::ptrdiff_t>(std::min(last, values.size())), values.end());
}

// Reported changes of a member at (within a second after) the given times.
void expectTimes(const std::vector<Reported>& changes, const std::vector<std::uint64_t>& times)
{
    ASSERT_GE(changes.size(), times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        EXPECT_GE(changes[i].timeMs, times[i]) << "change " << i;
        EXPECT_LE(changes[i].timeMs, times[i] + 1000) << "change " << i;
    }
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

class BoxOverTime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startBox({})); }
    void startBox(Box::Options options)
    {
        options.jsonRpcPort = peer.port();
        box.emplace(options);
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

    static std::string item(const std::string& name) { return name.starts_with("$") ? kNode + name : name; }
    std::string readText(const std::string& name)
    {
        const auto v = client->read(kCls1, item(name));
        return v ? v->toString() : "(refused)";
    }
    // Each item of CLS1 reads as its row says, once it does within the timeout.
    bool expectReads(const Reads& rows, std::chrono::milliseconds timeout = 0s)
    {
        bool all = true;
        for (const auto& [name, expected] : rows) {
            const bool read = eventually([&] { return readText(name) == expected; }, timeout);
            EXPECT_TRUE(read) << name << " reads " << readText(name) << ", not " << expected << "\n" << box->serverOutput();
            all = all && read;
        }
        return all;
    }
    // Writes a schedule of kNode (priority 20 unless set) and waits for the state it should reach.
    bool upload(const std::vector<float>& values, std::uint64_t startMs, std::int32_t interval, const char* state)
    {
        return client->writeSchedule(kCls1, kNode, values, startMs, interval) && expectReads({{kSchdSt, state}}, 20s);
    }
    // Serves the client's reports until the condition holds.
    bool reportsUntil(const std::function<bool()>& done)
    {
        return eventually([&] {
            client->waitForReport([](const InformationReport&) { return false; }, 100ms);
            return done();
        }, 30s);
    }
    bool writeInt(const std::string& setting, std::int32_t value)
    {
        return client->write(kCls1, item("$SP$" + setting + "$setVal"), Value::integer(value));
    }
    bool managerTraces(const std::string& upload, std::chrono::milliseconds timeout = 20s)
    {
        return box->scheduleManager().waitForOutput("addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 " + upload, timeout);
    }

    JsonRpcPeer peer;
    std::optional<Box> box;
    std::optional<EmsClient> ems;
    std::optional<BoxClient> client;
};
// Cases that start the box themselves.
class EndToEnd : public BoxOverTime {
protected:
    void SetUp() override {}
};

TEST_F(BoxOverTime, AScheduleStartsStepsAndEndsAtItsTimesWithNoFurtherWrite)
{
    const std::uint64_t start = nowMs() + 3000, end = start + 3 * 2000;
    ASSERT_TRUE(writeInt("SchdPrio", 100));
    ASSERT_TRUE(upload({11.0f, 22.0f, 33.0f}, start, 2, "4"));
    expectReads({{kActSchdRef, "\"@CLS1/EmpSPrg_FSCH020001\""}, {"$MX$ValMV$mag$f", "11"}, {"$ST$SchdEntr$stVal", "1"}}, 1s);

    ASSERT_TRUE(reportsUntil([&] { return nowMs() > end + 1500 && valuesOf(reported(client->reports(), kAnOut1), 1)[0] == "0"; }))
        << box->serverOutput();
    // Each step reaches the model at its boundary, not before and not a second later.
    const auto anOut = reported(client->reports(), kAnOut1);
    ASSERT_EQ(valuesOf(anOut), (std::vector<std::string>{"11", "22", "33", "0"})) << box->serverOutput();
    expectTimes(anOut, {start, start + 2000, start + 4000, end});
    EXPECT_EQ(valuesOf(reported(client->reports(), kControllerValMV)), (std::vector<std::string>{"11", "22", "33", "0"}));
    // The report of a status carries the time of its change.
    const auto states = reported(client->reports(), kEmpSPrg1SchdSt);
    EXPECT_EQ(valuesOf(states, 3), (std::vector<std::string>{"3", "4", "2"}));
    ASSERT_GE(states.size(), 3u);
    EXPECT_GE(states[states.size() - 2].timeMs, start);
    EXPECT_GE(states.back().timeMs, end);
    expectReads({{kActSchdRef, "\"@CLS1/no_schedule_active\""}});

    // The EMS hears every set-point, the end included, on the bus and over JSON-RPC;
    // each publication is six signals in a fixed order.
    ASSERT_TRUE(eventually([&] { return jsonRpcSetPoints(peer).size() >= 4; }));
    EXPECT_EQ(jsonRpcSetPoints(peer), (std::vector<std::int64_t>{11, 22, 33, 0}));
    EXPECT_EQ(peer.requests()[0], nlohmann::json::parse(R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[11,0]})"));
    EXPECT_EQ(signalledSetPoints(*ems), (std::vector<std::int64_t>{11, 22, 33, 0}));
    std::vector<std::string> six;
    for (const auto& s : ems->signals())
        if (six.size() < 6 && (s.name == "AnOut1_maxVal_f" || !six.empty()))
            six.push_back(s.name == "AnOut1_units_multiplier" ? s.text : s.name);
    EXPECT_EQ(six, (std::vector<std::string>{"AnOut1_maxVal_f", "AnOut1_minVal_f", "AnOut1_units_multiplier i 3",
                                             "AnOut_mxVal_Schedule", "AnOut_mxVal_f", "totw"}));
    EXPECT_TRUE(box->server().waitForOutput("JsonrpcMapper -> Successfully sent values to server."));
    EXPECT_EQ(box->server().output().find("Error"), std::string::npos) << box->serverOutput();

    // The EMS writes the site's total power: signalled back, in the model, reported.
    const std::size_t before = ems->signals("totw").size();
    ems->setTotw(1500, 1700000000, 0);
    ASSERT_TRUE(eventually([&] { return ems->signals("totw").size() > before; }));
    EXPECT_EQ(ems->signals("totw").back().text, "totw (xti) 1500,1700000000,0");
    expectReads({{kTotWMag, "1500"}});
    EXPECT_TRUE(client->waitForReport([](const auto& r) {
        auto v = reportedMember(r, kTotW);
        return v && firstFloat(*v) == 1500.0f;
    })) << "no report of TotW";
}

TEST_F(BoxOverTime, AHigherPriorityScheduleTakesOverAtItsStartAndHandsBackAtItsEnd)
{
    const std::uint64_t start = nowMs() + 3000;
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {11.0f, 11.0f, 11.0f}, start, 2));              // priority 20
    ASSERT_TRUE(client->writeSchedule(kCls1, "DsoWCmd_FSCH130001", {77.0f}, start + 2000, 2));  // priority 130

    ASSERT_TRUE(reportsUntil([&] { return nowMs() > start + 6000 + 1500; })) << box->serverOutput();
    const auto anOut = reported(client->reports(), kAnOut1);
    ASSERT_EQ(valuesOf(anOut), (std::vector<std::string>{"11", "77", "11", "0"})) << box->serverOutput();
    expectTimes({anOut[1], anOut[2]}, {start + 2000, start + 4000});
    // Each change of the reference is reported with the time of that change.
    const auto references = reported(client->reports(), kActSchdRefMember);
    EXPECT_EQ(valuesOf(references, 4),
              (std::vector<std::string>{"@CLS1/EmpSPrg_FSCH020001", "@CLS1/DsoWCmd_FSCH130001",
                                        "@CLS1/EmpSPrg_FSCH020001", "@CLS1/no_schedule_active"}));
    ASSERT_GE(references.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_GE(references[references.size() - 4 + i].timeMs, start + 2000 * i) << i;
}

TEST_F(BoxOverTime, SettingsAndSchedulesSurviveAKillOfTheServerAndOfTheWholeBox)
{
    const std::uint64_t start = nowMs() + 600'000;
    ASSERT_TRUE(writeInt("SchdPrio", 100));
    ASSERT_TRUE(client->write(kCls1, "MMXU001$CF$TotW$db", Value::unsignedInteger(2500)));
    ASSERT_TRUE(upload({11.0f, 22.0f, 33.0f}, start, 2, "3"));
    const std::string startText = Value::utcTimeMs(start).toString();
    const Reads configured = {{"$SP$SchdIntv$setVal", "2"}, {"$SP$SchdPrio$setVal", "100"},
                              {"$SP$ValASG002$setMag$f", "22"}, {"$SP$StrTm01$setTm", startText},
                              {"MMXU001$CF$TotW$db", "2500"}, {kSchdSt, "3"},
                              {"$ST$NxtStrTm$stVal", startText}, {"$ST$SchdEnaErr$stVal", "1"}};

    const auto expectConfigured = [&](const char* after, std::size_t traceSince) {
        SCOPED_TRACE(after);
        ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
        ASSERT_NO_FATAL_FAILURE(connectClient());
        expectReads(configured, 20s);
        // The start-up pass gave the service the configured node again, and only that one.
        const std::string trace = box->scheduleManager().output();
        EXPECT_EQ(count(trace, "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=100 n=3 intv=2", traceSince), 1u)
            << trace;
        EXPECT_EQ(count(trace, "addScheduleJSON", traceSince), 1u) << trace;
        EXPECT_EQ(box->server().output().find("Error"), std::string::npos) << box->serverOutput();
    };

    const std::size_t traceSince = box->scheduleManager().output().size();
    box->server().cutOff();
    box->startServer();
    expectConfigured("after a kill of the server", traceSince);

    ems.reset();  // its connection ends with the bus
    box->server().cutOff();
    box->restartBus();  // and with it the schedule manager
    box->startServer();
    expectConfigured("after a kill of the whole box", 0);

    // The server up before the schedule manager: the start-up uploads are tried again.
    box->server().cutOff();
    box->scheduleManager().cutOff();
    box->startServer();
    ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
    box->startScheduleManager();
    EXPECT_TRUE(managerTraces("prio=100 n=3 intv=2")) << box->serverOutput();
}

TEST_F(BoxOverTime, ARefusedUploadShowsItsReasonInSchdEnaErrUntilTheSettingIsCorrected)
{
    ASSERT_TRUE(upload({5.0f}, nowMs() + 600'000, 0, "1"));
    expectReads({{"$ST$SchdEnaErr$stVal", "3"}}, 20s);
    EXPECT_GE(client->read(kCls1, item("$ST$SchdEnaErr$t"))->utcMs() + 1000, nowMs() - 5000);

    ASSERT_TRUE(writeInt("SchdIntv", 60));
    expectReads({{"$ST$SchdEnaErr$stVal", "1"}, {kSchdSt, "3"}}, 20s);
}

TEST_F(BoxOverTime, ReadsAreAnsweredWhileTheScheduleManagerHangsAndThePassEndsAtOneTimeOut)
{
    box->scheduleManager().signal(SIGSTOP);
    const std::size_t since = box->server().output().size();
    ASSERT_TRUE(writeInt("SchdIntv", 5));
    ASSERT_TRUE(box->server().waitForOutput("processIEC ValuesInSM", 20s, since));

    // The drain waits for its answer; MMS does not.
    int reads = 0;
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (box->server().output().find("Error addScheduleJSON", since) == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
        ASSERT_EQ(readText("$SP$SchdIntv$setVal"), "5");
        ++reads;
    }
    EXPECT_GT(reads, 50);
    std::this_thread::sleep_for(1s);
    const std::string output = box->server().output();
    EXPECT_EQ(count(output, "Error ", since), 1u) << output.substr(since);
    EXPECT_NE(output.find("org.freedesktop.DBus.Error.Timeout", since), std::string::npos) << output.substr(since);

    // The service back: the upload is tried again and reaches it.
    box->scheduleManager().signal(SIGCONT);
    EXPECT_TRUE(managerTraces("prio=20 n=100 intv=5", 30s)) << box->serverOutput();
}

TEST_F(BoxOverTime, AfterTheBusRestartsTheBoxOwnsItsNameAgainAndSchedulesReachTheService)
{
    ems.reset();
    box->restartBus();
    ems.emplace();
    EXPECT_TRUE(eventually([&] {
        try {
            ems->setTotw(250, 1700000000, 0);
            return true;
        } catch (const sdbus::Error&) {
            return false;
        }
    })) << box->serverOutput();
    ASSERT_TRUE(writeInt("SchdIntv", 7));
    EXPECT_TRUE(managerTraces("prio=20 n=100 intv=7")) << box->serverOutput();
    EXPECT_TRUE(box->server().running());
}

TEST_F(BoxOverTime, WithoutTheScheduleManagerTheLastRealValuesStay)
{
    ASSERT_TRUE(upload({kSetPoint, 1.0f}, nowMs() - 1500, 600, "4"));
    expectReads({{kAnOut, "-4200"}}, 20s);
    box->scheduleManager().cutOff();
    const std::size_t since = box->server().output().size();
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {777.0f, 1.0f}, nowMs() - 1500, 600));
    EXPECT_TRUE(box->server().waitForOutput("Error getActivateSchedule: ", 20s, since)) << box->serverOutput();
    expectReads({{kAnOut, "-4200"}, {kActSchdRef, "\"@CLS1/EmpSPrg_FSCH020001\""}, {"$SP$ValASG001$setMag$f", "777"}});
    EXPECT_EQ(signalledSetPoints(*ems), std::vector<std::int64_t>{-4200});
}

// Past January 2038, within the life of a box installed now: both programs' clocks in 2040.
TEST_F(EndToEnd, In2040ScheduleTimesTimeStampsLogEntriesAndSyslogKeepTheirDates)
{
    if (auto reason = testsupport::SyslogCapture::unavailableReason(); !reason.empty())
        GTEST_SKIP() << "syslog capture unavailable: " << reason;
    constexpr std::uint64_t k2040 = 2'208'988'800'000;  // 2040-01-01T00:00:00Z
    constexpr std::uint64_t k2041 = k2040 + 366 * 86'400'000ull;
    constexpr std::uint64_t kStart = 2'222'164'800'789;  // 2040-06-01T12:00:00.789Z
    auto in2040 = [&](std::uint64_t ms) { return ms >= k2040 && ms < k2041; };
    testsupport::SyslogCapture syslog;
    ASSERT_NO_FATAL_FAILURE(startBox({.jsonRpcPort = {}, .clockOffsetMs = static_cast<std::int64_t>(k2040 - nowMs()), .syslog = &syslog}));
    ASSERT_TRUE(upload({kSetPoint, 1.0f}, kStart, 600, "3"));

    // The first start time reaches the schedule manager to the millisecond.
    ASSERT_TRUE(box->scheduleManager().waitForOutput(" start1=2222164800789 ")) << box->scheduleManager().output();
    const std::string trace = box->scheduleManager().output();
    EXPECT_TRUE(trace.substr(trace.rfind('\n', trace.find(" start1=2222164800789 ")) + 1)
                    .starts_with("addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 prio=20 n=2 intv=600 "));
    expectReads({{"$ST$NxtStrTm$stVal", Value::utcTimeMs(kStart).toString()}});
    const auto stamped = client->read(kCls1, item("$ST$SchdSt$t"));
    ASSERT_TRUE(stamped);
    EXPECT_TRUE(in2040(stamped->utcMs())) << stamped->toString();

    const auto journal = client->connection().readWholeJournal(kCls1, "LLN0$logCLS1", k2040);
    ASSERT_TRUE(journal.ok()) << journal.error().describe();
    ASSERT_FALSE(journal->empty());
    for (const auto& entry : *journal)
        EXPECT_TRUE(in2040(entry.occurrenceTime.binaryTimeMs())) << entry.occurrenceTime.toString();
    EXPECT_TRUE(syslog.waitUntil([](const std::vector<testsupport::SyslogRecord>& records) {
        return std::any_of(records.begin(), records.end(), [](const auto& r) {
            return r.message.starts_with("Server started at: ") && r.message.ends_with(" 2040\n");
        });
    }));
}

}  // namespace
