// A TCP relay on 127.0.0.1 between one client and a server port, recording
// both byte streams for tshark. Header-only: programs that do not link
// test_support use it too.
#pragma once

#include "pcap_writer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <thread>

namespace test_support {

class LoopbackRelay {
public:
    explicit LoopbackRelay(std::uint16_t serverPort) : serverPort_(serverPort), listener_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a = address(0);
        socklen_t len = sizeof a;
        if (::bind(listener_.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_.fd, 1) != 0 ||
            ::getsockname(listener_.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackRelay() { finish(); }

    std::uint16_t port() const { return port_; }  // 0 if the relay could not listen

    // Waits until both sides have closed (or fell silent for 10 s).
    const Transcript& finish()
    {
        if (thread_.joinable())
            thread_.join();
        return transcript_;
    }

private:
    struct Fd {
        int fd;
        ~Fd()
        {
            if (fd >= 0)
                ::close(fd);
        }
    };

    static sockaddr_in address(std::uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    void run()
    {
        pollfd p{listener_.fd, POLLIN, 0};
        if (::poll(&p, 1, kIdleLimitMs) != 1)
            return;
        Fd client{::accept(listener_.fd, nullptr, nullptr)};
        Fd server{::socket(AF_INET, SOCK_STREAM, 0)};
        const sockaddr_in a = address(serverPort_);
        if (client.fd >= 0 && ::connect(server.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
            relay({client.fd, server.fd});
    }

    void relay(const std::array<int, 2> fds)
    {
        bool open[2] = {true, true};
        std::array<std::uint8_t, 65536> buf;
        while (open[0] || open[1]) {
            pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
            if (::poll(p, 2, kIdleLimitMs) <= 0)
                return;  // nothing for a long while: give up rather than hang
            for (int i = 0; i < 2; ++i) {
                if (!p[i].revents)
                    continue;
                const ssize_t n = ::recv(fds[i], buf.data(), buf.size(), 0);
                if (n <= 0) {
                    open[i] = false;
                    ::shutdown(fds[1 - i], SHUT_WR);
                    continue;
                }
                const ByteView chunk(buf.data(), static_cast<std::size_t>(n));
                i == 0 ? transcript_.toServer(chunk) : transcript_.toClient(chunk);
                for (std::size_t sent = 0; sent < chunk.size();) {
                    const ssize_t m = ::send(fds[1 - i], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
                    if (m <= 0)
                        break;
                    sent += static_cast<std::size_t>(m);
                }
            }
        }
    }

    static constexpr int kIdleLimitMs = 10000;
    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    Fd listener_;
    Transcript transcript_;
    std::thread thread_;
};

}  // namespace test_support
