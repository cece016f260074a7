#include "framework/util_clock.h"

#include <atomic>
#include <ctime>

namespace {
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
// Read by every instance's stage timer, whatever thread it runs on.
std::atomic<util_clock*> installed{nullptr};
}  // namespace

util_clock& util_currentClock() {
    util_clock* clock = installed.load();
    return clock ? *clock : systemClock;
}

void util_setClock(util_clock* clock) { installed = clock; }
