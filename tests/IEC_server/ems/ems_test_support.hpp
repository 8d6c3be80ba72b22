// Real peers for the EMS tests: an HTTP server, a peer that never answers,
// console capture and shell commands.
#pragma once

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emstest {

struct ReceivedRequest {
    std::string path;
    std::string contentType;
    std::string body;
};

// An HTTP server on 127.0.0.1 answering POST /jsonrpc with reply().
class JsonRpcTestServer {
public:
    using Reply = std::function<void(const httplib::Request&, httplib::Response&)>;
    explicit JsonRpcTestServer(Reply reply);
    ~JsonRpcTestServer();
    JsonRpcTestServer(const JsonRpcTestServer&) = delete;
    JsonRpcTestServer& operator=(const JsonRpcTestServer&) = delete;

    int port() const { return port_; }
    std::vector<ReceivedRequest> requests() const;

private:
    httplib::Server server_;
    Reply reply_;
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    int port_ = 0;
    std::thread thread_;
};

// A reply with status 200 and body.
JsonRpcTestServer::Reply answer(std::string body, int status = 200);

// Listens on 127.0.0.1 and never accepts. With backlog 0 and one queued
// connection further connection attempts get no answer at all.
class SilentPeer {
public:
    explicit SilentPeer(int backlog = 16);
    ~SilentPeer();
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    int port() const { return port_; }
    // Fills the accept queue with one connection of its own.
    void occupyQueue();

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> clients_;
};

// A port on 127.0.0.1 where nothing listens (just released).
int closedPort();

// Standard output and error of the whole process while it lives.
class ConsoleCapture {
public:
    struct Output {
        std::string out;
        std::string err;
    };
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    void finish();
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool running_ = true;
    std::string out_;
    std::string err_;
};

struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// Runs the test in another working directory while it lives.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::string previous_;
};

}  // namespace emstest
