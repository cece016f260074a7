// Procedures that count frames of note over a run (frames left out of a model, frames that
// could not be searched) tell the host the counts, each with a hint for the user.
#pragma once

#include "framework/ip_base.h"
#include "interface/ip_host.h"

class ip_counterSource {
public:
    // Writes up to `capacity` counters to `out` (which may be null when capacity is 0) and
    // returns how many there are. Names and hints are the procedure's own, valid while it lives.
    virtual int counters(ip_counterRecord* out, int capacity) const = 0;

protected:
    ~ip_counterSource() = default;
};

// Writes up to `capacity` of `procedure`'s counters to `out`, `recordSize` bytes apart (at
// least sizeof(ip_counterRecord), else refused by a throw), zeros after each record. Returns
// how many there are; 0 when the procedure counts nothing.
int ip_writeCounters(const ip_base& procedure, void* out, int capacity, int recordSize);
