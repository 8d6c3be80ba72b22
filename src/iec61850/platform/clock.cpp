#include "iec61850/platform/clock.hpp"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace iec61850::platform {

namespace {

// Not std::chrono::system_clock: the C++ library of a 32-bit target may be built
// with a 32-bit time_t, and its clock ends in January 2038. Ours is built with a
// 64-bit one.
std::uint64_t systemWallTimeMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec / 1'000'000);
}

std::int64_t startingOffsetMs()
{
#ifdef IEC61850_WALL_CLOCK_OFFSET_FROM_ENV
    if (const char* text = std::getenv("IEC61850_WALL_CLOCK_OFFSET_MS")) {
        std::int64_t offset = 0;
        const char* end = text + std::strlen(text);
        if (const auto [at, error] = std::from_chars(text, end, offset); error == std::errc() && at == end)
            return offset;
    }
#endif
    return 0;
}

std::atomic<std::int64_t>& offsetMs()
{
    static std::atomic<std::int64_t> offset{startingOffsetMs()};
    return offset;
}

}  // namespace

std::uint64_t timeMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint64_t wallTimeMs()
{
    return systemWallTimeMs() + static_cast<std::uint64_t>(offsetMs().load(std::memory_order_relaxed));
}

void setWallClockOffsetMs(std::int64_t offset) { offsetMs().store(offset, std::memory_order_relaxed); }

void sleepMs(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace iec61850::platform
