#include "cctrack/loop_finder.h"

#include <cmath>

#include "cctrack/turn_analyzer.h"

namespace {

const double turnThreshold = turn_pi / 8.0;
const double runThreshold = turnThreshold / 3.0;
const int minRunLength = 6;
const int minStretch = 10;

}  // namespace

loop_finder::loop_finder(int chainIndex, const std::vector<chain_point>& points, int width, int height, int border)
    : chainIndex_(chainIndex), points_(points), n_(int(points.size())), width_(width), height_(height),
      border_(border) {
    const int n = n_;
    if (n <= 0) return;
    if (closure(0, n) > 1.0f) {
        makeLoop(0, n);
        return;
    }
    corners_.push_back(0);
    int s = 0, peak = 0, runEnd = 0;
    while (nextCorner(s, peak, runEnd)) {
        corners_.push_back(peak);
        s = runEnd;
    }
    corners_.push_back(n);
    // The score of a stretch between a corner and any point is cheap to compute, so it is
    // evaluated where the selection needs it instead of being kept as a corners x n table.
    selectLoops(0, n);
}

int64_t loop_finder::gap(int i, int j) const {
    const chain_point& a = points_[size_t(i)];
    const chain_point& b = points_[size_t(j)];
    const int64_t dx = int64_t(a.x) - b.x, dy = int64_t(a.y) - b.y;
    return dx * dx + dy * dy;
}

bool loop_finder::nextCorner(int s, int& peakOut, int& runEndOut) const {
    const turn_analyzer turns(points_);
    const int n = n_;
    const int lower = turns.closed() ? -turn_analyzer::maxWindow : 0;
    for (int i = s; i < n; ++i) {
        double a = 0.0;
        if (!turns.angle(i, a) || std::fabs(a) <= turnThreshold) continue;
        int peak = i;
        double peakAngle = a;
        const bool positive = a >= 0.0;
        auto continuesRun = [&](double b) { return std::fabs(b) >= runThreshold && (b >= 0.0) == positive; };

        int runStart = s;
        for (int k = i - 1;; --k) {
            if (k < lower) {
                runStart = s;
                break;
            }
            double b = 0.0;
            if (!turns.angle(k, b)) {
                runStart = k + 1;
                break;
            }
            if (!continuesRun(b)) {
                runStart = k;
                break;
            }
        }

        int k = i + 1;
        for (; k < n; ++k) {
            double b = 0.0;
            if (!turns.angle(k, b) || !continuesRun(b)) break;
            if (std::fabs(b) > std::fabs(peakAngle)) {
                peak = k;
                peakAngle = b;
            }
        }
        const int runEnd = k;
        if (runEnd - runStart >= minRunLength) {
            peakOut = peak;
            runEndOut = runEnd;
            return true;
        }
    }
    return false;
}

bool loop_finder::awayFromBorder(const chain_point& p, int64_t d) const {
    const int64_t fx = p.x > width_ / 2 ? int64_t(width_) - p.x : int64_t(p.x);
    const int64_t fy = p.y > height_ / 2 ? int64_t(height_) - p.y : int64_t(p.y);
    const int64_t m = (fx < fy ? fx : fy) - border_;
    return m * m > d;
}

float loop_finder::closure(int lo, int hi) const {
    const int len = hi - lo;
    if (len < minStretch) return 0.0f;
    int64_t d = gap(lo, hi - 1);
    if (d == 0) d = 1;
    const bool inside = awayFromBorder(points_[size_t(lo)], d) && awayFromBorder(points_[size_t(hi - 1)], d);
    // l^2 / k^2 / d with k = 4 away from the border, else 50. Dividing by 16 is exact, so
    // multiplying by its inverse gives the same bits without a division.
    const double l = double(len);
    const double scaled = inside ? l * l * 0.0625 : l * l / 2500.0;
    return float(scaled / double(d));
}

float loop_finder::closureAt(int row, int t) const {
    const int c = corners_[size_t(row)];
    return c < t ? closure(c, t) : closure(t, c);
}

bool loop_finder::bestPair(int start, int to, int& lo, int& hi) const {
    const int entries = int(corners_.size());
    float best = 0.0f;
    int a = -1, b = -1;
    for (int k = 0; k < entries && corners_[size_t(k)] <= to; ++k) {
        if (corners_[size_t(k)] < start) continue;
        for (int l = 0; l < k; ++l) {
            if (corners_[size_t(l)] < start) continue;
            const float score = closureAt(k, corners_[size_t(l)]);
            if (score > best) {
                best = score;
                a = corners_[size_t(l)];
                b = corners_[size_t(k)];
            }
        }
    }
    if (!(best > 1.0f)) {
        for (int k = 0; k < entries && corners_[size_t(k)] <= to; ++k) {
            if (corners_[size_t(k)] < start) continue;
            for (int t = start; t < to; ++t) {
                const float score = closureAt(k, t);
                if (score > best) {
                    best = score;
                    a = corners_[size_t(k)];
                    b = t;
                }
            }
        }
        if (!(best > 1.0f)) return false;
    }
    lo = a < b ? a : b;
    hi = a < b ? b : a;
    return true;
}

void loop_finder::selectLoops(int from, int to) {
    // Each range first selects within the part left of its best stretch, then takes the
    // stretch and goes on to its right. The left parts nest as deep as there are loops,
    // so the nesting is kept on an explicit stack.
    struct range {
        int start, to;
        int lo = 0, hi = 0;
        bool pending = false;  // stretch (lo, hi) to take once its left part is done
    };
    std::vector<range> stack;
    stack.push_back({from, to});
    while (!stack.empty()) {
        range& r = stack.back();
        if (r.pending) {
            makeLoop(r.lo, r.hi);
            r.start = r.hi;
            r.pending = false;
        }
        int lo = 0, hi = 0;
        if (!bestPair(r.start, r.to, lo, hi)) {
            stack.pop_back();
            continue;
        }
        r.lo = lo;
        r.hi = hi;
        r.pending = true;
        const int start = r.start;
        stack.push_back({start, lo + 1});
    }
}

void loop_finder::makeLoop(int lo, int hi) {
    int64_t d = gap(lo, hi - 1);
    bool moved = true;
    while (moved) {
        moved = false;
        // Once the stretch is down to one point d is 0 and nothing can move any more;
        // the index checks only keep the comparisons inside the stretch.
        while (lo + 1 < hi && gap(hi - 1, lo + 1) < d) {
            d = gap(hi - 1, lo + 1);
            ++lo;
            moved = true;
        }
        for (int k = hi - 2; k >= lo && gap(k, lo) < d; --k) {
            d = gap(k, lo);
            --hi;
            moved = true;
        }
    }
    if (hi <= lo) return;
    const chain_point* base = points_.data();
    loops_.emplace_back(base + lo, base + hi, chainIndex_, n_);
    loopStarts_.push_back(lo);
}

int loop_finder::next(int from, alg::feature_loop& out) const {
    for (size_t i = 0; i < loops_.size(); ++i) {
        if (loopStarts_[i] >= from) {
            out.assign(loops_[i]);
            return loopStarts_[i] + loops_[i].pointCount();
        }
    }
    return n_;
}
