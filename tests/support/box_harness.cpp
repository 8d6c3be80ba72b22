#include "box_harness.hpp"

#include <httplib.h>
#include <tinyxml2.h>

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
#include <set>
#include <sstream>
#include <stdexcept>

namespace boxtest {

namespace {

constexpr std::size_t kClsMembers = 63;
constexpr const char* kMmxuInterface = "de.brenvolta.vantor.iec61850.cls.mmxu001";

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

bool somebodyServesMms()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(kServerPort);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
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

struct JsonRpcPeer::Server : httplib::Server {};

JsonRpcPeer::JsonRpcPeer(std::optional<std::string> answer, int status) : server_(std::make_unique<Server>())
{
    server_->Post("/jsonrpc", [=, this](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({request.path, request.get_header_value("Content-Type"), request.body, nowMs()});
        }
        nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        nlohmann::json id = body.is_object() && body.contains("id") ? body["id"] : nlohmann::json(nullptr);
        response.status = status;
        response.set_content(answer.value_or(nlohmann::json{{"jsonrpc", "2.0"}, {"result", true}, {"id", id}}.dump()),
                             "application/json");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("JSON-RPC peer cannot bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    eventually([this] { return server_->is_running(); }, 5s);
}

JsonRpcPeer::~JsonRpcPeer() { stop(); }

void JsonRpcPeer::stop()
{
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::vector<JsonRpcPeer::Request> JsonRpcPeer::received() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<nlohmann::json> JsonRpcPeer::requests() const
{
    std::vector<nlohmann::json> bodies;
    for (const auto& r : received())
        bodies.push_back(nlohmann::json::parse(r.body, nullptr, false));
    return bodies;
}

SilentPeer::SilentPeer(int backlog, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
{
    sockaddr_in address = loopback(port);
    socklen_t length = sizeof address;
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // a server just gone may leave TIME_WAIT
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd_, backlog) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

SilentPeer::~SilentPeer()
{
    for (int fd : clients_)
        ::close(fd);
    ::close(fd_);
}

void SilentPeer::occupyQueue()
{
    clients_.push_back(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in address = loopback(port_);
    if (::connect(clients_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot queue a connection");
}

std::string busctl(const std::string& arguments)
{
    std::vector<std::string> args{"--system"};
    std::istringstream words(arguments);
    for (std::string word; words >> word;)
        args.push_back(word);
    testsupport::ChildProcess busctl("/usr/bin/busctl", args);
    EXPECT_EQ(busctl.waitForExit(), 0) << arguments << ": " << busctl.errorOutput();
    return busctl.output();
}

std::string introspection(const std::string& service, const std::string& path)
{
    const std::string xml = busctl("--xml-interface introspect " + service + " " + path);
    tinyxml2::XMLDocument document;
    EXPECT_EQ(document.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    std::set<std::string> members;
    const tinyxml2::XMLElement* node = document.FirstChildElement("node");
    for (auto* iface = node ? node->FirstChildElement("interface") : nullptr; iface;
         iface = iface->NextSiblingElement("interface")) {
        const std::string name = iface->Attribute("name");
        if (name.starts_with("org.freedesktop.DBus."))
            continue;
        for (auto* member = iface->FirstChildElement(); member; member = member->NextSiblingElement()) {
            std::string line = name + " " + member->Attribute("name") + " " + member->Name();
            if (const char* type = member->Attribute("type"))
                line += std::string(" ") + type;
            for (auto* arg = member->FirstChildElement("arg"); arg; arg = arg->NextSiblingElement("arg"))
                line += std::string(" ") + (arg->Attribute("direction") ? arg->Attribute("direction") : "") + ":" +
                        arg->Attribute("type");
            members.insert(line);
        }
    }
    std::string text;
    for (const auto& line : members)
        text += line + "\n";
    return text;
}

ConsoleCapture::ConsoleCapture()
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

void ConsoleCapture::finish()
{
    if (!running_)
        return;
    running_ = false;
    std::fflush(stdout);
    std::fflush(stderr);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
}

std::size_t count(const std::string& text, const std::string& part, std::size_t from)
{
    std::size_t n = 0;
    for (auto i = text.find(part, from); i != std::string::npos; i = text.find(part, i + part.size()))
        ++n;
    return n;
}

Box::Box(const Options& options) : options_(options)
{
    // Another program's server may still be going away (or be someone else's test).
    if (!eventually([] { return !somebodyServesMms(); }, 120s))
        std::cerr << "TCP port " << kServerPort << " is in use by another program" << std::endl;
    std::filesystem::create_directories(directory() + "/uploaded_files");
    std::filesystem::create_directories(dir_.path() + "/config");
    if (options.jsonRpcPort)
        std::ofstream(dir_.path() + "/config/JSONRPC_config.conf")
            << "jsonrpcEnabled=true\njsonrpcHost=127.0.0.1\njsonrpcPort=" << *options.jsonRpcPort << "\n";
    startScheduleManager();
    if (options.startServer)
        startServer();
}

// Both programs' wall clocks moved as the options say (builds with tests read the variable).
static testsupport::ChildProcess::Options inDirectory(const std::string& directory, std::int64_t clockOffsetMs)
{
    return {.workingDirectory = directory,
            .environment = {"IEC61850_WALL_CLOCK_OFFSET_MS=" + std::to_string(clockOffsetMs)}};
}

void Box::startScheduleManager()
{
    manager_.reset();
    manager_.emplace(BOX_SCHEDULE_MANAGER_PROGRAM,
                     std::vector<std::string>{"--trace", "--state-file", dir_.path() + "/schedule-manager.json"},
                     inDirectory({}, options_.clockOffsetMs));
    manager_->waitForOutput("ready", 20s);
}

void Box::startServer(const std::vector<std::string>& args)
{
    server_.reset();
    const auto inBox = inDirectory(directory(), options_.clockOffsetMs);
    server_ = options_.syslog ? options_.syslog->start(BOX_SERVER_PROGRAM, args, inBox)
                              : std::make_unique<testsupport::ChildProcess>(BOX_SERVER_PROGRAM, args, inBox);
}

void Box::restartBus()
{
    bus_.restart();
    manager_->waitForExit(10s);
    startScheduleManager();
}

Box::~Box()
{
    if (server_)
        server_->stop();
    manager_->stop();
}

std::string Box::serverOutput() const
{
    return "--- server stdout:\n" + server_->output() + "\n--- server stderr:\n" + server_->errorOutput();
}

SignalRecorder::SignalRecorder() : connection_(sdbus::createSystemBusConnection())
{
    slot_ = connection_->addMatch(std::string("type='signal',path_namespace='") + kEmsRootPath + "'",
                                  [this](sdbus::Message& message) {
                                      Signal s;
                                      s.path = message.getPath();
                                      s.interface = message.getInterfaceName();
                                      s.name = message.getMemberName();
                                      std::string type, contents;
                                      message.peekType(type, contents);
                                      if (type == "r") {
                                          sdbus::Struct<std::int64_t, std::uint64_t, std::int32_t> totw;
                                          message >> totw;
                                          std::tie(s.value, std::ignore, s.reserved) = totw;
                                          s.text = s.name + " (xti) " + std::to_string(s.value) + "," +
                                                   std::to_string(totw.get<1>()) + "," + std::to_string(s.reserved);
                                      } else if (type == "a") {
                                          std::map<std::uint64_t, std::int64_t> schedule;
                                          message >> schedule;
                                          s.text = s.name + " a{tx}";
                                          for (const auto& [time, value] : schedule)
                                              s.text += " " + std::to_string(time) + ":" + std::to_string(value);
                                      } else if (type == "i") {
                                          std::int32_t value = 0;
                                          message >> value;
                                          s.value = value;
                                          s.text = s.name + " i " + std::to_string(value);
                                      } else {
                                          message >> s.value;
                                          s.text = s.name + " x " + std::to_string(s.value);
                                      }
                                      std::lock_guard lock(mutex_);
                                      signals_.push_back(std::move(s));
                                      arrived_.notify_all();
                                  });
    connection_->enterEventLoopAsync();
}

bool SignalRecorder::waitFor(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return signals_.size() >= count; });
}

std::vector<SignalRecorder::Signal> SignalRecorder::signals() const
{
    std::lock_guard lock(mutex_);
    return signals_;
}

std::vector<SignalRecorder::Signal> SignalRecorder::signals(const std::string& name) const
{
    std::vector<Signal> named;
    for (Signal& s : signals())
        if (s.name == name)
            named.push_back(std::move(s));
    return named;
}

std::vector<std::string> SignalRecorder::texts() const
{
    std::vector<std::string> texts;
    for (const auto& s : signals())
        texts.push_back(s.text);
    return texts;
}

EmsClient::EmsClient() : mmxu_(sdbus::createProxy(*connection_, kEmsService, std::string(kEmsRootPath) + "/cls/mmxu001/1"))
{
    mmxu_->finishRegistration();
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
