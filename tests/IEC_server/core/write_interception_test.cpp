// Client writes to the box's schedule nodes over TCP, recorded by the write
// handlers and drained in set order; how much history the CLS log keeps.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "iec_server.hpp"

#include "iec61850/ied/sqlite_log_storage.hpp"

#include <string>
#include <vector>

namespace {

using namespace boxtest;
using iec61850::mms::Value;

std::vector<ChangedNode> drainAll()
{
    std::vector<ChangedNode> handedOn;
    drainPendingChanges([&](const ChangedNode& change) {
        handedOn.push_back(change);
        return true;
    });
    return handedOn;
}

std::set<ChangedNode> pending()
{
    std::lock_guard lock(changeMutex);
    return pendingChanges;
}

class Interception : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        iedServer = IedServer_create(box::staticModel());
        ASSERT_NE(iedServer, nullptr);
        registerWriteHandlers(context, 1);
        registerWriteHandlers(context, 2);
        startOnLoopback(iedServer);
    }
    static void TearDownTestSuite()
    {
        IedServer_destroy(iedServer);
        iedServer = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(IedServer_isRunning(iedServer));
        drainAll();
        ASSERT_TRUE(connectTo(connection, static_cast<std::uint16_t>(IedServer_getPort(iedServer))));
    }

    inline static ServerContext context{""};
    iec61850::client::MmsConnection connection;
};

TEST_F(Interception, DrainHandsOnInNodeThenDeviceOrder)
{
    ASSERT_TRUE(connection.write(kCls2, "EmpSPrg_FSCH020001$SP$ValASG001$setMag$f", Value::float32(1.0f)).ok());
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG001$setMag$f", Value::float32(2.0f)).ok());
    ASSERT_TRUE(connection.write(kCls1, "DsoECmd_FSCH250001$SP$ValASG001$setMag$f", Value::float32(3.0f)).ok());
    ASSERT_TRUE(connection.write(kCls1, "DsoECmd_FSCH250001$SP$StrTm01$setTm", Value::utcTimeMs(1'800'000'000'000)).ok());

    const std::vector<ChangedNode> expected{
        {"DsoECmd_FSCH250001", "CLS1"}, {"EmpSPrg_FSCH020001", "CLS1"}, {"EmpSPrg_FSCH020001", "CLS2"}};
    EXPECT_EQ(drainAll(), expected);
    EXPECT_TRUE(pending().empty());
    EXPECT_TRUE(drainAll().empty());
}

TEST_F(Interception, OnlyTheFirstInstanceOfEachScheduleTypeIsIntercepted)
{
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020002$SP$ValASG005$setMag$f", Value::float32(4.0f)).ok());
    ASSERT_TRUE(connection.write(kCls2, "SysSoft_FSCH110002$SP$ValASG001$setMag$f", Value::float32(4.0f)).ok());
    EXPECT_TRUE(pending().empty());

    // Instance 1 of EmpSPrg_FSCH0200 holds 100 values only.
    EXPECT_FALSE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG101$setMag$f", Value::float32(5.0f)).ok());
    EXPECT_TRUE(pending().empty());

    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020101$SP$ValASG300$setMag$f", Value::float32(6.0f)).ok());
    EXPECT_EQ(pending(), (std::set<ChangedNode>{{"EmpSPrg_FSCH020101", "CLS1"}}));

    // A write without a value is accepted and recorded as well.
    EXPECT_EQ(writeAccessHandler(attributeAt("CLS2/DsoDCmd_FSCH150001.StrTm01.setTm"), nullptr, nullptr, &context),
              DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(pending(), (std::set<ChangedNode>{{"EmpSPrg_FSCH020101", "CLS1"}, {"DsoDCmd_FSCH150001", "CLS2"}}));
}

// The CLS log records each TotW write of the EMS (a data update, about one a
// second): a day of them leaves the schedule history before them in the log.
TEST(LogRetention, ADayOfTotWWritesKeepsTheScheduleHistoryBeforeThem)
{
    using namespace iec61850::ied;
    testsupport::TempDir dir;
    auto log = SqliteLogStorage::open(dir.path() + "/IecServer_CLS1_logCLS1.sqlite",
                                      {.maxEntries = clsLogRetention.maxEntries, .maxBytes = clsLogRetention.maxBytes});
    ASSERT_TRUE(log);
    const Value quality = Value::bitString(13);
    auto entry = [&](const char* member, Value value, std::uint64_t timeMs) {
        Value reason = Value::bitString(6);
        reason.setBit(3, true);
        value = Value::structure({std::move(value), quality, Value::utcTimeMs(timeMs)});
        return LogEntry{timeMs, {}, {{std::string(kCls1) + "/" + member, std::move(value), std::move(reason)}}};
    };
    const std::uint64_t start = 1796544000000ull;
    ASSERT_TRUE(log->append(entry("EmpSPrg_FSCH020001$ST$SchdSt", Value::integer(2), start)));
    for (std::uint64_t second = 1; second <= 24 * 3600; ++second) {
        ASSERT_TRUE(log->append(entry("MMXU001$MX$TotW", Value::structure({Value::float32(1.5f * second)}),
                                      start + second * 1000)));
        if (second % 1000 == 0) {
            ASSERT_TRUE(log->flush());
        }
    }
    EXPECT_EQ(log->size(), 24u * 3600 + 1);
    EXPECT_EQ(log->oldest(), (LogPosition{start, entryIdFromNumber(1)}));
    EXPECT_EQ(log->lost(), 0u);
}

}  // namespace
