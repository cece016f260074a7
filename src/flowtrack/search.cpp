#include "flowtrack/search.h"

#include <cmath>
#include <new>

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

void searchFlow(const flowtrack_settings& settings, flowtrack_searchTable& table, int W, int H,
                const uint8_t* prevPlane, const uint8_t* curPlane, MList& list) {
    if (settings.SearchWindow > MaxSearchWindow) throw "Too large SearchWindow !";
    // The dialogue keeps these in range; the guards only keep the loops finite.
    const int S = settings.SearchWindow < 0 ? 0 : settings.SearchWindow;
    const int P = settings.SearchStep < 1 ? 1 : settings.SearchStep;
    const int64_t K = settings.CorrelationWindow < 0 ? 0 : settings.CorrelationWindow;
    const int N = settings.DisAngles;
    table.offset_ = S;
    int64_t* const cells = table.cells_.data();
    auto cell = [&](int a, int b) -> int64_t& { return cells[flowtrack_searchTable::index(a + S, b + S)]; };

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

        int64_t best = cell(-S, -S);
        int bestA = -S, bestB = -S;
        const int64_t spread = 4 * int64_t(S) * S;
        for (int a = -S; a <= S; a += P) {
            for (int b = -S; b <= S; b += P) {
                const int64_t w = spread > 0 ? 1 + (int64_t(a) * a + int64_t(b) * b) / spread : 1;
                const int64_t entry = cell(a, b);
                if (w * entry < best) {
                    best = entry;
                    bestA = a;
                    bestB = b;
                }
            }
        }
        const int64_t nx = int64_t(region->cx) + bestA, ny = int64_t(region->cy) + bestB;
        if (nx > 0 && nx < W && ny > 0 && ny < H) {
            region->cx = int32_t(nx);
            region->cy = int32_t(ny);
        }
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
