#include "ops/do_nms.h"

#include <cstdlib>
#include <initializer_list>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"

namespace {
using namespace ops_detail;

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

template <class M, class K>
int suppress(const dib_base& gxImage, const dib_base& gyImage, const dib_base& magnitude, int border,
             dib_base& mask) {
    if (!dib_sameSize(magnitude, mask)) throw "do_nms() - got images of different sizes";
    // gx and gy are read with the magnitude's pixel type over the same region.
    for (const dib_base* g : {&gxImage, &gyImage}) {
        if (!dib_sameSize(*g, magnitude)) throw "do_nms() - got images of different sizes";
        if (g->szPixel != magnitude.szPixel) throw "do_nms() - got images of different pixel sizes";
    }
    // Raw 16-bit values can reach 2^16 in a difference times 2^15: 64-bit products there.
    using T = std::conditional_t<std::is_same_v<M, pixel2>, int64_t, int32_t>;
    const int64_t b = validBorder(border);
    const range rows{b + 1, int64_t(magnitude.absHeight()) - b - 1}, cols{b + 1, int64_t(magnitude.width) - b - 1};
    if (!rows.empty() && !cols.empty()) {
        dib_access<M> am(magnitude), ax(gxImage), ay(gyImage);
        dib_access<K> ak(mask);
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const M* up = am.row(y - 1);
            const M* mid = am.row(y);
            const M* down = am.row(y + 1);
            const M* gxr = ax.row(y);
            const M* gyr = ay.row(y);
            K* out = ak.row(y);
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
