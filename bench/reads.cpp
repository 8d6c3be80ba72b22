// Sequential single-attribute reads over loopback: our client against our
// threaded server in the same process. Prints reads per second and the
// server's CPU time per read beside the targets.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "sample_model.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

struct UserKernel {
    double user = 0;
    double kernel = 0;
};

// User and kernel CPU of every thread but the calling one, from /proc (clock ticks).
UserKernel otherThreadsCpu()
{
    UserKernel total;
    const auto self = std::to_string(::syscall(SYS_gettid));
    const double tick = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        if (task.path().filename() == self)
            continue;
        std::ifstream f(task.path() / "stat");
        std::string line;
        std::getline(f, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoul(field);
            if (i == 15)
                stime = std::stoul(field);
        }
        total.user += static_cast<double>(utime) * tick;
        total.kernel += static_cast<double>(stime) * tick;
    }
    return total;
}

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
    const UserKernel server0 = otherThreadsCpu();
    if (!readMany(connection, reads))
        return 1;
    const UserKernel server1 = otherThreadsCpu();
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
    std::printf("    of which user      %10.2f us, kernel %.2f us (from /proc, 1/%ld s ticks)\n",
                (server1.user - server0.user) / reads * 1e6, (server1.kernel - server0.kernel) / reads * 1e6,
                ::sysconf(_SC_CLK_TCK));
    std::printf("  client CPU per read %10.2f us\n", clientMicros);
    std::printf("On loopback the sender's CPU also pays for the receiver's TCP input, so both sides'\n"
                "kernel shares are higher than on a real network.\n");
    return 0;
}
