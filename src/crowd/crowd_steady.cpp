#include "crowd/crowd_steady.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "crowd/crowd_still.h"
#include "image/dib_access.h"

namespace {

using edge = crowd_steady::edge;

constexpr int kReach = 4;                  // whole pixels of shake searched either way
constexpr size_t kEdges = 4096;            // the steepest pixels measured
constexpr size_t kCoarseEdges = 512;       // of them, for the whole-pixel search and a camera standing still
constexpr double kMatters = 0.25;          // pixels of shift below which the frame is used as it is
constexpr int64_t kRechoose = 250;         // frames before the learned background's edges are chosen again
constexpr int64_t kRechooseLearning = 10;  // and while it is being learned
constexpr double kShakeMemory = 0.9;       // of the frames that moved, left per frame
constexpr double kJolt = 0.5;              // pixels of shift from one frame to the next that tell a camera shakes
constexpr double kShaking = 3;             // from this many frames that jumped by as much, remembered
constexpr double kStill = 0.1;             // and until the frames moved by enough to matter are down to this
constexpr int kKnocked = 6;                // frames in a row after a jump that held its shift of half a pixel or more
constexpr double kHeld = 0.2;              // pixels within which each of them lies where the last one did
constexpr int kKnockedLearning = 8;        // and while the background is learned, a pixel or more
constexpr int64_t kRepaint = 250;          // frames before what a host painted over is looked for again
constexpr float kSteep = 16;               // a squared slope (grey levels per pixel) beyond the sensor's noise
constexpr double kTie = 1.1;               // a shift's differences against no shift's, that no shift keeps
constexpr double kDistinctNear = 0.75;     // the last frame's shift's mismatch against its best neighbour's
constexpr double kDistinct = 0.6;          // the best whole-pixel shift's differences against a typical shift's
constexpr double kUsual = 1.25;            // a still frame's mismatch against the last measured still one's
constexpr size_t kFewest = 64;             // edge pixels seen, fewer of which tell no shift
constexpr double kAgree = 1.1;             // a quarter's mismatch with the shift against without it, at most
constexpr double kFit = 12;                // grey levels within which a steadied pixel is the reference's

// Grey values of an image of any pixel size, its border repeated beyond it; where `hidden`
// (null: nowhere) marks them, they show nothing of the reference.
template <class P>
struct greyReader {
    dib_access<P> in;
    int32_t w, h;
    const uint8_t* hidden = nullptr;
    explicit greyReader(const dib_base& image, const uint8_t* hiddenAt = nullptr)
        : in(image), w(image.width), h(image.absHeight()), hidden(hiddenAt) {}
    bool seen(double x, double y) const {
        const int32_t px = int32_t(std::floor(x)), py = int32_t(std::floor(y));
        return px >= 0 && py >= 0 && px + 1 < w && py + 1 < h &&
               (!hidden || !hidden[size_t(py) * size_t(w) + size_t(px)]);
    }
    int at(int32_t x, int32_t y) const { return grey(in.row(std::clamp(y, 0, h - 1))[std::clamp(x, 0, w - 1)]); }
    double between(double x, double y) const {
        const double fx = std::floor(x), fy = std::floor(y), ax = x - fx, ay = y - fy;
        const int32_t x0 = int32_t(fx), y0 = int32_t(fy);
        return (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0)) +
               ay * ((1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1));
    }
};

// What a host painted over with one grey value (outside a drawn arena): pixels of one value
// with no noise around them, reached from the frame's border through such pixels alone (a
// clipped white or black is the sensor's and is left alone; a stretch of floor a codec left
// flat lies inside). It stays where the frame is however the camera moves: its edges would
// hold the shift at nothing, and read back at the reference's place it would lie over the floor.
std::vector<uint8_t> paintedOver(const dib_base& r) {
    const int32_t w = r.width, h = r.absHeight();
    const auto flat = [&](int32_t x, int32_t y) {
        if (x < 1 || y < 1 || x + 1 >= w || y + 1 >= h) return false;
        const uint8_t v = r.row(y)[x];
        if (v == 0 || v == 255) return false;
        for (int32_t k = -1; k <= 1; ++k)
            for (int32_t j = -1; j <= 1; ++j)
                if (r.row(y + k)[x + j] != v) return false;
        return true;
    };
    std::vector<uint8_t> painted(size_t(w) * size_t(h), 0);
    std::vector<std::array<int32_t, 2>> todo;
    const auto reach = [&](int32_t x, int32_t y) {
        if (!flat(x, y) || painted[size_t(y) * size_t(w) + size_t(x)]) return;
        painted[size_t(y) * size_t(w) + size_t(x)] = 1;
        todo.push_back({x, y});
    };
    for (int32_t x = 1; x + 1 < w; ++x) reach(x, 1), reach(x, h - 2);
    for (int32_t y = 1; y + 1 < h; ++y) reach(1, y), reach(w - 2, y);
    while (!todo.empty()) {
        const auto [x, y] = todo.back();
        todo.pop_back();
        reach(x - 1, y), reach(x + 1, y), reach(x, y - 1), reach(x, y + 1);
    }
    return painted;
}

// The mean of the smaller half of the differences' distances from their median. The
// differences are of grey values, a few hundred apart at most: the order is counted by value.
double halfSpread(const std::vector<int>& d) {
    const auto [low, high] = std::minmax_element(d.begin(), d.end());
    const int first = *low;
    std::vector<int64_t> count(size_t(*high - first) + 1), spread(count.size());
    for (const int v : d) ++count[size_t(v - first)];
    const int64_t half = int64_t(d.size() / 2);
    size_t median = 0;
    for (int64_t below = 0; below + count[median] <= half; ++median) below += count[median];
    for (size_t v = 0; v < count.size(); ++v) spread[v > median ? v - median : median - v] += count[v];
    int64_t sum = 0, left = half;
    for (size_t s = 0; left > 0; ++s) {
        const int64_t taken = std::min(left, spread[s]);
        sum += taken * int64_t(s), left -= taken;
    }
    return double(sum) / double(half);
}

// How far the frame at a whole-pixel shift lies from the reference: over the edge pixels it
// shows, the grey differences from their median, the better-matching half of them averaged.
// Animals lie on many edge pixels of a wall they keep to, and at no shift do those match.
template <class R>
double mismatch(const R& f, const std::vector<edge>& edges, int kx, int ky, std::vector<int>& d) {
    d.clear();
    for (size_t i = 0; i < edges.size(); ++i)
        if (f.seen(edges[i].x + kx, edges[i].y + ky))
            d.push_back(f.at(edges[i].x + kx, edges[i].y + ky) - int(edges[i].value));
    if (d.size() < kFewest) return std::numeric_limits<double>::max();
    return halfSpread(d);
}

// The best whole-pixel shift. The last frame's is kept where it is clearly better than its
// neighbours (a camera that stands still, or moved little), at a ninth of the search. Else
// every shift within `reach`: no shift is kept unless another is clearly better, and none is
// found when the best is not well below the typical shift's mismatch (the edges are the noise
// of a plain floor, or animals that all moved alike: at no shift do they line up).
template <class R>
bool coarse(const R& f, const std::vector<edge>& edges, int reach, std::array<int, 2> from, std::array<int, 2>& at) {
    std::vector<int> d;
    double around = std::numeric_limits<double>::max();
    for (int k = 0; k < 9; ++k)
        if (k != 4) around = std::min(around, mismatch(f, edges, from[0] + k % 3 - 1, from[1] + k / 3 - 1, d));
    if (mismatch(f, edges, from[0], from[1], d) <= kDistinctNear * around) {
        at = from;
        return true;
    }
    std::vector<double> costs;
    for (int ring = 0; ring <= reach; ++ring)
        for (int ky = -ring; ky <= ring; ++ky)
            for (int kx = -ring; kx <= ring; ++kx) {
                if (std::max(std::abs(kx), std::abs(ky)) != ring) continue;
                const double cost = mismatch(f, edges, kx, ky, d);
                if (costs.empty() || cost < *std::min_element(costs.begin(), costs.end())) at = {kx, ky};
                costs.push_back(cost);
            }
    const double best = *std::min_element(costs.begin(), costs.end());
    // A floor of a repeating pattern (a mesh, a grid) matches itself a period away: no shift
    // unless one is clearly better.
    if (costs[0] <= kTie * best) at = {0, 0};
    std::nth_element(costs.begin(), costs.begin() + ptrdiff_t(costs.size() / 2), costs.end());
    return best <= kDistinct * costs[costs.size() / 2];
}

// Solves the 4x4 system `a` p = `b` by elimination with the largest pivot; false when singular.
bool solve4(std::array<std::array<double, 5>, 4> a, std::array<double, 4>& p) {
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::abs(a[size_t(r)][size_t(c)]) > std::abs(a[size_t(pivot)][size_t(c)])) pivot = r;
        if (!(std::abs(a[size_t(pivot)][size_t(c)]) > 1e-9)) return false;
        std::swap(a[size_t(c)], a[size_t(pivot)]);
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double k = a[size_t(r)][size_t(c)] / a[size_t(c)][size_t(c)];
            for (int j = c; j < 5; ++j) a[size_t(r)][size_t(j)] -= k * a[size_t(c)][size_t(j)];
        }
    }
    for (int r = 0; r < 4; ++r) p[size_t(r)] = a[size_t(r)][4] / a[size_t(r)][size_t(r)];
    return true;
}

// The frame's grey at each edge pixel moved by the shift as the reference's under a gain and an
// offset, plus the reference's slopes times the shift still missing: p = gain, offset, and the
// missing shift each way times the gain. Least squares, each pixel weighted.
bool fitLight(const std::vector<edge>& edges, const std::vector<float>& seen, const std::vector<float>& weight,
              std::array<double, 4>& p) {
    std::array<std::array<double, 5>, 4> a{};
    for (size_t i = 0; i < edges.size(); ++i) {
        if (weight[i] <= 0) continue;
        const double phi[4] = {edges[i].value, 1.0, edges[i].gx, edges[i].gy};
        for (size_t r = 0; r < 4; ++r) {
            for (size_t c = 0; c < 4; ++c) a[r][c] += weight[i] * phi[r] * phi[c];
            a[r][4] += weight[i] * phi[r] * seen[i];
        }
    }
    return solve4(a, p);
}

// Weights for the next fit: Tukey's, at three times the residuals' spread, so that the pixels
// an animal lies on count for nothing.
void reweigh(const std::vector<edge>& edges, const std::vector<float>& seen, const std::array<double, 4>& p,
             std::vector<float>& weight) {
    std::vector<float> residual(edges.size());
    for (size_t i = 0; i < edges.size(); ++i)
        residual[i] = float(seen[i] - (p[0] * edges[i].value + p[1] + p[2] * edges[i].gx + p[3] * edges[i].gy));
    std::vector<float> size(residual.size());
    std::transform(residual.begin(), residual.end(), size.begin(), [](float r) { return std::abs(r); });
    std::nth_element(size.begin(), size.begin() + ptrdiff_t(size.size() / 2), size.end());
    const double limit = 3 * std::max(1.0, 1.4826 * size[size.size() / 2]);
    for (size_t i = 0; i < edges.size(); ++i) {
        const double u = residual[i] / limit;
        weight[i] = std::abs(u) < 1 ? float((1 - u * u) * (1 - u * u)) : 0.0f;
    }
}

// From a whole-pixel start, the shift between pixels: a few rounds of reading the frame at the
// shift so far and fitting what is still missing.
template <class R>
bool refine(const R& f, const std::vector<edge>& edges, crowd_shift& s, std::array<double, 4>& p) {
    std::vector<float> seen(edges.size()), weight(edges.size());
    std::vector<uint8_t> shown(edges.size());
    const auto read = [&] {
        for (size_t i = 0; i < edges.size(); ++i) {
            shown[i] = f.seen(edges[i].x + s.x, edges[i].y + s.y);
            seen[i] = float(f.between(edges[i].x + s.x, edges[i].y + s.y));
        }
    };
    const auto hide = [&] {
        for (size_t i = 0; i < edges.size(); ++i) weight[i] *= shown[i];
    };
    read();
    std::fill(weight.begin(), weight.end(), 1.0f);
    hide();
    // A first fit of every pixel tells which ones the animals lie on.
    if (!fitLight(edges, seen, weight, p)) return false;
    reweigh(edges, seen, p, weight);
    hide();
    for (int round = 0; round < 6; ++round) {
        if (!fitLight(edges, seen, weight, p) || !(p[0] > 0.2 && p[0] < 5)) return false;
        const double dx = std::clamp(p[2] / p[0], -1.0, 1.0), dy = std::clamp(p[3] / p[0], -1.0, 1.0);
        s.x -= dx, s.y -= dy;
        if (std::hypot(dx, dy) < 0.01) return true;
        read();
        reweigh(edges, seen, {p[0], p[1], 0, 0}, weight);
        hide();
    }
    return true;
}

// One row's grey values from `dx` pixels on, the row's ends repeated beyond it, one more
// than the row holds.
template <class P>
void greyRow(const P* row, int32_t w, int32_t dx, std::vector<uint32_t>& out) {
    out.resize(size_t(w) + 1);
    // The columns read from inside the row, [inside, outside), need no clamping.
    const int32_t inside = std::clamp(-dx, 0, w + 1), outside = std::clamp(w - dx, inside, w + 1);
    for (int32_t x = 0; x < inside; ++x) out[size_t(x)] = uint32_t(grey(row[std::clamp(x + dx, 0, w - 1)]));
    for (int32_t x = inside; x < outside; ++x) out[size_t(x)] = uint32_t(grey(row[x + dx]));
    for (int32_t x = outside; x <= w; ++x) out[size_t(x)] = uint32_t(grey(row[std::clamp(x + dx, 0, w - 1)]));
}

// How far the frame, read at `s` between pixels under its light, lies from the reference at
// the edge pixels of one quarter of the picture (by the side of (cx, cy) each way): the
// better-matching half of the differences, averaged; negative where it shows too few.
template <class R>
double quarterMismatch(const R& f, const std::vector<edge>& edges, crowd_shift s, int quarter, double cx, double cy) {
    std::vector<double> d;
    for (const edge& e : edges)
        if ((e.x < cx ? 0 : 1) + (e.y < cy ? 0 : 2) == quarter && f.seen(e.x + s.x, e.y + s.y))
            d.push_back(std::abs(f.between(e.x + s.x, e.y + s.y) - (s.gain * e.value + s.offset)));
    if (d.size() < kFewest) return -1;
    const auto half = d.begin() + ptrdiff_t(d.size() / 2);
    std::nth_element(d.begin(), half, d.end());
    double sum = 0;
    for (auto v = d.begin(); v != half; ++v) sum += *v;
    return sum / double(d.size() / 2);
}

// Per quarter of the picture (split at the edges' centre), how far the frame lies from the
// reference with the shift and without it (negative where the quarter shows too few edges).
template <class R>
std::array<std::array<double, 2>, 4> quarters(const R& f, const std::vector<edge>& edges, crowd_shift s) {
    double cx = 0, cy = 0;
    for (const edge& e : edges) cx += e.x, cy += e.y;
    cx /= double(edges.size()), cy /= double(edges.size());
    crowd_shift none = s;
    none.x = none.y = 0;
    std::array<std::array<double, 2>, 4> mismatches{};
    for (int quarter = 0; quarter < 4; ++quarter)
        mismatches[size_t(quarter)] = {quarterMismatch(f, edges, s, quarter, cx, cy),
                                       quarterMismatch(f, edges, none, quarter, cx, cy)};
    return mismatches;
}

// A camera's shift moves every quarter of the picture alike: in none may the frame match the
// reference worse than with no shift at all. A heap of animals that crept along in the
// reference's edges moves one place alone.
bool everywhere(const std::array<std::array<double, 2>, 4>& mismatches) {
    for (const auto& [moved, still] : mismatches)
        if (moved >= 0 && still >= 0 && moved > kAgree * still) return false;
    return true;
}

// Whether the frame moved whole: in three quarters at least it matches better with the shift.
bool whole(const std::array<std::array<double, 2>, 4>& mismatches) {
    int better = 0;
    for (const auto& [moved, still] : mismatches) better += moved >= 0 && still >= 0 && moved < still;
    return better >= 3;
}

template <class P>
void readShifted(const dib_base& frame, crowd_shift s, dib_base& out) {
    const greyReader<P> f(frame);
    const double fx = std::floor(s.x), fy = std::floor(s.y);
    const int32_t ix = int32_t(fx), iy = int32_t(fy);
    const uint32_t ax = uint32_t(std::lround((s.x - fx) * 256)), ay = uint32_t(std::lround((s.y - fy) * 256));
    const uint32_t w00 = (256 - ax) * (256 - ay), w10 = ax * (256 - ay), w01 = (256 - ax) * ay, w11 = ax * ay;
    std::vector<uint32_t> top, bottom;
    int32_t bottomRow = -1;
    for (int32_t y = 0; y < f.h; ++y) {
        const int32_t y0 = std::clamp(y + iy, 0, f.h - 1), y1 = std::clamp(y + iy + 1, 0, f.h - 1);
        if (y0 == bottomRow)
            std::swap(top, bottom);
        else
            greyRow(f.in.row(y0), f.w, ix, top);
        greyRow(f.in.row(y1), f.w, ix, bottom);
        bottomRow = y1;
        uint8_t* o = out.row(y);
        const uint32_t *t = top.data(), *b = bottom.data();
        for (int32_t x = 0; x < f.w; ++x)
            o[x] = uint8_t((w00 * t[x] + w10 * t[x + 1] + w01 * b[x] + w11 * b[x + 1] + 32768) >> 16);
    }
}

}  // namespace

bool crowd_measureShift(const dib_base& frame, const std::vector<uint8_t>& hidden, const std::vector<edge>& edges,
                        int reach, crowd_shift& shift, double& usual, bool* movedWhole) {
    if (movedWhole) *movedWhole = false;
    if (edges.empty()) return false;
    return dib_access_dispatch1(frame, [&](auto tag) {
        using P = typename decltype(tag)::type;
        const greyReader<P> f(frame, hidden.empty() ? nullptr : hidden.data());
        std::array<int, 2> start{};
        const std::array<int, 2> from{int(std::lround(std::clamp(shift.x, -double(reach), double(reach)))),
                                      int(std::lround(std::clamp(shift.y, -double(reach), double(reach))))};
        // A share of the edges first: a camera that stands still is told by them alone, and
        // where it stood still on the last frame, by their mismatch alone.
        std::vector<edge> few;
        for (size_t i = 0; i < edges.size(); i += std::max<size_t>(1, edges.size() / kCoarseEdges))
            few.push_back(edges[i]);
        std::vector<int> d;
        const bool stood = usual > 0 && std::hypot(shift.x, shift.y) < kMatters / 2;
        if (stood && mismatch(f, few, from[0], from[1], d) <= kUsual * usual) return true;
        if (!coarse(f, few, reach, from, start)) return false;
        shift = {double(start[0]), double(start[1])};
        std::array<double, 4> light{};
        if (!refine(f, few, shift, light)) return false;
        const bool still = std::hypot(shift.x, shift.y) < kMatters / 2;
        if (still) usual = mismatch(f, few, 0, 0, d);
        if ((!still && !refine(f, edges, shift, light)) || std::abs(shift.x) > reach + 1 ||
            std::abs(shift.y) > reach + 1)
            return false;
        shift.gain = light[0], shift.offset = light[1];
        // Most of the reference's edges the frame shows must be where the shift puts them:
        // animals that moved on a floor with no structure of its own tell no shift of the camera.
        size_t fit = 0, shown = 0;
        for (const edge& e : still ? few : edges) {
            if (!f.seen(e.x + shift.x, e.y + shift.y)) continue;
            ++shown;
            fit += std::abs(f.between(e.x + shift.x, e.y + shift.y) - (light[0] * e.value + light[1])) <= kFit;
        }
        if (shown < kFewest || fit < shown / 2) return false;
        if (still) return true;
        const auto mismatches = quarters(f, edges, shift);
        if (movedWhole) *movedWhole = whole(mismatches);
        return everywhere(mismatches);
    });
}

void crowd_readShifted(const dib_base& frame, crowd_shift shift, dib_base& out) {
    dib_access_dispatch1(frame, [&](auto tag) { readShifted<typename decltype(tag)::type>(frame, shift, out); });
}

void crowd_steady::restart() {
    edges_.clear();
    frames_ = chosenAt_ = 0;
    shift_ = measured_ = toldShift_ = {};
    usual_ = 0;
    jolts_ = moves_ = 0;
    asideFor_ = -1;
    heldPaint_ = 0;
    toldLast_ = false;
    shaking_ = false;
    usable_ = chosenLearned_ = false;
}

// The steepest pixels of the reference away from its border and from what was `painted` over,
// and whether their slopes run enough ways to tell a shift along both axes.
void crowd_steady::choose(const dib_base& r, const std::vector<uint8_t>& painted) {
    const int32_t w = r.width, h = r.absHeight(), margin = kReach + 2;
    edges_.clear();
    usable_ = false;
    if (w <= 2 * margin || h <= 2 * margin) return;
    for (int32_t y = margin; y < h - margin; ++y) {
        const uint8_t *up = r.row(y - 1), *at = r.row(y), *down = r.row(y + 1);
        for (int32_t x = margin; x < w - margin; ++x) {
            const float gx = (at[x + 1] - at[x - 1]) / 2.0f, gy = (down[x] - up[x]) / 2.0f;
            // Chosen by the slope across three rows or columns: a wall or a stain, whose edge
            // runs on, rather than the floor's grain, which read between pixels leans to whole ones.
            const float sx = float(up[x + 1] - up[x - 1] + 2 * (at[x + 1] - at[x - 1]) + down[x + 1] - down[x - 1]) / 8,
                        sy = float(down[x - 1] - up[x - 1] + 2 * (down[x] - up[x]) + down[x + 1] - up[x + 1]) / 8;
            if (sx * sx + sy * sy >= kSteep && !painted[size_t(y) * size_t(w) + size_t(x)])
                edges_.push_back({x, y, float(at[x]), gx, gy, sx * sx + sy * sy});
        }
    }
    const auto steeper = [](const edge& a, const edge& b) { return a.steep > b.steep; };
    if (edges_.size() > kEdges) {
        std::nth_element(edges_.begin(), edges_.begin() + ptrdiff_t(kEdges), edges_.end(), steeper);
        edges_.resize(kEdges);
    }
    double xx = 0, yy = 0, xy = 0;
    for (const edge& e : edges_) xx += e.gx * e.gx, yy += e.gy * e.gy, xy += e.gx * e.gy;
    const double half = (xx + yy) / 2, spread = std::sqrt(std::max(0.0, half * half - (xx * yy - xy * xy)));
    usable_ = edges_.size() >= kFewest && half - spread >= 0.05 * (half + spread);
}

bool crowd_steady::steady(const dib_base& frame, const dib_base* reference, bool learned, dib_base& steadied) {
    shift_ = {};
    if (!reference) return false;
    // What a host paints over is the same in every frame, where the frame is: it is looked for
    // now and then. The background, learned from frames steadied by shifts up to the farthest
    // measured, holds it that far beyond.
    if (frames_ % kRepaint == 0) {
        crowd_readShifted(frame, {}, steadied);
        painted_ = paintedOver(steadied);
        hidden_ = crowd_grown(painted_, steadied.width, steadied.absHeight(), 2);
        paintedThere_.clear();
    }
    ++frames_;
    // While it is learned the background changes with each sample; after, it follows slowly.
    if (frames_ == 1 || learned != chosenLearned_ || frames_ - chosenAt_ >= (learned ? kRechoose : kRechooseLearning)) {
        choose(*reference, hidden_);
        chosenLearned_ = learned, chosenAt_ = frames_, usual_ = 0;
    }
    const crowd_shift last = measured_;
    crowd_shift s = last;
    bool movedWhole = false;
    const bool told = usable_ && crowd_measureShift(frame, hidden_, edges_, kReach, s, usual_, &movedWhole);
    if (!told) s = {}, usual_ = 0;
    measured_ = s;
    // A camera shakes once several frames in a short while jumped by half a pixel or more from
    // the last (a tremor, a jolt); one knocked aside once jumps, then stands still again
    // elsewhere, frame after frame at the shift it jumped to. Either is steadied until no frame
    // moved by a quarter of a pixel for a while. A still camera's measure may creep by most of a
    // pixel where heaps of animals the background held crawl off, but it creeps, never jumps;
    // and where the background holds animals and their shadows it may jump off by half a pixel
    // for a dozen frames while the background is learned, or by two or three for four frames
    // after, wandering a tenth to a third of a pixel from frame to frame where a knocked
    // camera's stays within a twentieth; and a knock moves the whole picture. Its frames stay
    // as they are. While the camera shakes every frame is read back, however little it moved:
    // one left as it is by a fifth of a pixel would show the wall's edge off the background's,
    // and what a host painted over where the background no longer holds it.
    const double off = std::hypot(s.x, s.y), far = learned ? kJolt : 2 * kJolt;
    const double fromTold = std::hypot(s.x - toldShift_.x, s.y - toldShift_.y);
    const bool jolted = told && toldLast_ && std::hypot(s.x - last.x, s.y - last.y) >= kJolt;
    const bool jumped = told && fromTold >= kJolt, stayed = told && fromTold < kHeld && off >= far;
    toldLast_ = told;
    if (told) toldShift_ = s;
    jolts_ = kShakeMemory * jolts_ + (jolted ? 1 : 0);
    moves_ = kShakeMemory * moves_ + (off >= kMatters ? 1 : 0);
    if (jumped)
        asideFor_ = off >= far && movedWhole ? 0 : -1;
    else
        asideFor_ = stayed && asideFor_ >= 0 ? asideFor_ + 1 : -1;
    shaking_ = shaking_ ? moves_ >= kStill : jolts_ >= kShaking || asideFor_ >= (learned ? kKnocked : kKnockedLearning);
    if (!shaking_) return false;
    holdPaint(s, learned, frame.width, frame.absHeight());
    crowd_readShifted(frame, s, steadied);
    fillUnseen(*reference, s, steadied);
    shift_ = s;
    return true;
}

// The background learned from frames steadied holds the paint as far as they were shifted.
void crowd_steady::holdPaint(crowd_shift s, bool learned, int32_t w, int32_t h) {
    const int farthest = int(std::ceil(std::max(std::abs(s.x), std::abs(s.y))));
    const int held = learned ? heldPaint_ : std::max(heldPaint_, farthest);
    if (held == heldPaint_ && !paintedThere_.empty()) return;
    heldPaint_ = held;
    paintedThere_ = crowd_grown(painted_, w, h, 1 + heldPaint_);
}

// Where the frame shows nothing of the reference's place (beyond its border, or what a host
// painted over: there in the frame, or here where the reference was learned), the reference stands in, under the
// frame's light: nothing there is an object.
void crowd_steady::fillUnseen(const dib_base& reference, crowd_shift s, dib_base& steadied) const {
    const int32_t w = reference.width, h = reference.absHeight();
    const int32_t dx = int32_t(std::lround(s.x)), dy = int32_t(std::lround(s.y));
    // The reference's grey under the frame's light, by grey.
    uint8_t lit[256];
    for (int v = 0; v < 256; ++v) lit[v] = uint8_t(std::clamp(std::lround(s.gain * v + s.offset), 0l, 255l));
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* r = reference.row(y);
        uint8_t* out = steadied.row(y);
        const bool rowSeen = y + dy - 1 >= 0 && y + dy + 1 < h;
        for (int32_t x = 0; x < w; ++x) {
            const bool seen = rowSeen && x + dx - 1 >= 0 && x + dx + 1 < w &&
                              !paintedThere_[size_t(y) * size_t(w) + size_t(x)] &&
                              !hidden_[size_t(y + dy) * size_t(w) + size_t(x + dx)];
            if (!seen) out[x] = lit[r[x]];
        }
    }
}
