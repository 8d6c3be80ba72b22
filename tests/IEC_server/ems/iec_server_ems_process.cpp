// The EMS interface of the real IecServer process on a private system bus.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "ems_test_support.hpp"
#include "private_bus.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;

constexpr const char* kService = "de.brenvolta.vantor.iec61850";

class IecServerWithEms : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(run() + "/uploaded_files"); }

    std::string run() const { return root.path() + "/run"; }

    void writeConfig(const std::string& text)
    {
        fs::create_directories(root.path() + "/config");
        std::ofstream(root.path() + "/config/JSONRPC_config.conf") << text;
    }

    ::testing::AssertionResult startServing()
    {
        server = std::make_unique<ChildProcess>(IECSERVER_PATH, std::vector<std::string>{},
                                                ChildProcess::Options{.workingDirectory = run(), .environment = {}});
        if (!server->waitForOutput("Waiting for IEC Clients...\n"))
            return ::testing::AssertionFailure() << "not serving:\n" << server->output() << server->errorOutput();
        return ::testing::AssertionSuccess();
    }

    testsupport::PrivateBus bus;
    testsupport::TempDir root;
    std::unique_ptr<ChildProcess> server;
};

TEST_F(IecServerWithEms, NameAlreadyOwnedIsReportedAndTheMmsServerStillStarts)
{
    auto owner = sdbus::createSystemBusConnection(kService);
    ASSERT_TRUE(startServing());
    EXPECT_NE(server->errorOutput().find("Error during InterfaceEMS initialization: "), std::string::npos)
        << server->errorOutput();
    EXPECT_EQ(server->output().find("registerDBusInterfaces"), std::string::npos);
    EXPECT_EQ(server->output().find("# InterfaceEMS initiation done"), std::string::npos);
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(boxtest::connectTo(connection));
    EXPECT_TRUE(connection.identify().ok());
}

TEST_F(IecServerWithEms, SetTotwReachesTheModelServedOverMms)
{
    writeConfig("jsonrpcEnabled=false\njsonrpcHost=127.0.0.1\njsonrpcPort=5999\n");
    ASSERT_TRUE(startServing());
    EXPECT_NE(server->output().find("jsonrpcPort: 5999\n"), std::string::npos) << server->output();
    EXPECT_NE(server->output().find("# InterfaceEMS initiation done\n"), std::string::npos);
    emstest::busctl(std::string("call ") + kService + " /de/brenvolta/vantor/iec61850/cls/mmxu001/1"
                    " de.brenvolta.vantor.iec61850.cls.mmxu001 setTotw xti 1500 1700000000 0");
    iec61850::client::MmsConnection connection;
    ASSERT_TRUE(boxtest::connectTo(connection));
    auto value = connection.read("FNN_STEUERBOXCLS1", "MMXU001$MX$TotW$mag$f");
    ASSERT_TRUE(value.ok()) << value.error().describe();
    EXPECT_EQ(value->toFloat(), 1500.0f);
}

}  // namespace
