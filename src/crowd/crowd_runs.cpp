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

// 64 pixels at a time become one word of bits (pixel i, bit i); a run starts or ends
// wherever a bit differs from the one before it, and those are found by counting zeros.
void RowRuns(const uint8_t* row, int32_t y, int64_t n, std::vector<crowd_run>& runs) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto zero = hn::Zero(d);
    int64_t open = -1, x = 0;
    for (; x + 64 <= n && N <= 64; x += 64) {
        uint64_t bits = 0;
        for (int64_t part = 0; part < 64; part += N) {
            uint8_t bytes[8] = {};
            hn::StoreMaskBits(d, hn::Ne(hn::LoadU(d, row + x + part), zero), bytes);
            uint64_t word = 0;
            for (int b = 7; b >= 0; --b) word = word << 8 | bytes[b];
            bits |= word << part;
        }
        for (uint64_t edges = bits ^ (bits << 1 | (open >= 0 ? 1 : 0)); edges != 0; edges &= edges - 1) {
            const int64_t at = x + hwy::Num0BitsBelowLS1Bit_Nonzero64(edges);
            if (open < 0)
                open = at;
            else
                runs.push_back({y, int32_t(open), int32_t(at)}), open = -1;
        }
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
            using namespace crowd_detail;  // the static dispatch names the function unqualified
            HWY_DYNAMIC_DISPATCH(RowRuns)(row, y, weight.width, runs);
        } else {
            int64_t open = -1;
            crowd_detail::scanPixels(row, y, 0, weight.width, open, runs);
            if (open >= 0) runs.push_back({y, int32_t(open), weight.width});
        }
    }
    rowStart[size_t(rows)] = int32_t(runs.size());
}
#endif  // HWY_ONCE
