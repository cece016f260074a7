// Procedures that track objects also report them to the host (ip_dllAdaptor_objects).
#pragma once

#include <cstddef>

#include "interface/ip_host.h"

class ip_objectSource {
public:
    // Writes up to `capacity` records of the current objects to `out` (which may be null
    // when capacity is 0) and returns how many objects there are.
    virtual int objects(ip_objectRecord* out, int capacity) const = 0;
    // As objects(), with the richer record; by default the plain records converted.
    virtual int details(ip_objectDetails* out, int capacity) const;

protected:
    ~ip_objectSource() = default;
};

// The bytes of ip_objectDetails up to its area: index, x and y, what every host reads.
constexpr int ip_detailsLeast = int(offsetof(ip_objectDetails, area));

// Writes up to `capacity` of `source`'s object details to `out`, `recordSize` bytes apart
// (at least ip_detailsLeast): as much of each record as both sides know, zeros after.
// Returns how many objects there are.
int ip_writeDetails(const ip_objectSource& source, void* out, int capacity, int recordSize);
