// Time and sleep for application code.
#pragma once

#include <cstdint>

// Wall-clock milliseconds since 1970-01-01 UTC.
std::uint64_t Hal_getTimeInMs();
void Thread_sleep(int ms);
