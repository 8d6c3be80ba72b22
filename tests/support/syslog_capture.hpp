// Syslog records of a program under test, received on a real datagram
// socket. The program runs in a private mount namespace whose /dev is a copy
// of the real one with /dev/log bound to the capture's socket, so its
// openlog/syslog calls reach the test unchanged. Needs root or unprivileged
// user namespaces; unavailableReason() says why not.
#pragma once

#include "child_process.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// "<13>Dec  6 11:00:00 IecServerLog[42]: text"
struct SyslogRecord {
    int facility = -1;  // 1 = user
    int severity = -1;  // 3 error, 4 warning, 5 notice, 6 info
    std::string ident;
    long pid = -1;
    std::string message;
    std::string raw;
};

class SyslogCapture {
public:
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    // Empty when programs can be started with this capture as their /dev/log.
    static std::string unavailableReason();
    // Starts program (absolute path) with the capture as its /dev/log; the
    // child's pid is the program's own.
    std::unique_ptr<ChildProcess> start(const std::string& program, const std::vector<std::string>& args,
                                        const ChildProcess::Options& options = {}) const;

    std::vector<SyslogRecord> records() const;
    // Waits until done(records) holds; false after the timeout. done runs
    // under the capture's lock: it must look only at its argument.
    bool waitUntil(const std::function<bool(const std::vector<SyslogRecord>&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    void receive();

    TempDir dir_;
    int fd_ = -1;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<SyslogRecord> records_;
    std::thread receiver_;
};

}  // namespace testsupport
