#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "cctrack/feature_extract.h"
#include "doubles/recording.h"
#include "feature_shapes.h"

namespace {

using shapes::points;
using extractor = std::unique_ptr<alg::feature_extract_c>;

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "";
}

const alg::feature_loop& loopAt(const alg::feature_extract& e, int j) { return alg::feature_loop::cast(e.feature(j)); }

// Points of the circle of radius r round (cx, cy) from angle a0 to a1 (degrees, growing
// angle turning from +x towards +y), without repeats.
points arc(int cx, int cy, double r, double a0, double a1, int strength = 20) {
    points p;
    const int steps = 2000;
    const double pi = 4.0 * std::atan(1.0);
    for (int i = 0; i <= steps; ++i) {
        const double a = (a0 + (a1 - a0) * i / steps) * pi / 180.0;
        const int x = int(std::lround(cx + r * std::cos(a)));
        const int y = int(std::lround(cy + r * std::sin(a)));
        if (p.empty() || p.back().x != x || p.back().y != y) p.push_back({strength, x, y});
    }
    return p;
}

chain_list chainsOf(std::vector<points> lists) {
    chain_list out(lists.size());
    for (size_t i = 0; i < lists.size(); ++i) out[i].points = std::move(lists[i]);
    return out;
}

TEST(FeatureExtract, CreateNamesItsKind) {
    extractor e(alg::feature_extract_c::create(320, 240, 5, true, nullptr));
    EXPECT_STREQ(e->kindName(), "loop");
    auto* typed = dynamic_cast<feature_extract_c_t<alg::feature_loop>*>(e.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->capacity(), 40);
    EXPECT_GE(typed->features().capacity(), 160u);

    extractor again(alg::feature_extract_c::create(10, 10, 2, false, e->kindName()));
    EXPECT_FALSE(again->extractRegions());
    EXPECT_EQ(thrown([] { delete alg::feature_extract_c::create(10, 10, 2, true, "blob"); }),
              "alg::feature_extract_c::create - got unknown id");
}

TEST(FeatureExtract, ChainsLessThanHalfCoveredStayOpen) {
    extractor e(alg::feature_extract_c::create(200, 200, 5, true, nullptr));
    alg::point_lists open;

    // The ring's loop covers 39 points: exactly half of a 78-point chain...
    points half = shapes::ring40(60, 60);
    shapes::line(half, 59, 61, -1, 0, 38);
    e->addChain(half, 5, open);
    EXPECT_TRUE(open.empty());
    ASSERT_EQ(e->count(), 1);
    EXPECT_EQ(loopAt(*e, 0).pointCount(), 39);
    EXPECT_EQ(loopAt(*e, 0).chainIndex(), 5);
    EXPECT_TRUE(loopAt(*e, 0).partial());

    // ...but less than half of an 80-point one.
    points less = shapes::ring40(60, 60);
    shapes::line(less, 59, 61, -1, 0, 40);
    e->addChain(less, 6, open);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].size(), 80u);
    EXPECT_EQ(e->count(), 2);

    // A chain without loops is open; an empty one and a single point are not.
    points straight;
    shapes::line(straight, 20, 150, 1, 0, 30);
    e->addChain(straight, 7, open);
    e->addChain(points{}, 8, open);
    e->addChain(points{{1, 5, 5}}, 9, open);
    EXPECT_EQ(open.size(), 2u);

    // A new frame forgets the features.
    e->beginFrame();
    EXPECT_EQ(e->count(), 0);
}

TEST(FeatureExtract, KeepsTheFortyStrongest) {
    std::vector<points> rings;
    for (int k = 0; k < 50; ++k) rings.push_back(shapes::ring40(20 + 15 * (k % 10), 20 + 15 * (k / 10), 1 + k));
    for (bool regions : {false, true}) {
        extractor e(alg::feature_extract_c::create(400, 400, 5, regions, nullptr));
        e->extract(chainsOf(rings));
        ASSERT_EQ(e->count(), 40);
        for (int j = 0; j < 40; ++j) {
            EXPECT_EQ(loopAt(*e, j).meanStrength(), 50 - j);
            EXPECT_EQ(loopAt(*e, j).chainIndex(), 49 - j);
            EXPECT_EQ(loopAt(*e, j).pointCount(), 40);
        }
        // The next frame starts afresh.
        e->extract(chainsOf({rings[3]}));
        ASSERT_EQ(e->count(), 1);
        EXPECT_EQ(loopAt(*e, 0).meanStrength(), 4);
    }
}

TEST(FeatureExtract, JoinsTwoHalvesIntoOneOutline) {
    // Two arcs of a circle of radius 30, with 10-pixel gaps between them at top and
    // bottom: neither closes alone, together they make one loop.
    const points left = arc(100, 100, 30, 100, 260);
    const points right = arc(100, 100, 30, -80, 80);
    ASSERT_EQ(left.size(), right.size());

    extractor without(alg::feature_extract_c::create(300, 200, 5, false, nullptr));
    without->extract(chainsOf({left, right}));
    EXPECT_EQ(without->count(), 0);

    extractor e(alg::feature_extract_c::create(300, 200, 5, true, nullptr));
    e->extract(chainsOf({left, right}));
    ASSERT_EQ(e->count(), 1);
    const alg::feature_loop& loop = loopAt(*e, 0);
    EXPECT_EQ(loop.pointCount(), int(left.size() + right.size()));
    EXPECT_EQ(loop.x(), 100);
    EXPECT_EQ(loop.y(), 100);
    EXPECT_EQ(loop.chainIndex(), 0);  // index of the outline, not of a chain
    EXPECT_FALSE(loop.partial());

    // Equal lengths: the earlier chain is the shorter one and leads. Its last point is
    // no nearer to the other chain than its first, so it runs in order and the other
    // chain follows from its start onwards.
    alg::point_lists outlines = e->joinOpenChains({left, right});
    ASSERT_EQ(outlines.size(), 1u);
    EXPECT_EQ(outlines[0].front().y, left.front().y);
    EXPECT_EQ(outlines[0][left.size()].y, right.front().y);
    EXPECT_EQ(outlines[0].back().y, right.back().y);

    // A shorter arc whose first point is nearer: it is reversed, attaches at the other
    // chain's last point and the outline walks that chain backwards.
    const points upper = arc(100, 100, 30, 95, 250);
    ASSERT_LT(upper.size(), right.size());
    outlines = e->joinOpenChains({right, upper});
    ASSERT_EQ(outlines.size(), 1u);
    EXPECT_EQ(outlines[0].front().x, upper.back().x);
    EXPECT_EQ(outlines[0].front().y, upper.back().y);
    EXPECT_EQ(outlines[0][upper.size()].y, right.back().y);
    EXPECT_EQ(outlines[0].back().y, right.front().y);
    EXPECT_EQ(outlines[0].size(), upper.size() + right.size());

    // Pairs that are refused: the shorter chain too long for the image, gaps wider than
    // 10 pixels, ends of the shorter chain in the border, or centres too far apart.
    extractor narrow(alg::feature_extract_c::create(200, 200, 5, true, nullptr));
    EXPECT_TRUE(narrow->joinOpenChains({left, right}).empty());
    EXPECT_TRUE(e->joinOpenChains({arc(100, 100, 30, 110, 250), right}).empty());
    extractor wideBorder(alg::feature_extract_c::create(300, 200, 61, true, nullptr));
    EXPECT_TRUE(wideBorder->joinOpenChains({left, right}).empty());
    EXPECT_TRUE(e->joinOpenChains({left, arc(200, 100, 30, -80, 80)}).empty());
}

TEST(FeatureExtract, DrawsEveryFeatureWithItsIndex) {
    extractor e(alg::feature_extract_c::create(200, 200, 5, false, nullptr));
    e->extract(chainsOf({shapes::ring40(20, 20, 9), shapes::ring40(60, 20, 30)}));
    doubles::Overlay o;
    e->draw(&o);
    ASSERT_EQ(o.calls.size(), 2u);
    EXPECT_EQ(o.calls[0].substr(0, 22), "poly c=0 l=0 0 [61,20 ");
    EXPECT_EQ(o.calls[1].substr(0, 22), "poly c=1 l=1 0 [21,20 ");
    EXPECT_EQ(o.polylines[0].size(), 40u);

    doubles::Overlay d;
    e->drawDetailed(&d);
    ASSERT_EQ(d.calls.size(), 2u);
    EXPECT_EQ(d.calls[0].substr(0, 36), "poly c=0 l=0  -40:1200, 65, 25 0 [61");
}

}  // namespace
