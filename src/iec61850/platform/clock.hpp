// Monotonic millisecond clock and sleep.
#pragma once

#include <cstdint>

namespace iec61850::platform {

// Milliseconds since an arbitrary fixed point; never goes backwards.
std::uint64_t timeMs();
// Milliseconds since the Unix epoch (wall clock, for time stamps).
std::uint64_t wallTimeMs();
void sleepMs(std::uint32_t ms);

}  // namespace iec61850::platform
