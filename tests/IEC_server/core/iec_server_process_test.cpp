// IecServer started as a user starts it, on a private system bus, in a
// working directory of its own, with its syslog records captured; our client
// talks to it on 127.0.0.1:4102.
#include "child_process.hpp"
#include "private_bus.hpp"
#include "syslog_capture.hpp"

#include "iec61850/client/mms_connection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace iec61850;
using mms::Value;
using testsupport::ChildProcess;
using testsupport::SyslogCapture;
using testsupport::SyslogRecord;

namespace fs = std::filesystem;

constexpr std::uint16_t kPort = 4102;
constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";
constexpr const char* kScheduleManager = "de.brenvolta.vantor.iec61850.schedulemanager";

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

std::vector<std::string> messagesOf(const std::vector<SyslogRecord>& records)
{
    std::vector<std::string> messages;
    for (const auto& r : records)
        messages.push_back(r.message);
    return messages;
}

const SyslogRecord* findRecord(const std::vector<SyslogRecord>& records, const std::string& message)
{
    auto it = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.message == message; });
    return it == records.end() ? nullptr : &*it;
}

// Every method call on the bus addressed to the schedule-manager service,
// answered or not.
class ScheduleManagerCalls {
public:
    explicit ScheduleManagerCalls(const std::string& busAddress)
        : monitor_("/usr/bin/dbus-monitor",
                   {"--address", busAddress, std::string("destination='") + kScheduleManager + "'"})
    {
        ready_ = monitor_.waitForOutput("member=NameLost", std::chrono::seconds(10));
    }
    bool ready() const { return ready_; }
    std::size_t count(const std::string& member) const { return ::count(monitor_.output(), "member=" + member + "\n"); }
    std::size_t uploads() const { return count("addScheduleJSON") + count("addScheduleJSONTrg"); }
    std::size_t total() const { return ::count(monitor_.output(), "method call "); }

private:
    ChildProcess monitor_;
    bool ready_ = false;
};

// A listening socket on the server's port, held by the test.
class PortHolder {
public:
    PortHolder()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 1) == 0;
    }
    ~PortHolder() { close(fd_); }
    bool bound() const { return bound_; }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// Another program's server may still hold the port for a moment.
bool waitForFreePort()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!PortHolder().bound()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

class IecServerProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = SyslogCapture::unavailableReason(); !reason.empty())
            GTEST_SKIP() << "syslog capture unavailable: " << reason;
        fs::create_directory(work.path() + "/uploaded_files");
        ASSERT_TRUE(waitForFreePort()) << "port 4102 stays in use";
    }

    void TearDown() override
    {
        if (server) {
            EXPECT_EQ(server->errorOutput().find("Sanitizer"), std::string::npos) << server->errorOutput();
        }
    }

    void start(const std::vector<std::string>& args = {})
    {
        server = syslog.start(IECSERVER_PATH, args, {.workingDirectory = work.path(), .environment = {}});
    }

    // Started and past its start-up pass.
    ::testing::AssertionResult startServing(const std::vector<std::string>& args = {})
    {
        start(args);
        if (!server->waitForOutput("Waiting for IEC Clients...\n"))
            return ::testing::AssertionFailure() << "not serving:\n" << server->output() << server->errorOutput();
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult connect(client::MmsConnection& connection)
    {
        client::ConnectOptions options;
        options.port = kPort;
        auto connected = connection.connect(options);
        if (connected.ok())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << connected.error().describe();
    }

    std::vector<SyslogRecord> records() const { return syslog.recordsOf(server->pid()); }

    bool waitForRecord(const std::string& message)
    {
        const long pid = server->pid();
        return syslog.waitUntil([&](const std::vector<SyslogRecord>& all) {
            return std::any_of(all.begin(), all.end(),
                               [&](const SyslogRecord& r) { return r.pid == pid && r.message == message; });
        });
    }

    std::string drainLine(const std::string& node, const std::string& device) const
    {
        return "------- processIEC ValuesInSM: Logical Node Name: " + node + ", CLS Name: " + device + "\n";
    }

    testsupport::PrivateBus bus;
    SyslogCapture syslog;
    testsupport::TempDir work;
    std::unique_ptr<ChildProcess> server;
};

TEST_F(IecServerProcess, StartsWithBannerServesOnPort4102AndWaitsForClients)
{
    ScheduleManagerCalls calls(bus.address());
    ASSERT_TRUE(calls.ready());
    ASSERT_TRUE(startServing());

    const std::string out = server->output();
    EXPECT_EQ(out.find("Debug mode enabled"), std::string::npos);
    for (const char* line : {"## IecServer initiation\n", "Filestore base path: ./uploaded_files/\n",
                             "Server is running on Port: 4102\n", "## IecServer initiation done\n\n",
                             "\nWaiting for IEC Clients...\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_EQ(count(out, "+++++++++ Acess  Handler +++++++++ \n"), 2u);
    EXPECT_LT(out.find("Server is running on Port: 4102"), out.find("Initializing DBus in IecScheduleHandling"));

    ASSERT_TRUE(waitForRecord("Waiting for IEC Clients..."));
    const auto log = records();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].message, std::string(54, '#'));
    EXPECT_EQ(log[0].severity, LOG_NOTICE);
    EXPECT_EQ(log[1].message, "IEC-Server Version: 301023.000000");
    EXPECT_EQ(log[1].severity, LOG_ERR);
    for (const auto& r : log) {
        EXPECT_EQ(r.ident, "IecServerLog");
        EXPECT_EQ(r.facility, 1) << r.raw;
    }
    const auto messages = messagesOf(log);
    const std::vector<std::string> facts{"Server started successfully on Port: 4102",
                                         "Program started by User " + std::to_string(getuid())};
    auto started = std::find(messages.begin(), messages.end(), facts[0]);
    ASSERT_NE(started, messages.end());
    EXPECT_EQ(*(started + 1), facts[1]);
    EXPECT_TRUE((started + 2)->starts_with("Server started at: ")) << *(started + 2);
    EXPECT_TRUE((started + 2)->ends_with("\n"));
    EXPECT_TRUE((started + 3)->starts_with("Server started on Host: "));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(log[static_cast<std::size_t>(started - messages.begin() + i)].severity, LOG_NOTICE);
    EXPECT_EQ(findRecord(log, "Waiting for IEC Clients...")->severity, LOG_WARNING);

    // Drains with nothing recorded say nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(server->output().ends_with("\nWaiting for IEC Clients...\n")) << server->output();

    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));
    auto identity = connection.identify();
    ASSERT_TRUE(identity.ok());
    EXPECT_EQ(identity->vendor, "Brenvolta");
    EXPECT_EQ(identity->model, "generic libIEC");
    EXPECT_EQ(identity->revision, "1.5");

    // The start-up pass has reached the schedule manager: 20 uploads.
    EXPECT_EQ(calls.uploads(), 20u);
}

TEST_F(IecServerProcess, OnlyTheExactArgumentDebugSelectsDebugMode)
{
    ASSERT_TRUE(startServing({"Debug", "-debug", "debugx", " debug"}));
    EXPECT_EQ(server->output().find("Debug mode enabled"), std::string::npos);
    server->stop();

    ASSERT_TRUE(waitForFreePort());
    start({"other", "debug", "debug"});
    ASSERT_TRUE(server->waitForOutput("Waiting for IEC Clients...\n"));
    EXPECT_EQ(server->output().rfind("Debug mode enabled\n", 0), 0u) << server->output();
    EXPECT_EQ(count(server->output(), "Debug mode enabled"), 1u);

    // The server library's own thread serves; the main loop drains.
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok());
    EXPECT_TRUE(server->waitForOutput(drainLine("EmpSPrg_FSCH020001", "CLS1")));
}

TEST_F(IecServerProcess, PortTakenEndsWith255BeforeAnyScheduleManagerCall)
{
    PortHolder holder;
    ASSERT_TRUE(holder.bound()) << "port 4102 is in use by someone else";
    ScheduleManagerCalls calls(bus.address());
    ASSERT_TRUE(calls.ready());

    start();
    EXPECT_EQ(server->waitForExit(), 255) << server->output();
    const std::string out = server->output();
    EXPECT_NE(out.find("\nStarting server failed on Port: 4102! Exit.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Server is running"), std::string::npos);
    EXPECT_EQ(out.find("Initializing DBus in IecScheduleHandling"), std::string::npos);

    ASSERT_TRUE(waitForRecord("Starting server failed on Port: 4102"));
    EXPECT_EQ(findRecord(records(), "Starting server failed on Port: 4102")->severity, LOG_ERR);
    EXPECT_EQ(findRecord(records(), "Initializing DBus in IecScheduleHandling"), nullptr);
    EXPECT_EQ(calls.total(), 0u);
}

TEST_F(IecServerProcess, ConnectionsOpenedAndClosedAreReported)
{
    ASSERT_TRUE(startServing());
    {
        client::MmsConnection connection;
        ASSERT_TRUE(connect(connection));
        ASSERT_TRUE(server->waitForOutput("Connection opened: 127.0.0.1:4102\n"));
        ASSERT_TRUE(connection.release().ok());
    }
    ASSERT_TRUE(server->waitForOutput("Connection closed: 127.0.0.1:4102\n"));
    ASSERT_TRUE(waitForRecord("Connection closed: 127.0.0.1:4102"));

    auto log = records();
    auto opened = std::find_if(log.begin(), log.end(),
                               [](const auto& r) { return r.message == "Connection opened: 127.0.0.1:4102"; });
    ASSERT_NE(opened, log.end());
    ASSERT_GE(log.end() - opened, 5);
    EXPECT_EQ(opened[1].message, "  ");
    EXPECT_TRUE(opened[2].message.starts_with("Connection closed at: ")) << opened[2].message;
    EXPECT_TRUE(opened[2].message.ends_with("\n"));
    EXPECT_EQ(opened[3].message, "Connection closed: 127.0.0.1:4102");
    EXPECT_EQ(opened[4].message, "  ");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(opened[i].severity, LOG_NOTICE);
}

TEST_F(IecServerProcess, FileServicesOnTheStoreWithDeleteAndRenameRules)
{
    const std::string store = work.path() + "/uploaded_files";
    std::ofstream(store + "/IEDSERVER.BIN") << "firmware";
    std::ofstream(store + "/iedserver.bin") << "lower";
    std::ofstream(store + "/notes.txt") << "hello";
    std::ofstream(work.path() + "/outside.txt") << "secret";
    ASSERT_TRUE(startServing());
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));

    auto listing = connection.fileDirectory();
    ASSERT_TRUE(listing.ok()) << listing.error().describe();
    EXPECT_EQ(listing->size(), 3u);
    auto content = connection.fileRead("notes.txt");
    ASSERT_TRUE(content.ok()) << content.error().describe();
    EXPECT_EQ(std::string(content->begin(), content->end()), "hello");

    EXPECT_FALSE(connection.fileDelete("IEDSERVER.BIN").ok());
    EXPECT_FALSE(connection.fileDelete("./IEDSERVER.BIN").ok());
    EXPECT_TRUE(fs::exists(store + "/IEDSERVER.BIN"));
    EXPECT_TRUE(connection.fileDelete("iedserver.bin").ok());
    EXPECT_FALSE(fs::exists(store + "/iedserver.bin"));

    EXPECT_FALSE(connection.fileRename("notes.txt", "renamed.txt").ok());
    EXPECT_FALSE(connection.fileRename("IEDSERVER.BIN", "other.bin").ok());
    EXPECT_TRUE(fs::exists(store + "/notes.txt"));
    EXPECT_FALSE(fs::exists(store + "/renamed.txt"));

    EXPECT_FALSE(connection.fileRead("../outside.txt").ok());
    EXPECT_FALSE(connection.fileDelete("../outside.txt").ok());
    EXPECT_TRUE(fs::exists(work.path() + "/outside.txt"));

    const std::string out = server->output();
    EXPECT_NE(out.find("1 ########## fileAccessHandler ##########\n"
                       "fileAccessHandler: service = 3, local-file: IEDSERVER.BIN, other-file: \n"
                       "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_DELETE\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("fileAccessHandler: service = 4, local-file: notes.txt, other-file: renamed.txt\n"
                       "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_RENAME\n"),
              std::string::npos);
    EXPECT_NE(out.find("fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_READ_DIRECTORY\n"), std::string::npos);
    EXPECT_NE(out.find("fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_OPEN\n"), std::string::npos);
}

TEST_F(IecServerProcess, ConfigurationIsWritableAfterStartDescriptionsAreNot)
{
    ASSERT_TRUE(startServing());
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));

    auto accepted = connection.write(kCls1, "MMXU001$CF$TotW$db", Value::unsignedInteger(2500));
    ASSERT_TRUE(accepted.ok()) << accepted.error().describe();
    auto deadband = connection.read(kCls1, "MMXU001$CF$TotW$db");
    ASSERT_TRUE(deadband.ok());
    EXPECT_EQ(deadband->toUint32(), 2500u);

    EXPECT_FALSE(connection.write(kCls1, "LLN0$DC$NamPlt$vendor", Value::visibleString("someone")).ok());
    auto vendor = connection.read(kCls1, "LLN0$DC$NamPlt$vendor");
    ASSERT_TRUE(vendor.ok());
    EXPECT_NE(vendor->string(), "someone");
}

TEST_F(IecServerProcess, ScheduleWritesAreLoggedAndDrainedOncePerNode)
{
    ScheduleManagerCalls calls(bus.address());
    ASSERT_TRUE(calls.ready());
    ASSERT_TRUE(startServing());
    const std::size_t uploadsAtStart = calls.uploads();
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));

    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok());
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm", Value::utcTimeMs(1'800'000'000'000)).ok());
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020002$SP$ValASG005$setMag$f", Value::float32(1.0f)).ok());
    ASSERT_TRUE(server->waitForOutput(drainLine("EmpSPrg_FSCH020001", "CLS1")));

    const std::string handled =
        "## writeAccess Handler called! CLS1 LogicalNode: EmpSPrg_FSCH020001, DataObject: ValASG005, DataAttribute: setMag";
    ASSERT_TRUE(waitForRecord("Value: MMS_UTC_TIME: 1800000000"));
    auto log = records();
    auto at = std::find_if(log.begin(), log.end(), [&](const auto& r) { return r.message == handled; });
    ASSERT_NE(at, log.end());
    EXPECT_EQ(at[1].message, "Value: float: 12.500000");
    EXPECT_EQ(at[2].message,
              "## writeAccess Handler called! CLS1 LogicalNode: EmpSPrg_FSCH020001, DataObject: StrTm02, DataAttribute: setTm");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(at[i].severity, LOG_NOTICE);
    for (const auto& r : log)
        EXPECT_EQ(r.message.find("EmpSPrg_FSCH020002"), std::string::npos) << r.message;

    // Wait for two more drain periods: still one pass for the node.
    ASSERT_TRUE(connection.write(kCls1, "DsoECmd_FSCH250001$SP$ValASG001$setMag$f", Value::float32(2.0f)).ok());
    ASSERT_TRUE(server->waitForOutput(drainLine("DsoECmd_FSCH250001", "CLS1")));
    const std::string out = server->output();
    EXPECT_EQ(count(out, drainLine("EmpSPrg_FSCH020001", "CLS1")), 1u);
    EXPECT_EQ(count(out, "EmpSPrg_FSCH020002"), 0u);
    EXPECT_EQ(calls.uploads(), uploadsAtStart + 2);
}

TEST_F(IecServerProcess, OperateOfEnaReqReachesTheDrain)
{
    ASSERT_TRUE(startServing());
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));
    const std::string oper = "EmpSPrg_FSCH020001$CO$EnaReq$Oper";
    auto type = connection.variableAccessAttributes(kCls1, oper);
    ASSERT_TRUE(type.ok());
    Value operate = type->defaultValue();
    operate[0].setBool(true);
    auto operated = connection.write(kCls1, oper, operate);
    ASSERT_TRUE(operated.ok()) << operated.error().describe();

    EXPECT_TRUE(server->waitForOutput(drainLine("EmpSPrg_FSCH020001", "CLS1")));
    EXPECT_TRUE(waitForRecord(
        "## writeAccess Handler called! CLS1 LogicalNode: EmpSPrg_FSCH020001, DataObject: EnaReq, DataAttribute: Oper"));
}

TEST_F(IecServerProcess, LogsHoldEntriesAndAnUnopenableLogFileIsReported)
{
    fs::create_directory(work.path() + "/IecServer_STB_logRelay.sqlite");
    ChildProcess manager(SCHEDULE_MANAGER_PATH, {"--state-file", work.path() + "/schedules.json"});
    ASSERT_TRUE(manager.waitForOutput("schedule-manager ready")) << manager.errorOutput();
    ASSERT_TRUE(startServing());
    const std::string failure = "Opening log storage failed: ./IecServer_STB_logRelay.sqlite";
    EXPECT_NE(server->output().find(failure + "\n"), std::string::npos) << server->output();
    ASSERT_TRUE(waitForRecord(failure));
    EXPECT_EQ(findRecord(records(), failure)->severity, LOG_NOTICE);
    for (const char* file : {"IecServer_STB_logSTB.sqlite", "IecServer_CLS1_logCLS1.sqlite",
                             "IecServer_CLS2_logCLS2.sqlite"})
        EXPECT_TRUE(fs::is_regular_file(work.path() + "/" + file)) << file;

    // The start-up pass has written the active-schedule reference of CLS1's data set.
    client::MmsConnection connection;
    ASSERT_TRUE(connect(connection));
    auto entries = connection.readWholeJournal(kCls1, "LLN0$logCLS1");
    ASSERT_TRUE(entries.ok()) << entries.error().describe();
    EXPECT_FALSE(entries->empty());
}

}  // namespace
