#include "crowd/crowd_place.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {
constexpr int kLast = crowd_stations - 1;
// Directions tried over half a turn: 11.25 degrees apart, so that the end of a 40 px body
// lies within 2 px of the best one; the fitting that follows turns it the rest of the way.
constexpr int kDirections = 16;
// Centres tried per body at most, spread evenly over the blob; the best is then refined
// pixel by pixel around it.
constexpr int64_t kCentres = 64;
// The widest lattice step around whose best centre every pixel is tried: a blob of up to 64
// lattice steps squared, about 16,000 pixels, more than any heap of animals holds (the arena's
// rim while the floor is guessed does).
constexpr int32_t kWidestSweep = 16;
// Rounds in which the bodies laid are each laid again with the others in place.
constexpr int kRelays = 2;

// A body laid straight lies along a direction, not a heading: turned end for end about its
// middle, when need be, so that its head lies the side `was`'s did. A track turned about
// takes its animal's tail for its head, and predicts it going backwards.
void keepHeading(const crowd_body& was, crowd_body& laid) {
    const crowd_point a = was.midline[0], b = was.midline[kLast], c = laid.midline[0], d = laid.midline[kLast];
    if ((b.x - a.x) * (d.x - c.x) + (b.y - a.y) * (d.y - c.y) >= 0) return;
    const crowd_point middle = laid.midline[kLast / 2];
    for (crowd_point& m : laid.midline) m = {2 * middle.x - m.x, 2 * middle.y - m.y};
}
}  // namespace

void crowd_placer::rasterise(const crowd_body& typical, std::vector<std::vector<run>>& runs) {
    const double length = typical.length, step = std::max(length / kLast, 1e-6);
    double widest = 0;
    for (int i = 0; i < crowd_stations; ++i) widest = std::max(widest, double(typical.halfWidth[i]));
    const int32_t reach = int32_t(std::ceil(length / 2 + widest)) + 1;
    runs.assign(kDirections, {});
    for (int d = 0; d < kDirections; ++d) {
        const double angle = std::numbers::pi * d / kDirections, c = std::cos(angle), s = std::sin(angle);
        std::vector<run>& rows = runs[size_t(d)];
        for (int32_t dy = -reach; dy <= reach; ++dy)
            for (int32_t dx = -reach; dx <= reach; ++dx) {
                const double along = (dx * c + dy * s + length / 2) / step, across = -dx * s + dy * c;
                if (along < 0 || along > kLast) continue;
                const int i = std::min(int(along), kLast - 1);
                const double half =
                    typical.halfWidth[i] + (along - i) * (typical.halfWidth[i + 1] - typical.halfWidth[i]);
                if (std::fabs(across) > half) continue;
                // A tail wider than the body before it leaves a row in two runs.
                if (!rows.empty() && rows.back().dy == dy && rows.back().dx1 == dx - 1)
                    rows.back().dx1 = dx;
                else
                    rows.push_back({dy, dx, dx});
            }
    }
}

namespace {
// Calls use(x, y) for each pixel within body b, on the blob or off it.
template <class Use>
void eachPixel(const crowd_body& b, const Use& use) {
    const crowd_line line = crowd_prepare(b);
    double half = 0, left = 1e300, right = -1e300, top = 1e300, bottom = -1e300;
    for (int i = 0; i < b.points; ++i) {
        half = std::max(half, double(b.halfWidth[i]));
        left = std::min(left, b.midline[i].x), right = std::max(right, b.midline[i].x);
        top = std::min(top, b.midline[i].y), bottom = std::max(bottom, b.midline[i].y);
    }
    for (int64_t y = int64_t(std::floor(top - half)); y <= int64_t(std::ceil(bottom + half)); ++y)
        for (int64_t x = int64_t(std::floor(left - half)); x <= int64_t(std::ceil(right + half)); ++x) {
            const bool in = b.points > 1 ? [&] {
                const crowd_place p = crowd_locate(line, double(x), double(y));
                return p.distance <= p.half;
            }()
                                         : std::hypot(x - b.midline[0].x, y - b.midline[0].y) <= b.halfWidth[0];
            if (in) use(x, y);
        }
}
}  // namespace

void crowd_placer::cover(const crowd_body& b, int16_t by) {
    int64_t top = INT64_MAX, bottom = INT64_MIN;
    eachPixel(b, [&](int64_t x, int64_t y) {
        if (x < x0_ || y < y0_ || x >= x0_ + width_ || y >= y0_ + height_) return;
        int16_t& s = state_[size_t((y - y0_) * width_ + (x - x0_))];
        if (s >= 0) s = int16_t(std::clamp(s + by, 0, int(INT16_MAX)));
        top = std::min(top, y - y0_), bottom = std::max(bottom, y - y0_);
    });
    if (top <= bottom) sumRows(top, bottom);
}

void crowd_placer::sumRows(int64_t y0, int64_t y1) {
    const size_t stride = size_t(width_) + 1;
    for (int64_t y = y0; y <= y1; ++y) {
        const int16_t* s = &state_[size_t(y) * size_t(width_)];
        int32_t* sums = &rowSums_[size_t(y) * stride];
        sums[0] = 0;
        for (int32_t x = 0; x < width_; ++x) sums[x + 1] = sums[x] + (s[x] == 0 ? 1 : s[x] < 0 ? -1 : 0);
    }
}

int64_t crowd_placer::gain(const crowd_body& b) const {
    int64_t sum = 0;
    eachPixel(b, [&](int64_t x, int64_t y) {
        const bool inBox = x >= x0_ && y >= y0_ && x < x0_ + width_ && y < y0_ + height_;
        const int16_t s = inBox ? state_[size_t((y - y0_) * width_ + (x - x0_))] : -1;
        sum += s == 0 ? 1 : s < 0 ? -1 : 0;
    });
    return sum;
}

int64_t crowd_placer::gain(const std::vector<run>& runs, int32_t cx, int32_t cy) const {
    // A pixel of the blob no body covers counts for, one off the blob against: the body
    // should lie on its own animal's pixels. Pixels other bodies cover count for nothing:
    // animals lie over each other. Pixels beyond the box are off the blob.
    const size_t stride = size_t(width_) + 1;
    int64_t sum = 0;
    for (const run& r : runs) {
        const int64_t y = int64_t(cy) + r.dy - y0_, length = int64_t(r.dx1) - r.dx0 + 1;
        const int64_t from = std::max<int64_t>(int64_t(cx) + r.dx0 - x0_, 0);
        const int64_t to = std::min<int64_t>(int64_t(cx) + r.dx1 - x0_, width_ - 1);
        if (y < 0 || y >= height_ || from > to) {
            sum -= length;
            continue;
        }
        const int32_t* sums = &rowSums_[size_t(y) * stride];
        sum += sums[to + 1] - sums[from] - (length - (to - from + 1));
    }
    return sum;
}

crowd_placer::spot crowd_placer::best(const std::vector<crowd_pixel>& pixels,
                                      const std::vector<std::vector<run>>& runs) const {
    // Centres on a lattice of the blob's pixels, at most kCentres of them, then pixel by
    // pixel around the best.
    const int32_t stride = int32_t(std::ceil(std::sqrt(double(pixels.size()) / kCentres)));
    spot top;
    top.x = pixels[0].x, top.y = pixels[0].y;
    auto consider = [&](int32_t x, int32_t y, int d) {
        const int64_t g = gain(runs[size_t(d)], x, y);
        if (g > top.gain) top = {g, x, y, d};
    };
    for (const crowd_pixel& p : pixels)
        if ((p.x - x0_) % stride == 0 && (p.y - y0_) % stride == 0)
            for (int d = 0; d < kDirections; ++d) consider(p.x, p.y, d);
    const spot lattice = top;
    if (stride > kWidestSweep) {
        // A blob larger than any heap (the arena's rim while the floor is guessed) would be
        // swept pixel by pixel over a window of stride squared: halving the step around the
        // best instead keeps a body's cost bounded however large the blob.
        for (int32_t step = stride / 2; step >= 1; step /= 2) {
            const spot around = top;
            for (int32_t dy = -step; dy <= step; dy += step)
                for (int32_t dx = -step; dx <= step; dx += step)
                    for (int d = around.direction - 1; d <= around.direction + 1; ++d)
                        consider(around.x + dx, around.y + dy, (d + kDirections) % kDirections);
        }
        return top;
    }
    for (int32_t y = lattice.y - stride + 1; y < lattice.y + stride; ++y)
        for (int32_t x = lattice.x - stride + 1; x < lattice.x + stride; ++x)
            for (int d = lattice.direction - 1; d <= lattice.direction + 1; ++d)
                consider(x, y, (d + kDirections) % kDirections);
    return top;
}

crowd_body crowd_placer::laid(const spot& at, const crowd_body& shape) {
    crowd_body b = shape;
    b.track = -1;
    const double angle = std::numbers::pi * at.direction / kDirections, c = std::cos(angle), s = std::sin(angle);
    for (int i = 0; i < crowd_stations; ++i) {
        const double along = b.length * (double(i) / kLast - 0.5);
        b.midline[i] = {at.x + along * c, at.y + along * s};
    }
    return b;
}

crowd_placer::spot crowd_placer::bestOfBoth(const std::vector<crowd_pixel>& pixels, bool& isLarger) const {
    const bool sizes = !largerRuns_.empty();
    const spot one = best(pixels, runs_), big = sizes ? best(pixels, largerRuns_) : spot{};
    isLarger = big.gain > one.gain;
    return isLarger ? big : one;
}

void crowd_placer::start(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                         const std::vector<crowd_body>& bodies) {
    x0_ = x0, y0_ = y0, width_ = x1 - x0 + 1, height_ = y1 - y0 + 1;
    state_.assign(size_t(width_) * size_t(height_), -1);
    for (const crowd_pixel& p : pixels) state_[size_t((p.y - y0_) * width_ + (p.x - x0_))] = 0;
    rowSums_.resize((size_t(width_) + 1) * size_t(height_));
    sumRows(0, height_ - 1);
    for (const crowd_body& b : bodies) cover(b, 1);
}

int crowd_placer::relay(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                        std::vector<crowd_body>& bodies, const std::vector<char>& suspect) {
    if (pixels.empty()) return -1;
    start(pixels, x0, y0, x1, y1, bodies);
    int chosen = -1;
    int64_t most = 0;
    crowd_body moved;
    for (size_t b = 0; b < bodies.size(); ++b) {
        if (!suspect[b] || bodies[b].points <= 1) continue;
        cover(bodies[b], -1);
        const int64_t held = gain(bodies[b]);
        const crowd_body shape = crowd_straightBody(bodies[b].halfWidth, bodies[b].length, bodies[b].balance);
        rasterise(shape, runs_);
        const spot at = best(pixels, runs_);
        if (at.gain - held > most) most = at.gain - held, chosen = int(b), moved = laid(at, shape);
        cover(bodies[b], 1);
    }
    if (chosen < 0) return chosen;
    const crowd_body& was = bodies[size_t(chosen)];
    keepHeading(was, moved);
    moved.track = was.track, bodies[size_t(chosen)] = moved;
    return chosen;
}

void crowd_placer::place(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                         int missing, const crowd_body& typical, std::vector<crowd_body>& bodies,
                         const crowd_body& larger, bool relay) {
    if (missing <= 0 || pixels.empty() || typical.points <= 1) return;
    start(pixels, x0, y0, x1, y1, bodies);
    rasterise(typical, runs_);
    largerRuns_.clear();
    if (larger.points > 1) rasterise(larger, largerRuns_);
    const size_t first = bodies.size();
    std::vector<spot> spots;
    std::vector<char> large;
    for (int m = 0; m < missing; ++m) {
        bool isLarger = false;
        spots.push_back(bestOfBoth(pixels, isLarger));
        large.push_back(isLarger);
        bodies.push_back(laid(spots.back(), isLarger ? larger : typical));
        cover(bodies.back(), 1);
    }
    // Laid one by one, the first may lie across two animals side by side (half of each is as
    // many pixels as one whole) and leave the next only slivers: each is laid again where it
    // gains most with the others in place, which puts both on their own animals.
    for (int round = 0; round < kRelays && missing > 1 && relay; ++round) {
        bool moved = false;
        for (size_t m = 0; m < spots.size(); ++m) {
            crowd_body& b = bodies[first + m];
            cover(b, -1);
            const int64_t held = gain(large[m] ? largerRuns_[size_t(spots[m].direction)]
                                               : runs_[size_t(spots[m].direction)],
                                      spots[m].x, spots[m].y);
            bool isLarger = false;
            const spot at = bestOfBoth(pixels, isLarger);
            if (at.gain > held) {
                spots[m] = at, large[m] = isLarger, moved = true;
                b = laid(at, isLarger ? larger : typical);
            }
            cover(b, 1);
        }
        if (!moved) break;
    }
}
