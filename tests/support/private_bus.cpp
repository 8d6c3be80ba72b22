#include "private_bus.hpp"


#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::string busConfig(const std::string& dir, const std::string& extraPolicy, bool allowAll)
{
    std::string config =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>system</type>\n"
        "  <listen>unix:path=" + dir + "/system_bus_socket</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow user=\"*\"/>\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n";
    if (allowAll) config += "    <allow own=\"*\"/>\n";
    config += "  </policy>\n" + extraPolicy + "\n</busconfig>\n";
    return config;
}

std::string readAddress(int fd)
{
    std::string address;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (address.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        address.append(buffer, static_cast<std::size_t>(n));
    }
    if (auto end = address.find('\n'); end != std::string::npos) address.resize(end);
    else address.clear();
    return address;
}

}  // namespace

PrivateBus::PrivateBus(const std::string& extraPolicy, bool allowAll)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "box-bus-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::ofstream(dir_ + "/bus.conf") << busConfig(dir_, extraPolicy, allowAll);
    start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

void PrivateBus::start()
{
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const std::string printAddress = "--print-address=" + std::to_string(fds[1]);
        const std::string config = "--config-file=" + dir_ + "/bus.conf";
        execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", printAddress.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string address = readAddress(fds[0]);
    close(fds[0]);
    if (address.empty()) throw std::runtime_error("dbus-daemon did not start");
    address_ = address.substr(0, address.find(",guid="));
}

void PrivateBus::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

void PrivateBus::restart()
{
    stop();
    std::filesystem::remove(dir_ + "/system_bus_socket");
    start();
}

PrivateBus::~PrivateBus()
{
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace testsupport
