// schedule-manager [--state-file PATH] [--trace]
#include "dbus_service.hpp"

#include <atomic>
#include <csignal>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

struct Options {
    std::string stateFile = "schedule-manager-state.json";
    bool trace = false;
};

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace")
            options.trace = true;
        else if (arg == "--state-file" && i + 1 < argc)
            options.stateFile = argv[++i];
        else
            return std::nullopt;
    }
    return options;
}

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Ends the event loop on SIGTERM or SIGINT; the signals stay blocked in every thread.
class StopOnSignal {
public:
    explicit StopOnSignal(sdbus::IConnection& connection)
        : thread_([this, &connection] {
              const sigset_t set = stopSignals();
              int signal = 0;
              sigwait(&set, &signal);
              signalled_ = true;
              connection.leaveEventLoop();
          })
    {
    }
    ~StopOnSignal()
    {
        if (!signalled_)
            ::kill(::getpid(), SIGTERM);
        thread_.join();
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    std::atomic<bool> signalled_ = false;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << "usage: schedule-manager [--state-file PATH] [--trace]" << std::endl;
        return 2;
    }
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    schedmgr::StateFile stateFile(options->stateFile);
    auto store = stateFile.load(std::cerr);

    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSystemBusConnection(schedmgr::serviceName);
    } catch (const sdbus::Error& e) {
        std::cerr << "schedule-manager: cannot own " << schedmgr::serviceName
                  << " on the system bus: " << e.getMessage() << std::endl;
        return 1;
    }

    try {
        schedmgr::ScheduleManagerService service(*connection, std::move(store),
                                                 {stateFile, schedmgr::systemClockMillis, options->trace});
        StopOnSignal stopper(*connection);
        std::cout << "schedule-manager ready on " << schedmgr::serviceName << std::endl;
        connection->enterEventLoop();
    } catch (const sdbus::Error& e) {
        std::cerr << "schedule-manager: " << e.getName() << ": " << e.getMessage() << std::endl;
        return 1;
    }
    return 0;
}
