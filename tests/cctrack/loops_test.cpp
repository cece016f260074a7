#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "cc_util.h"
#include "cctrack/feature_extract.h"
#include "cctrack/loop_finder.h"
#include "cctrack/turn_analyzer.h"

using namespace cc;

namespace {

const alg::feature_loop& nth(const alg::feature_extract& e, int j) { return alg::feature_loop::cast(e.feature(j)); }

}  // namespace

TEST(TurnAnalyzer, WindowsAndAnglesAreTheDifferenceOfTheTwoChordsAtan2) {
    // Open: the half-window shrinks towards both ends and must stay at least 2. Closed (ends within two pixels):
    // indices wrap and reach down to -maxWindow + 2; the end does not wrap.
    points straight;
    line(straight, 10, 10, 1, 0, 10);
    const points r = ring40(40, 40);
    const turn_analyzer open(straight), closed(r);
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

// The whole chain closes well enough to be one loop, but the lead-in (64,58) (63,58) (62,58) (61,59) is cut
// off, since each of its points lies nearer the far end than the one before.
TEST(LoopFinder, TrimsTheLeadIn) {
    points lead{{10, 64, 58}, {10, 63, 58}, {10, 62, 58}, {10, 61, 59}};
    const points r = ring40(60, 60);
    lead.insert(lead.end(), r.begin(), r.end());
    const loop_finder g(0, lead, 200, 200, 5);
    ASSERT_EQ(g.loops().size(), 1u);
    EXPECT_EQ(std::tuple(g.loopStarts()[0], g.loops()[0].pointCount()), std::tuple(4, 40));
    const chain_point first = g.loops()[0].points().front();
    EXPECT_EQ(std::tuple(first.strength, first.x, first.y), std::tuple(10, 61, 60));
}

TEST(FeatureExtract, KeepsTheFortyStrongest) {
    // Of 50 rings the 40 strongest, with and without regions.
    chain_list rings(50);
    for (int k = 0; k < 50; ++k) rings[size_t(k)].points = ring40(20 + 15 * (k % 10), 20 + 15 * (k / 10), 1 + k);
    for (bool regions : {false, true}) {
        std::unique_ptr<alg::feature_extract_c> x(alg::feature_extract_c::create(400, 400, 5, regions, nullptr));
        x->extract(rings);
        ASSERT_EQ(x->count(), 40);
        for (int j = 0; j < 40; ++j)
            EXPECT_EQ(std::make_pair(nth(*x, j).meanStrength(), nth(*x, j).chainIndex()),
                      std::make_pair(50 - j, 49 - j));
    }
}
