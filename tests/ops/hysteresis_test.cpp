#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "ops/do_histeresis.h"
#include "reference.h"

namespace {
using ref::at;
using ref::blank;
using ref::differences;

dib_base bytes(int w, int h, std::initializer_list<std::array<int, 3>> pixels) {
    dib_base image = blank(w, h, 1);
    for (auto [x, y, v] : pixels) *at(image, x, y) = uint8_t(v);
    return image;
}
std::vector<int> xs(const std::vector<chain_point>& list) {
    std::vector<int> x;
    for (const chain_point& p : list) x.push_back(p.x);
    return x;
}

TEST(Hysteresis, ThresholdsAndSeedOrder) {
    std::vector<chain_point> list;
    // th_hi = th_lo = 0: every non-zero pixel is marked, isolated ones included.
    const dib_base dots = bytes(7, 5, {{1, 1, 3}, {2, 2, 9}, {5, 3, 1}});
    dib_base out = blank(7, 5, 1);
    EXPECT_EQ(do_histeresis(dots, 0, 0, 0, out, list), 0);
    EXPECT_EQ(differences(out, dots), "");
    EXPECT_EQ(list.size(), 3u);
    // Equal to th_hi is no seed, equal to th_lo no continuation; a weak chain alone stays out.
    const dib_base row = bytes(9, 3, {{1, 1, 20}, {2, 1, 15}, {3, 1, 15}, {4, 1, 10}, {5, 1, 15}, {7, 1, 12}});
    do_histeresis(row, 19, 10, 0, out = blank(9, 3, 1), list);
    EXPECT_EQ(xs(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(std::count(out.bits, out.bits + 27, 0), 24);
    do_histeresis(row, 20, 10, 0, out = blank(9, 3, 1), list);
    EXPECT_TRUE(list.empty());
    // Two strong pixels on one chain: marked once from the first seed in scan order, to the
    // right in increasing x, the left end only after the right one.
    const dib_base chain = bytes(12, 4, {{2, 2, 40}, {3, 2, 80}, {4, 2, 40}, {5, 2, 40}, {6, 2, 40}, {7, 2, 90}, {8, 2, 40}, {9, 2, 40}});
    do_histeresis(chain, 50, 30, 1, out = blank(12, 4, 1), list);
    EXPECT_EQ(xs(list), (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 2}));
    EXPECT_EQ(list[0].strength, 80);
    // A failed size check has emptied the list and written nothing.
    EXPECT_NE(ref::thrown([&] { do_histeresis(chain, 50, 30, 1, out = blank(12, 5, 1), list); }), "(nothing thrown)");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(differences(out, blank(12, 5, 1)), "");
}

// Random inputs leave marked values on every edge of the image, so traces run along the
// outermost rows and columns; the list order must equal the recursive one.
TEST(Hysteresis, MatchesRecursiveReference) {
    int run = 0;
    for (int sz = 1; sz <= 4; ++sz)
        for (auto [w, h] : {std::pair{1, 9}, {9, 1}, {2, 2}, {31, 23}, {64, 40}})
            for (int b : {0, 1, 30, -1})
                for (auto [hi, lo] : {std::pair{200, 120}, {150, 150}, {60, 0}}) {
                    ++run;
                    const dib_base in = ref::image(w, h, sz, run, run % 2, run % 3 == 0);
                    dib_base got = run % 5 == 0 ? ref::image(w, h, sz, run + 9) : blank(w, h, sz), want = got;
                    std::vector<chain_point> gotList, wantList;
                    EXPECT_EQ(do_histeresis(in, hi, lo, b, got, gotList), ref::histeresis(in, hi, lo, std::max(b, 0), want, wantList));
                    EXPECT_EQ(differences(got, want), "") << sz << " " << w << "x" << h << " b " << b;
                    EXPECT_TRUE(ref::sameList(gotList, wantList)) << sz << " " << w << "x" << h << " b " << b;
                }
}

// A value-0 pixel would pass a negative threshold while marking leaves it 0: thresholds act as at least 0.
TEST(Hysteresis, NegativeThresholdsActAsZero) {
    dib_base in = ref::image(30, 20, 1, 4);
    for (int i = 0; i < 600; i += 2) in.bits[i] = 0;
    for (auto [hi, lo] : {std::pair{-3, -5}, {0, -1}, {5, -2}}) {
        dib_base got = blank(30, 20, 1), want = got;
        std::vector<chain_point> list, wantList;
        do_histeresis(in, hi, lo, 0, got, list);
        ref::histeresis(in, std::max(hi, 0), 0, 0, want, wantList);
        EXPECT_EQ(differences(got, want), "") << hi << " " << lo;
        EXPECT_TRUE(ref::sameList(list, wantList)) << hi << " " << lo;
    }
}

// A one-pixel-wide path: full rows 1, 3, 5, ... joined alternately at the right and the left end.
dib_base serpentine(int w, int h) {
    dib_base image = blank(w, h, 1);
    for (int y = 1; y + 1 < h; y += 2) {
        std::memset(at(image, 1, y), 50, size_t(w - 2));
        if (y + 3 < h) *at(image, (y / 2) % 2 == 0 ? w - 2 : 1, y + 1) = 50;
    }
    return image;
}

TEST(Hysteresis, SerpentineEdge) {
    // Small frame: the order of the recursive description.
    const dib_base small = serpentine(70, 61);
    dib_base got = blank(70, 61, 1), want = got;
    std::vector<chain_point> list, wantList;
    do_histeresis(small, 10, 9, 0, got, list);
    ref::histeresis(small, 10, 9, 0, want, wantList);
    EXPECT_EQ(list.size(), size_t(std::count(small.bits, small.bits + small.byteSize(), 50)));
    EXPECT_TRUE(ref::sameList(list, wantList));
    EXPECT_EQ(differences(got, want), "");

    // A frame-filling path whose trace nests about as deep as it is long (too deep for recursion).
    const dib_base large = serpentine(1000, 1000);
    dib_base edges = blank(1000, 1000, 1);
    do_histeresis(large, 10, 9, 0, edges, list);
    ASSERT_EQ(list.size(), size_t(std::count(large.bits, large.bits + large.byteSize(), 50)));
    EXPECT_EQ(differences(edges, large), "");
    EXPECT_TRUE(list[0].x == 1 && list[0].y == 1);
    // Depth first: every point after the first touches a point joined before it.
    std::vector<int> order(1000 * 1000, -1);
    for (size_t i = 0; i < list.size(); ++i) order[size_t(list[i].y) * 1000 + size_t(list[i].x)] = int(i);
    int orphans = 0;
    for (size_t i = 1; i < list.size(); ++i) {
        bool touches = false;
        for (int d = 0; d < 9; ++d) {
            const int o = order[size_t(list[i].y + d / 3 - 1) * 1000 + size_t(list[i].x + d % 3 - 1)];
            touches = touches || (o >= 0 && o < int(i));
        }
        orphans += !touches;
    }
    EXPECT_EQ(orphans, 0);
}

}  // namespace
