#include "iec61850/ied/hal.hpp"

#include "iec61850/platform/clock.hpp"

std::uint64_t Hal_getTimeInMs() { return iec61850::platform::wallTimeMs(); }

void Thread_sleep(int ms)
{
    if (ms > 0)
        iec61850::platform::sleepMs(static_cast<std::uint32_t>(ms));
}
