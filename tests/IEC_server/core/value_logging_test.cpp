// What the write handler logs for each kind of value, read from a real
// syslog socket: this test program runs itself again with the capture as its
// /dev/log and logs there.
#include "box_model.hpp"
#include "iec_server.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "syslog_capture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <syslog.h>

namespace {

using iec61850::mms::Value;
using testsupport::SyslogCapture;

// Each value written and the lines the handler logs for it after its first line.
std::vector<std::pair<Value, std::vector<std::string>>> valuesAndLines()
{
    return {
        {Value::float32(12.5f), {"Value: float: 12.500000"}},
        {Value::structure({Value::float32(7.25f)}), {"Value: float (MMS_STRUCTURE) 7.250000"}},
        {Value::structure(std::vector<Value>{}), {"Value: structure without members"}},
        {Value::boolean(true), {"Value: bool: 1"}},
        {Value::integer(-42), {"Value: int32: -42"}},
        {Value::unsignedInteger(4000000000u), {"Value: uint32: 4000000000"}},
        {Value::visibleString("plan"), {"Value:std::string: plan"}},
        {Value::utcTimeMs(1'800'000'000'500), {"Value: MMS_UTC_TIME: 1800000000"}},
        {Value::array({Value::boolean(false), Value::integer(3), Value::float32(0.5f), Value::visibleString("x"),
                       Value::utcTimeMs(0)}),
         {"Value: array with size 5", "Value: bool: 0", "Value: int32: 3", "Value: float: 0.500000",
          "Value:std::string: x", "Unknown value type!"}},
        {Value::octetString({}), {"Unknown value type!"}},
    };
}

// Run only as the child of ValueLogging.EveryKindAtNoticePriority.
TEST(ValueLoggingChild, DISABLED_LogsOneValueOfEachKind)
{
    openlog("IecServerLog", LOG_PID, LOG_USER);
    DataAttribute* setMag = box::findDataAttribute("CLS1", "EmpSPrg_FSCH020001", "ValASG005", "setMag");
    ASSERT_NE(setMag, nullptr);
    writeAccessHandler(setMag, nullptr, nullptr, nullptr);
    for (auto& [value, lines] : valuesAndLines())
        writeAccessHandler(setMag, &value, nullptr, nullptr);
    // A log storage that loses an entry says so in the same log.
    testsupport::TempDir dir;
    auto log = iec61850::ied::SqliteLogStorage::open(dir.path() + "/log.sqlite", {.queueCapacity = 0});
    ASSERT_TRUE(log);
    EXPECT_FALSE(log->append({}));
}

TEST(ValueLogging, EveryKindAtNoticePriority)
{
    if (auto reason = SyslogCapture::unavailableReason(); !reason.empty())
        GTEST_SKIP() << "no syslog capture: " << reason;
    SyslogCapture capture;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto child = capture.start(self, {"--gtest_filter=ValueLoggingChild.*", "--gtest_also_run_disabled_tests"});
    ASSERT_EQ(child->waitForExit(), 0) << child->output() << child->errorOutput();

    const std::string handled = "## writeAccess Handler called! CLS1 LogicalNode: EmpSPrg_FSCH020001, "
                                "DataObject: ValASG005, DataAttribute: setMag";
    std::vector<std::string> expected{handled, "Value: nullptr"};
    for (const auto& [value, lines] : valuesAndLines()) {
        expected.push_back(handled);
        expected.insert(expected.end(), lines.begin(), lines.end());
    }
    const std::string lost = "Log entries lost in ";
    expected.push_back(lost);
    ASSERT_TRUE(capture.waitUntil([&](const auto& records) { return records.size() >= expected.size(); }))
        << capture.records().size() << " records";
    std::vector<std::string> messages;
    for (const auto& record : capture.records()) {
        EXPECT_EQ(record.ident, "IecServerLog");
        EXPECT_EQ(record.pid, child->pid());
        EXPECT_EQ(record.facility, 1) << record.raw;
        EXPECT_EQ(record.severity, LOG_NOTICE) << record.raw;
        messages.push_back(record.message);
    }
    ASSERT_EQ(messages.size(), expected.size());
    EXPECT_TRUE(messages.back().starts_with(lost) && messages.back().ends_with(": the write queue is full (0 lost before)"))
        << messages.back();
    messages.back() = lost;
    EXPECT_EQ(messages, expected);
}

}  // namespace
