#include "private_bus.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {

PrivateBus::PrivateBus(const std::string& extraPolicy, bool allowAll)
    : address_("unix:path=" + dir_.path() + "/system_bus_socket")
{
    std::ofstream(dir_.path() + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>" << address_ << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
        << (allowAll ? "    <allow own=\"*\"/>\n" : "") << "  </policy>\n" << extraPolicy << "\n</busconfig>\n";
    start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

// The daemon prints its address once it listens.
void PrivateBus::start()
{
    daemon_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--config-file=" + dir_.path() + "/bus.conf", "--nofork", "--nopidfile", "--print-address"});
    if (!daemon_->waitForOutput(address_, std::chrono::seconds(10)))
        throw std::runtime_error("dbus-daemon did not start: " + daemon_->errorOutput());
}

void PrivateBus::restart()
{
    daemon_->stop();
    std::filesystem::remove(dir_.path() + "/system_bus_socket");
    start();
}

PrivateBus::~PrivateBus()
{
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    daemon_->stop();
}

}  // namespace testsupport
