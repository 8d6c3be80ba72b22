// The whole box with real parts: private system bus, schedule-manager service,
// IecServer, a JSON-RPC peer, an MMS client and an EMS-side D-Bus client.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace {

using namespace boxtest;

constexpr const char* kNode = "EmpSPrg_FSCH020001";
constexpr float kSetPoint = -4200.0f;
const std::string kSchdSt = std::string(kNode) + "$ST$SchdSt$stVal";
constexpr const char* kAnOut = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kValMV = "ActPow_FSCC001$MX$ValMV$mag$f";
constexpr const char* kActSchdRef = "ActPow_FSCC001$ST$ActSchdRef$stVal";
constexpr const char* kTotWMag = "MMXU001$MX$TotW$mag$f";
const std::vector<std::string> kSixSignals = {"AnOut1_maxVal_f",      "AnOut1_minVal_f", "AnOut1_units_multiplier",
                                              "AnOut_mxVal_Schedule", "AnOut_mxVal_f",   "totw"};

// The six signals of the first set-point publication, once they are all there.
std::vector<EmsClient::Signal> firstPublication(const EmsClient& ems)
{
    const auto signals = ems.signals();
    auto first = std::find_if(signals.begin(), signals.end(), [](const auto& s) { return s.name == kSixSignals[0]; });
    return signals.end() - first < 6 ? std::vector<EmsClient::Signal>{} : std::vector(first, first + 6);
}

std::vector<std::string> names(const std::vector<EmsClient::Signal>& signals)
{
    std::vector<std::string> result;
    for (const auto& s : signals)
        result.push_back(s.name);
    return result;
}

// A report carrying the value for the member, with a time stamp (its last element) of sinceMs or later.
auto carries(std::size_t member, float value, std::uint64_t sinceMs = 0)
{
    return [=](const InformationReport& report) {
        auto v = reportedMember(report, member);
        return v && firstFloat(*v) == value && (sinceMs == 0 || (v->size() > 0 && (*v)[v->size() - 1].utcMs() >= sinceMs));
    };
}

class EndToEnd : public ::testing::Test {
protected:
    void startBox(Box::Options options = {})
    {
        options.jsonRpcPort = peer.port();
        box.emplace(options);
        ASSERT_TRUE(box->waitUntilServing()) << box->serverOutput();
        ems.emplace();
        client.emplace();
        ASSERT_TRUE(client->connected());
        ASSERT_TRUE(client->enableReports(kCls1, "reportControl0101"));
    }

    // Writes a schedule whose start time has just passed and waits until the box runs it.
    void runSchedule(float firstValue)
    {
        ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {firstValue, firstValue / 2}, nowMs() - 1500, 600));
        ASSERT_TRUE(eventually([&] {
            return client->readInt(kCls1, kSchdSt) == 4 && client->readFloat(kCls1, kAnOut) == firstValue;
        })) << box->serverOutput();
    }

    JsonRpcPeer peer;
    std::optional<Box> box;
    std::optional<EmsClient> ems;
    std::optional<BoxClient> client;
};

TEST_F(EndToEnd, AScheduleWrittenOverMmsReachesTheModelTheReportsTheEmsAndTheJsonRpcPeer)
{
    const std::uint64_t startMs = nowMs();
    ASSERT_NO_FATAL_FAILURE(startBox());
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));

    EXPECT_EQ(client->readString(kCls1, kActSchdRef), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_TRUE(eventually([&] { return client->readFloat(kCls1, kValMV) == kSetPoint; }));
    EXPECT_EQ(client->readFloat(kCls1, std::string(kNode) + "$MX$ValMV$mag$f"), kSetPoint);
    EXPECT_EQ(client->readInt(kCls1, std::string(kNode) + "$ST$SchdEntr$stVal"), 1);

    // ValMV and TotW are measured values (trigger option data update only): every update must be reported.
    EXPECT_TRUE(client->waitForReport(carries(kAnOut1, kSetPoint, startMs))) << "no fresh report of AnOut1";
    EXPECT_TRUE(client->waitForReport(carries(kControllerValMV, kSetPoint))) << "no report of the controller's ValMV";
    EXPECT_TRUE(client->waitForReport([](const InformationReport& r) {
        auto v = reportedMember(r, kEmpSPrg1SchdSt);
        return v && v->size() > 0 && (*v)[0].toInt64() == 4;
    })) << "no report of SchdSt";

    ASSERT_TRUE(eventually([&] { return !firstPublication(*ems).empty(); }));
    const auto six = firstPublication(*ems);
    EXPECT_EQ(names(six), kSixSignals);
    EXPECT_EQ(six[4].value, static_cast<std::int64_t>(kSetPoint));
    EXPECT_EQ(six[2].value, 3);  // kW

    ASSERT_TRUE(eventually([&] { return peer.requestCount() >= 1; })) << box->serverOutput();
    const auto request = peer.requests().back();
    EXPECT_EQ(request["method"], "updateEnergyData");
    EXPECT_EQ(request["jsonrpc"], "2.0");
    EXPECT_EQ(request["params"], nlohmann::json::array({static_cast<std::int64_t>(kSetPoint), 0}));
    EXPECT_TRUE(box->server().waitForOutput("JsonrpcMapper -> Successfully sent values to server."));

    // The EMS writes the site's total power.
    const std::size_t before = ems->signals("totw").size();
    ems->setTotw(1500, 1700000000, 0);
    ASSERT_TRUE(eventually([&] { return ems->signals("totw").size() > before; }));
    const auto totw = ems->signals("totw").back();
    EXPECT_EQ(std::tuple(totw.value, totw.time, totw.reserved),
              (std::tuple<std::int64_t, std::uint64_t, std::int32_t>{1500, 1700000000, 0}));
    EXPECT_EQ(client->readFloat(kCls1, kTotWMag), 1500.0f);
    EXPECT_TRUE(client->waitForReport(carries(kTotW, 1500.0f))) << "no report of TotW";
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
    ASSERT_NO_FATAL_FAILURE(
        startBox({.jsonRpcPort = {}, .clockOffsetMs = static_cast<std::int64_t>(k2040 - nowMs()), .syslog = &syslog}));
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {kSetPoint, 1.0f}, kStart, 600));

    // The first start time reaches the schedule manager to the millisecond.
    ASSERT_TRUE(box->scheduleManager().waitForOutput(" start1=2222164800789 ")) << box->scheduleManager().output();
    const std::string trace = box->scheduleManager().output();
    const auto line = trace.rfind('\n', trace.find(" start1=2222164800789 ")) + 1;
    EXPECT_EQ(trace.substr(line, trace.find(" prio=", line) - line), "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001");
    ASSERT_TRUE(eventually([&] { return client->readInt(kCls1, kSchdSt) == 3; })) << box->serverOutput();  // ready
    EXPECT_TRUE(eventually([&] {
        const auto next = client->read(kCls1, std::string(kNode) + "$ST$NxtStrTm$stVal");
        return next && next->utcMs() == kStart;
    })) << "NxtStrTm of the ready schedule";
    const auto stamped = client->read(kCls1, std::string(kNode) + "$ST$SchdSt$t");
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

TEST_F(EndToEnd, WithoutTheScheduleManagerTheBoxKeepsServingAndPublishesNothingInvented)
{
    ASSERT_NO_FATAL_FAILURE(startBox());
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));
    ASSERT_TRUE(eventually([&] { return peer.requestCount() >= 1 && !ems->signals("AnOut_mxVal_f").empty(); }));
    const std::size_t requests = peer.requestCount();
    const std::size_t setPoints = ems->signals("AnOut_mxVal_f").size();

    box->scheduleManager().signal(SIGKILL);
    box->scheduleManager().waitForExit(10s);
    const std::size_t since = box->server().output().size();
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {777.0f, 1.0f}, nowMs() - 1500, 600));
    for (const char* error : {"Error addScheduleJSON: ", "Error updateStatusOfSchedule: ", "Error getActivateSchedule: "})
        EXPECT_TRUE(eventually([&] { return box->server().output().find(error, since) != std::string::npos; }))
            << error << "\n" << box->serverOutput();

    // Still serving, to this client and to a new one, with the last real values.
    EXPECT_TRUE(box->server().running());
    BoxClient another;
    ASSERT_TRUE(another.connected());
    EXPECT_EQ(another.readFloat(kCls1, kAnOut), kSetPoint);
    EXPECT_EQ(client->readFloat(kCls1, kValMV), kSetPoint);
    EXPECT_EQ(client->readInt(kCls1, kSchdSt), 4);
    EXPECT_EQ(client->readString(kCls1, kActSchdRef), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(client->readFloat(kCls1, std::string(kNode) + "$SP$ValASG001$setMag$f"), 777.0f);
    for (float invented : {1234.0f, 777.0f})
        EXPECT_FALSE(client->waitForReport(carries(kAnOut1, invented), 1s));
    EXPECT_EQ(peer.requestCount(), requests);
    EXPECT_EQ(ems->signals("AnOut_mxVal_f").size(), setPoints);

    // The EMS side does not depend on the schedule manager.
    ems->setTotw(-250, 1700000100, 0);
    EXPECT_TRUE(eventually([&] { return client->readFloat(kCls1, kTotWMag) == -250.0f; }));
}

TEST_F(EndToEnd, WithoutTheJsonRpcPeerTheBoxKeepsServingAndSignalling)
{
    ASSERT_NO_FATAL_FAILURE(startBox());
    peer.stop();
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));
    EXPECT_TRUE(box->server().waitForErrorOutput("JsonrpcMapper -> Error sending values: ")) << box->serverOutput();
    ASSERT_TRUE(eventually([&] { return !firstPublication(*ems).empty(); }));
    EXPECT_EQ(names(firstPublication(*ems)), kSixSignals);

    // A second schedule still goes all the way through.
    const std::size_t setPoints = ems->signals("AnOut_mxVal_f").size();
    ASSERT_NO_FATAL_FAILURE(runSchedule(3100.0f));
    EXPECT_TRUE(eventually([&] { return ems->signals("AnOut_mxVal_f").size() > setPoints; }));
    EXPECT_TRUE(box->server().running());
    EXPECT_EQ(peer.requestCount(), 0u);
}

}  // namespace
