#include "crowd/crowd_background.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "crowd/crowd_floor.h"
#include "crowd/crowd_runs.h"
#include "crowd/crowd_stats.h"

#include "image/dib_access.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "crowd/crowd_background.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef AMBREVO_CROWD_BACKGROUND_ONCE
#define AMBREVO_CROWD_BACKGROUND_ONCE
namespace crowd_detail {
constexpr int kMostSamples = 31;
}
#endif

HWY_BEFORE_NAMESPACE();
namespace crowd_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Sorts the k samples of each lane with an odd-even transposition network and keeps the
// middle one. Returns where it stopped; the caller finishes the row.
int64_t MedianRow(const uint8_t* const* rows, int k, uint8_t* out, int64_t n) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    hn::Vec<decltype(d)> v[kMostSamples];
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        for (int i = 0; i < k; ++i) v[i] = hn::LoadU(d, rows[i] + x);
        for (int pass = 0; pass < k; ++pass)
            for (int i = pass % 2; i + 1 < k; i += 2) {
                const auto lo = hn::Min(v[i], v[i + 1]);
                v[i + 1] = hn::Max(v[i], v[i + 1]);
                v[i] = lo;
            }
        hn::StoreU(v[(k - 1) / 2], d, out + x);
    }
    return x;
}

int64_t FollowRow(const uint8_t* grey, const uint8_t* weight, const uint8_t* hold, int polarity, int jump,
                  uint8_t* background, int64_t n) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto one = hn::Set(d, 1), zero = hn::Zero(d), beyond = hn::Set(d, uint8_t(jump));
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        const auto g = hn::LoadU(d, grey + x), b = hn::LoadU(d, background + x);
        const auto above = hn::SaturatedSub(g, b), below = hn::SaturatedSub(b, g);
        const auto step = hn::Sub(hn::Add(b, hn::Min(above, one)), hn::Min(below, one));
        // A frame beyond the background on the side objects never lie: the background
        // was wrong there (an animal that has moved away), and takes the frame at once.
        const auto wrong = polarity == 0   ? hn::Ne(hn::SaturatedSub(above, beyond), zero)
                           : polarity == 1 ? hn::Ne(hn::SaturatedSub(below, beyond), zero)
                                           : hn::Ne(zero, zero);
        const auto free = hn::Eq(hn::Or(hn::LoadU(d, weight + x), hn::LoadU(d, hold + x)), zero);
        hn::StoreU(hn::IfThenElse(free, hn::IfThenElse(wrong, g, step), b), d, background + x);
    }
    return x;
}

}  // namespace HWY_NAMESPACE
}  // namespace crowd_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace crowd_detail {
HWY_EXPORT(MedianRow);
HWY_EXPORT(FollowRow);
}  // namespace crowd_detail

void crowd_median(const std::vector<const dib_base*>& images, dib_base& out) {
    const int k = int(images.size());
    if (k < 1 || k > crowd_detail::kMostSamples) throw "crowd_median - got too few or too many images";
    for (const dib_base* image : images)
        if (image->szPixel != 1 || !dib_sameSize(*image, out)) throw "crowd_median - got images of different sizes";
    if (out.szPixel != 1) throw "crowd_median - got images of different sizes";
    using namespace crowd_detail;  // the static dispatch names the function unqualified
    const bool vectors = ops_detail::vectorsEnabled();
    std::array<const uint8_t*, crowd_detail::kMostSamples> rows{};
    std::array<uint8_t, crowd_detail::kMostSamples> values{};
    for (int32_t y = 0; y < out.absHeight(); ++y) {
        for (int i = 0; i < k; ++i) rows[size_t(i)] = images[size_t(i)]->row(y);
        uint8_t* o = out.row(y);
        int64_t x = vectors ? HWY_DYNAMIC_DISPATCH(MedianRow)(rows.data(), k, o, out.width) : 0;
        for (; x < out.width; ++x) {
            for (int i = 0; i < k; ++i) values[size_t(i)] = rows[size_t(i)][x];
            std::nth_element(values.begin(), values.begin() + (k - 1) / 2, values.begin() + k);
            o[x] = values[size_t((k - 1) / 2)];
        }
    }
}

namespace {
// Follows the pixels of one row not held: the vector kernel as far as it goes, then each.
void followRow(bool vectors, const uint8_t* g, const uint8_t* w, const uint8_t* hold, int polarity, int jump,
               uint8_t* b, int64_t end) {
    using namespace crowd_detail;
    int64_t x = vectors ? HWY_DYNAMIC_DISPATCH(FollowRow)(g, w, hold, polarity, jump, b, end) : 0;
    for (; x < end; ++x) {
        if (w[x] != 0 || hold[x] != 0) continue;
        const bool wrong = polarity == 0 ? g[x] > b[x] + jump : polarity == 1 && g[x] + jump < b[x];
        b[x] = wrong ? g[x] : uint8_t(b[x] + (g[x] > b[x]) - (g[x] < b[x]));
    }
}
}  // namespace

void crowd_blockMask::clear(int32_t width, int32_t height) {
    cols = (width + size - 1) / size, rows = (height + size - 1) / size;
    marked.assign(size_t(cols) * size_t(rows), 0);
}

void crowd_blockMask::mark(const crowd_blob& blob, int32_t margin) {
    const int32_t c0 = std::max(0, (blob.x0 - margin) / size), c1 = std::min(cols - 1, (blob.x1 + margin) / size);
    const int32_t r0 = std::max(0, (blob.y0 - margin) / size), r1 = std::min(rows - 1, (blob.y1 + margin) / size);
    for (int32_t r = r0; r <= r1; ++r)
        std::fill_n(marked.begin() + ptrdiff_t(r) * cols + c0, std::max(0, c1 - c0 + 1), uint8_t(1));
}

void crowd_blockMask::mark(const dib_base& image) {
    for (int32_t y = 0; y < image.absHeight(); ++y) {
        const uint8_t* p = image.row(y);
        for (int32_t x = 0; x < image.width; ++x)
            if (p[x]) marked[size_t(y / size) * size_t(cols) + size_t(x / size)] = 1;
    }
}

void crowd_follow(const dib_base& grey, const dib_base& weight, int polarity, int jump, dib_base& background,
                  const crowd_blockMask* frozen, const crowd_blockMask* repairable) {
    if (!dib_sameSize(grey, background) || !dib_sameSize(weight, background) || grey.szPixel != 1 ||
        weight.szPixel != 1 || background.szPixel != 1)
        throw "crowd_follow - got images of different sizes";
    if ((frozen && !frozen->fits(background)) || (repairable && !repairable->fits(background)))
        throw "crowd_follow - got a block mask of another size";
    jump = std::clamp(jump, 0, 255);
    const int64_t width = background.width, size = crowd_blockMask::size;
    const bool vectors = ops_detail::vectorsEnabled();
    // 0: left alone, 1: stepped only, 2: stepped or repaired at once. Each row is followed in
    // one pass per kind of block it holds, the pixels of the other blocks held.
    auto state = [&](int64_t x, int32_t y) {
        return frozen && frozen->at(x, y) ? 0 : repairable && !repairable->at(x, y) ? 1 : 2;
    };
    std::vector<uint8_t> holdStep(static_cast<size_t>(width)), holdRepair(static_cast<size_t>(width));
    bool step = false, repair = false;
    for (int32_t y = 0; y < background.absHeight(); ++y) {
        if (y % size == 0) {
            std::fill(holdStep.begin(), holdStep.end(), uint8_t(1));
            std::fill(holdRepair.begin(), holdRepair.end(), uint8_t(1));
            step = repair = false;
            for (int64_t x = 0; x < width; x += size) {
                const int kind = state(x, y);
                if (kind == 0) continue;
                std::fill_n((kind == 1 ? holdStep : holdRepair).begin() + x, std::min(size, width - x), uint8_t(0));
                (kind == 1 ? step : repair) = true;
            }
        }
        const uint8_t* g = grey.row(y);
        const uint8_t* w = weight.row(y);
        uint8_t* b = background.row(y);
        if (step) followRow(vectors, g, w, holdStep.data(), 2, jump, b, width);
        if (repair) followRow(vectors, g, w, holdRepair.data(), polarity, jump, b, width);
    }
}

namespace {
// Each pixel of `out` the entry of `table` for the same pixel of `in` (the two may be one).
void mapThrough(const std::array<uint8_t, 256>& table, const dib_base& in, dib_base& out) {
    for (int32_t y = 0; y < in.absHeight(); ++y) {
        const uint8_t* i = in.row(y);
        uint8_t* o = out.row(y);
        for (int32_t x = 0; x < in.width; ++x) o[x] = table[i[x]];
    }
}
}  // namespace

void crowd_relight(contrast_light light, dib_base& background) {
    std::array<uint8_t, 256> lit;
    for (int v = 0; v < 256; ++v) lit[size_t(v)] = uint8_t(std::clamp(((v * light.gain) >> 9) + light.offset, 0, 255));
    mapThrough(lit, background, background);
}

void crowd_unlight(const dib_base& grey, contrast_light light, dib_base& out) {
    std::array<uint8_t, 256> unlit;
    const double gain = std::max(1, light.gain) / 512.0;
    for (int v = 0; v < 256; ++v)
        unlit[size_t(v)] = uint8_t(std::clamp(std::lround((v - light.offset) / gain), 0l, 255l));
    mapThrough(unlit, grey, out);
}

void crowd_background::restart(const dib_fmt& format, int samples, int every) {
    const dib_fmt plane(format.width, format.absHeight(), 1, 0, true);
    wanted_ = std::clamp(samples, 1, crowd_detail::kMostSamples);
    every_ = std::max(every, 1);
    frames_ = 0;
    due_ = started_ = ready_ = false;
    samples_.clear();
    seen_.clear();
    first_.release(), sharp_.release();
    image_.setFormat(plane, 1);
    covered_.clear();
    shaded_.clear();
    still_.setFormat(plane, 1);
    nearObjects_.clear(plane.width, plane.absHeight());
    repairable_.clear(plane.width, plane.absHeight());
    lastStep_.release();
}

namespace {
// The sample bits of a pixel marked in each of `count` samples.
uint32_t everySample(int count) { return count >= 32 ? ~uint32_t(0) : (uint32_t(1) << count) - 1; }

// The median at (x, y) of the samples whose bit in `marks` is `marked`; there is at least one.
uint8_t medianWhere(const std::vector<const dib_base*>& images, uint32_t marks, bool marked, int32_t x, int32_t y) {
    std::array<uint8_t, crowd_detail::kMostSamples> values{};
    int n = 0;
    for (size_t k = 0; k < images.size(); ++k)
        if (bool(marks >> k & 1) == marked) values[size_t(n++)] = images[k]->row(y)[x];
    std::nth_element(values.begin(), values.begin() + (n - 1) / 2, values.begin() + n);
    return values[size_t((n - 1) / 2)];
}

// Where the frame lies beyond the noise from the floor on the objects' side, grown by a few
// pixels (an object's soft edge): the noise as the robust spread of frame minus floor.
std::vector<uint8_t> beyondNoise(const dib_base& grey, const dib_base& floor, int polarity) {
    const int32_t w = grey.width, h = grey.absHeight();
    std::array<uint32_t, 256> histogram{};
    uint32_t n = 0;
    for (int32_t y = 1; y < h; y += 4)
        for (int32_t x = 1; x < w; x += 4) ++histogram[size_t(std::abs(grey.row(y)[x] - floor.row(y)[x]))], ++n;
    uint32_t seen = 0;
    int median = 0;
    while (median < 255 && (seen += histogram[size_t(median)]) * 2 < n) ++median;
    const int cut = std::max(6, int(std::ceil(4 * 1.4826 * median)));
    std::vector<uint8_t> mask(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const int d = grey.row(y)[x] - floor.row(y)[x];
            mask[size_t(y) * size_t(w) + size_t(x)] = polarity == 0   ? -d > cut
                                                      : polarity == 1 ? d > cut
                                                                      : std::abs(d) > cut;
        }
    return crowd_grown(mask, w, h, 3);
}

// A structure's edges move by a pixel's share from frame to frame (noise, compression, the
// optics' blur under a flicker), by far more than the floor's noise where the edge is steep:
// taken from one frame as it is, every steep edge of a wall line would be an object in the
// next. Where `floor` holds structure (beyond `guess` by more than `cut` on the objects'
// side), it takes the value of its 3 x 3 neighbourhood furthest to that side, so that only
// what lies beyond the structure wherever its edge may fall is an object. With both polarities
// no one side is safe, and the floor stays as it is.
void tolerateEdges(const dib_base& guess, int polarity, int cut, dib_base& floor) {
    if (polarity == 2) return;
    const int32_t w = floor.width, h = floor.absHeight();
    std::vector<uint8_t> before(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y) std::copy_n(floor.row(y), w, before.data() + size_t(y) * size_t(w));
    const bool dark = polarity == 0;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* g = guess.row(y);
        uint8_t* out = floor.row(y);
        for (int32_t x = 0; x < w; ++x) {
            if ((dark ? g[x] - out[x] : out[x] - g[x]) <= cut) continue;
            uint8_t v = out[x];
            for (int32_t yy = std::max(0, y - 1); yy <= std::min(h - 1, y + 1); ++yy)
                for (int32_t xx = std::max(0, x - 1); xx <= std::min(w - 1, x + 1); ++xx) {
                    const uint8_t n = before[size_t(yy) * size_t(w) + size_t(xx)];
                    v = dark ? std::min(v, n) : std::max(v, n);
                }
            out[x] = v;
        }
    }
}
}  // namespace

void crowd_background::start(const dib_base& grey, int polarity) {
    image_.ensureAllocated();
    floor_.restart(grey.format());
    floor_.add(grey);
    floor_.guess(image_);
    // Animals that cover much of a block pull its median their way (a large light animal
    // raises the floor it lies on until half of it is no object): the floor again from the
    // pixels the last guess leaves free, a few times.
    for (int round = 0; round < 3; ++round) {
        const std::vector<uint8_t> objects = beyondNoise(grey, image_, polarity);
        floor_.restart(grey.format());
        floor_.add(grey, objects.data());
        floor_.guess(image_);
    }
    guess_.setFormat(image_.format(), 0);
    for (int32_t y = 0; y < grey.absHeight(); ++y) std::copy_n(image_.row(y), grey.width, guess_.row(y));
    floor_.restart(grey.format());  // the first sample pools it again
    covered_.assign(size_t(grey.width) * size_t(grey.absHeight()), 0);
    shaded_.assign(covered_.size(), 0);
    free_.assign(covered_.size(), 0);
    started_ = true;
}

void crowd_background::learn(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts,
                             bool leftOut) {
    due_ = due_ || frames_++ % every_ == 0;
    if (!due_ || leftOut || !started_) return;
    due_ = false;
    if (ready_)
        follow(grey, weight, facts);
    else
        sample(grey, weight, facts);
}

// One more sample. Until there are three, the floor is guessed afresh (guessFloor); from
// three on (an odd number, so that the median is a sample's value and
// not the darker of two), the samples' median stands in, with what stood still judged as at
// the end; with the last sample it is the background.
void crowd_background::sample(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts) {
    // Each sample in the background's light: taken as they come, the samples of a flickering
    // lamp would lend the median, and the floor guessed from them, each its own frame's light
    // pixel by pixel, a patchwork that no one gain fits.
    auto taken = std::make_unique<dib_base>(image_.format(), 0);
    crowd_unlight(grey, facts.light, *taken);
    const uint32_t bit = uint32_t(1) << samples_.size();
    // What the first samples marked is judged (settle) against the floor's block medians too:
    // the floor taken from a sample's own pixels holds whatever did not move, an animal at
    // rest as well, which would never be marked again.
    dib_base marks(image_.format(), 0);
    if (samples_.size() < 3) {
        do_contrast(grey, &guess_, 0, contrast_polarity(facts.polarity), facts.cut, marks, nullptr, facts.light);
        for (int32_t y = 0; y < grey.absHeight(); ++y)
            for (int32_t x = 0; x < grey.width; ++x) marks.row(y)[x] |= weight.row(y)[x];
    }
    for (int32_t y = 0; y < grey.absHeight(); ++y) {
        const uint8_t* w = samples_.size() < 3 ? marks.row(y) : weight.row(y);
        const uint8_t* shadow = facts.shaded ? facts.shaded->row(y) : w;
        uint32_t* c = covered_.data() + size_t(y) * size_t(grey.width);
        uint32_t* sh = shaded_.data() + size_t(y) * size_t(grey.width);
        for (int32_t x = 0; x < grey.width; ++x) c[x] |= w[x] != 0 ? bit : 0, sh[x] |= w[x] || shadow[x] ? bit : 0;
    }
    samples_.push_back(std::move(taken));
    noteAnimals(facts);
    const int count = int(samples_.size());
    if (count < 3 && count < wanted_) {
        guessFloor(*samples_.back(), weight, facts);
    } else if (count == wanted_ || count % 2 == 1) {
        settle(facts);
    }
    if (count < wanted_) return;
    // What was taken into the background as structure may be an animal at rest after all:
    // only there may the background repair itself at once when it walks off.
    repairable_.mark(still_);
    floor_.clear();
    samples_.clear();
    seen_.clear();
    still_.release();  // not needed again until a restart
    std::vector<uint32_t>().swap(covered_);
    std::vector<uint32_t>().swap(shaded_);
    std::vector<uint8_t>().swap(free_);
    guess_.release(), first_.release(), sharp_.release();
    ready_ = true;
}

void crowd_background::holdAnimals(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts,
                                   std::vector<uint8_t>& held) const {
    // Judged at the contrast the next frames need: the first frame's, chosen from the noise
    // alone, joins a faint band of the floor's shading into a blob with the animals in it.
    dib_base strong(weight.format(), 0);
    const int cut = std::max(facts.cut, facts.nextCut);
    for (int32_t y = 0; y < weight.absHeight(); ++y)
        for (int32_t x = 0; x < weight.width; ++x) strong.row(y)[x] = weight.row(y)[x] > cut ? weight.row(y)[x] : 0;
    std::vector<crowd_run> runs;
    std::vector<int32_t> rowStart;
    crowd_findRuns(strong, runs, rowStart);
    crowd_blobs blobs;
    blobs.label(strong, grey, runs, rowStart);
    // One animal's area and contrast: as learned, or while not known, the median blob's.
    std::vector<double> areas, contrasts;
    for (const crowd_blob& b : blobs.blobs())
        if (b.moments.area >= facts.still.minArea)
            areas.push_back(double(b.moments.area)), contrasts.push_back(b.moments.w / double(b.moments.area));
    held.assign(size_t(weight.width) * size_t(weight.absHeight()), 0);
    if (areas.empty()) return;
    const double one =
        facts.still.singleArea > 0 ? facts.still.singleArea : crowd_typicalArea(areas, facts.still.animals);
    const double contrast = facts.still.animalContrast > 0 ? facts.still.animalContrast : crowd_medianOf(contrasts);
    // Judged as what stands still through the samples is (crowd_still.h): a speck, a faint
    // stain and structure larger than any animal are floor, whatever the block medians said.
    for (const crowd_blob& b : blobs.blobs()) {
        const double area = double(b.moments.area);
        if (area < std::max<double>(facts.still.minArea, one / 4) || area > kStructureAnimals * one ||
            b.moments.w / area < contrast / 2)
            continue;
        for (int32_t i = 0; i < b.runCount; ++i) {
            const crowd_run& run = runs[size_t(blobs.order()[size_t(b.firstRun + i)])];
            std::fill_n(held.begin() + ptrdiff_t(run.y) * weight.width + run.x0, run.x1 - run.x0, uint8_t(1));
        }
    }
    // The margin stays the median blob's radius while no animal's area is known, grains and
    // all: the animal's own would leave more of the floor around it to the block medians, which
    // on a noisy floor mark specks beside the animals.
    const double around = facts.still.singleArea > 0 ? one : crowd_medianOf(areas);
    const int32_t margin = std::max<int32_t>(2, int32_t(std::lround(std::sqrt(around / 3.14159265358979))));
    held = crowd_grown(held, weight.width, weight.absHeight(), margin);
}

// The floor's block medians leave every thin line, rim and seam of the arena as an object, and
// the floor's texture as specks: where a sample left a pixel free of animals, its own value is
// the floor, structure included. Of two, the one nearer the objects' side: a shadow or a
// reflection on the other side would stay behind as a ghost.
void crowd_background::guessFloor(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts) {
    std::vector<uint8_t> held;
    holdAnimals(grey, weight, facts, held);
    floor_.add(grey, held.data());
    floor_.guess(guess_);
    for (int32_t y = 0; y < grey.absHeight(); ++y) std::copy_n(guess_.row(y), grey.width, image_.row(y));
    const size_t k = samples_.size() - 1, width = size_t(grey.width);
    for (size_t i = 0; i < held.size(); ++i) free_[i] |= held[i] ? 0 : uint8_t(1u << k);
    for (int32_t y = 0; y < grey.absHeight(); ++y) {
        uint8_t* out = image_.row(y);
        const uint8_t* bits = free_.data() + size_t(y) * width;
        const uint8_t* first = samples_[0]->row(y);
        const uint8_t* second = k > 0 ? samples_[1]->row(y) : first;
        for (int32_t x = 0; x < grey.width; ++x) {
            if (bits[x] == 1 || bits[x] == 2) out[x] = bits[x] == 1 ? first[x] : second[x];
            if (bits[x] == 3)
                out[x] = facts.polarity == 1 ? std::max(first[x], second[x]) : std::min(first[x], second[x]);
        }
    }
    sharp_ = image_;
    tolerateEdges(guess_, facts.polarity, facts.cut, image_);
    if (k > 0) return;
    first_.setFormat(image_.format(), 0);
    for (int32_t y = 0; y < grey.absHeight(); ++y) std::copy_n(image_.row(y), grey.width, first_.row(y));
}

namespace {
// Where on its body a blob lies: its centre's pixel, or the body's pixel nearest it. The
// centre of a curled or bent body (a worm's C or S) lies off it, where the patch the animal
// left in the samples is not: there it would be counted as an animal moving beside the
// patch, and again as one at rest on it.
std::pair<int32_t, int32_t> onBody(const crowd_blobs& blobs, const crowd_blob& blob,
                                   const std::vector<crowd_run>& runs) {
    const double cx = std::round(blob.moments.wx / blob.moments.w), cy = std::round(blob.moments.wy / blob.moments.w);
    std::pair<int32_t, int32_t> best{0, 0};
    double nearest = std::numeric_limits<double>::infinity();
    for (int32_t i = 0; i < blob.runCount && nearest > 0; ++i) {
        const crowd_run& run = runs[size_t(blobs.order()[size_t(blob.firstRun + i)])];
        const double x = std::clamp(cx, double(run.x0), double(run.x1 - 1));
        const double d = (x - cx) * (x - cx) + (run.y - cy) * (run.y - cy);
        if (d < nearest) nearest = d, best = {int32_t(x), run.y};
    }
    return best;
}
}  // namespace

// Where the sample's blobs that look like animals lay, and how many each holds: those of
// the size of one to kStructureAnimals animals, and not far fainter than the animals.
void crowd_background::noteAnimals(const crowd_frameFacts& facts) {
    seen_.emplace_back();
    const double one = facts.still.singleArea, contrast = facts.still.animalContrast;
    if (!facts.blobs || !facts.runs || one <= 0) return;
    for (const crowd_blob& blob : facts.blobs->blobs()) {
        const double area = double(blob.moments.area);
        if (area < std::max<double>(facts.still.minArea, one / 4) || area > kStructureAnimals * one) continue;
        if (contrast > 0 && blob.moments.w / area < contrast / 2) continue;
        const auto [x, y] = onBody(*facts.blobs, blob, *facts.runs);
        seen_.back().push_back({x, y, std::max(1.0, std::round(area / one))});
    }
}

// The samples' median, with what stood still through most of them judged (crowd_still.h).
void crowd_background::settle(const crowd_frameFacts& facts) {
    const int count = int(samples_.size());
    std::vector<const dib_base*> images;
    for (const auto& s : samples_) images.push_back(s.get());
    crowd_median(images, image_);
    // Where most samples marked an object, judged animal or structure (crowd_still.h).
    still_.ensureAllocated();
    crowd_stillRules rules = facts.still;
    // In the first median two samples twenty frames apart (with the default sampleEvery) make
    // a majority: an animal that swims less than its length in that time leaves a still patch
    // where its bodies overlapped, and may lie in all three. Later medians span long enough
    // that what lay in most samples rested there; their patches are judged alike.
    const uint32_t all = everySample(count);
    if (count == 3) rules.always.resize(covered_.size());
    if (facts.shaded) rules.shade.resize(covered_.size());
    for (int32_t y = 0; y < image_.absHeight(); ++y) {
        const size_t row = size_t(y) * size_t(image_.width);
        const uint32_t *c = covered_.data() + row, *sh = shaded_.data() + row;
        uint8_t* st = still_.row(y);
        for (int32_t x = 0; x < image_.width; ++x) st[x] = 2 * std::popcount(c[x]) > count ? 1 : 0;
        if (!rules.shade.empty())
            for (int32_t x = 0; x < image_.width; ++x)
                rules.shade[row + size_t(x)] = !st[x] && 2 * std::popcount(sh[x]) > count;
        if (rules.always.empty()) continue;
        for (int32_t x = 0; x < image_.width; ++x) rules.always[row + size_t(x)] = c[x] == all;
    }
    unshade(images, facts.cut);
    rules.polarity = facts.polarity;
    rules.seen = seen_;
    crowd_keepStillAnimals(image_, still_, rules);
    freeFloor(images);
}

// What was taken for structure but left free in some samples was an animal that moved about
// a small patch, or came to rest or left during the samples: there the floor is the median
// of the samples the pixel was free in. (Structure that never moved is marked in all.)
void crowd_background::freeFloor(const std::vector<const dib_base*>& images) {
    const uint32_t all = everySample(int(images.size()));
    for (int32_t y = 0; y < image_.absHeight(); ++y) {
        const uint32_t* c = covered_.data() + size_t(y) * size_t(image_.width);
        const uint8_t* st = still_.row(y);
        for (int32_t x = 0; x < image_.width; ++x)
            if (st[x] && (c[x] & all) != all) image_.row(y)[x] = medianWhere(images, c[x], false, x, y);
    }
}

// An animal's shadow travels with it, and the floor under it is not seen either: where a
// shadow lay in some samples (left out of the objects, it is no object's mark), the floor is
// the median of the samples the pixel was free of animals and shadows in. A slow animal's
// shadow lies in most of the samples it is taken in, and would stay behind in the median as
// a dark ghost, which hides the animals that come over it later and joins them to their
// neighbours (larvae crawling into a group lost more of themselves the longer the video ran).
// Only where the shadow lay darker than the free floor by half the contrast in use, `cut`:
// a fainter ghost leaves an animal over it beyond the cut, while a pixel taken for shadow
// only now and then (a wall's edge beside a fish, that flickers across the cut) is better
// left to the median than to the few samples it was free in. What stood still is judged
// after, as before.
void crowd_background::unshade(const std::vector<const dib_base*>& images, int cut) {
    const uint32_t all = everySample(int(images.size()));
    for (int32_t y = 0; y < image_.absHeight(); ++y) {
        const size_t row = size_t(y) * size_t(image_.width);
        const uint32_t *c = covered_.data() + row, *sh = shaded_.data() + row;
        const uint8_t* st = still_.row(y);
        for (int32_t x = 0; x < image_.width; ++x) {
            if (st[x] || (sh[x] & all) == (c[x] & all) || (sh[x] & all) == all) continue;
            const uint8_t floor = medianWhere(images, sh[x], false, x, y);
            if (2 * (floor - medianWhere(images, sh[x], true, x, y)) > cut) image_.row(y)[x] = floor;
        }
    }
}

// The frame's light first (a lasting change of the whole picture is taken at once), then a
// step towards the frame away from the objects: a shadow or a reflection travels with its
// animal, so a margin of the animal's size around every object is left alone.
void crowd_background::follow(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts) {
    if (facts.relight.gain != 512 || facts.relight.offset != 0) crowd_relight(facts.relight, image_);
    nearObjects_.clear(image_.width, image_.absHeight());
    const double area = facts.still.singleArea;
    const int32_t margin = int32_t(std::clamp(2 * std::sqrt(area / 3.14159265358979), 4.0, 256.0));
    if (facts.blobs)
        for (const crowd_blob& blob : facts.blobs->blobs()) nearObjects_.mark(blob, margin);
    crowd_blockMask repairable = repairable_;
    markVacated(grey, facts, repairable);
    crowd_follow(grey, weight, facts.polarity, facts.cut, image_, &nearObjects_, &repairable);
    lastStep_.setFormat(image_.format(), 0);
    for (int32_t y = 0; y < grey.absHeight(); ++y) std::copy_n(grey.row(y), grey.width, lastStep_.row(y));
}

// An animal that rested through most samples but was not seen as one in them (the floor
// guessed from the first frames held it too) stays in the median, and when it walks off, its
// floor stands out on the side where objects never lie. A glint or a shadow passing by moves
// on between two steps; the emptied floor stays as it was. Blocks away from the objects where
// enough pixels stand out so at this step and the last, at about the same grey level, may
// take the floor at once.
void crowd_background::markVacated(const dib_base& grey, const crowd_frameFacts& facts,
                                   crowd_blockMask& repairable) const {
    if (facts.polarity == 2 || !lastStep_.bits || !dib_sameSize(lastStep_, grey)) return;
    const int jump = std::clamp(facts.cut, 0, 255), sign = facts.polarity == 1 ? -1 : 1;
    std::vector<int32_t> counts(repairable.marked.size(), 0);
    for (int32_t y = 0; y < grey.absHeight(); ++y) {
        const uint8_t *g = grey.row(y), *last = lastStep_.row(y), *b = image_.row(y);
        int32_t* row = counts.data() + size_t(y / crowd_blockMask::size) * size_t(repairable.cols);
        for (int32_t x = 0; x < grey.width; ++x) {
            const bool out = sign * (g[x] - b[x]) > jump && sign * (last[x] - b[x]) > jump;
            if (out && 2 * std::abs(g[x] - last[x]) <= jump) ++row[x / crowd_blockMask::size];
        }
    }
    for (size_t i = 0; i < counts.size(); ++i)
        if (2 * counts[i] >= facts.still.minArea) repairable.marked[i] = 1;
}
#endif  // HWY_ONCE
