// bench_schedule [passes] [writes]
//
// 1. One device pass of CLS1 with an active schedule, in this process,
//    against the reference schedule-manager service: D-Bus calls per pass
//    and the time a pass takes.
// 2. IecServer with the same service: the time from a client's write of a
//    value of the running schedule to the new AnOut1.mxVal.f read back by
//    that client (polled every millisecond), the writes spread over the
//    server's drain period.
// Everything runs on a private system bus; port 4102 must be free.
#include "box_model.hpp"
#include "child_process.hpp"
#include "iec_schedule_handling.hpp"
#include "private_bus.hpp"

#include "iec61850/client/mms_connection.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using iec61850::client::MmsConnection;
using iec61850::client::VariableRef;
using iec61850::mms::Value;
using testsupport::ChildProcess;

constexpr const char* kNode = "EmpSPrg_FSCH020001";

std::uint64_t nowMs()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

struct Summary {
    double min = 0, median = 0, mean = 0, max = 0;
};

Summary summarize(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    Summary s;
    if (samples.empty()) return s;
    s.min = samples.front();
    s.max = samples.back();
    s.median = samples[samples.size() / 2];
    for (double v : samples) s.mean += v;
    s.mean /= static_cast<double>(samples.size());
    return s;
}

void print(const char* what, const Summary& s, const char* unit)
{
    std::printf("%-36s min %9.3f  median %9.3f  mean %9.3f  max %9.3f %s\n", what, s.min, s.median, s.mean, s.max,
                unit);
}

// Standard output to /dev/null while it lives: the passes print their progress.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = dup(1);
};

void setFloat(IedServer server, const char* dataObject, float value)
{
    DataAttribute* a = box::findDataAttribute("CLS1", kNode, dataObject, "setMag");
    IedServer_updateFloatAttributeValue(server, static_cast<DataAttribute*>(a->firstChild), value);
}

// A schedule of CLS1 running since a minute ago, uploaded to the service.
void installRunningSchedule(IedServer server, IecScheduleHandling& handling)
{
    setFloat(server, "ValASG001", 12.5f);
    setFloat(server, "ValASG002", 13.5f);
    IedServer_updateInt32AttributeValue(server, box::findDataAttribute("CLS1", kNode, "NumEntr", "setVal"), 2);
    IedServer_updateInt32AttributeValue(server, box::findDataAttribute("CLS1", kNode, "SchdIntv", "setVal"), 3600);
    IedServer_updateUTCTimeAttributeValue(server, box::findDataAttribute("CLS1", kNode, "StrTm01", "setTm"),
                                          nowMs() - 60'000);
    handling.uploadSchedule(kNode, LogicalDeviceKind::CLS1);
}

void benchDevicePass(int passes, const std::string& directory)
{
    ChildProcess manager(SCHEDULE_MANAGER_PATH, {"--trace", "--state-file", directory + "/pass.json"});
    if (!manager.waitForOutput("ready")) {
        std::fprintf(stderr, "schedule-manager did not start\n%s", manager.errorOutput().c_str());
        std::exit(1);
    }
    IedServer server = IedServer_create(box::staticModel());
    CallbackTable listeners{{"bench", [](std::int32_t) {}}};
    std::vector<double> micros;
    std::size_t calls = 0;
    {
        const QuietStdout quiet;
        IecScheduleHandling handling(server, &listeners);
        installRunningSchedule(server, handling);
        handling.updateDevice(LogicalDeviceKind::CLS1);  // warm-up
        const std::size_t before = lineCount(manager.output());
        for (int i = 0; i < passes; ++i) {
            const auto start = Clock::now();
            handling.updateDevice(LogicalDeviceKind::CLS1);
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::this_thread::sleep_for(200ms);
        calls = lineCount(manager.output()) - before;
    }
    IedServer_destroy(server);
    std::printf("device pass of CLS1, schedule active: %zu passes, %.1f D-Bus calls per pass\n",
                static_cast<std::size_t>(passes), static_cast<double>(calls) / passes);
    print("  time per pass", summarize(micros), "us");
}

bool write(MmsConnection& client, const std::vector<VariableRef>& variables, const std::vector<Value>& values)
{
    const auto results = client.write(variables, values);
    return results.ok() && std::all_of(results->begin(), results->end(), [](const auto& r) { return r.ok(); });
}

std::optional<float> readAnOut1(MmsConnection& client)
{
    auto value = client.read("FNN_STEUERBOXCLS1", "ActPow_GGIO001$MX$AnOut1$mxVal$f");
    if (!value.ok() || !value->is(Value::Kind::Float)) return std::nullopt;
    return value->toFloat();
}

void benchWriteToSetpoint(int writes, const std::string& directory)
{
    std::filesystem::create_directories(directory + "/box/uploaded_files");
    ChildProcess manager(SCHEDULE_MANAGER_PATH, {"--state-file", directory + "/server.json"});
    manager.waitForOutput("ready");
    ChildProcess server(IECSERVER_PATH, {}, {.workingDirectory = directory + "/box", .environment = {}});
    if (!server.waitForOutput("Waiting for IEC Clients...", 60s)) {
        std::fprintf(stderr, "IecServer did not start\n%s%s", server.output().c_str(), server.errorOutput().c_str());
        std::exit(1);
    }
    MmsConnection client;
    iec61850::client::ConnectOptions options;
    options.port = 4102;
    if (!client.connect(options).ok()) {
        std::fprintf(stderr, "no connection to IecServer\n");
        std::exit(1);
    }
    const std::string cls1 = "FNN_STEUERBOXCLS1";
    const std::string node = kNode;
    write(client,
          {{cls1, node + "$SP$NumEntr$setVal"}, {cls1, node + "$SP$SchdIntv$setVal"}, {cls1, node + "$SP$StrTm01$setTm"}},
          {Value::integer(1), Value::integer(3600), Value::utcTimeMs(nowMs() - 60'000)});

    std::vector<double> millis;
    for (int i = 0; i < writes; ++i) {
        const float value = 100.0f + static_cast<float>(i);
        // Writes spread over the server's 450 ms drain period.
        std::this_thread::sleep_for(std::chrono::milliseconds((i * 97) % 450));
        const auto start = Clock::now();
        if (!write(client, {{cls1, node + "$SP$ValASG001$setMag$f"}}, {Value::float32(value)})) {
            std::fprintf(stderr, "write refused\n");
            std::exit(1);
        }
        while (readAnOut1(client) != value) {
            if (Clock::now() - start > 10s) {
                std::fprintf(stderr, "AnOut1 did not follow the write\n");
                std::exit(1);
            }
            std::this_thread::sleep_for(1ms);
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("client write of a running schedule to AnOut1 read back: %d writes\n", writes);
    print("  write to new AnOut1.mxVal.f", summarize(millis), "ms");
}

}  // namespace

int main(int argc, char** argv)
{
    const int passes = argc > 1 ? std::atoi(argv[1]) : 200;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 20;
    testsupport::TempDir directory;
    testsupport::PrivateBus bus;
    benchDevicePass(passes, directory.path());
    benchWriteToSetpoint(writes, directory.path());
}
