#include "crowd/crowd_split.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace {
constexpr int kLast = crowd_stations - 1;
// Rounds of fitting at most, and the visits of a pixel by a body over all of them for one
// blob: a blob of any size costs a bounded amount.
constexpr int kRounds = 8;
constexpr double kVisits = 1e6;
// The weighings of a pixel against a body (an elongated one counting four) by the rounds of
// fitting of all the frame's blobs together, per pixel of the frame. The most crowded lab
// frames make two or three; a street cut into hundreds of pieces of a speck's size (footage
// crowd was not made for) made up to thirty, at a few frames a second.
constexpr double kFrameWeighings = 6;
// Rounds in which elongated bodies slide along themselves: once placed along, they stay.
constexpr int kSlidingRounds = 2;
// The fitting stops once no body moves this far (pixels) in a round.
constexpr double kSettled = 0.25;
// Pixels farther than this beyond every body's edge belong to none.
constexpr double kMargin = 3;
// The largest box of a body slid along itself, pixels: a larger one is no animal's.
constexpr double kLargestSlide = 1 << 16;
// The largest box of a blob whose bodies are fitted to its outline, pixels.
constexpr int64_t kLargestBox = int64_t(1) << 22;
// A blob this many times the area of its animals is cut into discs.
constexpr double kLarger = 2.5;
// A disc is settled once it moves less than this (pixels) in a round: its pixels are its
// own but for a sliver along the edge it shares, whose share of its area, times the move,
// is what the move could still change its centre by (a tenth of a pixel for a disc of radius
// 6 pressed against another along 5 px).
constexpr double kDiscSettled = 0.5;
// Discs up to this many in a blob are fitted without the grid: each pixel is weighed
// against every one, which costs less than finding its cell's.
constexpr int kFewDiscs = 8;
// A body with more than this share of its pixels in other bodies too explains nothing of
// its own: when as many of the blob's pixels as half an animal lie in no body, it is
// another animal's, misplaced (both tracks followed one animal where two crossed).
constexpr double kIdleShare = 0.75;
// A blob this many times as long as the typical animal may hold a larger one of its kind,
// up to this many times as long (the areas the animals of one kind come in span up to 6).
constexpr double kLonger = 1.25, kLongest = 2.45;
// The bends of the animals seen alone, binned this finely (a bend is at most a half); the
// share of them a body fitted in a heap is suspect beyond, once this many are known; halved
// when this many are.
constexpr double kBendBin = 1.0 / 128;
constexpr double kBendQuantile = 0.99;
constexpr double kBendsFrom = 100, kBendsHeld = 4096;
// Bent bodies laid again per blob at most.
constexpr int kRelays = 2;
// Pixels the clustering of unexpected animals looks at, and its rounds.
constexpr size_t kSeedPixels = 4096;
constexpr int kSeedRounds = 20;

double squared(double dx, double dy) { return dx * dx + dy * dy; }

// How far a midline bends: its farthest point from the line through its ends, over its length.
double bendOf(const crowd_point* m) {
    const crowd_point a = m[0], b = m[kLast];
    const double dx = b.x - a.x, dy = b.y - a.y, chord = std::hypot(dx, dy);
    double most = 0;
    for (int i = 1; i < kLast; ++i)
        most = std::max(most, chord > 1e-9 ? std::fabs((m[i].x - a.x) * dy - (m[i].y - a.y) * dx) / chord
                                           : std::hypot(m[i].x - a.x, m[i].y - a.y));
    return most / std::max(crowd_arcLength(m, crowd_stations), 1e-9);
}

struct box {
    double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
    void add(double x, double y, double margin) {
        left = std::min(left, x - margin), right = std::max(right, x + margin);
        top = std::min(top, y - margin), bottom = std::max(bottom, y + margin);
    }
};

// The box of a body's pixels, widened by `more` and `times` its widest half width.
box boxOf(const crowd_body& b, double more, double times) {
    double half = 0;
    for (int i = 0; i < b.points; ++i) half = std::max(half, double(b.halfWidth[i]));
    box out;
    for (int i = 0; i < b.points; ++i) out.add(b.midline[i].x, b.midline[i].y, more + times * half);
    return out;
}

// How far each station moves across the body: the shifts its slice of pixels asks for,
// fitted by a quadratic along the body (a move, a turn and a change of bend), so that
// pixels of another animal lying against one stretch of the body cannot kink it.
void fitShifts(const double* weight, const double* sum, double* shift) {
    // Least squares of a + b u + c u^2 over the stations with pixels, u in [-1, 1].
    double m[3][4] = {};
    for (int i = 0; i < crowd_stations; ++i) {
        if (weight[i] <= 0) continue;
        const double u = (2.0 * i - kLast) / kLast, basis[3] = {1, u, u * u}, value = sum[i] / weight[i];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
            m[r][3] += basis[r] * value;
        }
    }
    // Gaussian elimination; a term the stations cannot tell is left at 0.
    double coefficient[3] = {};
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        if (std::fabs(m[pivot][col]) < 1e-9) continue;
        std::swap(m[col], m[pivot]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int c = col; c < 4; ++c) m[r][c] -= f * m[col][c];
        }
    }
    for (int col = 0; col < 3; ++col)
        if (std::fabs(m[col][col]) >= 1e-9) coefficient[col] = m[col][3] / m[col][col];
    for (int i = 0; i < crowd_stations; ++i) {
        const double u = (2.0 * i - kLast) / kLast;
        shift[i] = coefficient[0] + coefficient[1] * u + coefficient[2] * u * u;
    }
}
}  // namespace

void crowd_splitter::gather(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs,
                            const dib_base& weight, const dib_base& grey) {
    const crowd_blob& b = blobs.blobs()[size_t(blob)];
    x0_ = b.x0, y0_ = b.y0, x1_ = b.x1, y1_ = b.y1;
    pixels_.clear();
    for (int32_t i = 0; i < b.runCount; ++i) {
        const crowd_run& run = runs[size_t(blobs.order()[size_t(b.firstRun + i)])];
        const uint8_t* w = weight.row(run.y);
        const uint8_t* g = grey.row(run.y);
        for (int32_t x = run.x0; x < run.x1; ++x) pixels_.push_back({x, run.y, w[x], g[x]});
    }
    // A pixel shared by animals lying over each other counts once in each.
    const int32_t cap = crowd_typicalWeight(pixels_);
    for (crowd_pixel& p : pixels_) p.w = std::clamp(p.w, 1, cap);
}

void crowd_splitter::locatePixels() {
    // Which pixel lies where, for fitting elongated bodies to the blob's outline; a blob
    // of a box too large goes without (its bodies then slide by their pixels' balance).
    const int64_t width = x1_ - x0_ + 1, area = width * (y1_ - y0_ + 1);
    index_.clear();
    bool elongated = false;
    for (const crowd_body& b : bodies_) elongated = elongated || b.points > 1;
    if (!elongated || area > kLargestBox) return;
    index_.assign(size_t(area), -1);
    for (size_t i = 0; i < pixels_.size(); ++i)
        index_[size_t((pixels_[i].y - y0_) * width + (pixels_[i].x - x0_))] = int32_t(i);
}

void crowd_splitter::grid(int k) {
    // Cells of a power of two pixels wide, so that a pixel's cell is found by shifts.
    const int64_t width = x1_ - x0_ + 1, height = y1_ - y0_ + 1;
    const double wanted = std::max<double>(4, std::sqrt(double(width * height) / (4.0 * k)));
    int32_t shift = 2;
    while (shift < 30 && double(int64_t(1) << (shift + 1)) <= wanted) ++shift;
    cell_ = int32_t(1) << shift;
    columns_ = int32_t((width >> shift) + 1), rows_ = int32_t((height >> shift) + 1);
    cellOf_.resize(pixels_.size());
    for (size_t i = 0; i < pixels_.size(); ++i)
        cellOf_[i] = ((pixels_[i].y - y0_) >> shift) * columns_ + ((pixels_[i].x - x0_) >> shift);
}

void crowd_splitter::enlist() {
    const int32_t rows = rows_;
    // Each body in the cells of its box, widened by kMargin: farther pixels are neither in
    // it nor worth giving it.
    auto forCells = [&](const crowd_body& b, auto&& use) {
        const box around = boxOf(b, kMargin, 1);
        auto column = [&](double x) { return int32_t(std::clamp((x - x0_) / cell_, 0.0, double(columns_ - 1))); };
        auto row = [&](double y) { return int32_t(std::clamp((y - y0_) / cell_, 0.0, double(rows - 1))); };
        for (int32_t r = row(around.top); r <= row(around.bottom); ++r)
            for (int32_t c = column(around.left); c <= column(around.right); ++c)
                use(size_t(r) * size_t(columns_) + size_t(c));
    };
    cellStart_.assign(size_t(columns_) * size_t(rows) + 1, 0);
    for (const crowd_body& b : bodies_) forCells(b, [&](size_t cell) { ++cellStart_[cell + 1]; });
    for (size_t i = 1; i < cellStart_.size(); ++i) cellStart_[i] += cellStart_[i - 1];
    cellBodies_.resize(size_t(cellStart_.back()));
    fill_.assign(cellStart_.begin(), cellStart_.end() - 1);
    for (size_t b = 0; b < bodies_.size(); ++b)
        forCells(bodies_[b], [&](size_t cell) { cellBodies_[size_t(fill_[cell]++)] = int32_t(b); });
}

template <class Use>
void crowd_splitter::own(const Use& use) {
    // Discs, the most common bodies, from a compact copy, and without a call or a root
    // for a pixel inside one (its place's distance is then left out: squared holds it).
    discs_.clear();
    lines_.resize(bodies_.size());
    for (size_t i = 0; i < bodies_.size(); ++i) {
        const crowd_body& b = bodies_[i];
        const double r = b.halfWidth[0];
        discs_.push_back({b.midline[0].x, b.midline[0].y, r, r * r, b.points == 1, (r + kMargin) * (r + kMargin)});
        if (b.points > 1) lines_[i] = crowd_prepare(b);
    }
    for (size_t n = 0; n < pixels_.size(); ++n) {
        const crowd_pixel& p = pixels_[n];
        const size_t cell = size_t(cellOf_[n]);
        double nearest = 1e300;
        int32_t owner = -1;
        crowd_place ownerPlace{};
        bool inside = false;
        for (int32_t i = cellStart_[cell]; i < cellStart_[cell + 1]; ++i) {
            const int32_t b = cellBodies_[size_t(i)];
            const disc& d = discs_[size_t(b)];
            crowd_place place;
            if (d.round) {
                const double dx = p.x - d.x, dy = p.y - d.y, squared = dx * dx + dy * dy;
                if (squared <= d.r2) {
                    use(p, b, crowd_place{0, 0, 0, d.r, squared}, true), inside = true;
                    continue;
                }
                if (inside) continue;
                place = {std::sqrt(squared), 0, 0, d.r, squared};
            } else {
                place = crowd_locate(lines_[size_t(b)], p.x, p.y);
            }
            const double reach = place.distance - place.half;
            if (reach <= 0) use(p, b, place, true), inside = true;
            if (reach < nearest) nearest = reach, owner = b, ownerPlace = place;
        }
        if (!inside && owner >= 0) use(p, owner, ownerPlace, false);
    }
}

double crowd_splitter::slide(size_t b) const {
    static constexpr double shifts[] = {0, -0.5, 0.5, -1, 1, -2, 2};
    constexpr int count = int(sizeof shifts / sizeof shifts[0]);
    const crowd_body& body = bodies_[b];
    const crowd_line line = crowd_prepare(body);
    const double step = std::max(body.length / kLast, 1e-6);
    double gain[count] = {};
    const box around = boxOf(body, 3, 1);
    if ((around.right - around.left) * (around.bottom - around.top) > kLargestSlide) return 0;
    const double widest = *std::max_element(body.halfWidth, body.halfWidth + crowd_stations);
    // Every other pixel, checkerwise, judges the shifts as well as all do; each is looked for
    // by the segments around the last one's, a row's first by all.
    for (int64_t y = int64_t(std::ceil(around.top)); y <= int64_t(std::floor(around.bottom)); ++y) {
        int near = -1;
        for (int64_t x = int64_t(std::ceil(around.left)) + ((int64_t(std::ceil(around.left)) + y) & 1);
             x <= int64_t(std::floor(around.right)); x += 2) {
            const crowd_place place =
                near < 0 ? crowd_locate(line, double(x), double(y))
                         : crowd_locate(line, double(x), double(y), std::max(near - 2, 0), std::min(near + 3, kLast));
            near = std::clamp(int(place.along), 0, kLast - 1);
            if (std::fabs(place.across) > widest) continue;  // in the body at no shift
            const bool inBox = x >= x0_ && x <= x1_ && y >= y0_ && y <= y1_;
            const int32_t at = inBox ? index_[size_t((y - y0_) * (x1_ - x0_ + 1) + (x - x0_))] : -1;
            // A pixel another body covers is explained whatever this one does.
            if (at >= 0 && inside_[size_t(at)] > (place.distance <= place.half ? 1 : 0)) continue;
            for (int k = 0; k < count; ++k) {
                const double a = place.along - shifts[k] / step;
                if (a < 0 || a > kLast) continue;
                const int i = std::min(int(a), kLast - 1);
                const double h = body.halfWidth[i] + (a - i) * (body.halfWidth[i + 1] - body.halfWidth[i]);
                if (std::fabs(place.across) <= h) gain[k] += at >= 0 ? 1 : -1;
            }
        }
    }
    int best = 0;
    for (int k = 1; k < count; ++k)
        if (gain[k] > gain[best]) best = k;
    return shifts[best];
}

double crowd_splitter::refit(bool measuring, bool sliding) {
    tallies_.assign(bodies_.size(), tally{});
    inside_.assign(index_.empty() ? 0 : pixels_.size(), 0);
    if (measuring) startMeasuring();
    const crowd_pixel* first = pixels_.data();
    own([&](const crowd_pixel& p, int32_t b, const crowd_place& place, bool inside) {
        if (measuring) take(p, b, place);
        if (inside && !index_.empty()) ++inside_[size_t(&p - first)];
        tally& t = tallies_[size_t(b)];
        const double w = p.w;
        t.w += w, t.wx += w * p.x, t.wy += w * p.y;
        if (bodies_[size_t(b)].points == 1) return;
        t.ws += w * place.along * bodies_[size_t(b)].length / kLast;
        const int station = std::clamp(int(place.along + 0.5), 0, kLast);
        t.sw[station] += w, t.se[station] += w * place.across;
    });
    slides_.assign(bodies_.size(), 0.0);
    for (size_t b = 0; b < bodies_.size() && sliding && !index_.empty(); ++b)
        if (bodies_[b].points > 1) slides_[b] = slide(b);
    const std::vector<double>& slides = slides_;
    double moved = 0;
    for (size_t b = 0; b < bodies_.size(); ++b) {
        crowd_body& body = bodies_[b];
        const tally& t = tallies_[b];
        if (t.w <= 0) continue;
        if (body.points == 1) {
            const crowd_point c{t.wx / t.w, t.wy / t.w};
            moved = std::max(moved, std::hypot(c.x - body.midline[0].x, c.y - body.midline[0].y));
            body.midline[0] = c;
            continue;
        }
        // Each station moves across the body to the middle of its slice of pixels, and the
        // whole body slides along itself until its pixels lie where its shape puts its mass.
        double shift[crowd_stations], expected = 0, mass = 0;
        fitShifts(t.sw, t.se, shift);
        crowd_point across[crowd_stations];
        const crowd_point* p = body.midline;
        for (int i = 0; i < crowd_stations; ++i) {
            const crowd_point a = p[std::max(i - 1, 0)], c = p[std::min(i + 1, kLast)];
            const double length = std::max(std::hypot(c.x - a.x, c.y - a.y), 1e-9);
            across[i] = {p[i].x - (c.y - a.y) / length * shift[i], p[i].y + (c.x - a.x) / length * shift[i]};
            const double h = std::max(body.halfWidth[i], 0.5f);
            expected += h * i * body.length / kLast, mass += h;
        }
        const double slide =
            index_.empty() ? t.ws / t.w - (body.balance >= 0 ? body.balance : expected / mass) : slides[b];
        const double arc = crowd_arcLength(across, crowd_stations);
        crowd_point fitted[crowd_stations];
        crowd_resample(across, crowd_stations, (arc - body.length) / 2 + slide, body.length / kLast, fitted);
        for (int i = 0; i < crowd_stations; ++i)
            moved = std::max(moved, std::hypot(fitted[i].x - p[i].x, fitted[i].y - p[i].y));
        std::copy(fitted, fitted + crowd_stations, body.midline);
    }
    return moved;
}

void crowd_splitter::uncovered(std::vector<crowd_pixel>& open) {
    covered_.assign(pixels_.size(), 0);
    if (!bodies_.empty()) {
        enlist();
        const crowd_pixel* first = pixels_.data();
        own([&](const crowd_pixel& p, int32_t, const crowd_place&, bool inside) {
            if (inside) covered_[size_t(&p - first)] = 1;
        });
    }
    open.clear();
    for (size_t i = 0; i < pixels_.size(); ++i)
        if (!covered_[i]) open.push_back(pixels_[i]);
    if (open.empty()) open = pixels_;
    const size_t stride = (open.size() + kSeedPixels - 1) / kSeedPixels;
    for (size_t i = 0, j = 0; i < open.size(); i += stride) open[j++] = open[i];
    open.resize((open.size() + stride - 1) / stride);
}

void crowd_splitter::cluster(const std::vector<crowd_pixel>& open, int missing, std::vector<crowd_moments>& sums) {
    // Expected bodies hold their centres; the new ones start at the pixels farthest from
    // every centre so far and move by Lloyd's rounds.
    centres_.clear();
    for (const crowd_body& b : bodies_) centres_.push_back(b.centre());
    const size_t fixed = centres_.size();
    std::vector<double> gap(open.size(), 1e300);
    auto nearer = [&](const crowd_point& c) {
        for (size_t i = 0; i < open.size(); ++i) gap[i] = std::min(gap[i], squared(open[i].x - c.x, open[i].y - c.y));
    };
    for (const crowd_point& c : centres_) nearer(c);
    for (int m = 0; m < missing; ++m) {
        size_t far = 0;
        for (size_t i = 1; i < open.size(); ++i)
            if (centres_.empty() ? open[i].w > open[far].w : gap[i] > gap[far]) far = i;
        centres_.push_back({double(open[far].x), double(open[far].y)});
        nearer(centres_.back());
    }
    group_.assign(open.size(), -1);
    sums.assign(centres_.size(), crowd_moments{});
    for (int round = 0; round < kSeedRounds; ++round) {
        bool changed = false;
        std::fill(sums.begin(), sums.end(), crowd_moments{});
        for (size_t i = 0; i < open.size(); ++i) {
            int32_t best = 0;
            for (size_t c = 1; c < centres_.size(); ++c)
                if (squared(open[i].x - centres_[c].x, open[i].y - centres_[c].y) <
                    squared(open[i].x - centres_[size_t(best)].x, open[i].y - centres_[size_t(best)].y))
                    best = int32_t(c);
            changed = changed || best != group_[i];
            group_[i] = best;
            sums[size_t(best)].add(open[i].x, open[i].y, open[i].w, open[i].grey);
        }
        for (size_t c = fixed; c < centres_.size(); ++c)
            if (sums[c].w > 0) centres_[c] = {sums[c].wx / sums[c].w, sums[c].wy / sums[c].w};
        if (!changed) break;
    }
}

crowd_body crowd_splitter::shapeFromBlob(int k, const crowd_body& typical) {
    // Nothing known of any animal in the blob, and no animal seen long: if the blob is
    // elongated, it tells. k animals as wide as it is, lying along it (in file, or crossing).
    if (typical.points > 1 || !bodies_.empty()) return typical;
    crowd_posture posture;
    crowd_looks looks;
    midliner_.measure(pixels_, posture, looks);
    const double length = double(pixels_.size()) / (k * std::max(posture.width, 1.0));
    if (!posture.elongated || length < crowd_elongatedRatio * posture.width) return typical;
    crowd_body b;
    b.points = crowd_stations;
    b.length = length, b.balance = length / 2;
    for (int i = 0; i < crowd_stations; ++i)
        b.halfWidth[i] = float(posture.width / (i == 0 || i == kLast ? 4 : 2)), b.midline[i] = {length * i / kLast, 0};
    return b;
}

crowd_body crowd_splitter::larger(const crowd_body& typical) {
    // A heap is long for the animals lying along and beside each other, not for one animal
    // as long as it: the typical one made as long as a heap lies over two or three animals.
    // The long animals seen alone tell what length a larger one of the kind has.
    if (longOnes_.points > 1 && longOnes_.length >= kLonger * typical.length) return longOnes_;
    return asLongAsBlob(typical);
}

crowd_body crowd_splitter::asLongAsBlob(const crowd_body& typical) {
    // Animals side by side make a blob as long as the longest of them: when it is much longer
    // than the typical animal, one of them may be a larger animal of the kind, of the same
    // shape (its halves would each look like a typical animal).
    crowd_posture posture;
    crowd_looks looks;
    midliner_.measure(pixels_, posture, looks);
    const double scale = posture.elongated ? posture.length / std::max(typical.length, 1e-6) : 0;
    if (scale < kLonger) return {};
    crowd_body b = crowd_straightBody(typical.halfWidth, typical.length, typical.balance);
    const double s = std::min(scale, kLongest);
    for (float& h : b.halfWidth) h = float(h * s);
    b.length *= s, b.balance *= s;
    return b;
}

void crowd_splitter::seed(int missing, const crowd_body& known) {
    if (missing <= 0) return;
    crowd_body typical = shapeFromBlob(missing, known);
    // A blob far larger than its animals (a wall, a shadow taken for animals) is cut into
    // discs: shapes would not fit it, and cost more.
    const double area = crowd_bodyArea(typical);
    if (typical.points > 1 && double(pixels_.size()) > kLarger * area * (missing + double(bodies_.size())))
        typical = crowd_roundBody(0, 0, std::sqrt(area / std::numbers::pi));
    if (typical.points > 1) {
        // A frame past its budget lays the typical shape alone, once.
        const bool spent = budget_ <= 0;
        placer_.place(pixels_, x0_, y0_, x1_, y1_, missing, typical, bodies_, spent ? crowd_body{} : larger(typical),
                      !spent);
        return;
    }
    std::vector<crowd_pixel> open;
    uncovered(open);
    std::vector<crowd_moments> sums;
    const size_t fixed = bodies_.size();
    cluster(open, missing, sums);
    for (size_t c = fixed; c < centres_.size(); ++c) {
        const crowd_object o = crowd_describe(sums[c]);
        const double x = sums[c].w > 0 ? o.x : centres_[c].x, y = sums[c].w > 0 ? o.y : centres_[c].y;
        bodies_.push_back(crowd_roundBody(x, y, typical.halfWidth[0]));
    }
}

void crowd_splitter::startMeasuring() {
    looks_.assign(bodies_.size(), looksTally{});
    rings_.clear();
    for (const crowd_body& b : bodies_)
        rings_.push_back(crowd_stations / std::max(0.25, double(b.halfWidth[0]) * b.halfWidth[0]));
    measured_.assign(bodies_.size(), crowd_moments{});
}

void crowd_splitter::take(const crowd_pixel& p, int32_t b, const crowd_place& place) {
    measured_[size_t(b)].add(p.x, p.y, p.w, p.grey);
    looksTally& l = looks_[size_t(b)];
    // Slices along an elongated body; rings of equal area around a round one.
    const int slot = bodies_[size_t(b)].points > 1 ? std::clamp(int(place.along + 0.5), 0, kLast)
                                                   : std::min(kLast, int(place.squared * rings_[size_t(b)]));
    l.grey[slot] += p.grey, ++l.count[slot];
    l.all += p.grey, l.squares += double(p.grey) * p.grey, ++l.n;
}

void crowd_splitter::takeRound(const crowd_pixel& p, size_t b, double squared) {
    measured_[b].add(p.x, p.y, p.w, p.grey);
    looksTally& l = looks_[b];
    const int ring = std::min(kLast, int(squared * rings_[b]));
    l.grey[ring] += p.grey, ++l.count[ring];
    l.all += p.grey, l.squares += double(p.grey) * p.grey, ++l.n;
}

void crowd_splitter::finish(std::vector<crowd_part>& parts) const {
    parts.assign(bodies_.size(), crowd_part{});
    for (size_t b = 0; b < bodies_.size(); ++b) {
        crowd_part& part = parts[b];
        part.moments = measured_[b];
        part.body = bodies_[b];
        part.looked = b < looks_.size();
        if (!part.looked) continue;
        const looksTally& l = looks_[b];
        for (int i = 0; i < crowd_stations; ++i)
            part.looks.profile[i] = l.count[i] > 0 ? float(l.grey[i] / l.count[i]) : 0.0f;
        const double mean = l.n > 0 ? l.all / l.n : 0;
        part.looks.texture = l.n > 0 ? float(std::sqrt(std::max(0.0, l.squares / l.n - mean * mean))) : 0.0f;
    }
}

void crowd_splitter::look(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs,
                          const dib_base& weight, const dib_base& grey, const std::vector<crowd_body>& discs,
                          std::vector<crowd_looks>& looks) {
    // The pixels go to the discs by the rule they were measured by (refitDiscsBySpans).
    gather(blobs, blob, runs, weight, grey);
    bodies_ = discs;
    startMeasuring();
    const size_t n = bodies_.size();
    for (const crowd_pixel& p : pixels_) {
        const double x = p.x, y = p.y;
        bool inside = false;
        double nearest = kMargin, nearestSquared = 0;
        size_t owner = n;
        for (size_t j = 0; j < n; ++j) {
            const crowd_point c = bodies_[j].midline[0];
            const double r = bodies_[j].halfWidth[0], d2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
            if (d2 <= r * r) {
                takeRound(p, j, d2), inside = true;
            } else if (!inside && d2 <= (r + kMargin) * (r + kMargin)) {
                const double reach = std::sqrt(d2) - r;
                if (reach <= nearest) nearest = reach, owner = j, nearestSquared = d2;
            }
        }
        if (!inside && owner < n) takeRound(p, owner, nearestSquared);
    }
    std::vector<crowd_part> parts;
    finish(parts);
    looks.clear();
    for (const crowd_part& part : parts) looks.push_back(part.looks);
}

void crowd_splitter::spanSums() {
    // The blob's runs, and running sums along them, so that a stretch of a run is summed by
    // two lookups.
    spans_.clear();
    const size_t n = pixels_.size() + 1;
    runningW_.assign(n, 0), runningWX_.assign(n, 0), runningGrey_.assign(n, 0), runningWXX_.assign(n, 0.0);
    for (size_t i = 0; i < pixels_.size(); ++i) {
        const crowd_pixel& p = pixels_[i];
        if (i == 0 || p.y != pixels_[i - 1].y || p.x != pixels_[i - 1].x + 1)
            spans_.push_back({p.y, p.x, int32_t(i), 0});
        ++spans_.back().count;
        const int64_t wx = int64_t(p.w) * p.x;
        runningW_[i + 1] = runningW_[i] + p.w, runningWX_[i + 1] = runningWX_[i] + wx;
        runningGrey_[i + 1] = runningGrey_[i] + p.grey, runningWXX_[i + 1] = runningWXX_[i] + double(wx) * p.x;
    }
}

void crowd_splitter::outside(const span& run, int32_t x, size_t n, bool measuring) {
    // A pixel outside every disc goes to the one whose edge lies nearest, within kMargin.
    double nearest = kMargin;
    size_t owner = n;
    for (size_t j = 0; j < n; ++j) {
        const disc& d = discs_[j];
        const double d2 = (x - d.x) * (x - d.x) + (run.y - d.y) * (run.y - d.y);
        if (d2 > d.reach2) continue;
        const double reach = std::sqrt(d2) - d.r;
        if (reach <= nearest) nearest = reach, owner = j;
    }
    if (owner == n) return;
    const crowd_pixel& p = pixels_[size_t(run.first + (x - run.x0))];
    sums_[owner].w += p.w, sums_[owner].wx += int64_t(p.w) * p.x, sums_[owner].wy += int64_t(p.w) * p.y;
    if (measuring) measured_[owner].add(p.x, p.y, p.w, p.grey);
}

void crowd_splitter::addStretch(size_t j, const span& run, int32_t from, int32_t to, bool measuring) {
    const size_t a = size_t(run.first + (from - run.x0)), b = size_t(run.first + (to - run.x0) + 1);
    const int64_t w = runningW_[b] - runningW_[a], wx = runningWX_[b] - runningWX_[a];
    sums_[j].w += w, sums_[j].wx += wx, sums_[j].wy += w * run.y;
    if (!measuring) return;
    crowd_moments& m = measured_[j];
    const double y = run.y;
    m.area += to - from + 1;
    m.w += double(w), m.wx += double(wx), m.wy += y * double(w);
    m.wxx += runningWXX_[b] - runningWXX_[a], m.wyy += y * y * double(w), m.wxy += y * double(wx);
    m.grey += double(runningGrey_[b] - runningGrey_[a]);
}

void crowd_splitter::addSpan(const span& run, size_t n, bool measuring) {
    // Each disc takes its stretch of the run at once; the pixels between the stretches, in
    // order along the run, go one by one.
    int32_t from[kFewDiscs], to[kFewDiscs];
    size_t order[kFewDiscs], m = 0;
    for (size_t j = 0; j < n; ++j) {
        const disc& d = discs_[j];
        const double dy = run.y - d.y, across = d.r2 - dy * dy;
        if (across < 0) continue;
        const double half = std::sqrt(across);
        from[j] = std::max(run.x0, int32_t(std::ceil(d.x - half)));
        to[j] = std::min(run.x0 + run.count - 1, int32_t(std::floor(d.x + half)));
        if (from[j] > to[j]) continue;
        addStretch(j, run, from[j], to[j], measuring);
        size_t at = m++;
        for (; at > 0 && from[order[at - 1]] > from[j]; --at) order[at] = order[at - 1];
        order[at] = j;
    }
    int32_t x = run.x0;
    for (size_t i = 0; i <= m; ++i) {
        const int32_t stop = i < m ? from[order[i]] : run.x0 + run.count;
        for (; x < stop; ++x) outside(run, x, n, measuring);
        if (i < m) x = std::max(x, to[order[i]] + 1);
    }
}

double crowd_splitter::refitDiscsBySpans(bool measuring) {
    // Each pixel in every disc it lies in, or outside all with the one whose edge is nearest
    // (within kMargin): the general fitting's rule, on the runs.
    const size_t n = bodies_.size();
    sums_.assign(n, disc_sum{0, 0, 0});
    if (measuring) measured_.assign(n, crowd_moments{});
    discs_.clear();
    for (const crowd_body& b : bodies_) {
        const double r = b.halfWidth[0];
        discs_.push_back({b.midline[0].x, b.midline[0].y, r, r * r, true, (r + kMargin) * (r + kMargin)});
    }
    for (const span& run : spans_) addSpan(run, n, measuring);
    double moved = 0;
    for (size_t j = 0; j < n; ++j) {
        if (sums_[j].w <= 0 || measuring) continue;
        const crowd_point c{double(sums_[j].wx) / double(sums_[j].w), double(sums_[j].wy) / double(sums_[j].w)};
        moved = std::max(moved, std::hypot(c.x - bodies_[j].midline[0].x, c.y - bodies_[j].midline[0].y));
        bodies_[j].midline[0] = c;
    }
    return moved;
}

void crowd_splitter::fitDiscs() {
    // Rounds on the runs until the discs settle, then their pixels measured where they lie;
    // their looks only when asked (look()).
    spanSums();
    // Each run is weighed against every disc.
    const double visit = double(spans_.size() + 1) * double(bodies_.size());
    const int most = rounds(visit, visit);
    for (int round = 0; round < most; ++round) {
        budget_ -= visit;
        if (refitDiscsBySpans(false) < kSettled) break;
    }
    budget_ -= visit;
    refitDiscsBySpans(true);
    looks_.clear();
}

void crowd_splitter::split(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs,
                           const dib_base& weight, const dib_base& grey, int k, const std::vector<crowd_body>& expected,
                           const crowd_body& typical, std::vector<crowd_part>& parts) {
    gather(blobs, blob, runs, weight, grey);
    k = std::max(1, std::min(k, int(pixels_.size())));
    bodies_.assign(expected.begin(), expected.begin() + std::min<ptrdiff_t>(k, ptrdiff_t(expected.size())));
    const int missing = k - int(bodies_.size());
    if (missing > 0) grid(k), seed(missing, typical);
    bool round = true;
    for (const crowd_body& b : bodies_) round = round && b.points == 1;
    pixelwise_ = !round || k > kFewDiscs;
    if (!pixelwise_) {
        fitDiscs();
        finish(parts);
        return;
    }
    if (missing <= 0) grid(k);
    locatePixels();
    fitBodies();
    // Two bodies on one animal while another's pixels lie bare: one is moved to them.
    if (const int32_t idle = budget_ > 0 ? idleBody() : -1; idle >= 0) moveIdle(idle);
    relayBent();
    finish(parts);
}

void crowd_splitter::startFrame(int64_t pixels, const crowd_body& longOnes) {
    budget_ = kFrameWeighings * double(pixels);
    longOnes_ = longOnes;
    const double seen = std::accumulate(bends_, bends_ + kBendBins, 0.0);
    bendLimit_ = 1e300;
    double below = 0;
    for (int i = 0; i < kBendBins && seen >= kBendsFrom && bendLimit_ > 1e299; ++i)
        if ((below += bends_[i]) >= kBendQuantile * seen) bendLimit_ = (i + 1) * kBendBin;
}

void crowd_splitter::seeAlone(const crowd_posture& posture) {
    if (!posture.elongated) return;
    if (std::accumulate(bends_, bends_ + kBendBins, 0.0) >= kBendsHeld)
        for (double& n : bends_) n /= 2;
    ++bends_[std::min(kBendBins - 1, int(bendOf(posture.midline) / kBendBin))];
}

void crowd_splitter::relayBent() {
    // Where animals cross, a body bent more than any of its kind alone follows one animal's
    // arm into another's: predicted so the next frame, it is fitted so again, for dozens of
    // frames. Laid straight where it covers the most pixels the other bodies leave bare, it
    // finds its animal, when that covers more than it does where it lies; fitted again, it
    // bends as that animal does.
    std::vector<char> bent(bodies_.size());
    for (int round = 0; round < kRelays && budget_ > 0; ++round) {
        bool any = false;
        for (size_t b = 0; b < bodies_.size(); ++b)
            any = (bent[b] = bodies_[b].points > 1 && bendOf(bodies_[b].midline) > bendLimit_) || any;
        if (!any || placer_.relay(pixels_, x0_, y0_, x1_, y1_, bodies_, bent) < 0) return;
        fitBodies();
    }
}

int crowd_splitter::rounds(double visit, double weighings) const {
    const int own = std::clamp(int(kVisits / visit), 1, kRounds);
    return budget_ >= own * weighings ? own : std::clamp(int(budget_ / std::max(weighings, 1.0)), 1, own);
}

double crowd_splitter::weighings() const {
    // An elongated body costs a pixel about four discs do.
    double sum = 0;
    for (const int32_t cell : cellOf_)
        for (int32_t i = cellStart_[size_t(cell)]; i < cellStart_[size_t(cell) + 1]; ++i)
            sum += bodies_[size_t(cellBodies_[size_t(i)])].points > 1 ? 4 : 1;
    return sum;
}

void crowd_splitter::fitBodies() {
    enlist();
    // The pixels are measured for the parts in the same pass as the last round of fitting
    // (bodies that moved less than kSettled in it are where they were measured); the first
    // round seldom is the last.
    // An elongated body costs a pixel about four discs do.
    const int k = int(bodies_.size());
    const double visit = double(pixels_.size()) * std::min(k, 4) * (index_.empty() ? 1 : 4);
    const double weighed = weighings();
    const int most = rounds(visit, weighed);
    bool measured = false;
    for (int round = 0; round < most; ++round) {
        measured = round > 0 || most == 1;
        budget_ -= weighed;
        // Sliding and a second placing cost as much again: a frame past its budget goes without.
        if (refit(measured, round < kSlidingRounds && budget_ > 0) < kSettled) break;
        enlist();
    }
    if (!measured) {
        budget_ -= weighed;
        startMeasuring();
        own([&](const crowd_pixel& p, int32_t b, const crowd_place& place, bool) { take(p, b, place); });
    }
}

void crowd_splitter::overlaps(std::vector<double>& shares) {
    shares.clear();
    if (!pixelwise_) return;
    enlist();
    std::vector<uint8_t> depth(pixels_.size(), 0);
    const crowd_pixel* first = pixels_.data();
    own([&](const crowd_pixel& p, int32_t, const crowd_place&, bool inside) {
        if (inside) depth[size_t(&p - first)] = uint8_t(std::min(2, depth[size_t(&p - first)] + 1));
    });
    std::vector<int64_t> in(bodies_.size(), 0), shared(bodies_.size(), 0);
    own([&](const crowd_pixel& p, int32_t b, const crowd_place&, bool inside) {
        if (!inside) return;
        ++in[size_t(b)];
        shared[size_t(b)] += depth[size_t(&p - first)] > 1;
    });
    for (size_t b = 0; b < bodies_.size(); ++b) shares.push_back(in[b] > 0 ? double(shared[b]) / double(in[b]) : 0.0);
}

int64_t crowd_splitter::bare() const { return std::count(inside_.begin(), inside_.end(), uint8_t(0)); }

void crowd_splitter::moveIdle(int32_t idle) {
    // Laid where the most pixels lie bare and fitted again, the body may still go on to
    // other animals' pixels, take them from their own bodies and leave its own animal bare:
    // it is kept only where no more of the blob lies bare than before.
    const std::vector<crowd_body> before = bodies_;
    const int64_t bareBefore = bare();
    crowd_body moved = crowd_straightBody(bodies_[size_t(idle)].halfWidth, bodies_[size_t(idle)].length,
                                          bodies_[size_t(idle)].balance);
    moved.track = bodies_[size_t(idle)].track;
    bodies_.erase(bodies_.begin() + idle);
    placer_.place(pixels_, x0_, y0_, x1_, y1_, 1, moved, bodies_);
    bodies_.back().track = moved.track;
    fitBodies();
    if (inside_.size() == pixels_.size() && bare() <= bareBefore) return;
    bodies_ = before;
    fitBodies();
}

int32_t crowd_splitter::idleBody() {
    // The blob's pixels no body covers, after the last round; worth a look only when they
    // come to half an animal.
    if (index_.empty() || inside_.size() != pixels_.size()) return -1;
    double area = 0;
    for (const crowd_body& b : bodies_) area += crowd_bodyArea(b);
    if (bodies_.size() < 2 || double(bare()) < 0.5 * area / double(bodies_.size())) return -1;
    // The body whose pixels lie most in others: when nearly all do, it explains nothing.
    std::vector<int64_t> in(bodies_.size(), 0), shared(bodies_.size(), 0);
    const crowd_pixel* first = pixels_.data();
    own([&](const crowd_pixel& p, int32_t b, const crowd_place&, bool inside) {
        if (!inside) return;
        ++in[size_t(b)];
        shared[size_t(b)] += inside_[size_t(&p - first)] > 1;
    });
    int32_t idle = -1;
    double most = kIdleShare;
    for (size_t b = 0; b < bodies_.size(); ++b)
        if (bodies_[b].points > 1 && in[b] > 0 && double(shared[b]) / double(in[b]) > most)
            most = double(shared[b]) / double(in[b]), idle = int32_t(b);
    return idle;
}

int64_t crowd_splitter::coverage(const std::vector<crowd_body>& bodies) {
    // Each body's box, pixel by pixel, marked where the pixel lies within the body.
    box all;
    for (const crowd_body& b : bodies) {
        const box one = boxOf(b, 1, 1);
        all.add(one.left, one.top, 0), all.add(one.right, one.bottom, 0);
    }
    if (bodies.empty() || !((all.right - all.left) * (all.bottom - all.top) < 1e7)) return 0;
    const int64_t x0 = int64_t(std::floor(all.left)), y0 = int64_t(std::floor(all.top));
    const int64_t width = int64_t(std::ceil(all.right)) - x0 + 1, height = int64_t(std::ceil(all.bottom)) - y0 + 1;
    covered_.assign(size_t(width * height), 0);
    int64_t covered = 0;
    for (const crowd_body& b : bodies) {
        const box one = boxOf(b, 1, 1);
        const crowd_line line = crowd_prepare(b);
        auto within = [&](double x, double y) {
            if (b.points > 1) {
                const crowd_place place = crowd_locate(line, x, y);
                return place.distance <= place.half;
            }
            const double dx = x - b.midline[0].x, dy = y - b.midline[0].y;
            return dx * dx + dy * dy <= double(b.halfWidth[0]) * b.halfWidth[0];
        };
        for (int64_t y = int64_t(std::ceil(one.top)); y <= int64_t(std::floor(one.bottom)); ++y)
            for (int64_t x = int64_t(std::ceil(one.left)); x <= int64_t(std::floor(one.right)); ++x) {
                char& mark = covered_[size_t((y - y0) * width + (x - x0))];
                if (!mark && within(double(x), double(y))) mark = 1, ++covered;
            }
    }
    return covered;
}

// The share of the smaller part that lies over the larger, and the largest turn between
// their axes (radians), for crowd_repeats.
constexpr double kOver = 0.9, kAlongAxis = 0.35;

bool crowd_repeats(const crowd_object& a, const crowd_object& b, double blobArea) {
    return crowd_repeatsOver(a, b, a.area + b.area - blobArea);
}

bool crowd_repeatsOver(const crowd_object& a, const crowd_object& b, double common) {
    const crowd_object& large = a.area >= b.area ? a : b;
    const crowd_object& small = a.area >= b.area ? b : a;
    if (common < kOver * small.area) return false;
    if (std::fabs(std::remainder(large.orientation - small.orientation, std::numbers::pi)) > kAlongAxis) return false;
    const double dx = small.x - large.x, dy = small.y - large.y;
    const double c = std::cos(large.orientation), s = std::sin(large.orientation);
    const double halfLength = std::sqrt(large.area * large.elongation / std::numbers::pi);
    const double halfWidth = std::sqrt(large.area / (std::numbers::pi * large.elongation));
    return std::fabs(dx * c + dy * s) <= halfLength / 2 && std::fabs(dy * c - dx * s) <= halfWidth / 2;
}

std::vector<char> crowd_repeatedParts(const std::vector<crowd_part>& parts, const std::vector<double>& shares) {
    std::vector<char> repeated(parts.size(), 0);
    for (size_t n = 0; n < parts.size(); ++n) {
        if (shares[n] < kOver) continue;
        const crowd_object mine = crowd_describe(parts[n].moments);
        for (size_t q = 0; q < parts.size() && !repeated[n]; ++q)
            repeated[n] = q != n && !repeated[q] && parts[q].moments.area >= parts[n].moments.area &&
                          crowd_repeatsOver(crowd_describe(parts[q].moments), mine, shares[n] * mine.area);
    }
    return repeated;
}
