// Stage timer: the platform counter shifted so that a tick lasts 1/16384 to 1/8192 s.
#pragma once

#include <cstdint>

class util_time {
public:
    // Throws when the counter has no frequency or ticks slower than 1000 per second.
    util_time();

    // The shifted counter; callers keep its low 32 bits.
    int64_t now() const;
    int32_t shift() const { return shift_; }
    int64_t ticksPerSecond() const { return ticksPerSecond_; }

    // Ticks from reading `from` to reading `to`, right across a wrap of the low word.
    static int32_t elapsed(int64_t from, int64_t to) { return int32_t(uint32_t(to) - uint32_t(from)); }

private:
    int32_t shift_ = 0;
    int64_t ticksPerSecond_ = 0;
};
