// Sequential reads over loopback, one request at a time as a SCADA master
// polls, against:
// - the box itself: IecServer in production mode on its own model, with the
//   reference schedule manager on a private system bus (port 4102, so run it
//   inside its own network namespace: unshare -n);
// - our threaded MmsServer on a test model, in this process;
// - a bare TCP request/response loop, the kernel's floor.
// Prints reads per second, latency percentiles and the server's CPU per read
// (user and system apart) beside the targets.
//   bench_reads [reads] [--stopped-schedule-manager]
// The option stops the schedule manager (SIGSTOP) and writes a schedule
// setting, so that the box's schedule handling waits on the stopped service
// while the reads run.
#include "box_harness.hpp"
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "sample_model.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace iec61850;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kFloat = "MMXU001$MX$TotW$mag$f";
constexpr const char* kScheduleNode = "EmpSPrg_FSCH020101$SP";
constexpr auto kBudget = std::chrono::seconds(10);  // per run; a slow server does fewer reads
constexpr int kBoxRequestTimeoutMs = 30000;         // a read not answered by then fails the run

// Threaded server on the test model (the figures the box is held to, besides its own).
constexpr double kThreadedReadsPerSecond = 28000;
constexpr double kThreadedCpuMicros = 10;
// The box: p50 within twice the threaded server's, reads per second, user CPU per read.
constexpr double kBoxLatencyFactor = 2;
constexpr double kBoxReadsPerSecond = 20000;
constexpr double kBoxUserMicros = 2;

struct Cpu {
    double user = 0;    // seconds
    double system = 0;
    Cpu operator-(const Cpu& o) const { return {user - o.user, system - o.system}; }
};

// utime and stime of a /proc stat file.
Cpu statCpu(const std::filesystem::path& stat)
{
    std::ifstream f(stat);
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
    const double tick = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return {static_cast<double>(utime) * tick, static_cast<double>(stime) * tick};
}

// Every thread of this process but the calling one (the client).
Cpu otherThreadsCpu()
{
    Cpu total;
    const auto self = std::to_string(::syscall(SYS_gettid));
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        if (task.path().filename() == self)
            continue;
        const Cpu c = statCpu(task.path() / "stat");
        total.user += c.user;
        total.system += c.system;
    }
    return total;
}

struct Figures {
    std::size_t rounds = 0;
    double seconds = 0;
    std::vector<double> latencyMicros;  // sorted
    Cpu server;
    bool complete = false;  // every round answered

    double perSecond() const { return seconds > 0 ? static_cast<double>(rounds) / seconds : 0; }
    double percentile(double p) const
    {
        if (latencyMicros.empty())
            return 0;
        return latencyMicros[std::min(latencyMicros.size() - 1, static_cast<std::size_t>(p * latencyMicros.size()))];
    }
    double userMicros() const { return rounds ? server.user / static_cast<double>(rounds) * 1e6 : 0; }
    double systemMicros() const { return rounds ? server.system / static_cast<double>(rounds) * 1e6 : 0; }
};

// Runs `once` up to `rounds` times, fewer once the budget has passed, and
// times each; serverCpu() is read before and after.
Figures measure(int rounds, const std::function<bool()>& once, const std::function<Cpu()>& serverCpu,
                std::chrono::seconds budget = kBudget)
{
    Figures f;
    f.latencyMicros.reserve(static_cast<std::size_t>(rounds));
    const Cpu before = serverCpu();
    const auto start = Clock::now();
    const auto end = start + budget;
    f.complete = true;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        if (t0 >= end)
            break;
        if (!once()) {
            f.complete = false;
            break;
        }
        f.latencyMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.server = serverCpu() - before;
    f.rounds = f.latencyMicros.size();
    std::sort(f.latencyMicros.begin(), f.latencyMicros.end());
    return f;
}

void printFigures(const char* what, const Figures& f)
{
    std::printf("  %-34s %8zu in %5.2f s %9.0f /s  p50 %8.1f  p99 %8.1f  max %9.1f us  "
                "server CPU per read: user %6.2f us, system %6.2f us%s\n",
                what, f.rounds, f.seconds, f.perSecond(), f.percentile(0.5), f.percentile(0.99),
                f.latencyMicros.empty() ? 0.0 : f.latencyMicros.back(), f.userMicros(), f.systemMicros(),
                f.complete ? "" : "  (a read failed)");
}

void printTarget(const char* what, double value, const char* unit, bool met)
{
    std::printf("    %-40s %10.2f %-3s %s\n", what, value, unit, met ? "ok" : "MISSED");
}

std::function<bool()> reader(client::MmsConnection& c, const char* item)
{
    return [&c, item] {
        auto r = c.read(test_support::kCls1, item);
        if (!r)
            std::fprintf(stderr, "read of %s failed: %s\n", item, r.error().describe().c_str());
        return r.ok();
    };
}

bool connect(client::MmsConnection& c, std::uint16_t port, int requestTimeoutMs)
{
    client::ConnectOptions options;
    options.port = port;
    options.requestTimeoutMs = requestTimeoutMs;
    if (auto r = c.connect(options); !r) {
        std::fprintf(stderr, "cannot connect to port %u: %s\n", port, r.error().describe().c_str());
        return false;
    }
    return true;
}

struct BoxFigures {
    Figures floatRead;
    Figures nodeRead;
};

// The box's own IecServer, as scripts/run.sh runs it.
std::optional<BoxFigures> runBox(int reads, bool stopScheduleManager)
{
    using namespace boxtest;
    if (somebodyServesMms()) {
        std::fprintf(stderr, "port %u is taken: run bench_reads inside its own network namespace (unshare -n)\n",
                     kServerPort);
        return std::nullopt;
    }
    Box box(Box::Options{});
    if (!box.waitUntilServing()) {
        std::fprintf(stderr, "IecServer did not start:\n%s\n", box.serverOutput().c_str());
        return std::nullopt;
    }
    client::MmsConnection c;
    if (!connect(c, kServerPort, kBoxRequestTimeoutMs))
        return std::nullopt;
    if (stopScheduleManager) {
        box.scheduleManager().signal(SIGSTOP);
        // A schedule change that the box now hands over to the stopped service.
        if (!c.write(kCls1, std::string(kScheduleNode) + "$SchdIntv$setVal", mms::Value::integer(900)).ok())
            std::fprintf(stderr, "the schedule write was refused\n");
    }
    const pid_t pid = box.server().pid();
    const auto serverCpu = [pid] { return statCpu("/proc/" + std::to_string(pid) + "/stat"); };
    BoxFigures f;
    if (measure(1000, reader(c, kFloat), serverCpu, std::chrono::seconds(1)).complete) {  // warmed up
        f.floatRead = measure(reads, reader(c, kFloat), serverCpu);
        if (f.floatRead.complete)
            f.nodeRead = measure(reads, reader(c, kScheduleNode), serverCpu);
    }
    (void)c.release();
    if (stopScheduleManager)
        box.scheduleManager().signal(SIGCONT);
    return f;
}

std::optional<Figures> runThreaded(int reads)
{
    auto model = test_support::makeSampleModel();
    server::MmsServer server(*model);
    if (server.listen("127.0.0.1", 0) != platform::NetStatus::Ok || !server.start()) {
        std::fprintf(stderr, "cannot start the server on 127.0.0.1\n");
        return std::nullopt;
    }
    client::MmsConnection c;
    if (!connect(c, server.port(), 5000))
        return std::nullopt;
    measure(1000, reader(c, kFloat), otherThreadsCpu);  // warm up
    Figures f = measure(reads, reader(c, kFloat), otherThreadsCpu);
    (void)c.release();
    server.stop();
    return f;
}

bool exchange(int fd, const char* out, char* in, std::size_t size)
{
    if (::send(fd, out, size, 0) != static_cast<ssize_t>(size))
        return false;
    for (std::size_t got = 0; got < size;) {
        ssize_t n = ::recv(fd, in + got, size - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The floor under any server: a bare blocking TCP request/response loop with
// messages the size of a read, echoed by a second thread.
Figures bareTcpLoop(int rounds)
{
    constexpr std::size_t kSize = 48;
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread echo([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[kSize];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            if (::send(fd, buffer, static_cast<std::size_t>(n), 0) != n)
                break;
        ::close(fd);
    });
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Figures f;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        char out[kSize] = {}, in[kSize];
        auto once = [&] { return exchange(fd, out, in, kSize); };
        measure(1000, once, otherThreadsCpu);
        f = measure(rounds, once, otherThreadsCpu);
    }
    ::close(fd);
    echo.join();
    ::close(listener);
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    int reads = 100000;
    bool stopScheduleManager = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--stopped-schedule-manager")
            stopScheduleManager = true;
        else
            reads = std::max(1, std::atoi(argv[i]));
    }
    std::printf("Sequential reads over 127.0.0.1, one at a time, at most %d per run or %lld s; "
                "CPU from /proc in 1/%ld s ticks\n",
                reads, static_cast<long long>(kBudget.count()), ::sysconf(_SC_CLK_TCK));
    const std::optional<BoxFigures> box = runBox(reads, stopScheduleManager);
    const std::optional<Figures> threaded = runThreaded(reads);
    const Figures bare = bareTcpLoop(reads);

    std::printf("FNN_STEUERBOXCLS1/%s\n", kFloat);
    if (box)
        printFigures(stopScheduleManager ? "IecServer, schedule manager stopped" : "IecServer (production mode)",
                     box->floatRead);
    if (threaded)
        printFigures("threaded MmsServer, test model", *threaded);
    printFigures("bare TCP loop (echo CPU)", bare);
    if (box && box->floatRead.complete) {
        std::printf("FNN_STEUERBOXCLS1/%s (a whole schedule node)\n", kScheduleNode);
        printFigures("IecServer", box->nodeRead);
    }

    std::printf("Targets\n");
    if (threaded) {
        printTarget("threaded: reads per second >= 28000", threaded->perSecond(), "/s",
                    threaded->perSecond() >= kThreadedReadsPerSecond);
        const double cpu = threaded->userMicros() + threaded->systemMicros();
        printTarget("threaded: server CPU per read < 10 us", cpu, "us", cpu < kThreadedCpuMicros);
    }
    if (box) {
        const Figures& f = box->floatRead;
        if (threaded)
            printTarget("IecServer: p50 <= 2 x threaded p50", f.percentile(0.5), "us",
                        f.complete && f.percentile(0.5) <= kBoxLatencyFactor * threaded->percentile(0.5));
        printTarget("IecServer: reads per second >= 20000", f.perSecond(), "/s",
                    f.complete && f.perSecond() >= kBoxReadsPerSecond);
        printTarget("IecServer: user CPU per read < 2 us", f.userMicros(), "us",
                    f.complete && f.userMicros() < kBoxUserMicros);
    }
    std::printf("On loopback the sender's CPU also pays for the receiver's TCP input, so both sides'\n"
                "kernel shares are higher than on a real network.\n");
    return box && threaded ? 0 : 1;
}
