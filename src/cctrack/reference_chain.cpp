#include "cctrack/reference_chain.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace {

constexpr std::size_t candidateCount = 5;  // longest chains considered
constexpr std::size_t splitMargin = 20;    // both parts of a split keep more points than this

int64_t squaredDistance(const chain_point& a, const chain_point& b) {
    const int64_t dx = int64_t(a.x) - b.x, dy = int64_t(a.y) - b.y;
    return dx * dx + dy * dy;
}

// The longest chains, longest first; of equally long ones the earlier.
chain_list longestChains(const chain_list& chains) {
    std::vector<bool> used(chains.size(), false);
    chain_list taken;
    const std::size_t k = std::min(candidateCount, chains.size());
    for (std::size_t t = 0; t < k; ++t) {
        std::size_t longest = chains.size();
        for (std::size_t i = 0; i < chains.size(); ++i)
            if (!used[i] && (longest == chains.size() || chains[i].points.size() > chains[longest].points.size()))
                longest = i;
        used[longest] = true;
        taken.push_back(chains[longest]);
    }
    return taken;
}

// A chain whose ends are closer than two thirds of its length has turned back on itself:
// cut it where it reaches farthest in x from both ends, if both parts stay long.
void splitCurled(chain_list& t) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        const std::vector<chain_point>& pts = t[i].points;
        const std::size_t n = pts.size();
        if (n == 0) continue;
        const chain_point f = pts.front(), l = pts.back();
        if (squaredDistance(f, l) >= (4 * int64_t(n) * int64_t(n)) / 9) continue;
        int64_t farthest = 0;
        std::size_t m = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const int64_t reach = std::abs(int64_t(pts[k].x) - f.x) + std::abs(int64_t(pts[k].x) - l.x);
            if (reach > farthest) farthest = reach, m = k;
        }
        if (farthest == 0 || m <= splitMargin || n - m <= splitMargin) continue;
        chain tail;
        tail.points.assign(pts.begin() + std::ptrdiff_t(m), pts.end());
        t[i].points.resize(m);
        t.push_back(std::move(tail));
    }
}

// Drops chains that do not run mostly sideways (and chains without points).
void dropCurled(chain_list& t) {
    for (std::size_t i = t.size(); i-- > 0;) {
        const std::vector<chain_point>& pts = t[i].points;
        const int64_t n = int64_t(pts.size());
        if (n == 0 || std::abs(int64_t(pts.front().x) - pts.back().x) < (2 * n) / 3)
            t.erase(t.begin() + std::ptrdiff_t(i));
    }
}

// Copies the points of `from` onto the columns up to its last x, starting at column `col`:
// the first point of each column, in chain order, is taken; columns without one keep row y.
void fillFrom(const chain& from, int& col, int& y, int width, chain& out) {
    std::size_t cursor = 0;
    const std::vector<chain_point>& pts = from.points;
    for (const int last = std::min(pts.back().x, width - 1); col <= last; ++col) {
        while (cursor < pts.size() && pts[cursor].x < col) ++cursor;
        chain_point p{0, col, y};
        if (cursor < pts.size() && pts[cursor].x == col) {
            p = pts[cursor++];
            y = p.y;
        }
        if (col >= 0) {
            out.strength += p.strength;
            out.points[std::size_t(col)] = p;
        }
    }
}

void fillFlat(int& col, int until, int y, int width, chain& out) {
    for (until = std::min(until, width); col < until; ++col)
        if (col >= 0) out.points[std::size_t(col)] = chain_point{0, col, y};
}

}  // namespace

void buildReferenceChain(const chain_list& chains, int width, chain& out) {
    if (width <= 0) return;
    out.points.resize(std::size_t(width), chain_point{0, -1, -1});

    chain_list t = longestChains(chains);
    splitCurled(t);
    dropCurled(t);
    std::stable_sort(t.begin(), t.end(),
                     [](const chain& a, const chain& b) { return a.points.size() > b.points.size(); });
    for (chain& c : t)
        if (c.points.front().x > c.points.back().x) std::reverse(c.points.begin(), c.points.end());

    // The candidate (alone or joined to a second one) that covers enough columns and lies lowest.
    const int reach = int((2 * int64_t(width)) / 3);
    int best = -1, second = -1, bestY = 0, bestSpan = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const chain_point f = t[i].points.front(), l = t[i].points.back();
        if (f.x > reach) continue;
        const int span = l.x - f.x;
        const int midY = (f.y + l.y) / 2;
        if (span > reach && midY > bestY) {
            best = int(i), second = -1, bestSpan = span, bestY = midY;
        }
        for (std::size_t j = 0; j < t.size(); ++j) {
            if (j == i) continue;
            const chain_point g = t[j].points.front(), h = t[j].points.back();
            if (h.x < width - reach) continue;
            const int gain = h.x - std::max(l.x, g.x) - 2 * std::abs(l.y - g.y);
            if (gain <= 0) continue;
            const int joinY = (((g.y + h.y) / 2) + midY) / 2;
            const int total = gain + span;
            if (total > reach && (joinY > bestY || (best == int(i) && second == -1))) {
                best = int(i), second = int(j), bestSpan = total, bestY = joinY;
            }
        }
    }
    if (best < 0 || bestSpan <= reach) return;

    const chain& p = t[std::size_t(best)];
    int y = p.points.front().y;
    int col = 0;
    fillFlat(col, p.points.front().x, y, width, out);
    fillFrom(p, col, y, width, out);
    if (second >= 0) {
        const chain& q = t[std::size_t(second)];
        fillFlat(col, q.points.front().x, q.points.front().y, width, out);
        fillFrom(q, col, y, width, out);
    }
    fillFlat(col, width, y, width, out);
}
