// Sequential single-attribute reads over loopback: our client against our
// threaded server in the same process. Prints reads per second and the
// server's CPU time per read beside the targets.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "sample_model.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
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
#include <thread>

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

struct LoopResult {
    double perSecond = 0;
    double serverMicros = 0;
};

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
LoopResult bareTcpLoop(int rounds)
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
    LoopResult result;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        char out[kSize] = {}, in[kSize];
        bool ok = true;
        for (int i = 0; i < 1000 && ok; ++i)
            ok = exchange(fd, out, in, kSize);
        const auto start = std::chrono::steady_clock::now();
        const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double client0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < rounds && ok; ++i)
            ok = exchange(fd, out, in, kSize);
        const double client1 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double process1 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (ok) {
            result.perSecond = rounds / wall;
            result.serverMicros = ((process1 - process0) - (client1 - client0)) / rounds * 1e6;
        }
    }
    ::close(fd);
    echo.join();
    ::close(listener);
    return result;
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
    const LoopResult bare = bareTcpLoop(reads);
    std::printf("  bare TCP loop       %10.0f round trips/s, %.2f us echo CPU each (the kernel's floor)\n",
                bare.perSecond, bare.serverMicros);
    std::printf("On loopback the sender's CPU also pays for the receiver's TCP input, so both sides'\n"
                "kernel shares are higher than on a real network.\n");
    return 0;
}
