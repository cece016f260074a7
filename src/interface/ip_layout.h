// The words and calls a 32-bit Windows host relies on, checked by the compiler wherever this
// is included (the module includes it where its records are defined). The checks hold on
// every target; those that only mean something for 32-bit Windows are made there.
//
// The virtual slot of each host operation cannot be read at compile time in standard C++.
// It is checked in the generated code instead: scripts/check_windows_dll.py compiles this
// header with IP_LAYOUT_PROBE for both Windows targets and reads, in each probe below, the
// vtable offset the call goes through and the register that carries the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ip_host.h"

// Every operation of a host object that the module calls, with its virtual slot.
#define IP_HOST_SLOTS(X)                                                                                     \
    X(ip_console, readLine, 1) X(ip_console, write, 3) X(ip_console, message, 4) X(ip_profiler, report, 1) \
    X(ip_eventList, count, 2) X(ip_eventList, item, 3) X(ip_event, type, 1) X(ip_event, code, 2)           \
    X(ip_event, x, 3) X(ip_event, y, 4) X(ip_overlay, clear, 1) X(ip_overlay, acknowledge, 2)              \
    X(ip_overlay, drawPoint, 3) X(ip_overlay, drawLine, 4) X(ip_overlay, drawPolyline, 6)                  \
    X(ip_overlay, drawText, 7) X(ip_window, width, 1) X(ip_window, height, 2) X(ip_window, resize, 4)      \
    X(ip_window, drawOverlay, 6) X(ip_window, show, 10)

// A format record: szPixel, szRow, width and height as signed 32-bit words 0 to 3. An image
// record adds the pixel pointer as the next word (the fifth on 32-bit targets). offsetof on
// a class with a base (dib_base) is conditionally supported; GCC, Clang and MSVC do it, GCC
// with a warning that is silenced for these two checks only.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
template <class T>
constexpr bool ip_hasFormatWords() {
    using W = int32_t;
    return std::is_same_v<decltype(T::szPixel), W> && std::is_same_v<decltype(T::szRow), W> &&
           std::is_same_v<decltype(T::width), W> && std::is_same_v<decltype(T::height), W> &&
           offsetof(T, szPixel) == 0 && offsetof(T, szRow) == 4 && offsetof(T, width) == 8 &&
           offsetof(T, height) == 12;
}
template <class T>
constexpr bool ip_hasImageWords() {
    return ip_hasFormatWords<T>() && offsetof(T, bits) == 16 && sizeof(T::bits) == sizeof(void*);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

static_assert(ip_hasFormatWords<ip_fmtWords>() && sizeof(ip_fmtWords) == 16);
static_assert(ip_hasImageWords<ip_dibWords>());
static_assert(sizeof(ip_point) == 8 && offsetof(ip_point, x) == 0 && offsetof(ip_point, y) == 4);
static_assert(sizeof(ip_segment) == 16 && offsetof(ip_segment, from) == 0 && offsetof(ip_segment, to) == 8);
// One word without meaning, then three pointers: words 0 to 3 on 32-bit targets.
static_assert(offsetof(ip_pointList, first) == sizeof(void*) && offsetof(ip_pointList, last) == 2 * sizeof(void*) &&
              offsetof(ip_pointList, reserved) == 3 * sizeof(void*) && sizeof(ip_pointList) == 4 * sizeof(void*));
static_assert(offsetof(ip_hostCallbacks, createWindow) == 0 &&
              offsetof(ip_hostCallbacks, destroyWindow) == sizeof(void*) &&
              sizeof(ip_hostCallbacks) == 2 * sizeof(void*));

// Host objects hold nothing but their virtual table pointer, and have no virtual destructor,
// which would take slots of its own (two of them in GCC's ABI, one in MSVC's).
#define IP_CHECK_HOST_CLASS(C)                                                                  \
    static_assert(std::is_polymorphic_v<C> && !std::has_virtual_destructor_v<C> &&             \
                      sizeof(C) == sizeof(void*),                                                \
                  #C " must stay a plain table of virtual functions");
IP_CHECK_HOST_CLASS(ip_console)
IP_CHECK_HOST_CLASS(ip_profiler)
IP_CHECK_HOST_CLASS(ip_eventList)
IP_CHECK_HOST_CLASS(ip_event)
IP_CHECK_HOST_CLASS(ip_overlay)
IP_CHECK_HOST_CLASS(ip_window)
#undef IP_CHECK_HOST_CLASS

#if defined(_WIN32) && !defined(_WIN64)
// 32-bit Windows: host objects are called with thiscall (the object in ECX, the callee
// removes the arguments), the callbacks and the exports with cdecl (the caller removes them).
// The conventions are part of the function types, so a mismatch picks the false overload.
template <class R, class C, class... A>
constexpr bool ip_isThiscall(R (__thiscall C::*)(A...)) { return true; }
template <class T>
constexpr bool ip_isThiscall(T) { return false; }
template <class R, class... A>
constexpr bool ip_isCdecl(R (__cdecl*)(A...)) { return true; }
template <class T>
constexpr bool ip_isCdecl(T) { return false; }

#define IP_CHECK_THISCALL(C, f, slot) static_assert(ip_isThiscall(&C::f), #C "::" #f " must use thiscall");
IP_HOST_SLOTS(IP_CHECK_THISCALL)
#undef IP_CHECK_THISCALL
static_assert(ip_isCdecl(ip_hostCallbacks{}.createWindow) && ip_isCdecl(ip_hostCallbacks{}.destroyWindow));
static_assert(ip_isCdecl(&ip_dllAdaptor_create) && ip_isCdecl(&ip_dllAdaptor_destroy) &&
              ip_isCdecl(&ip_dllAdaptor_dstDib) && ip_isCdecl(&ip_dllAdaptor_config) &&
              ip_isCdecl(&ip_dllAdaptor_profile) && ip_isCdecl(&ip_dllAdaptor_process) &&
              ip_isCdecl(&ip_dllAdaptor_reformat));
#endif

#if defined(IP_LAYOUT_PROBE)
// One function per operation, ip_probe_<class>_<operation>_<slot>, that calls it on the
// object it is given with value-initialised arguments.
template <auto F, class C, class R, class... A>
void ip_probeCall(C* object, R (C::*)(A...)) {
    (object->*F)(A{}...);
}
#define IP_PROBE(C, f, slot) \
    extern "C" void ip_probe_##C##_##f##_##slot(C* object) { ip_probeCall<&C::f>(object, &C::f); }
IP_HOST_SLOTS(IP_PROBE)
#undef IP_PROBE
#endif
