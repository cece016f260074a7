#include "crowd/crowd_foreground.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "crowd/crowd_stats.h"

namespace {

constexpr size_t kCutHistory = 25;    // frames whose choices of contrast are pooled
constexpr int kLeastCut = 6;          // below this, sensor noise and compression speckle
constexpr double kLastingChange = 3;  // grey levels of the floor that the background takes over
// A shadow pixel lies within this of its body shifted by the learned shift (whole pixels, and
// a soft edge wider than the body's); a body's own rim within kRim of the body beyond the cut.
// A faint patch farther from any body (a stain, the floor's shading) stays out.
constexpr int32_t kSway = 3, kRim = 2;
// Before the shadow's shift is known, a faint pixel this near a body may be its shadow (the
// farthest shift crowd_shadow tries).
constexpr int32_t kCast = 10;

// Pixels beyond a blob's bounding box whose background tells the floor around it: beyond a
// shadow's soft edge, which the median holds with the shadow.
constexpr int32_t kGhostRing = 4;

// The background's values on the rectangle kGhostRing pixels outside the blob's box, those in
// the picture.
void ringLevels(const dib_base& background, const crowd_blob& blob, std::vector<int>& levels) {
    levels.clear();
    const int32_t x0 = blob.x0 - kGhostRing, x1 = blob.x1 + kGhostRing, y0 = blob.y0 - kGhostRing,
                  y1 = blob.y1 + kGhostRing, w = background.width, h = background.absHeight();
    for (int32_t x = std::max(0, x0); x <= std::min(w - 1, x1); ++x) {
        if (y0 >= 0) levels.push_back(background.row(y0)[x]);
        if (y1 < h) levels.push_back(background.row(y1)[x]);
    }
    for (int32_t y = std::max(0, y0 + 1); y <= std::min(h - 1, y1 - 1); ++y) {
        if (x0 >= 0) levels.push_back(background.row(y)[x0]);
        if (x1 < w) levels.push_back(background.row(y)[x1]);
    }
}

// The least contrast that noise alone rarely reaches: four robust standard deviations.
int noiseCut(double noise) { return std::max(kLeastCut, int(std::ceil(4 * noise))); }

}  // namespace

void crowd_foreground::restart(const dib_fmt& format) {
    background_.restart(format, 1, 1);
    grid_.step = crowd_gridStep(format);
    steps_.restart();
    shadow_.restart();
    shadowsOut_ = false;
    cutHistory_.clear(), contrastHistory_.clear(), elongationHistory_.clear();
    pixels_ = int64_t(format.width) * format.absHeight();
    weightValid_ = unfit_ = jumped_ = false;
    counts_ = {};
}

void crowd_foreground::find(const dib_base& src, const crowd_detectSettings& s, dib_base& weight, dib_base& grey) {
    const bool learned = s.background == 0;
    if (learned && !background_.current()) {
        // The first frame: its grey values give the first guess of the floor.
        background_.restart(src.format(), s.samples, s.sampleEvery);
        do_contrast(src, nullptr, 0, contrast_polarity::dark, 255, weight, &grey);
        background_.start(grey, s.polarity);
        weightValid_ = false;
    }
    measure(src, s, weight);
    cut_ = chooseCut(s);
    do_contrast(src, learned ? background_.current() : nullptr, level_, contrast_polarity(s.polarity), cut_, weight,
                &grey, learned ? light_ : contrast_light{});
    if (learned && background_.guessed()) overStructure(src, s, weight);
    leaveShadowsOut(weight);
    weightValid_ = true;
}

bool crowd_foreground::clearGhosts(const crowd_blobs& blobs, const crowd_runs& runs, const crowd_detectSettings& s,
                                   dib_base& weight) const {
    const dib_base* background = background_.current();
    if (s.background != 0 || s.polarity == 2 || !background || background_.guessed()) return false;
    const int sign = s.polarity == 1 ? 1 : -1;
    const auto eachRun = [&](const crowd_blob& blob, auto&& f) {
        for (int32_t i = 0; i < blob.runCount; ++i) f(runs.runs[size_t(blobs.order()[size_t(blob.firstRun + i)])]);
    };
    bool cleared = false;
    std::vector<int> around;
    for (const crowd_blob& blob : blobs.blobs()) {
        ringLevels(*background, blob, around);
        if (around.empty()) continue;
        // The floor around is the ring's median: an animal against a wall or another animal has
        // them on less than half of its ring, and a shadow's ghost its soft edge.
        const size_t at = around.size() / 2;
        std::nth_element(around.begin(), around.begin() + ptrdiff_t(at), around.end());
        const double floor = around[at] * light_.gain / 512.0 + light_.offset;
        if (2 * sign * (blob.moments.grey / double(blob.moments.area) - floor) >= cut_) continue;
        // And only where the background itself lies beyond the floor's level on the side
        // objects never lie: an animal along a dark rim has the rim on much of its ring, but the
        // floor under it.
        int64_t sum = 0;
        eachRun(blob, [&](const crowd_run& run) {
            for (int32_t x = run.x0; x < run.x1; ++x) sum += background->row(run.y)[x];
        });
        if (2 * sign * (double(sum) / double(blob.moments.area) - fit_.backgroundFloor) > -cut_) continue;
        eachRun(blob, [&](const crowd_run& run) {
            std::fill(weight.row(run.y) + run.x0, weight.row(run.y) + run.x1, uint8_t(0));
        });
        cleared = true;
    }
    return cleared;
}

// The objects' own choice of contrast stays below a shadow's (its pixels are their faint
// part): once shadows are seen, the frame is cut again above them. Once the shadow's shift is
// known too, a faint pixel beside a body that no body lies before at that shift is the body's
// own soft rim, or a pale tail, and is kept: the cut alone would eat it wherever the shadow is
// nearly as dark as the animal.
void crowd_foreground::leaveShadowsOut(dib_base& weight) {
    const int above = int(std::lround(shadow_.cut() * litFloor()));
    shadowsOut_ = above > cut_;
    if (!shadowsOut_) return;
    withShadows_ = weight;
    shadows_.setFormat(weight.format(), 0);  // every pixel is written below
    const bool placed = shadow_.placed();
    const int32_t sx = shadow_.placeX(), sy = shadow_.placeY();
    const int deep = shadowedCut(above);
    for (int32_t y = 0; y < weight.absHeight(); ++y) {
        uint8_t *w = weight.row(y), *shadow = shadows_.row(y);
        for (int32_t x = 0; x < weight.width; ++x) {
            shadow[x] = 0;
            if (!w[x] || w[x] > deep) continue;
            const bool cast = placed ? bodyWithin(x - sx, y - sy, kSway, above) : bodyWithin(x, y, kCast, above);
            if (w[x] > above ? !cast : placed && !cast && bodyWithin(x, y, kRim, above)) continue;
            shadow[x] = cast, w[x] = 0;
        }
    }
    cut_ = above;
}

// Where a shadow is cast the floor lies darker by about the cut `above` (the shadows' contrast
// hardly passes it), and a pixel there is a body's only where it stands out from that darker
// floor by the objects' own cut: a shadow falling over a neighbour's soft rim, or over another
// shadow, passes `above` and joined bodies lying side by side into one blob.
int crowd_foreground::shadowedCut(int above) const {
    if (!shadow_.placed()) return above;
    const double floor = litFloor();
    return std::min(255, int(std::lround(above + cut_ * std::max(0.0, floor - above) / floor)));
}

// Whether a pixel beyond the cut `above` (a body's) lies within `reach` of (x, y).
bool crowd_foreground::bodyWithin(int32_t x, int32_t y, int32_t reach, int above) const {
    const int32_t x0 = std::max(0, x - reach), x1 = std::min(withShadows_.width - 1, x + reach);
    const int32_t y0 = std::max(0, y - reach), y1 = std::min(withShadows_.absHeight() - 1, y + reach);
    for (int32_t v = y0; v <= y1; ++v) {
        const uint8_t* w = withShadows_.row(v);
        for (int32_t u = x0; u <= x1; ++u)
            if (w[u] > above) return true;
    }
    return false;
}

// While the floor is guessed, the arena's structure seen in the first frame is background
// (crowd_background::guessFloor): an animal over a dark rim or a wall line then stands out
// only by what it adds to the structure's darkness. Where the frame lies beyond the contrast
// from the floor guessed from block medians, and beyond the background the first sample left
// by half the contrast on the objects' side (an animal has come; flicker, noise and
// compression at the structure's edges stay within its tolerance), it is the animal's.
void crowd_foreground::overStructure(const dib_base& src, const crowd_detectSettings& s, dib_base& weight) {
    const dib_base *floor = background_.guessedFloor(), *first = background_.firstFloor();
    if (!floor || !first) return;
    dib_base againstFloor(weight.format(), 0), againstStructure(weight.format(), 0);
    do_contrast(src, floor, level_, contrast_polarity(s.polarity), cut_, againstFloor, nullptr, light_);
    do_contrast(src, first, level_, contrast_polarity(s.polarity), cut_ / 2, againstStructure, nullptr, light_);
    for (int32_t y = 0; y < weight.absHeight(); ++y) {
        uint8_t* w = weight.row(y);
        const uint8_t *a = againstFloor.row(y), *c = againstStructure.row(y);
        for (int32_t x = 0; x < weight.width; ++x)
            if (!w[x] && a[x] && c[x]) w[x] = a[x];
    }
}

// The frame's light against the background (or, for a flat background, the floor's
// level), and whether it is a flash or a jump.
void crowd_foreground::measure(const dib_base& src, const crowd_detectSettings& s, const dib_base& weight) {
    const bool learned = s.background == 0;
    crowd_sampleGrid(src, learned ? background_.current() : nullptr, weightValid_ ? &weight : nullptr, grid_);
    fit_ = crowd_fitLight(grid_, learned);
    // A light that moves no background value present by a grey level is left out: the
    // comparison is then the plain one.
    auto moved = [&](double v) { return std::fabs(fit_.gain * v + fit_.offset - v); };
    light_ = std::max(moved(fit_.backgroundLow), moved(fit_.backgroundHigh)) < 1
                 ? contrast_light{}
                 : contrast_light{int(std::lround(std::clamp(fit_.gain, 0.0, 63.0) * 512)),
                                  int(std::lround(std::clamp(fit_.offset, -255.0, 255.0)))};
    level_ = s.background == 1 ? s.threshold : int(std::lround(std::clamp(fit_.floor, 0.0, 255.0)));
    // A picture driven to white or black, or one the background no longer resembles, is
    // a flash or a blackout: nothing in it can be told from the floor.
    unfit_ = fit_.saturated > 0.5 || (learned && (fit_.gain < 0.25 || fit_.gain > 4));
    jumped_ = !unfit_ && steps_.jumped(fit_.floor);
}

// The choices of the last frames, each as a share of its frame's floor, so that the contrast
// dims with the lamp (an animal's contrast is a share of the light it blocks or reflects).
int crowd_foreground::chooseCut(const crowd_detectSettings& s) const {
    if (s.contrast > 0) return s.contrast;
    if (cutHistory_.empty()) return noiseCut(fit_.noise);
    return std::clamp(int(std::lround(crowd_medianOf(cutHistory_) * litFloor())), kLeastCut, 200);
}

double crowd_foreground::litFloor() const { return std::max(16.0, fit_.floor); }

// This frame's choice of contrast: above the noise, and at half the contrast of the faint
// part of the objects (the fifth of their pixels with the least), where a soft edge is
// half covered, so that an object's outline lies where its body ends and a faint
// reflection or a shadow's rim stays out. Only blobs of minArea or more count: with specks of
// noise among them, a contrast near the noise would choose itself again and again. The
// pixels are sampled a few per animal (every half of an animal's side, once its area is
// known), so that the animals weigh as much against a wide faint blob of the floor in any
// frame size.
void crowd_foreground::noteObjectContrast(const dib_base& weight, const crowd_blobs& blobs, const crowd_runs& runs,
                                          int minArea, double singleArea) {
    std::array<uint32_t, 256> histogram{};
    uint32_t marked = 0;
    const int64_t step = singleArea > 0 ? std::max<int64_t>(1, std::lround(std::sqrt(singleArea) / 2)) : grid_.step;
    for (int64_t y = step / 2; y + 1 < int64_t(runs.rowStart.size()); y += step) {
        const uint8_t* w = weight.row(int32_t(y));
        for (int32_t r = runs.rowStart[size_t(y)]; r < runs.rowStart[size_t(y) + 1]; ++r) {
            const crowd_run& run = runs.runs[size_t(r)];
            if (blobs.blobs()[size_t(blobs.blobOf(r))].moments.area < minArea) continue;
            const int64_t skip = ((step / 2 - run.x0) % step + step) % step;
            for (int64_t x = run.x0 + skip; x < run.x1; x += step) ++histogram[w[x]], ++marked;
        }
    }
    int estimate = noiseCut(fit_.noise);
    if (marked >= 8) {
        uint32_t seen = 0;
        int faint = 255;
        for (int v = 1; v < 256; ++v)
            if ((seen += histogram[size_t(v)]) * 5 > marked) {
                faint = v;
                break;
            }
        estimate = std::max(estimate, faint / 2);
    }
    cutHistory_.push_back(std::min(estimate, 200) / litFloor());
    if (cutHistory_.size() > kCutHistory) cutHistory_.erase(cutHistory_.begin());
}

// What the background takes over of the frame's light: nothing while the floor stays within
// a few levels (each frame's own fit covers that, and rounding a small gain into the
// background at every update would wear its texture down), else the floor's change as a
// gain, which is what a lamp's change does to what the floor reflects.
contrast_light crowd_foreground::lastingLight() const {
    const double before = fit_.backgroundFloor, now = fit_.floor;
    if (std::fabs(now - before) < kLastingChange) return {};
    if (before < 8) return {512, int(std::lround(std::clamp(now - before, -255.0, 255.0)))};
    return {int(std::lround(std::clamp(now / before, 0.0, 63.0) * 512)), 0};
}

// An animal's mean contrast over its pixels and its elongation, as the median blob of the frame
// has them (most blobs are animals), for telling a resting animal from a stain or a wall's line.
void crowd_foreground::noteAnimalLooks(const crowd_blobs& blobs, int minArea) {
    std::vector<double> means, elongations;
    for (const crowd_blob& blob : blobs.blobs())
        if (blob.moments.area >= minArea) {
            means.push_back(blob.moments.w / double(blob.moments.area));
            elongations.push_back(crowd_describe(blob.moments).elongation);
        }
    if (means.empty()) return;
    contrastHistory_.push_back(crowd_medianOf(means));
    elongationHistory_.push_back(crowd_medianOf(elongations));
    if (contrastHistory_.size() > kCutHistory) contrastHistory_.erase(contrastHistory_.begin());
    if (elongationHistory_.size() > kCutHistory) elongationHistory_.erase(elongationHistory_.begin());
}

double crowd_foreground::animalContrast() const { return crowd_medianOf(contrastHistory_); }

bool crowd_foreground::lightingEvent(const std::vector<crowd_run>& runs, const crowd_blobs& blobs) const {
    if (unfit_) return true;
    int64_t marked = 0;
    for (const crowd_run& run : runs) marked += run.x1 - run.x0;
    if (2 * marked > pixels_) return true;
    for (const crowd_blob& blob : blobs.blobs())
        if (4 * blob.moments.area > pixels_) return true;
    return false;
}

void crowd_foreground::learn(const dib_base& grey, const dib_base& weight, const crowd_blobs& blobs,
                             const crowd_runs& runs, bool event, const crowd_detectSettings& s, double singleArea) {
    if (!event && !unfit_ && !jumped_) {
        if (shadowsOut_) {
            crowd_findRuns(withShadows_, shadowRuns_, shadowRowStart_);
            shadowBlobs_.label(withShadows_, grey, shadowRuns_, shadowRowStart_);
        }
        const crowd_runs all = shadowsOut_ ? crowd_runs{shadowRuns_, shadowRowStart_} : runs;
        const dib_base& measured = shadowsOut_ ? withShadows_ : weight;
        noteObjectContrast(measured, shadowsOut_ ? shadowBlobs_ : blobs, all, s.minArea, singleArea);
        if (shadowsOut_) shadow_.noteCentres(weight, blobs, runs.runs, s.minArea);
        if (s.polarity == 0)
            shadow_.note(measured, shadowsOut_ ? shadowBlobs_ : blobs, all.runs, s.minArea, litFloor());
    }
    counts_.lightingEvents += event;
    counts_.brightnessJumps += jumped_ && !event;
    counts_.noContrast += !event && blobs.blobs().empty();
    bool inLimits = blobs.blobs().empty();
    for (const crowd_blob& blob : blobs.blobs())
        inLimits = inLimits || (blob.moments.area >= s.minArea && (s.maxArea <= 0 || blob.moments.area <= s.maxArea));
    counts_.outsideArea += !inLimits;
    if (s.background != 0) return;
    counts_.provisional += !background_.learned();
    crowd_frameFacts facts;
    facts.polarity = s.polarity, facts.cut = cut_, facts.relight = lastingLight(), facts.blobs = &blobs;
    facts.runs = &runs.runs;
    // The samples are brought to one light only when the floor's moved by more than a few
    // levels, as the learned background takes a change over: below that each frame's own fit
    // covers it, and rounding every sample through a gain would only wear its texture down.
    if (std::fabs(fit_.floor - fit_.backgroundFloor) >= kLastingChange) facts.light = light_;
    facts.nextCut = chooseCut(s);
    if (shadowsOut_) facts.shaded = &shadows_;
    facts.still.minArea = s.minArea, facts.still.animals = s.animals, facts.still.singleArea = singleArea;
    facts.still.shadowed = shadowsOut_ && shadow_.placed();
    facts.still.shadowX = shadow_.placeX(), facts.still.shadowY = shadow_.placeY();
    // The animals' looks judge what stood still through the samples: once the background is
    // learned no one asks, and every blob of every frame need not be measured for them.
    if (!background_.learned()) noteAnimalLooks(blobs, s.minArea);
    facts.still.animalContrast = crowd_medianOf(contrastHistory_);
    facts.still.animalElongation = crowd_medianOf(elongationHistory_);
    // The choices made against the guessed floor stay in the pool when the background is
    // learned: each is made at the contrast in use, and from the noise floor alone the
    // contrast would climb back over a dozen frames, a blob breaking into parts on the way.
    background_.learn(grey, weight, facts, event || jumped_);
}
