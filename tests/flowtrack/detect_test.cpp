#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>

#include "flowtrack/detect.h"
#include "support.h"

namespace {

using ft::Plane;

int detect(Plane& p, MList& list, int threshold = 120, bool inverted = false) {
    std::vector<uint8_t> mask(p.px.size());
    return detectRegions(p.data(), mask.data(), p.W, p.H, list, inverted, threshold);
}

std::vector<std::pair<int, int>> contourOf(const MRegion& r) {
    std::vector<std::pair<int, int>> out;
    for (r.contour->rewind(); r.contour->more();) {
        auto* c = static_cast<MContour*>(r.contour->take());
        out.emplace_back(c->x, c->y);
    }
    return out;
}

TEST(FlowtrackDetect, DiscOfRadius20) {
    ft::ParameterGuard guard;
    Plane p(320, 240, 255);
    const int pixels = ft::disc(p, 100, 100, 20, 0);
    std::vector<uint8_t> mask(p.px.size());
    MList list;
    ASSERT_EQ(detectRegions(p.data(), mask.data(), p.W, p.H, list, false, 120), 1);
    raysFromContour(list);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(r.label, 3);
    EXPECT_EQ(r.contourMark, 128);
    EXPECT_EQ(r.area, uint32_t(pixels));
    EXPECT_EQ(r.cx, 100);
    EXPECT_EQ(r.cy, 100);
    EXPECT_EQ(r.xmin, 80);
    EXPECT_EQ(r.xmax, 120);
    EXPECT_EQ(r.ymin, 80);
    EXPECT_EQ(r.ymax, 120);
    for (int k = 0; k < 24; ++k) EXPECT_NEAR(r.rays[k], 20.0f, 0.75f) << "ray " << k;

    // The walk starts at the top row's first pixel; every point is a disc pixel that the
    // mask now holds as the region's mark, and the start mark is gone.
    auto points = contourOf(r);
    ASSERT_FALSE(points.empty());
    EXPECT_EQ(points[0], std::make_pair(100, 80));
    std::set<std::pair<int, int>> distinct(points.begin(), points.end());
    int marked = 0, startMarks = 0;
    for (int y = 0; y < p.H; ++y)
        for (int x = 0; x < p.W; ++x) {
            const uint8_t m = mask[size_t(y) * size_t(p.W) + size_t(x)];
            marked += m == 128;
            startMarks += m == 129;
        }
    EXPECT_EQ(marked, int(distinct.size()));
    EXPECT_EQ(startMarks, 0);
    for (auto& [x, y] : points) EXPECT_LE((x - 100) * (x - 100) + (y - 100) * (y - 100), 400);
}

TEST(FlowtrackDetect, DroppingRulesUseTheFirstPixelAndTheSize) {
    MList list;
    {  // top-left at x = 10 is dropped however far it reaches; at 11 it is kept
        Plane p(320, 240, 255);
        ft::rect(p, 10, 50, 60, 20, 0);
        EXPECT_EQ(detect(p, list), 0);
        EXPECT_EQ(list.count, 0);
        Plane q(320, 240, 255);
        ft::rect(q, 11, 50, 60, 20, 0);
        EXPECT_EQ(detect(q, list), 1);
    }
    {  // the same on the other three sides: y <= 10, x >= W - 10, y >= H - 10
        Plane p(320, 240, 255);
        ft::rect(p, 50, 10, 5, 5, 0);
        ft::rect(p, 310, 100, 5, 5, 0);
        ft::rect(p, 100, 230, 5, 5, 0);
        EXPECT_EQ(detect(p, list), 0);
        Plane q(320, 240, 255);
        ft::rect(q, 50, 11, 5, 5, 0);
        ft::rect(q, 309, 100, 5, 5, 0);
        ft::rect(q, 100, 229, 5, 5, 0);
        EXPECT_EQ(detect(q, list), 3);
    }
    {  // the extent does not matter: this one starts at (40, 50) and reaches x = 0
        Plane p(320, 240, 255);
        ft::rect(p, 40, 50, 5, 5, 0);
        ft::rect(p, 0, 54, 45, 3, 0);
        EXPECT_EQ(detect(p, list), 1);
        EXPECT_EQ(ft::regionAt(list, 0)->xmin, 0);
    }
    {  // 7 pixels are dropped, 8 kept; a later label is not used up by a dropped blob
        Plane p(320, 240, 255);
        ft::rect(p, 50, 50, 7, 1, 0);
        ft::rect(p, 100, 50, 4, 2, 0);
        ASSERT_EQ(detect(p, list), 1);
        EXPECT_EQ(ft::regionAt(list, 0)->area, 8u);
        EXPECT_EQ(ft::regionAt(list, 0)->label, 3);
        EXPECT_EQ(ft::regionAt(list, 0)->cx, 101);
    }
    {  // a dark one-pixel frame border takes everything 4-connected to it along
        Plane p(320, 240, 255);
        ft::rect(p, 0, 0, 320, 1, 0);
        ft::rect(p, 0, 239, 320, 1, 0);
        ft::rect(p, 0, 0, 1, 240, 0);
        ft::rect(p, 319, 0, 1, 240, 0);
        ft::rect(p, 1, 100, 60, 2, 0);
        ft::rect(p, 60, 90, 20, 20, 0);
        ft::rect(p, 200, 100, 10, 10, 0);
        ASSERT_EQ(detect(p, list), 1);
        EXPECT_EQ(ft::regionAt(list, 0)->cx, 204);
    }
}

TEST(FlowtrackDetect, CornerTouchingSquaresAreTwoRegions) {
    Plane p(320, 240, 255);
    ft::rect(p, 50, 50, 10, 10, 0);
    ft::rect(p, 60, 60, 10, 10, 0);
    MList list;
    ASSERT_EQ(detect(p, list), 2);
    MRegion& a = *ft::regionAt(list, 0);
    MRegion& b = *ft::regionAt(list, 1);
    EXPECT_EQ(a.area, 100u);
    EXPECT_EQ(b.area, 100u);
    EXPECT_EQ(a.contourMark, 128);
    EXPECT_EQ(b.contourMark, 129);
    // The 8-neighbour walk of one square never steps onto the other.
    for (auto& [x, y] : contourOf(a)) EXPECT_TRUE(x >= 50 && x < 60 && y >= 50 && y < 60);
    for (auto& [x, y] : contourOf(b)) EXPECT_TRUE(x >= 60 && x < 70 && y >= 60 && y < 70);
    EXPECT_EQ(contourOf(a).size(), 36u);
}

TEST(FlowtrackDetect, ThresholdIsTheLowByteAndInversion) {
    MList list;
    Plane p(320, 240, 200);
    ft::rect(p, 50, 50, 10, 10, 44);
    ft::rect(p, 150, 50, 10, 10, 45);
    EXPECT_EQ(detect(p, list, 300), 1);  // 300 is read as 44
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 54);
    EXPECT_EQ(detect(p, list, 45), 2);

    Plane q(320, 240, 10);  // inverted: the regions are the pixels above the threshold
    ft::rect(q, 100, 100, 12, 12, 200);
    EXPECT_EQ(detect(q, list, 20, true), 1);
    EXPECT_EQ(ft::regionAt(list, 0)->area, 144u);
}

TEST(FlowtrackDetect, ContourWalkShapes) {
    ft::ParameterGuard guard;
    MList list;
    {  // a 2 x 2 square: the start, then clockwise, the start not repeated
        Plane p(100, 100, 255);
        ft::rect(p, 20, 20, 2, 2, 0);
        ft::rect(p, 60, 60, 2, 2, 0);  // pads nothing: both are below 8 pixels
        std::vector<uint8_t> labels(p.px.size(), 1);
        for (int y = 20; y < 22; ++y)
            for (int x = 20; x < 22; ++x) labels[size_t(y) * 100 + size_t(x)] = 3;
        MRegion r;
        r.label = 3;
        ASSERT_TRUE(regionStats(100, 100, labels.data(), r));
        EXPECT_EQ(r.area, 4u);
        traceContour(100, 100, labels.data(), r, 128);
        std::vector<std::pair<int, int>> expect{{20, 20}, {21, 20}, {21, 21}, {20, 21}};
        EXPECT_EQ(contourOf(r), expect);
    }
    {  // a one-pixel line is walked out and back
        Plane p(100, 100, 255);
        ft::rect(p, 20, 30, 8, 1, 0);
        ASSERT_EQ(detect(p, list), 1);
        auto points = contourOf(*ft::regionAt(list, 0));
        EXPECT_EQ(points.size(), 14u);
        EXPECT_EQ(points[7], std::make_pair(27, 30));
        EXPECT_EQ(points[13], std::make_pair(21, 30));
    }
    {  // a diagonal pair starts towards SW
        std::vector<uint8_t> labels(100 * 100, 1);
        labels[5 * 100 + 5] = 3;
        labels[6 * 100 + 4] = 3;
        MRegion r;
        r.label = 3;
        ASSERT_TRUE(regionStats(100, 100, labels.data(), r));
        traceContour(100, 100, labels.data(), r, 130);
        std::vector<std::pair<int, int>> expect{{5, 5}, {4, 6}};
        EXPECT_EQ(contourOf(r), expect);
        EXPECT_EQ(labels[5 * 100 + 5], 130);
        EXPECT_EQ(labels[6 * 100 + 4], 130);
    }
    {  // a pixel with nowhere to go: the message, one point, the mark written
        std::vector<uint8_t> labels(100 * 100, 1);
        labels[5 * 100 + 5] = 3;
        labels[4 * 100 + 6] = 3;  // NE of the start: not a first-step direction
        MRegion r;
        r.label = 3;
        ASSERT_TRUE(regionStats(100, 100, labels.data(), r));
        EXPECT_EQ(r.ymin, 4);
        r.ymin = 5;  // start from the lower pixel
        r.xmin = r.xmax = 5;
        testing::internal::CaptureStderr();
        traceContour(100, 100, labels.data(), r, 128);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "nije uspio krenuti - neka konture !!! ...: \n");
        EXPECT_EQ(r.contour->count, 1);
        EXPECT_EQ(r.contourMark, 128);
        EXPECT_EQ(labels[5 * 100 + 5], 128);
    }
    {  // regionStats of a label that does not occur
        std::vector<uint8_t> labels(50 * 40, 1);
        MRegion r;
        r.label = 9;
        r.cx = 7;
        EXPECT_FALSE(regionStats(50, 40, labels.data(), r));
        EXPECT_EQ(r.area, 0u);
        EXPECT_EQ(r.xmin, 50);
        EXPECT_EQ(r.ymin, 50);
        EXPECT_EQ(r.xmax, 0);
        EXPECT_EQ(r.cx, 7);
    }
}

TEST(FlowtrackDetect, RaysSeeTheOuterContourOnly) {
    ft::ParameterGuard guard;
    MList list;
    {  // a ring: the hole does not shorten the rays
        Plane p(320, 240, 255);
        ft::disc(p, 100, 100, 20, 0);
        ft::disc(p, 100, 100, 8, 255);
        ASSERT_EQ(detect(p, list), 1);
        raysFromContour(list);
        for (int k = 0; k < 24; ++k) EXPECT_NEAR(ft::regionAt(list, 0)->rays[k], 20.0f, 0.75f);
    }
    {  // the left half of a ring: seen from its centre, the open side has no ray
        Plane p(320, 240, 255);
        ft::disc(p, 100, 100, 30, 0);
        ft::disc(p, 100, 100, 25, 255);
        ft::rect(p, 101, 60, 40, 80, 255);
        ASSERT_EQ(detect(p, list), 1);
        raysFromContour(list);
        MRegion& r = *ft::regionAt(list, 0);
        EXPECT_LT(r.cx, 90);
        for (int k : {22, 23, 0, 1, 2}) EXPECT_EQ(r.rays[k], -1.0f) << "ray " << k;
        EXPECT_GT(r.rays[12], 5.0f);
    }
    {  // a seeded region has no contour and keeps its rays
        seedRegion(list, 50, 50);
        raysFromContour(list);
        EXPECT_EQ(ft::regionAt(list, 0)->rays[5], 10.0f);
    }
}

TEST(FlowtrackDetect, MoreThan125RegionsGiveNothing) {
    Plane p(200, 200, 255);
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 28; ++col) ft::rect(p, 12 + 6 * col, 12 + 6 * row, 3, 3, 0);
    MList list;
    seedRegion(list, 1, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(detect(p, list), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Prevelik broj podrucja: 128 \n");
    EXPECT_EQ(list.count, 0);

    Plane q(200, 200, 255);  // exactly 125 is still fine
    for (int i = 0; i < 125; ++i) ft::rect(q, 12 + 6 * (i % 28), 12 + 6 * (i / 28), 3, 3, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(detect(q, list), 125);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(ft::regionAt(list, 124)->label, 127);
    EXPECT_EQ(ft::regionAt(list, 124)->contourMark, 252);
}

TEST(FlowtrackDetect, FrameSizedRegionsNeedNoDeepStack) {
    const int n = 4000;
    Plane p(n, n, 0);  // dark everywhere: one component, dropped (it starts at 0, 0)
    MList list;
    EXPECT_EQ(detect(p, list), 0);

    Plane q(n, n, 255);  // dark inside an 11-pixel bright border: kept
    for (int y = 11; y < n - 11; ++y) std::fill_n(&q.at(11, y), n - 22, uint8_t(0));
    ASSERT_EQ(detect(q, list), 1);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(r.area, uint32_t(n - 22) * uint32_t(n - 22));
    EXPECT_EQ(r.cx, n / 2 - 1);
    EXPECT_EQ(r.xmin, 11);
    EXPECT_EQ(r.ymax, n - 12);
    EXPECT_EQ(r.contour->count, 4 * (n - 23));
}

TEST(FlowtrackDetect, FillRunFollowsASerpentine) {
    // A one-pixel path winding through the whole plane: one component whose
    // 4-connected depth is its length.
    const int n = 1000;
    std::vector<uint8_t> plane(size_t(n) * n, 1);
    uint32_t expected = 0;
    for (int y = 0; y < n; y += 2) {
        for (int x = 0; x < n; ++x) plane[size_t(y) * n + size_t(x)] = 0;
        expected += n;
        if (y + 1 < n) {
            plane[size_t(y + 1) * n + size_t((y / 2) % 2 ? 0 : n - 1)] = 0;
            ++expected;
        }
    }
    EXPECT_EQ(fillRun(plane.data(), n, n, 0, 0, 7), expected);
    EXPECT_EQ(plane[size_t(n - 2) * n + 5], 7);
    EXPECT_EQ(plane[size_t(1) * n + 5], 1);
    EXPECT_EQ(fillRun(plane.data(), n, n, 0, 0, 7), 0u);  // same value: nothing to do
}

}  // namespace
