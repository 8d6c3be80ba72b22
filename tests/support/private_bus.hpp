// A dbus-daemon of the test's own, used as the system bus of everything the
// test starts: DBUS_SYSTEM_BUS_ADDRESS points at it while it lives.
#pragma once

#include "child_process.hpp"

#include <memory>
#include <string>

namespace testsupport {

class PrivateBus {
public:
    // extraPolicy is inserted into the bus configuration as it stands, e.g.
    // an <includedir> of policy files; without it everybody may own any name.
    explicit PrivateBus(const std::string& extraPolicy = {}, bool allowAll = true);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The socket's address, as a system bus address reads (no server id).
    const std::string& address() const { return address_; }
    const std::string& directory() const { return dir_.path(); }

    // Stops the daemon and starts a new one on the same socket: every
    // connection to it is lost, and a new one reaches the new daemon.
    void restart();

private:
    void start();

    TempDir dir_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace testsupport
