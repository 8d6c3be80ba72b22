// The EMS D-Bus service in process on a private system bus against a stand-in
// schedule manager, seen by independent clients (busctl, a signal recorder and
// calls of the test's own); its JSON-RPC export against real HTTP peers on
// 127.0.0.1, and the key=value lines of its configuration (tests/data/jsonrpc).
#include "../schedule/fake_schedule_manager.hpp"
#include "box_harness.hpp"
#include "iec_server.hpp"
#include "interface_ems.hpp"
#include "jsonrpc_config.hpp"
#include "jsonrpc_mapper.hpp"

#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sstream>

namespace {

using namespace boxtest;
using testsupport::readFile;

const std::string kMmxuPath = std::string(kEmsRootPath) + "/cls/mmxu001/1";
const std::string kActPowPath = std::string(kEmsRootPath) + "/cls/actpow_ggio001/1";
constexpr const char* kMmxuInterface = "de.brenvolta.vantor.iec61850.cls.mmxu001";
constexpr const char* kActPowInterface = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001";

DataAttribute* totwMagF() { return attributeAt("CLS1/MMXU001.TotW.mag.f"); }
DataAttribute* anOut1(const std::string& da) { return attributeAt("CLS1/ActPow_GGIO001.AnOut1." + da + ".f"); }
void setFloat(DataAttribute* attribute, float value) { IedServer_updateFloatAttributeValue(iedServer, attribute, value); }
float floatOf(DataAttribute* attribute) { return IedServer_getFloatAttributeValue(iedServer, attribute); }

std::string property(const std::string& path, const std::string& interface, const std::string& name)
{
    return busctl("get-property " + std::string(kEmsService) + " " + path + " " + interface + " " + name);
}

// The schedule-manager stand-in, reached through the process's proxy as the listener reaches it.
struct ScheduleManager {
    ScheduleManager() { scheduleManagerProxy = sdbus::createProxy(kScheduleManagerService, kScheduleManagerPath); }
    ~ScheduleManager() { scheduleManagerProxy.reset(); }
    std::unique_ptr<FakeScheduleManager> service = std::make_unique<FakeScheduleManager>();
};

// The private bus and the server on the model, shared by every test here; each
// test runs in a directory of its own, where the configuration is looked for.
class EmsOnBus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!bus)
            bus = std::make_unique<testsupport::PrivateBus>();
        if (!iedServer)
            iedServer = IedServer_create(box::staticModel());
    }
    static void TearDownTestSuite()
    {
        IedServer_destroy(iedServer);
        iedServer = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(iedServer, nullptr);
        jsonrpcMapper.reset();
        std::filesystem::create_directories(root.path() + "/run");
        std::filesystem::current_path(root.path() + "/run");
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    void writeConfig(const std::string& text)
    {
        std::filesystem::create_directories(root.path() + "/config");
        std::ofstream(root.path() + "/config/JSONRPC_config.conf") << text;
    }
    // The service as the process entry starts it; its console output is kept.
    std::unique_ptr<InterfaceEMS> startEms()
    {
        ConsoleCapture console;
        auto ems = std::make_unique<InterfaceEMS>(&context);
        console.finish();
        startOut = console.out;
        startErr = console.err;
        return ems;
    }
    // Console output of one listener call.
    std::unique_ptr<ConsoleCapture> publish(std::int32_t cls)
    {
        auto console = std::make_unique<ConsoleCapture>();
        context.callbackTable.at("callback1")(cls);
        console->finish();
        return console;
    }

    static inline std::unique_ptr<testsupport::PrivateBus> bus;
    const std::filesystem::path previous = std::filesystem::current_path();
    testsupport::TempDir root;
    ScheduleManager scheduleManager;
    ServerContext context{"test"};
    std::string startOut, startErr;
};

TEST_F(EmsOnBus, IntrospectionAndPropertiesShowEveryObjectMemberSignatureAndValue)
{
    setFloat(anOut1("mxVal"), -2500.7f);
    setFloat(anOut1("minVal"), -5000.9f);
    setFloat(anOut1("maxVal"), 0.9f);
    setFloat(totwMagF(), 4321.5f);
    auto ems = startEms();  // without a configuration file: the defaults hold
    EXPECT_NE(startOut.find("\n# InterfaceEMS initiation\nregisterDBusInterfaces\n# InterfaceEMS initiation done\n\n"),
              std::string::npos)
        << startOut;
    EXPECT_EQ(startErr, "Could not open JSONRPC_config.conf config file, using defaults\n");
    ASSERT_NE(jsonrpcMapper, nullptr);
    EXPECT_FALSE(ems->jsonrpcExportEnabled() || jsonrpcMapper->enabled());
    std::string members;
    for (const std::string& path : {std::string(kEmsRootPath), std::string(kEmsRootPath) + "/cls/1", kMmxuPath, kActPowPath})
        members += path + "\n" + introspection(kEmsService, path);
    EXPECT_EQ(members, readFile(BOX_TEST_DATA_DIR "/dbus/ems.introspection"));
    EXPECT_EQ(busctl("tree " + std::string(kEmsService)).find("/cls/2"), std::string::npos);
    ASSERT_EQ(context.callbackTable.count("callback1"), 1u);

    // Each property read as written, each read with its trace line ("-": none).
    std::istringstream table(readFile(BOX_TEST_DATA_DIR "/dbus/ems.properties"));
    for (std::string path, interface, name, value, trace; table >> path >> interface >> name;) {
        std::getline(table >> std::ws, value);
        std::getline(table, trace);
        ConsoleCapture console;
        EXPECT_EQ(property(path, interface, name), value + "\n") << name;
        console.finish();
        EXPECT_EQ(console.out, trace == "-" ? "" : trace + "\n") << name;
    }
    const std::string totw = property(kMmxuPath, kMmxuInterface, "totw");
    EXPECT_TRUE(totw.starts_with("(xti) 4321 ") && totw.ends_with(" 0\n")) << totw;
}

// The signal goes out before the model write, the reply after it; the nearest float is
// stored with the time of the write, the quality stays; before the server exists nothing is stored.
TEST_F(EmsOnBus, SetTotwSignalsThenWritesTheNearestFloatThenReplies)
{
    DataAttribute* t = attributeAt("CLS1/MMXU001.TotW.t");
    setFloat(totwMagF(), 0.0f);
    IedServer_updateUTCTimeAttributeValue(iedServer, t, 1234000);
    const MmsValue quality = *IedServer_getAttributeValue(iedServer, attributeAt("CLS1/MMXU001.TotW.q"));
    auto ems = startEms();
    EmsClient client;
    SignalRecorder recorder;  // a connection of its own: the call's connection waits for the reply
    const std::uint64_t before = nowMs();
    IedServer_lockDataModel(iedServer);
    auto call = std::async(std::launch::async, [&] { client.setTotw(123456789, 1700000000, 7); });
    const bool signalled = recorder.waitFor(1);
    const bool repliedEarly = call.wait_for(0s) == std::future_status::ready;
    const float valueWhileSignalled = floatOf(totwMagF());
    IedServer_unlockDataModel(iedServer);
    ASSERT_TRUE(signalled);
    EXPECT_FALSE(repliedEarly);
    EXPECT_EQ(valueWhileSignalled, 0.0f);
    ASSERT_EQ(call.wait_for(20s), std::future_status::ready);
    EXPECT_NO_THROW(call.get());
    EXPECT_EQ(floatOf(totwMagF()), 123456792.0f);
    EXPECT_GE(IedServer_getUTCTimeAttributeValue(iedServer, t), before);
    EXPECT_TRUE(*IedServer_getAttributeValue(iedServer, attributeAt("CLS1/MMXU001.TotW.q")) == quality);
    const auto signal = recorder.signals().at(0);
    EXPECT_EQ(signal.path + " " + signal.interface + " " + signal.text,
              kMmxuPath + " " + kMmxuInterface + " totw (xti) 123456789,1700000000,7");
    EXPECT_EQ(property(kMmxuPath, kMmxuInterface, "totw").rfind("(xti) 123456792 ", 0), 0u);

    const IedServer server = iedServer.exchange(nullptr);
    ConsoleCapture console;
    EXPECT_NO_THROW(client.setTotw(1500, 1700000000, 0));
    iedServer = server;
    console.finish();
    EXPECT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(floatOf(totwMagF()), 123456792.0f);
    EXPECT_NE(console.err.find("value not stored"), std::string::npos) << console.err;
}

TEST_F(EmsOnBus, OnePublicationEmitsSixSignalsInOrderAndAFailedProfileQueryAnEmptyProfile)
{
    setFloat(anOut1("mxVal"), 3000000000.0f);
    setFloat(anOut1("minVal"), -7000.0f);
    setFloat(anOut1("maxVal"), 9000.0f);
    setFloat(totwMagF(), 1500.0f);
    scheduleManager.service->answer("getSchedule3Days", "3000:30 1000:-10 2000:20");
    auto ems = startEms();
    SignalRecorder recorder;
    const auto console = publish(1);
    ASSERT_TRUE(recorder.waitFor(6));
    auto signals = recorder.signals();
    ASSERT_EQ(signals.size(), 6u);
    EXPECT_TRUE(signals[5].text.starts_with("totw (xti) 1500,17") && signals[5].text.ends_with(",0")) << signals[5].text;
    EXPECT_EQ(signals[5].path, kMmxuPath);
    std::string seen;
    for (std::size_t i = 0; i < 5; ++i)
        seen += signals[i].path + " " + signals[i].interface + " " + signals[i].text + "\n";
    EXPECT_EQ(seen + "--- console\n" + console->out, readFile(BOX_TEST_DATA_DIR "/dbus/ems.publication"));
    EXPECT_EQ(ems->schedule3DaysCopy(), (Schedule3Days{{1000, -10}, {2000, 20}, {3000, 30}}));
    EXPECT_EQ(console->err, "");

    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_Schedule"), "a{tx} 3 1000 -10 2000 20 3000 30\n");
    scheduleManager.service->fail("getSchedule3Days");
    const auto failed = publish(1);
    ASSERT_TRUE(recorder.waitFor(12));
    EXPECT_EQ(recorder.texts().at(9), "AnOut_mxVal_Schedule a{tx}");
    EXPECT_NE(failed->out.find("Error getSchedule3Days: "), std::string::npos) << failed->out;
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_Schedule"), "a{tx} 0\n");
}

TEST_F(EmsOnBus, NameAlreadyOwnedIsReportedAndTheMmsServerStillStarts)
{
    auto owner = sdbus::createSystemBusConnection(kEmsService);
    auto ems = startEms();
    EXPECT_EQ(startErr.rfind("Error during InterfaceEMS initialization: ", 0), 0u) << startErr;
    EXPECT_NE(startErr.find("Failed to request bus name"), std::string::npos) << startErr;
    EXPECT_EQ(startOut, "\n# InterfaceEMS initiation\n");
    EXPECT_TRUE(context.callbackTable.empty());
    EXPECT_EQ(jsonrpcMapper, nullptr);
}

TEST_F(EmsOnBus, AnEnabledExportSendsEachSetpointSaturatedByteForByte)
{
    JsonRpcPeer peer(R"({"jsonrpc":"2.0","id":1,"result":true})");
    writeConfig("jsonrpcEnabled=true\njsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(peer.port()) + "\n");
    auto ems = startEms();
    SignalRecorder recorder;
    for (float value : {3000000000.0f, -3000000000.0f, -4200.7f, std::numeric_limits<float>::quiet_NaN()}) {
        setFloat(anOut1("mxVal"), value);
        publish(1);
    }
    ASSERT_TRUE(recorder.waitFor(24));
    const auto requests = peer.received();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].path + " " + requests[0].contentType, "/jsonrpc application/json");
    std::vector<std::string> bodies;
    for (const auto& r : requests)
        bodies.push_back(r.body);
    const std::string method = R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[)";
    EXPECT_EQ(bodies, (std::vector<std::string>{method + "2147483647,0]}", method + "-2147483648,0]}",
                                                method + "-4200,0]}", method + "0,0]}"}));
    EXPECT_EQ(recorder.texts().at(4), "AnOut_mxVal_f x 3000000000");
    EXPECT_NE(startOut.find("jsonrpcEnabled: true\njsonrpcHost: 127.0.0.1\njsonrpcPort: "), std::string::npos);
}

TEST_F(EmsOnBus, APortWithoutNumberStopsStartUpAndTheListenerSkipsTheExport)
{
    writeConfig("jsonrpcHost=ems.local\njsonrpcPort=abc\njsonrpcEnabled=true\n");
    auto ems = startEms();
    SignalRecorder recorder;
    const auto console = publish(1);
    ASSERT_TRUE(recorder.waitFor(6));
    EXPECT_EQ(startErr, "Error during InterfaceEMS initialization: stoi\n");
    EXPECT_EQ(startOut.find("# InterfaceEMS initiation done"), std::string::npos);
    EXPECT_EQ(ems->jsonrpcServerHost(), "ems.local");
    EXPECT_FALSE(ems->jsonrpcExportEnabled());
    EXPECT_EQ(console->err, "");
    EXPECT_EQ(jsonrpcMapper, nullptr);
    EXPECT_EQ(recorder.texts().size(), 6u);
}

constexpr const char* kConnectorError = "JsonrpcMapper -> Error sending values: -32003: "
                                        "client connector error, received status != 200\n";

std::unique_ptr<ConsoleCapture> sendThrough(int port, std::int64_t value1 = -4200, std::int64_t value2 = 0)
{
    auto console = std::make_unique<ConsoleCapture>();
    JsonrpcMapper mapper(true, "127.0.0.1", port);
    mapper.updateValues(value1, value2);
    console->finish();
    return console;
}

TEST(JsonrpcExport, EachAnswerGivesItsLine)
{
    for (const auto& row : dataRows("jsonrpc/answers.txt")) {
        SCOPED_TRACE(row.at(0) + " " + row.at(1));
        JsonRpcPeer peer(row.at(1), std::stoi(row.at(0)));
        const auto console = sendThrough(peer.port());
        std::string line = row.at(2);
        if (line.ends_with("\\n"))
            line.replace(line.size() - 2, 2, "\n");
        EXPECT_NE((console->out + console->err).find(line), std::string::npos) << console->out << console->err;
        EXPECT_EQ(console->out.empty(), !line.starts_with("JsonrpcMapper -> Successfully")) << console->out;
        ASSERT_EQ(peer.received().size(), 1u);
        EXPECT_EQ(peer.received()[0].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[-4200,0]})");
    }
    EXPECT_EQ(sendThrough(closedPort())->err, kConnectorError);
}

// The export on a thread of its own, waited for with a generous deadline.
std::string errorOutputOfUnansweredExport(int port)
{
    auto done = std::make_shared<std::promise<std::string>>();
    std::thread([done, port] { done->set_value(sendThrough(port)->err); }).detach();
    auto result = done->get_future();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return "export still waiting after 60 s";
    return result.get();
}

TEST(JsonrpcExport, PeersThatNeverAnswerEndWithTheReadOrConnectTimeout)
{
    SilentPeer accepting;
    EXPECT_EQ(errorOutputOfUnansweredExport(accepting.port()), kConnectorError);
    SilentPeer full(0);
    full.occupyQueue();
    EXPECT_EQ(errorOutputOfUnansweredExport(full.port()), kConnectorError);
}

// "=== ENABLED HOST PORT -> ENABLED HOST PORT", the file's text, "--- out", standard output, "--- err", standard error.
TEST(JsonrpcConfig, LinesAreAppliedAndReported)
{
    const std::string cases = testsupport::readFile(BOX_TEST_DATA_DIR "/jsonrpc/config-lines.txt");
    auto read = [](std::istringstream in) {
        JsonrpcConfig c;
        std::string enabled;
        in >> enabled >> c.host >> c.port;
        c.enabled = enabled == "true";
        return c;
    };
    int count = 0;
    for (std::size_t at = 0; (at = cases.find("=== ", at)) != std::string::npos; ++count) {
        const auto line = cases.find('\n', at), arrow = cases.find(" -> ", at);
        const auto out = cases.find("--- out\n", line), err = cases.find("--- err\n", out);
        const auto nextCase = cases.find("\n=== ", err);
        const auto next = nextCase == std::string::npos ? cases.size() : nextCase + 1;
        const std::string text = cases.substr(line + 1, out - line - 1);
        SCOPED_TRACE(text);
        JsonrpcConfig config = read(std::istringstream(cases.substr(at + 4, arrow - at - 4)));
        const JsonrpcConfig after = read(std::istringstream(cases.substr(arrow + 4, line - arrow - 4)));
        std::istringstream in(text);
        ConsoleCapture console;
        applyJsonrpcConfig(in, config);
        console.finish();
        EXPECT_EQ(std::tie(config.enabled, config.host, config.port), std::tie(after.enabled, after.host, after.port));
        EXPECT_EQ(console.out, cases.substr(out + 8, err - out - 8));
        EXPECT_EQ(console.err, cases.substr(err + 8, next - err - 8));
        at = next;
    }
    EXPECT_EQ(count, 9);
}

}  // namespace
