#include <gtest/gtest.h>

#include <cmath>

#include "flowtrack/active_rays.h"
#include "support.h"

namespace {

using ft::Plane;

void fit(Plane& p, MList& list, int threshold = 120) {
    activeRays(p.W, p.H, p.data(), list, threshold);
    recentre(list);
}

TEST(FlowtrackActiveRays, HoldsADiscOfRadius15) {
    ft::ParameterGuard guard;
    Plane p(320, 240, 255);
    ft::disc(p, 160, 120, 15, 0);
    MList list;
    seedRegion(list, 160, 120);  // where detection puts it
    for (int frame = 0; frame < 5; ++frame) {
        fit(p, list);
        MRegion& r = *ft::regionAt(list, 0);
        // Truncated end points pull the mean down by up to a pixel; it settles there.
        EXPECT_NEAR(r.cx, 160, 1) << frame;
        EXPECT_NEAR(r.cy, 120, 1) << frame;
        EXPECT_NEAR(meanRadius(r), 15.0f, 1.0f) << frame;
        for (int k = 0; k < 24; ++k) EXPECT_NEAR(r.rays[k], 15.0f, 2.6f) << "frame " << frame << " ray " << k;
    }
}

TEST(FlowtrackActiveRays, UncoveredRaysRebuildFromSixAndReachAtMost30) {
    ft::ParameterGuard guard;
    Plane p(320, 240, 255);
    ft::disc(p, 160, 120, 40, 0);
    MList list;
    seedRegion(list, 160, 120);
    for (int k = 0; k < 24; ++k) ft::regionAt(list, 0)->rays[k] = 38.0f;  // long rays are not kept
    activeRays(p.W, p.H, p.data(), list, 120);
    MRegion& r = *ft::regionAt(list, 0);
    for (int k = 1; k < 24; ++k) {
        EXPECT_LE(r.rays[k], 30.0f) << k;
        EXPECT_GE(r.rays[k], 24.0f) << k;  // they do grow towards the outline
    }
}

TEST(FlowtrackActiveRays, CoveredRayIsRaisedAndFollowsOnlyShapeTerms) {
    ft::ParameterGuard guard;
    Plane p(100, 100, 255);
    MList list;
    {  // N = 1: the ray is its own neighbour. Raised from 2 to 6 although covered; the
       // raise does not enter the mean (2, then 0), so the size term grows the ray by 2
       // per visit until the mean reaches 10, at length 16.
        DisAngles = 1;
        seedRegion(list, 50, 50);
        MRegion& r = *ft::regionAt(list, 0);
        r.rays[0] = 2.0f;
        r.occluded[0] = 1;
        activeRays(p.W, p.H, p.data(), list, 120);
        EXPECT_EQ(r.rays[0], 16.0f);
    }
    {  // covered rays in a fan of equal lengths within the size band keep their length
       // whatever the image says; uncovered ones restart from 6 and see the image
        DisAngles = 24;
        Plane dark(100, 100, 0);
        seedRegion(list, 50, 50);
        MRegion& r = *ft::regionAt(list, 0);
        for (int k = 0; k < 24; ++k) {
            r.rays[k] = 12.0f;
            r.occluded[k] = 1;
        }
        activeRays(dark.W, dark.H, dark.data(), list, 120);
        for (int k = 0; k < 24; ++k) EXPECT_EQ(r.rays[k], 12.0f) << k;
    }
}

TEST(FlowtrackActiveRays, BorderSamplesReadWhite) {
    ft::ParameterGuard guard;
    Plane p(100, 100, 0);  // dark everywhere: only the 10-pixel margin stops a ray
    MList list;
    seedRegion(list, 80, 50);
    activeRays(p.W, p.H, p.data(), list, 120);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_LE(80 + r.rays[0], 91.0f);
    EXPECT_GE(80 + r.rays[0], 88.0f);
    EXPECT_GT(r.rays[12], 20.0f);
}

TEST(FlowtrackActiveRays, RecentreUsesTruncatedEndPoints) {
    ft::ParameterGuard guard;
    DisAngles = 8;
    MList list;
    seedRegion(list, 100, 100);
    // Ends: (110,100) (107,107) (100,110) (92,107) (90,100) (92,92) (100,90) (107,92);
    // the diagonals truncate, so both sums are 798 and the centre is trunc(99.75) = 99.
    recentre(list);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(r.cx, 99);
    EXPECT_EQ(r.cy, 99);
    const float expected[8] = {std::sqrt(122.0f), std::sqrt(128.0f), std::sqrt(122.0f), std::sqrt(113.0f),
                               std::sqrt(82.0f),  std::sqrt(98.0f),  std::sqrt(82.0f),  std::sqrt(113.0f)};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(r.rays[k], expected[k]) << k;

    seedRegion(list, 100, 100);
    ft::regionAt(list, 0)->rays[0] = -1.0f;  // ends one pixel behind the centre, at (99, 100)
    recentre(list);
    MRegion& s = *ft::regionAt(list, 0);
    EXPECT_EQ(s.cx, 98);  // 787 / 8 = 98.375
    EXPECT_EQ(s.cy, 99);
    EXPECT_EQ(s.rays[0], std::sqrt(2.0f));
}

}  // namespace
