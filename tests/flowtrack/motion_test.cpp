#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "flowtrack/active_rays.h"
#include "flowtrack/search.h"
#include "support.h"

namespace {

using ft::Plane;

// prev shows a texture, cur the same texture moved by (sx, sy).
struct ShiftedPair {
    Plane prev, cur;
    ShiftedPair(int sx, int sy) : prev(ft::textured(320, 240, 0, 256)), cur(ft::textured(320, 240, 0, 256, sx, sy)) {}
    void search(ft::Tracking& ctx, MList& list) { searchFlow(ctx.s, ctx.table, prev.W, prev.H, prev.data(), cur.data(), list); }
};

TEST(FlowtrackSearch, TexturedShiftCandidateGridAndWindowLimit) {
    ft::Tracking ctx;
    ShiftedPair shift(3, -2);
    MList list;
    seedRegion(list, 160, 120, ctx.N());
    MRegion& r = *ft::regionAt(list, 0);
    shift.search(ctx, list);  // the rays are not touched
    EXPECT_EQ(std::tuple(r.cx, r.cy, r.rays[0]), std::tuple(163, 118, 10.0f));
    EXPECT_EQ(ctx.table.entry(3, -2), 0);
    EXPECT_GT(ctx.table.entry(3, -1), 0);

    ctx.s.SearchWindow = 151;  // thrown before any region is touched; 150 is the largest
    EXPECT_EQ(ft::thrown([&] { shift.search(ctx, list); }), "Too large SearchWindow !");
    EXPECT_EQ(r.cx, 163);
    ctx.s.SearchWindow = 150;
    shift.search(ctx, list);
    EXPECT_EQ(r.cx, 166);

    ctx.s.SearchWindow = 30;
    ctx.s.SearchStep = 4;  // candidates -30, -26, ..., -2, 2, ..., 30 on each axis
    ShiftedPair onGrid(2, -2);
    seedRegion(list, 160, 120, ctx.N());
    onGrid.search(ctx, list);
    EXPECT_EQ(std::pair(ft::regionAt(list, 0)->cx, ft::regionAt(list, 0)->cy), std::pair(162, 118));
    for (int v = -30; v <= 30; ++v) {
        EXPECT_EQ(ctx.table.entry(v, -30) > 0, (v + 30) % 4 == 0) << v;
        EXPECT_EQ(ctx.table.entry(-30, v) > 0, (v + 30) % 4 == 0) << v;
    }
}

TEST(FlowtrackSearch, ExcludedUnusableAndEdgeRaysAndWideSums) {
    ft::Tracking ctx;
    MList list;
    // 22 x 22: every window comes closer than 10 pixels to the border; (-30, -30) would
    // leave the image, (-5, -5) does not.
    Plane flat(22, 22, 100);
    MRegion& small = *ft::add(list, 11, 11, 50, 5.0f);
    searchFlow(ctx.s, ctx.table, 22, 22, flat.data(), flat.data(), list);
    EXPECT_EQ(std::tuple(ctx.table.entry(0, 0), ctx.table.entry(-30, 30), small.cx),
              std::tuple(ExcludedDisplacement, ExcludedDisplacement, 11));
    ctx.s.SearchWindow = 5;
    searchFlow(ctx.s, ctx.table, 22, 22, flat.data(), flat.data(), list);
    EXPECT_EQ(std::pair(small.cx, small.cy), std::pair(6, 6));
    ctx.s.SearchWindow = 30;
    // No usable ray (lengths <= 0, or covered): all entries stay 0 and the tie rule picks (-S, -S).
    Plane prev(320, 240, 100), cur(320, 240, 50);
    seedRegion(list, 100, 100, ctx.N());
    MRegion& r = *ft::regionAt(list, 0);
    for (int k = 0; k < 24; ++k) r.rays[k] = k % 2 ? 0.0f : -1.0f;
    r.rays[3] = 20.0f;
    r.occluded[3] = 1;
    searchFlow(ctx.s, ctx.table, 320, 240, prev.data(), cur.data(), list);
    EXPECT_EQ(ctx.table.entry(0, 0), 0);
    EXPECT_EQ(std::pair(r.cx, r.cy), std::pair(70, 70));
    // Ray ends off the plane or at its edge would read outside it (the sanitizer run
    // checks that they do not); such rays take no part, the others still count.
    seedRegion(list, -20, -20, ctx.N());
    searchFlow(ctx.s, ctx.table, 320, 240, prev.data(), cur.data(), list);
    EXPECT_EQ(std::pair(ctx.table.entry(0, 0), ft::regionAt(list, 0)->cx), std::pair(int64_t(0), -20));
    for (auto [x, y] : {std::pair{3, 1}, std::pair{318, 238}, std::pair{1, 238}, std::pair{318, 2}}) {
        seedRegion(list, x, y, ctx.N());
        searchFlow(ctx.s, ctx.table, 320, 240, prev.data(), cur.data(), list);
        MRegion& e = *ft::regionAt(list, 0);
        EXPECT_TRUE(e.cx > 0 && e.cx < 320 && e.cy > 0 && e.cy < 240) << x << "," << y;
    }

    // 144 rays of 81 x 81 windows of maximal difference exceed 32 bits without wrapping.
    ctx.s.DisAngles = 144, ctx.s.CorrelationWindow = 40, ctx.s.SearchWindow = 1;
    Plane black(400, 400, 0), white(400, 400, 255);
    list.empty();
    ft::add(list, 200, 200, 50, 20.0f);
    searchFlow(ctx.s, ctx.table, 400, 400, black.data(), white.data(), list);
    const int64_t window = 81 * 81 * int64_t(255 * 255);
    EXPECT_EQ(std::pair(ctx.table.entry(0, 0), ctx.table.entry(1, -1)), std::pair(144 * window, 144 * window));
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 199);  // all equal: the first candidate
}

TEST(FlowtrackSearch, OcclusionMarks) {
    ft::Tracking ctx;
    MList list;
    MRegion* a = ft::add(list, 100, 100, 50, 20.0f);
    a->occluded[5] = 9;
    markOcclusions(list, ctx.N());  // alone: all counters cleared
    for (int k = 0; k < 24; ++k) EXPECT_EQ(a->occluded[k], 0) << k;
    MRegion* b = ft::add(list, 130, 100, 50, 20.0f);
    markOcclusions(list, ctx.N());  // each side's end 10 from the other's centre
    EXPECT_EQ(std::tuple(a->occluded[0], a->occluded[12], b->occluded[12], b->occluded[0], b->occluded[6]),
              std::tuple(1, 0, 1, 0, 0));

    // Covered through the next lower direction only: ray 18 of x ends near (100, 130).
    MList pair;
    MRegion* y = ft::add(pair, 100, 100, 50, 1.0f);
    MRegion* x = ft::add(pair, 100, 160, 50, 30.0f);
    y->rays[5] = 50.0f;
    markOcclusions(pair, ctx.N());
    EXPECT_EQ(x->occluded[18], 1);
    y->rays[5] = 1.0f, y->rays[7] = 50.0f;
    markOcclusions(pair, ctx.N());
    EXPECT_EQ(x->occluded[18], 0);
}

TEST(FlowtrackActiveRays, DiscsOfRadius15And40AndTheBorder) {
    ft::Tracking ctx;
    Plane small(320, 240, 255);
    ft::disc(small, 160, 120, 15, 0);
    MList list;
    seedRegion(list, 160, 120, ctx.N());
    for (int frame = 0; frame < 5; ++frame) {
        activeRays(small.W, small.H, small.data(), list, 120, ctx.N());
        recentre(list, ctx.N());
        // Truncated end points pull the mean down by up to a pixel; it settles there.
        MRegion& r = *ft::regionAt(list, 0);
        EXPECT_NEAR(r.cx, 160, 1) << frame;
        EXPECT_NEAR(r.cy, 120, 1) << frame;
        EXPECT_NEAR(meanRadius(r, ctx.N()), 15.0f, 1.0f) << frame;
        for (int k = 0; k < 24; ++k) EXPECT_NEAR(r.rays[k], 15.0f, 2.6f) << "frame " << frame << " ray " << k;
    }

    Plane large(320, 240, 255);  // uncovered rays restart from 6: at most 30 but ray 0
    ft::disc(large, 160, 120, 40, 0);
    list.empty();
    MRegion& r = *ft::add(list, 160, 120, 50, 38.0f);
    activeRays(large.W, large.H, large.data(), list, 120, ctx.N());
    for (int k = 1; k < 24; ++k) EXPECT_TRUE(r.rays[k] >= 24.0f && r.rays[k] <= 30.0f) << k << ": " << r.rays[k];

    Plane dark(100, 100, 0);  // samples within 10 pixels of the border read white
    seedRegion(list, 80, 50, ctx.N());
    activeRays(dark.W, dark.H, dark.data(), list, 120, ctx.N());
    EXPECT_NEAR(80 + ft::regionAt(list, 0)->rays[0], 89.5f, 1.5f);
    EXPECT_GT(ft::regionAt(list, 0)->rays[12], 20.0f);

    // Covered rays of equal length within the size band keep it whatever the image says
    // (a restart from 6 would not climb back above 10).
    MRegion& c = *ft::add(list, 50, 50, 50, 16.0f);
    std::fill_n(c.occluded, 24, uint8_t(1));
    activeRays(dark.W, dark.H, dark.data(), list, 120, ctx.N());
    for (int k = 0; k < 24; ++k) EXPECT_EQ(c.rays[k], 16.0f) << k;

    // N = 1: the ray is its own neighbour. Raised from 2 to 6 although covered; the raise
    // does not enter the mean (2, then 0), so the size term grows it by 2 per visit until
    // the mean reaches 10, at length 16.
    ctx.s.DisAngles = 1;
    seedRegion(list, 50, 50, ctx.N());
    ft::regionAt(list, 0)->rays[0] = 2.0f;
    ft::regionAt(list, 0)->occluded[0] = 1;
    activeRays(dark.W, dark.H, dark.data(), list, 120, ctx.N());
    EXPECT_EQ(ft::regionAt(list, 0)->rays[0], 16.0f);
}

TEST(FlowtrackActiveRays, RecentreUsesTruncatedEndPoints) {
    ft::Tracking ctx;
    ctx.s.DisAngles = 8;
    MList list;
    // Ends (110,100) (107,107) (100,110) (92,107) (90,100) (92,92) (100,90) (107,92): the
    // diagonals truncate, both sums are 798 and the centre is trunc(99.75) = 99. With ray 0
    // at -1 it ends at (99, 100) instead: 787 / 8 = 98.375.
    const float squares[8] = {122, 128, 122, 113, 82, 98, 82, 113};
    for (float first : {10.0f, -1.0f}) {
        seedRegion(list, 100, 100, ctx.N());
        MRegion& r = *ft::regionAt(list, 0);
        r.rays[0] = first;
        recentre(list, ctx.N());
        EXPECT_EQ(std::pair(r.cx, r.cy), std::pair(first > 0 ? 99 : 98, 99));
        if (first > 0)
            for (int k = 0; k < 8; ++k) EXPECT_EQ(r.rays[k], std::sqrt(squares[k])) << k;
        else
            EXPECT_EQ(r.rays[0], std::sqrt(2.0f));
    }
}

}  // namespace
