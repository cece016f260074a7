#include "crowd/ip_crowd.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>

#include "framework/ip_dialogue.h"
#include "framework/ip_factory.h"
#include "framework/ip_window.h"
#include "framework/util_time.h"
#include "image/dib_access.h"
#include "ops/do_contrast.h"

namespace {
const char* const stageLabels[ip_crowd::stageCount] = {"contrast", "labelling", "splitting", "tracking", "drawing"};

// Two dialogue groups: what makes an object, then how objects are followed.
const ip_paramInfo crowdParams[] = {
    {"polarity", ip_paramType::integer, 0, 2, 0, "objects darker than the background (0), lighter (1) or either (2)"},
    {"animals", ip_paramType::integer, 0, 1e5, 0,
     "animals in view, all arenas together (0: unknown, the area of one is learned)"},
    {"background", ip_paramType::integer, 0, 2, 0,
     "learned per pixel from sampled frames (0), the level threshold (1), the floor's level found in each frame (2)"},
    {"threshold", ip_paramType::integer, 0, 255, 128, "grey level of the background in background mode 1"},
    {"contrast", ip_paramType::integer, 0, 254, 0,
     "least difference from the background of an object's pixel (0: chosen from the video's noise and objects)"},
    {"minArea", ip_paramType::integer, 1, 1e8, 10, "smallest object, pixels"},
    {"maxArea", ip_paramType::integer, 0, 2e9, 0, "largest blob, pixels (0: no limit)"},
    {"samples", ip_paramType::integer, 1, 31, 9, "frames whose per-pixel median is the learned background"},
    {"sampleEvery", ip_paramType::integer, 1, 1e6, 10,
     "frames between two background samples, and between the slow updates after"},
    {"maxJump", ip_paramType::real, 0, 1e5, 0,
     "farthest an animal lies from where it was expected, pixels (0: the diameter of one)"},
    {"memory", ip_paramType::integer, 0, 1e4, 25,
     "frames a lost track waits to be found again (all are kept while animals is not exceeded)"},
    {"split", ip_paramType::boolean, 0, 1, 1, "split blobs that hold several animals"},
    {"marks", ip_paramType::boolean, 0, 1, 1, "draw outlines and centres into the picture"},
};
constexpr int kParams = int(sizeof crowdParams / sizeof crowdParams[0]);
constexpr int kDetection = 9;  // the first group's values
constexpr int kAnimals = 1, kMinArea = 5, kMaxArea = 6;
constexpr int kHistory = 25;  // frames whose estimates of one animal's area are pooled
// A whole object this elongated (long over short axis) and of this many pixels is measured
// for a midline: smaller ones are too few pixels for its points.
constexpr double kMidlineFrom = 1.3;
constexpr double kMidlineArea = 50;
// A whole blob up to this many times one animal's area is taken for one animal alone.
constexpr double kAlone = 1.5;
// An elongated animal's width over its length lies within this factor of its kind's
// typical: a bent or beating body, and the edge the blur adds to a small one, change it by
// a fifth; two animals in file halve it, two side by side or crossing double it.
constexpr double kShapeSpread = 1.5;
// Within this factor of the kind's width for its length a blob is shaped like one animal
// for telling the sizes the animals come in: nearer one animal's shape than two's (two in
// file are half as wide for their length, two side by side twice), in proportion.
constexpr double kSameShape = std::numbers::sqrt2;
// Blobs up to this many times the typical animal's area may be one animal of a larger size.
constexpr double kLargestKnown = 6;
// Areas of blobs shaped like one animal kept for telling the largest.
constexpr size_t kOnesKept = 1000;
// A blob under this share of one animal's area is a speck or a piece of an animal, and with
// the count of animals known and exceeded, no animal: the still background's rule too.
constexpr double kSpeck = 0.25;
// Two bodies lie end to end when their centres lie at least this share of their mean length
// apart along the first one's axis, and at most this share across it.
constexpr double kEndToEnd = 0.75, kAside = 0.25;
// Bodies covering at most this share of a blob each are halves of it, when it is at most
// this many times the largest animals' area (a bent or blurred one differs by a tenth or so).
constexpr double kHalf = 0.6, kHalvedLargest = 1.2;
// With more animals found than counted, a blob whose mean contrast is under this share of an
// animal's is no animal.
constexpr double kFaint = 0.5;
// The tracks expected in a blob cover at least this share of their areas added up in it.
constexpr double kDeepest = 0.5;
// Where more animals are found than counted, a blob of two tracks that each know their animal's
// area, neither animal large enough for the blob alone, gives one back as if it held this share
// of an animal more than it does.
constexpr double kSeenApart = 0.5;
// Two parts of one blob alike in centre (this close, pixels), area and weight (within this
// share) and axis (within this angle, radians, unless both are round) are bodies fitted onto
// the same pixels: one animal, reported once. Animals crossing share a centre, not an axis.
constexpr double kCoincident = 1, kSameShare = 0.05, kSameAxis = 0.15, kRound = 1.15;
// Pixels per frame from which an object without a known head is taken to head where it moves.
constexpr double kMoving = 0.2;
static_assert(crowd_stations == ip_midlinePoints);
// A blob is cut into at most this many parts: a pile larger than that is beyond telling apart.
constexpr int64_t kMostPerBlob = 64;

// Whether a part lies on the same pixels as one of the blob's parts found before it (from `first` on).
bool coincides(const crowd_moments& part, const std::vector<crowd_sighting>& found, size_t first) {
    const crowd_object o = crowd_describe(part);
    auto alike = [](double a, double b) { return std::fabs(a - b) <= kSameShare * std::max(a, b); };
    for (size_t k = first; k < found.size(); ++k) {
        const crowd_object& p = found[k].object;
        const double turn = std::fabs(std::remainder(p.orientation - o.orientation, std::numbers::pi));
        if (std::hypot(p.x - o.x, p.y - o.y) <= kCoincident && alike(p.area, o.area) && alike(p.weight, o.weight) &&
            (turn <= kSameAxis || (p.elongation < kRound && o.elongation < kRound)))
            return true;
    }
    return false;
}

void toValues(const crowd_settings& s, double* v) {
    const double values[kParams] = {double(s.polarity),    double(s.animals), double(s.background), double(s.threshold),
                                    double(s.contrast),    double(s.minArea), double(s.maxArea),    double(s.samples),
                                    double(s.sampleEvery), s.maxJump,         double(s.memory),     s.split ? 1.0 : 0.0,
                                    s.marks ? 1.0 : 0.0};
    std::copy(values, values + kParams, v);
}

crowd_settings fromValues(const double* v) {
    crowd_settings s;
    s.polarity = int(v[0]), s.animals = int(v[1]), s.background = int(v[2]), s.threshold = int(v[3]);
    s.contrast = int(v[4]), s.minArea = int(v[5]), s.maxArea = int(v[6]), s.samples = int(v[7]);
    s.sampleEvery = int(v[8]), s.maxJump = v[9], s.memory = int(v[10]), s.split = v[11] != 0, s.marks = v[12] != 0;
    return s;
}

// Why `value` cannot be setting `index` beside the other `values`, or "".
std::string conflict(const double* values, int index, double value) {
    const double minArea = index == kMinArea ? value : values[kMinArea];
    const double maxArea = index == kMaxArea ? value : values[kMaxArea];
    if ((index == kMinArea || index == kMaxArea) && maxArea > 0 && minArea > maxArea)
        return "minArea must not be above maxArea (" + ip_formatParam(crowdParams[kMaxArea], maxArea) + ")";
    return "";
}

// What the counters say: the foreground's (crowd_counts, in its order), then the count's check.
const ip_counterTrait crowdCounters[] = {
    {"brightness_jumps",
     "frames left out of the background because their brightness jumped (a flash, a lamp switched); they were still "
     "searched for objects",
     0, nullptr, nullptr},
    {"lighting_events",
     "frames not searched for objects: the whole picture changed at once (a flash, a blackout, more than half of it "
     "marked)",
     0, nullptr, nullptr},
    {"provisional_background",
     "frames searched against a floor guessed from the frame itself while the background was being learned (samples "
     "times sampleEvery frames); a thin dark line or a stain shows as an object until then",
     ip_counterLearning, nullptr, nullptr},
    {"no_contrast",
     "frames where no pixel lay more than the contrast from the background on the objects' side: check polarity "
     "(dark or light animals) and, if the animals are faint, set a lower contrast",
     0, nullptr, nullptr},
    {"outside_area_limits",
     "frames whose blobs all lay outside minArea and maxArea: check those settings against the animals' size in "
     "pixels",
     0, nullptr, nullptr},
    {"more_than_counted",
     "frames with more animals lying alone than the count of animals (once the floor was no longer guessed): the "
     "count is too low, and the tracks keep only that many identities",
     0, nullptr,
     "on {count} of the {frames} frames more animals lay apart, each alone, than the count of animals "
     "({setting:animals}): the tracks keep only that many identities; give the count of animals in view"}};
constexpr int kCounters = int(sizeof crowdCounters / sizeof crowdCounters[0]);

// Centres and shapes measured on the pixels, posture along the bodies, grey frames taken as a
// decoder's luma; the animals setting is its count.
const ip_traits crowdTraits = {.columns = ip_columnsArea | ip_columnsMotion,
                               .flags = ip_traitShapes | ip_traitPosture | ip_traitLuma,
                               .countSetting = crowdParams[kAnimals].name,
                               .counters = crowdCounters};
ip_creator<ip_crowd> registration(crowdTraits);

// Blue, green, red of the twelve track colours.
const uint8_t palette[12][3] = {{0, 0, 255},   {0, 200, 0},     {255, 0, 0},   {0, 230, 230},
                                {255, 0, 255}, {255, 255, 0},   {0, 140, 255}, {200, 0, 140},
                                {0, 255, 160}, {180, 120, 255}, {140, 140, 0}, {30, 70, 140}};

template <class P>
void paint(P& p, int32_t id, int greyValue) {
    if constexpr (std::is_same_v<P, pixel3> || std::is_same_v<P, pixel4>) {
        const uint8_t* c = palette[uint32_t(id) % 12];
        p.c[0] = c[0], p.c[1] = c[1], p.c[2] = c[2];
    } else {
        setGrey(p, greyValue);
    }
}
template <class P>
void plot(dib_access<P>& out, int32_t w, int32_t h, double x, double y, int32_t id, int greyValue) {
    const int64_t cx = std::lround(x), cy = std::lround(y);
    if (cx >= 0 && cy >= 0 && cx < w && cy < h) paint(out.row(int32_t(cy))[cx], id, greyValue);
}

// A cross on the centre; on an elongated object its midline, and a square on the head
// once the head is known.
template <class P>
void mark(dib_access<P>& out, int32_t w, int32_t h, const crowd_sighting& s, int32_t id, int greyValue) {
    const int64_t cx = std::lround(s.object.x), cy = std::lround(s.object.y);
    for (int64_t d = -2; d <= 2; ++d) {
        if (cy >= 0 && cy < h && cx + d >= 0 && cx + d < w) paint(out.row(int32_t(cy))[cx + d], id, greyValue);
        if (cx >= 0 && cx < w && cy + d >= 0 && cy + d < h) paint(out.row(int32_t(cy + d))[cx], id, greyValue);
    }
    if (!s.posture.elongated) return;
    const crowd_point* line = s.posture.midline;
    for (int j = 0; j + 1 < crowd_stations; ++j) {
        const int steps = int(std::min(1e4, 2 * std::hypot(line[j + 1].x - line[j].x, line[j + 1].y - line[j].y))) + 1;
        for (int k = 0; k <= steps; ++k) {
            const double t = double(k) / steps;
            plot(out, w, h, line[j].x + t * (line[j + 1].x - line[j].x), line[j].y + t * (line[j + 1].y - line[j].y),
                 id, greyValue);
        }
    }
    for (int d = 0; s.headKnown && d < 9; ++d)
        plot(out, w, h, line[0].x + d % 3 - 1, line[0].y + d / 3 - 1, id, greyValue);
}
}  // namespace

ip_crowd::ip_crowd(const dib_fmt* format) : ip_base(format), dst_(std::make_unique<dib_base>(*format, 0)) {
    ip_crowd::reformat();
}

ip_crowd::~ip_crowd() = default;

void ip_crowd::reformat() {
    dst_->setFormat(*srcFmt(), 0);
    dst_->height = srcFmt()->height;
    const dib_fmt plane(srcFmt()->width, srcFmt()->absHeight(), 1, 0, true);
    weight_ = std::make_unique<dib_base>(plane, 0);
    grey_ = std::make_unique<dib_base>(plane, 0);
    steadied_ = std::make_unique<dib_base>(plane, 0);
    restart();
}

void ip_crowd::restart() {
    steady_.restart();
    foreground_.restart(weight_->format());
    early_.restart();
    tracker_.clear();
    splitter_.restart();
    areaHistory_.clear();
    aspectHistory_.clear();
    aspect_ = 0;
    singleArea_ = 0;
    onesAreas_.clear();
    largest_ = 0;
    found_.clear();
    selected_ = -1;
    moreThanCounted_ = 0;
}

crowd_detectSettings ip_crowd::detectSettings() const {
    crowd_detectSettings d;
    d.polarity = settings_.polarity, d.background = settings_.background, d.threshold = settings_.threshold;
    d.contrast = settings_.contrast, d.samples = settings_.samples, d.sampleEvery = settings_.sampleEvery;
    d.animals = settings_.animals, d.minArea = settings_.minArea, d.maxArea = settings_.maxArea;
    return d;
}

int ip_crowd::blobAt(double x, double y) const {
    const int32_t rows = int32_t(rowStart_.size()) - 1;
    const double cx = std::round(x), cy = std::round(y);
    if (!(std::fabs(cx) < 1e9 && std::fabs(cy) < 1e9)) return -1;
    int best = -1;
    int64_t bestDistance = 9;
    for (int64_t dy = -2; dy <= 2; ++dy) {
        const int64_t row = int64_t(cy) + dy;
        if (row < 0 || row >= rows) continue;
        for (int32_t r = rowStart_[size_t(row)]; r < rowStart_[size_t(row) + 1]; ++r) {
            const crowd_run& run = runs_[size_t(r)];
            const int64_t at = int64_t(cx);
            const int64_t dx = at < run.x0 ? run.x0 - at : at >= run.x1 ? at - (run.x1 - 1) : 0;
            if (dx * dx + dy * dy < bestDistance) best = blobs_.blobOf(r), bestDistance = dx * dx + dy * dy;
        }
    }
    return best;
}

void ip_crowd::count() {
    kept_.clear();
    share_.clear();
    known_.clear();
    loneSpeck_.clear();
    if (!keep()) return;
    findLoneSpecks();
    typical_ = tracker_.typical(singleArea_, &kindTold_);
    expect();
    measureWholes();
    const auto& blobs = blobs_.blobs();
    ratio_.resize(kept_.size());
    for (size_t i = 0; i < kept_.size(); ++i) {
        const double area = double(blobs[size_t(kept_[i])].moments.area);
        ratio_[i] = area / singleArea_;
        int k = std::max(1, int(std::lround(ratio_[i])));
        // The tracks that went into the blob know their own bodies: when those cover as
        // much as the blob, lying over each other where they overlap, they are what it holds.
        const int32_t expected = blobTrackStart_[i + 1] - blobTrackStart_[i];
        double covered = expectedArea_[i];
        // (Their areas added up tell as much unless the blob is smaller: then they overlap.)
        if (expected >= 2 && settings_.split && area < 0.7 * covered) {
            expectedIn(i, bodies_);
            if (const int64_t together = splitter_.coverage(bodies_)) covered = double(together);
        }
        // Animals lie over each other, but not two deep all over: tracks whose own areas add
        // up to more than twice the blob are copies of fewer animals, and taken at their word
        // they would be cut out of it again, their copies with them, for good.
        bool known =
            expected >= 1 && area >= 0.7 * covered && area <= 1.35 * covered && area >= kDeepest * expectedArea_[i];
        // Their own areas are the measure of what the blob holds: a large animal alone is
        // one, however many of the typical animal its area would hold.
        if (known) k = expected, ratio_[i] = expected * area / covered;
        // A blob shaped unlike one animal is more, whatever its area or its tracks say; one
        // shaped like one and no larger than the largest animals, where no more than one track
        // went, is one (and its track learns how large it is). So is one where three or more
        // went of which at most one saw its animal alone: they are the pieces a large animal
        // was cut into before the sizes were known (two may lie side by side like one large).
        if (k == 1 && !single(i)) k = 2, known = false;
        if (k > 1 && (expected <= 1 || (expected >= 3 && sizedIn(i) <= 1)) && oneOfAnySize(i))
            k = 1, known = expected == 1;
        // Two tracks on the halves of one large animal would hold it cut in two for good.
        if (k > 1 && expected == 2 && halvesOfOne(i)) k = 1, known = false;
        k = int(std::min<int64_t>({k, kMostPerBlob, std::max<int64_t>(1, int64_t(area) / settings_.minArea)}));
        share_.push_back(settings_.split ? k : 1);
        known_.push_back(known);
    }
    if (settings_.split && settings_.animals > 0) toAnimals();
}

void ip_crowd::findLoneSpecks() {
    loneSpeck_.assign(kept_.size(), 0);
    if (settings_.animals > 0 || floorGuessed_ || singleArea_ <= 0) return;
    const auto& blobs = blobs_.blobs();
    // Most frames hold no speck: the blobs' centres are indexed only for those that do.
    const double speck = kSpeck * singleArea_;
    if (std::none_of(kept_.begin(), kept_.end(),
                     [&](int32_t b) { return double(blobs[size_t(b)].moments.area) < speck; }))
        return;
    centres_.clear();
    for (const int32_t b : kept_) {
        const crowd_moments& m = blobs[size_t(b)].moments;
        centres_.push_back(m.w > 0 ? crowd_point{m.wx / m.w, m.wy / m.w} : crowd_point{});
    }
    near_.index(centres_);
    // Pieces of one animal cut apart lie within its length of each other (as sqrt(A) ~ half of it).
    const double reach = 2 * std::sqrt(singleArea_);
    for (size_t i = 0; i < kept_.size(); ++i) {
        if (double(blobs[size_t(kept_[i])].moments.area) >= speck) continue;
        near_.nearest(centres_[i].x, centres_[i].y, reach, 2, nearby_);
        loneSpeck_[i] = nearby_.size() <= 1;
    }
}

int ip_crowd::sizedIn(size_t i) const {
    // Tracks that never saw their animal alone were cut out of blobs by the typical animal's
    // size: in a blob of a larger animal they are its pieces, and only the blob's shape tells.
    int sized = 0;
    for (int32_t j = blobTrackStart_[i]; j < blobTrackStart_[i + 1]; ++j)
        sized += tracker_.tracks()[size_t(blobTracks_[size_t(j)])].seenAlone;
    return sized;
}

void ip_crowd::measureWholes() {
    // The animals alone by their area tell how wide an animal is for its length.
    const auto& blobs = blobs_.blobs();
    wholes_.assign(kept_.size(), crowd_sighting{});
    measured_.assign(kept_.size(), 0);
    std::vector<double> aspects;
    size_t alone = 0;
    for (size_t i = 0; i < kept_.size(); ++i) {
        const double ratio = double(blobs[size_t(kept_[i])].moments.area) / singleArea_;
        if (ratio <= 1 / kAlone || ratio >= kAlone || cutByTheView(i)) continue;
        ++alone;
        const crowd_posture& p = wholeOf(i).posture;
        if (p.elongated) aspects.push_back(p.width / p.length);
    }
    // Only a kind of animal most of which are elongated has an aspect: round ones touching
    // in pairs are elongated too.
    if (aspects.empty() || 2 * aspects.size() <= alone) return;
    std::nth_element(aspects.begin(), aspects.begin() + ptrdiff_t(aspects.size() / 2), aspects.end());
    aspectHistory_.push_back(aspects[aspects.size() / 2]);
    if (aspectHistory_.size() > size_t(kHistory)) aspectHistory_.erase(aspectHistory_.begin());
    aspects = aspectHistory_;
    std::nth_element(aspects.begin(), aspects.begin() + ptrdiff_t(aspects.size() / 2), aspects.end());
    aspect_ = aspects[aspects.size() / 2];
    noteLargest();
}

void ip_crowd::noteLargest() {
    // Animals of one kind may differ in size (larvae of two ages, males and females) but not
    // in shape: the blobs shaped like one animal, up to a few times the typical area, tell the
    // sizes the animals come in, the largest by a high quantile (a pair lying over each other
    // along its length now and then is shaped like one too).
    const auto& blobs = blobs_.blobs();
    for (size_t i = 0; i < kept_.size(); ++i) {
        const double area = double(blobs[size_t(kept_[i])].moments.area);
        if (area < singleArea_ / kAlone || area > kLargestKnown * singleArea_ || !shapedLikeOne(i, kSameShape))
            continue;
        onesAreas_.push_back(area);
    }
    if (onesAreas_.size() > kOnesKept) onesAreas_.erase(onesAreas_.begin(), onesAreas_.end() - ptrdiff_t(kOnesKept));
    if (onesAreas_.size() < 10) return;
    std::vector<double> areas(onesAreas_);
    const size_t at = areas.size() * 9 / 10;
    std::nth_element(areas.begin(), areas.begin() + ptrdiff_t(at), areas.end());
    largest_ = areas[at];
}

bool ip_crowd::oneOfAnySize(size_t i) {
    return largest_ > 0 && double(blobs_.blobs()[size_t(kept_[i])].moments.area) <= kAlone * largest_ &&
           shapedLikeOne(i, kSameShape);
}

bool ip_crowd::halvesOfOne(size_t i) {
    // Two animals in file make a blob half as wide for its length as one animal: two tracks
    // lying end to end in a blob shaped like one animal, each covering about half of it,
    // follow the halves of that one (bodies laid in a heap with a smaller animal's shape, or
    // a small animal's track carried onto a large one). Which goes on is the tracker's choice.
    if (!oneOfAnySize(i)) return false;
    expectedIn(i, bodies_);
    const crowd_body& a = bodies_[0];
    const crowd_body& b = bodies_[1];
    // Each a half of an animal no larger than the largest: a body covering more of the blob
    // is an animal of its size, and a blob larger than the largest animals two of them.
    const double area = double(blobs_.blobs()[size_t(kept_[i])].moments.area);
    if (a.points == 1 || b.points == 1 || area > kHalvedLargest * largest_ ||
        std::max(crowd_bodyArea(a), crowd_bodyArea(b)) > kHalf * area)
        return false;
    const double ux = a.midline[crowd_stations - 1].x - a.midline[0].x;
    const double uy = a.midline[crowd_stations - 1].y - a.midline[0].y;
    const double norm = std::max(std::hypot(ux, uy), 1e-9);
    const crowd_point ca = a.centre(), cb = b.centre();
    const double dx = cb.x - ca.x, dy = cb.y - ca.y, reach = (a.length + b.length) / 2;
    const double along = std::fabs(dx * ux + dy * uy) / norm, across = std::fabs(dx * uy - dy * ux) / norm;
    return along >= kEndToEnd * reach && across <= kAside * reach;
}

const crowd_sighting& ip_crowd::wholeOf(size_t i) {
    if (!measured_[i]) wholes_[i] = whole(kept_[i]), measured_[i] = 1;
    return wholes_[i];
}

bool ip_crowd::cutByTheView(size_t i) const {
    const crowd_blob& b = blobs_.blobs()[size_t(kept_[i])];
    return b.x0 == 0 || b.y0 == 0 || b.x1 == weight_->width - 1 || b.y1 == weight_->absHeight() - 1;
}

bool ip_crowd::shapedLikeOne(size_t i, double spread) {
    if (aspect_ <= 0 || cutByTheView(i) ||
        crowd_describe(blobs_.blobs()[size_t(kept_[i])].moments).elongation < kMidlineFrom)
        return false;
    const crowd_posture& p = wholeOf(i).posture;
    const double q = p.elongated ? p.width / p.length / aspect_ : 0;
    return q > 1 / spread && q < spread;
}

bool ip_crowd::single(size_t i) {
    // One animal is as wide for its length as any other of its kind, whatever its size: a
    // blob of two in file is half as wide for its length, two side by side or crossing twice.
    // A compact blob cannot tell, nor one the view cuts short.
    if (aspect_ <= 0 || cutByTheView(i) ||
        crowd_describe(blobs_.blobs()[size_t(kept_[i])].moments).elongation < kMidlineFrom)
        return true;
    const crowd_posture& p = wholeOf(i).posture;
    if (!p.elongated) return true;
    const double q = p.width / p.length / aspect_;
    return q > 1 / kShapeSpread && q < kShapeSpread;
}

bool ip_crowd::keep() {
    const auto& blobs = blobs_.blobs();
    keptOf_.assign(blobs.size(), -1);
    std::vector<double> areas;
    double total = 0;
    for (size_t b = 0; b < blobs.size(); ++b) {
        const int64_t area = blobs[b].moments.area;
        if (area < settings_.minArea || (settings_.maxArea > 0 && area > settings_.maxArea)) continue;
        keptOf_[b] = int32_t(kept_.size());
        kept_.push_back(int32_t(b));
        areas.push_back(double(area));
        total += double(area);
    }
    if (kept_.empty()) return false;

    // One animal's area: with the animals counted and no more blobs than animals, their
    // share of the total; otherwise the median blob, since most animals are alone. With more
    // blobs than animals counted, the median of as many of the largest: the rest are specks
    // or the fragments of a thin line the floor guessed from block medians does not follow,
    // which would make an animal a handful of them and an animal at rest structure.
    const size_t counted = size_t(std::max(0, settings_.animals));
    const size_t middle = counted > 0 && areas.size() > counted ? areas.size() - 1 - counted / 2 : areas.size() / 2;
    std::nth_element(areas.begin(), areas.begin() + ptrdiff_t(middle), areas.end());
    double estimate = areas[middle];
    if (counted > 0 && kept_.size() <= counted) estimate = total / settings_.animals;
    areaHistory_.push_back(estimate);
    if (areaHistory_.size() > size_t(kHistory)) areaHistory_.erase(areaHistory_.begin());
    std::vector<double> pooled(areaHistory_);
    std::nth_element(pooled.begin(), pooled.begin() + ptrdiff_t(pooled.size() / 2), pooled.end());
    singleArea_ = pooled[pooled.size() / 2];
    return true;
}

void ip_crowd::expect() {
    // The tracks seen lately whose animal is expected in each blob, and those animals' areas.
    expectedArea_.assign(kept_.size(), 0.0);
    trackBlob_.assign(tracker_.tracks().size(), -1);
    blobTrackStart_.assign(kept_.size() + 1, 0);
    for (size_t t = 0; t < tracker_.tracks().size(); ++t) {
        const crowd_track& track = tracker_.tracks()[t];
        if (track.missed > 1) continue;
        const int b = blobAt(track.x, track.y);
        if (b < 0 || keptOf_[size_t(b)] < 0) continue;
        trackBlob_[t] = keptOf_[size_t(b)];
        ++blobTrackStart_[size_t(trackBlob_[t]) + 1];
        expectedArea_[size_t(trackBlob_[t])] += track.sized ? track.area : singleArea_;
    }
    for (size_t i = 1; i < blobTrackStart_.size(); ++i) blobTrackStart_[i] += blobTrackStart_[i - 1];
    blobTracks_.resize(size_t(blobTrackStart_.back()));
    std::vector<int32_t> fill(blobTrackStart_.begin(), blobTrackStart_.end() - 1);
    for (size_t t = 0; t < trackBlob_.size(); ++t)
        if (trackBlob_[t] >= 0) blobTracks_[size_t(fill[size_t(trackBlob_[t])]++)] = int32_t(t);
}

void ip_crowd::toAnimals() {
    // The frame's total should come to the animals counted: blobs with the most area
    // left over take one more (while each part still holds most of an animal), those
    // with the least give one back. A heap keeps each step to a logarithm of the blobs.
    const auto& blobs = blobs_.blobs();
    int64_t sum = 0;
    for (int32_t k : share_) sum += k;
    const bool more = sum < settings_.animals;
    // Two tracks that each learned their animal's area from sightings of it alone, whose areas
    // tell the blob and neither of which could fill it alone, are two animals however they
    // overlap now (two small fish in file make a blob shaped like one large): the blob given
    // too many is more likely one holding a track that knows only a part's area (a piece of
    // a larger animal, or a track found again on a part of another). Where one of them could
    // fill the blob, the other may be a copy left on its animal.
    auto apart = [&](size_t i) {
        if (!known_[i] || blobTrackStart_[i + 1] - blobTrackStart_[i] != 2) return 0.0;
        const crowd_track& a = tracker_.tracks()[size_t(blobTracks_[size_t(blobTrackStart_[i])])];
        const crowd_track& b = tracker_.tracks()[size_t(blobTracks_[size_t(blobTrackStart_[i] + 1)])];
        const double area = double(blobs[size_t(kept_[i])].moments.area);
        return a.sized && b.sized && area > kAlone * std::max(a.area, b.area) ? kSeenApart : 0.0;
    };
    // Beyond the count, a blob far fainter than the animals (out-of-focus debris drifting by, a
    // reflection) is the first to go, the faintest first, whatever track followed it.
    const double animalContrast = foreground_.animalContrast();
    auto contrastOf = [&](size_t i) {
        const crowd_moments& m = blobs[size_t(kept_[i])].moments;
        return m.w / double(std::max<int64_t>(1, m.area));
    };
    auto faint = [&](size_t i) { return !more && share_[i] == 1 && contrastOf(i) < kFaint * animalContrast; };
    auto left = [&](size_t i) {
        if (faint(i)) return double(kMostPerBlob + 1) - contrastOf(i) / animalContrast;
        return more ? ratio_[i] - share_[i] : share_[i] - ratio_[i] - apart(i);
    };
    auto may = [&](size_t i) {
        if (faint(i)) return true;
        const double area = double(blobs[size_t(kept_[i])].moments.area);
        // A blob under a quarter of an animal is a speck or a piece of one: with more blobs
        // than animals, it is no animal.
        return more ? share_[i] < kMostPerBlob && ratio_[i] / (share_[i] + 1) >= 0.7 &&
                          area / (share_[i] + 1) >= settings_.minArea && !(share_[i] == 1 && oneOfAnySize(i))
                    : share_[i] >= 2 || (share_[i] == 1 && ratio_[i] < kSpeck &&
                                         blobTrackStart_[i + 1] == blobTrackStart_[i] && !tracker_.tracks().empty());
    };
    std::vector<std::pair<double, size_t>> heap;
    for (size_t i = 0; i < kept_.size(); ++i)
        if (may(i)) heap.push_back({left(i), i});
    std::make_heap(heap.begin(), heap.end());
    while (sum != settings_.animals && !heap.empty()) {
        std::pop_heap(heap.begin(), heap.end());
        const size_t i = heap.back().second;
        heap.pop_back();
        share_[i] += more ? 1 : -1;
        sum += more ? 1 : -1;
        if (may(i)) heap.push_back({left(i), i}), std::push_heap(heap.begin(), heap.end());
    }
}

void ip_crowd::expectedIn(size_t i, std::vector<crowd_body>& bodies) const {
    bodies.clear();
    for (int32_t j = blobTrackStart_[i]; j < blobTrackStart_[i + 1]; ++j)
        bodies.push_back(tracker_.body(size_t(blobTracks_[size_t(j)]), singleArea_, typical_.points > 1 || !kindTold_));
    // Those seen in the last frame before those missed in it, when not all can be used.
    std::stable_sort(bodies.begin(), bodies.end(), [&](const crowd_body& a, const crowd_body& b) {
        return tracker_.tracks()[size_t(a.track)].missed < tracker_.tracks()[size_t(b.track)].missed;
    });
}

void ip_crowd::gather(int32_t blob, std::vector<crowd_pixel>& pixels) const {
    const crowd_blob& b = blobs_.blobs()[size_t(blob)];
    pixels.clear();
    for (int32_t i = 0; i < b.runCount; ++i) {
        const crowd_run& run = runs_[size_t(blobs_.order()[size_t(b.firstRun + i)])];
        const uint8_t* w = weight_->row(run.y);
        const uint8_t* g = grey_->row(run.y);
        for (int32_t x = run.x0; x < run.x1; ++x) pixels.push_back({x, run.y, w[x], g[x]});
    }
}

crowd_sighting ip_crowd::whole(int32_t blob) {
    crowd_sighting s;
    s.object = crowd_describe(blobs_.blobs()[size_t(blob)].moments);
    if (s.object.elongation >= kMidlineFrom && s.object.area >= kMidlineArea) {
        gather(blob, pixels_);
        midliner_.measure(pixels_, s.posture, s.looks);
        s.looked = true;
    }
    return s;
}

crowd_body ip_crowd::typicalBody() const {
    const crowd_body& known = typical_;
    if (known.points > 1) return known;
    // No animal's shape learned yet (the first frames): this frame's animals alone tell it,
    // when most of them are elongated.
    std::vector<std::pair<double, size_t>> lengths;
    size_t alone = 0;
    for (size_t i = 0; i < sightings_.size(); ++i) {
        const crowd_sighting& s = sightings_[i];
        if (!s.alone || s.object.area < kMidlineArea) continue;
        ++alone;
        if (s.posture.elongated) lengths.push_back({s.posture.length, i});
    }
    if (lengths.empty() || 2 * lengths.size() <= alone) return known;
    std::nth_element(lengths.begin(), lengths.begin() + ptrdiff_t(lengths.size() / 2), lengths.end());
    const crowd_posture& p = sightings_[lengths[lengths.size() / 2].second].posture;
    return crowd_straightBody(p.halfWidth, p.length, p.balance);
}

void ip_crowd::splitInto(size_t i, const crowd_body& typical) {
    expectedIn(i, bodies_);
    splitter_.split(blobs_, kept_[i], runs_, *weight_, *grey_, share_[i], bodies_, typical, parts_);
    // Discs whose looks are measured on demand, with the blob they cut.
    const bool later = !parts_.empty() && !parts_[0].looked;
    const size_t first = sightings_.size();
    if (later) discBlobs_.push_back({kept_[i], int32_t(lookDiscs_.size()), int32_t(parts_.size())});
    findRepeats(i);
    for (size_t n = 0; n < parts_.size(); ++n) {
        const crowd_part& part = parts_[n];
        const bool none = part.moments.area == 0 || repeated_[n] || coincides(part.moments, sightings_, first);
        if (later) {
            lookDiscs_.push_back(part.body);
            discSighting_.push_back(none ? -1 : int32_t(sightings_.size()));
        }
        if (none) continue;
        crowd_sighting s;
        s.object = crowd_describe(part.moments);
        s.whole = false;
        s.looks = part.looks, s.looked = part.looked;
        if (part.body.points == crowd_stations) {
            crowd_posture& p = s.posture;
            p.elongated = true;
            std::copy(part.body.midline, part.body.midline + crowd_stations, p.midline);
            std::copy(part.body.halfWidth, part.body.halfWidth + crowd_stations, p.halfWidth);
            p.length = part.body.length, p.balance = part.body.balance;
            p.width = s.object.area / std::max(p.length, 1.0);
        }
        sightings_.push_back(s);
        blobOfObject_.push_back(kept_[i]);
    }
}

void ip_crowd::findRepeats(size_t i) {
    repeated_.assign(parts_.size(), 0);
    if (settings_.animals > 0 || parts_.size() < 2) return;
    // Of two, the second repeats the first when their areas added up exceed the blob's by nearly
    // the smaller's; of more, the pixels each has in common with the others are counted.
    if (parts_.size() == 2) {
        const double blob = double(blobs_.blobs()[size_t(kept_[i])].moments.area);
        repeated_[1] = parts_[0].moments.area > 0 &&
                       crowd_repeats(crowd_describe(parts_[1].moments), crowd_describe(parts_[0].moments), blob);
        return;
    }
    splitter_.overlaps(shares_);
    if (!shares_.empty()) repeated_ = crowd_repeatedParts(parts_, shares_);
}

void ip_crowd::detect() {
    sightings_.clear();
    blobOfObject_.clear();
    discBlobs_.clear(), lookDiscs_.clear(), discSighting_.clear();
    // The blobs of one animal first: their shapes stand in for the typical animal's while
    // none is learned.
    bool several = false;
    int64_t lone = 0;
    for (size_t i = 0; i < kept_.size(); ++i) {
        several = several || share_[i] > 1;
        if (share_[i] != 1) continue;
        if (loneSpeck_[i]) continue;
        sightings_.push_back(wholeOf(i));
        // A blob of one animal's area, or the one a track expected there, and shaped like
        // one: an animal alone, whose looks and shape its track may learn. A speck or a piece
        // of an animal teaches none: a track started on a fragment would hold its area, and
        // a few such tracks meeting would be taken for as many animals ever after. Nor does
        // an animal half in view.
        const double share = double(blobs_.blobs()[size_t(kept_[i])].moments.area) / singleArea_;
        sightings_.back().alone = share >= kSpeck && (known_[i] || ratio_[i] < kAlone) && single(i) && !cutByTheView(i);
        if (sightings_.back().alone) splitter_.seeAlone(sightings_.back().posture);
        lone += sightings_.back().alone && share > 1 / kAlone;
        blobOfObject_.push_back(kept_[i]);
    }
    // A floor still being guessed may leave pieces of a line as large as an animal.
    moreThanCounted_ += settings_.animals > 0 && lone > settings_.animals && !floorGuessed_;
    if (!several) return;
    const crowd_body typical = typicalBody();
    splitter_.startFrame(int64_t(weight_->width) * weight_->absHeight(), tracker_.longOnes());
    for (size_t i = 0; i < kept_.size(); ++i)
        if (share_[i] > 1) splitInto(i, typical);
}

void ip_crowd::lookAll() const {
    if (looked_) return;
    for (const disc_blob& d : discBlobs_) {
        const std::vector<crowd_body> discs(lookDiscs_.begin() + d.first, lookDiscs_.begin() + d.first + d.count);
        splitter_.look(blobs_, d.blob, runs_, *weight_, *grey_, discs, looks_);
        for (int32_t k = 0; k < d.count; ++k) {
            const int32_t at = discSighting_[size_t(d.first + k)];
            if (at >= 0) sightings_[size_t(at)].looks = looks_[size_t(k)], sightings_[size_t(at)].looked = true;
        }
    }
    for (found& f : found_) {
        crowd_sighting& sighting = sightings_[size_t(f.sighting)];
        if (sighting.looked) continue;
        const crowd_blob& b = blobs_.blobs()[size_t(f.blob)];
        crowd_rings rings(sighting.object.x, sighting.object.y, double(b.moments.area));
        for (int32_t i = 0; i < b.runCount; ++i) {
            const crowd_run& run = runs_[size_t(blobs_.order()[size_t(b.firstRun + i)])];
            const uint8_t* g = grey_->row(run.y);
            for (int32_t x = run.x0; x < run.x1; ++x) rings.add(x, run.y, g[x]);
        }
        rings.finish(sighting.looks);
        sighting.looked = true;
    }
    looked_ = true;
}

void ip_crowd::label(const crowd_detectSettings& detection) {
    crowd_findRuns(*weight_, runs_, rowStart_);
    blobs_.label(*weight_, *grey_, runs_, rowStart_);
    // A change of the whole picture's light is not thousands of animals: nothing is handed on.
    const bool event = foreground_.lightingEvent(runs_, blobs_);
    if (event) {
        runs_.clear();
        std::fill(rowStart_.begin(), rowStart_.end(), 0);
        blobs_.label(*weight_, *grey_, runs_, rowStart_);
    }
    // While the floor is guessed, what stood still since the first frame may be the arena's
    // own structure: gone from the objects, the animals touching it stand alone.
    const bool cleared = !event && floorGuessed_ &&
                         early_.clear(blobs_, runs_, rowStart_, *grey_, foreground_.cut(), settings_.minArea,
                                      settings_.animals, *weight_);
    const bool ghosts =
        !event && !floorGuessed_ && foreground_.clearGhosts(blobs_, {runs_, rowStart_}, detection, *weight_);
    if (cleared || ghosts) {
        crowd_findRuns(*weight_, runs_, rowStart_);
        blobs_.label(*weight_, *grey_, runs_, rowStart_);
    }
    if (!floorGuessed_) early_.restart();
    foreground_.learn(*grey_, cleared ? early_.before() : *weight_, blobs_, {runs_, rowStart_}, event, detection,
                      singleArea_);
}

void ip_crowd::noteFloorLearned() {
    const bool guessed = floorGuessed_;
    floorGuessed_ = settings_.background == 0 && foreground_.background().guessed();
    if (!guessed || floorGuessed_) return;
    // What the tracks learned against the guessed floor goes with it, on the first frame searched
    // against the samples' median (from the third sample on). Without the count: an animal's area
    // taken from specks and line pieces, tracks started on its pieces, which would follow it as
    // copies for good; the search starts over. With the count the tracks keep their animals, but
    // an area below a speck's share of an animal's, taken from a piece, is learned again: the track
    // would take its whole animal alone for several merged, and never learn it.
    if (settings_.animals <= 0)
        tracker_.clear(), areaHistory_.clear();
    else
        tracker_.forgetSizes(kSpeck * singleArea_);
}

void ip_crowd::process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    dib_requireBits(*src, "ip_crowd::process - got null ptr on input");
    util_time timer;
    int64_t t[stageCount + 1];
    t[0] = timer.now();

    *dst_ = *src;
    dst_->height = src->height;
    const crowd_detectSettings detection = detectSettings();
    // A flat level does not move with the camera: only a learned background needs the frame steadied.
    const crowd_background& background = foreground_.background();
    const bool steadied = steady_.steady(*src, detection.background == 0 ? background.edges() : nullptr,
                                         background.learned(), *steadied_);
    foreground_.find(steadied ? *steadied_ : *src, detection, *weight_, *grey_);
    noteFloorLearned();
    t[1] = timer.now();

    label(detection);
    t[2] = timer.now();

    tracker_.predict();
    count();
    detect();
    for (crowd_sighting& s : sightings_) s.object.x -= foreground_.shadowX(), s.object.y -= foreground_.shadowY();
    t[3] = timer.now();

    crowd_trackRules rules;
    rules.size = std::max(3.0, 2 * std::sqrt(singleArea_ / std::numbers::pi));
    rules.gate = settings_.maxJump > 0 ? settings_.maxJump : rules.size;
    rules.memory = settings_.memory;
    rules.animals = settings_.animals;
    tracker_.update(sightings_, rules, identity_);
    // Tracks stay in the order of their ids, so an object's track is found by halving.
    const auto& tracks = tracker_.tracks();
    found_.clear();
    looked_ = false;
    for (size_t i = 0; i < sightings_.size(); ++i) {
        const auto at = std::lower_bound(tracks.begin(), tracks.end(), identity_[i],
                                         [](const crowd_track& track, int32_t id) { return track.id < id; });
        found_.push_back({int32_t(i), identity_[i], blobOfObject_[i], float(at->vx), float(at->vy), at->seen});
    }
    if (steadied) toFramePlaces();
    t[4] = timer.now();

    const bool clicked = ip_forEachClick(events, [this](int x, int y) {
        double nearest = 1e300;
        selected_ = -1;
        for (const found& f : found_) {
            const crowd_object& o = sightings_[size_t(f.sighting)].object;
            const double d = std::hypot(o.x - x, o.y - y);
            if (d < nearest) nearest = d, selected_ = f.id;
        }
    });
    draw(overlay, clicked);
    t[5] = timer.now();
    for (int i = 0; i < stageCount; ++i) times_[i] = util_time::elapsed(t[i], t[i + 1]);
}

void ip_crowd::toFramePlaces() {
    // The looks are read off the steadied frame, at the places found in it.
    lookAll();
    const crowd_shift by = steady_.shift();
    for (crowd_sighting& s : sightings_) {
        s.object.x += by.x, s.object.y += by.y;
        for (crowd_point& p : s.posture.midline) p.x += by.x, p.y += by.y;
    }
}

void ip_crowd::draw(ip_overlay* overlay, bool clicked) {
    if (settings_.marks) {
        // Object pixels with a background pixel beside them, then a cross on each centre,
        // in the colour of the object's track (the first object's, for a split blob).
        std::vector<int32_t> colourOf(blobs_.blobs().size(), -1);
        for (const found& f : found_)
            if (colourOf[size_t(f.blob)] < 0) colourOf[size_t(f.blob)] = f.id;
        const int markGrey = settings_.polarity == 1 ? 0 : 255;
        const int32_t w = weight_->width, h = weight_->absHeight();
        // The blobs lie in the steadied frame's place, the drawing is on the frame.
        const int32_t dx = int32_t(std::lround(steady_.shift().x)), dy = int32_t(std::lround(steady_.shift().y));
        dib_access_dispatch1(*dst_, [&](auto tag) {
            using P = typename decltype(tag)::type;
            dib_access<P> out(*dst_);
            for (int32_t b : kept_) {
                const crowd_blob& blob = blobs_.blobs()[size_t(b)];
                for (int32_t i = 0; i < blob.runCount; ++i) {
                    const crowd_run& run = runs_[size_t(blobs_.order()[size_t(blob.firstRun + i)])];
                    const uint8_t* up = run.y > 0 ? weight_->row(run.y - 1) : nullptr;
                    const uint8_t* down = run.y + 1 < h ? weight_->row(run.y + 1) : nullptr;
                    if (run.y + dy < 0 || run.y + dy >= h) continue;
                    P* row = out.row(run.y + dy);
                    for (int32_t x = run.x0; x < run.x1; ++x)
                        if ((x == run.x0 || x + 1 == run.x1 || !up || !down || !up[x] || !down[x]) && x + dx >= 0 &&
                            x + dx < w)
                            paint(row[x + dx], colourOf[size_t(b)], markGrey);
                }
            }
            for (const found& f : found_) mark(out, w, h, sightings_[size_t(f.sighting)], f.id, markGrey);
        });
    }
    if (!overlay) return;
    overlay->clear();
    for (const found& f : found_) {
        if (f.id != selected_) continue;
        const crowd_object& o = sightings_[size_t(f.sighting)].object;
        const ip_point centre{int32_t(std::lround(o.x)), int32_t(std::lround(o.y))};
        drawAim(overlay, centre, std::max(5, int(std::sqrt(o.area / std::numbers::pi)) + 2), 2, 1);
        char text[48];
        std::snprintf(text, sizeof text, "%d: %.1f, %.1f", f.id, o.x, o.y);
        const ip_point at{centre.x + 12, centre.y - 12};
        overlay->drawText(&at, 0, text, 4);
    }
    if (clicked) overlay->acknowledge(25, 500);
}

void ip_crowd::profile(ip_profiler* profiler) {
    for (int i = 0; i < stageCount; ++i) profiler->report(stageLabels[i], times_[i]);
}

int ip_crowd::objects(ip_objectRecord* out, int capacity) const {
    const int n = int(found_.size());
    for (int i = 0; i < n && out && i < capacity; ++i) {
        const found& f = found_[size_t(i)];
        ip_objectRecord r{};
        r.index = f.id;
        const crowd_object& o = sightings_[size_t(f.sighting)].object;
        r.x = int32_t(std::lround(o.x));
        r.y = int32_t(std::lround(o.y));
        r.area = int32_t(std::lround(o.area));
        r.vx = f.vx, r.vy = f.vy;
        r.appearances = f.seen;
        r.selected = f.id == selected_ ? 1 : 0;
        out[i] = r;
    }
    return n;
}

int ip_crowd::details(ip_objectDetails* out, int capacity) const {
    const int n = int(found_.size());
    if (out && capacity > 0) lookAll();
    for (int i = 0; i < n && out && i < capacity; ++i) {
        const found& f = found_[size_t(i)];
        const crowd_sighting& s = sightings_[size_t(f.sighting)];
        const crowd_object& o = s.object;
        const crowd_posture& p = s.posture;
        ip_objectDetails d{};
        d.index = f.id;
        d.x = float(o.x), d.y = float(o.y), d.area = float(o.area);
        d.intensity = float(o.intensity), d.orientation = float(o.orientation), d.elongation = float(o.elongation);
        d.vx = f.vx, d.vy = f.vy;
        d.selected = f.id == selected_ ? 1 : 0;
        d.posture = (p.elongated ? ip_postureMidline : 0) | (s.headKnown ? ip_postureHead : 0) |
                    (s.whole ? 0 : ip_postureSplit);
        // Where the head points once it is known; otherwise where the object moves.
        if (s.headKnown)
            d.heading = float(std::atan2(p.midline[0].y - p.midline[2].y, p.midline[0].x - p.midline[2].x));
        else if (std::hypot(f.vx, f.vy) >= kMoving)
            d.heading = std::atan2(f.vy, f.vx);
        if (s.headKnown || std::hypot(f.vx, f.vy) >= kMoving) d.posture |= ip_postureHeading;
        d.length = float(p.elongated ? p.length : 0);
        d.width = float(p.elongated ? p.width : 2 * std::sqrt(o.area / std::numbers::pi));
        d.texture = s.looks.texture;
        for (int k = 0; k < crowd_stations && p.elongated; ++k)
            d.midline[k][0] = float(p.midline[k].x), d.midline[k][1] = float(p.midline[k].y);
        std::copy(s.looks.profile, s.looks.profile + crowd_stations, d.profile);
        out[i] = d;
    }
    return n;
}

void ip_crowd::counterValues(int64_t* values, int count) const {
    const crowd_counts& c = foreground_.counts();
    const int64_t kept[kCounters] = {c.brightnessJumps, c.lightingEvents, c.provisional,
                                     c.noContrast,      c.outsideArea,    moreThanCounted_};
    std::copy_n(kept, std::min(count, kCounters), values);
}

int ip_crowd::paramCount() const { return kParams; }

const ip_paramInfo& ip_crowd::paramInfo(int index) const { return crowdParams[index]; }

double ip_crowd::paramValue(int index) const {
    double values[kParams];
    toValues(settings_, values);
    return values[index];
}

void ip_crowd::storeParam(int index, double value) {
    double values[kParams];
    toValues(settings_, values);
    values[index] = value;
    ip_answerDialogue(*this, {ip_replyLine(crowdParams, values, kDetection),
                              ip_replyLine(crowdParams + kDetection, values + kDetection, kParams - kDetection)});
}

std::string ip_crowd::paramConflict(int index, double value) const {
    double values[kParams];
    toValues(settings_, values);
    return conflict(values, index, value);
}

std::string ip_crowd::valuesText(int group) const {
    double values[kParams];
    toValues(settings_, values);
    std::string text;
    for (int i = group == 0 ? 0 : kDetection; i < (group == 0 ? kDetection : kParams); ++i)
        text += std::string("  ") + crowdParams[i].name + ": " + ip_formatParam(crowdParams[i], values[i]) + "\n";
    return text;
}

void ip_crowd::config(ip_console* console) {
    double values[kParams];
    toValues(settings_, values);
    for (int group = 0; group < 2; ++group) {
        const int first = group == 0 ? 0 : kDetection, end = group == 0 ? kDetection : kParams;
        std::string prompt = group == 0 ? "\nCurrent crowd tracker configuration:\n" + valuesText(0) : valuesText(1);
        prompt += "Please supply the new values for ";
        for (int i = first; i < end; ++i)
            prompt += std::string(crowdParams[i].name) + (i + 2 < end ? ", " : i + 2 == end ? " and " : ": ");
        console->write(prompt.c_str());
        std::istringstream in(ip_readReply(console));
        // Values in prompt order: the first that does not read ends the line; one out of
        // range, or at odds with another, is skipped and the old value stays.
        std::string refused;
        for (int i = first; i < end; ++i) {
            double value = 0;
            if (!ip_readValue(in, value)) break;
            std::string why = ip_checkParam(crowdParams[i], value);
            if (why.empty()) why = conflict(values, i, value);
            if (why.empty())
                values[i] = value;
            else
                refused += "  " + why + "; kept " + ip_formatParam(crowdParams[i], values[i]) + "\n";
        }
        if (!refused.empty()) console->write(refused.c_str());
    }
    const crowd_settings before = settings_;
    settings_ = fromValues(values);
    if (settings_.polarity != before.polarity || settings_.background != before.background ||
        settings_.samples != before.samples || settings_.sampleEvery != before.sampleEvery)
        restart();
    console->write(("\nThe new values are:\n" + valuesText(0) + valuesText(1)).c_str());
}
