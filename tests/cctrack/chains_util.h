// Small builders for the chain tests: edge maps of any pixel size and chains from literals.
#pragma once

#include <array>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

#include "cctrack/chain.h"
#include "image/dib.h"
#include "image/dib_access.h"

namespace chains_test {

// A zeroed edge map; rows are top-down unless bottomUp.
inline dib_base blankMap(int width, int height, int szPixel = 1, bool bottomUp = false) {
    dib_base map(dib_fmt(width, height, szPixel, 0, bottomUp), 0);
    dib_fill(map, 0);
    return map;
}

inline void put(dib_base& map, int x, int y, int grey) {
    dib_access_dispatch1(map, [&](auto tag) {
        using P = typename decltype(tag)::type;
        setGrey(dib_access<P>(map).row(y)[x], grey);
    });
}

// The same grey values in a map of another pixel size.
inline dib_base widen(const dib_base& map1, int szPixel) {
    dib_base wide = blankMap(map1.width, map1.absHeight(), szPixel, map1.height > 0);
    for (int y = 0; y < map1.absHeight(); ++y)
        for (int x = 0; x < map1.width; ++x) put(wide, x, y, map1.row(y)[x]);
    return wide;
}

// Points compared whole: (strength, x, y).
inline std::tuple<int, int, int> sxy(const chain_point& p) { return {p.strength, p.x, p.y}; }

inline std::vector<std::tuple<int, int, int>> sxy(const chain& c) {
    std::vector<std::tuple<int, int, int>> out;
    for (const chain_point& p : c.points) out.push_back(sxy(p));
    return out;
}

using xy_list = std::vector<std::pair<int, int>>;

inline xy_list positions(const chain& c) {
    xy_list out;
    for (const chain_point& p : c.points) out.emplace_back(p.x, p.y);
    return out;
}

// A chain from {strength, x, y} triples; its strength is the sum unless given.
inline chain makeChain(std::initializer_list<std::array<int, 3>> pts, int strength = -1) {
    chain c;
    int sum = 0;
    for (const auto& p : pts) {
        c.points.push_back(chain_point{p[0], p[1], p[2]});
        sum += p[0];
    }
    c.strength = strength >= 0 ? strength : sum;
    return c;
}

// A straight run of points from (x0, y) to (x1, y), strengths counting up from `first`.
inline chain row(int x0, int x1, int y, int first = 1) {
    chain c;
    const int step = x1 >= x0 ? 1 : -1;
    for (int x = x0, s = first;; x += step, ++s) {
        c.points.push_back(chain_point{s, x, y});
        c.strength += s;
        if (x == x1) break;
    }
    return c;
}

}  // namespace chains_test
