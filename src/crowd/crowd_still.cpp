#include "crowd/crowd_still.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_posture.h"
#include "crowd/crowd_runs.h"

namespace {

// How unlike one animal (unlike()) a still patch may be and still be taken for one: its area
// and contrast both within about a third of the animals' (log 1.5 between them), the spread
// of one animal's area as it bends and of its contrast along its body.
constexpr double kLikeAnimal = 0.4;
// A still patch marked in every sample over less than this share of it was crossed by slow
// animals, not lain on: structure never moves.
constexpr double kLain = 0.5;
// An animal at rest lies on one floor (its shadow within its margin). A patch with more than
// this share of the floor bordering it as far from the floor's median around it as half an
// animal's contrast, lighter or darker, lies where two floors meet: the dish's wall between
// its floor and the ground beyond, where no arena was drawn and the frame's edge cut the wall
// in pieces.
constexpr double kOtherFloor = 0.1;
// A body at least 3 pixels across has a core, pixels whose four neighbours are all in it; a
// patch with hardly any is nowhere thicker than two, a line. Only told where the animals are
// thick enough themselves (kCoredWidth pixels across, as their area and elongation have it).
constexpr double kCored = 0.1, kCoredWidth = 4;
// An animal at rest is as elongated as the moving ones, a bent one less: a patch this many
// times more elongated than the animals' median is a line along a wall or a seam. So is one
// this many times longer along itself than an animal, however it curves, when it is thinner
// than this share of an animal's mean width (a heap of animals is as wide as one at least).
constexpr double kLonger = 2.5, kThinner = 0.6;

// A window of the picture around one patch, with masks of its own.
struct window {
    int32_t x0, y0, w, h;
    std::vector<uint8_t> mask;
    uint8_t& at(int32_t x, int32_t y) { return mask[size_t(y - y0) * size_t(w) + size_t(x - x0)]; }
};

// One still patch: the window around it with its pixels marked, the pixels within its
// margin, and the floor just beyond the margin.
struct patch_view {
    window win;
    std::vector<uint8_t> near;
    int floor = -1;         // -1: no floor pixel around it
    double contrast = 0;    // mean of its pixels' difference from the floor, on the objects' side
    double otherFloor = 0;  // the share of the floor around it as far from `floor` as an animal

    size_t at(int32_t x, int32_t y) const { return size_t(y - win.y0) * size_t(win.w) + size_t(x - win.x0); }
};

// How far beyond `floor` on the objects' side (`polarity`) a grey value lies.
int beyond(int grey, int floor, int polarity) {
    const int d = grey - floor;
    return polarity == 0 ? -d : polarity == 1 ? d : std::abs(d);
}

// Where a patch's shadow falls in its window: the patch shifted by (dx, dy), and the shadow's soft
// edge and sway beyond (as crowd_foreground leaves shadows out).
std::vector<uint8_t> castShadow(const window& win, int32_t dx, int32_t dy) {
    std::vector<uint8_t> cast(win.mask.size());
    for (int32_t y = std::max(0, -dy); y < std::min(win.h, win.h - dy); ++y)
        for (int32_t x = std::max(0, -dx); x < std::min(win.w, win.w - dx); ++x)
            cast[size_t(y + dy) * size_t(win.w) + size_t(x + dx)] = win.mask[size_t(y) * size_t(win.w) + size_t(x)];
    return crowd_grown(cast, win.w, win.h, 3);
}

// Where the floor around a patch may be read in its window: not still, and not its own shadow
// where the shadows' shift is known, nor a shadow the samples saw.
std::vector<uint8_t> freeOfShadow(const patch_view& v, const dib_base& still, int32_t width,
                                  const crowd_stillRules& rules) {
    const window& win = v.win;
    std::vector<uint8_t> free(win.mask.size(), 1);
    if (rules.shadowed) {
        const std::vector<uint8_t> cast = castShadow(win, rules.shadowX, rules.shadowY);
        for (size_t i = 0; i < free.size(); ++i) free[i] = !cast[i];
    }
    for (int32_t y = win.y0; y < win.y0 + win.h; ++y)
        for (int32_t x = win.x0; x < win.x0 + win.w; ++x) {
            const bool shade = !rules.shade.empty() && rules.shade[size_t(y) * size_t(width) + size_t(x)];
            if (shade || still.row(y)[x]) free[v.at(x, y)] = 0;
        }
    return free;
}

// The share of the floor bordering a patch, 2 to 4 pixels out where `free`, as far from the
// patch's floor as `deep` (kOtherFloor). Read further out, where the floor around it is, a wall
// an animal rested some pixels from counted as the other floor.
double otherFloorShare(const patch_view& v, const std::vector<uint8_t>& free, const dib_base& median, double deep) {
    const window& win = v.win;
    const std::vector<uint8_t> inner = crowd_grown(win.mask, win.w, win.h, 2),
                               outer = crowd_grown(win.mask, win.w, win.h, 4);
    int64_t bordering = 0, far = 0;
    for (int32_t y = win.y0; y < win.y0 + win.h; ++y)
        for (int32_t x = win.x0; x < win.x0 + win.w; ++x) {
            const size_t i = v.at(x, y);
            if (!outer[i] || inner[i] || !free[i]) continue;
            ++bordering, far += std::abs(median.row(y)[x] - v.floor) > deep;
        }
    return bordering > 0 ? double(far) / double(bordering) : 0;
}

// The floor around a patch leaves out its own shadow where the shadows' shift is known
// (`rules`): a resting animal's shadow, as deep as half the floor, lies still beside it, and
// taken for floor it made the patch one where two floors meet, structure (three flies resting
// through the samples were lost for the whole video). `rules.animalContrast`: an animal's (0:
// not known, the patch's own stands in).
patch_view view(const crowd_blobs& patches, const crowd_blob& blob, const std::vector<crowd_run>& runs,
                const dib_base& still, int32_t margin, const dib_base& median, const crowd_stillRules& rules) {
    const int polarity = rules.polarity;
    const double animalContrast = rules.animalContrast;
    const int32_t reach = margin + 2;
    patch_view v;
    window& win = v.win;
    win.x0 = std::max(0, blob.x0 - reach), win.y0 = std::max(0, blob.y0 - reach);
    win.w = std::min(median.width - 1, blob.x1 + reach) - win.x0 + 1;
    win.h = std::min(median.absHeight() - 1, blob.y1 + reach) - win.y0 + 1;
    win.mask.assign(size_t(win.w) * size_t(win.h), 0);
    for (int32_t i = 0; i < blob.runCount; ++i) {
        const crowd_run& run = runs[size_t(patches.order()[size_t(blob.firstRun + i)])];
        for (int32_t x = run.x0; x < run.x1; ++x) win.at(x, run.y) = 1;
    }
    v.near = crowd_grown(win.mask, win.w, win.h, margin);
    const std::vector<uint8_t> free = freeOfShadow(v, still, median.width, rules);
    std::vector<uint8_t> ring = crowd_grown(win.mask, win.w, win.h, reach);
    for (size_t i = 0; i < ring.size(); ++i) ring[i] = ring[i] && free[i];
    std::vector<uint8_t> around;
    for (int32_t y = win.y0; y < win.y0 + win.h; ++y)
        for (int32_t x = win.x0; x < win.x0 + win.w; ++x)
            if (ring[v.at(x, y)] && !v.near[v.at(x, y)]) around.push_back(median.row(y)[x]);
    if (around.empty()) return v;
    std::nth_element(around.begin(), around.begin() + ptrdiff_t(around.size() / 2), around.end());
    v.floor = around[around.size() / 2];
    double sum = 0;
    for (int32_t y = win.y0; y < win.y0 + win.h; ++y)
        for (int32_t x = win.x0; x < win.x0 + win.w; ++x)
            if (win.mask[v.at(x, y)]) sum += beyond(median.row(y)[x], v.floor, polarity);
    v.contrast = sum / double(blob.moments.area);
    v.otherFloor = otherFloorShare(v, free, median, (animalContrast > 0 ? animalContrast : v.contrast) / 2);
    return v;
}

// The resting animal's pixels, and those of its margin on the side objects never lie (a
// light animal's shadow), take the floor around it.
void fill(const patch_view& v, const dib_base& still, int polarity, dib_base& median) {
    const uint8_t floor = uint8_t(v.floor);
    for (int32_t y = v.win.y0; y < v.win.y0 + v.win.h; ++y)
        for (int32_t x = v.win.x0; x < v.win.x0 + v.win.w; ++x) {
            const size_t i = v.at(x, y);
            uint8_t& m = median.row(y)[x];
            const bool shadowSide = polarity == 0 ? m > floor : polarity == 1 && m < floor;
            if (v.win.mask[i] || (v.near[i] && !still.row(y)[x] && shadowSide)) m = floor;
        }
}

// How unlike one animal at rest a patch is: in area, and in contrast when the animals' is known.
double unlike(const crowd_blob& blob, const patch_view& v, const crowd_stillRules& rules) {
    double d = std::fabs(std::log(double(blob.moments.area) / rules.singleArea));
    if (rules.animalContrast > 0 && v.contrast > 0) d += std::fabs(std::log(v.contrast / rules.animalContrast));
    return d;
}

// The share of a patch's pixels with all four neighbours in it.
double coredShare(const window& win, int64_t area) {
    int64_t cored = 0;
    for (int32_t y = 1; y + 1 < win.h; ++y) {
        const uint8_t* m = win.mask.data() + size_t(y) * size_t(win.w);
        for (int32_t x = 1; x + 1 < win.w; ++x) cored += m[x] && m[x - 1] && m[x + 1] && m[x - win.w] && m[x + win.w];
    }
    return double(cored) / double(std::max<int64_t>(1, area));
}

// How long a patch is along itself, however it curves: the distance inside it between its two
// ends, as an animal's midline is measured, and the end pixel's own.
double lengthAlong(const window& win) {
    std::vector<crowd_pixel> pixels;
    for (int32_t y = 0; y < win.h; ++y)
        for (int32_t x = 0; x < win.w; ++x)
            if (win.mask[size_t(y) * size_t(win.w) + size_t(x)]) pixels.push_back({x, y, 1, 0});
    crowd_midliner midliner;
    return midliner.length(pixels) + 1;
}

// Whether a patch is shaped like a line rather than an animal's body (kCored, kLonger,
// kThinner).
bool lineLike(const crowd_blob& blob, const patch_view& v, const crowd_stillRules& rules) {
    const double elongation = rules.animalElongation, one = rules.singleArea;
    if (elongation <= 0 || one <= 0) return false;
    if (crowd_describe(blob.moments).elongation > kLonger * elongation) return true;
    // A wall's rim that a round arena cuts into an arc is a crescent to its moments: measured
    // along itself, it is longer than a few animals and thinner than one.
    const double animalLength = 2 * std::sqrt(one * elongation / std::numbers::pi);
    const double along = lengthAlong(v.win), area = double(blob.moments.area);
    if (along > kLonger * animalLength && area / along < kThinner * one / animalLength) return true;
    const double animalWidth = 2 * std::sqrt(one / (std::numbers::pi * elongation));
    return animalWidth >= kCoredWidth && coredShare(v.win, blob.moments.area) < kCored;
}

// The share of a patch's pixels marked in every sample.
double lainOn(const crowd_blobs& patches, const crowd_blob& blob, const std::vector<crowd_run>& runs, int32_t width,
              const std::vector<uint8_t>& always) {
    int64_t n = 0;
    for (int32_t i = 0; i < blob.runCount; ++i) {
        const crowd_run& run = runs[size_t(patches.order()[size_t(blob.firstRun + i)])];
        const uint8_t* a = always.data() + size_t(run.y) * size_t(width);
        n += std::count_if(a + run.x0, a + run.x1, [](uint8_t v) { return v != 0; });
    }
    return double(n) / double(std::max<int64_t>(1, blob.moments.area));
}

// The still patches and where each pixel's lies.
struct patch_map {
    std::vector<crowd_run> runs;
    std::vector<int32_t> rowStart;
    crowd_blobs patches;

    // The patch at (x, y), -1: none.
    int32_t at(int32_t x, int32_t y) const {
        for (int32_t r = rowStart[size_t(y)]; r < rowStart[size_t(y) + 1]; ++r)
            if (runs[size_t(r)].x0 <= x && x < runs[size_t(r)].x1) return patches.blobOf(r);
        return -1;
    }
};

// The animals the median sample saw away from the patches counted as resting.
double movingAnimals(const patch_map& map, const std::vector<char>& resting, const crowd_stillRules& rules) {
    std::vector<double> moving;
    for (const auto& sample : rules.seen) {
        double n = 0, all = 0;
        for (const crowd_seenAnimals& a : sample) {
            const int32_t p = map.at(a.x, a.y);
            n += p >= 0 && resting[size_t(p)] ? 0 : a.count;
            all += a.count;
        }
        // No sample holds more than the count: what it saw beyond it was counted twice (one
        // animal of a larger kind, or bent, taken for two by its area) and is no animal moving.
        moving.push_back(std::max(0.0, n - std::max(0.0, all - rules.animals)));
    }
    if (moving.empty()) return 0;
    std::nth_element(moving.begin(), moving.begin() + ptrdiff_t(moving.size() / 2), moving.end());
    return moving[moving.size() / 2];
}

// Per patch, whether the animals the samples saw on it lay apart from one sample to another
// by more than `reach`: structure and an animal at rest stay where they are.
std::vector<char> movedOn(const patch_map& map, const crowd_stillRules& rules, double reach) {
    std::vector<std::vector<std::pair<size_t, const crowd_seenAnimals*>>> on(map.patches.blobs().size());
    for (size_t k = 0; k < rules.seen.size(); ++k)
        for (const crowd_seenAnimals& a : rules.seen[k])
            if (const int32_t p = map.at(a.x, a.y); p >= 0) on[size_t(p)].push_back({k, &a});
    std::vector<char> moved(on.size());
    for (size_t p = 0; p < on.size(); ++p)
        for (const auto& [k, a] : on[p])
            for (const auto& [j, b] : on[p])
                moved[p] = moved[p] || (j != k && std::hypot(a->x - b->x, a->y - b->y) > reach);
    return moved;
}

// How far apart the samples may see an animal that did not move: its centre measured again, a
// quarter of its radius (`one`: its area), at least a pixel and a half.
double stillReach(double one) { return std::max(1.5, std::sqrt(std::max(one, 1.0) / std::numbers::pi) / 4); }

// Per patch, whether every sample that looked saw one animal on it, each where the others did:
// an animal at rest through them all.
std::vector<char> seenResting(const patch_map& map, const crowd_stillRules& rules, double reach) {
    const size_t patches = map.patches.blobs().size();
    std::vector<int> seenIn(patches);
    std::vector<std::vector<std::pair<int32_t, int32_t>>> where(patches);
    int looked = 0;
    for (const auto& sample : rules.seen) {
        if (sample.empty()) continue;
        ++looked;
        std::vector<char> here(patches);
        for (const crowd_seenAnimals& a : sample)
            if (const int32_t p = map.at(a.x, a.y); p >= 0 && a.count == 1 && !here[size_t(p)])
                here[size_t(p)] = 1, ++seenIn[size_t(p)], where[size_t(p)].push_back({a.x, a.y});
    }
    std::vector<char> resting(patches);
    for (size_t p = 0; p < patches; ++p) {
        resting[p] = looked >= 2 && seenIn[p] == looked;
        for (const auto& [x, y] : where[p])
            resting[p] = resting[p] && std::hypot(x - where[p][0].first, y - where[p][0].second) <= reach;
    }
    return resting;
}

// With the count known: the still patches taken for animals beyond it, least like one
// animal first, become structure.
void countSurplus(const patch_map& map, const std::vector<patch_view>& views, const std::vector<char>& crossed,
                  const crowd_stillRules& rules, std::vector<char>& animal) {
    const auto& blobs = map.patches.blobs();
    const double one = rules.singleArea;
    if (rules.animals <= 0 || one <= 0) return;
    auto animalsIn = [one](const crowd_blob& b) { return std::max(1.0, std::round(double(b.moments.area) / one)); };
    std::vector<char> counted(blobs.size());
    std::vector<size_t> resting;
    for (size_t i = 0; i < blobs.size(); ++i)
        if (animal[i] && !crossed[i]) counted[i] = 1, resting.push_back(i);
    double total = movingAnimals(map, counted, rules);
    for (size_t i : resting) total += animalsIn(blobs[i]);
    std::stable_sort(resting.begin(), resting.end(), [&](size_t a, size_t b) {
        return unlike(blobs[a], views[a], rules) > unlike(blobs[b], views[b], rules);
    });
    const std::vector<char> seen = seenResting(map, rules, stillReach(one));
    for (size_t i : resting) {
        // A patch of one animal's area and contrast is one, whatever the count says: the
        // moving animals are counted in a sample, and one fragment too many there would cost
        // an animal at rest all its rest.
        if (total <= rules.animals || unlike(blobs[i], views[i], rules) < kLikeAnimal) break;
        // Nor is one that every sample saw as one animal, lying where it lay in the others: the
        // count of the moving ones is the weaker word where the animals differ in size (a large
        // one counted as two), and the smaller animals at rest were the first to go.
        if (seen[i]) continue;
        animal[i] = 0;
        total -= animalsIn(blobs[i]);
    }
}

}  // namespace

double crowd_typicalArea(std::vector<double> areas, int animals) {
    if (areas.empty()) return 0;
    std::sort(areas.begin(), areas.end());
    if (animals > 0 && areas.size() > size_t(animals))  // the middle of the largest `animals`
        return areas[areas.size() - size_t(animals) + size_t(animals) / 2];
    const double median = areas[areas.size() / 2];
    std::vector<double> sums(areas.size() + 1, 0.0);
    for (size_t i = 0; i < areas.size(); ++i) sums[i + 1] = sums[i] + areas[i];
    // The blob the median pixel of the smallest k blobs lies in; the largest dropped while
    // they are structure beside the rest.
    const auto pixelMedian = [&](size_t n) {
        const auto at = std::lower_bound(sums.begin() + 1, sums.begin() + ptrdiff_t(n) + 1, sums[n] / 2);
        return areas[size_t(at - sums.begin()) - 1];
    };
    size_t k = areas.size();
    while (k > 1 && areas[k - 1] > kStructureAnimals * pixelMedian(k - 1)) --k;
    const double pixels = pixelMedian(k);
    return pixels > kStructureAnimals * median ? pixels : median;
}

// One direction at a time with running counts, so that the cost does not grow with r.
std::vector<uint8_t> crowd_grown(const std::vector<uint8_t>& mask, int32_t w, int32_t h, int32_t r) {
    std::vector<uint8_t> across(mask.size()), out(mask.size());
    auto pass = [r](const uint8_t* in, uint8_t* to, int32_t n, int64_t stride) {
        int64_t count = 0;
        for (int32_t i = 0; i < std::min(n, r); ++i) count += in[i * stride] != 0;
        for (int32_t i = 0; i < n; ++i) {
            if (i + r < n) count += in[(i + r) * stride] != 0;
            to[i * stride] = count > 0;
            if (i - r >= 0) count -= in[(i - r) * stride] != 0;
        }
    };
    for (int32_t y = 0; y < h; ++y) pass(&mask[size_t(y) * size_t(w)], &across[size_t(y) * size_t(w)], w, 1);
    for (int32_t x = 0; x < w; ++x) pass(&across[size_t(x)], &out[size_t(x)], h, w);
    return out;
}

crowd_stillResult crowd_keepStillAnimals(dib_base& median, dib_base& still, const crowd_stillRules& rules) {
    patch_map map;
    crowd_findRuns(still, map.runs, map.rowStart);
    map.patches.label(still, median, map.runs, map.rowStart);
    const crowd_blobs& patches = map.patches;
    const std::vector<crowd_run>& runs = map.runs;
    const auto& blobs = patches.blobs();
    const double one = rules.singleArea;
    std::vector<char> animal(blobs.size()), crossed(blobs.size());
    std::vector<patch_view> views(blobs.size());
    for (size_t i = 0; i < blobs.size(); ++i) {
        const double area = double(blobs[i].moments.area);
        animal[i] = area >= std::max<double>(rules.minArea, one / 4) && (one <= 0 || area <= kStructureAnimals * one);
        if (!animal[i]) continue;
        const double size = one > 0 ? one : area;
        const int32_t margin = std::max<int32_t>(2, int32_t(std::lround(std::sqrt(size / std::numbers::pi))));
        views[i] = view(patches, blobs[i], runs, still, margin, median, rules);
        // Fainter than half the animals' contrast: a stain or the floor's shading, not an animal.
        animal[i] = views[i].floor >= 0 &&
                    !(rules.animalContrast > 0 && views[i].contrast < rules.animalContrast / 2) &&
                    views[i].otherFloor <= kOtherFloor && !lineLike(blobs[i], views[i], rules);
        crossed[i] = !rules.always.empty() && lainOn(patches, blobs[i], runs, still.width, rules.always) < kLain;
    }
    // Where the animals seen on a patch moved between the samples, slow animals crossed it too,
    // however much of it lay in all of them: a larva that crawls less than its length.
    if (!rules.always.empty()) {
        const std::vector<char> moved = movedOn(map, rules, stillReach(one));
        for (size_t i = 0; i < blobs.size(); ++i) crossed[i] = crossed[i] || moved[i];
    }
    countSurplus(map, views, crossed, rules, animal);
    crowd_stillResult result;
    for (size_t i = 0; i < blobs.size(); ++i) {
        if (!animal[i]) {
            ++result.structures;
            continue;
        }
        ++result.animals;
        fill(views[i], still, rules.polarity, median);
        for (int32_t r = 0; r < blobs[i].runCount; ++r) {
            const crowd_run& run = runs[size_t(patches.order()[size_t(blobs[i].firstRun + r)])];
            std::fill(still.row(run.y) + run.x0, still.row(run.y) + run.x1, uint8_t(0));
        }
    }
    return result;
}
