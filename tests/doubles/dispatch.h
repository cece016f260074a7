// Switching the module between its plain code and each vector target it can run here.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "ops/op_simd.h"

namespace doubles {

// Sets or clears AMBREVO_SCALAR, which makes the module take its plain code.
inline void forceScalar(bool on) {
#ifdef _WIN32
    _putenv_s("AMBREVO_SCALAR", on ? "1" : "");  // "" removes it
#else
    on ? setenv("AMBREVO_SCALAR", "1", 1) : unsetenv("AMBREVO_SCALAR");
#endif
}

// Runs f without AMBREVO_SCALAR once for each vector target this processor runs, named in the
// trace: SSE4, AVX2 and AVX-512 where Highway chooses at run time; in the Windows builds SSE4,
// the one compiled in.
template <class F>
void eachVectorTarget(F f) {
    forceScalar(false);
#if defined(HWY_COMPILE_ONLY_STATIC)
    SCOPED_TRACE("SSE4");
    if (ops_detail::processorHasSse4()) f();
#else
    for (int64_t target : {int64_t(HWY_SSE4), int64_t(HWY_AVX2), int64_t(HWY_AVX3)}) {
        if (!(hwy::SupportedTargets() & target)) continue;
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        f();
    }
    hwy::SetSupportedTargetsForTest(0);
#endif
}

}  // namespace doubles
