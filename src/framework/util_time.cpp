#include "framework/util_time.h"

#include <cmath>

#include "framework/util_clock.h"

util_time::util_time() {
    int64_t f = 0;
    if (!util_currentClock().frequency(f) || f == 0) throw "util_time::util_time - QueryPerformanceCounter returned 0";
    double s = f > 0 ? std::trunc(std::log2(double(f)) - 13.0) : 0.0;
    shift_ = s > 0.0 ? int32_t(s) : 0;
    ticksPerSecond_ = f >> shift_;
    if (ticksPerSecond_ < 1000) throw "util_time::util_time - frequency <1000";
}

int64_t util_time::now() const { return util_currentClock().counter() >> shift_; }
