// Monotonic millisecond clock, wall clock and sleep.
#pragma once

#include <cstdint>

namespace iec61850::platform {

// Milliseconds since an arbitrary fixed point; never goes backwards.
std::uint64_t timeMs();
// Milliseconds since the Unix epoch (wall clock, for time stamps): the system's
// real-time clock plus the offset below. Right past 2038 on 32-bit targets too.
std::uint64_t wallTimeMs();
void sleepMs(std::uint32_t ms);

// Moves wallTimeMs() against the system's clock, for tests that need a date the
// machine is not at. Builds with tests take the starting offset from the
// environment variable IEC61850_WALL_CLOCK_OFFSET_MS, so that a test can move
// the clock of a whole program; builds without tests start at 0.
void setWallClockOffsetMs(std::int64_t offsetMs);

}  // namespace iec61850::platform
