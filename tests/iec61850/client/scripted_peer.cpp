#include "scripted_peer.hpp"

#include "octets.hpp"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace client_test {
namespace {

using namespace iec61850;
using test_support::OctetPattern;

bool isStep(const std::string& line)
{
    return line == "associate" || line == "refuse" || line == "close" || line.starts_with("> ") ||
           line.starts_with("< ");
}

// The MMS PDU a step names: octets, or `capture NAME N` (PDU N of that capture's client or server side).
OctetPattern pduOf(const std::string& text, bool fromClient)
{
    if (!text.starts_with("capture "))
        return test_support::parseOctets(text);
    std::istringstream words(text.substr(8));
    std::string name;
    std::size_t n = 0;
    words >> name >> n;
    const test_support::Capture& c = test_support::capture(name);
    const Bytes& pdu = (fromClient ? c.clientPdus() : c.serverPdus()).at(n);
    return {pdu, std::vector<bool>(pdu.size(), false)};
}

}  // namespace

std::vector<std::string> Session::all(const std::string& key) const
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line == key || line.starts_with(key + " "))
            found.push_back(line.substr(std::min(line.size(), key.size() + 1)));
    return found;
}

std::string Session::text(const std::string& key) const
{
    std::string text;
    for (const std::string& line : all(key)) {
        const Bytes octets = test_support::octets(line);
        text.append(octets.begin(), octets.end());
    }
    return text;
}

std::vector<Session> readSessions(const std::string& file)
{
    std::ifstream in(TEST_CLIENT_DATA_DIR "/" + file);
    if (!in)
        throw std::runtime_error("no script " + file);
    std::vector<Session> sessions;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line.starts_with("#"))
            continue;
        if (line.starts_with("session "))
            sessions.push_back({line.substr(8), {}});
        else if (!sessions.empty())
            sessions.back().lines.push_back(line);
    }
    return sessions;
}

Session session(const std::string& file, const std::string& name)
{
    for (Session& s : readSessions(file))
        if (s.name == name)
            return s;
    throw std::runtime_error("no session " + name + " in " + file);
}

ScriptedPeer::ScriptedPeer(const Session& session)
{
    for (const std::string& line : session.lines)
        if (isStep(line))
            steps_.push_back(line);
    if (listener_.open("127.0.0.1", 0) != platform::NetStatus::Ok)
        throw std::runtime_error("scripted peer cannot listen");
    thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer()
{
    stop_ = true;
    thread_.join();
}

client::ConnectOptions ScriptedPeer::options() const
{
    client::ConnectOptions o;
    o.port = listener_.port();
    o.connectTimeoutMs = o.requestTimeoutMs = 5000;
    return o;
}

std::string ScriptedPeer::finish()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (at_ < steps_.size() && !ended_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard lock(mutex_);
    return at_ < steps_.size() ? failures_ + "the script stops before: " + steps_[at_] : failures_;
}

std::string ScriptedPeer::current() const
{
    return at_ < steps_.size() ? steps_[at_] : std::string();
}

void ScriptedPeer::fail(const std::string& what)
{
    std::lock_guard lock(mutex_);
    failures_ += what + "\n";
}

// Runs the steps that can run now: answers, and checks of requests that came.
void ScriptedPeer::advance(iso::ServerAssociation& association, std::vector<Bytes>& requests)
{
    for (; at_ < steps_.size(); ++at_) {
        const std::string& step = steps_[at_];
        if (step.starts_with("< ")) {
            association.send(pduOf(step.substr(2), false).octets);
        } else if (step.starts_with("> ") && !requests.empty()) {
            if (!pduOf(step.substr(2), true).matches(requests.front()))
                fail("expected " + step + "\n     got > " + test_support::formatOctets(requests.front()));
            requests.erase(requests.begin());
        } else {
            break;
        }
    }
    for (const Bytes& request : requests)
        fail("not in the script: > " + test_support::formatOctets(request));
    requests.clear();
}

void ScriptedPeer::run()
{
    platform::Socket socket;
    while (!stop_ && !socket.valid()) {
        platform::PollEntry e{listener_.fd(), true, false};
        if (platform::poll(std::span(&e, 1), 20) > 0)
            listener_.accept(socket);
    }
    std::vector<Bytes> requests;
    iso::ServerAssociation::Callbacks callbacks;
    callbacks.onAssociate = [this](ByteView, Bytes& response) {
        response = test_support::capture("01-associate-identify").serverPdus().at(0);
        const bool accept = current() == "associate";
        if (accept || current() == "refuse")
            ++at_;
        else
            fail("an association the script does not expect");
        return accept;
    };
    callbacks.onData = [&requests](ByteView pdu) { requests.emplace_back(pdu.begin(), pdu.end()); };
    iso::ServerAssociation association(std::move(callbacks));
    Bytes buffer(16384);
    while (!stop_ && socket.valid()) {
        advance(association, requests);
        for (iso::OutputQueue& out = association.output(); !out.empty();) {
            auto r = socket.send(out.pending());
            if (!r.ok() && r.status != platform::NetStatus::WouldBlock)
                break;
            out.consume(r.count);
        }
        if (current() == "close") {
            ++at_;
            break;
        }
        if (association.closed())
            break;
        platform::PollEntry e{socket.fd(), true, false};
        if (platform::poll(std::span(&e, 1), 20) <= 0)
            continue;
        auto r = socket.recv(buffer);
        if (r.ok())
            association.receive(ByteView(buffer).first(r.count));
        else if (r.status != platform::NetStatus::WouldBlock)
            break;
    }
    ended_ = true;
}

}  // namespace client_test
