// The whole box with real parts: private system bus, schedule-manager service,
// IecServer, a JSON-RPC peer, an MMS client and an EMS-side D-Bus client.
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {

using namespace boxtest;
using iec61850::mms::InformationReport;

constexpr const char* kNode = "EmpSPrg_FSCH020001";
constexpr float kSetPoint = -4200.0f;
const std::vector<std::string> kSixSignals = {"AnOut1_maxVal_f",      "AnOut1_minVal_f", "AnOut1_units_multiplier",
                                              "AnOut_mxVal_Schedule", "AnOut_mxVal_f",   "totw"};

std::vector<std::string> names(const std::vector<EmsClient::Signal>& signals)
{
    std::vector<std::string> result;
    for (const auto& s : signals)
        result.push_back(s.name);
    return result;
}

// The six signals of the first set-point publication, once they are all there.
std::optional<std::vector<EmsClient::Signal>> firstPublication(const EmsClient& ems)
{
    const auto signals = ems.signals();
    auto first = std::find_if(signals.begin(), signals.end(), [](const auto& s) { return s.name == kSixSignals[0]; });
    if (signals.end() - first < 6)
        return std::nullopt;
    return std::vector<EmsClient::Signal>(first, first + 6);
}

// Waits for text in what the server writes to standard output after the first `since` characters.
bool waitForOutputAfter(testsupport::ChildProcess& server, std::size_t since, const std::string& text)
{
    return eventually([&] { return server.output().find(text, since) != std::string::npos; });
}

std::size_t countNamed(const std::vector<EmsClient::Signal>& signals, const std::string& name)
{
    return static_cast<std::size_t>(
        std::count_if(signals.begin(), signals.end(), [&](const auto& s) { return s.name == name; }));
}

std::string describe(const std::vector<InformationReport>& reports)
{
    std::string text;
    for (const auto& r : reports) {
        for (const auto& v : r.results)
            text += v.toString() + " ";
        text += "\n";
    }
    return text;
}

auto carries(std::size_t member, float value)
{
    return [member, value](const InformationReport& report) {
        auto v = reportedMember(report, member);
        return v && firstFloat(*v) == value;
    };
}

// The member's value and its time stamp (its last element), set no earlier than sinceMs.
auto carriesFresh(std::size_t member, float value, std::uint64_t sinceMs)
{
    return [member, value, sinceMs](const InformationReport& report) {
        auto v = reportedMember(report, member);
        return v && firstFloat(*v) == value && v->size() > 0 && (*v)[v->size() - 1].utcMs() >= sinceMs;
    };
}

class EndToEnd : public ::testing::Test {
protected:
    void startBox(bool withPeer = true)
    {
        box.emplace(Box::Options{.jsonRpcPort = withPeer ? std::optional<int>(peer.port()) : std::nullopt});
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
        const bool running = eventually([&] {
            return client->readInt(kCls1, std::string(kNode) + "$ST$SchdSt$stVal") == 4 &&
                   client->readFloat(kCls1, "ActPow_GGIO001$MX$AnOut1$mxVal$f") == firstValue;
        });
        ASSERT_TRUE(running) << box->serverOutput();
    }

    JsonRpcPeer peer;
    std::optional<Box> box;
    std::optional<EmsClient> ems;
    std::optional<BoxClient> client;
};

TEST_F(EndToEnd, AScheduleWrittenOverMmsReachesTheModelTheReportsTheEmsAndTheJsonRpcPeer)
{
    const std::uint64_t startMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    ASSERT_NO_FATAL_FAILURE(startBox());
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));

    EXPECT_EQ(client->readInt(kCls1, std::string(kNode) + "$ST$SchdSt$stVal"), 4);
    EXPECT_EQ(client->readString(kCls1, "ActPow_FSCC001$ST$ActSchdRef$stVal"), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(client->readFloat(kCls1, "ActPow_GGIO001$MX$AnOut1$mxVal$f"), kSetPoint);
    EXPECT_TRUE(eventually([&] { return client->readFloat(kCls1, "ActPow_FSCC001$MX$ValMV$mag$f") == kSetPoint; }));
    EXPECT_EQ(client->readFloat(kCls1, std::string(kNode) + "$MX$ValMV$mag$f"), kSetPoint);
    EXPECT_EQ(client->readInt(kCls1, std::string(kNode) + "$ST$SchdEntr$stVal"), 1);

    EXPECT_TRUE(client->waitForReport(carriesFresh(kAnOut1, kSetPoint, startMs))) << "no report of AnOut1";
    EXPECT_TRUE(client->waitForReport([](const InformationReport& r) {
        auto v = reportedMember(r, kEmpSPrg1SchdSt);
        return v && v->size() > 0 && (*v)[0].toInt64() == 4;
    })) << "no report of SchdSt";

    ASSERT_TRUE(eventually([&] { return firstPublication(*ems).has_value(); }));
    const auto six = *firstPublication(*ems);
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
    const std::size_t before = ems->signalCount();
    ems->setTotw(1500, 1700000000, 0);
    ASSERT_TRUE(eventually([&] { return ems->signalCount() > before; }));
    const auto totw = ems->signals().back();
    EXPECT_EQ(totw.name, "totw");
    EXPECT_EQ(totw.value, 1500);
    EXPECT_EQ(totw.time, 1700000000u);
    EXPECT_EQ(totw.reserved, 0);
    EXPECT_EQ(client->readFloat(kCls1, "MMXU001$MX$TotW$mag$f"), 1500.0f);
}

// ValMV and TotW are measured values (trigger option data update only): every update, changed or not,
// must reach the report of a block that includes data update.
TEST_F(EndToEnd, ChangedMeasuredValuesReachTheReports)
{
    ASSERT_NO_FATAL_FAILURE(startBox());
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));
    EXPECT_TRUE(client->waitForReport(carries(kControllerValMV, kSetPoint)))
        << "no report of the controller's ValMV\n" << describe(client->reports());
    ems->setTotw(1500, 1700000000, 0);
    EXPECT_TRUE(client->waitForReport(carries(kTotW, 1500.0f))) << "no report of TotW\n" << describe(client->reports());
}

TEST_F(EndToEnd, WithoutTheScheduleManagerTheBoxKeepsServingAndPublishesNothingInvented)
{
    ASSERT_NO_FATAL_FAILURE(startBox());
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));
    ASSERT_TRUE(eventually([&] { return peer.requestCount() >= 1; }));
    ASSERT_TRUE(eventually([&] { return countNamed(ems->signals(), "AnOut_mxVal_f") >= 1; }));
    const std::size_t requests = peer.requestCount();
    const std::size_t setPoints = countNamed(ems->signals(), "AnOut_mxVal_f");

    box->killScheduleManager();
    const std::size_t since = box->server().output().size();
    ASSERT_TRUE(client->writeSchedule(kCls1, kNode, {777.0f, 1.0f}, nowMs() - 1500, 600));
    for (const char* error : {"Error addScheduleJSON: ", "Error updateStatusOfSchedule: ", "Error getActivateSchedule: "})
        EXPECT_TRUE(waitForOutputAfter(box->server(), since, error)) << error << "\n" << box->serverOutput();

    // Still serving, to this client and to a new one, with the last real values.
    EXPECT_TRUE(box->server().running());
    BoxClient another;
    ASSERT_TRUE(another.connected());
    EXPECT_EQ(another.readFloat(kCls1, "ActPow_GGIO001$MX$AnOut1$mxVal$f"), kSetPoint);
    EXPECT_EQ(client->readFloat(kCls1, "ActPow_FSCC001$MX$ValMV$mag$f"), kSetPoint);
    EXPECT_EQ(client->readInt(kCls1, std::string(kNode) + "$ST$SchdSt$stVal"), 4);
    EXPECT_EQ(client->readString(kCls1, "ActPow_FSCC001$ST$ActSchdRef$stVal"), "@CLS1/EmpSPrg_FSCH020001");
    EXPECT_EQ(client->readFloat(kCls1, std::string(kNode) + "$SP$ValASG001$setMag$f"), 777.0f);
    for (float invented : {1234.0f, 777.0f})
        EXPECT_FALSE(client->waitForReport(carries(kAnOut1, invented), 1s));
    EXPECT_EQ(peer.requestCount(), requests);
    EXPECT_EQ(countNamed(ems->signals(), "AnOut_mxVal_f"), setPoints);

    // The EMS side does not depend on the schedule manager.
    ems->setTotw(-250, 1700000100, 0);
    EXPECT_TRUE(eventually([&] { return client->readFloat(kCls1, "MMXU001$MX$TotW$mag$f") == -250.0f; }));
}

TEST_F(EndToEnd, WithoutTheJsonRpcPeerTheBoxKeepsServingAndSignalling)
{
    ASSERT_NO_FATAL_FAILURE(startBox());
    peer.stop();
    ASSERT_NO_FATAL_FAILURE(runSchedule(kSetPoint));
    EXPECT_TRUE(box->server().waitForErrorOutput("JsonrpcMapper -> Error sending values: ")) << box->serverOutput();
    ASSERT_TRUE(eventually([&] { return firstPublication(*ems).has_value(); }));
    EXPECT_EQ(names(*firstPublication(*ems)), kSixSignals);

    // A second schedule still goes all the way through.
    const std::size_t setPoints = countNamed(ems->signals(), "AnOut_mxVal_f");
    ASSERT_NO_FATAL_FAILURE(runSchedule(3100.0f));
    EXPECT_TRUE(eventually([&] { return countNamed(ems->signals(), "AnOut_mxVal_f") > setPoints; }));
    EXPECT_TRUE(box->server().running());
    EXPECT_EQ(peer.requestCount(), 0u);
}

}  // namespace
