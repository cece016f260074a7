// Builders shared by the closed-contour tracker tests: edge maps, chains and point shapes.
#pragma once

#include <array>
#include <vector>

#include "cctrack/chain.h"
#include "cctrack/feature.h"
#include "doubles/recording.h"
#include "image/dib.h"
#include "image/dib_access.h"

namespace cc {

using points = std::vector<chain_point>;
using xy_list = std::vector<std::pair<int, int>>;
using doubles::thrown;

inline std::vector<std::array<int, 3>> sxy(const chain& c) {
    std::vector<std::array<int, 3>> out;
    for (const chain_point& p : c.points) out.push_back({p.strength, p.x, p.y});
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

// n points from (x0, y0) on, one step (dx, dy) apart.
inline void line(points& p, int x0, int y0, int dx, int dy, int n, int strength = 10) {
    for (int i = 0; i < n; ++i) p.push_back({strength, x0 + dx * i, y0 + dy * i});
}

// The 40-point ring: the outline of the 11 x 12 box with top-left corner (x0, y0), starting right of that corner
// and running clockwise, both top corners left out, so the path steps diagonally past them and its ends are
// diagonal neighbours.
inline points ring40(int x0, int y0, int strength = 10) {
    points p;
    line(p, x0 + 1, y0, 1, 0, 9, strength);
    line(p, x0 + 10, y0 + 1, 0, 1, 11, strength);
    line(p, x0 + 9, y0 + 11, -1, 0, 10, strength);
    line(p, x0, y0 + 10, 0, -1, 10, strength);
    return p;
}

}  // namespace cc
