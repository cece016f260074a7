#include <gtest/gtest.h>

#include <utility>

#include "flowtrack/search.h"
#include "support.h"

namespace {

using ft::Plane;

// prev shows the texture, cur the same texture moved by (sx, sy).
void shiftedPair(Plane& prev, Plane& cur, int sx, int sy) {
    for (int y = 0; y < prev.H; ++y)
        for (int x = 0; x < prev.W; ++x) {
            prev.at(x, y) = ft::texture(x, y, 0, 256);
            cur.at(x, y) = ft::texture(x - sx, y - sy, 0, 256);
        }
}

TEST(FlowtrackSearch, TexturedShiftIsFoundExactly) {
    ft::ParameterGuard guard;
    Plane prev(320, 240, 0), cur(320, 240, 0);
    shiftedPair(prev, cur, 3, -2);
    MList list;
    seedRegion(list, 160, 120);
    searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(r.cx, 163);
    EXPECT_EQ(r.cy, 118);
    EXPECT_EQ(r.rays[0], 10.0f);  // rays are not touched here
    EXPECT_EQ(searchFlowEntry(3, -2), 0);
    EXPECT_GT(searchFlowEntry(3, -1), 0);

    // Two regions move independently, in list order.
    auto* second = new MRegion;
    second->cx = 80;
    second->cy = 150;
    for (int k = 0; k < 24; ++k) second->rays[k] = 12.0f;
    list.append(second);
    searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
    EXPECT_EQ(r.cx, 166);
    EXPECT_EQ(r.cy, 116);
    EXPECT_EQ(second->cx, 83);
    EXPECT_EQ(second->cy, 148);
}

TEST(FlowtrackSearch, StepThinsTheCandidateGrid) {
    ft::ParameterGuard guard;
    SearchStep = 4;  // candidates -30, -26, ..., -2, 2, ..., 30
    Plane prev(320, 240, 0), cur(320, 240, 0);
    shiftedPair(prev, cur, 2, -2);
    MList list;
    seedRegion(list, 160, 120);
    searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 162);
    EXPECT_EQ(ft::regionAt(list, 0)->cy, 118);
    for (int v = -30; v <= 30; ++v) {
        const bool candidate = (v + 30) % 4 == 0;
        EXPECT_EQ(searchFlowEntry(v, -30) > 0, candidate) << v;
        EXPECT_EQ(searchFlowEntry(-30, v) > 0, candidate) << v;
    }
    EXPECT_GT(searchFlowEntry(30, 30), 0);
    EXPECT_EQ(searchFlowEntry(0, 0), 0);

    // A shift off the grid lands on the nearest-looking candidate, never off it.
    shiftedPair(prev, cur, 3, -2);
    seedRegion(list, 160, 120);
    searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
    EXPECT_EQ((ft::regionAt(list, 0)->cx - 160 + 30) % 4, 0);
}

TEST(FlowtrackSearch, TooLargeWindowThrowsBeforeTouchingRegions) {
    ft::ParameterGuard guard;
    Plane prev(320, 240, 0), cur(320, 240, 0);
    shiftedPair(prev, cur, 3, -2);
    MList list;
    seedRegion(list, 160, 120);
    SearchWindow = 151;
    try {
        searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
        FAIL() << "no throw";
    } catch (const char* message) {
        EXPECT_STREQ(message, "Too large SearchWindow !");
    }
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 160);
    SearchWindow = 150;  // the largest the table holds
    searchFlow(prev.W, prev.H, prev.data(), cur.data(), list);
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 163);
}

TEST(FlowtrackSearch, ExcludedAndUnusableRaysAndTheImageEdge) {
    ft::ParameterGuard guard;
    MList list;
    {  // 22 x 22: every window would come closer than 10 pixels to the border
        Plane prev(22, 22, 100), cur(22, 22, 100);
        seedRegion(list, 11, 11);
        for (int k = 0; k < 24; ++k) ft::regionAt(list, 0)->rays[k] = 5.0f;
        searchFlow(22, 22, prev.data(), cur.data(), list);
        EXPECT_EQ(searchFlowEntry(0, 0), ExcludedDisplacement);
        EXPECT_EQ(searchFlowEntry(-30, 30), ExcludedDisplacement);
        EXPECT_EQ(ft::regionAt(list, 0)->cx, 11);  // (-30, -30) would leave the image
        SearchWindow = 5;
        searchFlow(22, 22, prev.data(), cur.data(), list);
        EXPECT_EQ(ft::regionAt(list, 0)->cx, 6);  // (-5, -5) stays inside: taken
        EXPECT_EQ(ft::regionAt(list, 0)->cy, 6);
        SearchWindow = 30;
    }
    {  // no usable ray (lengths <= 0, covered, or a reference window off the plane):
       // all entries stay 0 and the tie rule picks (-S, -S)
        Plane prev(320, 240, 100), cur(320, 240, 50);
        seedRegion(list, 100, 100);
        MRegion& r = *ft::regionAt(list, 0);
        for (int k = 0; k < 24; ++k) r.rays[k] = k % 2 ? 0.0f : -1.0f;
        r.rays[3] = 20.0f;
        r.occluded[3] = 1;
        searchFlow(320, 240, prev.data(), cur.data(), list);
        EXPECT_EQ(searchFlowEntry(0, 0), 0);
        EXPECT_EQ(r.cx, 70);
        EXPECT_EQ(r.cy, 70);
        r.cx = 20;  // the new centre would be at x <= 0: it stays
        searchFlow(320, 240, prev.data(), cur.data(), list);
        EXPECT_EQ(r.cx, 20);
        EXPECT_EQ(r.cy, 70);

        seedRegion(list, -20, -20);  // every ray end off the plane: none takes part
        searchFlow(320, 240, prev.data(), cur.data(), list);
        EXPECT_EQ(searchFlowEntry(0, 0), 0);
        EXPECT_EQ(ft::regionAt(list, 0)->cx, -20);
        // Ray ends beyond each edge: their windows would read outside the planes
        // (the sanitizer run checks that they do not); the other rays still count.
        for (auto [x, y] : {std::pair{3, 1}, std::pair{318, 238}, std::pair{1, 238}, std::pair{318, 2}}) {
            seedRegion(list, x, y);
            searchFlow(320, 240, prev.data(), cur.data(), list);
            MRegion& e = *ft::regionAt(list, 0);
            EXPECT_TRUE(e.cx > 0 && e.cx < 320 && e.cy > 0 && e.cy < 240);
        }
    }
}

TEST(FlowtrackSearch, SumsDoNotWrap) {
    ft::ParameterGuard guard;
    DisAngles = 144;
    CorrelationWindow = 40;
    SearchWindow = 1;
    Plane prev(400, 400, 0), cur(400, 400, 255);
    MList list;
    seedRegion(list, 200, 200);
    for (int k = 0; k < 144; ++k) ft::regionAt(list, 0)->rays[k] = 20.0f;
    searchFlow(400, 400, prev.data(), cur.data(), list);
    const int64_t window = 81 * 81 * int64_t(255 * 255);
    EXPECT_EQ(searchFlowEntry(0, 0), 144 * window);
    EXPECT_EQ(searchFlowEntry(1, -1), 144 * window);
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 199);  // all equal: the first candidate
}

TEST(FlowtrackSearch, OcclusionMarks) {
    ft::ParameterGuard guard;
    MList list;
    seedRegion(list, 100, 100);
    MRegion& a = *ft::regionAt(list, 0);
    for (int k = 0; k < 24; ++k) a.rays[k] = 20.0f;
    a.occluded[5] = 9;
    markOcclusions(list);  // alone: all counters cleared
    for (int k = 0; k < 24; ++k) EXPECT_EQ(a.occluded[k], 0);

    auto* b = new MRegion;
    b->cx = 130;
    b->cy = 100;
    for (int k = 0; k < 24; ++k) b->rays[k] = 20.0f;
    list.append(b);
    markOcclusions(list);
    EXPECT_EQ(a.occluded[0], 1);   // (120, 100) is 10 from b's centre
    EXPECT_EQ(a.occluded[12], 0);
    EXPECT_EQ(b->occluded[12], 1);  // (110, 100) is 10 from a's centre
    EXPECT_EQ(b->occluded[0], 0);
    EXPECT_EQ(b->occluded[6], 0);

    auto* c = new MRegion;  // a third fan over the same place counts again
    c->cx = 115;
    c->cy = 100;
    for (int k = 0; k < 24; ++k) c->rays[k] = 20.0f;
    list.append(c);
    markOcclusions(list);
    EXPECT_EQ(a.occluded[0], 2);
    EXPECT_EQ(b->occluded[12], 2);

    // Covered through the next lower direction only.
    MList pair;
    auto* y = new MRegion;
    y->cx = 100;
    y->cy = 100;
    for (int k = 0; k < 24; ++k) y->rays[k] = 1.0f;
    y->rays[5] = 50.0f;
    pair.append(y);
    auto* x = new MRegion;
    x->cx = 100;
    x->cy = 160;
    for (int k = 0; k < 24; ++k) x->rays[k] = 30.0f;  // ray 18 ends near (100, 130)
    pair.append(x);
    markOcclusions(pair);
    EXPECT_EQ(x->occluded[18], 1);
    y->rays[5] = 1.0f;
    y->rays[7] = 50.0f;  // the next higher direction does not count
    markOcclusions(pair);
    EXPECT_EQ(x->occluded[18], 0);
}

}  // namespace
