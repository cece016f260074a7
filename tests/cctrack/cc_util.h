// Builders shared by the closed-contour tracker tests: edge maps, chains and point shapes.
#pragma once

#include <array>
#include <tuple>
#include <vector>

#include "cctrack/chain.h"
#include "cctrack/feature.h"
#include "doubles/recording.h"
#include "image/dib.h"
#include "image/dib_access.h"

namespace cc {

using points = std::vector<chain_point>;
using xy_list = std::vector<std::pair<int, int>>;
using sxy_list = std::vector<std::tuple<int, int, int>>;
using doubles::thrown;

inline std::tuple<int, int, int> sxy(const chain_point& p) { return {p.strength, p.x, p.y}; }

inline sxy_list sxy(const chain& c) {
    sxy_list out;
    for (const chain_point& p : c.points) out.push_back(sxy(p));
    return out;
}

inline xy_list positions(const chain& c) {
    xy_list out;
    for (const chain_point& p : c.points) out.emplace_back(p.x, p.y);
    return out;
}

// A chain from {strength, x, y} triples; its strength is the sum unless given.
inline chain makeChain(std::initializer_list<std::array<int, 3>> pts, int strength = -1) {
    chain c;
    for (const auto& p : pts) c.points.push_back(chain_point{p[0], p[1], p[2]}), c.strength += p[0];
    if (strength >= 0) c.strength = strength;
    return c;
}

// A straight run from (x0, y) to (x1, y), strengths counting up from `first`.
inline chain row(int x0, int x1, int y, int first = 1) {
    chain c;
    const int step = x1 >= x0 ? 1 : -1;
    for (int x = x0, s = first; x != x1 + step; x += step, ++s)
        c.points.push_back(chain_point{s, x, y}), c.strength += s;
    return c;
}

// n points from (x0, y0) on, one step (dx, dy) apart.
inline void line(points& p, int x0, int y0, int dx, int dy, int n, int strength = 10) {
    for (int i = 0; i < n; ++i) p.push_back({strength, x0 + dx * i, y0 + dy * i});
}

// Outline of the w x h box with top-left corner (x0, y0): starts right of that corner, runs clockwise and ends
// just below it, the corner left out, so the ends are diagonal neighbours; 2(w + h) - 5 points.
inline void ring(points& p, int x0, int y0, int w, int h, int strength = 10) {
    line(p, x0 + 1, y0, 1, 0, w - 1, strength);
    line(p, x0 + w - 1, y0 + 1, 0, 1, h - 1, strength);
    line(p, x0 + w - 2, y0 + h - 1, -1, 0, w - 1, strength);
    line(p, x0, y0 + h - 2, 0, -1, h - 2, strength);
}

// The 40-point ring: an 11 x 12 box with its top-right corner cut as well.
inline points ring40(int x0, int y0, int strength = 10) {
    points p;
    ring(p, x0, y0, 11, 12, strength);
    p.erase(p.begin() + 9);  // (x0 + 10, y0): the path steps diagonally past it
    return p;
}

inline alg::feature_loop loopOf(const points& p, int chainIndex = 0, int chainPoints = -1) {
    return alg::feature_loop(p.data(), p.data() + p.size(), chainIndex, chainPoints < 0 ? int(p.size()) : chainPoints);
}

// {points, chain index, x, y, partial} of a loop, compared whole.
inline std::array<int, 5> facts(const alg::feature_loop& f) {
    return {f.pointCount(), f.chainIndex(), f.x(), f.y(), int(f.partial())};
}

}  // namespace cc
