#include "flowtrack/search.h"

#include <cmath>

namespace {
// Static so that a search allocates nothing. Entries are 64-bit: a window sum added to
// an excluded entry, or many rays with a wide window, must not wrap.
int64_t ssdTable[2 * MaxSearchWindow + 1][2 * MaxSearchWindow + 1];
int tableOffset = 0;

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

int64_t searchFlowEntry(int a, int b) { return ssdTable[a + tableOffset][b + tableOffset]; }

void searchFlow(int W, int H, const uint8_t* prevPlane, const uint8_t* curPlane, MList& list) {
    if (SearchWindow > MaxSearchWindow) throw "Too large SearchWindow !";
    // The dialogue keeps these in range; the guards only keep the loops finite.
    const int S = SearchWindow < 0 ? 0 : SearchWindow;
    const int P = SearchStep < 1 ? 1 : SearchStep;
    const int64_t K = CorrelationWindow < 0 ? 0 : CorrelationWindow;
    const int N = DisAngles;
    tableOffset = S;

    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        for (int a = -S; a <= S; ++a)
            for (int b = -S; b <= S; ++b) ssdTable[a + S][b + S] = 0;

        for (int k = 0; k < N; ++k) {
            if (!(region->rays[k] > 0.0f) || region->occluded[k] != 0) continue;
            int32_t ex, ey;
            rayEnd(*region, k, ex, ey);
            // A reference window that is not wholly inside the previous plane cannot be
            // compared: such a ray takes no part.
            if (ex - K < 0 || ex + K >= W || ey - K < 0 || ey + K >= H) continue;
            for (int a = -S; a <= S; a += P) {
                const int64_t X = int64_t(ex) + a;
                const bool xOut = X + K > W - 10 || X - K < 10;
                for (int b = -S; b <= S; b += P) {
                    const int64_t Y = int64_t(ey) + b;
                    int64_t& entry = ssdTable[a + S][b + S];
                    if (xOut || Y + K > H - 10 || Y - K < 10) {
                        entry = ExcludedDisplacement;
                        continue;
                    }
                    entry += windowSum(prevPlane, curPlane, W, ex, ey, int(X), int(Y), int(K));
                }
            }
        }

        int64_t best = ssdTable[0][0];
        int bestA = -S, bestB = -S;
        const int64_t spread = 4 * int64_t(S) * S;
        for (int a = -S; a <= S; a += P) {
            for (int b = -S; b <= S; b += P) {
                const int64_t w = spread > 0 ? 1 + (int64_t(a) * a + int64_t(b) * b) / spread : 1;
                const int64_t entry = ssdTable[a + S][b + S];
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
        rayEnd(x, k, px, py);
        const int dx = px - y.cx, dy = py - y.cy;
        const float d = float(std::sqrt(double(int64_t(dx) * dx + int64_t(dy) * dy)));
        const int j = rayIndex(dx, dy);
        if (y.rays[j] > d || y.rays[(j - 1 + N) % N] > d) {
            if (x.occluded[k] < 255) x.occluded[k] += 1;
        }
    }
}
}  // namespace

void markOcclusions(MList& list) {
    const int N = DisAngles;
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
