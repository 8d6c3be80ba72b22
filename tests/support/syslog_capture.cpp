#include "syslog_capture.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

// How to enter a private mount namespace with bind mounts: as root, or in a user namespace.
struct NamespaceRoute {
    std::vector<std::string> unshare;
    std::string reason;
};

const NamespaceRoute& namespaceRoute()
{
    static const NamespaceRoute route = [] {
        const std::vector<std::string> asRoot{"/usr/bin/unshare", "--mount", "--propagation", "private"};
        std::vector<std::string> inUserNamespace = asRoot;
        inUserNamespace.insert(inUserNamespace.begin() + 1, {"--user", "--map-root-user"});
        for (const auto& candidate : {asRoot, inUserNamespace}) {
            TempDir dir;
            std::ofstream(dir.path() + "/target").close();
            std::vector<std::string> probe(candidate.begin() + 1, candidate.end());
            probe.insert(probe.end(), {"/bin/sh", "-c", "mount --bind /dev/null \"$1\"", "sh", dir.path() + "/target"});
            if (access(candidate[0].c_str(), X_OK) == 0 && runToEnd(candidate[0], probe, {}, std::chrono::seconds(10)).status == 0)
                return NamespaceRoute{candidate, {}};
        }
        return NamespaceRoute{{}, "no private mount namespace with bind mounts (no unshare, not root, no user namespaces)"};
    }();
    return route;
}

std::optional<SyslogRecord> parse(const std::string& datagram)
{
    static const std::regex format(R"(<(\d{1,3})>[^\]]* ([^ \[]+)\[(\d+)\]: ([\s\S]*))");
    std::smatch m;
    if (!std::regex_match(datagram, m, format))
        return std::nullopt;
    const int pri = std::stoi(m[1]);
    return SyslogRecord{pri >> 3, pri & 7, m[2], std::stol(m[3]), m[4], datagram};
}

}  // namespace

SyslogCapture::SyslogCapture() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    const std::string path = dir_.path() + "/log";
    std::filesystem::create_directory(dir_.path() + "/dev");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("syslog capture: no socket");
    std::strcpy(address.sun_path, path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("syslog capture: bind: ") + std::strerror(errno));
    chmod(path.c_str(), 0666);
    receiver_ = std::thread([this] { receive(); });
}

SyslogCapture::~SyslogCapture()
{
    shutdown(fd_, SHUT_RDWR);  // ends the receiver's recv
    receiver_.join();
    close(fd_);
}

std::string SyslogCapture::unavailableReason() { return namespaceRoute().reason; }

std::unique_ptr<ChildProcess> SyslogCapture::start(const std::string& program, const std::vector<std::string>& args,
                                                   const ChildProcess::Options& options) const
{
    if (!unavailableReason().empty())
        throw std::runtime_error("syslog capture: " + unavailableReason());
    std::vector<std::string> command(namespaceRoute().unshare.begin() + 1, namespaceRoute().unshare.end());
    command.insert(command.end(), {"/bin/sh", TEST_SUPPORT_DIR "/with_dev_log.sh", dir_.path() + "/dev",
                                   dir_.path() + "/log", program});
    command.insert(command.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(namespaceRoute().unshare[0], command, options);
}

void SyslogCapture::receive()
{
    std::string buffer(65536, '\0');
    for (ssize_t n; (n = recv(fd_, buffer.data(), buffer.size(), 0)) > 0;) {
        auto record = parse(buffer.substr(0, static_cast<std::size_t>(n)));
        std::lock_guard lock(mutex_);
        if (record)
            records_.push_back(std::move(*record));
        arrived_.notify_all();
    }
}

std::vector<SyslogRecord> SyslogCapture::records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

bool SyslogCapture::waitUntil(const std::function<bool(const std::vector<SyslogRecord>&)>& done,
                              std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return done(records_); });
}

}  // namespace testsupport
