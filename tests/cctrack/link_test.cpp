#include "cctrack/link.h"

#include <gtest/gtest.h>

#include <cstring>

#include "chains_util.h"

using namespace chains_test;

namespace {

// Seeds as the hysteresis leaves them: every set pixel with its value, in scan order.
std::vector<chain_point> allSeeds(const dib_base& map) {
    std::vector<chain_point> seeds;
    for (int y = 0; y < map.absHeight(); ++y)
        for (int x = 0; x < map.width; ++x)
            if (map.row(y)[x]) seeds.push_back(chain_point{map.row(y)[x], x, y});
    return seeds;
}

chain_list linkAll(const dib_base& map) {
    chain_list out;
    link(map, allSeeds(map), out);
    return out;
}

void hline(dib_base& map, int x0, int x1, int y, int v) {
    for (int x = x0; x <= x1; ++x) put(map, x, y, v);
}

}  // namespace

TEST(Link, KeepsChainsOfEightPointsAndBridgesTwoPixelGaps) {
    dib_base map = blankMap(40, 30);
    hline(map, 2, 8, 2, 50);     // 7 points: dropped
    hline(map, 2, 9, 10, 50);    // 8 points: kept
    hline(map, 2, 9, 20, 60);    // 8 + gap of 2 + 8: one chain
    hline(map, 12, 19, 20, 60);
    hline(map, 2, 9, 27, 70);    // 8 + gap of 3 + 8: two chains
    hline(map, 13, 20, 27, 70);
    chain_list out = linkAll(map);
    ASSERT_EQ(out.size(), 4u);
    // Strongest seeds first; from the last seed of equal strength the search runs left first,
    // so every chain reads left to right.
    EXPECT_EQ(out[0].points.size(), 8u);
    EXPECT_EQ(out[0].points.front().x, 13);
    EXPECT_EQ(out[1].points.size(), 8u);
    EXPECT_EQ(out[1].points.front().x, 2);
    EXPECT_EQ(out[2].points.size(), 16u);
    EXPECT_EQ(out[2].points[7].x, 9);
    EXPECT_EQ(out[2].points[8].x, 12);
    EXPECT_EQ(out[2].strength, 16 * 60);
    EXPECT_EQ(out[3].points.size(), 8u);
    EXPECT_EQ(out[3].points.front().y, 10);
}

TEST(Link, RingGroupsAndTies) {
    // Seed at (10,10); ring 1 and the axis points of ring 2 are empty; (9,8) and (11,8)
    // share the first off-axis group of ring 2 and lead to runs going left and right.
    auto build = [](int rightValue, int axisValue) {
        dib_base map = blankMap(30, 20);
        put(map, 10, 10, 200);
        hline(map, 3, 9, 8, 100);
        hline(map, 12, 17, 8, 100);
        put(map, 11, 8, rightValue);
        if (axisValue) put(map, 10, 12, axisValue);
        chain_list out;
        link(map, {chain_point{200, 10, 10}}, out);
        return out;
    };
    chain_list tie = build(100, 0);
    ASSERT_EQ(tie.size(), 1u);
    EXPECT_EQ(tie[0].points.front().x, 3);  // equal values: (x-1, y-r) is listed first
    EXPECT_EQ(tie[0].points[7].x, 10);
    chain_list stronger = build(101, 0);
    ASSERT_EQ(stronger.size(), 1u);
    EXPECT_EQ(stronger[0].points.front().x, 17);  // larger value wins within the group
    // An axis point of ring 2, however weak, comes before the off-axis group.
    chain_list axis = build(100, 1);
    ASSERT_EQ(axis.size(), 1u);
    EXPECT_EQ(sxy(axis[0].points.front()), std::make_tuple(1, 10, 12));
}

TEST(Link, SeedOrderTakenSeedsAndStrength) {
    dib_base map = blankMap(20, 12);
    hline(map, 0, 9, 0, 40);  // along the top row: rings reach past the image
    put(map, 7, 0, 60);
    // The seed list's own strength counts for the seed point; the map value for the rest.
    std::vector<chain_point> seeds = {{50, 2, 0}, {80, 7, 0}, {99, 5, 5}, {99, -1, 3}, {99, 20, 0}};
    chain_list out;
    link(map, seeds, out);
    ASSERT_EQ(out.size(), 1u);  // seed (2,0) was taken by the chain of (7,0); empty seeds start nothing
    EXPECT_EQ(out[0].strength, 80 + 9 * 40);
    EXPECT_EQ(sxy(out[0].points[7]), std::make_tuple(80, 7, 0));
    EXPECT_EQ(sxy(out[0].points[2]), std::make_tuple(40, 2, 0));
    EXPECT_EQ(out[0].points.front().x, 0);
    EXPECT_EQ(out[0].points.back().x, 9);
    EXPECT_EQ(map.row(0)[3], 40);  // the caller's map is left alone
}

TEST(Link, EveryPixelSizeLinksTheSameChains) {
    dib_base map = blankMap(48, 36);
    unsigned state = 7;
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 48; ++x) {
            state = state * 1103515245u + 12345u;
            if ((state >> 16) % 3 == 0) put(map, x, y, 1 + int((state >> 8) % 255));
        }
    const std::vector<chain_point> seeds = allSeeds(map);
    chain_list one;
    link(map, seeds, one);
    ASSERT_GT(one.size(), 3u);
    for (int sz = 2; sz <= 4; ++sz) {
        chain_list wide;
        link(widen(map, sz), seeds, wide);
        ASSERT_EQ(wide.size(), one.size()) << sz;
        for (size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(wide[i].strength, one[i].strength) << sz;
            EXPECT_EQ(sxy(wide[i]), sxy(one[i])) << sz;
        }
    }
    dib_fmt odd(8, 8, 1, 0, false);
    odd.szPixel = 5;
    dib_base bad(odd, 1);
    chain_list none;
    try {
        link(bad, seeds, none);
        FAIL();
    } catch (const char* e) {
        EXPECT_STREQ(e, "dib_access_dispatch1 - unsupported szPixel");
    }
}
