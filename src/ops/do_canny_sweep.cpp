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

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_canny_sweep.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Suppression and mask of one row in one pass, on what the gradient has just made:
// magnitudes in [0, 23079] and components that are multiples of 64 up to 16320 in size.
// Everything fits 16-bit lanes but the two products of each side, which are formed as
// their low and high halves (A = (m - n1) big + (n1 - c1) small is below 2^30 in size, so
// the high half of the sum, carry included, carries its sign). The selects are isRidge's.
// Covers whole vectors from x0 on and returns where it stopped; the caller finishes the row.
int64_t SuppressAndMask(const pixel2* up, const pixel2* mid, const pixel2* down, const pixel2* gxr, const pixel2* gyr,
                        pixel1* mask, pixel1* out, int64_t x0, int64_t x1) {
    const hn::ScalableTag<int16_t> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    auto at = [&](const pixel2* row, int64_t x) { return hn::LoadU(d, reinterpret_cast<const int16_t*>(row + x)); };
    const auto zero = hn::Zero(d);
    // The sum of two products as its high half (signed) and low half (unsigned).
    auto sum = [&](auto a1, auto b1, auto a2, auto b2, auto& hi) {
        const auto lo1 = hn::BitCast(du, hn::Mul(a1, b1)), lo2 = hn::BitCast(du, hn::Mul(a2, b2));
        const auto lo = hn::Add(lo1, lo2);
        const auto carry = hn::RebindMask(d, hn::Lt(lo, lo1));
        hi = hn::Sub(hn::Add(hn::MulHigh(a1, b1), hn::MulHigh(a2, b2)), hn::VecFromMask(d, carry));
        return lo;
    };
    int64_t x = x0;
    for (; x + N <= x1; x += N) {
        const auto UL = at(up, x - 1), U = at(up, x), UR = at(up, x + 1);
        const auto L = at(mid, x - 1), m = at(mid, x), R = at(mid, x + 1);
        const auto DL = at(down, x - 1), D = at(down, x), DR = at(down, x + 1);
        const auto gx = at(gxr, x), gy = at(gyr, x);
        const auto ax = hn::Abs(gx), ay = hn::Abs(gy);
        const auto differ = hn::Or(hn::And(hn::Gt(gx, zero), hn::Lt(gy, zero)),
                                   hn::And(hn::Lt(gx, zero), hn::Gt(gy, zero)));
        const auto xMajor = hn::Not(hn::Lt(ax, ay));
        const auto big = hn::IfThenElse(xMajor, ax, ay);
        const auto small = hn::IfThenElse(xMajor, ay, ax);
        const auto n1 = hn::IfThenElse(xMajor, L, hn::IfThenElse(differ, D, U));
        const auto n2 = hn::IfThenElse(xMajor, R, hn::IfThenElse(differ, U, D));
        const auto c1 = hn::IfThenElse(differ, DL, UL);
        const auto c2 = hn::IfThenElse(differ, UR, DR);
        hn::Vec<decltype(d)> hiA, hiB;
        sum(hn::Sub(m, n1), big, hn::Sub(n1, c1), small, hiA);
        const auto loB = sum(hn::Sub(m, n2), big, hn::Sub(n2, c2), small, hiB);
        const auto aNotNegative = hn::Not(hn::Lt(hiA, zero));
        const auto bPositive = hn::Or(hn::Gt(hiB, zero), hn::And(hn::Eq(hiB, zero), hn::RebindMask(d, hn::Ne(loB, hn::Zero(du)))));
        const auto on = hn::And(hn::Gt(m, zero), hn::And(aNotNegative, bPositive));
        hn::StoreU(hn::DemoteTo(d8, hn::IfThenElseZero(on, hn::Set(d, 128))), d8, reinterpret_cast<uint8_t*>(mask + x));
        // The kept magnitude in grey levels, (m + 32) / 64, its low 8 bits.
        const auto grey = hn::And(hn::ShiftRight<6>(hn::Add(m, hn::Set(d, 32))), hn::Set(d, 0xFF));
        hn::StoreU(hn::DemoteTo(d8, hn::IfThenElseZero(on, grey)), d8, reinterpret_cast<uint8_t*>(out + x));
    }
    return x;
}

// The vertical 7-tap pass for two neighbouring rows at once: rows y and y + 1 share six of
// their eight source rows, so each source vector is widened and converted once for both.
// Each row's sum is formed in its own tap order, as the pass forms it. Grey (channels 1) or
// three-byte samples, as ColumnsGrey and ColumnsColour; whole vectors from column 0 on;
// returns the first column not done.
int64_t ColumnPair7(const uint8_t* first, int64_t stride, const float* coef, int channels, uint8_t* out0,
                    uint8_t* out1, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    hn::Vec<decltype(d)> c[7];
    for (int k = 0; k < 7; ++k) c[k] = hn::Set(d, coef[k]);
    const auto half = hn::Set(d, 0.5f);
    const auto low8 = hn::Set(d32, 0xFF);
    // The rounded bytes of both rows for the samples at offset i of each source row.
    auto sums = [&](int64_t i, hn::Vec<decltype(d32)>& r0, hn::Vec<decltype(d32)>& r1) {
        auto acc0 = hn::Zero(d), acc1 = hn::Zero(d);
        for (int k = 0; k < 8; ++k) {
            const auto v = hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, first + k * stride + i)));
            if (k < 7) acc0 = hn::Add(acc0, hn::Mul(c[k], v));
            if (k > 0) acc1 = hn::Add(acc1, hn::Mul(c[k - 1], v));
        }
        r0 = hn::And(hn::ConvertTo(d32, hn::Add(acc0, half)), low8);
        r1 = hn::And(hn::ConvertTo(d32, hn::Add(acc1, half)), low8);
    };
    int64_t x = 0;
    if (channels == 1) {
        for (; x + N <= n; x += N) {
            hn::Vec<decltype(d32)> r0, r1;
            sums(x, r0, r1);
            hn::StoreU(LowBytes(d32, r0), d8, out0 + x);
            hn::StoreU(LowBytes(d32, r1), d8, out1 + x);
        }
        return x;
    }
    HWY_ALIGN uint8_t samples[2][3 * hn::MaxLanes(d)];
    uint8_t* outs[2] = {out0, out1};
    for (; x + N <= n; x += N) {
        for (int64_t part = 0; part < 3; ++part) {
            hn::Vec<decltype(d32)> r0, r1;
            sums(3 * x + part * N, r0, r1);
            hn::StoreU(LowBytes(d32, r0), d8, samples[0] + part * N);
            hn::StoreU(LowBytes(d32, r1), d8, samples[1] + part * N);
        }
        for (int row = 0; row < 2; ++row) {
            hn::Vec<decltype(d8)> c0, c1, c2;
            hn::LoadInterleaved3(d8, samples[row], c0, c1, c2);
            const auto sum = hn::Add(hn::Add(hn::PromoteTo(d32, c0), hn::PromoteTo(d32, c1)), hn::PromoteTo(d32, c2));
            // (2 sum + 3) / 6 as (x * 43691) >> 18, exact for every x up to 1533.
            const auto twice = hn::Add(hn::Add(sum, sum), hn::Set(d32, 3));
            hn::StoreU(LowBytes(d32, hn::ShiftRight<18>(hn::Mul(twice, hn::Set(d32, 43691)))), d8, outs[row] + x);
        }
    }
    return x;
}

// The horizontal 7-tap pass from the scratch row as floats: each sample is converted once,
// not once per tap (float(byte) is exact, so the products and sums are the pass's own).
void SamplesToFloats(const uint8_t* in, float* out, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    int64_t i = 0;
    for (; i + N <= n; i += N) hn::StoreU(hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, in + i))), d, out + i);
    for (; i < n; ++i) out[i] = float(in[i]);
}

// The rounded byte of one accumulator, as float_pixel<pixel1>::round makes it.
inline int roundedByte(float acc) { return uint8_t(int(acc + 0.5f)); }

// Horizontal pass of n pixels from a row of floats; `first` is under tap 0 of the first pixel.
void Row7(const float* first, const float* coef, uint8_t* out, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    hn::Vec<decltype(d)> c[7];
    for (int k = 0; k < 7; ++k) c[k] = hn::Set(d, coef[k]);
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        auto acc = hn::Zero(d);
        for (int k = 0; k < 7; ++k) acc = hn::Add(acc, hn::Mul(c[k], hn::LoadU(d, first + x + k)));
        hn::StoreU(LowBytes(d32, hn::ConvertTo(d32, hn::Add(acc, hn::Set(d, 0.5f)))), d8, out + x);
    }
    for (; x < n; ++x) {
        float acc = 0.0f;
        for (int k = 0; k < 7; ++k) acc += coef[k] * first[x + k];
        out[x] = uint8_t(roundedByte(acc));
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(SuppressAndMask);
HWY_EXPORT(SamplesToFloats);
HWY_EXPORT(Row7);
HWY_EXPORT(ColumnPair7);
}

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
                   bool components, bool stages) {
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
    // Vertical pass of columns [x, W) of one row from the source row under tap 0.
    auto columns = [&](const uint8_t* first, uint8_t* out, int64_t x) {
        const int64_t at = x * (colour ? 3 : 1);
        if (colour)
            convolveColumnsColour(first + at, src.szRow, kernel.coef, size, out + x, W - x);
        else
            convolveColumnsGrey(first + at, src.szRow, kernel.coef, size, out + x, W - x);
    };
    // The scratch row as floats for the horizontal pass (on the stack: up to 4K frames).
    constexpr int64_t kFloatRow = 4096;
    float floatRow[kFloatRow];
    auto componentRow = [&](const dib_access<pixel2>& a, int64_t y) {
        // Without the component images the suppression needs only this row and the next.
        return a.row(int32_t(components ? y : y % 2));
    };
    // Where row y of scratch, smoothed, magnitude and nmsMask goes: no stage reads a row more
    // than three rows behind the one being made (the kernel reaches at least one row, so the
    // frame has at least four).
    const bool ring = !stages && H >= 4;
    auto at = [&](int64_t y) { return int32_t(ring ? y % 4 : y); };

    // Row y is smoothed, row y - 1 differentiated and row y - 2 suppressed and masked: each
    // stage reads only rows that the stages before it have finished.
    for (int64_t y = 0; y < H + 2; ++y) {
        if (y < H) {
            // With 7 taps the vertical rows go in pairs, the second done ahead of its turn.
            const bool paired = size == 7 && (y - vRows.lo) % 2 == 1;
            if (y >= vRows.lo && y < vRows.hi && !paired) {
                const uint8_t* first = src.row(int32_t(y - r));
                uint8_t* out = &sc.row(at(y))->v;
                int64_t x = 0;
                if (size == 7 && y + 1 < vRows.hi) {
                    uint8_t* next = &sc.row(at(y + 1))->v;
                    x = HWY_DYNAMIC_DISPATCH(ColumnPair7)(first, src.szRow, kernel.coef, colour ? 3 : 1, out, next, W);
                    if (x < W) columns(first + src.szRow, next, x);
                }
                if (x < W) columns(first, out, x);
            }
            if (!hCols.empty() && size == 7 && W <= kFloatRow) {
                HWY_DYNAMIC_DISPATCH(SamplesToFloats)(&sc.row(at(y))->v, floatRow, W);
                HWY_DYNAMIC_DISPATCH(Row7)(floatRow + (hCols.lo - r), kernel.coef, &sm.row(at(y))[hCols.lo].v,
                                           hCols.hi - hCols.lo);
            } else if (!hCols.empty())
                convolveRowGrey(&sc.row(at(y))->v, kernel.coef, size, &sm.row(at(y))[hCols.lo].v,
                                hCols.hi - hCols.lo);
        }
        const int64_t g = y - 1;
        if (g >= gRows.lo && g < gRows.hi && !gCols.empty())
            gradientRow(sm.row(at(g - 1)), sm.row(at(g)), sm.row(at(g + 1)), componentRow(ax, g),
                        componentRow(ay, g), components ? ad.row(int32_t(g)) : nullptr, am.row(at(g)), gCols.lo,
                        gCols.hi);
        const int64_t n = y - 2;
        if (n >= nRows.lo && n < nRows.hi && !nCols.empty()) {
            const pixel2 *above = am.row(at(n - 1)), *mid = am.row(at(n)), *below = am.row(at(n + 1));
            const pixel2 *cx = componentRow(ax, n), *cy = componentRow(ay, n);
            pixel1 *marks = nm.row(at(n)), *kept = su.row(int32_t(n));
            const int64_t done = HWY_DYNAMIC_DISPATCH(SuppressAndMask)(above, mid, below, cx, cy, marks, kept, nCols.lo,
                                                                       nCols.hi);
            if (done < nCols.hi) {
                suppressRow(above, mid, below, cx, cy, marks, done, nCols.hi, true);
                maskRow(mid + done, &marks[done].v, kept + done, nCols.hi - done);
            }
        }
    }
    return nextBorder(r, 2);
}
#endif  // HWY_ONCE
