#include "ems_test_support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace emstest {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int listeningSocket(int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    return fd;
}

}  // namespace

JsonRpcTestServer::JsonRpcTestServer(Reply reply) : reply_(std::move(reply))
{
    server_.Post("/jsonrpc", [this](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({request.path, request.get_header_value("Content-Type"), request.body});
        }
        reply_(request, response);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("HTTP test server cannot bind");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

JsonRpcTestServer::~JsonRpcTestServer()
{
    server_.stop();
    thread_.join();
}

std::vector<ReceivedRequest> JsonRpcTestServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

JsonRpcTestServer::Reply answer(std::string body, int status)
{
    return [body = std::move(body), status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    };
}

SilentPeer::SilentPeer(int backlog) : fd_(listeningSocket(backlog)), port_(boundPort(fd_)) {}

SilentPeer::~SilentPeer()
{
    for (int fd : clients_)
        close(fd);
    close(fd_);
}

void SilentPeer::occupyQueue()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port_);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot queue a connection");
    clients_.push_back(fd);
}

int closedPort()
{
    const int fd = listeningSocket(1);
    const int port = boundPort(fd);
    close(fd);
    return port;
}

ConsoleCapture::ConsoleCapture()
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

ConsoleCapture::~ConsoleCapture() { finish(); }

void ConsoleCapture::finish()
{
    if (!running_)
        return;
    running_ = false;
    std::fflush(stdout);
    std::fflush(stderr);
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
}

CommandResult runCommand(const std::string& command)
{
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

WorkingDirectory::WorkingDirectory(const std::string& path) : previous_(std::filesystem::current_path())
{
    std::filesystem::current_path(path);
}

WorkingDirectory::~WorkingDirectory() { std::filesystem::current_path(previous_); }

}  // namespace emstest
