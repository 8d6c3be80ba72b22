// The iec-client program against the loopback server.
#include "test_server.hpp"

#include "child_process.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#ifdef IEC_CLIENT_PATH

namespace client_test {
namespace {

using namespace iec61850;
using mms::Value;

struct ProgramRun {
    int status = -1;
    std::string output;  // stdout, then stderr
};

ProgramRun runClient(const std::vector<std::string>& args)
{
    testsupport::ChildProcess program(IEC_CLIENT_PATH, args);
    const std::optional<int> status = program.waitForExit();
    return {status.value_or(-1), program.output() + program.errorOutput()};
}

class Cli : public ::testing::Test {
protected:
    ProgramRun client(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-p", std::to_string(server.port)});
        return runClient(args);
    }

    TestServer server;
};

TEST_F(Cli, ListsReadsAndDescribes)
{
    const struct {
        std::vector<std::string> args;
        const char* output;
    } cases[] = {
        {{"devices"}, "BIG\nDEV\n"},
        {{"nodes", kDevice}, "LLN0\nTypes\n"},
        {{"vars", kDevice, "Types$st"}, "Types$st\nTypes$st$a\nTypes$st$z\n"},
        {{"lists", kDevice}, "LLN0$ds\n"},
        {{"read", "DEV/Types$f"}, "12.5\n"},
        {{"type", "DEV/Types$st"}, "structure\n  a: int8\n  z: boolean\n"},
    };
    for (const auto& c : cases) {
        const ProgramRun r = client(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.output, c.output);
    }
    ProgramRun r = client({"identify"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Brenvolta"), std::string::npos) << r.output;
    r = client({"vars", kBig});
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), kBigNames);
}

TEST_F(Cli, WritesEveryTypeItParses)
{
    const std::uint8_t octets[] = {0xde, 0xad, 0x01};
    const std::uint8_t bits[] = {0x80, 0x08};
    const struct {
        const char* item;
        const char* type;
        const char* text;
        Value expected;
    } cases[] = {
        {"Types$b", "bool", "true", Value::boolean(true)},
        {"Types$i", "int", "-17", Value::integer(-17)},
        {"Types$u", "uint", "4000000000", Value::unsignedInteger(4000000000u)},
        {"Types$f", "float", "-2.25", Value::float32(-2.25f)},
        {"Types$d", "double", "0.1", Value::float64(0.1)},
        {"Types$s", "string", "it's here", Value::visibleString("it's here")},
        {"Types$o", "octets", "de:ad:01", Value::octetString(octets)},
        {"Types$t", "utctime", "2027-01-01T00:00:00Z", Value::utcTimeMs(1798761600000u)},
        {"Types$bs", "bits", "1000000000001", Value::bitString(bits, 13)},
    };
    for (const auto& c : cases) {
        const ProgramRun r = client({"write", std::string("DEV/") + c.item, c.type, c.text});
        EXPECT_EQ(r.status, 0) << c.item << ": " << r.output;
        EXPECT_EQ(r.output, "ok\n");
        const auto lock = server.server->lockModel();
        EXPECT_EQ(*server.model->value(kDevice, c.item), c.expected) << c.item;
    }
}

TEST_F(Cli, FailsWithAMessageAndNonZeroStatus)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"read", "DEV/Missing"},
             {"write", "DEV/Types$i", "float", "1.5"},
             {"write", "DEV/Types$i", "int", "twelve"},
             {"write", "DEV/Types$i", "complex", "1"},
             {"type", "DEV/Nope"},
             {"nodes", "NoSuchDomain"},
             {"frobnicate"},
             {}}) {
        ProgramRun r = client(args);
        EXPECT_NE(r.status, 0) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.output.find("iec-client: "), std::string::npos) << r.output;
    }
    EXPECT_NE(client({"read", "DEV/Missing"}).output.find("object-non-existent"), std::string::npos);
    ProgramRun r = runClient({"-p", "1", "identify"});  // nothing listens on port 1
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("connect failed"), std::string::npos) << r.output;

    // Misuse is caught before connecting.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-p", "1", "read", "no-slash"},
             {"-p", "1", "write", "DEV/x", "int", "1.5"},
             {"-p", "1", "watch", "--enable", "LLN0"},
             {"-p", "0", "identify"},
             {"-p"}}) {
        r = runClient(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.output.find("connect failed"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("usage:"), std::string::npos) << r.output;
    }
}

TEST_F(Cli, WatchEnablesTheReportAndPrintsWhatArrives)
{
    server.model->setWriteObserver([this](const server::ClientContext&, std::string_view, std::string_view item,
                                          const Value& v) {
        if (item == "LLN0$RP$rcb01$RptEna" && v.toBool()) {
            const Value id = Value::visibleString("DEV/report01");
            const Value value = Value::float32(3.5f);
            const Value* values[] = {&id, &value};
            server.server->broadcastInformationReport(mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT")),
                                                      values);
        }
    });
    ProgramRun r = client({"watch", "0", "--enable", "DEV/LLN0$RP$rcb01"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("report"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"DEV/report01\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("3.5"), std::string::npos) << r.output;
    const auto lock = server.server->lockModel();
    EXPECT_EQ(*server.model->value(kDevice, "LLN0$RP$rcb01$RptEna"), Value::boolean(false));
}

TEST_F(Cli, FileCommandsDirGetDelRename)
{
    test_support::TempDir store, local;
    server.server->setFileStore(store.path.string());
    server.server->setFileAccessHandler([](const server::ClientContext&, server::FileService service,
                                           std::string_view name, std::string_view) -> std::optional<mms::ServiceError> {
        if (service == server::FileService::Delete && name == "IEDSERVER.BIN")
            return server::fileError(mms::error_code::file::FileAccessDenied);
        return std::nullopt;
    });
    store.write("schedule.txt", "schedule export\n");
    store.write("old.log", "log");
    store.write("IEDSERVER.BIN", "fw");

    ProgramRun r = client({"dir"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("schedule.txt\t16\t"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("old.log\t3\t"), std::string::npos) << r.output;
    r = client({"get", "schedule.txt", (local.path / "copy.txt").string()});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(local.read("copy.txt"), "schedule export\n");
    EXPECT_EQ(client({"del", "old.log"}).status, 0);
    EXPECT_FALSE(store.has("old.log"));
    EXPECT_EQ(client({"del", "IEDSERVER.BIN"}).status, 1);
    EXPECT_TRUE(store.has("IEDSERVER.BIN"));
    EXPECT_EQ(client({"rename", "schedule.txt", "renamed.txt"}).status, 0);
    EXPECT_TRUE(store.has("renamed.txt"));
    EXPECT_EQ(client({"rename", "only-one"}).status, 2);
    EXPECT_EQ(client({"get"}).status, 2);
}

}  // namespace
}  // namespace client_test

#endif
