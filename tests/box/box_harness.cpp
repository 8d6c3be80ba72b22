#include "box_harness.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace boxtest {

namespace {

constexpr std::size_t kClsMembers = 63;
constexpr const char* kEmsService = "de.brenvolta.vantor.iec61850";
constexpr const char* kActPowInterface = "de.brenvolta.vantor.iec61850.cls.actpow_ggio001";
constexpr const char* kMmxuInterface = "de.brenvolta.vantor.iec61850.cls.mmxu001";

}  // namespace

bool somebodyServesMms()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kServerPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::uint64_t residentKiB(pid_t pid)
{
    constexpr std::uint64_t kProgramSpace = sizeof(void*) == 4 ? 1ull << 32 : UINT64_MAX;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::uint64_t total = 0, start = 0;
    for (std::string line; std::getline(smaps, line);) {
        std::uint64_t address = 0;
        const char* end = line.data() + line.size();
        const auto [at, error] = std::from_chars(line.data(), end, address, 16);
        if (error == std::errc() && at != end && *at == '-')
            start = address;  // a mapping's first line: "start-end perms ..."
        else if (line.rfind("Rss:", 0) == 0 && start < kProgramSpace)
            total += std::stoull(line.substr(4));
    }
    return total;
}

JsonRpcPeer::JsonRpcPeer() : server_(std::make_unique<httplib::Server>())
{
    server_->Post("/jsonrpc", [this](const httplib::Request& request, httplib::Response& response) {
        nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        {
            std::lock_guard lock(mutex_);
            requests_.emplace_back(body, nowMs());
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
    std::vector<nlohmann::json> bodies;
    for (const auto& [body, arrival] : requests_)
        bodies.push_back(body);
    return bodies;
}

std::vector<std::uint64_t> JsonRpcPeer::arrivals() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> times;
    for (const auto& [body, arrival] : requests_)
        times.push_back(arrival);
    return times;
}

Box::Box(const Options& options) : options_(options)
{
    // Another program's server may still be going away (or be someone else's test).
    if (!eventually([] { return !somebodyServesMms(); }, 120s))
        std::cerr << "TCP port " << kServerPort << " is in use by another program" << std::endl;
    const std::filesystem::path root = dir_.path();
    std::filesystem::create_directories(root / "box" / "uploaded_files");
    std::filesystem::create_directories(root / "config");
    if (options.jsonRpcPort)
        std::ofstream(root / "config" / "JSONRPC_config.conf")
            << "jsonrpcEnabled=true\njsonrpcHost=127.0.0.1\njsonrpcPort=" << *options.jsonRpcPort << "\n";
    startScheduleManager();
    startServer();
}

// Both programs' wall clocks moved as the options say (builds with tests read the variable).
std::vector<std::string> Box::clockEnvironment() const
{
    return {"IEC61850_WALL_CLOCK_OFFSET_MS=" + std::to_string(options_.clockOffsetMs)};
}

void Box::startScheduleManager()
{
    manager_.reset();
    manager_.emplace(BOX_SCHEDULE_MANAGER_PROGRAM,
                     std::vector<std::string>{"--trace", "--state-file", dir_.path() + "/schedule-manager.json"},
                     testsupport::ChildProcess::Options{.workingDirectory = {}, .environment = clockEnvironment()});
    manager_->waitForOutput("ready", 20s);
}

void Box::startServer()
{
    server_.reset();
    serverStarted_ = std::chrono::steady_clock::now();
    const testsupport::ChildProcess::Options inBox{.workingDirectory = dir_.path() + "/box",
                                                   .environment = clockEnvironment()};
    server_ = options_.syslog ? options_.syslog->start(BOX_SERVER_PROGRAM, {}, inBox)
                              : std::make_unique<testsupport::ChildProcess>(BOX_SERVER_PROGRAM,
                                                                            std::vector<std::string>{}, inBox);
}

void Box::killServer()
{
    server_->signal(SIGKILL);
    server_->waitForExit(10s);
}

void Box::restartServer()
{
    killServer();
    startServer();
}

void Box::stopScheduleManager()
{
    manager_->signal(SIGKILL);
    manager_->waitForExit(10s);
}

void Box::restartScheduleManager()
{
    manager_->signal(SIGKILL);
    manager_->waitForExit(10s);
    startScheduleManager();
}

void Box::restartBus()
{
    bus_.restart();
    manager_->waitForExit(10s);
    startScheduleManager();
}

Box::~Box()
{
    server_->stop();
    manager_->stop();
}

std::string Box::serverOutput() const
{
    return "--- server stdout:\n" + server_->output() + "\n--- server stderr:\n" + server_->errorOutput();
}

EmsClient::EmsClient() : connection_(sdbus::createSystemBusConnection())
{
    actPow_ = sdbus::createProxy(*connection_, kEmsService, "/de/brenvolta/vantor/iec61850/cls/actpow_ggio001/1");
    mmxu_ = sdbus::createProxy(*connection_, kEmsService, "/de/brenvolta/vantor/iec61850/cls/mmxu001/1");
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

std::vector<EmsClient::Signal> EmsClient::signals(const std::string& name) const
{
    std::vector<Signal> named;
    for (Signal& s : signals())
        if (s.name == name)
            named.push_back(std::move(s));
    return named;
}

std::optional<std::int64_t> EmsClient::powerLimit()
{
    try {
        const sdbus::Variant value = actPow_->getProperty("AnOut_mxVal_f").onInterface(kActPowInterface);
        return value.get<std::int64_t>();
    } catch (const sdbus::Error&) {
        return std::nullopt;
    }
}

void EmsClient::setTotw(std::int64_t value, std::uint64_t seconds, std::int32_t reserved)
{
    mmxu_->callMethod("setTotw").onInterface(kMmxuInterface).withArguments(value, seconds, reserved);
}

BoxClient::BoxClient()
{
    connection_.setReportHandler([this](const InformationReport& r) { reports_.push_back(r); });
    iec61850::client::ConnectOptions options;
    options.port = kServerPort;
    options.requestTimeoutMs = 10000;
    if (auto connected = connection_.connect(options); !connected.ok())
        std::cerr << "MMS connect: " << connected.error().describe() << std::endl;
}

std::optional<Value> BoxClient::read(const std::string& domain, const std::string& item)
{
    auto r = connection_.read(domain, item);
    return r.ok() && !r->isError() ? std::optional<Value>(*r) : std::nullopt;
}

std::optional<float> BoxClient::readFloat(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    return v && v->is(Value::Kind::Float) ? std::optional(v->toFloat()) : std::nullopt;
}

std::optional<std::int64_t> BoxClient::readInt(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    return v && (v->is(Value::Kind::Integer) || v->is(Value::Kind::Unsigned)) ? std::optional(v->toInt64())
                                                                                : std::nullopt;
}

std::optional<std::string> BoxClient::readString(const std::string& domain, const std::string& item)
{
    auto v = read(domain, item);
    return v && v->is(Value::Kind::VisibleString) ? std::optional(std::string(v->string())) : std::nullopt;
}

bool BoxClient::waitForReport(const std::function<bool(const InformationReport&)>& match,
                              std::chrono::milliseconds timeout)
{
    std::size_t checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (; checked < reports_.size(); ++checked)
            if (match(reports_[checked]))
                return true;
        if (std::chrono::steady_clock::now() >= deadline || !connection_.waitForReports(100).ok())
            return false;
    }
}

bool BoxClient::writeSchedule(const std::string& domain, const std::string& node, const std::vector<float>& values,
                              std::uint64_t startMs, std::int32_t intervalSeconds)
{
    bool ok = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char number[24];
        std::snprintf(number, sizeof number, "%03zu", i + 1);
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

std::optional<Value> reportedMember(const InformationReport& report, std::size_t member)
{
    const auto& r = report.results;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (!r[i].is(Value::Kind::BitString) || r[i].bitStringSize() != kClsMembers)
            continue;
        if (member >= kClsMembers || !r[i].getBit(member))
            return std::nullopt;
        std::size_t position = i + 1;
        for (std::size_t m = 0; m < member; ++m)
            position += r[i].getBit(m) ? 1 : 0;
        return position < r.size() ? std::optional(r[position]) : std::nullopt;
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
