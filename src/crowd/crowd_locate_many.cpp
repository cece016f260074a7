#include "crowd/crowd_posture.h"

#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "crowd/crowd_locate_many.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace crowd_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes are pixels. Each goes through the segments in order, as crowd_locate takes them, with
// the same operations; those outside its own segments are left out, and of the others it keeps
// the first of the least distance.
void LocateMany(const crowd_line& line, const double* x, const double* y, const double* first, const double* end,
                size_t n, crowd_place* places) {
    const hn::ScalableTag<double> d;
    const size_t N = hn::Lanes(d);
    constexpr size_t kMost = HWY_MAX_BYTES / sizeof(double);
    HWY_ALIGN double segment[kMost], squared[kMost], along[kMost], at[kMost];
    const auto zero = hn::Zero(d), one = hn::Set(d, 1.0);
    size_t i = 0;
    for (; i + N <= n; i += N) {
        const auto px = hn::LoadU(d, x + i), py = hn::LoadU(d, y + i);
        const auto from = hn::LoadU(d, first + i), to = hn::LoadU(d, end + i);
        auto best = hn::Set(d, 1e300), nearest = from, t = zero, clamped = zero;
        for (int j = 0; j < crowd_segments; ++j) {
            const auto dx = hn::Set(d, line.dx[j]), dy = hn::Set(d, line.dy[j]), js = hn::Set(d, double(j));
            const auto ox = hn::Sub(px, hn::Set(d, line.x[j])), oy = hn::Sub(py, hn::Set(d, line.y[j]));
            const auto tj = hn::Mul(hn::Add(hn::Mul(ox, dx), hn::Mul(oy, dy)), hn::Set(d, line.inverse[j]));
            const auto cj = hn::IfThenElse(hn::Lt(tj, zero), zero, hn::IfThenElse(hn::Gt(tj, one), one, tj));
            const auto ex = hn::Sub(ox, hn::Mul(cj, dx)), ey = hn::Sub(oy, hn::Mul(cj, dy));
            const auto dj = hn::Add(hn::Mul(ex, ex), hn::Mul(ey, ey));
            const auto take = hn::And(hn::Lt(dj, best), hn::And(hn::Ge(js, from), hn::Lt(js, to)));
            best = hn::IfThenElse(take, dj, best), nearest = hn::IfThenElse(take, js, nearest);
            t = hn::IfThenElse(take, tj, t), clamped = hn::IfThenElse(take, cj, clamped);
        }
        hn::Store(nearest, d, segment), hn::Store(best, d, squared), hn::Store(t, d, along), hn::Store(clamped, d, at);
        for (size_t k = 0; k < N; ++k)
            places[i + k] = crowd_placeOn(line, x[i + k], y[i + k], int(segment[k]), squared[k], along[k], at[k]);
    }
    for (; i < n; ++i) places[i] = crowd_locate(line, x[i], y[i], int(first[i]), int(end[i]));
}

}  // namespace HWY_NAMESPACE
}  // namespace crowd_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace crowd_detail {
HWY_EXPORT(LocateMany);
}

void crowd_locateMany(const crowd_line& line, const double* x, const double* y, const double* first, const double* end,
                      size_t n, crowd_place* places) {
    if (ops_detail::vectorsEnabled()) {
        using namespace crowd_detail;  // the static dispatch names the function unqualified
        HWY_DYNAMIC_DISPATCH(LocateMany)(line, x, y, first, end, n, places);
        return;
    }
    for (size_t i = 0; i < n; ++i) places[i] = crowd_locate(line, x[i], y[i], int(first[i]), int(end[i]));
}
#endif  // HWY_ONCE
