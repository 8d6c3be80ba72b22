#include "iec61850/platform/poller.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/epoll.h>
#include <unistd.h>

namespace iec61850::platform {

namespace {

epoll_event toEpoll(int fd, Interest interest)
{
    epoll_event e{};
    e.events = (interest.read ? EPOLLIN : 0u) | (interest.write ? EPOLLOUT : 0u);
    e.data.fd = fd;
    return e;
}

}  // namespace

Poller::Poller() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

Poller::~Poller()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Poller::add(int fd, Interest interest)
{
    epoll_event e = toEpoll(fd, interest);
    return ::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &e) == 0;
}

bool Poller::modify(int fd, Interest interest)
{
    epoll_event e = toEpoll(fd, interest);
    return ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &e) == 0;
}

void Poller::remove(int fd)
{
    ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
}

int Poller::wait(std::span<ReadyEvent> out, int timeoutMs)
{
    constexpr std::size_t kMaxEvents = 32;
    epoll_event events[kMaxEvents];
    const int capacity = static_cast<int>(std::min(out.size(), kMaxEvents));
    const int n = ::epoll_wait(fd_, events, capacity, timeoutMs);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        const std::uint32_t r = events[i].events;
        out[static_cast<std::size_t>(i)] = {events[i].data.fd, (r & EPOLLIN) != 0, (r & EPOLLOUT) != 0,
                                            (r & (EPOLLERR | EPOLLHUP)) != 0};
    }
    return n;
}

}  // namespace iec61850::platform
