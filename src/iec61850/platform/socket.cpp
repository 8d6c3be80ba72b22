#include "iec61850/platform/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace iec61850::platform {

const char* toString(NetStatus s)
{
    switch (s) {
    case NetStatus::Ok: return "ok";
    case NetStatus::WouldBlock: return "would block";
    case NetStatus::Closed: return "closed";
    case NetStatus::Reset: return "reset";
    case NetStatus::TimedOut: return "timed out";
    case NetStatus::Refused: return "refused";
    case NetStatus::AddressInUse: return "address in use";
    case NetStatus::BadAddress: return "bad address";
    case NetStatus::Error: return "error";
    }
    return "?";
}

namespace {

bool setNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void setCloseOnExec(int fd)
{
    int flags = ::fcntl(fd, F_GETFD, 0);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void setNoDelay(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

NetStatus statusFromErrno(int err)
{
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return NetStatus::WouldBlock;
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
    case ENOTCONN: return NetStatus::Reset;
    case ETIMEDOUT: return NetStatus::TimedOut;
    case ECONNREFUSED: return NetStatus::Refused;
    case EADDRINUSE: return NetStatus::AddressInUse;
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
    case EINVAL: return NetStatus::BadAddress;
    default: return NetStatus::Error;
    }
}

std::string addressText(const sockaddr_storage& ss)
{
    char host[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, &ss, sizeof sin);
        if (!::inet_ntop(AF_INET, &sin.sin_addr, host, sizeof host))
            return {};
        return std::string(host) + ':' + std::to_string(ntohs(sin.sin_port));
    }
    if (ss.ss_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &ss, sizeof sin6);
        if (!::inet_ntop(AF_INET6, &sin6.sin6_addr, host, sizeof host))
            return {};
        return '[' + std::string(host) + "]:" + std::to_string(ntohs(sin6.sin6_port));
    }
    return {};
}

struct AddrInfoList {
    addrinfo* head = nullptr;
    ~AddrInfoList()
    {
        if (head)
            ::freeaddrinfo(head);
    }
};

NetStatus resolve(std::string_view host, std::uint16_t port, bool passive, AddrInfoList& out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    std::string hostText(host);
    if (passive && hostText.empty())
        hostText = "0.0.0.0";
    std::string portText = std::to_string(port);
    if (::getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &out.head) != 0 || !out.head)
        return NetStatus::BadAddress;
    return NetStatus::Ok;
}

int openStreamSocket(int family)
{
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    setCloseOnExec(fd);
    if (!setNonBlocking(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

NetStatus waitConnected(int fd, int timeoutMs)
{
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return NetStatus::TimedOut;
    if (n < 0)
        return NetStatus::Error;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return NetStatus::Error;
    return err == 0 ? NetStatus::Ok : statusFromErrno(err);
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Socket::shutdownWrite()
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

bool Socket::setKeepAlive(int idleSeconds, int intervalSeconds, int probes)
{
    const int on = 1;
    const unsigned unacknowledgedMs = 1000u * static_cast<unsigned>(idleSeconds + intervalSeconds * probes);
    auto set = [this](int level, int name, const auto& value) {
        return ::setsockopt(fd_, level, name, &value, sizeof value) == 0;
    };
    return set(SOL_SOCKET, SO_KEEPALIVE, on) && set(IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds) &&
           set(IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds) && set(IPPROTO_TCP, TCP_KEEPCNT, probes) &&
           set(IPPROTO_TCP, TCP_USER_TIMEOUT, unacknowledgedMs);
}

IoResult Socket::send(std::span<const std::uint8_t> data)
{
    if (fd_ < 0)
        return {NetStatus::Error, 0};
    if (data.empty())
        return {NetStatus::Ok, 0};
    for (;;) {
        ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n >= 0)
            return {NetStatus::Ok, static_cast<std::size_t>(n)};
        if (errno != EINTR)
            return {statusFromErrno(errno), 0};
    }
}

IoResult Socket::recv(std::span<std::uint8_t> buffer)
{
    if (fd_ < 0)
        return {NetStatus::Error, 0};
    if (buffer.empty())
        return {NetStatus::Ok, 0};
    for (;;) {
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n > 0)
            return {NetStatus::Ok, static_cast<std::size_t>(n)};
        if (n == 0)
            return {NetStatus::Closed, 0};
        if (errno != EINTR)
            return {statusFromErrno(errno), 0};
    }
}

std::string Socket::localAddress() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return {};
    return addressText(ss);
}

std::string Socket::peerAddress() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return {};
    return addressText(ss);
}

NetStatus connectTcp(std::string_view host, std::uint16_t port, int timeoutMs, Socket& out)
{
    AddrInfoList list;
    if (NetStatus s = resolve(host, port, false, list); s != NetStatus::Ok)
        return s;
    NetStatus last = NetStatus::Error;
    for (addrinfo* ai = list.head; ai; ai = ai->ai_next) {
        Socket s(openStreamSocket(ai->ai_family));
        if (!s.valid())
            continue;
        if (::connect(s.fd(), ai->ai_addr, ai->ai_addrlen) == 0) {
            last = NetStatus::Ok;
        } else if (errno == EINPROGRESS) {
            last = waitConnected(s.fd(), timeoutMs);
        } else {
            last = statusFromErrno(errno);
        }
        if (last == NetStatus::Ok) {
            setNoDelay(s.fd());
            out = std::move(s);
            return NetStatus::Ok;
        }
    }
    return last;
}

NetStatus Listener::open(std::string_view host, std::uint16_t port, int backlog)
{
    socket_.close();
    AddrInfoList list;
    if (NetStatus s = resolve(host, port, true, list); s != NetStatus::Ok)
        return s;
    NetStatus last = NetStatus::Error;
    for (addrinfo* ai = list.head; ai; ai = ai->ai_next) {
        Socket s(openStreamSocket(ai->ai_family));
        if (!s.valid())
            continue;
        int one = 1;
        ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (ai->ai_family == AF_INET6)
            ::setsockopt(s.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (::bind(s.fd(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(s.fd(), backlog) != 0) {
            last = statusFromErrno(errno);
            continue;
        }
        socket_ = std::move(s);
        return NetStatus::Ok;
    }
    return last;
}

std::uint16_t Listener::port() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (!socket_.valid() || ::getsockname(socket_.fd(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, &ss, sizeof sin);
        return ntohs(sin.sin_port);
    }
    if (ss.ss_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &ss, sizeof sin6);
        return ntohs(sin6.sin6_port);
    }
    return 0;
}

NetStatus Listener::accept(Socket& out)
{
    if (!socket_.valid())
        return NetStatus::Error;
    for (;;) {
        int fd = ::accept(socket_.fd(), nullptr, nullptr);
        if (fd >= 0) {
            Socket s(fd);
            setCloseOnExec(fd);
            if (!setNonBlocking(fd))
                return NetStatus::Error;
            setNoDelay(fd);
            out = std::move(s);
            return NetStatus::Ok;
        }
        // A connection that died in the backlog is not the listener's failure.
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        return statusFromErrno(errno);
    }
}

int poll(std::span<PollEntry> entries, int timeoutMs)
{
    thread_local std::vector<pollfd> fds;
    fds.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) | (entries[i].wantWrite ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int n = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeoutMs);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        short r = fds[i].revents;
        entries[i].readable = (r & POLLIN) != 0;
        entries[i].writable = (r & POLLOUT) != 0;
        entries[i].failed = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return n;
}

Waker::Waker()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    for (int fd : fds) {
        setCloseOnExec(fd);
        setNonBlocking(fd);
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
}

Waker::~Waker()
{
    if (readFd_ >= 0)
        ::close(readFd_);
    if (writeFd_ >= 0)
        ::close(writeFd_);
}

void Waker::wake()
{
    if (writeFd_ < 0)
        return;
    std::uint8_t one = 1;
    // A full pipe already means "wake up"; nothing to do on EAGAIN.
    [[maybe_unused]] ssize_t n = ::write(writeFd_, &one, 1);
}

void Waker::drain()
{
    std::uint8_t buf[64];
    while (readFd_ >= 0 && ::read(readFd_, buf, sizeof buf) > 0) {
    }
}

}  // namespace iec61850::platform
