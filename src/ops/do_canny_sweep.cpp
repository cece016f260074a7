#include "ops/do_canny_sweep.h"

#include <algorithm>
#include <cstdint>

#include "image/dib_access.h"
#include "ops/alg_ck_1d.h"
#include "ops/do_gauss.h"
#include "ops/do_gradient.h"
#include "ops/do_mask.h"
#include "ops/do_nms.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

namespace {
using namespace ops_detail;

bool sameSizes(const dib_base& src, std::initializer_list<const dib_base*> images) {
    for (const dib_base* image : images)
        if (!dib_sameSize(src, *image)) return false;
    return true;
}

// Whether the row kernels cover these images: a grey or 3-byte source, the detector's own
// pixel sizes, a kernel that reaches at least one row, and row lengths the kernels can step.
bool sweepable(const dib_base& src, int size, const dib_base& scratch, const dib_base& smoothed, const dib_base& gx,
               const dib_base& gy, const dib_base& direction, const dib_base& magnitude, const dib_base& nmsMask,
               const dib_base& suppressed) {
    if (src.szPixel != 1 && src.szPixel != 3) return false;
    for (const dib_base* b : {&scratch, &smoothed, &nmsMask, &suppressed})
        if (b->szPixel != 1) return false;
    for (const dib_base* w : {&gx, &gy, &direction, &magnitude})
        if (w->szPixel != 2) return false;
    if (!sameSizes(src, {&scratch, &smoothed, &gx, &gy, &direction, &magnitude, &nmsMask, &suppressed})) return false;
    return size >= 1 && size / 2 < src.absHeight() && size / 2 < src.width;
}
}  // namespace

int do_canny_sweep(const dib_base& src, float sigma, dib_base& scratch, dib_base& smoothed, dib_base& gx,
                   dib_base& gy, dib_base& direction, dib_base& magnitude, dib_base& nmsMask, dib_base& suppressed,
                   bool components) {
    const int size = do_gauss_kernelSize(sigma);
    alg_ck_1d::check(size);
    if (!vectorsEnabled() ||
        !sweepable(src, size, scratch, smoothed, gx, gy, direction, magnitude, nmsMask, suppressed)) {
        // The definition: one operator after the other over the whole frame.
        int border = do_gauss(src, 0, sigma, smoothed, scratch);
        border = do_gradient(smoothed, border, gx, gy, direction, magnitude);
        border = do_nms(gx, gy, magnitude, border, nmsMask);
        return do_mask(magnitude, nmsMask, border, suppressed);
    }

    const alg_ck_1d_gauss kernel(sigma, size);
    const int64_t r = size / 2, W = src.width, H = src.absHeight();
    // The working regions of the four operators for an incoming border of 0.
    const range vRows{r, H - r}, hCols{r, W - r};
    const range gRows{r + 1, H - r - 1}, gCols{r + 1, W - r - 1};
    const range nRows{r + 2, H - r - 2}, nCols{r + 2, W - r - 2};
    const bool colour = src.szPixel == 3;
    dib_access<pixel1> sc(scratch), sm(smoothed), nm(nmsMask), su(suppressed);
    dib_access<pixel2> ax(gx), ay(gy), ad(direction), am(magnitude);
    auto componentRow = [&](const dib_access<pixel2>& a, int64_t y) {
        // Without the component images the suppression needs only this row and the next.
        return a.row(int32_t(components ? y : y % 2));
    };

    // Row y is smoothed, row y - 1 differentiated and row y - 2 suppressed and masked: each
    // stage reads only rows that the stages before it have finished.
    for (int64_t y = 0; y < H + 2; ++y) {
        if (y < H) {
            if (y >= vRows.lo && y < vRows.hi) {
                const uint8_t* first = src.row(int32_t(y - r));
                if (colour)
                    convolveColumnsColour(first, src.szRow, kernel.coef, size, &sc.row(int32_t(y))->v, W);
                else
                    convolveColumnsGrey(first, src.szRow, kernel.coef, size, &sc.row(int32_t(y))->v, W);
            }
            if (!hCols.empty())
                convolveRowGrey(&sc.row(int32_t(y))->v, kernel.coef, size, &sm.row(int32_t(y))[hCols.lo].v,
                                hCols.hi - hCols.lo);
        }
        const int64_t g = y - 1;
        if (g >= gRows.lo && g < gRows.hi && !gCols.empty())
            gradientRow(sm.row(int32_t(g - 1)), sm.row(int32_t(g)), sm.row(int32_t(g + 1)), componentRow(ax, g),
                        componentRow(ay, g), components ? ad.row(int32_t(g)) : nullptr, am.row(int32_t(g)), gCols.lo,
                        gCols.hi);
        const int64_t n = y - 2;
        if (n >= nRows.lo && n < nRows.hi && !nCols.empty()) {
            suppressRow(am.row(int32_t(n - 1)), am.row(int32_t(n)), am.row(int32_t(n + 1)), componentRow(ax, n),
                        componentRow(ay, n), nm.row(int32_t(n)), nCols.lo, nCols.hi, true);
            maskRow(am.row(int32_t(n)) + nCols.lo, &nm.row(int32_t(n))[nCols.lo].v, su.row(int32_t(n)) + nCols.lo,
                    nCols.hi - nCols.lo);
        }
    }
    return nextBorder(r, 2);
}
