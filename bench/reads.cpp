// Sequential single-attribute reads over loopback: our client against our
// threaded server in the same process. Prints reads per second and the
// server's CPU time per read beside the targets.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "sample_model.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace iec61850;

namespace {

constexpr double kTargetReadsPerSecond = 28000;
constexpr double kTargetServerMicros = 10;

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Sample {
    double wallSeconds = 0;
    double processCpu = 0;
    double clientCpu = 0;
};

bool readMany(client::MmsConnection& c, int count)
{
    for (int i = 0; i < count; ++i) {
        auto r = c.read(test_support::kCls1, "MMXU001$MX$TotW$mag$f");
        if (!r) {
            std::fprintf(stderr, "read %d failed: %s\n", i, r.error().describe().c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int reads = argc > 1 ? std::atoi(argv[1]) : 100000;
    auto model = test_support::makeSampleModel();
    server::MmsServer server(*model);
    if (server.listen("127.0.0.1", 0) != platform::NetStatus::Ok || !server.start()) {
        std::fprintf(stderr, "cannot start the server on 127.0.0.1\n");
        return 1;
    }
    client::MmsConnection connection;
    client::ConnectOptions options;
    options.port = server.port();
    if (auto r = connection.connect(options); !r) {
        std::fprintf(stderr, "cannot connect: %s\n", r.error().describe().c_str());
        return 1;
    }
    if (!readMany(connection, 1000))  // warm up
        return 1;

    const auto start = std::chrono::steady_clock::now();
    const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double client0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    if (!readMany(connection, reads))
        return 1;
    const double client1 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double process1 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    (void)connection.release();
    server.stop();

    // The process has two busy threads: this one (the client) and the server's.
    const double serverCpu = (process1 - process0) - (client1 - client0);
    const double perSecond = reads / wall;
    const double serverMicros = serverCpu / reads * 1e6;
    const double clientMicros = (client1 - client0) / reads * 1e6;
    std::printf("%d sequential reads of FNN_STEUERBOXCLS1/MMXU001$MX$TotW$mag$f over 127.0.0.1\n", reads);
    std::printf("  reads per second    %10.0f   target >= %.0f   %s\n", perSecond, kTargetReadsPerSecond,
                perSecond >= kTargetReadsPerSecond ? "ok" : "MISSED");
    std::printf("  server CPU per read %10.2f us target <  %.0f us  %s\n", serverMicros, kTargetServerMicros,
                serverMicros < kTargetServerMicros ? "ok" : "MISSED");
    std::printf("  client CPU per read %10.2f us\n", clientMicros);
    return 0;
}
