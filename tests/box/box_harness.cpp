#include "box_harness.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace boxtest {

namespace {

using iec61850::mms::Value;

constexpr const char* kEmsService = "de.brenvolta.vantor.iec61850";
constexpr const char* kActPowPath = "/de/brenvolta/vantor/iec61850/cls/actpow_ggio001/1";
constexpr const char* kActPowInterface = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001";
constexpr const char* kMmxuPath = "/de/brenvolta/vantor/iec61850/cls/mmxu001/1";
constexpr const char* kMmxuInterface = "de.brenvolta.vantor.iec61850.cls.mmxu001";

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

}  // namespace

bool somebodyServesMms()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kMmsPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::uint64_t nowMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// ---- JsonRpcPeer

JsonRpcPeer::JsonRpcPeer() : server_(std::make_unique<httplib::Server>())
{
    server_->Post("/jsonrpc", [this](const httplib::Request& request, httplib::Response& response) {
        nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(body);
            arrivals_.push_back(nowMs());
        }
        nlohmann::json answer = {{"jsonrpc", "2.0"}, {"result", true}};
        answer["id"] = body.is_object() && body.contains("id") ? body["id"] : nlohmann::json(nullptr);
        response.set_content(answer.dump(), "application/json");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

JsonRpcPeer::~JsonRpcPeer() { stop(); }

void JsonRpcPeer::stop()
{
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::vector<nlohmann::json> JsonRpcPeer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t JsonRpcPeer::requestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::vector<std::uint64_t> JsonRpcPeer::arrivals() const
{
    std::lock_guard lock(mutex_);
    return arrivals_;
}

// ---- Box

Box::Box(const Options& options)
{
    // Another program's server may still be going away (or be someone else's test).
    if (!eventually([] { return !somebodyServesMms(); }, 120s))
        std::cerr << "TCP port " << kMmsPort << " is in use by another program" << std::endl;
    const std::filesystem::path root = dir_.path();
    std::filesystem::create_directories(root / "box" / "uploaded_files");
    std::filesystem::create_directories(root / "config");
    if (options.jsonRpcPort)
        writeText(root / "config" / "JSONRPC_config.conf",
                  "jsonrpcEnabled=true\njsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(*options.jsonRpcPort) +
                      "\n");
    if (options.withScheduleManager) {
        manager_.emplace(BOX_SCHEDULE_MANAGER_PROGRAM,
                         std::vector<std::string>{"--state-file", (root / "schedule-manager.json").string()});
        manager_->waitForOutput("ready", 20s);
    }
    testsupport::ChildProcess::Options serverOptions;
    serverOptions.workingDirectory = (root / "box").string();
    serverStarted_ = std::chrono::steady_clock::now();
    server_.emplace(BOX_SERVER_PROGRAM, std::vector<std::string>{}, serverOptions);
}

Box::~Box()
{
    if (server_)
        server_->stop();
    if (manager_)
        manager_->stop();
}

bool Box::waitUntilServing(std::chrono::milliseconds timeout) const
{
    return server_->waitForOutput("Waiting for IEC Clients...", timeout);
}

void Box::killScheduleManager()
{
    if (!manager_)
        return;
    manager_->signal(SIGKILL);
    manager_->waitForExit(10s);
}

std::string Box::serverOutput() const
{
    return "--- server stdout:\n" + server_->output() + "\n--- server stderr:\n" + server_->errorOutput();
}

std::uint64_t residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoull(line.substr(6));
    return 0;
}

// ---- EmsClient

EmsClient::EmsClient() : connection_(sdbus::createSystemBusConnection())
{
    actPow_ = sdbus::createProxy(*connection_, kEmsService, kActPowPath);
    mmxu_ = sdbus::createProxy(*connection_, kEmsService, kMmxuPath);
    for (const char* name : {"AnOut_mxVal_f", "AnOut1_minVal_f", "AnOut1_maxVal_f"})
        actPow_->uponSignal(name).onInterface(kActPowInterface).call([this, name](std::int64_t v) {
            record(Signal{name, v, 0, 0, {}});
        });
    actPow_->uponSignal("AnOut1_units_multiplier").onInterface(kActPowInterface).call([this](std::int32_t v) {
        record(Signal{"AnOut1_units_multiplier", v, 0, 0, {}});
    });
    actPow_->uponSignal("AnOut_mxVal_Schedule")
        .onInterface(kActPowInterface)
        .call([this](const std::map<std::uint64_t, std::int64_t>& schedule) {
            record(Signal{"AnOut_mxVal_Schedule", 0, 0, 0, schedule});
        });
    mmxu_->uponSignal("totw")
        .onInterface(kMmxuInterface)
        .call([this](const sdbus::Struct<std::int64_t, std::uint64_t, std::int32_t>& totw) {
            record(Signal{"totw", std::get<0>(totw), std::get<1>(totw), std::get<2>(totw), {}});
        });
    actPow_->finishRegistration();
    mmxu_->finishRegistration();
    connection_->enterEventLoopAsync();
}

EmsClient::~EmsClient()
{
    connection_->leaveEventLoop();
}

void EmsClient::record(Signal signal)
{
    std::lock_guard lock(mutex_);
    signals_.push_back(std::move(signal));
}

std::vector<EmsClient::Signal> EmsClient::signals() const
{
    std::lock_guard lock(mutex_);
    return signals_;
}

std::size_t EmsClient::signalCount() const
{
    std::lock_guard lock(mutex_);
    return signals_.size();
}

void EmsClient::setTotw(std::int64_t value, std::uint64_t seconds, std::int32_t reserved)
{
    mmxu_->callMethod("setTotw").onInterface(kMmxuInterface).withArguments(value, seconds, reserved);
}

// ---- BoxClient

BoxClient::BoxClient()
{
    connection_.setReportHandler([this](const iec61850::mms::InformationReport& r) { reports_.push_back(r); });
    iec61850::client::ConnectOptions options;
    options.port = kMmsPort;
    options.requestTimeoutMs = 10000;
    if (auto connected = connection_.connect(options); !connected.ok())
        std::cerr << "MMS connect: " << connected.error().describe() << std::endl;
}

std::optional<Value> BoxClient::read(const std::string& domain, const std::string& item)
{
    auto r = connection_.read(domain, item);
    if (!r.ok() || r->isError())
        return std::nullopt;
    return *r;
}

std::optional<float> BoxClient::readFloat(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    if (!v || !v->is(Value::Kind::Float))
        return std::nullopt;
    return v->toFloat();
}

std::optional<std::int64_t> BoxClient::readInt(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    if (!v || !(v->is(Value::Kind::Integer) || v->is(Value::Kind::Unsigned)))
        return std::nullopt;
    return v->toInt64();
}

std::optional<std::string> BoxClient::readString(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    if (!v || !v->is(Value::Kind::VisibleString))
        return std::nullopt;
    return std::string(v->string());
}

bool BoxClient::write(const std::string& domain, const std::string& item, const Value& value)
{
    return connection_.write(domain, item, value).ok();
}

bool BoxClient::enableReports(const std::string& domain, const std::string& rcb)
{
    return write(domain, "LLN0$RP$" + rcb + "$RptEna", Value::boolean(true));
}

bool BoxClient::waitForReport(const std::function<bool(const iec61850::mms::InformationReport&)>& match,
                              std::chrono::milliseconds timeout)
{
    std::size_t checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (; checked < reports_.size(); ++checked)
            if (match(reports_[checked]))
                return true;
        if (std::chrono::steady_clock::now() >= deadline || !connection_.connected())
            return false;
        if (!connection_.waitForReports(100).ok())
            return false;
    }
}

bool BoxClient::writeSchedule(const std::string& domain, const std::string& node, const std::vector<float>& values,
                              std::uint64_t startMs, std::int32_t intervalSeconds)
{
    bool ok = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string number = std::to_string(i + 1);
        number.insert(0, 3 - std::min<std::size_t>(3, number.size()), '0');
        ok = write(domain, node + "$SP$ValASG" + number + "$setMag", Value::structure({Value::float32(values[i])})) &&
             ok;
    }
    ok = write(domain, node + "$SP$NumEntr$setVal", Value::integer(static_cast<std::int64_t>(values.size()))) && ok;
    ok = write(domain, node + "$SP$SchdIntv$setVal", Value::integer(intervalSeconds)) && ok;
    ok = write(domain, node + "$SP$StrTm01$setTm", Value::utcTimeMs(startMs)) && ok;
    const Value oper = Value::structure({Value::boolean(true),
                                         Value::structure({Value::integer(3), Value::octetString({})}),
                                         Value::unsignedInteger(1), Value::utcTimeMs(nowMs()), Value::boolean(false),
                                         Value::bitString(2)});
    return write(domain, node + "$CO$EnaReq$Oper", oper) && ok;
}

// ---- reports

std::optional<Value> reportedMember(const iec61850::mms::InformationReport& report, std::size_t member,
                                    std::size_t memberCount)
{
    const auto& r = report.results;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (!r[i].is(Value::Kind::BitString) || r[i].bitStringSize() != memberCount)
            continue;
        if (member >= memberCount || !r[i].getBit(member))
            return std::nullopt;
        std::size_t position = i + 1;
        for (std::size_t m = 0; m < member; ++m)
            position += r[i].getBit(m) ? 1 : 0;
        if (position >= r.size())
            return std::nullopt;
        return r[position];
    }
    return std::nullopt;
}

std::optional<float> firstFloat(const Value& value)
{
    if (value.is(Value::Kind::Float))
        return value.toFloat();
    for (const Value& m : value.members())
        if (auto f = firstFloat(m))
            return f;
    return std::nullopt;
}

}  // namespace boxtest
