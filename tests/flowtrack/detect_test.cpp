#include <array>
#include <cmath>
#include <tuple>

#include "flowtrack/detect.h"
#include "support.h"

namespace {

using ft::Plane;
using Points = std::vector<std::pair<int, int>>;

int detect(Plane& p, MList& list, int threshold = 120, bool inverted = false) {
    std::vector<uint8_t> mask(p.px.size());
    return detectRegions(p.data(), mask.data(), p.W, p.H, list, inverted, threshold);
}

Points contourOf(const MRegion& r) {
    Points out;
    for (r.contour->rewind(); r.contour->more();) {
        auto* c = static_cast<MContour*>(r.contour->take());
        out.emplace_back(c->x, c->y);
    }
    return out;
}

TEST(FlowtrackDetect, DiscOfRadius20) {
    ft::Tracking ctx;
    Plane p(320, 240, 255);
    const int pixels = ft::disc(p, 100, 100, 20, 0);
    MList list;
    ASSERT_EQ(detect(p, list), 1);
    raysFromContour(list, ctx.N());
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(std::tuple(r.label, r.contourMark, r.area, r.cx, r.cy, r.xmin, r.xmax, r.ymin, r.ymax),
              std::tuple(uint8_t(3), uint8_t(128), uint32_t(pixels), 100, 100, 80, 120, 80, 120));
    EXPECT_EQ(std::count_if(r.rays, r.rays + 24, [](float ray) { return std::abs(ray - 20.0f) <= 0.75f; }), 24);
    // Just below a full turn rounds up to N and wraps to 0; half way rounds up.
    const int index[][4] = {{24, 1, 0, 0},   {24, 0, 1, 6},     {24, -1, 0, 12},    {24, 0, -1, 18}, {24, 100, -1, 0},
                            {24, 0, 0, 0},   {24, -100, 1, 12}, {24, -100, -1, 12}, {4, 1, 1, 1},    {4, -1, -2, 3},
                            {1, -7, 3, 0}};
    for (auto& c : index) EXPECT_EQ(rayIndex(c[1], c[2], c[0]), c[3]) << c[0] << ": " << c[1] << "," << c[2];
}

TEST(FlowtrackDetect, DroppingRulesThresholdAndConnectivity) {
    struct Case {
        std::vector<std::array<int, 4>> rects;
        int count, xmin, area;  // of the first region
    };
    // The first pixel decides the border rule, whatever the extent; 7 pixels are dropped,
    // 8 kept, and a dropped blob uses up no label; a dark one-pixel frame border takes
    // everything 4-connected to it along; squares touching at a corner are two regions.
    const Case cases[] = {
        {{{10, 50, 60, 20}}, 0, 0, 0},
        {{{11, 50, 60, 20}}, 1, 11, 1200},
        {{{50, 10, 5, 5}, {310, 100, 5, 5}, {100, 230, 5, 5}}, 0, 0, 0},
        {{{50, 11, 5, 5}, {309, 100, 5, 5}, {100, 229, 5, 5}}, 3, 50, 25},
        {{{40, 50, 5, 5}, {0, 54, 45, 3}}, 1, 0, 155},
        {{{50, 50, 7, 1}, {100, 50, 4, 2}}, 1, 100, 8},
        {{{0, 0, 320, 1}, {0, 239, 320, 1}, {0, 0, 1, 240}, {319, 0, 1, 240}, {1, 100, 60, 2}, {60, 90, 20, 20},
          {200, 100, 10, 10}},
         1, 200, 100},
        {{{50, 50, 10, 10}, {60, 60, 10, 10}}, 2, 50, 100},
    };
    MList list;
    for (const Case& c : cases) {
        Plane p(320, 240, 255);
        for (auto& r : c.rects) ft::rect(p, r[0], r[1], r[2], r[3], 0);
        ASSERT_EQ(detect(p, list), c.count) << c.rects[0][0] << "," << c.rects[0][1];
        if (c.count == 0) continue;
        MRegion& r = *ft::regionAt(list, 0);
        EXPECT_EQ(std::tuple(r.label, r.xmin, r.area), std::tuple(uint8_t(3), c.xmin, uint32_t(c.area)));
    }
    for (int i = 0; i < 2; ++i) {  // the corner squares: neither walk steps onto the other
        MRegion& r = *ft::regionAt(list, i);
        const int lo = 50 + 10 * i;
        const Points points = contourOf(r);
        EXPECT_EQ(std::pair(points.size(), r.contourMark), std::pair(size_t(36), uint8_t(128 + i)));
        for (auto& [x, y] : points) EXPECT_TRUE(x >= lo && x < lo + 10 && y >= lo && y < lo + 10) << x << "," << y;
    }
    // A pixel at the threshold belongs to a region; the threshold is used as a byte.
    Plane p(320, 240, 200);
    ft::rect(p, 50, 50, 10, 10, 45);
    EXPECT_EQ(std::tuple(detect(p, list, 45), detect(p, list, 44), detect(p, list, 45 + 256), detect(p, list, 45, true)),
              std::tuple(1, 0, 1, 0));
}

// Traces the label-3 pixels of a 100 x 100 label plane; with fromLast the walk starts at
// the last pixel given instead of the top row.
Points walk(const Points& pixels, std::string& err, bool fromLast = false) {
    std::vector<uint8_t> labels(100 * 100, 1);
    for (auto [x, y] : pixels) labels[size_t(y) * 100 + size_t(x)] = 3;
    MRegion r;
    r.label = 3;
    EXPECT_TRUE(regionStats(100, 100, labels.data(), r) && r.area == pixels.size());
    if (fromLast) r.ymin = pixels.back().second, r.xmin = r.xmax = pixels.back().first;
    err = ft::captured([&] { traceContour(100, 100, labels.data(), r, 128); }).err;
    Points points = contourOf(r);
    for (auto [x, y] : points) EXPECT_EQ(labels[size_t(y) * 100 + size_t(x)], 128) << x << "," << y;
    return points;
}

TEST(FlowtrackDetect, ContourWalkAndRays) {
    ft::Tracking ctx;
    std::string err;
    // Clockwise from the start, which is not repeated; a diagonal pair starts towards SW.
    EXPECT_EQ(walk({{20, 20}, {21, 20}, {20, 21}, {21, 21}}, err), (Points{{20, 20}, {21, 20}, {21, 21}, {20, 21}}));
    EXPECT_EQ(walk({{5, 5}, {4, 6}}, err), (Points{{5, 5}, {4, 6}}));
    Points outAndBack;  // a one-pixel line is walked out and back
    for (int i = 0; i < 14; ++i) outAndBack.emplace_back(i < 8 ? 20 + i : 34 - i, 30);
    EXPECT_EQ(walk(Points(outAndBack.begin(), outAndBack.begin() + 8), err), outAndBack);
    EXPECT_EQ(err, "");
    // Nowhere to go from the start (only a NE neighbour): the message, one point, the mark.
    EXPECT_EQ(walk({{6, 4}, {5, 5}}, err, true), (Points{{5, 5}}));
    EXPECT_EQ(err, "nije uspio krenuti - neka konture !!! ...: \n");

    // Rays reach the outer contour only: a hole does not shorten them.
    MList list;
    Plane ring(320, 240, 255);
    ft::disc(ring, 100, 100, 20, 0), ft::disc(ring, 100, 100, 8, 255);
    ASSERT_EQ(detect(ring, list), 1);
    raysFromContour(list, ctx.N());
    const float* rays = ft::regionAt(list, 0)->rays;
    EXPECT_EQ(std::count_if(rays, rays + 24, [](float r) { return std::abs(r - 20.0f) <= 0.75f; }), 24);
}

TEST(FlowtrackDetect, MoreThan125RegionsGiveNothingAndLargeOnesNoDeepStack) {
    MList list;
    for (int n : {140, 125}) {
        Plane p(200, 200, 255);
        for (int i = 0; i < n; ++i) ft::rect(p, 12 + 6 * (i % 28), 12 + 6 * (i / 28), 3, 3, 0);
        seedRegion(list, 1, 1, 24);
        int found = -1;
        EXPECT_EQ(ft::captured([&] { found = detect(p, list); }).err, n > 125 ? "Prevelik broj podrucja: 128 \n" : "");
        EXPECT_EQ(std::pair(found, list.count), std::pair(n > 125 ? 0 : 125, n > 125 ? 0 : 125));
    }

    const int n = 4000;
    Plane framed(n, n, 255);  // dark inside an 11-pixel bright border: kept and walked
    ft::rect(framed, 11, 11, n - 22, n - 22, 0);
    ASSERT_EQ(detect(framed, list), 1);
    MRegion& r = *ft::regionAt(list, 0);
    EXPECT_EQ(std::tuple(r.area, r.cx, r.xmin, r.ymax, r.contour->count),
              std::tuple(uint32_t(n - 22) * uint32_t(n - 22), n / 2 - 1, 11, n - 12, 4 * (n - 23)));
}

}  // namespace
