// When the vector kernels of the operators run. Each kernel is compiled for SSE4, AVX2 and
// AVX-512 (Highway picks the best the processor has at run time); the plain per-pixel code
// stays the definition and runs everywhere else, and whenever AMBREVO_SCALAR=1 is set in the
// environment, so that one binary can be checked both ways.
//
// The Windows builds compile SSE4 alone (static dispatch, HWY_COMPILE_ONLY_STATIC): the code
// around the kernels keeps the SSE2 baseline, and the kernels run when the processor has
// SSSE3, SSE4.1 and SSE4.2, the plain code otherwise.
#pragma once

#include <cstdlib>
#include <cstring>

// SSSE3 adds nothing over SSE4 worth its compile time; it must be off before Highway is read.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_SSSE3
#endif
#include <hwy/targets.h>

#if defined(HWY_COMPILE_ONLY_STATIC) && defined(_MSC_VER)
#include <intrin.h>
#elif defined(HWY_COMPILE_ONLY_STATIC)
#include <cpuid.h>
#endif

namespace ops_detail {

// Read at every operator call (a getenv is cheap next to a frame), so a test can switch modes.
inline bool scalarForced() {
    const char* v = std::getenv("AMBREVO_SCALAR");
    return v && std::strcmp(v, "1") == 0;
}

#if defined(HWY_COMPILE_ONLY_STATIC)
static_assert(HWY_STATIC_TARGET == HWY_SSE4, "the static builds compile SSE4 kernels, and check for SSE4 below");

inline bool processorHasSse4() {
    unsigned r[4] = {0, 0, 0, 0};  // eax, ebx, ecx, edx of leaf 1
#if defined(_MSC_VER)
    __cpuid(reinterpret_cast<int*>(r), 1);
#else
    __get_cpuid(1, &r[0], &r[1], &r[2], &r[3]);
#endif
    const unsigned ssse3 = 1u << 9, sse41 = 1u << 19, sse42 = 1u << 20;
    return (r[2] & (ssse3 | sse41 | sse42)) == (ssse3 | sse41 | sse42);
}
#endif

// Below SSE4 the only compiled target is Highway's emulation, slower than the plain code.
// Asked once: the processor does not change, and each question runs cpuid, which costs a
// trip to the hypervisor on a virtual machine. (Which of the vector targets runs is
// Highway's choice at every call.)
inline bool vectorsEnabled() {
#if defined(HWY_COMPILE_ONLY_STATIC)
    static const bool processorHasThem = processorHasSse4();
#else
    constexpr int64_t kVectorTargets = HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL;
    static const bool processorHasThem = (hwy::SupportedTargets() & kVectorTargets) != 0;
#endif
    return processorHasThem && !scalarForced();
}

}  // namespace ops_detail
