// IecServer started as a user starts it, on a private system bus, in a
// working directory of its own, with its syslog records captured; our client
// talks to it on 127.0.0.1:4102.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "private_bus.hpp"
#include "syslog_capture.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace boxtest;
using iec61850::mms::Value;
using testsupport::ChildProcess;
using testsupport::SyslogRecord;
namespace fs = std::filesystem;

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// Every method call on the bus addressed to the schedule-manager service, answered or not.
class ScheduleManagerCalls {
public:
    explicit ScheduleManagerCalls(const std::string& busAddress)
        : monitor_("/usr/bin/dbus-monitor",
                   {"--address", busAddress, "destination='de.brenvolta.vantor.iec61850.schedulemanager'"})
    {
        ready_ = monitor_.waitForOutput("member=NameLost", std::chrono::seconds(10));
    }
    bool ready() const { return ready_; }
    std::size_t uploads() const
    {
        return count(monitor_.output(), "member=addScheduleJSON\n") + count(monitor_.output(), "member=addScheduleJSONTrg\n");
    }
    std::size_t total() const { return count(monitor_.output(), "method call "); }

private:
    ChildProcess monitor_;
    bool ready_ = false;
};

// A listening socket on the server's port, held by the test.
class PortHolder {
public:
    PortHolder() : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kServerPort);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 1) == 0;
    }
    ~PortHolder() { close(fd_); }
    bool bound() const { return bound_; }

private:
    int fd_;
    bool bound_ = false;
};

// Another program's server may still hold the port for a moment.
bool waitForFreePort()
{
    return eventually([] { return PortHolder().bound(); }, std::chrono::seconds(60));
}

class IecServerProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testsupport::SyslogCapture::unavailableReason(); !reason.empty())
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

    std::vector<SyslogRecord> records() const { return syslog.recordsOf(server->pid()); }
    // The record with this message, after waiting for it; nullptr if it never came.
    const SyslogRecord* waitForRecord(const std::string& message)
    {
        const long pid = server->pid();
        syslog.waitUntil([&](const std::vector<SyslogRecord>& all) {
            return std::any_of(all.begin(), all.end(),
                               [&](const SyslogRecord& r) { return r.pid == pid && r.message == message; });
        });
        log = records();
        auto found = std::find_if(log.begin(), log.end(), [&](const auto& r) { return r.message == message; });
        return found == log.end() ? nullptr : &*found;
    }

    testsupport::PrivateBus bus;
    testsupport::SyslogCapture syslog;
    testsupport::TempDir work;
    std::unique_ptr<ChildProcess> server;
    std::vector<SyslogRecord> log;
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

    const SyslogRecord* waiting = waitForRecord("Waiting for IEC Clients...");
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->severity, LOG_WARNING);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].message, std::string(54, '#'));
    EXPECT_EQ(log[0].severity, LOG_NOTICE);
    EXPECT_EQ(log[1].message, "IEC-Server Version: 301023.000000");
    EXPECT_EQ(log[1].severity, LOG_ERR);
    for (const auto& r : log)
        EXPECT_EQ(r.ident + " " + std::to_string(r.facility), "IecServerLog 1") << r.raw;
    auto started = std::find_if(log.begin(), log.end(),
                                [](const auto& r) { return r.message == "Server started successfully on Port: 4102"; });
    ASSERT_LE(started + 4, log.end());
    EXPECT_EQ(started[1].message, "Program started by User " + std::to_string(getuid()));
    EXPECT_TRUE(started[2].message.starts_with("Server started at: ") && started[2].message.ends_with("\n"));
    EXPECT_TRUE(started[3].message.starts_with("Server started on Host: "));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(started[i].severity, LOG_NOTICE);

    // Drains with nothing recorded say nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(server->output().ends_with("\nWaiting for IEC Clients...\n")) << server->output();

    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));
    auto identity = connection.identify();
    ASSERT_TRUE(identity.ok());
    EXPECT_EQ(identity->vendor + "/" + identity->model + "/" + identity->revision, "Brenvolta/generic libIEC/1.5");
    // The start-up pass has asked the schedule manager for both devices'
    // states; a box nobody configured uploads nothing.
    EXPECT_TRUE(eventually([&] { return calls.total() >= 22u; }));
    EXPECT_EQ(calls.uploads(), 0u);
}

TEST_F(IecServerProcess, OnlyTheExactArgumentDebugSelectsDebugMode)
{
    ASSERT_TRUE(startServing({"Debug", "-debug", "debugx", " debug"}));
    EXPECT_EQ(server->output().find("Debug mode enabled"), std::string::npos);
    server->stop();

    ASSERT_TRUE(waitForFreePort());
    ASSERT_TRUE(startServing({"other", "debug", "debug"}));
    EXPECT_EQ(server->output().rfind("Debug mode enabled\n", 0), 0u) << server->output();
    EXPECT_EQ(count(server->output(), "Debug mode enabled"), 1u);

    // The server library's own thread serves; the main loop drains.
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));
    ASSERT_TRUE(connection.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok());
    EXPECT_TRUE(server->waitForOutput(
        "------- processIEC ValuesInSM: Logical Node Name: EmpSPrg_FSCH020001, CLS Name: CLS1\n"));
}

TEST_F(IecServerProcess, EmsBusNameAlreadyOwnedIsReportedAndMmsIsStillServed)
{
    auto owner = sdbus::createSystemBusConnection("de.brenvolta.vantor.iec61850");
    ASSERT_TRUE(startServing());
    EXPECT_NE(server->errorOutput().find("Error during InterfaceEMS initialization: "), std::string::npos)
        << server->errorOutput();
    EXPECT_EQ(server->output().find("registerDBusInterfaces"), std::string::npos);
    EXPECT_EQ(server->output().find("# InterfaceEMS initiation done"), std::string::npos);
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));
    EXPECT_TRUE(connection.identify().ok());
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

    const SyslogRecord* failed = waitForRecord("Starting server failed on Port: 4102");
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->severity, LOG_ERR);
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const auto& r) {
        return r.message == "Initializing DBus in IecScheduleHandling";
    }));
    EXPECT_EQ(calls.total(), 0u);
}

TEST_F(IecServerProcess, ADamagedSettingsStoreGivesStartValuesAndOneLineOnBothChannels)
{
    std::ofstream(work.path() + "/IecServer_settings.txt") << "IecServer settings 1\nCLS1/EmpSPrg_FSCH020001.Sch";
    ASSERT_TRUE(startServing());
    const std::string line = "Settings: IecServer_settings.txt is damaged (incomplete), kept as "
                             "IecServer_settings.txt.damaged; start values in use";
    EXPECT_EQ(count(server->output(), line + "\n"), 1u) << server->output();
    const SyslogRecord* record = waitForRecord(line);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->severity, LOG_NOTICE);
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));
    auto interval = connection.read(kCls1, "EmpSPrg_FSCH020001$SP$SchdIntv$setVal");
    ASSERT_TRUE(interval.ok());
    EXPECT_EQ(interval->toInt64(), 0);
}

TEST_F(IecServerProcess, ConnectionsOpenedAndClosedAreReported)
{
    ASSERT_TRUE(startServing());
    {
        iec61850::client::MmsConnection connection;
        ASSERT_TRUE(connectTo(connection));
        ASSERT_TRUE(server->waitForOutput("Connection opened: 127.0.0.1:4102\n"));
        ASSERT_TRUE(connection.release().ok());
    }
    ASSERT_TRUE(server->waitForOutput("Connection closed: 127.0.0.1:4102\n"));
    ASSERT_NE(waitForRecord("Connection closed: 127.0.0.1:4102"), nullptr);

    auto opened = std::find_if(log.begin(), log.end(),
                               [](const auto& r) { return r.message == "Connection opened: 127.0.0.1:4102"; });
    ASSERT_GE(log.end() - opened, 5);
    EXPECT_EQ(opened[1].message, "  ");
    EXPECT_TRUE(opened[2].message.starts_with("Connection closed at: ") && opened[2].message.ends_with("\n"));
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
    std::ofstream(store + "/IEDSERVER.BIN.old") << "old";
    std::ofstream(work.path() + "/outside.txt") << "secret";
    fs::create_directory(store + "/sub");
    ASSERT_TRUE(startServing());
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));

    auto listing = connection.fileDirectory();
    ASSERT_TRUE(listing.ok()) << listing.error().describe();
    EXPECT_EQ(listing->size(), 5u);
    auto content = connection.fileRead("notes.txt");
    ASSERT_TRUE(content.ok()) << content.error().describe();
    EXPECT_EQ(std::string(content->begin(), content->end()), "hello");

    // The protected file by every name that reaches it; other letter case and other names stay deletable.
    for (const char* name :
         {"IEDSERVER.BIN", "./IEDSERVER.BIN", "IEDSERVER.BIN/", ".//IEDSERVER.BIN", "sub/../IEDSERVER.BIN"})
        EXPECT_FALSE(connection.fileDelete(name).ok()) << name;
    EXPECT_TRUE(connection.fileDelete("./iedserver.bin/").ok());
    EXPECT_TRUE(connection.fileDelete("IEDSERVER.BIN.old").ok());
    EXPECT_FALSE(connection.fileRename("notes.txt", "renamed.txt").ok());
    EXPECT_FALSE(connection.fileRename("IEDSERVER.BIN", "other.bin").ok());
    EXPECT_FALSE(connection.fileRead("../outside.txt").ok());
    EXPECT_FALSE(connection.fileDelete("../outside.txt").ok());
    EXPECT_TRUE(fs::exists(store + "/IEDSERVER.BIN") && fs::exists(store + "/notes.txt"));
    EXPECT_FALSE(fs::exists(store + "/iedserver.bin") || fs::exists(store + "/IEDSERVER.BIN.old") ||
                 fs::exists(store + "/renamed.txt"));
    EXPECT_TRUE(fs::exists(work.path() + "/outside.txt"));

    const std::string out = server->output();
    for (const char* lines : {"1 ########## fileAccessHandler ##########\n"
                              "fileAccessHandler: service = 3, local-file: IEDSERVER.BIN, other-file: \n"
                              "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_DELETE\n",
                              "fileAccessHandler: service = 4, local-file: notes.txt, other-file: renamed.txt\n"
                              "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_RENAME\n",
                              "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_READ_DIRECTORY\n",
                              "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_OPEN\n"})
        EXPECT_NE(out.find(lines), std::string::npos) << lines;
}

TEST_F(IecServerProcess, ConfigurationIsWritableAfterStartDescriptionsAreNot)
{
    ASSERT_TRUE(startServing());
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(connectTo(connection));

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

TEST_F(IecServerProcess, AnUnopenableLogFileIsReportedAndTheOtherLogsAreOpened)
{
    fs::create_directory(work.path() + "/IecServer_STB_logRelay.sqlite");
    ASSERT_TRUE(startServing());
    const std::string failure = "Opening log storage failed: ./IecServer_STB_logRelay.sqlite";
    EXPECT_NE(server->output().find(failure + "\n"), std::string::npos) << server->output();
    const SyslogRecord* record = waitForRecord(failure);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->severity, LOG_NOTICE);
    for (const char* file :
         {"IecServer_STB_logSTB.sqlite", "IecServer_CLS1_logCLS1.sqlite", "IecServer_CLS2_logCLS2.sqlite"})
        EXPECT_TRUE(fs::is_regular_file(work.path() + "/" + file)) << file;
}

}  // namespace
