// A program started by a test: its standard output and error go to files the
// test can read while it runs.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace testsupport {

class ChildProcess {
public:
    struct Options {
        std::string workingDirectory;                 // empty: the test's own
        std::vector<std::string> environment;         // extra NAME=value entries
    };

    ChildProcess(const std::string& program, const std::vector<std::string>& args, const Options& options = {});
    ~ChildProcess();  // SIGKILL if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;       // standard output so far
    std::string errorOutput() const;  // standard error so far

    // Waits until standard output (from the given offset on) holds text; false after
    // the timeout, or when the program ended without it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                       std::size_t from = 0);
    bool waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Exit status once the process ended on its own within the timeout, -signal when killed by one.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();
    void signal(int sig) const;
    void cutOff();  // SIGKILL, as a power cut ends it, and waits for the end
    // SIGTERM, then SIGKILL after the grace period; returns the exit status as waitForExit.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    bool waitForText(const std::string& file, const std::string& text, std::chrono::milliseconds timeout,
                     std::size_t from = 0);

    std::string dir_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A program run to its end (or killed after the timeout): status as waitForExit, its output.
struct Finished {
    std::optional<int> status;
    std::string out, err;
};
Finished runToEnd(const std::string& program, const std::vector<std::string>& args,
                  const ChildProcess::Options& options = {}, std::chrono::milliseconds timeout = std::chrono::seconds(60));
// A command line of /bin/sh, standard error joined to standard output.
Finished shell(const std::string& command, std::chrono::milliseconds timeout = std::chrono::seconds(600));

// Directory of a fresh temporary folder, removed by the returned guard.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace testsupport
