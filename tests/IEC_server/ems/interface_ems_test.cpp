// The EMS D-Bus service on a private system bus, seen by independent
// clients (busctl and a connection of the test's own).
#include "../box_test_support.hpp"
#include "../schedule/fake_schedule_manager.hpp"
#include "ems_test_support.hpp"
#include "iec_server.hpp"
#include "interface_ems.hpp"
#include "jsonrpc_mapper.hpp"
#include "child_process.hpp"
#include "private_bus.hpp"

#include <sdbus-c++/sdbus-c++.h>
#include <tinyxml2.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <set>

namespace {

using namespace emstest;
using namespace std::chrono_literals;

constexpr const char* kService = "de.brenvolta.vantor.iec61850";
constexpr const char* kRootPath = "/de/brenvolta/vantor/iec61850";
constexpr const char* kClsPath = "/de/brenvolta/vantor/iec61850/cls/1";
constexpr const char* kMmxuPath = "/de/brenvolta/vantor/iec61850/cls/mmxu001/1";
constexpr const char* kActPowPath = "/de/brenvolta/vantor/iec61850/cls/actpow_ggio001/1";
constexpr const char* kMmxuInterface = "de.brenvolta.vantor.iec61850.cls.mmxu001";
constexpr const char* kActPowInterface = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001";

DataAttribute* totwMagF() { return boxtest::attributeAt("CLS1/MMXU001.TotW.mag.f"); }
DataAttribute* anOut1(const std::string& da) { return boxtest::attributeAt("CLS1/ActPow_GGIO001.AnOut1." + da + ".f"); }

void setFloat(DataAttribute* attribute, float value) { IedServer_updateFloatAttributeValue(iedServer, attribute, value); }
float floatOf(DataAttribute* attribute) { return IedServer_getFloatAttributeValue(iedServer, attribute); }

// The schedule-manager stand-in, reached through the process's proxy as the listener reaches it.
struct ScheduleManager {
    ScheduleManager() { scheduleManagerProxy = sdbus::createProxy(kScheduleManagerService, kScheduleManagerPath); }
    ~ScheduleManager() { scheduleManagerProxy.reset(); }
    std::unique_ptr<FakeScheduleManager> service = std::make_unique<FakeScheduleManager>();
};

// The private bus and the server on the model, shared by every test here.
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
    ScheduleManager scheduleManager;
    ServerContext context{"test"};
    std::string startOut;
    std::string startErr;
};

// One signal as "member signature value", its values joined by commas.
struct RecordedSignal {
    std::string path;
    std::string interface;
    std::string text;
};

std::string describe(sdbus::Message& message)
{
    std::string type, contents;
    message.peekType(type, contents);
    std::string text = message.getMemberName() + " ";
    if (type == "r") {
        TotwValue totw;
        message >> totw;
        return text + "(xti) " + std::to_string(totw.get<0>()) + "," + std::to_string(totw.get<1>()) + "," +
               std::to_string(totw.get<2>());
    }
    if (type == "a") {
        Schedule3Days profile;
        message >> profile;
        text += "a{tx}";
        for (const auto& [time, value] : profile)
            text += " " + std::to_string(time) + ":" + std::to_string(value);
        return text;
    }
    if (type == "i") {
        std::int32_t value = 0;
        message >> value;
        return text + "i " + std::to_string(value);
    }
    std::int64_t value = 0;
    message >> value;
    return text + "x " + std::to_string(value);
}

// Every signal under the service's paths, in arrival order.
class SignalRecorder {
public:
    SignalRecorder() : connection_(sdbus::createSystemBusConnection())
    {
        slot_ = connection_->addMatch(std::string("type='signal',path_namespace='") + kRootPath + "'",
                                      [this](sdbus::Message& message) {
                                          RecordedSignal signal{message.getPath(), message.getInterfaceName(), ""};
                                          signal.text = describe(message);
                                          std::lock_guard lock(mutex_);
                                          signals_.push_back(std::move(signal));
                                          arrived_.notify_all();
                                      });
        connection_->enterEventLoopAsync();
    }
    ~SignalRecorder() { connection_->leaveEventLoop(); }

    bool waitFor(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 20s, [&] { return signals_.size() >= count; });
    }
    std::vector<RecordedSignal> signals()
    {
        std::lock_guard lock(mutex_);
        return signals_;
    }
    std::vector<std::string> texts()
    {
        std::vector<std::string> texts;
        for (const auto& s : signals())
            texts.push_back(s.text);
        return texts;
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    sdbus::Slot slot_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<RecordedSignal> signals_;
};

// "interface member kind signature" of each member, sorted (the bus lists
// them grouped by kind).
std::multiset<std::string> introspectedMembers(const std::string& path)
{
    const std::string xml = busctl(std::string("--xml-interface introspect ") + kService + " " + path);
    tinyxml2::XMLDocument document;
    EXPECT_EQ(document.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    std::multiset<std::string> members;
    const tinyxml2::XMLElement* node = document.FirstChildElement("node");
    for (auto* iface = node ? node->FirstChildElement("interface") : nullptr; iface;
         iface = iface->NextSiblingElement("interface")) {
        const std::string name = iface->Attribute("name");
        if (name.rfind("org.freedesktop.DBus.", 0) == 0)
            continue;
        for (auto* member = iface->FirstChildElement(); member; member = member->NextSiblingElement()) {
            std::string signature;
            if (const char* type = member->Attribute("type"))
                signature = type;
            for (auto* arg = member->FirstChildElement("arg"); arg; arg = arg->NextSiblingElement("arg"))
                signature += std::string(arg->Attribute("direction") ? arg->Attribute("direction") : "") + ":" +
                             arg->Attribute("type") + " ";
            members.insert(name + " " + member->Attribute("name") + " " + member->Name() + " " + signature);
        }
    }
    return members;
}

TEST_F(EmsOnBus, IntrospectionShowsEveryObjectMemberAndSignature)
{
    auto ems = startEms();
    EXPECT_NE(startOut.find("\n# InterfaceEMS initiation\nregisterDBusInterfaces\n# InterfaceEMS initiation done\n\n"),
              std::string::npos)
        << startOut;
    EXPECT_EQ(introspectedMembers(kRootPath),
              (std::multiset<std::string>{"de.brenvolta.vantor.iec61850 cls_devices property ao"}));
    EXPECT_EQ(introspectedMembers(kClsPath),
              (std::multiset<std::string>{"de.brenvolta.vantor.iec61850.cls mmxu001 property o",
                                        "de.brenvolta.vantor.iec61850.cls actpow_ggioO001 property o"}));
    EXPECT_EQ(introspectedMembers(kMmxuPath),
              (std::multiset<std::string>{"de.brenvolta.vantor.iec61850.cls.mmxu001 totw property (xti)",
                                        "de.brenvolta.vantor.iec61850.cls.mmxu001 setTotw method in:x in:t in:i ",
                                        "de.brenvolta.vantor.iec61850.cls.mmxu001 totw signal :(xti) "}));
    const std::string a = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001 ";
    EXPECT_EQ(introspectedMembers(kActPowPath),
              (std::multiset<std::string>{a + "AnOut_mxVal_f signal :x ", a + "AnOut1_units_multiplier signal :i ",
                                        a + "AnOut1_minVal_f signal :x ", a + "AnOut1_maxVal_f signal :x ",
                                        a + "AnOut_mxVal_Schedule signal :a{tx} ", a + "AnOut_mxVal_f property x",
                                        a + "AnOut1_units_multiplier property i", a + "AnOut1_minVal_f property x",
                                        a + "AnOut1_maxVal_f property x", a + "AnOut_mxVal_Schedule property a{tx}"}));
    const std::string tree = busctl(std::string("tree ") + kService);
    EXPECT_EQ(tree.find("/cls/2"), std::string::npos) << tree;
    ASSERT_EQ(context.callbackTable.count("callback1"), 1u);
}

std::string property(const char* path, const char* interface, const char* name)
{
    return busctl(std::string("get-property ") + kService + " " + path + " " + interface + " " + name);
}

TEST_F(EmsOnBus, PropertiesReadAsWrittenEachWithItsTraceLine)
{
    setFloat(anOut1("mxVal"), -2500.7f);
    setFloat(anOut1("minVal"), -5000.9f);
    setFloat(anOut1("maxVal"), 0.9f);
    setFloat(totwMagF(), 4321.5f);
    auto ems = startEms();
    ConsoleCapture console;
    EXPECT_EQ(property(kRootPath, kService, "cls_devices"),
              "ao 4 \"/de/brenvolta/vantor/iec61850/cls/1\" \"/de/brenvolta/vantor/iec61850/cls/2\" "
              "\"/de/brenvolta/vantor/iec61850/cls/3\" \"/de/brenvolta/vantor/iec61850/cls/4\"\n");
    EXPECT_EQ(property(kClsPath, "de.brenvolta.vantor.iec61850.cls", "mmxu001"), std::string("o \"") + kMmxuPath + "\"\n");
    EXPECT_EQ(property(kClsPath, "de.brenvolta.vantor.iec61850.cls", "actpow_ggioO001"),
              std::string("o \"") + kActPowPath + "\"\n");
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_f"), "x -2500\n");
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut1_units_multiplier"), "i 3\n");
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut1_minVal_f"), "x -5000\n");
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut1_maxVal_f"), "x 0\n");
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_Schedule"), "a{tx} 0\n");
    const std::string totw = property(kMmxuPath, kMmxuInterface, "totw");
    EXPECT_EQ(totw.rfind("(xti) 4321 ", 0), 0u) << totw;
    EXPECT_EQ(totw.substr(totw.size() - 3), " 0\n") << totw;
    console.finish();
    for (const char* line :
         {"### InterfaceEMS getDbusObject PathsCLSDevices ### \n", "### InterfaceEMS CLS1 getDBUSObject PathMMXU ### \n",
          "### InterfaceEMS getDBUSObject PathActPowGGIO001 ### \n", "### InterfaceEMS CLS1 getPower Limit ### \n",
          "### InterfaceEMS CLS1 getScale Factor ### \n", "### InterfaceEMS CLS1 getMax ProductionPower ### \n",
          "### InterfaceEMS CLS1 getMax ConsumptionPower ### \n", "### InterfaceEMS CLS1 getDBUSMMX001Totw ### \n"})
        EXPECT_NE(console.out.find(line), std::string::npos) << line << console.out;
}

TEST_F(EmsOnBus, UnusableValuesReadAsDefinedNumbers)
{
    auto ems = startEms();
    setFloat(anOut1("mxVal"), std::numeric_limits<float>::quiet_NaN());
    setFloat(anOut1("maxVal"), 1e30f);
    setFloat(anOut1("minVal"), -1e30f);
    const ActPowValues values = ems->readActPowValues(1);
    EXPECT_EQ(values.powerLimit, 0);
    EXPECT_EQ(values.maxConsumptionPower, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(values.maxProductionPower, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ems->readActPowValues(9).powerLimit, 0);
    EXPECT_EQ(ems->readTotw(9), 0);
    setFloat(anOut1("mxVal"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(ems->readActPowValues(1).powerLimit, std::numeric_limits<std::int64_t>::max());
}

// A setTotw call of the test's own, answered on the proxy's thread.
class SetTotwCall {
public:
    SetTotwCall(std::int64_t value, std::uint64_t timestamp, std::int32_t reserved)
        : proxy_(sdbus::createProxy(kService, kMmxuPath))
    {
        proxy_->finishRegistration();
        proxy_->callMethodAsync("setTotw")
            .onInterface(kMmxuInterface)
            .withArguments(value, timestamp, reserved)
            .uponReplyInvoke([this](const sdbus::Error* error) {
                failed_ = error != nullptr;
                replied_ = true;
            });
    }
    bool replied() const { return replied_; }
    bool waitForReply()
    {
        for (int i = 0; i < 2000 && !replied_; ++i)
            std::this_thread::sleep_for(10ms);
        return replied_ && !failed_;
    }

private:
    std::unique_ptr<sdbus::IProxy> proxy_;
    std::atomic<bool> replied_ = false;
    std::atomic<bool> failed_ = false;
};

TEST_F(EmsOnBus, SetTotwSignalsBeforeTheModelWriteAndRepliesAfter)
{
    setFloat(totwMagF(), 0.0f);
    auto ems = startEms();
    SignalRecorder recorder;
    IedServer_lockDataModel(iedServer);
    SetTotwCall call(1500, 1700000000, 0);
    const bool signalled = recorder.waitFor(1);
    const bool repliedEarly = call.replied();
    const float valueWhileSignalled = floatOf(totwMagF());
    IedServer_unlockDataModel(iedServer);
    ASSERT_TRUE(signalled);
    EXPECT_FALSE(repliedEarly);
    EXPECT_EQ(valueWhileSignalled, 0.0f);
    ASSERT_TRUE(call.waitForReply());
    EXPECT_EQ(floatOf(totwMagF()), 1500.0f);

    const auto signal = recorder.signals().at(0);
    EXPECT_EQ(signal.path + " " + signal.interface + " " + signal.text,
              std::string(kMmxuPath) + " " + kMmxuInterface + " totw (xti) 1500,1700000000,0");
}

TEST_F(EmsOnBus, SetTotwStoresTheNearestFloatWithTheTimeOfTheWriteAndLeavesTheQuality)
{
    DataAttribute* t = boxtest::attributeAt("CLS1/MMXU001.TotW.t");
    DataAttribute* q = boxtest::attributeAt("CLS1/MMXU001.TotW.q");
    IedServer_updateUTCTimeAttributeValue(iedServer, t, 1234000);
    const MmsValue qualityBefore = *IedServer_getAttributeValue(iedServer, q);
    auto ems = startEms();
    SignalRecorder recorder;
    const std::uint64_t before = boxtest::nowMs();
    SetTotwCall call(123456789, 0, 7);
    ASSERT_TRUE(call.waitForReply());
    EXPECT_EQ(floatOf(totwMagF()), 123456792.0f);
    EXPECT_GE(IedServer_getUTCTimeAttributeValue(iedServer, t), before);
    EXPECT_TRUE(*IedServer_getAttributeValue(iedServer, q) == qualityBefore);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.texts().at(0), "totw (xti) 123456789,0,7");
    EXPECT_EQ(property(kMmxuPath, kMmxuInterface, "totw").rfind("(xti) 123456792 ", 0), 0u);
}

TEST_F(EmsOnBus, SetTotwBeforeTheServerExistsWritesNothingAndReplies)
{
    setFloat(totwMagF(), 5.0f);
    auto ems = startEms();
    SignalRecorder recorder;
    ConsoleCapture console;
    const IedServer server = iedServer.exchange(nullptr);
    SetTotwCall call(1500, 1700000000, 0);
    const bool replied = call.waitForReply();
    iedServer = server;
    console.finish();
    EXPECT_TRUE(replied);
    EXPECT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(floatOf(totwMagF()), 5.0f);
    EXPECT_NE(console.err.find("value not stored"), std::string::npos) << console.err;
}

TEST_F(EmsOnBus, OnePublicationEmitsSixSignalsInOrder)
{
    setFloat(anOut1("mxVal"), 3000000000.0f);
    setFloat(anOut1("minVal"), -7000.0f);
    setFloat(anOut1("maxVal"), 9000.0f);
    setFloat(totwMagF(), 1500.0f);
    scheduleManager.service->setSchedule3Days({{3000, 30}, {1000, -10}, {2000, 20}});
    auto ems = startEms();
    SignalRecorder recorder;
    const auto console = publish(1);
    ASSERT_TRUE(recorder.waitFor(6));
    auto texts = recorder.texts();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_TRUE(texts[5].starts_with("totw (xti) 1500,17") && texts[5].ends_with(",0")) << texts[5];
    texts.pop_back();
    EXPECT_EQ(texts, (std::vector<std::string>{"AnOut1_maxVal_f x 9000", "AnOut1_minVal_f x -7000",
                                               "AnOut1_units_multiplier i 3",
                                               "AnOut_mxVal_Schedule a{tx} 1000:-10 2000:20 3000:30",
                                               "AnOut_mxVal_f x 3000000000"}));
    const auto signals = recorder.signals();
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(signals[i].path + " " + signals[i].interface, std::string(kActPowPath) + " " + kActPowInterface);
    EXPECT_EQ(signals[5].path, kMmxuPath);
    EXPECT_EQ(ems->schedule3DaysCopy(), (Schedule3Days{{1000, -10}, {2000, 20}, {3000, 30}}));
    EXPECT_EQ(console->out,
              "### InterfaceEMS CLS1 getPower Limit ### \n"
              "### InterfaceEMS +++++++++++++++++++  CLS1 DbusSignal UpdateActPowGGIO001\n"
              "### InterfaceEMS CLS1 getMax ConsumptionPower ### \n"
              "### InterfaceEMS CLS1 getMax ProductionPower ### \n"
              "### InterfaceEMS CLS1 getScale Factor ### \n"
              "### InterfaceEMS CLS1 getPower Limit ### \n"
              "### InterfaceEMS CLS1 emitDbusSignalUpdateMMX001Totw ### \n"
              "### InterfaceEMS CLS1 getDBUSMMX001Totw ### \n");
    EXPECT_EQ(console->err, "");

    // CLS2 publishes the values of CLS1 under CLS1's paths, with its own profile.
    const auto cls2 = publish(2);
    ASSERT_TRUE(recorder.waitFor(12));
    EXPECT_EQ(recorder.signals().at(10).text + " " + recorder.signals().at(10).path,
              std::string("AnOut_mxVal_f x 3000000000 ") + kActPowPath);
    EXPECT_NE(cls2->out.find("### InterfaceEMS +++++++++++++++++++  CLS2 DbusSignal UpdateActPowGGIO001\n"),
              std::string::npos);
    EXPECT_EQ(cls2->out.find("CLS1"), std::string::npos);
    EXPECT_EQ(scheduleManager.service->calls(), (std::vector<std::string>{"getSchedule3Days 1", "getSchedule3Days 2"}));
}

TEST_F(EmsOnBus, FailedProfileQueryPublishesAnEmptyProfile)
{
    scheduleManager.service->setSchedule3Days({{1000, 5}});
    auto ems = startEms();
    SignalRecorder recorder;
    publish(1);
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_Schedule"), "a{tx} 1 1000 5\n");
    scheduleManager.service->fail("getSchedule3Days");
    const auto console = publish(1);
    ASSERT_TRUE(recorder.waitFor(12));
    EXPECT_EQ(recorder.texts().at(9), "AnOut_mxVal_Schedule a{tx}");
    EXPECT_NE(console->out.find("Error getSchedule3Days: "), std::string::npos) << console->out;
    EXPECT_EQ(property(kActPowPath, kActPowInterface, "AnOut_mxVal_Schedule"), "a{tx} 0\n");
}

TEST_F(EmsOnBus, NameAlreadyOwnedIsReportedAndTheMmsServerStillStarts)
{
    auto owner = sdbus::createSystemBusConnection(kService);
    auto ems = startEms();
    EXPECT_EQ(startErr.rfind("Error during InterfaceEMS initialization: ", 0), 0u) << startErr;
    EXPECT_NE(startErr.find("Failed to request bus name"), std::string::npos) << startErr;
    EXPECT_EQ(startOut, "\n# InterfaceEMS initiation\n");
    EXPECT_TRUE(context.callbackTable.empty());
    EXPECT_EQ(jsonrpcMapper, nullptr);
}

// The configuration file relative to the working directory, as at the box.
class EmsWithConfig : public EmsOnBus {
protected:
    void writeConfig(const std::string& text)
    {
        std::filesystem::create_directories(root.path() + "/config");
        std::ofstream(root.path() + "/config/JSONRPC_config.conf") << text;
    }
    std::unique_ptr<WorkingDirectory> enterRunDirectory()
    {
        std::filesystem::create_directories(root.path() + "/run");
        return std::make_unique<WorkingDirectory>(root.path() + "/run");
    }

    testsupport::TempDir root;
};

TEST_F(EmsWithConfig, MissingFileKeepsTheDefaults)
{
    auto cwd = enterRunDirectory();
    auto ems = startEms();
    EXPECT_EQ(startErr, "Could not open JSONRPC_config.conf config file, using defaults\n");
    EXPECT_FALSE(ems->jsonrpcExportEnabled());
    EXPECT_EQ(ems->jsonrpcServerHost(), "localhost");
    EXPECT_EQ(ems->jsonrpcServerPort(), 5000);
    ASSERT_NE(jsonrpcMapper, nullptr);
    EXPECT_FALSE(jsonrpcMapper->enabled());
}

TEST_F(EmsWithConfig, EnabledExportReceivesTheSaturatedSetpoint)
{
    JsonRpcTestServer server(R"({"jsonrpc":"2.0","id":1,"result":true})");
    writeConfig("jsonrpcEnabled=true\njsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(server.port()) + "\n");
    auto cwd = enterRunDirectory();
    setFloat(anOut1("mxVal"), 3000000000.0f);
    auto ems = startEms();
    SignalRecorder recorder;
    const auto first = publish(1);
    setFloat(anOut1("mxVal"), -3000000000.0f);
    publish(1);
    setFloat(anOut1("mxVal"), -4200.7f);
    publish(1);
    ASSERT_TRUE(recorder.waitFor(18));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path + " " + requests[0].contentType, "/jsonrpc application/json");
    EXPECT_EQ(requests[0].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[2147483647,0]})");
    EXPECT_EQ(requests[1].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[-2147483648,0]})");
    EXPECT_EQ(requests[2].body, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[-4200,0]})");
    EXPECT_EQ(recorder.texts().at(4), "AnOut_mxVal_f x 3000000000");
    EXPECT_NE(startOut.find("jsonrpcEnabled: true\njsonrpcHost: 127.0.0.1\njsonrpcPort: "), std::string::npos);
    EXPECT_NE(first->out.find("JsonrpcMapper -> Successfully sent values to server.\n"), std::string::npos);
}

TEST_F(EmsWithConfig, PortWithoutNumberStopsStartUpAndTheListenerSkipsTheExport)
{
    writeConfig("jsonrpcHost=ems.local\njsonrpcPort=abc\njsonrpcEnabled=true\n");
    auto cwd = enterRunDirectory();
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

}  // namespace
