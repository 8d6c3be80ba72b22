// Real peers for the EMS tests: an HTTP server, a peer that never answers,
// console capture and busctl.
#pragma once

#include "child_process.hpp"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace emstest {

struct ReceivedRequest {
    std::string path;
    std::string contentType;
    std::string body;
};

// An HTTP server on 127.0.0.1 answering POST /jsonrpc with status and body.
class JsonRpcTestServer {
public:
    explicit JsonRpcTestServer(std::string body, int status = 200)
    {
        server_.Post("/jsonrpc", [this, body, status](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                requests_.push_back({request.path, request.get_header_value("Content-Type"), request.body});
            }
            response.status = status;
            response.set_content(body, "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("HTTP test server cannot bind");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 5000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~JsonRpcTestServer()
    {
        server_.stop();
        thread_.join();
    }
    JsonRpcTestServer(const JsonRpcTestServer&) = delete;
    JsonRpcTestServer& operator=(const JsonRpcTestServer&) = delete;

    int port() const { return port_; }
    std::vector<ReceivedRequest> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    httplib::Server server_;
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    int port_ = 0;
    std::thread thread_;
};

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Listens on 127.0.0.1 and never accepts. With backlog 0 and one queued
// connection further connection attempts get no answer at all.
class SilentPeer {
public:
    explicit SilentPeer(int backlog = 16) : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(fd_, backlog) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
    }
    ~SilentPeer()
    {
        for (int fd : clients_)
            close(fd);
        close(fd_);
    }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    int port() const { return port_; }
    // Fills the accept queue with one connection of its own.
    void occupyQueue()
    {
        clients_.push_back(socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in address = loopback(port_);
        if (connect(clients_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot queue a connection");
    }

private:
    int fd_;
    int port_ = 0;
    std::vector<int> clients_;
};

// A port on 127.0.0.1 where nothing listens (just released).
inline int closedPort() { return SilentPeer(1).port(); }

// Standard output and error of the whole process until finish().
class ConsoleCapture {
public:
    ConsoleCapture()
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    ~ConsoleCapture() { finish(); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    void finish()
    {
        if (!running_)
            return;
        running_ = false;
        std::fflush(stdout);
        std::fflush(stderr);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    std::string out;
    std::string err;

private:
    bool running_ = true;
};

// busctl on the system bus with the arguments split at blanks; its standard output.
inline std::string busctl(const std::string& arguments)
{
    std::vector<std::string> args{"--system"};
    std::istringstream words(arguments);
    for (std::string word; words >> word;)
        args.push_back(word);
    testsupport::ChildProcess busctl("/usr/bin/busctl", args);
    EXPECT_EQ(busctl.waitForExit(), 0) << arguments << ": " << busctl.errorOutput();
    return busctl.output();
}

// Runs the test in another working directory while it lives.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

}  // namespace emstest
