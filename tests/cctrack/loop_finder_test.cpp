#include <gtest/gtest.h>

#include <cmath>

#include "cctrack/loop_finder.h"
#include "cctrack/turn_analyzer.h"
#include "feature_shapes.h"

namespace {

using shapes::points;

TEST(TurnAnalyzer, WindowsDirectionAndWrap) {
    points straight;
    shapes::line(straight, 10, 10, 1, 0, 10);
    const turn_analyzer open(straight);
    EXPECT_FALSE(open.closed());
    double a = 99.0;
    // Open: the half-window shrinks towards both ends and must stay at least 2.
    EXPECT_FALSE(open.angle(0, a));
    EXPECT_FALSE(open.angle(1, a));
    EXPECT_TRUE(open.angle(2, a));
    EXPECT_EQ(a, 0.0);
    EXPECT_TRUE(open.angle(7, a));
    EXPECT_FALSE(open.angle(8, a));
    EXPECT_FALSE(open.angle(-1, a));

    points corner;  // right along y = 10, then down (growing y)
    shapes::line(corner, 10, 10, 1, 0, 5);
    shapes::line(corner, 14, 11, 0, 1, 5);
    const turn_analyzer l(corner);
    ASSERT_TRUE(l.angle(4, a));
    EXPECT_DOUBLE_EQ(a, turn_pi / 2);

    // A sharp hairpin: the direction difference exceeds pi and wraps round to negative.
    const points hairpin{{1, 10, 11}, {1, 11, 11}, {1, 12, 10}, {1, 13, 10}, {1, 14, 10},
                         {1, 12, 11}, {1, 10, 11}, {1, 8, 11},  {1, 6, 11}};
    const turn_analyzer h(hairpin);
    ASSERT_TRUE(h.angle(4, a));
    EXPECT_DOUBLE_EQ(a, std::atan2(1.0, -8.0) - std::atan2(-1.0, 4.0) - 2 * turn_pi);
    EXPECT_LT(a, -3.0);

    // Closed (ends within two pixels): indices wrap and reach down to -maxWindow.
    const points r = shapes::ring40(40, 40);
    const turn_analyzer c(r);
    EXPECT_TRUE(c.closed());
    EXPECT_FALSE(c.angle(-4, a));
    EXPECT_FALSE(c.angle(-3, a));
    EXPECT_TRUE(c.angle(-2, a));
    EXPECT_TRUE(c.angle(0, a));  // uses points 36 and 4
    EXPECT_TRUE(c.angle(37, a));
    EXPECT_FALSE(c.angle(38, a));  // only one point follows, and the end does not wrap
}

TEST(LoopFinder, NearClosedChainIsOneLoopWithoutCornerSearch) {
    const points r = shapes::ring40(40, 40);
    ASSERT_EQ(r.size(), 40u);
    const loop_finder f(3, r, 100, 100, 5);
    EXPECT_FLOAT_EQ(f.closure(0, 40), 50.0f);  // 40^2 / 4^2 / 2
    EXPECT_TRUE(f.corners().empty());
    ASSERT_EQ(f.loops().size(), 1u);
    EXPECT_EQ(f.loopStarts(), std::vector<int>{0});

    alg::feature_loop out;
    EXPECT_EQ(f.next(0, out), 40);
    EXPECT_EQ(out.pointCount(), 40);
    EXPECT_EQ(out.chainIndex(), 3);
    EXPECT_FALSE(out.partial());
    EXPECT_EQ(out.x(), 45);
    EXPECT_EQ(out.y(), 45);
    alg::feature_loop untouched;
    EXPECT_EQ(f.next(1, untouched), 40);
    EXPECT_TRUE(untouched.isEmpty());
}

TEST(LoopFinder, ClosureDivisorNearTheBorder) {
    // Ends at (7,40) and (6,41), border 5: the second lies 1 pixel inside the valid part,
    // which is not more than the gap (squared 2), so the divisor becomes 50.
    const points left = shapes::ring40(6, 40);
    const loop_finder nearLeft(0, left, 100, 100, 5);
    EXPECT_FLOAT_EQ(nearLeft.closure(0, 40), float(1600.0 / 2500.0 / 2.0));
    EXPECT_FALSE(nearLeft.corners().empty());  // not closed enough: corners were searched

    // Right edge: x folds to width - x beyond the middle.
    EXPECT_FLOAT_EQ(loop_finder(0, shapes::ring40(92, 40), 100, 100, 5).closure(0, 40), 50.0f);
    EXPECT_FLOAT_EQ(loop_finder(0, shapes::ring40(93, 40), 100, 100, 5).closure(0, 40), 0.32f);
    // Bottom edge, likewise through height - y; top edge with a larger border.
    EXPECT_FLOAT_EQ(loop_finder(0, shapes::ring40(40, 55), 100, 62, 5).closure(0, 40), 0.32f);
    EXPECT_FLOAT_EQ(loop_finder(0, shapes::ring40(40, 40), 100, 100, 39).closure(0, 40), 0.32f);
    EXPECT_FLOAT_EQ(loop_finder(0, shapes::ring40(40, 40), 100, 100, 38).closure(0, 40), 50.0f);
    // Coincident ends count as a gap of 1.
    points same(12, chain_point{1, 50, 50});
    EXPECT_FLOAT_EQ(loop_finder(0, same, 100, 100, 5).closure(0, 12), 9.0f);
}

TEST(LoopFinder, StraightAndShortChains) {
    points straight;
    shapes::line(straight, 20, 50, 1, 0, 30);
    const loop_finder s(0, straight, 100, 100, 5);
    EXPECT_EQ(s.corners(), (std::vector<int>{0, 30}));
    EXPECT_TRUE(s.loops().empty());
    alg::feature_loop out;
    EXPECT_EQ(s.next(0, out), 30);
    EXPECT_TRUE(out.isEmpty());

    // Nine points that close on themselves are still too short; ten are enough.
    points nine;
    shapes::ring(nine, 40, 40, 3, 4);
    ASSERT_EQ(nine.size(), 9u);
    EXPECT_EQ(loop_finder(0, nine, 100, 100, 5).closure(0, 9), 0.0f);
    EXPECT_TRUE(loop_finder(0, nine, 100, 100, 5).loops().empty());
    points ten;
    shapes::ring(ten, 40, 40, 4, 4);
    ten.erase(ten.begin() + 2);
    ASSERT_EQ(ten.size(), 10u);
    const loop_finder t(0, ten, 100, 100, 5);
    EXPECT_FLOAT_EQ(t.closure(0, 10), 3.125f);
    ASSERT_EQ(t.loops().size(), 1u);
    EXPECT_EQ(t.loops()[0].pointCount(), 10);

    EXPECT_TRUE(loop_finder(0, points{}, 100, 100, 5).loops().empty());
    EXPECT_EQ(loop_finder(0, points{}, 100, 100, 5).next(0, out), 0);
}

TEST(LoopFinder, CornersAndTheLoopBeforeATail) {
    // The ring, then a tail running left from its end: the whole chain is open, the
    // corners are the ring's (the cut corner peaks at its first index) and the junction,
    // and the best corner pair is (0, 39).
    points p = shapes::ring40(60, 60);
    shapes::line(p, 59, 61, -1, 0, 38);
    const loop_finder f(7, p, 200, 200, 5);
    EXPECT_EQ(f.corners(), (std::vector<int>{0, 8, 19, 29, 39, 78}));
    ASSERT_EQ(f.loops().size(), 1u);
    EXPECT_EQ(f.loopStarts()[0], 0);
    const alg::feature_loop& loop = f.loops()[0];
    EXPECT_EQ(loop.pointCount(), 39);
    EXPECT_EQ(loop.chainIndex(), 7);
    EXPECT_TRUE(loop.partial());  // 4 * 39 < 3 * 78

    // Trimming: the whole chain closes well enough to be one loop, but the lead-in is cut
    // off, since each of its points lies nearer the far end than the one before.
    points lead;
    shapes::line(lead, 64, 58, -1, 0, 3);  // (64,58) (63,58) (62,58), then up to the ring
    lead.push_back({10, 61, 59});
    const points r = shapes::ring40(60, 60);
    lead.insert(lead.end(), r.begin(), r.end());
    const loop_finder g(0, lead, 200, 200, 5);
    EXPECT_FLOAT_EQ(g.closure(0, 44), float(44.0 * 44.0 / 16.0 / 25.0));
    ASSERT_EQ(g.loops().size(), 1u);
    EXPECT_EQ(g.loopStarts()[0], 4);
    EXPECT_EQ(g.loops()[0].pointCount(), 40);
    EXPECT_EQ(g.loops()[0].points().front().x, 61);
    EXPECT_EQ(g.loops()[0].points().front().y, 60);
}

TEST(LoopFinder, ManyNestedLoopsComeOutInChainOrder) {
    // Rings of growing size, each left along a diagonal tail to the next one. Every range's
    // best stretch is then its last ring, so the selection nests once per ring before it
    // takes the first one.
    const int rings = 60;
    points p;
    std::vector<ip_point> centres;
    std::vector<int> sizes;
    int x0 = 4000, y0 = 10;
    for (int k = 0; k < rings; ++k) {
        const int s = 12 + k, m = s + 10;
        shapes::ring(p, x0, y0, s, s);
        shapes::line(p, x0 - 1, y0 + 2, -1, 1, m);
        centres.push_back({x0 + (s - 1) / 2, y0 + (s - 1) / 2});
        sizes.push_back(4 * s - 5);
        x0 -= m + 2;
        y0 += m + 2;
    }
    const loop_finder f(0, p, 8000, 8000, 5);
    ASSERT_EQ(int(f.loops().size()), rings);
    for (int k = 0; k < rings; ++k) {
        const alg::feature_loop& loop = f.loops()[size_t(k)];
        EXPECT_NEAR(loop.x(), centres[size_t(k)].x, 1) << k;
        EXPECT_NEAR(loop.y(), centres[size_t(k)].y, 1) << k;
        EXPECT_GE(loop.pointCount(), sizes[size_t(k)] - 2) << k;
        EXPECT_LE(loop.pointCount(), sizes[size_t(k)]) << k;
        if (k > 0) {
            EXPECT_LT(f.loopStarts()[size_t(k - 1)], f.loopStarts()[size_t(k)]);
        }
    }

    // next() walks them all, once each and in order.
    std::vector<int> seenX;
    for (int i = 0; i < int(p.size());) {
        alg::feature_loop loop;
        i = f.next(i, loop);
        if (!loop.isEmpty()) seenX.push_back(loop.x());
    }
    ASSERT_EQ(int(seenX.size()), rings);
    for (int k = 0; k < rings; ++k) EXPECT_EQ(seenX[size_t(k)], f.loops()[size_t(k)].x());
}

}  // namespace
