#include "framework/util_clock.h"

#include <atomic>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <ctime>
#endif

namespace {
#ifdef _WIN32
// The performance counter. Its frequency is fixed at boot but asked every time, as the
// stage timer checks it anew on every frame.
class performance_clock final : public util_clock {
public:
    bool frequency(int64_t& countsPerSecond) override {
        LARGE_INTEGER f;
        if (!QueryPerformanceFrequency(&f)) return false;
        countsPerSecond = f.QuadPart;
        return true;
    }
    int64_t counter() override {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
};

performance_clock systemClock;
#else
class monotonic_clock final : public util_clock {
public:
    bool frequency(int64_t& countsPerSecond) override {
        countsPerSecond = 1000000000;
        return true;
    }
    int64_t counter() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
};

monotonic_clock systemClock;
#endif
// Read by every instance's stage timer, whatever thread it runs on.
std::atomic<util_clock*> installed{nullptr};
}  // namespace

util_clock& util_currentClock() {
    util_clock* clock = installed.load();
    return clock ? *clock : systemClock;
}

void util_setClock(util_clock* clock) { installed = clock; }
