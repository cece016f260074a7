#include "ops/do_gradient.h"

#include <cmath>
#include <initializer_list>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"

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

namespace {
using namespace ops_detail;

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
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const S* up = in.row(y - 1);
            const S* mid = in.row(y);
            const S* down = in.row(y + 1);
            M* ox = ax.row(y);
            M* oy = ay.row(y);
            M* od = ad.row(y);
            M* om = am.row(y);
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
