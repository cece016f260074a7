#include "crowd/crowd_split.h"

#include <algorithm>

namespace {
double squared(double dx, double dy) { return dx * dx + dy * dy; }
}  // namespace

int crowd_splitter::nearest(const pixel& p, const std::vector<crowd_point>& centres) {
    int best = 0;
    double bestDistance = squared(p.x - centres[0].x, p.y - centres[0].y);
    for (int j = 1; j < int(centres.size()); ++j) {
        const double d = squared(p.x - centres[size_t(j)].x, p.y - centres[size_t(j)].y);
        if (d < bestDistance) best = j, bestDistance = d;
    }
    return best;
}

void crowd_splitter::split(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs,
                           const dib_base& weight, const dib_base& grey, int k, const std::vector<crowd_point>& seeds,
                           std::vector<crowd_moments>& parts) {
    const crowd_blob& b = blobs.blobs()[size_t(blob)];
    pixels_.clear();
    for (int32_t i = 0; i < b.runCount; ++i) {
        const crowd_run& run = runs[size_t(blobs.order()[size_t(b.firstRun + i)])];
        const uint8_t* w = weight.row(run.y);
        const uint8_t* g = grey.row(run.y);
        for (int32_t x = run.x0; x < run.x1; ++x) pixels_.push_back({x, run.y, w[x], g[x], 0});
    }
    k = std::max(1, std::min(k, int(pixels_.size())));
    centres_.assign(seeds.begin(), seeds.begin() + std::min<ptrdiff_t>(k, ptrdiff_t(seeds.size())));
    while (int(centres_.size()) < k) {
        // The pixel farthest from every centre so far; without any, the heaviest pixel.
        const pixel* far = &pixels_[0];
        double farthest = -1;
        for (const pixel& p : pixels_) {
            double d = double(p.w);
            if (!centres_.empty()) {
                d = squared(p.x - centres_[0].x, p.y - centres_[0].y);
                for (const crowd_point& c : centres_) d = std::min(d, squared(p.x - c.x, p.y - c.y));
            }
            if (d > farthest) far = &p, farthest = d;
        }
        centres_.push_back({double(far->x), double(far->y)});
    }

    // Lloyd's rounds on the weighted centres alone; the parts' full sums once at the end.
    for (pixel& p : pixels_) p.group = -1;
    std::vector<centre_sum>& sums = centreSums_;
    for (int round = 0; round < 50; ++round) {
        bool changed = false;
        sums.assign(size_t(k), centre_sum{0, 0, 0, 0});
        for (pixel& p : pixels_) {
            const int j = nearest(p, centres_);
            changed = changed || j != p.group;
            p.group = j;
            centre_sum& c = sums[size_t(j)];
            ++c.count, c.w += p.w, c.wx += int64_t(p.w) * p.x, c.wy += int64_t(p.w) * p.y;
        }
        if (!changed) break;
        for (int j = 0; j < k; ++j) {
            const centre_sum& c = sums[size_t(j)];
            if (c.count > 0) {
                centres_[size_t(j)] = {double(c.wx) / double(c.w), double(c.wy) / double(c.w)};
                continue;
            }
            // An empty part takes over the pixel that lies farthest from its own centre.
            const pixel* far = &pixels_[0];
            double farthest = -1;
            for (const pixel& p : pixels_) {
                const crowd_point& c = centres_[size_t(p.group)];
                const double d = squared(p.x - c.x, p.y - c.y);
                if (d > farthest && sums[size_t(p.group)].count > 1) far = &p, farthest = d;
            }
            centres_[size_t(j)] = {double(far->x), double(far->y)};
        }
    }
    parts.assign(size_t(k), crowd_moments{});
    for (const pixel& p : pixels_) parts[size_t(p.group)].add(p.x, p.y, p.w, p.grey);
}
