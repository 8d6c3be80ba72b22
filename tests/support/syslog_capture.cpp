#include "syslog_capture.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Run by /bin/sh inside the new mount namespace: $1 stage directory, $2 the
// capture's socket, then the program and its arguments.
constexpr const char* kNamespaceScript = R"sh(
stage=$1; sock=$2; shift 2
for entry in /dev/*; do
  name=${entry#/dev/}
  [ "$name" = log ] && continue
  if [ -L "$entry" ]; then cp -P "$entry" "$stage/$name"
  elif [ -d "$entry" ]; then mkdir -p "$stage/$name" && mount --rbind "$entry" "$stage/$name" 2>/dev/null
  elif [ -e "$entry" ]; then : > "$stage/$name" && mount --bind "$entry" "$stage/$name" 2>/dev/null
  fi
done
: > "$stage/log" && mount --bind "$sock" "$stage/log" && mount --rbind "$stage" /dev || exit 126
exec "$@"
)sh";

std::string unshareProgram()
{
    for (const char* path : {"/usr/bin/unshare", "/bin/unshare"})
        if (access(path, X_OK) == 0)
            return path;
    return {};
}

struct NamespaceRoute {
    std::vector<std::string> unshareArgs;
    std::string reason;
};

bool routeWorks(const std::string& unshare, const std::vector<std::string>& args)
{
    TempDir dir;
    const std::string target = dir.path() + "/target";
    std::ofstream(target).close();
    std::vector<std::string> command = args;
    command.insert(command.end(), {"/bin/sh", "-c", "mount --bind /dev/null \"$1\"", "sh", target});
    ChildProcess probe(unshare, command);
    return probe.waitForExit(std::chrono::seconds(10)) == 0;
}

const NamespaceRoute& namespaceRoute()
{
    static const NamespaceRoute route = [] {
        NamespaceRoute r;
        const std::string unshare = unshareProgram();
        if (unshare.empty()) {
            r.reason = "unshare (util-linux) is not installed";
            return r;
        }
        const std::vector<std::string> asRoot{unshare, "--mount", "--propagation", "private"};
        const std::vector<std::string> inUserNamespace{unshare, "--user", "--map-root-user", "--mount",
                                                       "--propagation", "private"};
        for (const auto& candidate : {asRoot, inUserNamespace}) {
            if (routeWorks(unshare, {candidate.begin() + 1, candidate.end()})) {
                r.unshareArgs = candidate;
                return r;
            }
        }
        r.reason = "no private mount namespace with bind mounts (not root, no user namespaces)";
        return r;
    }();
    return route;
}

int severityOf(int pri) { return pri & 7; }
int facilityOf(int pri) { return pri >> 3; }

}  // namespace

std::optional<SyslogRecord> parseSyslogRecord(const std::string& datagram)
{
    if (datagram.size() < 3 || datagram[0] != '<')
        return std::nullopt;
    const auto closing = datagram.find('>');
    if (closing == std::string::npos || closing == 1 || closing > 4)
        return std::nullopt;
    const auto tagEnd = datagram.find("]: ", closing);
    const auto pidStart = tagEnd == std::string::npos ? tagEnd : datagram.rfind('[', tagEnd);
    if (pidStart == std::string::npos || pidStart < closing)
        return std::nullopt;
    const auto identStart = datagram.rfind(' ', pidStart);
    if (identStart == std::string::npos || identStart < closing)
        return std::nullopt;
    SyslogRecord r;
    try {
        const int pri = std::stoi(datagram.substr(1, closing - 1));
        r.facility = facilityOf(pri);
        r.severity = severityOf(pri);
        r.pid = std::stol(datagram.substr(pidStart + 1, tagEnd - pidStart - 1));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    r.ident = datagram.substr(identStart + 1, pidStart - identStart - 1);
    r.message = datagram.substr(tagEnd + 3);
    r.raw = datagram;
    return r;
}

SyslogCapture::SyslogCapture()
    : socketPath_(dir_.path() + "/log"), stagePath_(dir_.path() + "/dev")
{
    std::filesystem::create_directory(stagePath_);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || socketPath_.size() >= sizeof address.sun_path)
        throw std::runtime_error("syslog capture: no socket");
    std::strcpy(address.sun_path, socketPath_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("syslog capture: bind: ") + std::strerror(errno));
    chmod(socketPath_.c_str(), 0666);
    receiver_ = std::thread([this] { receive(); });
}

SyslogCapture::~SyslogCapture()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    receiver_.join();
    close(fd_);
}

std::string SyslogCapture::unavailableReason()
{
    return namespaceRoute().reason;
}

std::vector<std::string> SyslogCapture::wrappedCommand(const std::string& program,
                                                       const std::vector<std::string>& args) const
{
    std::vector<std::string> command = namespaceRoute().unshareArgs;
    command.insert(command.end(), {"/bin/sh", "-c", kNamespaceScript, "sh", stagePath_, socketPath_, program});
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::unique_ptr<ChildProcess> SyslogCapture::start(const std::string& program, const std::vector<std::string>& args,
                                                   const ChildProcess::Options& options) const
{
    if (!unavailableReason().empty())
        throw std::runtime_error("syslog capture: " + unavailableReason());
    std::vector<std::string> command = wrappedCommand(program, args);
    const std::string unshare = command.front();
    command.erase(command.begin());
    return std::make_unique<ChildProcess>(unshare, command, options);
}

void SyslogCapture::receive()
{
    std::string buffer(65536, '\0');
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            continue;
        auto record = parseSyslogRecord(buffer.substr(0, static_cast<std::size_t>(n)));
        if (!record)
            continue;
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(*record));
        arrived_.notify_all();
    }
}

std::vector<SyslogRecord> SyslogCapture::records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<SyslogRecord> SyslogCapture::recordsOf(long pid) const
{
    std::vector<SyslogRecord> out;
    for (auto& r : records())
        if (r.pid == pid)
            out.push_back(r);
    return out;
}

bool SyslogCapture::waitUntil(const std::function<bool(const std::vector<SyslogRecord>&)>& done,
                              std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return done(records_); });
}

bool SyslogCapture::waitForMessage(const std::string& message, std::chrono::milliseconds timeout) const
{
    return waitUntil(
        [&](const std::vector<SyslogRecord>& records) {
            for (const auto& r : records)
                if (r.message == message)
                    return true;
            return false;
        },
        timeout);
}

}  // namespace testsupport
