// The IecServer process with the reference schedule-manager service on a
// private system bus; our MMS client writes schedule settings over TCP and
// the service's trace shows what reached it and in which order.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "private_bus.hpp"

#include <filesystem>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using iec61850::client::VariableRef;
using iec61850::mms::Value;
using testsupport::ChildProcess;

using namespace boxtest;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t countStarting(const std::vector<std::string>& lines, const std::string& start)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(start); }));
}

class ScheduleOverTcp : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new testsupport::TempDir();
        bus = new testsupport::PrivateBus();
        std::filesystem::create_directories(dir->path() + "/box/uploaded_files");
        manager = new ChildProcess(SCHEDULE_MANAGER_PATH,
                                   {"--trace", "--state-file", dir->path() + "/schedule-manager.json"});
        if (!manager->waitForOutput("ready")) return;
        server = new ChildProcess(IECSERVER_PATH, {}, {.workingDirectory = dir->path() + "/box", .environment = {}});
        server->waitForOutput("Waiting for IEC Clients...\n", 60s);
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete manager;
        delete bus;
        delete dir;
        server = nullptr;
        manager = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(server && server->output().find("Waiting for IEC Clients...\n") != std::string::npos)
            << (server ? server->output() + server->errorOutput() : manager->errorOutput());
        ASSERT_TRUE(connectTo(client));
        traceStart = trace().size();
        serverStart = server->output().size();
    }

    // Trace lines of the service since the test began.
    std::vector<std::string> newTrace() const
    {
        auto lines = trace();
        return {lines.begin() + static_cast<std::ptrdiff_t>(traceStart), lines.end()};
    }
    static std::vector<std::string> trace() { return linesOf(manager->output()); }
    std::string newServerOutput() const { return server->output().substr(serverStart); }

    bool write(std::vector<VariableRef> variables, std::vector<Value> values)
    {
        const auto results = client.write(variables, values);
        if (!results.ok()) return false;
        for (const auto& r : *results)
            if (!r.ok()) return false;
        return true;
    }

    // Writes SchdIntv of SysSoft_FSCH110001 in CLS2 and waits until its device
    // pass is over. Everything written before has been handled by then: in an
    // earlier drain, or in the same one, where this pair sorts last.
    void settle()
    {
        constexpr const char* kMarker = "addScheduleJSONTrg cls=2 ln=SysSoft_FSCH110001 ";
        const std::size_t before = countStarting(newTrace(), kMarker);
        ASSERT_TRUE(write({{kCls2, "SysSoft_FSCH110001$SP$SchdIntv$setVal"}}, {Value::integer(60)}));
        ASSERT_TRUE(eventually([&] {
            const auto lines = newTrace();
            std::size_t uploads = 0;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (lines[i].starts_with(kMarker)) ++uploads;
                if (uploads > before && lines[i].starts_with("getActivateSchedule cls=2")) return true;
            }
            return false;
        })) << manager->output();
        settled = newTrace();
    }

    static inline testsupport::TempDir* dir = nullptr;
    static inline testsupport::PrivateBus* bus = nullptr;
    static inline ChildProcess* manager = nullptr;
    static inline ChildProcess* server = nullptr;
    iec61850::client::MmsConnection client;
    std::size_t traceStart = 0;
    std::size_t serverStart = 0;
    std::vector<std::string> settled;
};

TEST_F(ScheduleOverTcp, TwoSettingsOfOneNodeInOneDrainGiveOneUploadAndOneDevicePass)
{
    ASSERT_TRUE(write({{kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f"}, {kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm"}},
                      {Value::float32(12.5f), Value::utcTimeMs(nowMs() + 3'600'000)}));
    settle();

    EXPECT_EQ(countStarting(settled, "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 "), 1u);
    EXPECT_EQ(countStarting(settled, "updateStatusOfSchedule cls=1 "), 10u);
    EXPECT_EQ(countStarting(settled, "getActivateSchedule cls=1"), 1u);
    EXPECT_EQ(countStarting(linesOf(newServerOutput()),
                            "------- processIEC ValuesInSM: Logical Node Name: EmpSPrg_FSCH020001, CLS Name: CLS1"),
              1u);
}

TEST_F(ScheduleOverTcp, WritesInBothDevicesAreHandledUploadThenPassCls1First)
{
    ASSERT_TRUE(write({{kCls1, "EmpWCmd_FSCH030001$SP$SchdIntv$setVal"}, {kCls2, "EmpWCmd_FSCH030001$SP$SchdIntv$setVal"}},
                      {Value::integer(900), Value::integer(900)}));
    settle();

    std::vector<std::string> order;
    for (const std::string& line : settled) {
        if (line.starts_with("addScheduleJSON cls=1 ln=EmpWCmd_FSCH030001 ")) order.push_back("upload 1");
        if (line.starts_with("addScheduleJSON cls=2 ln=EmpWCmd_FSCH030001 ")) order.push_back("upload 2");
        if (line.starts_with("getActivateSchedule")) order.push_back(line);
    }
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4),
              (std::vector<std::string>{"upload 1", "getActivateSchedule cls=1", "upload 2", "getActivateSchedule cls=2"}));
}

TEST_F(ScheduleOverTcp, AWriteToASecondInstanceRecordsNothing)
{
    ASSERT_TRUE(write({{kCls1, "EmpSPrg_FSCH020002$SP$ValASG001$setMag$f"}}, {Value::float32(3.0f)}));
    settle();
    EXPECT_EQ(countStarting(settled, "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020002"), 0u);
    EXPECT_EQ(countStarting(settled, "addScheduleJSON"), 1u);  // the settling write's own
    EXPECT_EQ(newServerOutput().find("EmpSPrg_FSCH020002"), std::string::npos);
}

TEST_F(ScheduleOverTcp, OperatingEnaReqLeadsToAnUpload)
{
    const Value oper = Value::structure({Value::boolean(true),
                                         Value::structure({Value::integer(3), Value::octetString({})}),
                                         Value::unsignedInteger(1), Value::utcTimeMs(nowMs()), Value::boolean(false),
                                         Value::bitString(2)});
    ASSERT_TRUE(write({{kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper"}}, {oper}));
    settle();
    EXPECT_EQ(countStarting(settled, "addScheduleJSON cls=1 ln=EmpSPrg_FSCH020001 "), 1u);
}

}  // namespace
