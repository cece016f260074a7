#include "cctrack/reference_chain.h"

#include <gtest/gtest.h>

#include "chains_util.h"

using namespace chains_test;

namespace {

using sxy_list = std::vector<std::tuple<int, int, int>>;

chain reference(const chain_list& chains, int width) {
    chain out;
    buildReferenceChain(chains, width, out);
    EXPECT_EQ(out.points.size(), size_t(width > 0 ? width : 0));
    return out;
}

bool absent(const chain& c) {
    for (const chain_point& p : c.points)
        if (p.strength != 0 || p.x != -1 || p.y != -1) return false;
    return c.strength == 0;
}

chain column(int x, int y0, int y1) {
    chain c;
    for (int y = y0; y <= y1; ++y) c.points.push_back(chain_point{1, x, y});
    return c;
}

// Expected columns: filler columns [c0, c1] on row y, then the given points.
void flat(sxy_list& e, int c0, int c1, int y) {
    for (int c = c0; c <= c1; ++c) e.emplace_back(0, c, y);
}
void copied(sxy_list& e, const chain& c, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < c.points.size() && i <= to; ++i) e.push_back(sxy(c.points[i]));
}

}  // namespace

TEST(ReferenceChain, AbsentWithoutALongSidewaysChain) {
    EXPECT_TRUE(absent(reference({}, 50)));
    EXPECT_TRUE(absent(reference({row(10, 19, 30)}, 100)));          // too short
    EXPECT_TRUE(absent(reference({column(50, 0, 99)}, 100)));         // steep
    EXPECT_TRUE(absent(reference({row(10, 90, 0)}, 100)));            // mean row not below 0
    EXPECT_TRUE(reference({row(10, 90, 30)}, 0).points.empty());
    // Only the five longest chains are candidates.
    chain_list chains(5, column(3, 0, 199));
    chains.push_back(row(10, 90, 30));
    EXPECT_TRUE(absent(reference(chains, 100)));
    chains.erase(chains.begin());
    EXPECT_FALSE(absent(reference(chains, 100)));
}

TEST(ReferenceChain, SingleChainAcrossTheImage) {
    chain c = row(10, 49, 30);
    const chain right = row(50, 90, 34, 41);
    c.points.insert(c.points.end(), right.points.begin(), right.points.end());
    sxy_list e;
    flat(e, 0, 9, 30);
    copied(e, c);
    flat(e, 91, 99, 34);
    chain out = reference({c}, 100);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, 81 * 82 / 2);
    // Running right to left makes no difference.
    chain back = c;
    std::reverse(back.points.begin(), back.points.end());
    EXPECT_EQ(sxy(reference({back}, 100)), e);
    // Of two chains covering the width, the lower one wins even when shorter.
    EXPECT_EQ(reference({row(5, 95, 20), row(8, 92, 50)}, 100).points[50].y, 50);

    // A chain stepping back a column: only the first point of each column is copied.
    chain s = row(10, 50, 30);
    const chain tail = row(51, 90, 32, 44);
    s.points.push_back(chain_point{42, 49, 31});
    s.points.push_back(chain_point{43, 50, 32});
    s.points.insert(s.points.end(), tail.points.begin(), tail.points.end());
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
    // Each chain alone is too short; the pair counts gain = 99 - 53 - 2 * step columns.
    const chain a = row(0, 50, 40);
    const chain b14 = row(53, 99, 54, 100);
    sxy_list e;
    copied(e, a);
    flat(e, 51, 52, 54);
    copied(e, b14);
    chain out = reference({a, b14}, 100);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, 51 * 52 / 2 + 47 * 100 + 47 * 46 / 2);
    EXPECT_TRUE(absent(reference({a, row(53, 99, 55)}, 100)));

    // A pair may replace its own first chain even when the pair lies higher.
    const chain wide = row(0, 80, 40);
    const chain high = row(82, 99, 38);
    e.clear();
    copied(e, wide);
    flat(e, 81, 81, 38);
    copied(e, high);
    EXPECT_EQ(sxy(reference({wide, high}, 100)), e);

    // Overlapping chains: the second one continues after the first one's last column.
    const chain left = row(0, 60, 40);
    const chain over = row(55, 99, 41);
    e.clear();
    copied(e, left);
    copied(e, over, 6);
    EXPECT_EQ(sxy(reference({left, over}, 100)), e);
}

TEST(ReferenceChain, SplitsHairpinsAtTheTurn) {
    // Legs of 50 points side by side, two rows apart, turning at column 59.
    auto hairpin = [](int y1, int y2) {
        chain c = row(10, 59, y1);
        const chain back = row(59, 10, y2, 51);
        c.points.insert(c.points.end(), back.points.begin(), back.points.end());
        return c;
    };
    // The lower leg (with the turn) wins.
    chain out = reference({hairpin(20, 22)}, 70);
    sxy_list e;
    flat(e, 0, 9, 22);
    for (int c = 10; c <= 59; ++c) e.emplace_back(110 - c, c, 22);
    flat(e, 60, 69, 22);
    EXPECT_EQ(sxy(out), e);
    EXPECT_EQ(out.strength, (51 + 100) * 50 / 2);
    // The upper leg, cut before the turn, is kept too and wins when it lies lower.
    e.clear();
    flat(e, 0, 9, 20);
    for (int c = 10; c <= 58; ++c) e.emplace_back(c - 9, c, 20);
    flat(e, 59, 69, 20);
    EXPECT_EQ(sxy(reference({hairpin(20, 18)}, 70)), e);

    // Both parts must keep more than 20 points: legs of 21 stay whole and are dropped as curled.
    auto shortPin = [](int leg) {
        chain c = row(0, leg - 1, 10);
        const chain back = row(leg - 1, 0, 12);
        c.points.insert(c.points.end(), back.points.begin(), back.points.end());
        return c;
    };
    EXPECT_TRUE(absent(reference({shortPin(21)}, 29)));
    out = reference({shortPin(22)}, 29);
    EXPECT_EQ(sxy(out.points[0]), std::make_tuple(22, 0, 12));
    EXPECT_EQ(sxy(out.points[28]), std::make_tuple(0, 28, 12));
}
