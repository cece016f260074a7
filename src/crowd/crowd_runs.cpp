#include "crowd/crowd_runs.h"

#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "crowd/crowd_runs.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef AMBREVO_CROWD_RUNS_SCALAR
#define AMBREVO_CROWD_RUNS_SCALAR
namespace crowd_detail {
// Pixels [x, end) one by one: a run opens at the first non-zero byte after a zero and
// closes at the first zero after it. `open` is the start of the run open so far, or -1.
inline void scanPixels(const uint8_t* row, int32_t y, int64_t x, int64_t end, int64_t& open,
                       std::vector<crowd_run>& runs) {
    for (; x < end; ++x) {
        const bool on = row[x] != 0;
        if (on && open < 0) open = x;
        if (!on && open >= 0) runs.push_back({y, int32_t(open), int32_t(x)}), open = -1;
    }
}
}  // namespace crowd_detail
#endif

HWY_BEFORE_NAMESPACE();
namespace crowd_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Most of a row is background, and most of an object's row is inside it: a vector wholly
// on the side the scan is already on is passed over, and only vectors that hold an edge
// are looked at pixel by pixel.
void RowRuns(const uint8_t* row, int32_t y, int64_t n, std::vector<crowd_run>& runs) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto zero = hn::Zero(d);
    int64_t open = -1, x = 0;
    for (; x + N <= n; x += N) {
        const auto on = hn::Ne(hn::LoadU(d, row + x), zero);
        if (open < 0 ? hn::AllFalse(d, on) : hn::AllTrue(d, on)) continue;
        scanPixels(row, y, x, x + N, open, runs);
    }
    scanPixels(row, y, x, n, open, runs);
    if (open >= 0) runs.push_back({y, int32_t(open), int32_t(n)});
}

}  // namespace HWY_NAMESPACE
}  // namespace crowd_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace crowd_detail {
HWY_EXPORT(RowRuns);
}

void crowd_findRuns(const dib_base& weight, std::vector<crowd_run>& runs, std::vector<int32_t>& rowStart) {
    if (weight.szPixel != 1) throw "crowd_findRuns - expected a 1-byte image";
    const int32_t rows = weight.absHeight();
    runs.clear();
    rowStart.assign(size_t(rows) + 1, 0);
    const bool vectors = ops_detail::vectorsEnabled();
    for (int32_t y = 0; y < rows; ++y) {
        rowStart[size_t(y)] = int32_t(runs.size());
        const uint8_t* row = weight.row(y);
        if (vectors) {
            HWY_DYNAMIC_DISPATCH(crowd_detail::RowRuns)(row, y, weight.width, runs);
        } else {
            int64_t open = -1;
            crowd_detail::scanPixels(row, y, 0, weight.width, open, runs);
            if (open >= 0) runs.push_back({y, int32_t(open), weight.width});
        }
    }
    rowStart[size_t(rows)] = int32_t(runs.size());
}
#endif  // HWY_ONCE
