#include "flowtrack/detect.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flowtrack/plane_ops.h"
#include "flowtrack/search.h"
#include "framework/ip_diagnostics.h"
#include "ops/op_simd.h"

namespace {
thread_local int64_t regionLimitsHere = 0;

// The labels run out: the regions beyond them are not followed, and the frame is counted.
void tellRegionLimit() {
    ip_diagErr("Prevelik broj podrucja: %d \n", 128);
    ++regionLimitsHere;
}
}  // namespace

int64_t flowtrack_regionLimits() { return regionLimitsHere; }

namespace {
// Traces every region of a freshly labelled list; returns n, or 0 with the list emptied.
int traceAll(int W, int H, uint8_t* mask, MList& list, int n) {
    if (n == 0) {
        list.empty();
        return 0;
    }
    int position = 0;
    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        traceContour(W, H, mask, *region, uint8_t(128 + position));
        ++position;
    }
    return n;
}

// Bounding box, pixel count and coordinate sums of one filled component.
struct Extent {
    uint32_t area = 0;
    uint64_t sumX = 0, sumY = 0;
    int32_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
};

// fillRun with a kept seed stack, measuring what it fills and noting its runs, so that a
// rejected component can be painted over without a second fill.
uint32_t fillMeasured(uint8_t* plane, int W, int H, int x, int y, uint8_t value, flowtrack_detectScratch& scratch,
                      Extent& e) {
    const uint8_t old = plane[size_t(y) * size_t(W) + size_t(x)];
    e = Extent{};
    e.xmin = e.xmax = x;
    e.ymin = e.ymax = y;
    auto& stack = scratch.seeds;
    auto& runs = scratch.runs;
    runs.clear();
    if (old == value) return 0;
    stack.clear();
    stack.push_back({x, y});
    while (!stack.empty()) {
        const flowtrack_detectScratch::Seed s = stack.back();
        stack.pop_back();
        uint8_t* row = plane + size_t(s.y) * size_t(W);
        if (row[s.x] != old) continue;
        int left = s.x, right = s.x;
        while (left > 0 && row[left - 1] == old) --left;
        while (right < W - 1 && row[right + 1] == old) ++right;
        std::memset(row + left, value, size_t(right - left + 1));
        runs.push_back({s.y, left, right});
        const uint64_t run = uint64_t(right - left + 1);
        e.area += uint32_t(run);
        e.sumX += (uint64_t(left) + uint64_t(right)) * run / 2;
        e.sumY += uint64_t(s.y) * run;
        if (left < e.xmin) e.xmin = left;
        if (right > e.xmax) e.xmax = right;
        if (s.y < e.ymin) e.ymin = s.y;
        if (s.y > e.ymax) e.ymax = s.y;
        for (int ny = s.y - 1; ny <= s.y + 1; ny += 2) {
            if (ny < 0 || ny >= H) continue;
            const uint8_t* other = plane + size_t(ny) * size_t(W);
            // One seed at the start of every run of old pixels within [left, right].
            int i = left;
            while (i <= right) {
                const void* hit = std::memchr(other + i, old, size_t(right - i + 1));
                if (!hit) break;
                i = int(static_cast<const uint8_t*>(hit) - other);
                stack.push_back({i, ny});
                while (i <= right && other[i] == old) ++i;
            }
        }
    }
    return e.area;
}
}  // namespace

int detectInMask(uint8_t* mask, int W, int H, MList& list, flowtrack_detectScratch& scratch) {
    list.empty();
    int label = 3;
    Extent e;
    for (int y = 0; y < H; ++y) {
        uint8_t* row = mask + size_t(y) * size_t(W);
        for (int x = 0; x < W; ++x) {
            const void* zero = std::memchr(row + x, 0, size_t(W - x));
            if (!zero) break;
            x = int(static_cast<const uint8_t*>(zero) - row);
            if (label == 128) {
                tellRegionLimit();
                return traceAll(W, H, mask, list, 0);
            }
            const uint32_t a = fillMeasured(mask, W, H, x, y, uint8_t(label), scratch, e);
            // The border test looks at the component's first pixel only.
            if (a < 8 || y <= 10 || y >= H - 10 || x <= 10 || x >= W - 10) {
                for (const auto& r : scratch.runs)
                    std::memset(mask + size_t(r.y) * size_t(W) + size_t(r.left), 1, size_t(r.right - r.left + 1));
            } else {
                auto* region = new MRegion;
                region->label = uint8_t(label);
                region->area = a;
                region->xmin = e.xmin;
                region->ymin = e.ymin;
                region->xmax = e.xmax;
                region->ymax = e.ymax;
                region->cx = int32_t(e.sumX / a);
                region->cy = int32_t(e.sumY / a);
                list.append(region);
                ++label;
            }
        }
    }
    return traceAll(W, H, mask, list, label - 3);
}

int detectRegions(const uint8_t* src, uint8_t* mask, int W, int H, MList& list, bool inverted, int threshold,
                  flowtrack_detectScratch* scratch) {
    const uint8_t t = uint8_t(threshold);
    const size_t pixels = size_t(W) * size_t(H);
    if (scratch && ops_detail::vectorsEnabled()) {
        flowtrack_threshold(src, mask, pixels, t, inverted);
        return detectInMask(mask, W, H, list, *scratch);
    }
    if (inverted) {
        for (size_t p = 0; p < pixels; ++p) mask[p] = src[p] <= t ? 1 : 0;
    } else {
        for (size_t p = 0; p < pixels; ++p) mask[p] = src[p] > t ? 1 : 0;
    }
    list.empty();
    return traceAll(W, H, mask, list, labelRegions(W, H, mask, list));
}

int labelRegions(int W, int H, uint8_t* mask, MList& list) {
    int label = 3;
    for (int y = 0; y < H; ++y) {
        uint8_t* row = mask + size_t(y) * size_t(W);
        for (int x = 0; x < W; ++x) {
            if (row[x] != 0) continue;
            if (label == 128) {
                tellRegionLimit();
                return 0;
            }
            const uint32_t a = fillRun(mask, W, H, x, y, uint8_t(label));
            // The border test looks at the component's first pixel only.
            if (a < 8 || y <= 10 || y >= H - 10 || x <= 10 || x >= W - 10) {
                fillRun(mask, W, H, x, y, 1);
            } else {
                auto* region = new MRegion;
                region->label = uint8_t(label);
                region->area = a;
                list.append(region);
                ++label;
            }
        }
    }
    for (list.rewind(); list.more();) regionStats(W, H, mask, *static_cast<MRegion*>(list.take()));
    return label - 3;
}

uint32_t fillRun(uint8_t* plane, int W, int H, int x, int y, uint8_t value) {
    if (x < 0 || y < 0 || x >= W || y >= H) return 0;
    const uint8_t old = plane[size_t(y) * size_t(W) + size_t(x)];
    if (old == value) return 0;
    // Scan-line fill with an explicit stack of seeds: the depth of a component (a
    // spiral, a frame-sized blob) must never reach the call stack.
    struct Seed {
        int x, y;
    };
    std::vector<Seed> stack;
    stack.push_back({x, y});
    uint32_t filled = 0;
    while (!stack.empty()) {
        const Seed s = stack.back();
        stack.pop_back();
        uint8_t* row = plane + size_t(s.y) * size_t(W);
        if (row[s.x] != old) continue;
        int left = s.x, right = s.x;
        while (left > 0 && row[left - 1] == old) --left;
        while (right < W - 1 && row[right + 1] == old) ++right;
        for (int i = left; i <= right; ++i) row[i] = value;
        filled += uint32_t(right - left + 1);
        for (int ny = s.y - 1; ny <= s.y + 1; ny += 2) {
            if (ny < 0 || ny >= H) continue;
            const uint8_t* other = plane + size_t(ny) * size_t(W);
            bool inRun = false;
            for (int i = left; i <= right; ++i) {
                if (other[i] == old) {
                    if (!inRun) stack.push_back({i, ny});
                    inRun = true;
                } else {
                    inRun = false;
                }
            }
        }
    }
    return filled;
}

bool regionStats(int W, int H, const uint8_t* labels, MRegion& region) {
    uint32_t area = 0;
    uint64_t sumX = 0, sumY = 0;
    int32_t xmin = W > H ? W : H, ymin = xmin, xmax = 0, ymax = 0;
    for (int y = 0; y < H; ++y) {
        const uint8_t* row = labels + size_t(y) * size_t(W);
        for (int x = 0; x < W; ++x) {
            if (row[x] != region.label) continue;
            ++area;
            sumX += uint64_t(x);
            sumY += uint64_t(y);
            if (x < xmin) xmin = x;
            if (x > xmax) xmax = x;
            if (y < ymin) ymin = y;
            if (y > ymax) ymax = y;
        }
    }
    region.area = area;
    region.xmin = xmin;
    region.ymin = ymin;
    region.xmax = xmax;
    region.ymax = ymax;
    if (area == 0) return false;
    region.cx = int32_t(sumX / area);
    region.cy = int32_t(sumY / area);
    return true;
}

namespace {
const int stepX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
const int stepY[8] = {0, 1, 1, 1, 0, -1, -1, -1};
}  // namespace

void traceContour(int W, int H, uint8_t* labels, MRegion& region, uint8_t mark) {
    delete region.contour;
    region.contour = new MList;
    MList& contour = *region.contour;
    const uint8_t label = region.label;
    const uint8_t startMark = uint8_t(mark + 1);
    auto at = [&](int x, int y) -> uint8_t& { return labels[size_t(y) * size_t(W) + size_t(x)]; };
    auto usable = [&](int x, int y) { return x >= 0 && x < W && y >= 0 && y < H; };

    int x = -1, y = region.ymin;
    if (y >= 0 && y < H) {
        for (int i = region.xmin < 0 ? 0 : region.xmin; i <= region.xmax && i < W; ++i) {
            if (at(i, y) == label) {
                x = i;
                break;
            }
        }
    }
    if (x < 0) {  // the label is not in the plane: nothing to follow
        region.contourMark = mark;
        return;
    }
    const int sx = x, sy = y;
    contour.append(new MContour(x, y));
    at(x, y) = startMark;

    int d = -1;
    for (int dir = 0; dir < 4; ++dir) {
        const int nx = x + stepX[dir], ny = y + stepY[dir];
        if (usable(nx, ny) && at(nx, ny) == label) {
            d = dir;
            break;
        }
    }
    if (d < 0) {
        at(sx, sy) = mark;
        region.contourMark = mark;
        ip_diagErr("nije uspio krenuti - neka konture !!! ...: \n");
        return;
    }
    x += stepX[d];
    y += stepY[d];
    at(x, y) = mark;
    contour.append(new MContour(x, y));

    // The walk returns to its start pixel; the bound only guards against a plane that
    // was changed under it (each (pixel, direction) state can occur once per cycle).
    const uint64_t limit = 8 * uint64_t(region.area) + 16;
    for (uint64_t steps = 0; steps < limit; ++steps) {
        const int s = (2 * (d / 2) + 7) % 8;
        bool moved = false;
        for (int i = 0; i < 8; ++i) {
            const int dir = (s + i) % 8;
            const int nx = x + stepX[dir], ny = y + stepY[dir];
            if (!usable(nx, ny)) continue;
            uint8_t& q = at(nx, ny);
            if (q == label || q == mark) {
                q = mark;
                x = nx;
                y = ny;
                d = dir;
                contour.append(new MContour(x, y));
                moved = true;
                break;
            }
            if (q == startMark) {
                q = mark;
                region.contourMark = mark;
                return;
            }
        }
        if (!moved) break;
    }
    at(sx, sy) = mark;
    region.contourMark = mark;
}

void raysFromContour(MList& list, int N) {
    const int n = N;
    int count[MaxAngles];
    double sum[MaxAngles];
    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        if (!region->contour) continue;  // a seeded region keeps its rays
        for (int k = 0; k < n; ++k) {
            count[k] = 0;
            sum[k] = 0.0;
        }
        MList& contour = *region->contour;
        for (contour.rewind(); contour.more();) {
            auto* point = static_cast<MContour*>(contour.take());
            const int dx = point->x - region->cx, dy = point->y - region->cy;
            const int k = rayIndex(dx, dy, n);
            count[k] += 1;
            sum[k] += std::sqrt(double(dx * dx + dy * dy));
        }
        for (int k = 0; k < n; ++k) region->rays[k] = count[k] > 0 ? float(sum[k] / count[k]) : -1.0f;
    }
}
