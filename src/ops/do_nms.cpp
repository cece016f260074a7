#include "ops/do_nms.h"

#include <cstdlib>
#include <initializer_list>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

// The plain definition, shared by the vector kernels for the pixels they leave to it.
#ifndef AMBREVO_OPS_DO_NMS_SCALAR
#define AMBREVO_OPS_DO_NMS_SCALAR
namespace ops_detail {

inline void setMark(pixel1& d, bool on) { d.v = on ? 128 : 0; }
inline void setMark(pixel2& d, bool on) { d.v = on ? 0x4000 : 0; }
inline void setMark(pixel3& d, bool on) { setChannels(d, on ? 128 : 0); }
inline void setMark(pixel4& d, bool on) { setChannels(d, on ? 128 : 0); }

// Whether m is a ridge: not below the interpolated magnitude on one side (A >= 0) and
// above it on the other (B > 0). Both sides are formed from the same shape, the direct
// neighbour along the larger component (n) and the diagonal beyond it (c), picked by
// selects rather than branches: on textured frames the four cases alternate at random
// and mispredicted branches would cost more than the arithmetic. `T` is wide enough
// that the products cannot overflow, so forming B when A fails changes nothing.
template <class T>
inline bool isRidge(T gx, T gy, T m, T L, T R, T U, T D, T UL, T UR, T DL, T DR) {
    const T ax = gx < 0 ? -gx : gx;
    const T ay = gy < 0 ? -gy : gy;
    const bool differ = (gx > 0 && gy < 0) || (gx < 0 && gy > 0);
    const bool xMajor = ax >= ay;
    const T big = xMajor ? ax : ay;
    const T small = xMajor ? ay : ax;
    const T n1 = xMajor ? L : (differ ? D : U);
    const T n2 = xMajor ? R : (differ ? U : D);
    const T c1 = differ ? DL : UL;
    const T c2 = differ ? UR : DR;
    const T A = (m - n1) * big + (n1 - c1) * small;
    const T B = (m - n2) * big + (n2 - c2) * small;
    return (A >= 0) & (B > 0);
}

// Raw 16-bit values can reach 2^16 in a difference times 2^15: 64-bit products there.
template <class M>
using nms_product = std::conditional_t<std::is_same_v<M, pixel2>, int64_t, int32_t>;

// The mark of pixel x of a row, from the magnitude rows above, at and below it.
template <class M, class K>
inline void suppressPixel(const M* up, const M* mid, const M* down, const M* gxr, const M* gyr, K* out, int64_t x) {
    using T = nms_product<M>;
    const T m = rawValue(mid[x]);
    const bool on = (m != 0) & isRidge<T>(rawValue(gxr[x]), rawValue(gyr[x]), m, rawValue(mid[x - 1]),
                                          rawValue(mid[x + 1]), rawValue(up[x]), rawValue(down[x]),
                                          rawValue(up[x - 1]), rawValue(up[x + 1]), rawValue(down[x - 1]),
                                          rawValue(down[x + 1]));
    setMark(out[x], on);
}

}  // namespace ops_detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_nms.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One row of the Canny case, 2-byte magnitude and components into a 1-byte mask, over
// columns [x0, x1) (x0 >= 1, x1 <= width - 1). The selects and products are those of
// isRidge in 32-bit lanes: with magnitudes in [0, 32767] and components of at most 32768 in
// size, |A| and |B| stay below 2 * 32767 * 32768 < 2^31. A group of pixels that holds a
// negative magnitude anywhere in its neighbourhood goes to the plain code, unless the caller
// knows there is none (`nonNegative`: magnitudes the gradient has just made).
void SuppressRow16(const pixel2* up, const pixel2* mid, const pixel2* down, const pixel2* gxr, const pixel2* gyr,
                   pixel1* out, int64_t x0, int64_t x1, bool nonNegative) {
    const hn::ScalableTag<int32_t> d;
    const hn::Rebind<int16_t, decltype(d)> d16;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    auto at = [&](const pixel2* row, int64_t x) {
        return hn::PromoteTo(d, hn::LoadU(d16, reinterpret_cast<const int16_t*>(row + x)));
    };
    const auto zero = hn::Zero(d), minusOne = hn::Set(d, -1), mark = hn::Set(d, 128);
    int64_t x = x0;
    for (; x + N <= x1; x += N) {
        const auto UL = at(up, x - 1), U = at(up, x), UR = at(up, x + 1);
        const auto L = at(mid, x - 1), m = at(mid, x), R = at(mid, x + 1);
        const auto DL = at(down, x - 1), D = at(down, x), DR = at(down, x + 1);
        const auto anyNegative = hn::Or(hn::Or(hn::Or(UL, U), hn::Or(UR, L)),
                                        hn::Or(hn::Or(m, R), hn::Or(hn::Or(DL, D), DR)));
        if (!nonNegative && !hn::AllFalse(d, hn::Lt(anyNegative, zero))) {
            for (int64_t i = x; i < x + N; ++i) suppressPixel(up, mid, down, gxr, gyr, out, i);
            continue;
        }
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
        const auto A = hn::Add(hn::Mul(hn::Sub(m, n1), big), hn::Mul(hn::Sub(n1, c1), small));
        const auto B = hn::Add(hn::Mul(hn::Sub(m, n2), big), hn::Mul(hn::Sub(n2, c2), small));
        const auto on = hn::And(hn::Gt(m, zero), hn::And(hn::Gt(A, minusOne), hn::Gt(B, zero)));
        hn::StoreU(LowBytes(d, hn::IfThenElseZero(on, mark)), d8, reinterpret_cast<uint8_t*>(out + x));
    }
    for (; x < x1; ++x) suppressPixel(up, mid, down, gxr, gyr, out, x);
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(SuppressRow16);

void suppressRow(const pixel2* up, const pixel2* mid, const pixel2* down, const pixel2* gx, const pixel2* gy,
                 pixel1* out, int64_t x0, int64_t x1, bool nonNegative) {
    HWY_DYNAMIC_DISPATCH(SuppressRow16)(up, mid, down, gx, gy, out, x0, x1, nonNegative);
}
}

namespace {
using namespace ops_detail;

template <class M, class K>
int suppress(const dib_base& gxImage, const dib_base& gyImage, const dib_base& magnitude, int border,
             dib_base& mask) {
    if (!dib_sameSize(magnitude, mask)) throw "do_nms() - got images of different sizes";
    // gx and gy are read with the magnitude's pixel type over the same region.
    for (const dib_base* g : {&gxImage, &gyImage}) {
        if (!dib_sameSize(*g, magnitude)) throw "do_nms() - got images of different sizes";
        if (g->szPixel != magnitude.szPixel) throw "do_nms() - got images of different pixel sizes";
    }
    using T = nms_product<M>;
    const int64_t b = validBorder(border);
    const range rows{b + 1, int64_t(magnitude.absHeight()) - b - 1}, cols{b + 1, int64_t(magnitude.width) - b - 1};
    if (!rows.empty() && !cols.empty()) {
        dib_access<M> am(magnitude), ax(gxImage), ay(gyImage);
        dib_access<K> ak(mask);
        constexpr bool canny = std::is_same_v<M, pixel2> && std::is_same_v<K, pixel1>;
        const bool vectors = canny && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const M* up = am.row(y - 1);
            const M* mid = am.row(y);
            const M* down = am.row(y + 1);
            const M* gxr = ax.row(y);
            const M* gyr = ay.row(y);
            K* out = ak.row(y);
            if constexpr (canny) {
                if (vectors) {
                    HWY_DYNAMIC_DISPATCH(SuppressRow16)(up, mid, down, gxr, gyr, out, cols.lo, cols.hi, false);
                    continue;
                }
            }
            int32_t x = int32_t(cols.lo);
            // The 3x3 neighbourhood slides right: the left column takes the old centre.
            T UL = rawValue(up[x - 1]), U = rawValue(up[x]);
            T L = rawValue(mid[x - 1]), m = rawValue(mid[x]);
            T DL = rawValue(down[x - 1]), D = rawValue(down[x]);
            for (; x < cols.hi; ++x) {
                const T UR = rawValue(up[x + 1]), R = rawValue(mid[x + 1]), DR = rawValue(down[x + 1]);
                const bool on = (m != 0) & isRidge<T>(rawValue(gxr[x]), rawValue(gyr[x]), m, L, R, U, D, UL, UR, DL, DR);
                setMark(out[x], on);
                UL = U, U = UR;
                L = m, m = R;
                DL = D, D = DR;
            }
        }
    }
    return nextBorder(b, 1);
}
}  // namespace

int do_nms(const dib_base& gx, const dib_base& gy, const dib_base& magnitude, int border, dib_base& mask) {
    return dib_access_dispatch2(magnitude, mask, [&](auto m, auto k) {
        return suppress<typename decltype(m)::type, typename decltype(k)::type>(gx, gy, magnitude, border, mask);
    });
}
#endif  // HWY_ONCE
