#include <gtest/gtest.h>

#include <algorithm>

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

bool absent(const chain& c) {
    for (const chain_point& p : c.points)
        if (p.strength != 0 || p.x != -1 || p.y != -1) return false;
    return c.strength == 0;
}

// Strength-0 filler columns [c0, c1] on row y, then the points [from, to] of c.
void flat(sxy_list& e, int c0, int c1, int y) {
    for (int c = c0; c <= c1; ++c) e.emplace_back(0, c, y);
}
void copied(sxy_list& e, const chain& c, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < c.points.size() && i <= to; ++i) e.push_back(sxy(c.points[i]));
}

chain joined(chain a, const chain& b) {
    a.points.insert(a.points.end(), b.points.begin(), b.points.end());
    a.strength += b.strength;
    return a;
}

}  // namespace

TEST(Link, KeepsChainsOfEightPointsAndBridgesTwoPixelGaps) {
    dib_base map = blankMap(40, 30);
    // 7 points (dropped); 8 points; 8 + gap of 2 + 8 (one chain); 8 + gap of 3 + 8 (two chains).
    for (auto [x0, x1, y, v] : std::vector<std::array<int, 4>>{
             {2, 8, 2, 50}, {2, 9, 10, 50}, {2, 9, 20, 60}, {12, 19, 20, 60}, {2, 9, 27, 70}, {13, 20, 27, 70}})
        hline(map, x0, x1, y, v);
    // Strongest seeds first; from the last seed of equal strength the search runs left first, so every chain
    // reads left to right: {points, first x, first y, strength}.
    std::vector<std::array<int, 4>> got;
    for (const chain& c : linked(map, allSeeds(map)))
        got.push_back({int(c.points.size()), c.points.front().x, c.points.front().y, c.strength});
    EXPECT_EQ(got,
              (std::vector<std::array<int, 4>>{{8, 13, 27, 560}, {8, 2, 27, 560}, {16, 2, 20, 960}, {8, 2, 10, 400}}));
    EXPECT_EQ(positions(linked(map, allSeeds(map))[2])[8], std::make_pair(12, 20));
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
    dib_base map = blankMap(20, 12);
    hline(map, 0, 9, 0, 40);  // along the top row: rings reach past the image
    put(map, 7, 0, 60);
    // The seed list's own strength counts for the seed point, the map value for the rest; seed (2,0) is taken
    // by the chain of (7,0); empty seeds and seeds outside the image start nothing.
    const chain_list out = linked(map, {{50, 2, 0}, {80, 7, 0}, {99, 5, 5}, {99, -1, 3}, {99, 20, 0}});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].strength, 80 + 9 * 40);
    EXPECT_EQ(sxy(out[0].points[7]), std::make_tuple(80, 7, 0));
    EXPECT_EQ(sxy(out[0].points[2]), std::make_tuple(40, 2, 0));
    EXPECT_EQ(out[0].points.front().x, 0);
    EXPECT_EQ(out[0].points.back().x, 9);
    EXPECT_EQ(map.row(0)[3], 40);  // the caller's map is left alone
}

TEST(Link, EveryPixelSizeLinksTheSameChains) {
    dib_base maps[4] = {blankMap(48, 36, 1), blankMap(48, 36, 2), blankMap(48, 36, 3), blankMap(48, 36, 4)};
    unsigned state = 7;
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 48; ++x) {
            state = state * 1103515245u + 12345u;
            if ((state >> 16) % 3 == 0)
                for (dib_base& m : maps) put(m, x, y, 1 + int((state >> 8) % 255));
        }
    const points seeds = allSeeds(maps[0]);
    const chain_list one = linked(maps[0], seeds);
    ASSERT_GT(one.size(), 3u);
    for (int sz = 2; sz <= 4; ++sz) {
        const chain_list wide = linked(maps[sz - 1], seeds);
        ASSERT_EQ(wide.size(), one.size()) << sz;
        for (size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(wide[i].strength, one[i].strength) << sz;
            EXPECT_EQ(sxy(wide[i]), sxy(one[i])) << sz;
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
    chain_list in, out;
    for (int i = 0; i < 60; ++i) in.push_back(makeChain({{5, i, 0}, {1, i, 1}}, i));
    in[7] = makeChain({{5, 7, 0}, {9, 7, 1}});
    in[8] = makeChain({{5, 8, 0}, {1, 8, 1}, {3, 8, 2}});
    in[9] = makeChain({{5, 9, 0}});
    postLinkFilter(in, out);
    ASSERT_EQ(out.size(), 60u);
    EXPECT_EQ(out[0].points.front().x, 7);
    EXPECT_EQ(out[1].points.front().x, 8);
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
    sxy_list e;
    flat(e, 0, 9, 30);
    copied(e, c);
    flat(e, 91, 99, 34);
    chain out = reference({c}, 100);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, 81 * 82 / 2);
    chain back = c;  // running right to left makes no difference
    std::reverse(back.points.begin(), back.points.end());
    EXPECT_EQ(sxy(reference({back}, 100)), e);
    // Of two chains covering the width, the lower one wins even when shorter.
    EXPECT_EQ(reference({row(5, 95, 20), row(8, 92, 50)}, 100).points[50].y, 50);

    // A chain stepping back a column: only the first point of each column is copied.
    chain s = row(10, 50, 30);
    s.points.push_back(chain_point{42, 49, 31});
    s.points.push_back(chain_point{43, 50, 32});
    s = joined(s, row(51, 90, 32, 44));
    e.clear();
    flat(e, 0, 9, 30);
    copied(e, s, 0, 40);
    copied(e, s, 43);
    flat(e, 91, 99, 32);
    out = reference({s}, 100);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, 83 * 84 / 2 - 42 - 43);
}

TEST(ReferenceChain, JoinsTwoChainsWithAJointPenalty) {
    // Each chain alone is too short; the pair counts gain = 99 - 53 - 2 * step columns: a step of 14 rows is
    // accepted, 15 is not.
    const chain a = row(0, 50, 40), b14 = row(53, 99, 54, 100);
    sxy_list e;
    copied(e, a);
    flat(e, 51, 52, 54);
    copied(e, b14);
    const chain out = reference({a, b14}, 100);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, 51 * 52 / 2 + 47 * 100 + 47 * 46 / 2);
    EXPECT_TRUE(absent(reference({a, row(53, 99, 55)}, 100)));

    // A pair may replace its own first chain even when the pair lies higher.
    const chain wide = row(0, 80, 40), high = row(82, 99, 38);
    e.clear();
    copied(e, wide);
    flat(e, 81, 81, 38);
    copied(e, high);
    EXPECT_EQ(sxy(reference({wide, high}, 100)), e);

    // Overlapping chains: the second one continues after the first one's last column.
    const chain left = row(0, 60, 40), over = row(55, 99, 41);
    e.clear();
    copied(e, left);
    copied(e, over, 6);
    EXPECT_EQ(sxy(reference({left, over}, 100)), e);
}

TEST(ReferenceChain, SplitsHairpinsAtTheTurn) {
    // Legs of 50 points side by side, two rows apart, turning at column 59. The lower leg (with the turn) wins;
    // the upper leg, cut before the turn, is kept too and wins when it lies lower.
    chain out = reference({joined(row(10, 59, 20), row(59, 10, 22, 51))}, 70);
    sxy_list e;
    flat(e, 0, 9, 22);
    for (int c = 10; c <= 59; ++c) e.emplace_back(110 - c, c, 22);
    flat(e, 60, 69, 22);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, (51 + 100) * 50 / 2);
    e.clear();
    flat(e, 0, 9, 20);
    for (int c = 10; c <= 58; ++c) e.emplace_back(c - 9, c, 20);
    flat(e, 59, 69, 20);
    EXPECT_EQ(sxy(reference({joined(row(10, 59, 20), row(59, 10, 18, 51))}, 70)), e);

    // Both parts must keep more than 20 points: legs of 21 stay whole and are dropped as curled.
    EXPECT_TRUE(absent(reference({joined(row(0, 20, 10), row(20, 0, 12))}, 29)));
    out = reference({joined(row(0, 21, 10), row(21, 0, 12))}, 29);
    EXPECT_EQ(sxy(out.points[0]), std::make_tuple(22, 0, 12));
    EXPECT_EQ(sxy(out.points[28]), std::make_tuple(0, 28, 12));
}
