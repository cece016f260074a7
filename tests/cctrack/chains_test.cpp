#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cc_util.h"
#include "cctrack/link.h"
#include "cctrack/post_link_filter.h"
#include "cctrack/reference_chain.h"

using namespace cc;

namespace {

// Seeds as the hysteresis leaves them: every set pixel with its value, in scan order.
points allSeeds(const dib_base& map) {
    points seeds;
    for (int y = 0; y < map.absHeight(); ++y)
        for (int x = 0; x < map.width; ++x)
            if (map.row(y)[x]) seeds.push_back(chain_point{map.row(y)[x], x, y});
    return seeds;
}

chain_list linked(const dib_base& map, const points& seeds) {
    chain_list out;
    link(map, seeds, out);
    return out;
}

chain filterOne(const chain& c) {
    chain_list out;
    postLinkFilter({c}, out);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? chain{} : out[0];
}

chain reference(const chain_list& chains, int width) {
    chain out;
    buildReferenceChain(chains, width, out);
    EXPECT_EQ(out.points.size(), size_t(std::max(width, 0)));
    return out;
}

bool absent(const chain& c) { return c.strength == 0 && sxy(c) == sxy_list(c.points.size(), {0, -1, -1}); }

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

}  // namespace

TEST(Link, KeepsChainsOfEightPointsAndBridgesTwoPixelGapsInEveryPixelSize) {
    // 7 points (dropped); 8 points; 8 + gap of 2 + 8 (one chain); 8 + gap of 3 + 8 (two chains). Strongest seeds
    // first; from the last seed of equal strength the search runs left first, so every chain reads left to right.
    points seeds;
    for (int sz = 1; sz <= 4; ++sz) {
        dib_base map = blankMap(40, 30, sz);
        for (auto [x0, x1, y, v] : std::vector<std::array<int, 4>>{
                 {2, 8, 2, 50}, {2, 9, 10, 50}, {2, 9, 20, 60}, {12, 19, 20, 60}, {2, 9, 27, 70}, {13, 20, 27, 70}})
            hline(map, x0, x1, y, v);
        if (sz == 1) seeds = allSeeds(map);
        const chain_list out = linked(map, seeds);
        std::vector<std::array<int, 4>> got;  // {points, first x, first y, strength}
        for (const chain& c : out)
            got.push_back({int(c.points.size()), c.points.front().x, c.points.front().y, c.strength});
        EXPECT_EQ(got, (std::vector<std::array<int, 4>>{
                           {8, 13, 27, 560}, {8, 2, 27, 560}, {16, 2, 20, 960}, {8, 2, 10, 400}}))
            << sz;
        EXPECT_EQ(sxy(out.at(2).points[8]), std::make_tuple(60, 12, 20)) << sz;
    }
}

TEST(Link, EqualCandidatesInOneRingGroup) {
    // Seed (10,10); ring 1 and the axis points of ring 2 are empty; (9,8) and (11,8) share the first off-axis
    // group of ring 2 and lead to runs going left and right. Equal values: (x-1, y-r) is listed first; a larger
    // value wins within the group; an axis point of ring 2, however weak, comes before the group.
    for (auto [right, axis, s, x, y] :
         std::vector<std::array<int, 5>>{{100, 0, 100, 3, 8}, {101, 0, 100, 17, 8}, {100, 1, 1, 10, 12}}) {
        dib_base map = blankMap(30, 20);
        put(map, 10, 10, 200);
        hline(map, 3, 9, 8, 100);
        hline(map, 12, 17, 8, 100);
        put(map, 11, 8, right);
        if (axis) put(map, 10, 12, axis);
        const chain_list out = linked(map, {{200, 10, 10}});
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(sxy(out[0].points.front()), std::make_tuple(s, x, y)) << right << axis;
        EXPECT_EQ(out[0].points[x == 3 ? 7 : 0].x, x == 3 ? 10 : x);  // the seed follows the left run
    }
}

TEST(Link, SeedOrderTakenSeedsAndPositionsOutsideTheImage) {
    // An L along the top row and down the last column, so that rings reach past three edges; the bright column at
    // x = 0 follows each row's end in memory and must not be linked.
    dib_base map = blankMap(20, 12);
    hline(map, 10, 18, 0, 40);
    for (int y = 0; y < 12; ++y) {
        put(map, 19, y, 40);
        put(map, 0, y, 90);
    }
    put(map, 17, 0, 60);
    // The seed list's own strength counts for the seed point, the map value for the rest; seed (12,0) is taken
    // by the chain of (17,0); empty seeds and seeds outside the image start nothing.
    const chain_list out = linked(map, {{50, 12, 0}, {80, 17, 0}, {99, 5, 5}, {99, -1, 3}, {99, 20, 0}});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].strength, 80 + 20 * 40);
    chain l = row(10, 19, 0);
    for (int y = 1; y < 12; ++y) l.points.push_back({0, 19, y});
    EXPECT_EQ(positions(out[0]), positions(l));
    EXPECT_EQ(sxy(out[0].points[7]), std::make_tuple(80, 17, 0));
    EXPECT_EQ(map.row(5)[19], 40);  // the caller's map is left alone
}

namespace {

int greyAt(const dib_base& map, int x, int y) {
    if (x < 0 || y < 0 || x >= map.width || y >= map.absHeight()) return 0;
    int v = 0;
    dib_access_dispatch1(map, [&](auto tag) { v = grey(dib_access<typename decltype(tag)::type>(map).row(y)[x]); });
    return v;
}

// The linker in its plainest form, which the production one (a padded plane, seeds ordered by
// counting) must match: bounds-checked reads, a stable sort, rings searched point by point.
chain_list plainLink(dib_base map, points order) {
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
                    if (greyAt(map, x + dx, y + dy) > best)
                        best = greyAt(map, x + dx, y + dy), found = {best, x + dx, y + dy};
                if (best) return true;
            }
        }
        return false;
    };
    chain_list out;
    for (; !order.empty(); order.pop_back()) {
        chain c;
        auto append = [&](chain_point p) {
            c.strength += p.strength;
            c.points.push_back(p);
            put(map, p.x, p.y, 0);
        };
        const chain_point s = order.back();
        if (!greyAt(map, s.x, s.y)) continue;
        append(s);
        for (int side = 0; side < 2; ++side) {
            chain_point p;
            if (search(s.x, s.y, p)) {
                do append(p);
                while (search(p.x, p.y, p));
                if (side == 0) std::reverse(c.points.begin(), c.points.end());
            }
        }
        if (c.points.size() > 7) out.push_back(c);
    }
    return out;
}

}  // namespace

TEST(Link, MatchesThePlainLinkerOnRandomMapsOfEveryPixelSize) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        const int sz = 1 + trial % 4, w = 1 + int(rng() % 67), h = 1 + int(rng() % 40);
        dib_base map = blankMap(w, h, sz);
        points seeds;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 3 == 0) {
                    put(map, x, y, 1 + int(rng() % 255));
                    // Seed strengths of a narrow or (every third trial) a wide span; a few seeds are empty.
                    const int s = trial % 3 ? int(rng() % 8) : int(rng() % 5) * 500000 - 1000000;
                    seeds.push_back({s, x, y});
                }
        std::shuffle(seeds.begin(), seeds.end(), rng);
        const chain_list got = linked(map, seeds), want = plainLink(map, seeds);
        ASSERT_EQ(got.size(), want.size()) << trial;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].strength, want[i].strength) << trial << " " << i;
            EXPECT_EQ(sxy(got[i]), sxy(want[i])) << trial << " " << i;
        }
    }
}

TEST(PostLinkFilter, SelectsThirtyByPointOrderThenThirtyByMeanStrength) {
    // Chain i: two points at column i, first strength i; its mean strength (69 - i) / 2 falls with i and differs
    // only by halves. Up to 59 chains all stay in order; from 60 on, 30 by point order, then 30 by mean strength.
    for (int count : {59, 60, 70}) {
        chain_list in, out;
        for (int i = 0; i < count; ++i) in.push_back(makeChain({{i, i, 0}, {1, i, 1}}, 69 - i));
        postLinkFilter(in, out);
        std::vector<int> got, expected;
        for (const chain& c : out) got.push_back(c.points.front().x);
        for (int i = 0; i < std::min(count, 60); ++i)
            expected.push_back(count < 60 ? i : i < 30 ? count - 1 - i : i - 30);
        EXPECT_EQ(got, expected) << count;
    }
    // Equal first strengths: the next point decides, and a proper prefix is the smaller.
    chain_list in(60, makeChain({{5, 0, 0}, {1, 0, 1}}, 0)), out;
    in[7] = makeChain({{5, 7, 0}, {9, 7, 1}});
    in[8] = makeChain({{5, 8, 0}, {1, 8, 1}, {3, 8, 2}});
    in[9] = makeChain({{5, 9, 0}});
    postLinkFilter(in, out);
    ASSERT_EQ(out.size(), 60u);
    EXPECT_EQ(std::make_pair(out[0].points.front().x, out[1].points.front().x), std::make_pair(7, 8));
}

TEST(PostLinkFilter, FillsGapsAlongTheDigitalLine) {
    // A 5-column gap gets 4 points of strength 0; the chain strength stays the sum of the strengths.
    chain row5 = filterOne(makeChain({{50, 10, 5}, {60, 15, 5}}));
    EXPECT_EQ(sxy(row5), (sxy_list{{50, 10, 5}, {0, 11, 5}, {0, 12, 5}, {0, 13, 5}, {0, 14, 5}, {60, 15, 5}}));
    EXPECT_EQ(row5.strength, 110);
    const std::vector<std::pair<chain, xy_list>> cases{
        {makeChain({{1, 0, 0}, {1, 3, 8}}), {{0, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}, {2, 6}, {2, 7}, {3, 8}}},
        {makeChain({{1, 0, 0}, {1, 8, 3}}), {{0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {6, 2}, {7, 2}, {8, 3}}},
        {makeChain({{1, 10, 10}, {1, 4, 8}}), {{10, 10}, {9, 9}, {8, 9}, {7, 9}, {6, 9}, {5, 9}, {4, 8}}},
        {makeChain({{1, 0, 0}, {1, 3, -3}}), {{0, 0}, {1, -1}, {2, -2}, {3, -3}}},
        {makeChain({{1, 4, 0}, {1, 4, 3}}), {{4, 0}, {4, 1}, {4, 2}, {4, 3}}}};
    for (const auto& [in, e] : cases) EXPECT_EQ(positions(filterOne(in)), e);
}

TEST(PostLinkFilter, ThinsRunsPreferringStrictlyStrongerPoints) {
    // One point stays one point; the result's strength counts only the points kept.
    chain single = filterOne(makeChain({{40, 3, 3}}, 999));
    EXPECT_EQ(sxy(single), (sxy_list{{40, 3, 3}}));
    EXPECT_EQ(single.strength, 40);
    EXPECT_TRUE(filterOne(chain{}).points.empty());
    EXPECT_EQ(filterOne(makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}})).strength, 80);
    // L-shaped run (0,0) (1,0) (1,1) before (2,1): the corner survives only when strictly stronger than the point
    // after it and adjacent to the point beyond the run; the last run has no point beyond it. Of equal strongest
    // candidates the earlier one is taken.
    const std::vector<std::pair<chain, xy_list>> cases{
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}), {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {makeChain({{10, 0, 0}, {40, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}), {{0, 0}, {1, 1}, {2, 1}, {3, 1}}},
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 1, 2}}), {{0, 0}, {1, 1}, {1, 2}}},
        {makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}}), {{0, 0}, {1, 0}, {1, 1}}},
        {makeChain({{1, 0, 0}, {50, 1, 1}, {50, 1, 0}, {20, 1, -1}, {1, 2, 0}, {1, 3, 0}}),
         {{0, 0}, {1, 1}, {1, 0}, {2, 0}, {3, 0}}}};
    for (const auto& [in, e] : cases) EXPECT_EQ(positions(filterOne(in)), e);
}

TEST(ReferenceChain, AbsentWithoutALongSidewaysChain) {
    chain column;
    for (int y = 0; y <= 199; ++y) column.points.push_back(chain_point{1, 3, y});
    // Only the five longest chains are candidates.
    chain_list five(5, column);
    five.push_back(row(10, 90, 30));
    // Empty; too short; steep; mean row not below 0; crowded out.
    for (const chain_list& in : std::vector<chain_list>{{}, {row(10, 19, 30)}, {column}, {row(10, 90, 0)}, five})
        EXPECT_TRUE(absent(reference(in, 100)));
    five.erase(five.begin());
    EXPECT_FALSE(absent(reference(five, 100)));
    EXPECT_TRUE(reference({row(10, 90, 30)}, 0).points.empty());
}

TEST(ReferenceChain, StraightChainAcrossTheImage) {
    // Columns left of the chain copy its first row, columns right of it its last row.
    const chain c = joined(row(10, 49, 30), row(50, 90, 34, 41));
    const chain out = reference({c}, 100);
    EXPECT_EQ(sxy(out), across(100, {c}));
    EXPECT_EQ(out.strength, 81 * 82 / 2);
    chain back = c;  // running right to left makes no difference
    std::reverse(back.points.begin(), back.points.end());
    EXPECT_EQ(sxy(reference({back}, 100)), across(100, {c}));
    // Of two chains covering the width, the lower one wins even when shorter.
    EXPECT_EQ(reference({row(5, 95, 20), row(8, 92, 50)}, 100).points[50].y, 50);
}

TEST(ReferenceChain, JoinsTwoChainsWithAJointPenalty) {
    // Each chain alone is too short; the pair counts gain = 99 - 53 - 2 * step columns: a step of 14 rows is
    // accepted, 15 is not.
    const chain a = row(0, 50, 40), b14 = row(53, 99, 54, 100);
    const chain out = reference({a, b14}, 100);
    EXPECT_EQ(sxy(out), across(100, {a, b14}));
    EXPECT_EQ(out.strength, 51 * 52 / 2 + 47 * 100 + 47 * 46 / 2);
    EXPECT_TRUE(absent(reference({a, row(53, 99, 55)}, 100)));

    // A pair may replace its own first chain even when the pair lies higher; of overlapping chains the second one
    // continues after the first one's last column.
    const chain wide = row(0, 80, 40), high = row(82, 99, 38), left = row(0, 60, 40), over = row(55, 99, 41);
    EXPECT_EQ(sxy(reference({wide, high}, 100)), across(100, {wide, high}));
    EXPECT_EQ(sxy(reference({left, over}, 100)), across(100, {left, over}));
}

TEST(ReferenceChain, SplitsHairpinsAtTheTurn) {
    // Legs of 50 points side by side, two rows apart, turning at column 59. The lower leg (with the turn) wins;
    // the upper leg, cut before the turn, is kept too and wins when it lies lower.
    chain out = reference({joined(row(10, 59, 20), row(59, 10, 22, 51))}, 70);
    EXPECT_EQ(sxy(out), across(70, {row(59, 10, 22, 51)}));
    EXPECT_EQ(out.strength, (51 + 100) * 50 / 2);
    EXPECT_EQ(sxy(reference({joined(row(10, 59, 20), row(59, 10, 18, 51))}, 70)), across(70, {row(10, 58, 20, 1)}));

    // Both parts must keep more than 20 points: legs of 21 stay whole and are dropped as curled.
    EXPECT_TRUE(absent(reference({joined(row(0, 20, 10), row(20, 0, 12))}, 29)));
    out = reference({joined(row(0, 21, 10), row(21, 0, 12))}, 29);
    EXPECT_EQ(sxy(out.points[0]), std::make_tuple(22, 0, 12));
    EXPECT_EQ(sxy(out.points[28]), std::make_tuple(0, 28, 12));
}
