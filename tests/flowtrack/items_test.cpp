#include <gtest/gtest.h>

#include <sstream>

#include "flowtrack/MItem.h"
#include "support.h"

namespace {

int walkCount(MList& list) {
    int n = 0;
    for (list.rewind(); list.more(); list.take()) ++n;
    return n;
}

TEST(FlowtrackItems, ListLinksOwnershipAndEndMarker) {
    EXPECT_EQ(endMarker.next, &endMarker);
    EXPECT_EQ(endMarker.prev, &endMarker);

    MList list;
    EXPECT_EQ(list.head, &endMarker);
    EXPECT_EQ(walkCount(list), 0);

    auto* a = new MContour(1, 2);
    auto* b = new MContour(3, 4);
    list.append(a);
    list.append(b);
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(list.head, a);
    EXPECT_EQ(list.tail, b);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->prev, a);
    EXPECT_EQ(b->next, &endMarker);
    EXPECT_EQ(a->prev, &endMarker);  // the first item's prev is the old tail: the marker

    list.rewind();
    EXPECT_EQ(list.take(), a);
    EXPECT_EQ(list.take(), b);
    EXPECT_FALSE(list.more());

    list.empty();
    list.empty();  // twice: still empty and valid
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.head, &endMarker);
    EXPECT_EQ(list.tail, &endMarker);
    EXPECT_EQ(walkCount(list), 0);
    list.append(new MContour(5, 6));  // usable again
    EXPECT_EQ(walkCount(list), 1);
}

TEST(FlowtrackItems, PrintTexts) {
    std::ostringstream out;
    MContour(7, -3).print(out);
    endMarker.print(out);
    MRegion().print(out);
    EXPECT_EQ(out.str(), "(7,-3)\nError\n");
}

TEST(FlowtrackItems, RegionOwnsItsContour) {
    // Deleting the region deletes its contour list and points (ASan checks the leak).
    MList list;
    auto* region = new MRegion;
    region->contour = new MList;
    region->contour->append(new MContour(1, 1));
    list.append(region);
    list.empty();
    EXPECT_EQ(list.count, 0);
}

TEST(FlowtrackItems, SeedRegionReplacesTheList) {
    ft::ParameterGuard guard;
    MList list;
    for (int i = 0; i < 3; ++i) list.append(new MRegion);
    DisAngles = 12;
    seedRegion(list, 120, 80);
    ASSERT_EQ(list.count, 1);
    auto* r = ft::regionAt(list, 0);
    EXPECT_EQ(r->label, 1);
    EXPECT_EQ(r->area, 50u);
    EXPECT_EQ(r->cx, 120);
    EXPECT_EQ(r->cy, 80);
    EXPECT_EQ(r->contour, nullptr);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(r->rays[k], 10.0f);
    EXPECT_EQ(r->rays[12], 0.0f);
}

TEST(FlowtrackItems, RayIndexAndRayEnds) {
    ft::ParameterGuard guard;
    EXPECT_EQ(rayIndex(1, 0), 0);
    EXPECT_EQ(rayIndex(0, 1), 6);
    EXPECT_EQ(rayIndex(-1, 0), 12);
    EXPECT_EQ(rayIndex(0, -1), 18);
    EXPECT_EQ(rayIndex(100, -1), 0);  // just below a full turn rounds up to N, wraps to 0
    EXPECT_EQ(rayIndex(0, 0), 0);
    EXPECT_EQ(rayIndex(-100, 1), 12);
    EXPECT_EQ(rayIndex(-100, -1), 12);
    DisAngles = 4;
    EXPECT_EQ(rayIndex(1, 1), 1);  // 45 degrees is half way: rounds up
    EXPECT_EQ(rayIndex(-1, -2), 3);
    DisAngles = 1;
    EXPECT_EQ(rayIndex(-7, 3), 0);

    DisAngles = 24;
    MRegion r;
    r.cx = 100;
    r.cy = 50;
    for (int k = 0; k < 24; ++k) r.rays[k] = 10.0f;
    int32_t x, y;
    rayEnd(r, 0, x, y);
    EXPECT_EQ(x, 110);
    EXPECT_EQ(y, 50);
    rayEnd(r, 6, x, y);  // downwards: y grows
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 60);
    rayEnd(r, 12, x, y);  // cos(pi) * 10 leaves a tiny positive sine: truncation keeps 50
    EXPECT_EQ(x, 90);
    EXPECT_EQ(y, 50);
    rayEnd(r, 3, x, y);  // 45 degrees: 7.07 truncated
    EXPECT_EQ(x, 107);
    EXPECT_EQ(y, 57);
    rayEnd(r, 9, x, y);  // 135 degrees: 92.93 truncated
    EXPECT_EQ(x, 92);
    EXPECT_EQ(y, 57);
    r.cx = 3;  // 3 - 7.07 = -4.07 truncates towards zero, not down
    rayEnd(r, 9, x, y);
    EXPECT_EQ(x, -4);
    r.cx = 100;
    r.rays[0] = -1.0f;  // a missing ray points one pixel behind the centre
    rayEnd(r, 0, x, y);
    EXPECT_EQ(x, 99);
    EXPECT_EQ(y, 50);
}

}  // namespace
