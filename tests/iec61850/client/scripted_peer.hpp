// A server side over loopback TCP that plays one session of a script in
// tests/data/client (its notation: the README there). It accepts one
// connection, checks each MMS PDU the client sends against the script and
// answers as the script says, wrongly or not at all where it says so.
#pragma once

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/platform/socket.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace client_test {

struct Session {
    std::string name;
    std::vector<std::string> lines;

    // What follows `key` on each line that starts with it.
    std::vector<std::string> all(const std::string& key) const;
    // The octets (or text) of all such lines, one after the other.
    std::string text(const std::string& key) const;
};

// The sessions of tests/data/client/FILE, in order; throws if there is no session NAME.
std::vector<Session> readSessions(const std::string& file);
Session session(const std::string& file, const std::string& name);

class ScriptedPeer {
public:
    explicit ScriptedPeer(const Session& session);
    ~ScriptedPeer();

    iec61850::client::ConnectOptions options() const;
    // Waits (5 s at most) until the script has run to its end or the client
    // has gone; what went otherwise than written, empty if nothing did.
    std::string finish();

private:
    void run();
    void advance(iec61850::iso::ServerAssociation& association, std::vector<iec61850::Bytes>& requests);
    std::string current() const;
    void fail(const std::string& what);

    std::vector<std::string> steps_;
    iec61850::platform::Listener listener_;
    std::atomic<std::size_t> at_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string failures_;
    std::thread thread_;
};

}  // namespace client_test
