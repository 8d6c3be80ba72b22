// What the write handler logs for each kind of value, read from a real
// syslog socket: this test program runs itself again with the capture as its
// /dev/log and logs there.
#include "box_model.hpp"
#include "iec_server.hpp"
#include "syslog_capture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <syslog.h>

namespace {

using iec61850::mms::Value;
using testsupport::SyslogCapture;

void handle(DataAttribute* attribute, const Value* value)
{
    writeAccessHandler(attribute, const_cast<Value*>(value), nullptr, nullptr);
}

// Run only as the child of ValueLogging.EveryKindAtNoticePriority.
TEST(ValueLoggingChild, DISABLED_LogsOneValueOfEachKind)
{
    openlog("IecServerLog", LOG_PID, LOG_USER);
    DataAttribute* setMag = box::findDataAttribute("CLS1", "EmpSPrg_FSCH020001", "ValASG005", "setMag");
    ASSERT_NE(setMag, nullptr);

    handle(setMag, nullptr);
    const Value values[] = {
        Value::float32(12.5f),
        Value::structure({Value::float32(7.25f)}),
        Value::structure(std::vector<Value>{}),
        Value::boolean(true),
        Value::integer(-42),
        Value::unsignedInteger(4000000000u),
        Value::visibleString("plan"),
        Value::utcTimeMs(1'800'000'000'500),
        Value::array({Value::boolean(false), Value::integer(3), Value::float32(0.5f), Value::visibleString("x"),
                      Value::utcTimeMs(0)}),
        Value::octetString({}),
    };
    for (const Value& value : values)
        handle(setMag, &value);
}

std::vector<std::string> expectedMessages()
{
    const std::vector<std::string> valueLines[] = {
        {"Value: nullptr"},
        {"Value: float: 12.500000"},
        {"Value: float (MMS_STRUCTURE) 7.250000"},
        {"Value: structure without members"},
        {"Value: bool: 1"},
        {"Value: int32: -42"},
        {"Value: uint32: 4000000000"},
        {"Value:std::string: plan"},
        {"Value: MMS_UTC_TIME: 1800000000"},
        {"Value: array with size 5", "Value: bool: 0", "Value: int32: 3", "Value: float: 0.500000",
         "Value:std::string: x", "Unknown value type!"},
        {"Unknown value type!"},
    };
    std::vector<std::string> messages;
    for (const auto& lines : valueLines) {
        messages.push_back(
            "## writeAccess Handler called! CLS1 LogicalNode: EmpSPrg_FSCH020001, DataObject: ValASG005, "
            "DataAttribute: setMag");
        messages.insert(messages.end(), lines.begin(), lines.end());
    }
    return messages;
}

TEST(ValueLogging, EveryKindAtNoticePriority)
{
    if (auto reason = SyslogCapture::unavailableReason(); !reason.empty())
        GTEST_SKIP() << "no syslog capture: " << reason;
    SyslogCapture capture;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto child = capture.start(self, {"--gtest_filter=ValueLoggingChild.*", "--gtest_also_run_disabled_tests"});
    ASSERT_EQ(child->waitForExit(), 0) << child->output() << child->errorOutput();

    const auto expected = expectedMessages();
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
    EXPECT_EQ(messages, expected);
}

}  // namespace
