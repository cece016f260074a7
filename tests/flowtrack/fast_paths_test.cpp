// The vector paths of the flow tracker against the plain code they replace: the same tables,
// centres, masks and regions, bit for bit (whole runs are compared with the scenes of every mode).

#include <array>

#include "flowtrack/detect.h"
#include "flowtrack/plane_ops.h"
#include "support.h"

namespace {

using ft::Plane;

struct SearchCase {
    int W, H, S, K, P, N;
};

// Searches the regions both ways; every entry of the table (the last region's) and every new centre must agree.
void expectSameSearch(const SearchCase& c, const uint8_t* prev, const uint8_t* cur,
                      const std::vector<std::array<int, 3>>& regions, int covered) {
    SCOPED_TRACE(testing::Message() << "W=" << c.W << " H=" << c.H << " S=" << c.S << " K=" << c.K << " P=" << c.P
                                    << " N=" << c.N << " first centre " << regions[0][0] << "," << regions[0][1]);
    // Kept across cases: a table is large to clear, and every search rewrites its whole range.
    static ft::Tracking fast, plain;
    for (ft::Tracking* t : {&fast, &plain})
        t->s.SearchWindow = c.S, t->s.CorrelationWindow = c.K, t->s.SearchStep = c.P, t->s.DisAngles = c.N;
    auto fill = [&](MList& list) {
        for (auto [x, y, radius] : regions) {
            MRegion* r = ft::add(list, x, y, 500, float(radius) + 0.5f * float(covered == 0));
            for (int k = 0; k < c.N; ++k) r->occluded[k] = uint8_t(covered > 0 && k % covered == 0);
            r->rays[c.N / 2] = -1.0f;  // one ray without a contour point
        }
    };
    MList b;
    fill(b);
    searchFlowPlain(plain.s, plain.table, c.W, c.H, prev, cur, b);
    ft::eachVectorTarget([&] {
        MList a;
        fill(a);
        searchFlow(fast.s, fast.table, c.W, c.H, prev, cur, a);
        std::vector<int64_t> got, want;  // the table, then the new centres
        for (int y = -c.S; y <= c.S; ++y)
            for (int x = -c.S; x <= c.S; ++x)
                got.push_back(fast.table.entry(x, y)), want.push_back(plain.table.entry(x, y));
        for (int i = 0; i < int(regions.size()); ++i)
            got.insert(got.end(), {ft::regionAt(a, i)->cx, ft::regionAt(a, i)->cy}),
                want.insert(want.end(), {ft::regionAt(b, i)->cx, ft::regionAt(b, i)->cy});
        EXPECT_TRUE(got == want);
    });
}

TEST(FlowtrackFastSearch, EveryWindowSizeStepAndBorderAgreesWithThePlainSearch) {
    std::vector<SearchCase> cases;
    // Every correlation window, the search ranges and steps rotating under it.
    const int ranges[] = {0, 1, 7, 30};
    const int steps[] = {1, 2, 3, 5, 4, 1, 7};
    for (int K = 0; K <= MaxCorrelationWindow; ++K)
        for (int i = 0; i < 4; ++i) cases.push_back({97 + 2 * (K % 3), 83, ranges[i], K, steps[(K + i) % 7], K > 8 ? 6 : 24});
    // The widest search, and steps that leave a ragged grid end.
    cases.push_back({331, 307, MaxSearchWindow, 0, 1, 3});
    cases.push_back({331, 307, MaxSearchWindow, 2, 13, 5});
    cases.push_back({1, 1, 5, 0, 1, 4});
    for (const SearchCase& c : cases) {
        const Plane prev = ft::textured(c.W, c.H, 0, 256);
        const Plane cur = ft::textured(c.W, c.H, 0, 256, 3, -2);
        const Plane noise = ft::textured(c.W, c.H, 0, 256, 1000 + c.K * 31 + c.S, 77);  // unrelated to prev
        // Centres in the middle, at every border and outside the plane; rays reaching past it.
        const int centres[][2] = {{c.W / 2, c.H / 2}, {2, c.H / 2}, {c.W - 3, 5}, {c.W / 3, c.H - 1}, {-4, c.H + 3}};
        for (const auto& at : centres) {
            const int radius = (at[0] + at[1]) % 17 + 3;
            expectSameSearch(c, prev.px.data(), cur.px.data(), {{at[0], at[1], radius}}, 3);
            expectSameSearch(c, prev.px.data(), noise.px.data(), {{at[0], at[1], radius}}, 0);
        }
    }
}

void thresholdsAgree() {
    const Plane a = ft::textured(1037, 1, 0, 256, 0, 5), b = ft::textured(1037, 1, 0, 256, 0, 9);
    for (size_t n : {0, 1, 15, 16, 17, 31, 33, 63, 64, 65, 67, 1037})
        for (int t : {0, 1, 100, 127, 128, 200, 254, 255}) {
            std::vector<uint8_t> mask(n + 1, 7), diff(n + 1, 7), mask2(n + 1, 7);
            for (bool inverted : {false, true}) {
                flowtrack_threshold(a.px.data(), mask.data(), n, uint8_t(t), inverted);
                for (size_t p = 0; p < n; ++p)
                    ASSERT_EQ(mask[p], inverted ? a.px[p] <= t : a.px[p] > t) << n << " " << t << " " << p;
                ASSERT_EQ(mask[n], 7) << "wrote past the end";
            }
            flowtrack_differenceMask(a.px.data(), b.px.data(), diff.data(), mask2.data(), n, uint8_t(t));
            for (size_t p = 0; p < n; ++p) {
                const int d = std::abs(a.px[p] - b.px[p]);
                ASSERT_EQ(std::pair(int(diff[p]), int(mask2[p])), std::pair(d, int(d <= t))) << n << " " << t << " " << p;
            }
            ASSERT_EQ(std::pair(diff[n], mask2[n]), std::pair(uint8_t(7), uint8_t(7)));
        }
}

TEST(FlowtrackFastPlanes, ThresholdAndDifferenceAgreeAtEveryLengthAndLevel) {
    ft::eachVectorTarget([] { thresholdsAgree(); });
}

// Blobs, specks, border-touching shapes, rings and more components than labels.
Plane blobs(int W, int H, uint32_t seed, int count) {
    Plane p(W, H, 200);
    if (count < 0) {  // a grid of small dots: more components than there are labels
        for (int y = 14; y < H - 14; y += 7)
            for (int x = 14; x < W - 14; x += 7) ft::disc(p, x, y, 2, 10);
        return p;
    }
    uint32_t s = seed;
    auto next = [&] { return s = s * 1664525u + 1013904223u, s >> 8; };
    for (int i = 0; i < count; ++i) {
        const int x = int(next() % uint32_t(W)), y = int(next() % uint32_t(H)), r = int(next() % 9);
        ft::disc(p, x, y, r, uint8_t(next() % 100));
        if (i % 7 == 0 && r > 3) ft::disc(p, x, y, r - 2, 200);  // a ring
    }
    return p;
}

TEST(FlowtrackFastDetect, QuickLabellingGivesTheSameRegionsAndLabelImage) {
    struct Case {
        int W, H, count, threshold;
        bool inverted;
    };
    const Case cases[] = {{67, 53, 10, 120, false}, {101, 99, 40, 60, false}, {320, 240, 400, 120, false},
                          {33, 47, 5, 150, true},   {160, 121, 60, 120, true}, {1, 1, 1, 120, false},
                          {29, 23, 0, 120, false},  {203, 151, -1, 120, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " blobs " << c.count);
        const Plane src = blobs(c.W, c.H, uint32_t(c.W * 7 + c.count), c.count);
        flowtrack_detectScratch scratch;
        // What a detection leaves: its messages, then the count, the label image and every region's fields.
        auto detect = [&](bool fast) {
            ft::ScalarMode vector(false);
            std::vector<uint8_t> mask(src.px.size());
            MList list;
            int found = 0;
            const ft::Streams s = ft::captured([&] {
                found = detectRegions(src.px.data(), mask.data(), c.W, c.H, list, c.inverted, c.threshold,
                                      fast ? &scratch : nullptr);
            });
            std::vector<int64_t> left{found, list.count};
            left.insert(left.end(), mask.begin(), mask.end());
            for (int i = 0; i < list.count; ++i) {
                const MRegion& r = *ft::regionAt(list, i);
                left.insert(left.end(), {r.label, r.area, r.cx, r.cy, r.xmin, r.ymin, r.xmax, r.ymax, r.contourMark,
                                         r.contour ? r.contour->count : -1});
            }
            return std::pair(s.out + s.err, left);
        };
        const auto plain = detect(false), quick = detect(true);
        EXPECT_TRUE(quick == plain) << "messages, count, label image or regions differ";
    }
}

}  // namespace
