#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cc_util.h"
#include "cctrack/link.h"
#include "cctrack/post_link_filter.h"

using namespace cc;

namespace {

// The linker in its plainest form, which the production one (a padded plane, seeds ordered by counting)
// must match: a grid of grey values with bounds-checked reads, a stable sort, rings searched point by point.
chain_list plainLink(std::vector<int> grid, int w, int h, points order) {
    auto at = [&](int x, int y) -> int& {
        static int outside;
        return x < 0 || y < 0 || x >= w || y >= h ? (outside = 0) : grid[size_t(y * w + x)];
    };
    std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.strength < b.strength; });
    auto search = [&](int x, int y, chain_point& found) {
        for (int r = 1; r <= 3; ++r) {
            std::vector<std::vector<std::array<int, 2>>> groups{{{0, -r}, {0, r}, {-r, 0}, {r, 0}}};
            for (int k = 1; k < r; ++k)
                groups.push_back({{-k, -r}, {k, -r}, {-k, r}, {k, r}, {-r, -k}, {-r, k}, {r, -k}, {r, k}});
            groups.push_back({{-r, -r}, {r, -r}, {-r, r}, {r, r}});
            for (auto& g : groups) {
                int best = 0;
                for (auto [dx, dy] : g)
                    if (at(x + dx, y + dy) > best) best = at(x + dx, y + dy), found = {best, x + dx, y + dy};
                if (best) return true;
            }
        }
        return false;
    };
    chain_list out;
    for (; !order.empty(); order.pop_back()) {
        chain c;
        auto append = [&](chain_point p) { c.strength += p.strength, c.points.push_back(p), at(p.x, p.y) = 0; };
        const chain_point s = order.back();
        if (!at(s.x, s.y)) continue;
        append(s);
        for (int side = 0; side < 2; ++side) {
            chain_point p;
            if (!search(s.x, s.y, p)) continue;
            do append(p);
            while (search(p.x, p.y, p));
            if (side == 0) std::reverse(c.points.begin(), c.points.end());
        }
        if (c.points.size() > 7) out.push_back(c);
    }
    return out;
}

}  // namespace

// Maps of every pixel size with values of a wide or (every other trial) a narrow range, so that
// equal candidates in one ring group are common; seeds on set pixels, on empty ones and outside.
TEST(Link, MatchesThePlainLinkerOnRandomMapsOfEveryPixelSize) {
    std::mt19937 rng(11);
    size_t chains = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const int sz = 1 + trial % 4, w = 1 + int(rng() % 67), h = 1 + int(rng() % 40);
        dib_base map(dib_fmt(w, h, sz, 0, false), 0);
        dib_fill(map, 0);
        std::vector<int> grid(size_t(w * h));
        points seeds{{99, -1, h / 2}, {99, w, 0}, {99, w / 2, h}};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 3 == 0 || (x + y) % 11 == 0) {
                    const int v = rng() % 7 ? 1 + int(rng() % (trial % 2 ? 3 : 255)) : 0;
                    grid[size_t(y * w + x)] = v;
                    dib_access_dispatch1(
                        map, [&](auto tag) { setGrey(dib_access<typename decltype(tag)::type>(map).row(y)[x], v); });
                    // Seed strengths of a narrow or (every third trial) a wide span.
                    seeds.push_back({trial % 3 ? int(rng() % 8) : int(rng() % 5) * 500000 - 1000000, x, y});
                }
        std::shuffle(seeds.begin(), seeds.end(), rng);
        const dib_base before = map;
        chain_list got;
        link(map, seeds, got);
        const chain_list want = plainLink(grid, w, h, seeds);
        EXPECT_TRUE(std::equal(map.bits, map.bits + map.byteSize(), before.bits));  // the map is left alone
        ASSERT_EQ(got.size(), want.size()) << trial;
        chains += got.size();
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_TRUE(got[i].strength == want[i].strength && sxy(got[i]) == sxy(want[i])) << trial << " " << i;
    }
    EXPECT_GT(chains, 200u) << "too few chains to compare";
}

// Gaps get points of strength 0 along the digital line; runs of neighbouring points are thinned: a corner
// survives only when strictly stronger than the point after it and adjacent to the point beyond the run (the
// last run has none beyond it), of equal strongest candidates the earlier one. The strength is the sum of the
// points kept.
TEST(PostLinkFilter, FillsGapsAlongTheDigitalLineAndThinsRuns) {
    const std::vector<std::tuple<chain, xy_list, int>> cases{
        {makeChain({{50, 10, 5}, {60, 15, 5}}), {{10, 5}, {11, 5}, {12, 5}, {13, 5}, {14, 5}, {15, 5}}, 110},
        {makeChain({{1, 0, 0}, {1, 3, 8}}),
         {{0, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}, {2, 6}, {2, 7}, {3, 8}},
         2},
        {makeChain({{1, 0, 0}, {1, 8, 3}}),
         {{0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {6, 2}, {7, 2}, {8, 3}},
         2},
        {makeChain({{1, 10, 10}, {1, 4, 8}}), {{10, 10}, {9, 9}, {8, 9}, {7, 9}, {6, 9}, {5, 9}, {4, 8}}, 2},
        {makeChain({{1, 0, 0}, {1, 3, -3}}), {{0, 0}, {1, -1}, {2, -2}, {3, -3}}, 2},
        {makeChain({{1, 4, 0}, {1, 4, 3}}), {{4, 0}, {4, 1}, {4, 2}, {4, 3}}, 2},
        {makeChain({{40, 3, 3}}, 999), {{3, 3}}, 40},
        {chain{}, {}, 0},
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}), {{0, 0}, {1, 0}, {2, 1}, {3, 1}}, 80},
        {makeChain({{10, 0, 0}, {40, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}), {{0, 0}, {1, 1}, {2, 1}, {3, 1}}, 70},
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 1, 2}}), {{0, 0}, {1, 1}, {1, 2}}, 60},
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}}), {{0, 0}, {1, 0}, {1, 1}}, 100},
        {makeChain({{1, 0, 0}, {50, 1, 1}, {50, 1, 0}, {20, 1, -1}, {1, 2, 0}, {1, 3, 0}}),
         {{0, 0}, {1, 1}, {1, 0}, {2, 0}, {3, 0}},
         103}};
    for (const auto& [in, e, strength] : cases) {
        chain_list out;
        postLinkFilter({in}, out);
        EXPECT_TRUE(out.size() == 1 && positions(out[0]) == e && out[0].strength == strength) << e.size();
    }
}
