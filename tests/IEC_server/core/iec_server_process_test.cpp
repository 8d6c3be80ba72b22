// IecServer started as the box starts it, beside the schedule-manager service on
// a private system bus, with its syslog records captured; our client talks to it
// on 127.0.0.1:4102. (Built into the box's test program, tests/box.)
#include "box_harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace boxtest;
using testsupport::SyslogRecord;
namespace fs = std::filesystem;

class IecServerProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testsupport::SyslogCapture::unavailableReason(); !reason.empty())
            GTEST_SKIP() << "syslog capture unavailable: " << reason;
        box.emplace(Box::Options{.jsonRpcPort = {}, .clockOffsetMs = 0, .syslog = &syslog, .startServer = false});
    }
    bool startServing(const std::vector<std::string>& args = {})
    {
        box->startServer(args);
        return box->waitUntilServing();
    }
    std::string output() { return box->server().output(); }
    std::string file(const std::string& name) const { return box->directory() + "/" + name; }

    // The server's records from the first with the first expected message on are the
    // expected ones: severity and message, "*" at its end for any rest.
    void expectRecords(const std::vector<std::pair<int, std::string>>& expected)
    {
        const long pid = box->server().pid();
        const auto from = [&](std::vector<SyslogRecord> log) {
            log.erase(std::remove_if(log.begin(), log.end(), [&](const auto& r) { return r.pid != pid; }), log.end());
            log.erase(log.begin(), std::find_if(log.begin(), log.end(),
                                                [&](const auto& r) { return r.message == expected[0].second; }));
            return log;
        };
        syslog.waitUntil([&](const std::vector<SyslogRecord>& all) { return from(all).size() >= expected.size(); });
        const auto log = from(syslog.records());
        ASSERT_GE(log.size(), expected.size()) << expected[0].second;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& [severity, message] = expected[i];
            EXPECT_EQ(log[i].severity, severity) << log[i].raw;
            EXPECT_TRUE(message.ends_with("*") ? log[i].message.starts_with(message.substr(0, message.size() - 1))
                                               : log[i].message == message)
                << log[i].raw << " is not " << message;
        }
    }

    testsupport::SyslogCapture syslog;
    std::optional<Box> box;
};

// One start on a store with files, a damaged settings file and a log that cannot be opened.
TEST_F(IecServerProcess, ServesOnPort4102AndReportsOnStandardOutputAndSyslog)
{
    std::ofstream(file("IecServer_settings.txt")) << "IecServer settings 1\nCLS1/EmpSPrg_FSCH020001.Sch";
    fs::create_directory(file("IecServer_STB_logRelay.sqlite"));
    const std::string store = file("uploaded_files");
    for (const char* name : {"IEDSERVER.BIN", "iedserver.bin", "notes.txt", "IEDSERVER.BIN.old"})
        std::ofstream(store + "/" + name) << name;
    std::ofstream(file("outside.txt")) << "secret";
    fs::create_directory(store + "/sub");
    ASSERT_TRUE(startServing()) << box->serverOutput();

    const std::string damaged = "Settings: IecServer_settings.txt is damaged (incomplete), kept as "
                                "IecServer_settings.txt.damaged; start values in use";
    const std::string noLog = "Opening log storage failed: ./IecServer_STB_logRelay.sqlite";
    for (const std::string& line : std::vector<std::string>{"## IecServer initiation\n", "Filestore base path: ./uploaded_files/\n",
                                    "Server is running on Port: 4102\n", "## IecServer initiation done\n\n",
                                    "\nWaiting for IEC Clients...\n", damaged + "\n", noLog + "\n"})
        EXPECT_EQ(count(output(), line), 1u) << line << output();
    EXPECT_EQ(output().find("Debug mode enabled"), std::string::npos);
    EXPECT_EQ(count(output(), "+++++++++ Acess  Handler +++++++++ \n"), 2u);
    EXPECT_LT(output().find("Server is running on Port: 4102"), output().find("Initializing DBus in IecScheduleHandling"));
    for (const char* log : {"IecServer_STB_logSTB.sqlite", "IecServer_CLS1_logCLS1.sqlite", "IecServer_CLS2_logCLS2.sqlite"})
        EXPECT_TRUE(fs::is_regular_file(file(log))) << log;

    expectRecords({{LOG_NOTICE, std::string(54, '#')}, {LOG_ERR, "IEC-Server Version: 301023.000000"}});
    expectRecords({{LOG_NOTICE, "Server started successfully on Port: 4102"},
                   {LOG_NOTICE, "Program started by User " + std::to_string(getuid())},
                   {LOG_NOTICE, "Server started at: *"},
                   {LOG_NOTICE, "Server started on Host: *"}});
    expectRecords({{LOG_WARNING, "Waiting for IEC Clients..."}});
    expectRecords({{LOG_NOTICE, damaged}});
    expectRecords({{LOG_NOTICE, noLog}});
    for (const auto& r : syslog.records())
        EXPECT_TRUE(r.pid != box->server().pid() || r.ident + " " + std::to_string(r.facility) == "IecServerLog 1") << r.raw;

    // The start-up pass asked the schedule manager for both devices' states; a box
    // nobody configured uploads nothing.
    EXPECT_TRUE(eventually([&] { return count(box->scheduleManager().output(), " cls=") >= 22u; }))
        << box->scheduleManager().output();
    EXPECT_EQ(count(box->scheduleManager().output(), "addSchedule"), 0u);

    {
        BoxClient client;
        auto& c = client.connection();
        auto identity = c.identify();
        ASSERT_TRUE(identity.ok());
        EXPECT_EQ(identity->vendor + "/" + identity->model + "/" + identity->revision, "Brenvolta/generic libIEC/1.5");
        EXPECT_EQ(client.read(kCls1, "EmpSPrg_FSCH020001$SP$SchdIntv$setVal"), Value::integer(0)) << "start value";
        EXPECT_FALSE(client.write(kCls1, "LLN0$DC$NamPlt$vendor", Value::visibleString("someone")));
        EXPECT_NE(client.readString(kCls1, "LLN0$DC$NamPlt$vendor"), "someone");

        auto listing = c.fileDirectory();
        ASSERT_TRUE(listing.ok()) << listing.error().describe();
        EXPECT_EQ(listing->size(), 5u);
        auto content = c.fileRead("notes.txt");
        ASSERT_TRUE(content.ok()) << content.error().describe();
        EXPECT_EQ(std::string(content->begin(), content->end()), "notes.txt");
        // The protected file by every name that reaches it; other letter case and other names stay deletable.
        for (const char* name :
             {"IEDSERVER.BIN", "./IEDSERVER.BIN", "IEDSERVER.BIN/", ".//IEDSERVER.BIN", "sub/../IEDSERVER.BIN"})
            EXPECT_FALSE(c.fileDelete(name).ok()) << name;
        EXPECT_TRUE(c.fileDelete("./iedserver.bin/").ok());
        EXPECT_TRUE(c.fileDelete("IEDSERVER.BIN.old").ok());
        EXPECT_FALSE(c.fileRename("notes.txt", "renamed.txt").ok());
        EXPECT_FALSE(c.fileRename("IEDSERVER.BIN", "other.bin").ok());
        EXPECT_FALSE(c.fileRead("../outside.txt").ok());
        EXPECT_FALSE(c.fileDelete("../outside.txt").ok());
        for (const auto& [name, present] : std::vector<std::pair<std::string, bool>>{
                 {"uploaded_files/IEDSERVER.BIN", true}, {"uploaded_files/notes.txt", true}, {"outside.txt", true},
                 {"uploaded_files/iedserver.bin", false}, {"uploaded_files/IEDSERVER.BIN.old", false},
                 {"uploaded_files/renamed.txt", false}})
            EXPECT_EQ(fs::exists(file(name)), present) << name;
        for (const char* lines : {"1 ########## fileAccessHandler ##########\n"
                                  "fileAccessHandler: service = 3, local-file: IEDSERVER.BIN, other-file: \n"
                                  "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_DELETE\n",
                                  "fileAccessHandler: service = 4, local-file: notes.txt, other-file: renamed.txt\n"
                                  "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_RENAME\n",
                                  "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_READ_DIRECTORY\n",
                                  "fileAccessHandler: service = MMS_FILE_ACCESS_TYPE_OPEN\n",
                                  "Connection opened: 127.0.0.1:4102\n"})
            EXPECT_NE(output().find(lines), std::string::npos) << lines;
        ASSERT_TRUE(c.release().ok());
    }
    ASSERT_TRUE(box->server().waitForOutput("Connection closed: 127.0.0.1:4102\n"));
    expectRecords({{LOG_NOTICE, "Connection opened: 127.0.0.1:4102"}, {LOG_NOTICE, "  "},
                   {LOG_NOTICE, "Connection closed at: *"}, {LOG_NOTICE, "Connection closed: 127.0.0.1:4102"},
                   {LOG_NOTICE, "  "}});
    EXPECT_EQ(box->server().errorOutput().find("Sanitizer"), std::string::npos) << box->serverOutput();
}

TEST_F(IecServerProcess, OnlyTheExactArgumentDebugSelectsDebugModeAndABusNameTakenStopsOnlyTheEmsService)
{
    ASSERT_TRUE(startServing({"Debug", "-debug", "debugx", " debug"})) << box->serverOutput();
    EXPECT_EQ(output().find("Debug mode enabled"), std::string::npos);
    box->server().stop();

    auto owner = sdbus::createSystemBusConnection(kEmsService);
    ASSERT_TRUE(eventually([] { return !somebodyServesMms(); }));
    ASSERT_TRUE(startServing({"other", "debug", "debug"})) << box->serverOutput();
    EXPECT_EQ(output().rfind("Debug mode enabled\n", 0), 0u) << output();
    EXPECT_EQ(count(output(), "Debug mode enabled"), 1u);
    EXPECT_NE(box->server().errorOutput().find("Error during InterfaceEMS initialization: "), std::string::npos)
        << box->serverOutput();
    EXPECT_EQ(output().find("registerDBusInterfaces"), std::string::npos);
    EXPECT_EQ(output().find("# InterfaceEMS initiation done"), std::string::npos);

    // MMS is served; the server library's own thread serves, the main loop drains.
    BoxClient client;
    ASSERT_TRUE(client.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)));
    EXPECT_TRUE(box->server().waitForOutput(
        "------- processIEC ValuesInSM: Logical Node Name: EmpSPrg_FSCH020001, CLS Name: CLS1\n"));
}

TEST_F(IecServerProcess, PortTakenEndsWith255BeforeAnyScheduleManagerCall)
{
    SilentPeer holder(1, kServerPort);
    ASSERT_GT(holder.port(), 0) << "port 4102 is in use by someone else";
    box->startServer();
    EXPECT_EQ(box->server().waitForExit(), 255) << box->serverOutput();
    EXPECT_NE(output().find("\nStarting server failed on Port: 4102! Exit.\n"), std::string::npos) << output();
    EXPECT_EQ(output().find("Server is running"), std::string::npos);
    EXPECT_EQ(output().find("Initializing DBus in IecScheduleHandling"), std::string::npos);
    expectRecords({{LOG_ERR, "Starting server failed on Port: 4102"}});
    for (const auto& r : syslog.records())
        EXPECT_NE(r.message, "Initializing DBus in IecScheduleHandling");
    EXPECT_EQ(count(box->scheduleManager().output(), " cls="), 0u) << box->scheduleManager().output();
}

}  // namespace
