#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "cc_util.h"
#include "cctrack/feature_extract.h"
#include "cctrack/loop_finder.h"
#include "cctrack/turn_analyzer.h"
#include "doubles/recording.h"

using namespace cc;

namespace {

using extractor = std::unique_ptr<alg::feature_extract_c>;
using facts_t = std::array<int, 5>;

extractor make(int width, int height, int border, bool regions) {
    return extractor(alg::feature_extract_c::create(width, height, border, regions, nullptr));
}

const alg::feature_loop& nth(const alg::feature_extract& e, int j) { return alg::feature_loop::cast(e.feature(j)); }

// Points of the circle of radius r round (cx, cy) from angle a0 to a1 (degrees), without repeats.
points arc(int cx, int cy, double r, double a0, double a1) {
    points p;
    for (int i = 0; i <= 2000; ++i) {
        const double a = (a0 + (a1 - a0) * i / 2000) * turn_pi / 180.0;
        const int x = int(std::lround(cx + r * std::cos(a))), y = int(std::lround(cy + r * std::sin(a)));
        if (p.empty() || p.back().x != x || p.back().y != y) p.push_back({20, x, y});
    }
    return p;
}

chain_list chainsOf(const std::vector<points>& lists) {
    chain_list out(lists.size());
    for (size_t i = 0; i < lists.size(); ++i) out[i].points = lists[i];
    return out;
}

// The 40-point ring at (60,60) with a tail of `tail` points running left from its end.
points ringWithTail(int tail) {
    points p = ring40(60, 60);
    line(p, 59, 61, -1, 0, tail);
    return p;
}

}  // namespace

TEST(TurnAnalyzer, WindowsAndAnglesAreTheDifferenceOfTheTwoChordsAtan2) {
    // Open: the half-window shrinks towards both ends and must stay at least 2. Closed (ends within two pixels):
    // indices wrap and reach down to -maxWindow + 2; the end does not wrap.
    points straight;
    line(straight, 10, 10, 1, 0, 10);
    const points r = ring40(40, 40);
    const turn_analyzer open(straight), closed(r);
    EXPECT_TRUE(!open.closed() && closed.closed());
    EXPECT_TRUE(turn_analyzer(points{{1, 10, 10}, {1, 12, 10}}).closed());   // squared gap 4
    EXPECT_FALSE(turn_analyzer(points{{1, 10, 10}, {1, 12, 11}}).closed());  // 5
    double a = 99.0;
    for (int i = -4; i <= 38; ++i) {
        EXPECT_EQ(open.angle(i, a), i >= 2 && i <= 7) << i;
        EXPECT_EQ(closed.angle(i, a), i >= -2 && i <= 37) << i;
    }
    // Chords of every length up to far beyond the looked-up ones, and zero-length chords.
    std::mt19937 rng(5);
    for (int reach : {1, 3, 24, 25, 200}) {
        points p;
        for (int i = 0; i < 60; ++i)
            p.push_back({1, int(rng() % (2 * reach + 1)) - reach, int(rng() % (2 * reach + 1)) - reach});
        const turn_analyzer t(p);
        auto dir = [](const chain_point& f, const chain_point& to) {
            const double dx = double(to.x) - f.x, dy = double(to.y) - f.y;
            return dx == 0.0 && dy == 0.0 ? 0.0 : std::atan2(dy, dx);
        };
        for (int i = 4; i < 56; ++i) {
            double got = 99.0, want = dir(p[size_t(i)], p[size_t(i + 4)]) - dir(p[size_t(i - 4)], p[size_t(i)]);
            want = want >= turn_pi ? want - 2.0 * turn_pi : want < -turn_pi ? want + 2.0 * turn_pi : want;
            ASSERT_TRUE(t.angle(i, got));
            EXPECT_EQ(got, want) << reach << " " << i;  // bit for bit
        }
    }
}

TEST(LoopFinder, RingsShortRingsStraightChainsAndLeadIns) {
    // The 40-point ring is one loop without a corner search; nothing starts after it.
    const points r = ring40(40, 40);
    const loop_finder f(3, r, 100, 100, 5);
    EXPECT_TRUE(f.corners().empty());
    alg::feature_loop out, none;
    EXPECT_EQ(f.next(0, out), 40);
    EXPECT_EQ(facts(out), (facts_t{40, 3, 45, 45, 0}));
    EXPECT_EQ(f.next(1, none), 40);
    // Nine points that close on themselves are too short; ten are enough. (Open chains: FeatureExtract.)
    points nine, ten;
    ring(nine, 40, 40, 3, 4);
    ring(ten, 40, 40, 4, 4);
    ten.erase(ten.begin() + 2);
    EXPECT_TRUE(loop_finder(0, nine, 100, 100, 5).loops().empty());
    EXPECT_EQ(loop_finder(0, ten, 100, 100, 5).loops().at(0).pointCount(), 10);
    EXPECT_EQ(loop_finder(0, points{}, 100, 100, 5).next(0, none), 0);
    EXPECT_TRUE(none.isEmpty());
    // A ring with a lead-in (64,58) (63,58) (62,58) (61,59): the whole chain closes well enough to be one loop,
    // but the lead-in is cut off, since each of its points lies nearer the far end than the one before.
    points lead{{10, 64, 58}, {10, 63, 58}, {10, 62, 58}, {10, 61, 59}};
    const points r60 = ring40(60, 60);
    lead.insert(lead.end(), r60.begin(), r60.end());
    const loop_finder g(0, lead, 200, 200, 5);
    ASSERT_EQ(g.loops().size(), 1u);
    EXPECT_EQ(g.loopStarts()[0], 4);
    EXPECT_EQ(sxy(g.loops()[0].points().front()), std::make_tuple(10, 61, 60));
    EXPECT_EQ(g.loops()[0].pointCount(), 40);
}

TEST(LoopFinder, ClosureDivisorNearTheBorder) {
    // A ring at (6,40), border 5: its end (6,41) lies 1 pixel inside the valid part, not more than the gap
    // (squared 2), so the divisor becomes 50 and the corners are searched. Likewise at the right edge (x folds to
    // width - x), the bottom edge (height - y) and with a larger border at the top.
    const points left = ring40(6, 40);  // the finder keeps a reference
    const loop_finder nearLeft(0, left, 100, 100, 5);
    EXPECT_FLOAT_EQ(nearLeft.closure(0, 40), float(1600.0 / 2500.0 / 2.0));
    EXPECT_FALSE(nearLeft.corners().empty());
    const std::vector<std::array<int, 5>> cases{
        {92, 40, 100, 5, 1}, {93, 40, 100, 5, 0}, {40, 55, 62, 5, 0}, {40, 40, 100, 39, 0}, {40, 40, 100, 38, 1}};
    for (auto [x0, y0, height, border, inside] : cases)
        EXPECT_FLOAT_EQ(loop_finder(0, ring40(x0, y0), 100, height, border).closure(0, 40), inside ? 50.0f : 0.32f)
            << x0 << " " << y0 << " " << border;
    // Coincident ends count as a gap of 1.
    EXPECT_FLOAT_EQ(loop_finder(0, points(12, chain_point{1, 50, 50}), 100, 100, 5).closure(0, 12), 9.0f);
    // Bit for bit l^2 / k^2 / d, inside (k = 4) and near the border (k = 50), over many lengths and gaps.
    // The ends lie near the middle of a 10000-pixel frame: far inside with border 5, on it with border 5000.
    for (int border : {5, 5000})
        for (int n = 10; n < 300; n += 7)  // shorter stretches score 0
            for (int dx = 1; dx < 40; dx += 3) {
                points p(size_t(n), chain_point{1, 5000, 5000});
                p.back() = {1, 5000 + dx, 5000 + dx / 3};
                const double d = double(dx * dx + (dx / 3) * (dx / 3)), k = border == 5 ? 4.0 : 50.0;
                EXPECT_EQ(loop_finder(0, p, 10000, 10000, border).closure(0, n), float(double(n) * n / (k * k) / d))
                    << border << " " << n << " " << dx;
            }
}

TEST(FeatureLoop, CentroidDissimilarityAndPositionCost) {
    // The centroid truncates toward zero, also for negative sums (the others: LoopFinder, FeatureExtract).
    EXPECT_EQ(facts(loopOf(points{{1, -5, -7}, {1, -4, 0}})), (facts_t{2, 0, -4, -3, 0}));
    blob other;
    EXPECT_EQ(thrown([&] { loopAt(0, 0, 3).dissimilarity(other); }),
              "alg::feature_loop::cast - got incompatible parameter");

    // {points a, strength a, points b, strength b, expected}: point counts 100 vs 160 give d1 = -60 / (640 div 5);
    // mean strengths or point counts 10 vs 50 are exactly at the limit, 10 vs 51 beyond it; both differences add in
    // squares; values too small for a fifth of them to be a whole number are no difference when equal rather than 0/0.
    const double d1 = 60.0 / 128.0, d2 = -10.0 / 32.0, no = 1000000.0, both = std::sqrt(d1 * d1 + d2 * d2);
    const std::vector<std::tuple<int, int, int, int, double>> cases{
        {100, 30, 160, 30, d1}, {160, 30, 100, 30, d1}, {100, 30, 600, 30, no},   {100, 30, 100, 30, 0.0},
        {50, 10, 50, 50, 1.0},  {50, 10, 50, 51, no},   {100, 30, 160, 40, both}, {1, 0, 1, 0, 0.0},
        {1, 0, 1, 1, no},       {10, 30, 50, 30, 1.0},  {10, 30, 51, 30, no}};
    for (auto [n1, s1, n2, s2, e] : cases)
        EXPECT_DOUBLE_EQ(loopAt(0, 0, n1, s1).dissimilarity(loopAt(0, 0, n2, s2)), e) << n1 << " " << n2 << " " << s2;

    // Seen two frames ago with velocity (2.5, -1.5): predicted at (100 + trunc(5.0), 100 + trunc(-3.0)). 20 pixels
    // off is still a match; 21 in x or in y is not. The predicted offset truncates toward zero.
    alg::feature_loop old = loopAt(100, 100, 10), slow = loopAt(100, 100, 10);
    old.setVelocity(2.5f, -1.5f);
    slow.setVelocity(-0.7f, 0.9f);
    const std::vector<std::tuple<int, int, double>> costs{
        {105, 97, 0.0}, {105, 100, 0.15}, {108, 101, std::sqrt(0.15 * 0.15 + 0.2 * 0.2)},
        {85, 97, 1.0},  {84, 97, 1e6},    {105, 118, 1e6}};
    for (auto [x, y, e] : costs) EXPECT_DOUBLE_EQ(loopAt(x, y, 10).positionCost(old, 2), e) << x << "," << y;
    EXPECT_EQ(loopAt(100, 100, 10).positionCost(slow, 1) + loopAt(99, 101, 10).positionCost(slow, 2), 0.0);
}

TEST(FeatureExtract, HalfCoveredChainsTheFortyStrongestAndJoinedHalves) {
    EXPECT_EQ(thrown([] { delete alg::feature_extract_c::create(10, 10, 2, true, "blob"); }),
              "alg::feature_extract_c::create - got unknown id");
    // The ring's loop covers 39 points (the best corner pair of ring and tail): exactly half of a 78-point chain,
    // less than half of an 80-point one. A chain without loops is open; an empty one and a single point are not.
    extractor e = make(200, 200, 5, true);
    alg::point_lists open;
    points straight;
    line(straight, 20, 150, 1, 0, 30);
    e->addChain(ringWithTail(38), 5, open);
    EXPECT_TRUE(open.empty());
    for (const points& c : {ringWithTail(40), straight, points{}, points{{1, 5, 5}}}) e->addChain(c, 6, open);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].size(), 80u);
    ASSERT_EQ(e->count(), 2);
    EXPECT_EQ(facts(nth(*e, 0)), (facts_t{39, 5, 65, 65, 1}));

    // Of 50 rings the 40 strongest, with and without regions; the next frame starts afresh.
    std::vector<points> rings;
    for (int k = 0; k < 50; ++k) rings.push_back(ring40(20 + 15 * (k % 10), 20 + 15 * (k / 10), 1 + k));
    for (bool regions : {false, true}) {
        extractor x = make(400, 400, 5, regions);
        x->extract(chainsOf(rings));
        ASSERT_EQ(x->count(), 40);
        for (int j = 0; j < 40; ++j)
            EXPECT_EQ(std::make_pair(nth(*x, j).meanStrength(), nth(*x, j).chainIndex()),
                      std::make_pair(50 - j, 49 - j));
        x->extract(chainsOf({rings[3]}));
        ASSERT_EQ(x->count(), 1);
        EXPECT_EQ(nth(*x, 0).meanStrength(), 4);
    }
}

TEST(FeatureExtract, JoinsTwoHalvesIntoOneOutline) {
    // Two arcs of a circle of radius 30 with 10-pixel gaps at top and bottom: neither closes alone, together
    // they make one loop, whose chain index is that of the outline.
    const points left = arc(100, 100, 30, 100, 260), right = arc(100, 100, 30, -80, 80);
    ASSERT_EQ(left.size(), right.size());
    extractor without = make(300, 200, 5, false), e = make(300, 200, 5, true);
    without->extract(chainsOf({left, right}));
    EXPECT_EQ(without->count(), 0);
    e->extract(chainsOf({left, right}));
    ASSERT_EQ(e->count(), 1);
    EXPECT_EQ(facts(nth(*e, 0)), (facts_t{int(left.size() + right.size()), 0, 100, 100, 0}));
    // A shorter arc whose first point is nearer to the other chain is reversed and attaches at the other chain's
    // last point, and the outline walks that chain backwards.
    const points upper = arc(100, 100, 30, 95, 250);
    const alg::point_lists outlines = e->joinOpenChains({right, upper});
    ASSERT_EQ(outlines.size(), 1u);
    ASSERT_EQ(outlines[0].size(), upper.size() + right.size());
    EXPECT_EQ(std::make_tuple(sxy(outlines[0].front()), sxy(outlines[0][upper.size()]), sxy(outlines[0].back())),
              std::make_tuple(sxy(upper.back()), sxy(right.back()), sxy(right.front())));
    // Refused: the shorter chain too long for the image, gaps wider than 10 pixels, ends of the shorter chain in
    // the border, centres too far apart.
    EXPECT_TRUE(make(200, 200, 5, true)->joinOpenChains({left, right}).empty() &&
                e->joinOpenChains({arc(100, 100, 30, 110, 250), right}).empty() &&
                make(300, 200, 61, true)->joinOpenChains({left, right}).empty() &&
                e->joinOpenChains({left, arc(200, 100, 30, -80, 80)}).empty());
}
