#include "crowd/crowd_early.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "crowd/crowd_runs.h"
#include "crowd/crowd_stats.h"
#include "crowd/crowd_still.h"
#include "image/dib_access.h"

namespace {
// A blob is still all over when fewer than this share of its pixels changed: noise beyond
// the contrast (at least four of its standard deviations) touches a few pixels per thousand;
// a moving animal's leading and trailing edges are several percent of its pixels.
constexpr double kStillShare = 0.02;
// Compression and noise change a thin line's edges by more than they change the floor, so
// the still patches of a wall's line leave changed pixels between them that would show as
// fragments of it, each a small animal: this many pixels around structure go with it. An
// animal touching the wall loses no more than that, and only while the floor is guessed.
constexpr int32_t kStructureFringe = 1;

double animalsIn(double area, double one) { return std::max(1.0, std::round(area / one)); }
}  // namespace

int crowd_early::changeNoise(const dib_base& grey, const dib_base& weight) const {
    // The robust spread of the change since the first frame where no object lies, on a
    // lattice of about a thousand pixels: a floor pixel changes by the noise alone.
    const int64_t step = std::max<int64_t>(1, int64_t(std::sqrt(double(grey.width) * grey.absHeight() / 1024.0)));
    std::array<uint32_t, 256> histogram{};
    uint32_t n = 0;
    for (int64_t y = step / 2; y < grey.absHeight(); y += step) {
        const uint8_t *now = grey.row(int32_t(y)), *then = first_->row(int32_t(y)), *w = weight.row(int32_t(y));
        for (int64_t x = step / 2; x < grey.width; x += step)
            if (!w[x]) ++histogram[size_t(std::abs(now[x] - then[x]))], ++n;
    }
    uint32_t seen = 0;
    int median = 0;
    while (median < 255 && (seen += histogram[size_t(median)]) * 2 < n) ++median;
    // Four robust standard deviations of the change, and never under 3 levels (rounding).
    return std::max(3, int(std::ceil(4 * 1.4826 * median)));
}

void crowd_early::findStill(const crowd_blobs& blobs, const std::vector<crowd_run>& runs, const dib_base& grey,
                            const dib_base& weight, int cut) {
    if (!still_ || !dib_sameSize(*still_, weight)) still_ = std::make_unique<dib_base>(weight.format(), 0);
    dib_fill(*still_, 0);
    const auto& all = blobs.blobs();
    changed_.assign(all.size(), 0);
    for (size_t b = 0; b < all.size(); ++b)
        for (int32_t i = 0; i < all[b].runCount; ++i) {
            const crowd_run& run = runs[size_t(blobs.order()[size_t(all[b].firstRun + i)])];
            const uint8_t *now = grey.row(run.y), *then = first_->row(run.y), *w = weight.row(run.y);
            uint8_t* s = still_->row(run.y);
            for (int32_t x = run.x0; x < run.x1; ++x) {
                const bool same = std::abs(now[x] - then[x]) <= cut;
                s[x] = same ? w[x] : 0;
                changed_[b] += !same;
            }
        }
}

void crowd_early::noteFirst(const crowd_blobs& blobs, const std::vector<crowd_run>& runs, int32_t width,
                            int32_t height) {
    width_ = width;
    firstArea_.assign(size_t(width) * size_t(height), 0);
    for (const crowd_blob& b : blobs.blobs())
        for (int32_t i = 0; i < b.runCount; ++i) {
            const crowd_run& run = runs[size_t(blobs.order()[size_t(b.firstRun + i)])];
            std::fill(firstArea_.begin() + ptrdiff_t(run.y) * width + run.x0,
                      firstArea_.begin() + ptrdiff_t(run.y) * width + run.x1, b.moments.area);
        }
}

bool crowd_early::wasLarger(size_t p, double largest) const {
    const crowd_blob& patch = patches_.blobs()[p];
    int64_t larger = 0;
    for (int32_t i = 0; i < patch.runCount; ++i) {
        const crowd_run& run = runs_[size_t(patches_.order()[size_t(patch.firstRun + i)])];
        for (int32_t x = run.x0; x < run.x1; ++x)
            larger += double(firstArea_[size_t(run.y) * size_t(width_) + size_t(x)]) > largest;
    }
    return 2 * larger > patch.moments.area;
}

int32_t crowd_early::blobOf(size_t p, const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                            const std::vector<int32_t>& rowStart) const {
    const crowd_run& first = runs_[size_t(patches_.order()[size_t(patches_.blobs()[p].firstRun)])];
    const auto begin = runs.begin() + rowStart[size_t(first.y)], end = runs.begin() + rowStart[size_t(first.y) + 1];
    const auto at = std::upper_bound(begin, end, first.x0, [](int32_t x, const crowd_run& r) { return x < r.x1; });
    return blobs.blobOf(int32_t(at - runs.begin()));
}

void crowd_early::judge(const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                        const std::vector<int32_t>& rowStart, int minArea, int animals, bool first,
                        std::vector<char>& structure) {
    const auto& all = blobs.blobs();
    const auto& patches = patches_.blobs();
    structure.assign(patches.size(), 0);
    // Blobs that changed are mostly animals on the move: one animal's area and contrast. In
    // the first frame nothing has changed yet, and most blobs are animals, or specks of a
    // grainy floor that do not hold most object pixels.
    std::vector<double> areas, contrasts;
    for (size_t b = 0; b < all.size(); ++b)
        if (all[b].moments.area >= minArea &&
            (first || double(changed_[b]) >= kStillShare * double(all[b].moments.area))) {
            areas.push_back(double(all[b].moments.area));
            contrasts.push_back(all[b].moments.w / double(all[b].moments.area));
        }
    if (areas.empty()) return;
    const double one = first ? crowd_typicalArea(areas, 0) : crowd_medianOf(areas),
                 contrast = crowd_medianOf(contrasts);
    std::vector<double> left(all.size());  // per blob, its area not taken for structure
    for (size_t b = 0; b < all.size(); ++b) left[b] = double(all[b].moments.area);
    std::vector<std::pair<double, size_t>> candidates;  // how unlike one animal, patch
    std::vector<char> candidate(all.size(), 0);
    for (size_t p = 0; p < patches.size(); ++p) {
        const double area = double(patches[p].moments.area), mean = patches[p].moments.w / area;
        const int32_t b = blobOf(p, blobs, runs, rowStart);
        const bool whole = double(changed_[size_t(b)]) < kStillShare * double(all[size_t(b)].moments.area);
        structure[p] = area > kStructureAnimals * one || (whole && (area < one / 4 || mean < contrast / 2)) ||
                       wasLarger(p, kStructureAnimals * one);
        if (structure[p]) {
            left[size_t(b)] -= area;
        } else if (whole) {
            candidates.push_back({std::fabs(std::log(area / one)) + std::fabs(std::log(mean / contrast)), p});
            candidate[size_t(b)] = 1;
        }
    }
    // With the count known, the still blobs least like one animal beyond it are structure;
    // not in the first frame, where the animals' sizes are not known from their moving.
    if (animals <= 0 || first) return;
    double total = 0;
    for (size_t b = 0; b < all.size(); ++b)
        if (left[b] >= std::max<double>(minArea, one / 4) || candidate[b]) total += animalsIn(left[b], one);
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    for (const auto& [unlike, p] : candidates) {
        if (total <= animals) break;
        structure[p] = 1;
        total -= animalsIn(double(patches[p].moments.area), one);
    }
}

bool crowd_early::clear(const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                        const std::vector<int32_t>& rowStart, const dib_base& grey, int cut, int minArea, int animals,
                        dib_base& weight) {
    const bool first = !first_ || !dib_sameSize(*first_, grey);
    if (first) {
        first_ = std::make_unique<dib_base>(grey.format(), 0);
        for (int32_t y = 0; y < grey.absHeight(); ++y) std::copy_n(grey.row(y), grey.width, first_->row(y));
        noteFirst(blobs, runs, grey.width, grey.absHeight());
    }
    // A pixel has changed when it changed by more than the noise: an animal over a dark rim
    // changes it by less than the contrast an object needs, and is no structure.
    findStill(blobs, runs, grey, weight, std::min(cut, changeNoise(grey, weight)));
    crowd_findRuns(*still_, runs_, rowStart_);
    patches_.label(*still_, grey, runs_, rowStart_);
    std::vector<char> structure;
    judge(blobs, runs, rowStart, minArea, animals, first, structure);
    bool cleared = false;
    for (size_t p = 0; p < structure.size(); ++p) {
        if (!structure[p]) continue;
        if (!cleared) {
            if (!before_ || !dib_sameSize(*before_, weight)) before_ = std::make_unique<dib_base>(weight.format(), 0);
            for (int32_t y = 0; y < weight.absHeight(); ++y) std::copy_n(weight.row(y), weight.width, before_->row(y));
        }
        const crowd_blob& patch = patches_.blobs()[p];
        for (int32_t i = 0; i < patch.runCount; ++i) {
            const crowd_run& run = runs_[size_t(patches_.order()[size_t(patch.firstRun + i)])];
            const int32_t x0 = std::max(0, run.x0 - kStructureFringe),
                          x1 = std::min(weight.width, run.x1 + kStructureFringe);
            for (int32_t y = std::max(0, run.y - kStructureFringe);
                 y <= std::min(weight.absHeight() - 1, run.y + kStructureFringe); ++y)
                std::fill(weight.row(y) + x0, weight.row(y) + x1, uint8_t(0));
        }
        cleared = true;
    }
    return cleared;
}
