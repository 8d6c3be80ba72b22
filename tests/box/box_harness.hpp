// The whole box on one machine: a private system bus, the schedule-manager
// service, the IecServer process in a working directory laid out as on the
// box, a JSON-RPC peer, an EMS-side D-Bus client and an MMS client.
#pragma once

#include "../IEC_server/box_test_support.hpp"
#include "child_process.hpp"
#include "private_bus.hpp"
#include "syslog_capture.hpp"

#include "iec61850/client/mms_connection.hpp"

#include <sdbus-c++/sdbus-c++.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace boxtest {

using namespace std::chrono_literals;
using iec61850::mms::InformationReport;
using iec61850::mms::Value;

// Whether something accepts connections on 127.0.0.1:4102.
bool somebodyServesMms();
// Resident memory of a process in KiB, 0 when it is gone. In a 32-bit build only the
// mappings below 4 GiB count: what an emulator running the program on a 64-bit host
// holds for itself lies above.
std::uint64_t residentKiB(pid_t pid);

// An HTTP JSON-RPC 2.0 server on 127.0.0.1 answering every request with result true.
class JsonRpcPeer {
public:
    JsonRpcPeer();
    ~JsonRpcPeer();
    JsonRpcPeer(const JsonRpcPeer&) = delete;
    JsonRpcPeer& operator=(const JsonRpcPeer&) = delete;

    int port() const { return port_; }
    std::vector<nlohmann::json> requests() const;
    std::size_t requestCount() const { return requests().size(); }
    std::vector<std::uint64_t> arrivals() const;  // ms since 1970
    void stop();

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::pair<nlohmann::json, std::uint64_t>> requests_;
};

// The box's processes. The bus lives as long as this object; DBUS_SYSTEM_BUS_ADDRESS
// points at it meanwhile. The schedule manager traces every call on its standard output.
class Box {
public:
    struct Options {
        std::optional<int> jsonRpcPort;                      // export enabled to 127.0.0.1:port
        std::int64_t clockOffsetMs = 0;                      // both programs' wall clocks moved by this
        const testsupport::SyslogCapture* syslog = nullptr;  // the server's syslog records go there
    };
    explicit Box(const Options& options);
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    bool waitUntilServing(std::chrono::milliseconds timeout = 60s) const
    {
        return server_->waitForOutput("Waiting for IEC Clients...", timeout);
    }
    testsupport::ChildProcess& server() { return *server_; }
    testsupport::ChildProcess& scheduleManager() { return *manager_; }
    std::chrono::steady_clock::time_point serverStarted() const { return serverStarted_; }
    std::string serverOutput() const;  // standard output and error, for failure messages

    // As after a power cut: killed with SIGKILL, started again on the same files.
    void restartServer();
    void killServer();
    void startServer();
    void restartScheduleManager();
    void stopScheduleManager();
    void startScheduleManager();
    // The bus daemon restarted; the schedule manager, which ends with its bus,
    // started again as its service manager would.
    void restartBus();

private:
    std::vector<std::string> clockEnvironment() const;

    Options options_;
    testsupport::TempDir dir_;
    testsupport::PrivateBus bus_;
    std::optional<testsupport::ChildProcess> manager_;
    std::unique_ptr<testsupport::ChildProcess> server_;
    std::chrono::steady_clock::time_point serverStarted_;
};

// The EMS side of the box's D-Bus service: watches its signals, calls "setTotw".
class EmsClient {
public:
    struct Signal {
        std::string name;
        std::int64_t value = 0;                          // x and i signals; totw's value
        std::uint64_t time = 0;                          // totw
        std::int32_t reserved = 0;                       // totw
        std::map<std::uint64_t, std::int64_t> schedule;  // AnOut_mxVal_Schedule
    };

    EmsClient();
    ~EmsClient() { connection_->leaveEventLoop(); }
    EmsClient(const EmsClient&) = delete;
    EmsClient& operator=(const EmsClient&) = delete;

    std::vector<Signal> signals() const;
    std::vector<Signal> signals(const std::string& name) const;
    void setTotw(std::int64_t value, std::uint64_t seconds, std::int32_t reserved);
    // The property "AnOut_mxVal_f"; nullopt when nobody answers.
    std::optional<std::int64_t> powerLimit();

private:
    void record(Signal signal);

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> actPow_;
    std::unique_ptr<sdbus::IProxy> mmxu_;
    mutable std::mutex mutex_;
    std::vector<Signal> signals_;
};

// An MMS client on the box with the reports it received.
class BoxClient {
public:
    BoxClient();
    bool connected() const { return connection_.connected(); }
    iec61850::client::MmsConnection& connection() { return connection_; }

    std::optional<Value> read(const std::string& domain, const std::string& item);
    std::optional<float> readFloat(const std::string& domain, const std::string& item);
    std::optional<std::int64_t> readInt(const std::string& domain, const std::string& item);
    std::optional<std::string> readString(const std::string& domain, const std::string& item);
    bool write(const std::string& domain, const std::string& item, const Value& value)
    {
        return connection_.write(domain, item, value).ok();
    }

    bool enableReports(const std::string& domain, const std::string& rcb)
    {
        return write(domain, "LLN0$RP$" + rcb + "$RptEna", Value::boolean(true));
    }
    // Serves the connection until a report satisfies match or the timeout passes.
    bool waitForReport(const std::function<bool(const InformationReport&)>& match, std::chrono::milliseconds timeout = 10s);
    std::size_t reportCount() const { return reports_.size(); }
    const std::vector<InformationReport>& reports() const { return reports_; }

    // Writes the settings of a schedule node (values from ValASG001 on, the
    // first start time, interval in seconds, entry count), then operates its
    // EnaReq. False when any write was refused.
    bool writeSchedule(const std::string& domain, const std::string& node, const std::vector<float>& values,
                       std::uint64_t startMs, std::int32_t intervalSeconds);

private:
    iec61850::client::MmsConnection connection_;
    std::vector<InformationReport> reports_;
};

// Members of the CLS data set LLN0$dataset01 used by the tests (0-based).
enum ClsMember : std::size_t {
    kControllerValMV = 0,
    kEmpSPrg1SchdSt = 3,
    kTotW = 54,
    kAnOut1 = 55,
};

// The value a report of the CLS data set carries for a member, if it includes it.
std::optional<Value> reportedMember(const InformationReport& report, std::size_t member);
// The first float (depth first) inside a value: mag.f, mxVal.f.
std::optional<float> firstFloat(const Value& value);

}  // namespace boxtest
