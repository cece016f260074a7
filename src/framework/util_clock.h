// Platform layer of the stage timer: a monotonic counter and its frequency.
#pragma once

#include <cstdint>

class util_clock {
public:
    virtual ~util_clock() = default;
    // Counts per second; false when the platform cannot tell.
    virtual bool frequency(int64_t& countsPerSecond) = 0;
    virtual int64_t counter() = 0;
};

// The clock in use: the performance counter on Windows, the monotonic clock elsewhere,
// unless a test installed another.
util_clock& util_currentClock();

// Installs `clock` (not owned) for every later reading; null restores the system clock.
void util_setClock(util_clock* clock);
