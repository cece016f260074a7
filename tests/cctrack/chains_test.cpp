#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cc_util.h"
#include "cctrack/link.h"
#include "cctrack/post_link_filter.h"
#include "cctrack/reference_chain.h"

using namespace cc;

namespace {

// The expected reference chain: the first given point of each column; every other column on the row of the next
// point to its right (of the last point right of them all), with strength 0.
sxy_list across(int width, const chain_list& parts) {
    sxy_list e(size_t(width), {0, -1, -1});
    for (const chain& c : parts)
        for (const chain_point& p : c.points)
            if (std::get<1>(e[size_t(p.x)]) < 0) e[size_t(p.x)] = sxy(p);
    int y = -1;
    for (auto it = e.rbegin(); y < 0; ++it) y = std::get<2>(*it);
    for (int x = width - 1; x >= 0; --x) {
        if (std::get<1>(e[size_t(x)]) < 0) e[size_t(x)] = {0, x, y};
        y = std::get<2>(e[size_t(x)]);
    }
    return e;
}

chain joined(chain a, const chain& b) {
    a.points.insert(a.points.end(), b.points.begin(), b.points.end());
    a.strength += b.strength;
    return a;
}

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

// Up to 59 chains all stay in order; from 60 on, 30 by point order, then 30 by mean strength. Chain i of 70: two
// points at column i, first strength i, mean strength (69 - i) / 2 (differing only by halves). Then equal first
// strengths: the next point decides, and a proper prefix is the smaller.
TEST(PostLinkFilter, SelectsThirtyByPointOrderThenThirtyByMeanStrength) {
    chain_list in, out, ties(60, makeChain({{5, 0, 0}, {1, 0, 1}}, 0));
    for (int i = 0; i < 70; ++i) in.push_back(makeChain({{i, i, 0}, {1, i, 1}}, 69 - i));
    ties[7] = makeChain({{5, 7, 0}, {9, 7, 1}}), ties[8] = makeChain({{5, 8, 0}, {1, 8, 1}, {3, 8, 2}});
    ties[9] = makeChain({{5, 9, 0}});
    for (auto [count, firsts] : std::vector<std::pair<size_t, std::vector<int>>>{
             {59, {0, 1, 58}}, {60, {59, 58, 30, 0, 29}}, {70, {69, 68, 40, 0, 29}}, {0, {7, 8}}}) {
        postLinkFilter(count ? chain_list(in.begin(), in.begin() + long(count)) : ties, out);
        ASSERT_EQ(out.size(), std::min<size_t>(count ? count : 60, 60)) << count;
        const size_t at[] = {0, 1, count == 59 ? 58u : 29u, 30, 59};
        for (size_t k = 0; k < firsts.size(); ++k) EXPECT_EQ(out[at[k]].points.front().x, firsts[k]) << count;
        out.clear();
    }
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
        ASSERT_EQ(out.size(), 1u);
        EXPECT_TRUE(positions(out[0]) == e && out[0].strength == strength) << e.size();  // fills count 0
    }
}

// The reference chain: absent (every column at -1 with strength 0) without a long sideways chain, else the
// chosen chain or pair across the image (see `across`), with the strength of the points taken from them.
TEST(ReferenceChain, AbsentOrTheLowestLongChainAcrossTheImage) {
    chain column;
    for (int y = 0; y <= 199; ++y) column.points.push_back(chain_point{1, 3, y});
    chain_list five(5, column);  // only the five longest chains are candidates
    five.push_back(row(10, 90, 30));
    // Each of a, b14 alone is too short; the pair counts gain = 99 - 53 - 2 * step columns: a step of 14 rows
    // is accepted, 15 is not. Of overlapping chains the second one continues after the first one's last column.
    // Hairpins (legs side by side two rows apart): the lower leg with the turn wins; the upper leg, cut before the
    // turn, is kept too and wins when it lies lower; both parts must keep more than 20 points.
    const chain a = row(0, 50, 40), b14 = row(53, 99, 54, 100), left = row(0, 60, 40), over = row(55, 99, 41);
    const chain c = joined(row(10, 49, 30), row(50, 90, 34, 41));
    struct ref_case {
        chain_list in;
        int width;
        chain_list parts;  // none: absent
    };
    const std::vector<ref_case> cases{
        {{row(10, 19, 30)}, 100, {}},  // too short
        {{column}, 100, {}},           // steep
        {{row(10, 90, 0)}, 100, {}},   // mean row not below 0
        {five, 100, {}},               // crowded out
        {{c}, 100, {c}},
        {{row(5, 95, 20), row(8, 92, 50)}, 100, {row(8, 92, 50)}},  // the lower one wins even when shorter
        {{a, b14}, 100, {a, b14}},
        {{a, row(53, 99, 55)}, 100, {}},
        {{left, over}, 100, {left, over}},
        {{joined(row(10, 59, 20), row(59, 10, 22, 51))}, 70, {row(59, 10, 22, 51)}},
        {{joined(row(10, 59, 20), row(59, 10, 18, 51))}, 70, {row(10, 58, 20, 1)}},
        {{joined(row(0, 20, 10), row(20, 0, 12))}, 29, {}},
        {{joined(row(0, 21, 10), row(21, 0, 12))}, 29, {row(21, 0, 12)}}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [in, width, parts] = cases[i];
        chain out;
        buildReferenceChain(in, width, out);
        const sxy_list want = parts.empty() ? sxy_list(size_t(width), {0, -1, -1}) : across(width, parts);
        int strength = 0;
        for (auto& p : want) strength += std::get<0>(p);
        EXPECT_TRUE(sxy(out) == want && out.strength == strength) << i;
    }
}
