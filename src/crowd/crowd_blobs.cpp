#include "crowd/crowd_blobs.h"

#include <algorithm>
#include <cmath>

crowd_object crowd_describe(const crowd_moments& m) {
    crowd_object o;
    o.area = double(m.area);
    o.weight = m.w;
    if (m.area > 0) o.intensity = m.grey / double(m.area);
    if (m.w <= 0) return o;
    o.x = m.wx / m.w;
    o.y = m.wy / m.w;
    const double cxx = std::max(m.wxx / m.w - o.x * o.x, 0.0), cyy = std::max(m.wyy / m.w - o.y * o.y, 0.0);
    const double cxy = m.wxy / m.w - o.x * o.y;
    const double half = (cxx + cyy) / 2, spread = std::sqrt((cxx - cyy) * (cxx - cyy) / 4 + cxy * cxy);
    const double major = half + spread, minor = half - spread;
    o.orientation = 0.5 * std::atan2(2 * cxy, cxx - cyy);
    // A single pixel, or a one-pixel-wide line, has no short axis: 1 pixel's spread stands in.
    o.elongation = std::sqrt((major + 1.0 / 12) / (std::max(minor, 0.0) + 1.0 / 12));
    return o;
}

void crowd_addRun(const crowd_run& run, const dib_base& weight, const dib_base& grey, crowd_moments& m) {
    // Exact integer sums along the run, from its first column; a run of 32767 pixels of
    // weight 255 keeps them below 2^53, so they pass into doubles unchanged.
    const uint8_t* w = weight.row(run.y) + run.x0;
    const uint8_t* g = grey.row(run.y) + run.x0;
    int64_t s0 = 0, s1 = 0, s2 = 0, greys = 0;
    for (int64_t i = 0; i < run.x1 - run.x0; ++i) s0 += w[i], s1 += w[i] * i, s2 += w[i] * i * i, greys += g[i];
    const double x0 = run.x0, y = run.y, sw = double(s0), swx = double(s1) + x0 * sw;
    m.area += run.x1 - run.x0;
    m.w += sw, m.wx += swx, m.wy += y * sw;
    m.wxx += double(s2) + 2 * x0 * double(s1) + x0 * x0 * sw;
    m.wyy += y * y * sw, m.wxy += y * swx;
    m.grey += double(greys);
}

int32_t crowd_blobs::root(int32_t r) {
    while (parent_[size_t(r)] != r) {
        parent_[size_t(r)] = parent_[size_t(parent_[size_t(r)])];
        r = parent_[size_t(r)];
    }
    return r;
}

void crowd_blobs::label(const dib_base& weight, const dib_base& grey, const std::vector<crowd_run>& runs,
                        const std::vector<int32_t>& rowStart) {
    const int32_t count = int32_t(runs.size());
    parent_.resize(size_t(count));
    for (int32_t r = 0; r < count; ++r) parent_[size_t(r)] = r;
    // Each run meets the runs of the row above that overlap it or touch it at a corner;
    // both rows are sorted, so one sweep finds them. The root is the earliest run.
    for (size_t y = 1; y + 1 < rowStart.size(); ++y) {
        int32_t above = rowStart[y - 1];
        const int32_t aboveEnd = rowStart[y];
        for (int32_t r = rowStart[y]; r < rowStart[y + 1]; ++r) {
            const crowd_run& run = runs[size_t(r)];
            while (above < aboveEnd && runs[size_t(above)].x1 < run.x0) ++above;
            for (int32_t a = above; a < aboveEnd && runs[size_t(a)].x0 <= run.x1; ++a) {
                const int32_t ra = root(a), rr = root(r);
                if (ra != rr) parent_[size_t(std::max(ra, rr))] = std::min(ra, rr);
            }
        }
    }
    runBlob_.resize(size_t(count));
    blobs_.clear();
    for (int32_t r = 0; r < count; ++r) {
        const int32_t top = root(r);
        if (top == r) {
            const crowd_run& run = runs[size_t(r)];
            runBlob_[size_t(r)] = int32_t(blobs_.size());
            blobs_.push_back({crowd_moments{}, run.x0, run.y, run.x1 - 1, run.y, 0, 0});
        } else {
            runBlob_[size_t(r)] = runBlob_[size_t(top)];
        }
        crowd_blob& b = blobs_[size_t(runBlob_[size_t(r)])];
        const crowd_run& run = runs[size_t(r)];
        b.x0 = std::min(b.x0, run.x0), b.x1 = std::max(b.x1, run.x1 - 1), b.y1 = run.y;
        ++b.runCount;
        crowd_addRun(run, weight, grey, b.moments);
    }
    // Runs grouped by blob, each group in raster order.
    int32_t next = 0;
    for (crowd_blob& b : blobs_) b.firstRun = next, next += b.runCount;
    order_.resize(size_t(count));
    std::vector<int32_t>& fill = parent_;  // free again: reused as each blob's write position
    for (size_t b = 0; b < blobs_.size(); ++b) fill[b] = blobs_[b].firstRun;
    for (int32_t r = 0; r < count; ++r) order_[size_t(fill[size_t(runBlob_[size_t(r)])]++)] = r;
}
