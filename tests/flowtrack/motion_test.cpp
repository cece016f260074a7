// The stages that move a track between detections: the search (the choice among its
// table; the table itself is checked against the plain search elsewhere), the occlusion
// marks, the active rays and the recentring.

#include <cmath>

#include "flowtrack/active_rays.h"
#include "flowtrack/search.h"
#include "support.h"

namespace {

using ft::Plane;

TEST(FlowtrackSearch, BestShiftGridTiesAndBorders) {
    ft::Tracking ctx;
    const Plane prev = ft::textured(320, 240, 0, 256);
    auto search = [&](const Plane& a, const Plane& b, MList& list) {
        searchFlow(ctx.s, ctx.table, a.W, a.H, a.px.data(), b.px.data(), list);
        return std::pair(ft::regionAt(list, 0)->cx, ft::regionAt(list, 0)->cy);
    };
    MList list;
    ctx.s.SearchStep = 4;  // candidates -30, -26, ..., -2, 2, ..., 30 on each axis
    seedRegion(list, 160, 120, ctx.N());
    EXPECT_EQ(search(prev, ft::textured(320, 240, 0, 256, 2, -2), list), std::pair(162, 118));
    for (int v = -30; v <= 30; ++v)
        EXPECT_EQ(std::pair(ctx.table.entry(v, -30) > 0, ctx.table.entry(-30, v) > 0),
                  std::pair((v + 30) % 4 == 0, (v + 30) % 4 == 0)) << v;
    // No usable ray (lengths <= 0, or covered): all entries stay 0 and the tie rule picks (-S, -S).
    ctx.s.SearchStep = 1;
    const Plane grey(320, 240, 100), dark(320, 240, 50);
    seedRegion(list, 100, 100, ctx.N());
    MRegion& r = *ft::regionAt(list, 0);
    for (int k = 0; k < 24; ++k) r.rays[k] = k % 2 ? 0.0f : -1.0f;
    r.rays[3] = 20.0f, r.occluded[3] = 1;
    EXPECT_EQ(search(grey, dark, list), std::pair(70, 70));
    EXPECT_EQ(ctx.table.entry(0, 0), 0);
    // A move that would leave the picture or reach its edge is not made.
    seedRegion(list, -20, -20, ctx.N());
    EXPECT_EQ(search(grey, dark, list), std::pair(-20, -20));
    for (auto [x, y] : {std::pair{3, 1}, std::pair{318, 238}, std::pair{1, 238}, std::pair{318, 2}, std::pair{30, 30}}) {
        seedRegion(list, x, y, ctx.N());
        const auto [cx, cy] = search(grey, dark, list);
        EXPECT_TRUE(cx > 0 && cx < 320 && cy > 0 && cy < 240) << x << "," << y;
    }
    // 22 x 22: every window comes closer than 10 pixels to the border and is excluded.
    list.empty();
    ft::add(list, 11, 11, 50, 5.0f);
    const Plane flat(22, 22, 100);
    EXPECT_EQ(search(flat, flat, list), std::pair(11, 11));
    EXPECT_EQ(std::pair(ctx.table.entry(0, 0), ctx.table.entry(-30, 30)), std::pair(ExcludedDisplacement, ExcludedDisplacement));
    ctx.s.SearchWindow = MaxSearchWindow + 1;  // refused by both searches before any region moves
    for (auto refusing : {searchFlow, searchFlowPlain})
        EXPECT_EQ(ft::thrown([&] { refusing(ctx.s, ctx.table, 22, 22, flat.px.data(), flat.px.data(), list); }),
                  "Too large SearchWindow !");
}

TEST(FlowtrackSearch, OcclusionMarks) {
    ft::Tracking ctx;
    MList list;
    MRegion* a = ft::add(list, 100, 100, 50, 20.0f);
    a->occluded[5] = 9;
    markOcclusions(list, ctx.N());  // alone: all counters cleared
    EXPECT_EQ(std::count(a->occluded, a->occluded + 24, 0), 24);
    MRegion* b = ft::add(list, 130, 100, 50, 20.0f);
    markOcclusions(list, ctx.N());  // each side's end 10 from the other's centre
    EXPECT_EQ(std::tuple(a->occluded[0], a->occluded[12], b->occluded[12], b->occluded[0], b->occluded[6]),
              std::tuple(1, 0, 1, 0, 0));
    // Covered through the next lower direction only: ray 18 of x ends near (100, 130).
    MList pair;
    MRegion* y = ft::add(pair, 100, 100, 50, 1.0f);
    MRegion* x = ft::add(pair, 100, 160, 50, 30.0f);
    for (int longer : {5, 7}) {
        y->rays[5] = y->rays[7] = 1.0f;
        y->rays[longer] = 50.0f;
        markOcclusions(pair, ctx.N());
        EXPECT_EQ(x->occluded[18], longer == 5) << longer;
    }
}

TEST(FlowtrackActiveRays, BordersCoveredRaysAndRecentring) {
    ft::Tracking ctx;
    // Rays settling on an outline from every frame are the scenes' test; here the rules.
    MList list;
    Plane large(320, 240, 255);  // uncovered rays restart from 6: at most 30 but ray 0
    ft::disc(large, 160, 120, 40, 0);
    MRegion& r = *ft::add(list, 160, 120, 50, 38.0f);
    activeRays(large.W, large.H, large.data(), list, 120, ctx.N());
    for (int k = 1; k < 24; ++k) EXPECT_TRUE(r.rays[k] >= 24.0f && r.rays[k] <= 30.0f) << k << ": " << r.rays[k];
    list.empty();
    Plane dark(100, 100, 0);  // samples within 10 pixels of the border read white
    seedRegion(list, 80, 50, ctx.N());
    // Covered rays of equal length within the size band keep it whatever the image says.
    MRegion& c = *ft::add(list, 50, 50, 50, 16.0f);
    std::fill_n(c.occluded, 24, uint8_t(1));
    activeRays(dark.W, dark.H, dark.data(), list, 120, ctx.N());
    EXPECT_NEAR(80 + ft::regionAt(list, 0)->rays[0], 89.5f, 1.5f);
    EXPECT_GT(ft::regionAt(list, 0)->rays[12], 20.0f);
    EXPECT_EQ(std::count(c.rays, c.rays + 24, 16.0f), 24);

    // Ends (110,100) (107,107) (100,110) (92,107) (90,100) (92,92) (100,90) (107,92): the
    // diagonals truncate, both sums are 798 and the centre is trunc(99.75) = 99. With ray 0
    // at -1 it ends at (99, 100) instead: 787 / 8 = 98.375.
    ctx.s.DisAngles = 8;
    const float squares[8] = {122, 128, 122, 113, 82, 98, 82, 113};
    for (float first : {10.0f, -1.0f}) {
        seedRegion(list, 100, 100, ctx.N());
        MRegion& e = *ft::regionAt(list, 0);
        e.rays[0] = first;
        recentre(list, ctx.N());
        EXPECT_EQ(std::pair(e.cx, e.cy), std::pair(first > 0 ? 99 : 98, 99));
        for (int k = 0; k < (first > 0 ? 8 : 1); ++k) EXPECT_EQ(e.rays[k], std::sqrt(first > 0 ? squares[k] : 2.0f)) << k;
    }
}

}  // namespace
