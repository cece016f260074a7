#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "cctrack/feature.h"
#include "doubles/recording.h"
#include "feature_shapes.h"

namespace {

using shapes::points;

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "";
}

alg::feature_loop loopOf(const points& p, int chainIndex, int chainPoints) {
    return alg::feature_loop(p.data(), p.data() + p.size(), chainIndex, chainPoints);
}

TEST(FeatureLoop, CentroidStrengthAndPartial) {
    const points p{{10, 1, 2}, {20, 4, 6}, {31, -3, 5}};
    const alg::feature_loop f = loopOf(p, 4, 4);
    EXPECT_EQ(f.strength(), 61);
    EXPECT_EQ(f.meanStrength(), 20);
    EXPECT_EQ(f.pointCount(), 3);
    EXPECT_EQ(f.x(), 0);  // 2 div 3
    EXPECT_EQ(f.y(), 4);  // 13 div 3
    EXPECT_EQ(f.chainIndex(), 4);
    EXPECT_FALSE(f.partial());              // 4 * 3 = 3 * 4
    EXPECT_TRUE(loopOf(p, 0, 5).partial());  // 12 < 15

    // The centroid truncates toward zero, also for negative sums.
    EXPECT_EQ(loopOf(points{{1, -5, -7}, {1, -4, 0}}, 0, 2).x(), -4);
    EXPECT_EQ(loopOf(points{{1, -5, -7}, {1, -4, 0}}, 0, 2).y(), -3);

    // clear() only drops the points; an empty loop has mean strength 0.
    alg::feature_loop g = f;
    g.clear();
    EXPECT_TRUE(g.isEmpty());
    EXPECT_EQ(g.meanStrength(), 0);
    EXPECT_EQ(g.x(), 0);
    EXPECT_EQ(g.y(), 4);
    EXPECT_EQ(g.strength(), 61);

    // assign copies every field, velocity included.
    alg::feature_loop h = loopOf(p, 2, 5);
    h.setVelocity(1.5f, -2.0f);
    alg::feature_loop k;
    k.assign(h);
    EXPECT_EQ(k.points().size(), 3u);
    EXPECT_EQ(k.chainIndex(), 2);
    EXPECT_TRUE(k.partial());
    EXPECT_EQ(k.vx(), 1.5f);
    EXPECT_EQ(k.vy(), -2.0f);
}

TEST(FeatureLoop, Dissimilarity) {
    const alg::feature_loop a = shapes::loopAt(0, 0, 100, 30);
    const alg::feature_loop b = shapes::loopAt(0, 0, 160, 30);
    EXPECT_DOUBLE_EQ(a.dissimilarity(b), 60.0 / 128.0);  // d1 = -60 / (640 div 5)
    EXPECT_DOUBLE_EQ(b.dissimilarity(a), 60.0 / 128.0);
    EXPECT_EQ(a.dissimilarity(shapes::loopAt(0, 0, 600, 30)), 1000000.0);
    EXPECT_EQ(a.dissimilarity(a), 0.0);

    // Mean strengths: 10 against 50 is exactly at the limit, 10 against 51 beyond it.
    EXPECT_DOUBLE_EQ(shapes::loopAt(0, 0, 50, 10).dissimilarity(shapes::loopAt(0, 0, 50, 50)), 1.0);
    EXPECT_EQ(shapes::loopAt(0, 0, 50, 10).dissimilarity(shapes::loopAt(0, 0, 50, 51)), 1000000.0);

    // Both differences together.
    const double d2 = -10.0 / 32.0;
    EXPECT_DOUBLE_EQ(shapes::loopAt(0, 0, 100, 30).dissimilarity(shapes::loopAt(0, 0, 160, 40)),
                     std::sqrt((60.0 / 128.0) * (60.0 / 128.0) + d2 * d2));

    // Values too small for a fifth of them to be a whole number: equal means no
    // difference rather than 0/0.
    const alg::feature_loop tiny = shapes::loopAt(0, 0, 1, 0);
    EXPECT_EQ(tiny.dissimilarity(tiny), 0.0);
    EXPECT_EQ(tiny.dissimilarity(shapes::loopAt(0, 0, 1, 1)), 1000000.0);
}

TEST(FeatureLoop, CastRefusesOtherKinds) {
    const char* msg = "alg::feature_loop::cast - got incompatible parameter";
    shapes::blob other;
    alg::feature_loop loop = shapes::loopAt(1, 2, 3);
    EXPECT_EQ(thrown([&] { alg::feature_loop::cast(other); }), msg);
    EXPECT_EQ(thrown([&] { loop.assign(other); }), msg);
    EXPECT_EQ(thrown([&] { loop.dissimilarity(other); }), msg);
    EXPECT_EQ(loop.pointCount(), 3);
    const alg::feature& base = loop;
    EXPECT_EQ(&alg::feature_loop::cast(base), &loop);
}

TEST(FeatureLoop, DrawForms) {
    const alg::feature_loop f = loopOf(points{{10, 1, 2}, {20, 4, 6}, {31, -3, 5}}, 0, 3);
    doubles::Overlay o;
    f.draw(3, &o);
    f.drawLabelled(12, true, &o);
    f.drawLabelled(5, false, &o);
    f.drawDetailed(3, false, &o);
    f.drawDetailed(17, true, &o);
    EXPECT_EQ(o.calls, (std::vector<std::string>{
                           "poly c=3 l= 0 [1,2 4,6 -3,5]",
                           "poly c=12 l=12 1 [1,2 4,6 -3,5]",
                           "poly c=5 l=5 0 [1,2 4,6 -3,5]",
                           "poly c=3 l=3  -3:61, 0, 4 0 [1,2 4,6 -3,5]",
                           "poly c=17 l=17  -3:61, 0, 4 1 [1,2 4,6 -3,5]",
                       }));
    doubles::Overlay empty;
    alg::feature_loop().draw(0, &empty);
    EXPECT_EQ(empty.calls, std::vector<std::string>{"poly c=0 l= 0 []"});
}

TEST(Feature, PositionCostPredictsFromVelocityAndAge) {
    alg::feature_loop old = shapes::loopAt(100, 100, 10);
    old.setVelocity(2.5f, -1.5f);
    // Two frames on: (100 + trunc(5.0), 100 + trunc(-3.0)).
    EXPECT_EQ(shapes::loopAt(105, 97, 10).positionCost(old, 2), 0.0);
    EXPECT_DOUBLE_EQ(shapes::loopAt(105, 100, 10).positionCost(old, 2), 3 * 0.05);
    EXPECT_DOUBLE_EQ(shapes::loopAt(108, 101, 10).positionCost(old, 2), std::sqrt(0.15 * 0.15 + 0.2 * 0.2));
    // 20 pixels off is still a match; 21 in x or in y is not.
    EXPECT_EQ(shapes::loopAt(85, 97, 10).positionCost(old, 2), 1.0);
    EXPECT_EQ(shapes::loopAt(84, 97, 10).positionCost(old, 2), 1000000.0);
    EXPECT_EQ(shapes::loopAt(105, 118, 10).positionCost(old, 2), 1000000.0);
    // The predicted offset truncates toward zero.
    old.setVelocity(-0.7f, 0.9f);
    EXPECT_EQ(shapes::loopAt(100, 100, 10).positionCost(old, 1), 0.0);
    EXPECT_EQ(shapes::loopAt(99, 101, 10).positionCost(old, 2), 0.0);
}

}  // namespace
