// The correlation search. The plain version below is the definition; the vector version
// gives the same table: every window sum is an exact integer, only the order of additions
// within one window changes.
#ifndef HWY_DISABLED_TARGETS
// SSSE3 adds nothing over SSE4 here; it must be off before Highway is read.
#define HWY_DISABLED_TARGETS HWY_SSSE3
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "flowtrack/search.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "flowtrack/search.h"
#include "ops/op_simd.h"

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <new>

#ifndef FLOWTRACK_SEARCH_JOB
#define FLOWTRACK_SEARCH_JOB
// One ray's part of the search over the current plane, given as pairs: pairs[r * stride + c]
// holds the pixel at column c of the box row r in its low 16 bits and its right neighbour in
// the high 16 bits. Loaded as 16-bit lanes, a run of pairs puts two window columns side by
// side for consecutive displacements along x, so one multiply-add of the differences with
// themselves sums two squared differences per displacement.
struct flowtrack_rayJob {
    const uint32_t* pairs;
    int64_t stride;
    int64_t x0;              // column in the box of the window's left edge for displacement aFirst
    int64_t y0;              // box row of the window's top edge for displacement bFirst
    int K;
    int count;               // displacements aFirst, aFirst + 1, ... summed per row
    const uint32_t* refs;    // (2K + 1) rows of K + 1 reference pairs, the last one single
    int32_t* sums;           // count entries, room for one vector more
    int64_t* table;          // entry of displacement aFirst in the table row; every P-th gets its sum
    int P;
};
#endif

HWY_BEFORE_NAMESPACE();
namespace flowtrack_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Window sums of squared differences for `count` displacements along x, all on the row
// of candidates whose windows start at box row y0.
void SumRow(const flowtrack_rayJob& job) {
#if HWY_TARGET == HWY_SCALAR
    // One lane cannot hold a pair; never chosen while a vector target exists (see vectorsEnabled).
    const int K = job.K;
    for (int64_t a = 0; a < job.count; ++a) {
        int32_t sum = 0;
        for (int j = 0; j <= 2 * K; ++j) {
            const uint32_t* row = job.pairs + (job.y0 + j) * job.stride + job.x0 + a;
            const uint32_t* ref = job.refs + j * (K + 1);
            for (int i = 0; i <= 2 * K; ++i) {
                const int32_t d = int32_t(row[i] & 0xFFFF) - int32_t(i % 2 ? ref[i / 2] >> 16 : ref[i / 2] & 0xFFFF);
                sum += d * d;
            }
        }
        job.sums[a] = sum;
    }
    for (int64_t i = 0; i < job.count; i += job.P) job.table[i] += job.sums[i];
#else
    const hn::ScalableTag<int32_t> d32;
    const hn::Repartition<int16_t, decltype(d32)> d16;
    const int64_t lanes = int64_t(hn::Lanes(d32));
    const int K = job.K, pairsPerRow = K + 1;
    const auto lowHalf = hn::BitCast(d16, hn::Set(d32, 0xFFFF));
    for (int64_t a = 0; a < job.count; a += lanes) {
        auto sum0 = hn::Zero(d32), sum1 = hn::Zero(d32);
        for (int j = 0; j <= 2 * K; ++j) {
            const uint32_t* row = job.pairs + (job.y0 + j) * job.stride + job.x0 + a;
            const uint32_t* ref = job.refs + j * pairsPerRow;
            for (int m = 0; m < K; ++m) {
                const auto c = hn::LoadU(d16, reinterpret_cast<const int16_t*>(row + 2 * m));
                const auto diff = hn::Sub(c, hn::BitCast(d16, hn::Set(d32, int32_t(ref[m]))));
                sum0 = hn::ReorderWidenMulAccumulate(d32, diff, diff, sum0, sum1);
            }
            // The odd last column: its neighbour half is multiplied by zero.
            const auto c = hn::LoadU(d16, reinterpret_cast<const int16_t*>(row + 2 * K));
            const auto diff = hn::Sub(c, hn::BitCast(d16, hn::Set(d32, int32_t(ref[K]))));
            sum0 = hn::ReorderWidenMulAccumulate(d32, diff, hn::And(diff, lowHalf), sum0, sum1);
        }
        hn::StoreU(hn::RearrangeToOddPlusEven(sum0, sum1), d32, job.sums + a);
    }
    int64_t i = 0;
    if (job.P == 1) {
        const hn::ScalableTag<int64_t> d64;
        const hn::Rebind<int32_t, decltype(d64)> d32h;
        const int64_t lanes64 = int64_t(hn::Lanes(d64));
        for (; i + lanes64 <= job.count; i += lanes64) {
            const auto add = hn::PromoteTo(d64, hn::LoadU(d32h, job.sums + i));
            hn::StoreU(hn::Add(hn::LoadU(d64, job.table + i), add), d64, job.table + i);
        }
    }
    for (; i < job.count; i += job.P) job.table[i] += job.sums[i];
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace flowtrack_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace flowtrack_detail {
HWY_EXPORT(SumRow);

// Widest vector of 32-bit lanes any compiled target uses; the scratch rows leave room for it.
constexpr int64_t maxLanes = 16;
}  // namespace flowtrack_detail

flowtrack_searchTable::flowtrack_searchTable() {
    try {
        cells_.assign(side * side, 0);
    } catch (const std::bad_alloc&) {
        throw "ip_flowtrack::reformat - out of memory";
    }
}

namespace {

int64_t windowSum(const uint8_t* prev, const uint8_t* cur, int W, int ex, int ey, int X, int Y, int K) {
    int64_t sum = 0;
    for (int j = -K; j <= K; ++j) {
        const uint8_t* p = prev + size_t(ey + j) * size_t(W) + size_t(ex - K);
        const uint8_t* c = cur + size_t(Y + j) * size_t(W) + size_t(X - K);
        int64_t rowSum = 0;
        for (int i = 0; i <= 2 * K; ++i) {
            const int d = int(p[i]) - int(c[i]);
            rowSum += d * d;
        }
        sum += rowSum;
    }
    return sum;
}
}  // namespace

namespace {
// Moves the region by the displacement with the smallest weighted entry; the weight grows
// with the distance, so that among equal matches the shorter move wins.
void pickBest(const flowtrack_searchTable& table, int S, int P, int W, int H, MRegion& region) {
    int64_t best = table.entry(-S, -S);
    int bestA = -S, bestB = -S;
    const int64_t spread = 4 * int64_t(S) * S;
    for (int a = -S; a <= S; a += P) {
        for (int b = -S; b <= S; b += P) {
            const int64_t w = spread > 0 ? 1 + (int64_t(a) * a + int64_t(b) * b) / spread : 1;
            const int64_t entry = table.entry(a, b);
            if (w * entry < best) {
                best = entry;
                bestA = a;
                bestB = b;
            }
        }
    }
    const int64_t nx = int64_t(region.cx) + bestA, ny = int64_t(region.cy) + bestB;
    if (nx > 0 && nx < W && ny > 0 && ny < H) {
        region.cx = int32_t(nx);
        region.cy = int32_t(ny);
    }
}
}  // namespace


void searchFlowPlain(const flowtrack_settings& settings, flowtrack_searchTable& table, int W, int H,
                     const uint8_t* prevPlane, const uint8_t* curPlane, MList& list) {
    if (settings.SearchWindow > MaxSearchWindow) throw "Too large SearchWindow !";
    // The dialogue keeps these in range; the guards only keep the loops finite.
    const int S = settings.SearchWindow < 0 ? 0 : settings.SearchWindow;
    const int P = settings.SearchStep < 1 ? 1 : settings.SearchStep;
    const int64_t K = settings.CorrelationWindow < 0 ? 0 : settings.CorrelationWindow;
    const int N = settings.DisAngles;
    table.offset_ = S;
    int64_t* const cells = table.cells_.data();
    auto cell = [&](int a, int b) -> int64_t& { return cells[flowtrack_searchTable::index(b + S, a + S)]; };

    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        for (int a = -S; a <= S; ++a)
            for (int b = -S; b <= S; ++b) cell(a, b) = 0;

        for (int k = 0; k < N; ++k) {
            if (!(region->rays[k] > 0.0f) || region->occluded[k] != 0) continue;
            int32_t ex, ey;
            rayEnd(*region, k, N, ex, ey);
            // A reference window that is not wholly inside the previous plane cannot be
            // compared: such a ray takes no part.
            if (ex - K < 0 || ex + K >= W || ey - K < 0 || ey + K >= H) continue;
            for (int a = -S; a <= S; a += P) {
                const int64_t X = int64_t(ex) + a;
                const bool xOut = X + K > W - 10 || X - K < 10;
                for (int b = -S; b <= S; b += P) {
                    const int64_t Y = int64_t(ey) + b;
                    int64_t& entry = cell(a, b);
                    if (xOut || Y + K > H - 10 || Y - K < 10) {
                        entry = ExcludedDisplacement;
                        continue;
                    }
                    entry += windowSum(prevPlane, curPlane, W, ex, ey, int(X), int(Y), int(K));
                }
            }
        }

        pickBest(table, S, P, W, H, *region);
    }
}

namespace {
// First and last grid displacement (-S + P t) inside [lo, hi]; first > last when none is.
void gridRange(int S, int P, int64_t lo, int64_t hi, int64_t& first, int64_t& last) {
    if (lo < -S) lo = -S;
    if (hi > S) hi = S;
    first = -S + ((lo + S + P - 1) / P) * P;
    last = -S + ((hi + S) / P) * P;
    if (hi < lo) first = last + 1;
}
}  // namespace

void searchFlow(const flowtrack_settings& settings, flowtrack_searchTable& table, int W, int H,
                const uint8_t* prevPlane, const uint8_t* curPlane, MList& list) {
    // Beyond the sizes the dialogue allows, the plain search is the one that defines what happens.
    if (settings.CorrelationWindow > MaxCorrelationWindow || settings.DisAngles > MaxAngles ||
        !ops_detail::vectorsEnabled()) {
        searchFlowPlain(settings, table, W, H, prevPlane, curPlane, list);
        return;
    }
    if (settings.SearchWindow > MaxSearchWindow) throw "Too large SearchWindow !";
    const int S = settings.SearchWindow < 0 ? 0 : settings.SearchWindow;
    const int P = settings.SearchStep < 1 ? 1 : settings.SearchStep;
    const int K = settings.CorrelationWindow < 0 ? 0 : settings.CorrelationWindow;
    const int N = settings.DisAngles;
    table.offset_ = S;
    int64_t* const cells = table.cells_.data();
    auto cell = [&](int64_t a, int64_t b) -> int64_t& {
        return cells[flowtrack_searchTable::index(int(b + S), int(a + S))];
    };
    using namespace flowtrack_detail;  // the static dispatch names the function unqualified
    const auto sumRow = HWY_DYNAMIC_DISPATCH(SumRow);
    uint32_t refs[(2 * MaxCorrelationWindow + 1) * (MaxCorrelationWindow + 1)];
    const int pairsPerRow = K + 1;

    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        for (int b = -S; b <= S; ++b) std::fill_n(&cell(-S, b), size_t(2 * S + 1), int64_t(0));

        // The rays that take part, and the box of the current plane their windows can reach.
        int32_t ends[MaxAngles][2];
        bool takesPart[MaxAngles];
        int64_t bx0 = W, by0 = H, bx1 = -1, by1 = -1;
        for (int k = 0; k < N; ++k) {
            takesPart[k] = false;
            if (!(region->rays[k] > 0.0f) || region->occluded[k] != 0) continue;
            int32_t ex, ey;
            rayEnd(*region, k, N, ex, ey);
            if (int64_t(ex) - K < 0 || int64_t(ex) + K >= W || int64_t(ey) - K < 0 || int64_t(ey) + K >= H) continue;
            takesPart[k] = true;
            ends[k][0] = ex;
            ends[k][1] = ey;
            const int64_t reach = int64_t(S) + K;
            if (ex - reach < bx0) bx0 = ex - reach;
            if (ex + reach > bx1) bx1 = ex + reach;
            if (ey - reach < by0) by0 = ey - reach;
            if (ey + reach > by1) by1 = ey + reach;
        }
        if (bx1 >= 0) {
            if (bx0 < 0) bx0 = 0;
            if (by0 < 0) by0 = 0;
            if (bx1 > W - 1) bx1 = W - 1;
            if (by1 > H - 1) by1 = H - 1;
            const int64_t boxW = bx1 - bx0 + 1, boxH = by1 - by0 + 1;
            const int64_t stride = boxW + 2 * flowtrack_detail::maxLanes;
            const size_t need = size_t(stride) * size_t(boxH);
            if (table.pairs_.size() < need) table.pairs_.resize(need);
            if (table.rowSums_.size() < size_t(2 * S + 1 + flowtrack_detail::maxLanes))
                table.rowSums_.resize(size_t(2 * S + 1 + flowtrack_detail::maxLanes));
            for (int64_t r = 0; r < boxH; ++r) {
                const uint8_t* c = curPlane + size_t(by0 + r) * size_t(W) + size_t(bx0);
                uint32_t* q = table.pairs_.data() + size_t(r) * size_t(stride);
                for (int64_t x = 0; x + 1 < boxW; ++x) q[x] = uint32_t(c[x]) | uint32_t(c[x + 1]) << 16;
                q[boxW - 1] = uint32_t(c[boxW - 1]) | (bx1 + 1 < W ? uint32_t(c[boxW]) << 16 : 0u);
                // Read by the lanes past the last displacement; their sums are never used.
                std::memset(q + boxW, 0, size_t(stride - boxW) * sizeof(uint32_t));
            }
        }

        for (int k = 0; k < N; ++k) {
            if (!takesPart[k]) continue;
            const int64_t ex = ends[k][0], ey = ends[k][1];
            // Displacements whose window stays 10 pixels clear of the border of the current plane.
            int64_t aFirst, aLast, bFirst, bLast;
            gridRange(S, P, 10 + K - ex, int64_t(W) - 10 - K - ex, aFirst, aLast);
            gridRange(S, P, 10 + K - ey, int64_t(H) - 10 - K - ey, bFirst, bLast);
            const bool anyInside = aFirst <= aLast && bFirst <= bLast;
            for (int64_t b = -S; b <= S; b += P) {
                int64_t* row = &cell(0, b);
                if (anyInside && b >= bFirst && b <= bLast) {
                    for (int64_t a = -S; a < aFirst; a += P) row[a] = ExcludedDisplacement;
                    for (int64_t a = aLast + P; a <= S; a += P) row[a] = ExcludedDisplacement;
                } else {
                    for (int64_t a = -S; a <= S; a += P) row[a] = ExcludedDisplacement;
                }
            }
            if (!anyInside) continue;

            for (int j = 0; j <= 2 * K; ++j) {
                const uint8_t* p = prevPlane + size_t(ey - K + j) * size_t(W) + size_t(ex - K);
                uint32_t* ref = refs + j * pairsPerRow;
                for (int m = 0; m < K; ++m) ref[m] = uint32_t(p[2 * m]) | uint32_t(p[2 * m + 1]) << 16;
                ref[K] = p[2 * K];
            }
            flowtrack_rayJob job;
            job.pairs = table.pairs_.data();
            job.stride = bx1 - bx0 + 1 + 2 * flowtrack_detail::maxLanes;
            job.x0 = ex + aFirst - K - bx0;
            job.K = K;
            job.count = int(aLast - aFirst + 1);
            job.refs = refs;
            job.sums = table.rowSums_.data();
            job.P = P;
            for (int64_t b = bFirst; b <= bLast; b += P) {
                job.y0 = ey + b - K - by0;
                job.table = &cell(aFirst, b);
                sumRow(job);
            }
        }
        pickBest(table, S, P, W, H, *region);
    }
}


namespace {
// Counts, for each ray end of x, whether it lies inside y's fan.
void markAgainst(MRegion& x, const MRegion& y, int N) {
    for (int k = 0; k < N; ++k) {
        int32_t px, py;
        rayEnd(x, k, N, px, py);
        const int dx = px - y.cx, dy = py - y.cy;
        const float d = float(std::sqrt(double(int64_t(dx) * dx + int64_t(dy) * dy)));
        const int j = rayIndex(dx, dy, N);
        if (y.rays[j] > d || y.rays[(j - 1 + N) % N] > d) {
            if (x.occluded[k] < 255) x.occluded[k] += 1;
        }
    }
}
}  // namespace

void markOcclusions(MList& list, int N) {
    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        for (int k = 0; k < N; ++k) region->occluded[k] = 0;
    }
    if (list.count < 2) return;
    // Every pair once, the earlier region first; walked by links because the pairs nest.
    for (MItem* a = list.head; a != &endMarker; a = a->next) {
        for (MItem* b = a->next; b != &endMarker; b = b->next) {
            auto* ra = static_cast<MRegion*>(a);
            auto* rb = static_cast<MRegion*>(b);
            markAgainst(*ra, *rb, N);
            markAgainst(*rb, *ra, N);
        }
    }
}

#endif  // HWY_ONCE
