// Procedure factory: every procedure class registers one module-wide entry by name.
#pragma once

#include <new>
#include <vector>

#include "framework/ip_base.h"

class ip_creator_base {
public:
    virtual const char* name() const = 0;
    // A new procedure for source images of `format`, owned by the caller.
    virtual ip_base* create(const dib_fmt* format) const = 0;

protected:
    // Registers the entry. The registry is kept in the module's fixed procedure order
    // ("canny", "canny_w0", "ccTrack", "nop", "flowtrack"), whatever order the
    // linker gives the static constructors; other names follow in arrival order.
    explicit ip_creator_base(const char* registeredName);
};

// Builds the entry's procedure with `callbacks` as its host record; null when out of memory.
ip_base* ip_createProcedure(const ip_creator_base& entry, const dib_fmt* format, const ip_hostCallbacks* callbacks);

// The registry, created on first use.
std::vector<ip_creator_base*>& ip_registry();

// First entry whose name equals `name`, or null.
ip_creator_base* ip_registry_find(const char* name);

// T provides `static constexpr const char* registeredName` and a constructor from a format.
template <class T>
class ip_creator : public ip_creator_base {
public:
    ip_creator() : ip_creator_base(T::registeredName) {}
    const char* name() const override { return T::registeredName; }
    ip_base* create(const dib_fmt* format) const override { return new (std::nothrow) T(format); }
};
