// Point sequences for the loop, feature and tracking tests.
#pragma once

#include <vector>

#include "cctrack/feature.h"
#include "ops/chain_point.h"

namespace shapes {

using points = std::vector<chain_point>;

// Outline of the w x h box with top-left corner (x0, y0): starts right of that corner,
// runs clockwise and ends just below it, the corner left out, so the ends are diagonal
// neighbours; 2(w + h) - 5 points.
inline void ring(points& p, int x0, int y0, int w, int h, int strength = 10) {
    for (int x = x0 + 1; x < x0 + w; ++x) p.push_back({strength, x, y0});
    for (int y = y0 + 1; y < y0 + h; ++y) p.push_back({strength, x0 + w - 1, y});
    for (int x = x0 + w - 2; x >= x0; --x) p.push_back({strength, x, y0 + h - 1});
    for (int y = y0 + h - 2; y >= y0 + 1; --y) p.push_back({strength, x0, y});
}

// The 40-point ring: an 11 x 12 box with its top-right corner cut as well.
inline points ring40(int x0, int y0, int strength = 10) {
    points p;
    ring(p, x0, y0, 11, 12, strength);
    p.erase(p.begin() + 9);  // (x0 + 10, y0): the path steps diagonally past it
    return p;
}

// n points from (x0, y0) on, one step (dx, dy) apart.
inline void line(points& p, int x0, int y0, int dx, int dy, int n, int strength = 10) {
    for (int i = 0; i < n; ++i) p.push_back({strength, x0 + dx * i, y0 + dy * i});
}

// A loop feature of `count` points of equal strength whose centroid is (x, y).
inline alg::feature_loop loopAt(int x, int y, int count, int strength = 10) {
    points p(size_t(count), chain_point{strength, x, y});
    return alg::feature_loop(p.data(), p.data() + p.size(), 0, count);
}

// A feature of some other kind than "loop".
class blob final : public alg::feature {
public:
    void assign(const feature&) override {}
    void clear() override {}
    bool isEmpty() const override { return false; }
    int x() const override { return 0; }
    int y() const override { return 0; }
    int meanStrength() const override { return 0; }
    int pointCount() const override { return 1; }
    double dissimilarity(const feature&) const override { return 0.0; }
    void draw(int, ip_overlay*) const override {}
    void drawLabelled(int, bool, ip_overlay*) const override {}
    void drawDetailed(int, bool, ip_overlay*) const override {}
    const char* kindName() const override { return "blob"; }
};

}  // namespace shapes
