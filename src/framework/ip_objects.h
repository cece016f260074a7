// Procedures that track objects also report them to the host (ip_dllAdaptor_objects).
#pragma once

#include "interface/ip_host.h"

class ip_objectSource {
public:
    // Writes up to `capacity` records of the current objects to `out` (which may be null
    // when capacity is 0) and returns how many objects there are.
    virtual int objects(ip_objectRecord* out, int capacity) const = 0;

protected:
    ~ip_objectSource() = default;
};
