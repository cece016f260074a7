// Procedures that count frames of note over a run (frames left out of a model, frames that
// could not be searched) tell the host the counts, each with a hint for the user.
#pragma once

#include <cstdint>

#include "framework/ip_base.h"
#include "interface/ip_host.h"

class ip_counterSource {
public:
    // The value of each counter the procedure's traits declare, in their order.
    virtual void counterValues(int64_t* values, int count) const = 0;

protected:
    ~ip_counterSource() = default;
};

// Writes up to `capacity` of `procedure`'s counters to `out`, `recordSize` bytes apart (at
// least sizeof(ip_counterRecord), else refused by a throw), zeros after each record: the names
// and hints its traits declare, the values it keeps. Returns how many there are; 0 when the
// procedure counts nothing.
int ip_writeCounters(const ip_base& procedure, void* out, int capacity, int recordSize);
