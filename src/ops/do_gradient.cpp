#include "ops/do_gradient.h"

#include <cmath>
#include <initializer_list>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

// The plain definition, shared by the vector kernel for the pixels it leaves to it.
#ifndef AMBREVO_OPS_DO_GRADIENT_SCALAR
#define AMBREVO_OPS_DO_GRADIENT_SCALAR
namespace ops_detail {

// The difference p - q of two neighbours, by source pixel type: ints for bytes and
// colour pixels, floats (grey levels) for 2-byte pixels.
inline int difference(pixel1 p, pixel1 q) { return int(p.v) - int(q.v); }

inline float difference(pixel2 p, pixel2 q) {
    const float d = float(p.v) * 0.015625f - float(q.v) * 0.015625f;
    // Passed through a 2-byte value, as every 2-byte intermediate is.
    const int16_t stored = int16_t(int((d + 0.5f) * 64.0f));
    return float(stored) * 0.015625f;
}

inline int colourDifference(const uint8_t* p, const uint8_t* q) {
    const int d0 = int(p[0]) - int(q[0]), d1 = int(p[1]) - int(q[1]), d2 = int(p[2]) - int(q[2]);
    const double s = std::sqrt(double(d0 * d0 + d1 * d1 + d2 * d2) / 3.0);
    return d0 + d1 + d2 >= 0 ? int(s + 0.5) : int(-s + 0.5);
}
inline int difference(const pixel3& p, const pixel3& q) { return colourDifference(p.c, q.c); }
inline int difference(const pixel4& p, const pixel4& q) { return colourDifference(p.c, q.c); }

// The four output values of one pixel, by output pixel type and difference type.
inline void emit(int gx, int gy, pixel2& ox, pixel2& oy, pixel2& od, pixel2& om) {
    ox.v = int16_t(gx * 64);
    oy.v = int16_t(gy * 64);
    om.v = int16_t(do_gradient_magnitude(gx, gy));
    od.v = int16_t(do_gradient_direction(gx, gy));
}

inline void emit(float gx, float gy, pixel2& ox, pixel2& oy, pixel2& od, pixel2& om) {
    ox.v = int16_t(int(gx * 64.0f));
    oy.v = int16_t(int(gy * 64.0f));
    om.v = int16_t(int(std::sqrt(gx * gx + gy * gy) * 64.0f));
    od.v = int16_t(int(std::atan2(gy, gx) * 64.0f));
}

template <class O>
inline void emit(int gx, int gy, O& ox, O& oy, O& od, O& om) {
    setChannels(ox, byteOf(gx));
    setChannels(oy, byteOf(gy));
    setChannels(om, uint8_t(int(std::sqrt(double(gx * gx + gy * gy)) + 0.5)));
    setChannels(od, uint8_t(int(std::round(std::fabs(std::atan2(double(gy), double(gx)))))));
}

template <class O>
inline void emit(float gx, float gy, O& ox, O& oy, O& od, O& om) {
    setChannels(ox, byteOf(int(std::round(gx))));
    setChannels(oy, byteOf(int(std::round(gy))));
    setChannels(om, uint8_t(int(std::sqrt(gx * gx + gy * gy) + 0.5f)));
    setChannels(od, uint8_t(int(std::round(std::fabs(std::atan2(gy, gx))))));
}
}  // namespace ops_detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_gradient.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One row of the Canny case, a 1-byte source into 2-byte outputs, over columns [x0, x1)
// (x0 >= 1, x1 <= width - 1). The magnitude table holds floor(64 * sqrt(n)) for
// n = gx^2 + gy^2: a float square root lands within one of it and an exact integer test
// on k^2 <= 4096 n settles the last step. The direction is read from the first half of the
// table (entries 0..100), two entries at a time, and negated where the second half applies;
// with no direction row (null) it is not formed at all.
void GradientRow8(const pixel1* up, const pixel1* mid, const pixel1* down, pixel2* ox, pixel2* oy, pixel2* od,
                  pixel2* om, int64_t x0, int64_t x1) {
    const hn::ScalableTag<int32_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const hn::Rebind<uint16_t, decltype(d)> d16;
    const hn::Rebind<float, decltype(d)> df;
    const int64_t N = int64_t(hn::Lanes(d));
    auto at = [&](const pixel1* row, int64_t x) {
        return hn::PromoteTo(d, hn::LoadU(d8, reinterpret_cast<const uint8_t*>(row + x)));
    };
    auto store = [&](pixel2* row, int64_t x, decltype(hn::Zero(d)) v) {
        hn::StoreU(LowWords(d, v), d16, reinterpret_cast<uint16_t*>(row + x));
    };
    const int32_t* directions = reinterpret_cast<const int32_t*>(&do_gradientTables.directionTable[0][0][0]);
    const auto zero = hn::Zero(d), one = hn::Set(d, 1), low16 = hn::Set(d, 0xFFFF);
    const auto scale = hn::Set(df, 64.0f);
    int64_t x = x0;
    for (; x + N <= x1; x += N) {
        const auto gx = hn::Sub(at(mid, x + 1), at(mid, x - 1));
        const auto gy = hn::Sub(at(down, x), at(up, x));
        store(ox, x, hn::ShiftLeft<6>(gx));
        store(oy, x, hn::ShiftLeft<6>(gy));
        const auto ax = hn::Abs(gx), ay = hn::Abs(gy);
        const auto n = hn::Add(hn::Mul(ax, ax), hn::Mul(ay, ay));
        const auto n4096 = hn::ShiftLeft<12>(n);
        auto k = hn::ConvertTo(d, hn::Mul(hn::Sqrt(hn::ConvertTo(df, n)), scale));
        k = hn::IfThenElse(hn::Gt(hn::Mul(k, k), n4096), hn::Sub(k, one), k);
        const auto k1 = hn::Add(k, one);
        k = hn::IfThenElse(hn::Gt(hn::Mul(k1, k1), n4096), k, k1);
        store(om, x, k);
        if (!od) continue;
        const auto offsets = hn::ShiftLeft<1>(hn::Add(hn::ShiftLeft<8>(ax), ay));
        const auto angle = hn::And(hn::GatherOffset(d, directions, offsets), low16);
        // The second half, -angle, where gx >= 0 and gy >= 0 agree: their sign bits are equal.
        store(od, x, hn::IfThenElse(hn::Lt(hn::Xor(gx, gy), zero), angle, hn::Neg(angle)));
    }
    pixel2 unused;
    for (; x < x1; ++x)
        emit(difference(mid[x + 1], mid[x - 1]), difference(down[x], up[x]), ox[x], oy[x], od ? od[x] : unused, om[x]);
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
do_gradient_tables::do_gradient_tables() {
    for (int i = 0; i < 256; ++i) {
        for (int j = 0; j < 256; ++j) {
            magnitudeTable[i][j] = uint16_t(std::sqrt(double(i * i + j * j)) * 64.0);
            const double a = (i == 0 && j == 0) ? 0.0 : std::atan2(double(j), double(i));
            directionTable[0][i][j] = int16_t(64.0 * a);
            directionTable[1][i][j] = int16_t(-64.0 * a);
        }
    }
}

const do_gradient_tables do_gradientTables;

namespace ops_detail {
HWY_EXPORT(GradientRow8);

void gradientRow(const pixel1* up, const pixel1* mid, const pixel1* down, pixel2* gx, pixel2* gy, pixel2* direction,
                 pixel2* magnitude, int64_t x0, int64_t x1) {
    HWY_DYNAMIC_DISPATCH(GradientRow8)(up, mid, down, gx, gy, direction, magnitude, x0, x1);
}
}

namespace {
using namespace ops_detail;

template <class S, class M>
int gradient(const dib_base& src, int border, dib_base& gx, dib_base& gy, dib_base& direction,
             dib_base& magnitude) {
    if (!dib_sameSize(src, magnitude)) throw "do_gradient() - got images of different sizes";
    // The other outputs are written with the magnitude's pixel type over the same region.
    for (const dib_base* o : {&gx, &gy, &direction}) {
        if (!dib_sameSize(*o, magnitude)) throw "do_gradient() - got images of different sizes";
        if (o->szPixel != magnitude.szPixel) throw "do_gradient() - got images of different pixel sizes";
    }
    const int64_t b = validBorder(border);
    const range rows{b + 1, int64_t(src.absHeight()) - b - 1}, cols{b + 1, int64_t(src.width) - b - 1};
    if (!rows.empty() && !cols.empty()) {
        dib_access<S> in(src);
        dib_access<M> ax(gx), ay(gy), ad(direction), am(magnitude);
        constexpr bool canny = std::is_same_v<S, pixel1> && std::is_same_v<M, pixel2>;
        const bool vectors = canny && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const S* up = in.row(y - 1);
            const S* mid = in.row(y);
            const S* down = in.row(y + 1);
            M* ox = ax.row(y);
            M* oy = ay.row(y);
            M* od = ad.row(y);
            M* om = am.row(y);
            if constexpr (canny) {
                if (vectors) {
                    HWY_DYNAMIC_DISPATCH(GradientRow8)(up, mid, down, ox, oy, od, om, cols.lo, cols.hi);
                    continue;
                }
            }
            for (int32_t x = int32_t(cols.lo); x < cols.hi; ++x) {
                const auto dx = difference(mid[x + 1], mid[x - 1]);
                const auto dy = difference(down[x], up[x]);
                emit(dx, dy, ox[x], oy[x], od[x], om[x]);
            }
        }
    }
    return nextBorder(b, 1);
}
}  // namespace

int do_gradient(const dib_base& src, int border, dib_base& gx, dib_base& gy, dib_base& direction,
                dib_base& magnitude) {
    return dib_access_dispatch2(src, magnitude, [&](auto s, auto m) {
        return gradient<typename decltype(s)::type, typename decltype(m)::type>(src, border, gx, gy, direction,
                                                                                magnitude);
    });
}
#endif  // HWY_ONCE
