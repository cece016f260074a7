// When the vector kernels of the operators run. Each kernel is compiled for SSE4, AVX2 and
// AVX-512 (Highway picks the best the processor has at run time); the plain per-pixel code
// stays the definition and runs everywhere else, and whenever AMBREVO_SCALAR=1 is set in the
// environment, so that one binary can be checked both ways.
#pragma once

#include <cstdlib>
#include <cstring>

// SSSE3 adds nothing over SSE4 worth its compile time; it must be off before Highway is read.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_SSSE3
#endif
#include <hwy/targets.h>

namespace ops_detail {

// Read at every operator call (a getenv is cheap next to a frame), so a test can switch modes.
inline bool scalarForced() {
    const char* v = std::getenv("AMBREVO_SCALAR");
    return v && std::strcmp(v, "1") == 0;
}

// Below SSE4 the only compiled target is Highway's emulation, slower than the plain code.
// Asked once: the processor does not change, and each question runs cpuid, which costs a
// trip to the hypervisor on a virtual machine. (Which of the vector targets runs is
// Highway's choice at every call.)
inline bool vectorsEnabled() {
    constexpr int64_t kVectorTargets = HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL;
    static const bool processorHasThem = (hwy::SupportedTargets() & kVectorTargets) != 0;
    return processorHasThem && !scalarForced();
}

}  // namespace ops_detail
