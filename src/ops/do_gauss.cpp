#include "ops/do_gauss.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "ops/alg_ck_1d.h"
#include "ops/do_convolve_h.h"
#include "ops/do_convolve_v.h"

int do_gauss_kernelSize(float sigma) {
    if (!std::isfinite(sigma)) throw "do_gauss() - illegal sigma";
    const double size = 1.0 - 2.0 * std::trunc(-1.5 * double(sigma));
    if (size > double(INT_MAX)) throw "do_gauss() - illegal sigma";
    // Any negative size fails the kernel's check; keep the far negative ones representable.
    return size < double(INT_MIN) ? INT_MIN : int(size);
}

int do_gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch) {
    const int size = do_gauss_kernelSize(sigma);
    alg_ck_1d::check(size);
    const int64_t r = size / 2;
    const int64_t b = std::max(border, 0);
    // A kernel wider than both working regions reaches no pixel; its coefficients are
    // never read, so a huge one is not built (the passes still check their images).
    const bool reachesNothing = size > 11 && 2 * r >= src.absHeight() && 2 * (b + r) >= scratch.width;
    if (reachesNothing) {
        const alg_ck_1d empty(size, nullptr);
        const int b1 = do_convolve_v(empty, src, border, scratch);
        const int b2 = do_convolve_h(empty, scratch, border, dst);
        return std::max(b1, b2);
    }
    const alg_ck_1d_gauss kernel(sigma, size);
    const int b1 = do_convolve_v(kernel, src, border, scratch);
    const int b2 = do_convolve_h(kernel, scratch, border, dst);
    return std::max(b1, b2);
}
