#include "crowd/crowd_posture.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

namespace {
constexpr int kLast = crowd_stations - 1;
constexpr int kAcross = 5, kDiagonal = 7;  // the steps of the distance inside a body, 1 and ~sqrt(2) times 5

double squared(double dx, double dy) { return dx * dx + dy * dy; }

// The standard deviation of grey values from their sum and sum of squares.
float spread(double n, double sum, double squares) {
    return n > 0 ? float(std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n)))) : 0.0f;
}

}  // namespace

double crowd_arcLength(const crowd_point* line, int count) {
    double arc = 0;
    for (int i = 1; i < count; ++i) arc += std::hypot(line[i].x - line[i - 1].x, line[i].y - line[i - 1].y);
    return arc;
}

void crowd_resample(const crowd_point* line, int count, double first, double step, crowd_point* out) {
    double from = 0, to = count > 1 ? std::hypot(line[1].x - line[0].x, line[1].y - line[0].y) : 0;
    for (int s = 0, j = 0; s < crowd_stations; ++s) {
        const double at = first + s * step;
        while (j + 2 < count && to < at) {
            ++j;
            from = to, to += std::hypot(line[j + 1].x - line[j].x, line[j + 1].y - line[j].y);
        }
        if (count < 2) {
            out[s] = line[0];
            continue;
        }
        const double t = to - from > 1e-9 ? (at - from) / (to - from) : 0.0;
        out[s] = {line[j].x + t * (line[j + 1].x - line[j].x), line[j].y + t * (line[j + 1].y - line[j].y)};
    }
}

int32_t crowd_typicalWeight(const std::vector<crowd_pixel>& pixels) {
    int64_t histogram[256] = {};
    for (const crowd_pixel& p : pixels) ++histogram[std::clamp(p.w, 0, 255)];
    int32_t typical = 0;
    for (int64_t seen = 0; typical < 255 && (seen + histogram[typical]) * 2 < int64_t(pixels.size()); ++typical)
        seen += histogram[typical];
    return std::max(typical, 1);
}

crowd_point crowd_body::centre() const {
    if (points == 1) return midline[0];
    double w = 0, x = 0, y = 0;
    for (int i = 0; i < crowd_stations; ++i) {
        const double h = std::max(halfWidth[i], 0.5f);
        w += h, x += h * midline[i].x, y += h * midline[i].y;
    }
    return {x / w, y / w};
}

crowd_body crowd_roundBody(double x, double y, double radius) {
    crowd_body b;
    b.midline[0] = {x, y};
    b.halfWidth[0] = float(radius);
    return b;
}

double crowd_bodyArea(const crowd_body& body) {
    if (body.points == 1) return std::numbers::pi * body.halfWidth[0] * body.halfWidth[0];
    double area = 0;
    for (int i = 0; i < kLast; ++i) area += (body.halfWidth[i] + body.halfWidth[i + 1]) * body.length / kLast;
    return area;
}

crowd_body crowd_straightBody(const float* halfWidth, double length, double balance) {
    crowd_body b;
    b.points = crowd_stations;
    b.length = length, b.balance = balance;
    for (int i = 0; i < crowd_stations; ++i) b.midline[i] = {length * i / kLast, 0}, b.halfWidth[i] = halfWidth[i];
    return b;
}

crowd_body crowd_longBody(const crowd_posture& posture, double dx, double dy) {
    crowd_body b;
    b.points = crowd_stations;
    for (int i = 0; i < crowd_stations; ++i) {
        b.midline[i] = {posture.midline[i].x + dx, posture.midline[i].y + dy};
        b.halfWidth[i] = posture.halfWidth[i];
    }
    b.length = posture.length;
    b.balance = posture.balance;
    return b;
}

crowd_line crowd_prepare(const crowd_body& body) {
    crowd_line line;
    for (int j = 0; j < crowd_stations; ++j) line.halfWidth[j] = body.halfWidth[j];
    for (int j = 0; j < kLast; ++j) {
        line.x[j] = body.midline[j].x, line.y[j] = body.midline[j].y;
        line.dx[j] = body.midline[j + 1].x - body.midline[j].x, line.dy[j] = body.midline[j + 1].y - body.midline[j].y;
        const double length2 = line.dx[j] * line.dx[j] + line.dy[j] * line.dy[j];
        line.inverse[j] = length2 > 0 ? 1 / length2 : 0;
        line.unit[j] = 1 / std::max(std::sqrt(length2), 1e-9);
    }
    return line;
}

crowd_place crowd_locate(const crowd_body& body, double x, double y) {
    if (body.points > 1) return crowd_locate(crowd_prepare(body), x, y);
    const double d = squared(x - body.midline[0].x, y - body.midline[0].y);
    return {std::sqrt(d), 0, 0, body.halfWidth[0], d};
}

void crowd_reverse(crowd_posture& posture, crowd_looks& looks) {
    posture.balance = posture.length - posture.balance;
    std::reverse(posture.midline, posture.midline + crowd_stations);
    std::reverse(posture.halfWidth, posture.halfWidth + crowd_stations);
    if (posture.elongated) std::reverse(looks.profile, looks.profile + crowd_stations);
}

crowd_rings::crowd_rings(double cx, double cy, double area)
    // Rings of equal area: the squared distance over that of the equivalent disc's rim.
    : cx_(cx), cy_(cy), scale_(crowd_stations / std::max(1.0, area / std::numbers::pi)) {}

void crowd_rings::finish(crowd_looks& looks) const {
    for (int i = 0; i < crowd_stations; ++i) looks.profile[i] = count_[i] > 0 ? float(sum_[i] / count_[i]) : 0.0f;
    looks.texture = spread(n_, all_, squares_);
}

void crowd_midliner::index(const std::vector<crowd_pixel>& pixels) {
    // The box with a border of one empty cell, so that no neighbour needs a bounds check.
    int32_t x1 = pixels[0].x, y1 = pixels[0].y;
    x0_ = x1, y0_ = y1;
    for (const crowd_pixel& p : pixels)
        x0_ = std::min(x0_, p.x), y0_ = std::min(y0_, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    x0_ -= 1, y0_ -= 1;
    w_ = x1 - x0_ + 2, h_ = y1 - y0_ + 2;
    cell_.assign(size_t(w_) * size_t(h_), -1);
    blank_.assign(size_t(w_) * size_t(h_), INT_MIN);
    cellOf_.resize(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i) {
        cellOf_[i] = (pixels[i].y - y0_) * w_ + (pixels[i].x - x0_);
        cell_[size_t(cellOf_[i])] = int32_t(i);
        blank_[size_t(cellOf_[i])] = INT_MAX;
    }
}

int32_t crowd_midliner::outermost(const std::vector<crowd_pixel>& pixels, double cx, double cy) const {
    double xx = 0, yy = 0, xy = 0;
    for (const crowd_pixel& p : pixels)
        xx += (p.x - cx) * (p.x - cx), yy += (p.y - cy) * (p.y - cy), xy += (p.x - cx) * (p.y - cy);
    const double angle = 0.5 * std::atan2(2 * xy, xx - yy), ux = std::cos(angle), uy = std::sin(angle);
    int32_t best = 0;
    double reach = -1e300;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const double along = (pixels[i].x - cx) * ux + (pixels[i].y - cy) * uy;
        if (along > reach) reach = along, best = int32_t(i);
    }
    return best;
}

// Dial's shortest paths: steps cost 5 or 7, so the 8 buckets of distances modulo 8 never
// hold two distances at once, and every pixel is settled once. The distances are kept by cell
// of the box, those off the body at INT_MIN, which no step improves: a neighbour costs one
// look.
int32_t crowd_midliner::sweep(int32_t from, std::vector<int32_t>& distance) {
    const int32_t steps[8] = {-1, 1, -w_, w_, -w_ - 1, -w_ + 1, w_ - 1, w_ + 1};
    reach_ = blank_;
    const int32_t start = cellOf_[size_t(from)];
    reach_[size_t(start)] = 0;
    buckets_[0].assign(1, start);
    int64_t pending = 1;
    int32_t farthest = start;
    for (int32_t d = 0; pending > 0; ++d) {
        std::vector<int32_t>& bucket = buckets_[d % 8];
        for (size_t b = 0; b < bucket.size(); ++b) {
            const int32_t c = bucket[b];
            --pending;
            if (reach_[size_t(c)] != d) continue;
            farthest = c;
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k) {
                const int32_t j = c + steps[k];
                const int32_t next = d + (k < 4 ? kAcross : kDiagonal);
                if (next >= reach_[size_t(j)]) continue;
                reach_[size_t(j)] = next;
                buckets_[next % 8].push_back(j);
                ++pending;
            }
        }
        bucket.clear();
    }
    distance.resize(cellOf_.size());
    for (size_t i = 0; i < cellOf_.size(); ++i) distance[i] = reach_[size_t(cellOf_[i])];
    return cell_[size_t(farthest)];
}

double crowd_midliner::ends(const std::vector<crowd_pixel>& pixels, double cx, double cy) {
    index(pixels);
    // The two ends: the pixel farthest inside the body from the outermost pixel along its
    // long axis, and the one farthest from that. The outermost pixel is most often the
    // other end already (a curled body's is not: then it is looked for).
    int32_t first = outermost(pixels, cx, cy);
    const int32_t last = sweep(first, fromB_);
    const int32_t farthest = sweep(last, fromA_);
    if (fromA_[size_t(farthest)] > fromA_[size_t(first)] + kAcross) {
        sweep(farthest, fromB_);
        first = farthest;
    }
    return fromA_[size_t(first)] / double(kAcross);
}

double crowd_midliner::length(const std::vector<crowd_pixel>& pixels) {
    if (pixels.empty()) return 0;
    double cx = 0, cy = 0;
    for (const crowd_pixel& p : pixels) cx += p.x, cy += p.y;
    return ends(pixels, cx / double(pixels.size()), cy / double(pixels.size()));
}

void crowd_midliner::measure(const std::vector<crowd_pixel>& pixels, crowd_posture& posture, crowd_looks& looks) {
    posture = crowd_posture{};
    looks = crowd_looks{};
    if (pixels.empty()) return;
    double cx = 0, cy = 0;
    for (const crowd_pixel& p : pixels) cx += p.x, cy += p.y;
    cx /= double(pixels.size()), cy /= double(pixels.size());
    const double length = ends(pixels, cx, cy);
    along_.resize(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i)
        along_[i] = fromA_[i] == INT_MAX || fromB_[i] == INT_MAX
                        ? -1.0
                        : std::clamp((fromA_[i] - fromB_[i]) / (2.0 * kAcross) + length / 2, 0.0, length);
    if (length >= 2 && outline(pixels, length, posture)) {
        searchWindows(pixels, posture.length);
        for (int round = 0; round < kRounds; ++round) centre(pixels, posture);
        describe(pixels, posture, looks);
    }
    if (!posture.elongated) {
        crowd_rings rings(cx, cy, double(pixels.size()));
        for (const crowd_pixel& p : pixels) rings.add(p.x, p.y, p.grey);
        rings.finish(looks);
    }
}

bool crowd_midliner::outline(const std::vector<crowd_pixel>& pixels, double length, crowd_posture& posture) {
    // Slices at least 3 pixels long: their centres and where along the body each lies.
    const int bins = std::clamp(int(length / 3), 2, 16);
    const double step = length / bins;
    struct slice {
        double w = 0, wx = 0, wy = 0, ws = 0;
    };
    std::vector<slice> cut(static_cast<size_t>(bins));
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (along_[i] < 0) continue;
        const crowd_pixel& p = pixels[i];
        slice& c = cut[size_t(std::clamp(int(along_[i] / step), 0, bins - 1))];
        const double w = std::max(p.w, 1);
        c.w += w, c.wx += w * p.x, c.wy += w * p.y, c.ws += w * along_[i];
    }
    // The line through the slices' centres, carried on straight to both ends of the body.
    // The end slices are left out where there are enough: near an end the distances from
    // both ends part the pixels along curves, and a blunt end's farthest pixel is a corner.
    std::vector<crowd_point> line;
    std::vector<double> at;
    for (size_t i = bins >= 6 ? 1 : 0; i < cut.size() - (bins >= 6 ? 1 : 0); ++i)
        if (cut[i].w > 0)
            line.push_back({cut[i].wx / cut[i].w, cut[i].wy / cut[i].w}), at.push_back(cut[i].ws / cut[i].w);
    if (line.size() < 2) return false;
    auto reach = [&](size_t i, size_t j, double s) {
        const double t = (s - at[i]) / std::max(at[j] - at[i], 1e-6);
        return crowd_point{line[i].x + t * (line[j].x - line[i].x), line[i].y + t * (line[j].y - line[i].y)};
    };
    const size_t last = line.size() - 1;
    const crowd_point head = reach(0, 1, 0.0), tail = reach(last - 1, last, length);
    line.insert(line.begin(), head);
    line.push_back(tail);
    posture.length = crowd_arcLength(line.data(), int(line.size()));
    crowd_resample(line.data(), int(line.size()), 0.0, posture.length / kLast, posture.midline);
    return true;
}

void crowd_midliner::searchWindows(const std::vector<crowd_pixel>& pixels, double length) {
    const size_t n = pixels.size();
    x_.resize(n), y_.resize(n), first_.resize(n), end_.resize(n), places_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        // The distances inside the body tell near which segment a pixel lies; two either side.
        const int guess = int(along_[i] / std::max(length, 1e-6) * kLast);
        x_[i] = pixels[i].x, y_[i] = pixels[i].y;
        first_[i] = std::clamp(guess - 2, 0, kLast - 1), end_[i] = std::clamp(guess + 3, 1, kLast);
    }
}

void crowd_midliner::locateAll(const crowd_line& line) {
    crowd_locateMany(line, x_.data(), y_.data(), first_.data(), end_.data(), x_.size(), places_.data());
}

void crowd_midliner::centre(const std::vector<crowd_pixel>& pixels, crowd_posture& posture) {
    // Each point moves across the body to the middle of the pixels whose nearest point of
    // the line lies closest to it (slices across the line), smoothed over its neighbours.
    const crowd_line line = crowd_prepare(crowd_longBody(posture, 0, 0));
    double weight[crowd_stations] = {}, across[crowd_stations] = {}, shift[crowd_stations];
    locateAll(line);
    for (size_t n = 0; n < pixels.size(); ++n) {
        const crowd_place& place = places_[n];
        const int station = std::clamp(int(place.along + 0.5), 0, kLast);
        weight[station] += 1, across[station] += place.across;
    }
    for (int i = 0; i < crowd_stations; ++i) across[i] = weight[i] > 0 ? across[i] / weight[i] : 0;
    crowd_point moved[crowd_stations];
    const crowd_point* m = posture.midline;
    for (int i = 0; i < crowd_stations; ++i) {
        shift[i] = (across[std::max(i - 1, 0)] + 2 * across[i] + across[std::min(i + 1, kLast)]) / 4;
        const crowd_point a = m[std::max(i - 1, 0)], c = m[std::min(i + 1, kLast)];
        const double norm = std::max(std::hypot(c.x - a.x, c.y - a.y), 1e-9);
        moved[i] = {m[i].x - (c.y - a.y) / norm * shift[i], m[i].y + (c.x - a.x) / norm * shift[i]};
    }
    const double arc = crowd_arcLength(moved, crowd_stations);
    crowd_resample(moved, crowd_stations, (arc - posture.length) / 2, posture.length / kLast, posture.midline);
}

void crowd_midliner::describe(const std::vector<crowd_pixel>& pixels, crowd_posture& posture, crowd_looks& looks) {
    const crowd_line line = crowd_prepare(crowd_longBody(posture, 0, 0));
    const double step = posture.length / kLast;
    const int32_t cap = crowd_typicalWeight(pixels);
    double count[crowd_stations] = {}, grey[crowd_stations] = {}, weight = 0, balance = 0, all = 0, squares = 0;
    locateAll(line);
    for (size_t n = 0; n < pixels.size(); ++n) {
        const crowd_pixel& p = pixels[n];
        const crowd_place& place = places_[n];
        const int station = std::clamp(int(place.along + 0.5), 0, kLast);
        const double w = std::clamp(p.w, 1, cap);
        ++count[station], grey[station] += p.grey;
        weight += w, balance += w * place.along * step;
        all += p.grey, squares += double(p.grey) * p.grey;
    }
    // The width at a point: its slice's pixels over the slice's length (half a step at the ends).
    for (int i = 0; i < crowd_stations; ++i) {
        const double span = i == 0 || i == kLast ? step / 2 : step;
        posture.halfWidth[i] = float(count[i] / std::max(span, 1e-6) / 2);
        looks.profile[i] = count[i] > 0 ? float(grey[i] / count[i]) : 0.0f;
    }
    posture.halfWidth[0] = std::min(posture.halfWidth[0], posture.halfWidth[1]);
    posture.halfWidth[kLast] = std::min(posture.halfWidth[kLast], posture.halfWidth[kLast - 1]);
    posture.balance = balance / std::max(weight, 1e-9);
    posture.width = double(pixels.size()) / std::max(posture.length, 1.0);
    posture.elongated = posture.length >= crowd_elongatedRatio * posture.width;
    looks.texture = spread(double(pixels.size()), all, squares);
}
