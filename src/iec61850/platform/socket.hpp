// Thin POSIX TCP layer: non-blocking sockets with TCP_NODELAY, a listener,
// connect with a timeout, poll, and a waker to interrupt a poll from another
// thread. Nothing here throws; failures come back as a NetStatus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace iec61850::platform {

enum class NetStatus : std::uint8_t {
    Ok,
    WouldBlock,      // nothing to read / no room to write right now
    Closed,          // the peer closed the connection (orderly)
    Reset,           // the connection broke (reset, pipe, ...)
    TimedOut,
    Refused,         // connect refused
    AddressInUse,    // bind: the port is taken
    BadAddress,      // the host/port could not be parsed or resolved
    Error,           // anything else
};

const char* toString(NetStatus s);

struct IoResult {
    NetStatus status = NetStatus::Ok;
    std::size_t count = 0;  // bytes moved when status is Ok

    bool ok() const { return status == NetStatus::Ok; }
};

// Owns one file descriptor; closes it on destruction. Move-only.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int release();
    void close();
    // Half-close: no more sends, the peer sees end of stream.
    void shutdownWrite();
    // TCP keepalive: the first probe after idleSeconds without traffic, then
    // one every intervalSeconds; the connection breaks when `probes` go
    // unanswered, or when sent data stays unacknowledged as long. False when
    // the system refused an option.
    bool setKeepAlive(int idleSeconds, int intervalSeconds, int probes);

    // Non-blocking send/recv. recv reports Closed at end of stream.
    IoResult send(std::span<const std::uint8_t> data);
    IoResult recv(std::span<std::uint8_t> buffer);

    // "127.0.0.1:4102" or "[::1]:4102"; empty when unknown.
    std::string localAddress() const;
    std::string peerAddress() const;

private:
    int fd_ = -1;
};

// Connects to host:port (numeric address or name), waiting at most timeoutMs.
// On success `out` is a connected non-blocking socket with TCP_NODELAY.
NetStatus connectTcp(std::string_view host, std::uint16_t port, int timeoutMs, Socket& out);

// A listening TCP socket bound to a local address ("" or "0.0.0.0" = any IPv4,
// "::" = any IPv6) with SO_REUSEADDR. Port 0 picks a free port.
class Listener {
public:
    NetStatus open(std::string_view host, std::uint16_t port, int backlog = 16);
    bool valid() const { return socket_.valid(); }
    int fd() const { return socket_.fd(); }
    void close() { socket_.close(); }
    // The bound port (useful after binding port 0).
    std::uint16_t port() const;
    std::string localAddress() const { return socket_.localAddress(); }

    // Accepts one pending connection as a non-blocking TCP_NODELAY socket.
    // Returns WouldBlock when none is pending.
    NetStatus accept(Socket& out);

private:
    Socket socket_;
};

struct PollEntry {
    int fd = -1;
    bool wantRead = false;
    bool wantWrite = false;
    // Results.
    bool readable = false;
    bool writable = false;
    bool failed = false;  // error or hang-up; a read will tell which
};

// Waits until one entry is ready or timeoutMs passes (-1 = forever).
// Returns the number of ready entries, 0 on timeout, -1 on error.
int poll(std::span<PollEntry> entries, int timeoutMs);

// A pipe another thread can signal to wake a poll().
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool valid() const { return readFd_ >= 0; }
    int fd() const { return readFd_; }
    void wake();
    // Clears pending wake-ups; call when fd() polled readable.
    void drain();

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};

}  // namespace iec61850::platform
