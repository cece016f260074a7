// Procedure factory: every procedure class registers one module-wide entry by name.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "framework/ip_base.h"

// What a procedure declares of itself beside its settings: its ip_procedureTraits but the name,
// which is the one it registers.
struct ip_traits {
    int32_t columns = ip_columnsArea | ip_columnsMotion;
    int32_t flags = 0;
    const char* countSetting = nullptr;
    const char* nothingFound = nullptr;
    std::span<const ip_counterTrait> counters = {};
};

class ip_creator_base {
public:
    virtual const char* name() const = 0;
    // What the procedure is, declared beside its settings; `name` is the registered one.
    virtual const ip_procedureTraits& traits() const = 0;
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

// The traits of the registered procedure called `name`, or null.
const ip_procedureTraits* ip_traitsOf(const char* name);

// T provides `static constexpr const char* registeredName` and a constructor from a format;
// `traits` is what the procedure declares of itself (its name is filled in here).
template <class T>
class ip_creator : public ip_creator_base {
public:
    explicit ip_creator(const ip_traits& t)
        : ip_creator_base(T::registeredName),
          traits_{T::registeredName, t.columns,          t.flags,
                  t.countSetting,    t.nothingFound,     t.counters.data(),
                  int32_t(t.counters.size())} {}
    const char* name() const override { return T::registeredName; }
    const ip_procedureTraits& traits() const override { return traits_; }
    ip_base* create(const dib_fmt* format) const override { return new (std::nothrow) T(format); }

private:
    ip_procedureTraits traits_;
};
