// Readiness of many descriptors at once (epoll). Registrations persist between
// waits, so a loop pays a system call for an interest only when it changes.
#pragma once

#include <cstddef>
#include <span>

namespace iec61850::platform {

struct Interest {
    bool read = false;
    bool write = false;

    bool operator==(const Interest&) const = default;
};

struct ReadyEvent {
    int fd = -1;
    bool readable = false;
    bool writable = false;
    bool failed = false;  // error or hang-up; a read will tell which
};

class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool add(int fd, Interest interest);
    bool modify(int fd, Interest interest);
    // Call before the descriptor closes.
    void remove(int fd);

    // Waits until a descriptor is ready or timeoutMs passes (-1 = forever).
    // Returns the number of events written to `out`, 0 on timeout or signal,
    // -1 on error.
    int wait(std::span<ReadyEvent> out, int timeoutMs);

private:
    int fd_ = -1;
};

}  // namespace iec61850::platform
