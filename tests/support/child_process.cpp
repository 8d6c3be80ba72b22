#include "child_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

std::string makeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "box-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

bool pollUntil(std::chrono::milliseconds timeout, auto&& done)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir() : path_(makeTempDir()) {}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, const Options& options)
    : dir_(makeTempDir())
{
    const std::string out = dir_ + "/stdout", err = dir_ + "/stderr";
    std::vector<char*> argv;
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), args.begin(), args.end());
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0) _exit(127);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        setpgid(0, 0);
        // As from a terminal, whatever the test runner ignores: run.sh traps Ctrl-C.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGQUIT, SIG_DFL);
        for (const auto& entry : options.environment) putenv(strdup(entry.c_str()));
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (!status_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ChildProcess::output() const { return readFile(dir_ + "/stdout"); }
std::string ChildProcess::errorOutput() const { return readFile(dir_ + "/stderr"); }

// A text that has not come when the program ended never comes.
bool ChildProcess::waitForText(const std::string& file, const std::string& text, std::chrono::milliseconds timeout,
                               std::size_t from)
{
    auto found = [&] { return readFile(dir_ + file).find(text, from) != std::string::npos; };
    pollUntil(timeout, [&] { return found() || !running(); });
    return found();
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout, std::size_t from)
{
    return waitForText("/stdout", text, timeout, from);
}

bool ChildProcess::waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    return waitForText("/stderr", text, timeout);
}

bool ChildProcess::running()
{
    if (status_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decodeStatus(status);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout)
{
    pollUntil(timeout, [&] { return !running(); });
    return status_;
}

void ChildProcess::signal(int sig) const
{
    if (!status_) kill(pid_, sig);
}

void ChildProcess::cutOff()
{
    signal(SIGKILL);
    waitForExit();
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds grace)
{
    signal(SIGTERM);
    if (auto status = waitForExit(grace)) return status;
    signal(SIGKILL);
    return waitForExit(std::chrono::seconds(5));
}

Finished runToEnd(const std::string& program, const std::vector<std::string>& args, const ChildProcess::Options& options,
                  std::chrono::milliseconds timeout)
{
    ChildProcess p(program, args, options);
    const auto status = p.waitForExit(timeout);
    return {status, p.output(), p.errorOutput()};
}

Finished shell(const std::string& command, std::chrono::milliseconds timeout)
{
    return runToEnd("/bin/sh", {"-c", "exec 2>&1; " + command}, {}, timeout);
}

}  // namespace testsupport
