// Real processes for the box's tests: a private system bus, the schedule-manager
// service, the IecServer process in a working directory laid out as on the box,
// a JSON-RPC peer over HTTP, a peer that never answers, a recorder of the EMS
// service's D-Bus signals, an MMS client, and the server's syslog records.
#pragma once

#include "../IEC_server/box_test_support.hpp"
#include "child_process.hpp"
#include "private_bus.hpp"
#include "syslog_capture.hpp"

#include "iec61850/client/mms_connection.hpp"

#include <sdbus-c++/sdbus-c++.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace boxtest {

using namespace std::chrono_literals;
using iec61850::mms::InformationReport;
using iec61850::mms::Value;

inline constexpr const char* kEmsService = "de.brenvolta.vantor.iec61850";
inline constexpr const char* kEmsRootPath = "/de/brenvolta/vantor/iec61850";

// Whether something accepts connections on 127.0.0.1:4102.
bool somebodyServesMms();
// Resident memory of a process in KiB, 0 when it is gone. In a 32-bit build only the
// mappings below 4 GiB count: what an emulator running the program on a 64-bit host
// holds for itself lies above.
std::uint64_t residentKiB(pid_t pid);
std::size_t count(const std::string& text, const std::string& part, std::size_t from = 0);

// An HTTP server on 127.0.0.1 answering POST /jsonrpc with status and body;
// without a body, with JSON-RPC 2.0 result true under the request's id.
class JsonRpcPeer {
public:
    struct Request {
        std::string path, contentType, body;
        std::uint64_t arrivalMs = 0;
    };
    explicit JsonRpcPeer(std::optional<std::string> answer = {}, int status = 200);
    ~JsonRpcPeer();
    JsonRpcPeer(const JsonRpcPeer&) = delete;
    JsonRpcPeer& operator=(const JsonRpcPeer&) = delete;

    int port() const { return port_; }
    std::vector<Request> received() const;
    std::vector<nlohmann::json> requests() const;  // the bodies parsed
    std::size_t requestCount() const { return received().size(); }
    void stop();

private:
    struct Server;
    std::unique_ptr<Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
};

// Listens on 127.0.0.1 (port 0: any free one) and never accepts. With backlog 0
// and one queued connection further connection attempts get no answer at all.
class SilentPeer {
public:
    explicit SilentPeer(int backlog = 16, std::uint16_t port = 0);
    ~SilentPeer();
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    int port() const { return port_; }
    void occupyQueue();  // fills the accept queue with one connection of its own

private:
    int fd_;
    int port_ = 0;
    std::vector<int> clients_;
};

// A port on 127.0.0.1 where nothing listens (just released).
inline int closedPort() { return SilentPeer(1).port(); }

// busctl on the system bus with the arguments split at blanks; its standard output.
std::string busctl(const std::string& arguments);
// "interface member kind signature" of each member at the path, sorted, one a line.
std::string introspection(const std::string& service, const std::string& path);

// Standard output and error of this very process until finish().
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture() { finish(); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    void finish();
    std::string out, err;

private:
    bool running_ = true;
};

// Every signal under the EMS service's paths, in arrival order, with its values.
class SignalRecorder {
public:
    struct Signal {
        std::string path, interface, name;
        std::string text;           // "member signature values", as busctl shows them
        std::int64_t value = 0;     // x and i signals; totw's value
        std::int32_t reserved = 0;  // totw's third field
    };
    SignalRecorder();
    ~SignalRecorder() { connection_->leaveEventLoop(); }
    SignalRecorder(const SignalRecorder&) = delete;
    SignalRecorder& operator=(const SignalRecorder&) = delete;

    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 20s);
    std::vector<Signal> signals() const;
    std::vector<Signal> signals(const std::string& name) const;
    std::vector<std::string> texts() const;

protected:
    std::unique_ptr<sdbus::IConnection> connection_;

private:
    sdbus::Slot slot_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Signal> signals_;
};

// The EMS side of the box's D-Bus service: hears its signals, calls "setTotw".
class EmsClient : public SignalRecorder {
public:
    using Signal = SignalRecorder::Signal;
    EmsClient();
    void setTotw(std::int64_t value, std::uint64_t seconds, std::int32_t reserved);

private:
    std::unique_ptr<sdbus::IProxy> mmxu_;
};

// The box's processes. The bus lives as long as this object; DBUS_SYSTEM_BUS_ADDRESS
// points at it meanwhile. The schedule manager traces every call on its standard output.
class Box {
public:
    struct Options {
        std::optional<int> jsonRpcPort;                      // export enabled to 127.0.0.1:port
        std::int64_t clockOffsetMs = 0;                      // both programs' wall clocks moved by this
        const testsupport::SyslogCapture* syslog = nullptr;  // the server's syslog records go there
        bool startServer = true;                             // false: the test calls startServer()
    };
    explicit Box(const Options& options);
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    // The server's working directory, with its file store uploaded_files/.
    std::string directory() const { return dir_.path() + "/box"; }
    bool waitUntilServing(std::chrono::milliseconds timeout = 60s) const
    {
        return server_->waitForOutput("Waiting for IEC Clients...\n", timeout);
    }
    testsupport::ChildProcess& server() { return *server_; }
    testsupport::ChildProcess& scheduleManager() { return *manager_; }
    std::string serverOutput() const;  // standard output and error, for failure messages

    // A power cut is server().kill() (or scheduleManager().kill()), then start again on the same files.
    void startServer(const std::vector<std::string>& args = {});
    void startScheduleManager();
    // The bus daemon restarted; the schedule manager, which ends with its bus,
    // started again as its service manager would.
    void restartBus();

private:
    Options options_;
    testsupport::TempDir dir_;
    testsupport::PrivateBus bus_;
    std::optional<testsupport::ChildProcess> manager_;
    std::unique_ptr<testsupport::ChildProcess> server_;
};

// An MMS client on the box with the reports it received.
class BoxClient {
public:
    BoxClient();
    bool connected() const { return connection_.connected(); }
    iec61850::client::MmsConnection& connection() { return connection_; }

    std::optional<Value> read(const std::string& domain, const std::string& item);
    std::optional<float> readFloat(const std::string& domain, const std::string& item);
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
    kActSchdRefMember = 1,
    kEmpSPrg1SchdSt = 3,
    kTotW = 54,
    kAnOut1 = 55,
};

// The value a report of the CLS data set carries for a member, if it includes it.
std::optional<Value> reportedMember(const InformationReport& report, std::size_t member);
// The first float (depth first) inside a value: mag.f, mxVal.f.
std::optional<float> firstFloat(const Value& value);

}  // namespace boxtest
