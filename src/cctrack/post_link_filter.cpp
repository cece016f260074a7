#include "cctrack/post_link_filter.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace {

constexpr std::size_t selectionThreshold = 60;  // from this many chains on, only a selection is filtered
constexpr int selectionShare = 30;              // chains taken by each of the two selection orders
constexpr int adjacencyLimit = 2;               // squared distance of 8-neighbours

bool adjacent(const chain_point& a, const chain_point& b) {
    const int64_t dx = int64_t(a.x) - b.x, dy = int64_t(a.y) - b.y;
    return dx * dx + dy * dy <= adjacencyLimit;
}

// Chains ordered by their point strengths, lexicographically.
bool pointOrderLess(const chain* a, const chain* b) {
    return std::lexicographical_compare(
        a->points.begin(), a->points.end(), b->points.begin(), b->points.end(),
        [](const chain_point& p, const chain_point& q) { return p.strength < q.strength; });
}

// Mean point strength; a chain without points counts as 0 so the order stays well defined.
double meanStrength(const chain& c) {
    if (c.points.empty()) return 0.0;
    return double(c.strength) / double(c.points.size());
}

void takeLast(std::vector<const chain*>& from, int count, std::vector<const chain*>& to) {
    for (int i = 0; i < count && !from.empty(); ++i) {
        to.push_back(from.back());
        from.pop_back();
    }
}

// Appends the points strictly between p and q on the digital line, each with strength 0.
void appendLine(const chain_point& p, const chain_point& q, std::vector<chain_point>& g) {
    const int sx = q.x >= p.x ? 1 : -1, sy = q.y >= p.y ? 1 : -1;
    const int ax = std::max(std::abs(q.x - p.x) - 1, 0), ay = std::max(std::abs(q.y - p.y) - 1, 0);
    int x = p.x, y = p.y;
    if (ax == ay) {
        for (int i = 0; i < ax; ++i) {
            x += sx, y += sy;
            g.push_back(chain_point{0, x, y});
        }
        return;
    }
    // Walk along the major axis, spreading the minor steps as evenly as whole runs allow.
    const bool steep = ay > ax;
    const int major = steep ? ay : ax, minor = steep ? ax : ay;
    const int run = minor > 0 ? major / minor : major;
    int rest = minor > 0 ? major % minor : 0;
    int majorSteps = 0, minorSteps = 0;
    int& mj = steep ? y : x;
    int& mn = steep ? x : y;
    const int smj = steep ? sy : sx, smn = steep ? sx : sy;
    while (majorSteps < major) {
        if (minorSteps < minor) {
            mn += smn;
            ++minorSteps;
        }
        for (int i = 0; i < run && majorSteps < major; ++i) {
            mj += smj;
            ++majorSteps;
            g.push_back(chain_point{0, x, y});
        }
        if (rest > 0 && majorSteps < major) {
            --rest;
            mj += smj;
            ++majorSteps;
            g.push_back(chain_point{0, x, y});
        }
    }
}

// g: scratch for the gap-filled chain, kept from chain to chain.
void filterChain(const chain& c, chain& r, std::vector<chain_point>& g) {
    r.strength = 0;
    r.points.clear();
    if (c.points.empty()) return;

    g.clear();
    g.push_back(c.points[0]);
    for (std::size_t k = 1; k < c.points.size(); ++k) {
        const chain_point& p = c.points[k - 1];
        const chain_point& q = c.points[k];
        if (!adjacent(p, q)) appendLine(p, q, g);
        g.push_back(q);
    }

    // Keep only the points an 8-connected path needs, preferring strong ones.
    const std::size_t n = g.size();
    r.points.push_back(g[0]);
    r.strength += g[0].strength;
    std::size_t i = 0;
    while (i + 1 < n) {
        std::size_t j = i + 1;
        while (j < n && adjacent(g[j], g[i])) ++j;
        // Gap filling leaves every pair of neighbours adjacent, so the run is never empty;
        // the guard only keeps the walk moving should that ever fail.
        std::size_t b = j > i + 1 ? j - 1 : i + 1;
        for (std::size_t k = i + 1; k + 1 < j; ++k) {
            if (j < n && !adjacent(g[k], g[j])) continue;
            if (g[k].strength > g[b].strength) b = k;
        }
        r.points.push_back(g[b]);
        r.strength += g[b].strength;
        i = b;
    }
}

void filterAll(const std::vector<const chain*>& chains, chain_list& out) {
    out.resize(chains.size());
    std::vector<chain_point> g;
    for (std::size_t i = 0; i < chains.size(); ++i) filterChain(*chains[i], out[i], g);
}

}  // namespace

void postLinkFilter(const chain_list& in, chain_list& out) {
    // The chains are ordered through pointers: copying every chain only to sort it cost more
    // than the filtering.
    std::vector<const chain*> work(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) work[i] = &in[i];
    if (in.size() < selectionThreshold) {
        filterAll(work, out);
        return;
    }
    std::vector<const chain*> selected;
    selected.reserve(selectionThreshold);
    std::stable_sort(work.begin(), work.end(), pointOrderLess);
    takeLast(work, selectionShare, selected);
    std::stable_sort(work.begin(), work.end(),
                     [](const chain* a, const chain* b) { return meanStrength(*a) < meanStrength(*b); });
    takeLast(work, selectionShare, selected);
    filterAll(selected, out);
}
