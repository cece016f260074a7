#include "cctrack/post_link_filter.h"

#include <gtest/gtest.h>

#include "chains_util.h"

using namespace chains_test;

namespace {

chain filterOne(const chain& c) {
    chain_list out;
    postLinkFilter({c}, out);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? chain{} : out[0];
}

// Chain i: two adjacent points at column i, first strength `first(i)`, chain strength `total(i)`.
template <class F, class T>
chain_list pairs(int count, F first, T total) {
    chain_list in;
    for (int i = 0; i < count; ++i) in.push_back(makeChain({{first(i), i, 0}, {1, i, 1}}, total(i)));
    return in;
}

std::vector<int> columns(const chain_list& out) {
    std::vector<int> xs;
    for (const chain& c : out) xs.push_back(c.points.front().x);
    return xs;
}

}  // namespace

TEST(PostLinkFilter, SelectsThirtyByPointOrderThenThirtyByMeanStrength) {
    // Point order follows i; the mean strength (69 - i) / 2 falls with i and differs only by halves.
    auto first = [](int i) { return i; };
    auto total = [](int i) { return 69 - i; };
    chain_list out;
    postLinkFilter(pairs(59, first, total), out);
    ASSERT_EQ(out.size(), 59u);
    for (int i = 0; i < 59; ++i) EXPECT_EQ(out[size_t(i)].points.front().x, i);

    std::vector<int> expected;
    for (int i = 69; i >= 40; --i) expected.push_back(i);
    for (int i = 0; i < 30; ++i) expected.push_back(i);
    out.clear();
    postLinkFilter(pairs(70, first, total), out);
    EXPECT_EQ(columns(out), expected);

    expected.clear();
    for (int i = 59; i >= 30; --i) expected.push_back(i);
    for (int i = 0; i < 30; ++i) expected.push_back(i);
    out.clear();
    postLinkFilter(pairs(60, first, total), out);
    EXPECT_EQ(columns(out), expected);

    // Equal first strengths: the next point decides, and a proper prefix is the smaller.
    chain_list in = pairs(60, [](int) { return 5; }, [](int i) { return i; });
    in[7] = makeChain({{5, 7, 0}, {9, 7, 1}});
    in[8] = makeChain({{5, 8, 0}, {1, 8, 1}, {3, 8, 2}});
    in[9] = makeChain({{5, 9, 0}});
    out.clear();
    postLinkFilter(in, out);
    ASSERT_EQ(out.size(), 60u);
    EXPECT_EQ(out[0].points.front().x, 7);
    EXPECT_EQ(out[1].points.front().x, 8);
}

TEST(PostLinkFilter, FillsGapsAlongTheDigitalLine) {
    chain row5 = filterOne(makeChain({{50, 10, 5}, {60, 15, 5}}));
    EXPECT_EQ(sxy(row5), (std::vector<std::tuple<int, int, int>>{
                             {50, 10, 5}, {0, 11, 5}, {0, 12, 5}, {0, 13, 5}, {0, 14, 5}, {60, 15, 5}}));
    EXPECT_EQ(row5.strength, 110);

    EXPECT_EQ(positions(filterOne(makeChain({{1, 0, 0}, {1, 3, 8}}))),
              (xy_list{{0, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}, {2, 6}, {2, 7}, {3, 8}}));
    EXPECT_EQ(positions(filterOne(makeChain({{1, 0, 0}, {1, 8, 3}}))),
              (xy_list{{0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {6, 2}, {7, 2}, {8, 3}}));
    EXPECT_EQ(positions(filterOne(makeChain({{1, 10, 10}, {1, 4, 8}}))),
              (xy_list{{10, 10}, {9, 9}, {8, 9}, {7, 9}, {6, 9}, {5, 9}, {4, 8}}));
    EXPECT_EQ(positions(filterOne(makeChain({{1, 0, 0}, {1, 3, -3}}))),
              (xy_list{{0, 0}, {1, -1}, {2, -2}, {3, -3}}));
    EXPECT_EQ(positions(filterOne(makeChain({{1, 4, 0}, {1, 4, 3}}))), (xy_list{{4, 0}, {4, 1}, {4, 2}, {4, 3}}));
}

TEST(PostLinkFilter, ThinsRunsPreferringStrictlyStrongerPoints) {
    // One point stays one point; the result's strength counts only the points kept.
    chain single = filterOne(makeChain({{40, 3, 3}}, 999));
    EXPECT_EQ(sxy(single), (std::vector<std::tuple<int, int, int>>{{40, 3, 3}}));
    EXPECT_EQ(single.strength, 40);
    EXPECT_TRUE(filterOne(chain{}).points.empty());

    // L-shaped run (0,0) (1,0) (1,1) before (2,1): the corner survives only when strictly
    // stronger than the point after it and adjacent to the point beyond the run.
    chain strong = filterOne(makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}));
    EXPECT_EQ(positions(strong), (xy_list{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    EXPECT_EQ(strong.strength, 80);
    EXPECT_EQ(positions(filterOne(makeChain({{10, 0, 0}, {40, 1, 0}, {40, 1, 1}, {10, 2, 1}, {10, 3, 1}}))),
              (xy_list{{0, 0}, {1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(positions(filterOne(makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}, {10, 1, 2}}))),
              (xy_list{{0, 0}, {1, 1}, {1, 2}}));
    // The last run of a chain has no point beyond it, so any stronger point qualifies.
    EXPECT_EQ(positions(filterOne(makeChain({{10, 0, 0}, {50, 1, 0}, {40, 1, 1}}))),
              (xy_list{{0, 0}, {1, 0}, {1, 1}}));

    // Equal strongest candidates (1,1) and (1,0): the earlier one is taken.
    EXPECT_EQ(positions(filterOne(
                  makeChain({{1, 0, 0}, {50, 1, 1}, {50, 1, 0}, {20, 1, -1}, {1, 2, 0}, {1, 3, 0}}))),
              (xy_list{{0, 0}, {1, 1}, {1, 0}, {2, 0}, {3, 0}}));
}
