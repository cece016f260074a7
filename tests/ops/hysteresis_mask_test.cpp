#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops/do_binarize.h"
#include "ops/do_histeresis.h"
#include "ops/do_mask.h"
#include "reference.h"

namespace {

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "(nothing thrown)";
}

int padding(int szPixel, int variant) { return variant == 0 ? 0 : (szPixel == 2 ? 2 : 3); }

dib_base blank(int w, int h, int szPixel, bool topDown = false) {
    dib_base image(dib_fmt(w, h, szPixel, 0, !topDown));
    dib_fill(image, 0);
    return image;
}

bool sameList(const std::vector<chain_point>& a, const std::vector<chain_point>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].strength != b[i].strength || a[i].x != b[i].x || a[i].y != b[i].y) return false;
    return true;
}

// A one-pixel-wide path: full rows 1, 3, 5, ... joined alternately at the right and the
// left end. Returns the number of path pixels.
int serpentine(dib_base& image, uint8_t value) {
    const int w = image.width, h = image.absHeight();
    int count = 0;
    for (int y = 1; y + 1 < h; y += 2) {
        for (int x = 1; x + 1 < w; ++x, ++count) *ref::at(image, x, y) = value;
        if (y + 3 < h) {
            *ref::at(image, ((y / 2) % 2 == 0) ? w - 2 : 1, y + 1) = value;
            ++count;
        }
    }
    return count;
}

TEST(Hysteresis, ThresholdsAndSeedOrder) {
    std::vector<chain_point> list;
    // th_hi = th_lo = 0: every non-zero pixel is marked, isolated ones included.
    dib_base in = blank(7, 5, 1), out = blank(7, 5, 1);
    *ref::at(in, 1, 1) = 3;
    *ref::at(in, 2, 2) = 9;
    *ref::at(in, 5, 3) = 1;
    EXPECT_EQ(do_histeresis(in, 0, 0, 0, out, list), 0);
    EXPECT_EQ(ref::differences(out, in), "");
    ASSERT_EQ(list.size(), 3u);

    // Equal to th_hi is no seed, equal to th_lo no continuation; a weak chain alone stays out.
    dib_base row = blank(9, 3, 1);
    const uint8_t values[9] = {0, 20, 15, 15, 10, 15, 0, 12, 0};
    for (int x = 0; x < 9; ++x) *ref::at(row, x, 1) = values[x];
    dib_base edges = blank(9, 3, 1);
    do_histeresis(row, 19, 10, 0, edges, list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].x, 1);
    EXPECT_EQ(list[1].x, 2);
    EXPECT_EQ(list[2].x, 3);
    EXPECT_EQ(*ref::at(edges, 4, 1), 0);
    EXPECT_EQ(*ref::at(edges, 7, 1), 0);
    edges = blank(9, 3, 1);
    do_histeresis(row, 20, 10, 0, edges, list);
    EXPECT_TRUE(list.empty());

    // Two strong pixels on one chain: marked once, from the first seed in scan order,
    // the points of a chain to the right in increasing x. The list is emptied per call.
    dib_base chain = blank(12, 4, 1);
    for (int x = 2; x < 10; ++x) *ref::at(chain, x, 2) = 40;
    *ref::at(chain, 7, 2) = 90;
    *ref::at(chain, 3, 2) = 80;
    edges = blank(12, 4, 1);
    do_histeresis(chain, 50, 30, 1, edges, list);
    ASSERT_EQ(list.size(), 8u);
    EXPECT_EQ(list[0].x, 3);
    EXPECT_EQ(list[0].strength, 80);
    for (size_t i = 1; i < 7; ++i) EXPECT_EQ(list[i].x, int(i) + 3);
    EXPECT_EQ(list[7].x, 2);  // left of the seed: reached only after the right end

    // Strengths: 2-byte (v + 32) / 64, colour grey values as signed bytes.
    dib_base w2 = blank(3, 1, 2), w2out = blank(3, 1, 2);
    ref::store16(ref::at(w2, 1, 0), 100);
    do_histeresis(w2, 1, 0, 0, w2out, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].strength, 2);
    EXPECT_EQ(ref::load16(ref::at(w2out, 1, 0)), 100);
    dib_base c4 = blank(2, 1, 4), c4out = ref::image(2, 1, 4, 5);
    dib_fill(c4, 200);
    c4out.bits[0] = c4out.bits[1] = c4out.bits[2] = c4out.bits[4] = c4out.bits[5] = c4out.bits[6] = 0;
    const uint8_t fourth = c4out.bits[3];
    do_histeresis(c4, 100, 100, 0, c4out, list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].strength, -56);
    EXPECT_EQ(c4out.bits[0], 200);
    EXPECT_EQ(c4out.bits[3], fourth);
}

TEST(Hysteresis, Messages) {
    std::vector<chain_point> list{{1, 2, 3}};
    dib_base in = ref::image(6, 6, 1, 1), out = blank(6, 7, 1);
    const dib_base out0 = out;
    EXPECT_EQ(thrown([&] { do_histeresis(in, 10, 9, 0, out, list); }),
              "HisteresisWorker::HisteresisWorker() - got images of different sizes");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(ref::differences(out, out0), "");
    dib_base out6 = blank(6, 6, 1);
    EXPECT_EQ(thrown([&] { do_histeresis(in, 9, 10, 0, out6, list); }),
              "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo");
    EXPECT_EQ(thrown([&] { do_histeresis(in, -5, -3, 0, out6, list); }),
              "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo");
    dib_base wide = blank(6, 6, 2);
    EXPECT_EQ(thrown([&] { do_histeresis(in, 10, 10, 0, wide, list); }),
              "HisteresisWorker::HisteresisWorker() - got images of different pixel sizes");
    in.szPixel = 5;
    out6.szPixel = 5;
    EXPECT_EQ(thrown([&] { do_histeresis(in, 10, 9, 0, out6, list); }), "dib_access_dispatch1 - unsupported szPixel");
}

// Random inputs leave marked values on every edge of the image, so traces run along
// the outermost rows and columns; the order of the list must equal the recursive one.
TEST(Hysteresis, MatchesRecursiveReference) {
    const std::pair<int, int> shapes[] = {{1, 9}, {9, 1}, {2, 2}, {31, 23}, {64, 40}};
    int run = 0;
    for (int sz = 1; sz <= 4; ++sz)
        for (auto [w, h] : shapes)
            for (int border : {0, 1, 30})
                for (auto [hi, lo] : {std::pair{200, 120}, std::pair{150, 150}, std::pair{60, 0}}) {
                    ++run;
                    const bool topDown = run % 2;
                    const dib_base in = ref::image(w, h, sz, unsigned(run), topDown, padding(sz, run % 3 == 0));
                    dib_base got = run % 5 == 0 ? ref::image(w, h, sz, unsigned(run + 9)) : blank(w, h, sz, !topDown);
                    dib_base want = got;
                    std::vector<chain_point> gotList, wantList;
                    ASSERT_EQ(do_histeresis(in, hi, lo, border, got, gotList),
                              ref::histeresis(in, hi, lo, border, want, wantList));
                    ASSERT_EQ(ref::differences(got, want), "") << sz << " " << w << "x" << h << " b " << border;
                    ASSERT_TRUE(sameList(gotList, wantList)) << sz << " " << w << "x" << h << " b " << border;
                }
}

TEST(Hysteresis, NegativeThresholdsActAsZero) {
    dib_base in = ref::image(30, 20, 1, 4);
    for (int i = 0; i < 600; i += 2) in.bits[i] = 0;
    dib_base want = blank(30, 20, 1);
    std::vector<chain_point> wantList;
    ref::histeresis(in, 0, 0, 0, want, wantList);
    for (auto [hi, lo] : {std::pair{-3, -5}, std::pair{0, -1}}) {
        dib_base got = blank(30, 20, 1);
        std::vector<chain_point> list;
        do_histeresis(in, hi, lo, 0, got, list);
        EXPECT_EQ(ref::differences(got, want), "");
        EXPECT_TRUE(sameList(list, wantList));
    }
    dib_base got = blank(30, 20, 1), want5 = blank(30, 20, 1);
    std::vector<chain_point> list;
    do_histeresis(in, 5, -2, 0, got, list);
    ref::histeresis(in, 5, 0, 0, want5, wantList);
    EXPECT_EQ(ref::differences(got, want5), "");
    EXPECT_TRUE(sameList(list, wantList));
}

TEST(Hysteresis, SerpentineEdge) {
    // Small frame: the same order as the recursive description.
    dib_base small = blank(70, 61, 1);
    const int smallCount = serpentine(small, 50);
    dib_base got = blank(70, 61, 1), want = got;
    std::vector<chain_point> list, wantList;
    do_histeresis(small, 10, 9, 0, got, list);
    ref::histeresis(small, 10, 9, 0, want, wantList);
    EXPECT_EQ(int(list.size()), smallCount);
    EXPECT_TRUE(sameList(list, wantList));
    EXPECT_EQ(ref::differences(got, want), "");

    // A frame-filling path whose trace nests about as deep as it is long.
    dib_base large = blank(1000, 1000, 1);
    const int count = serpentine(large, 50);
    dib_base edges = blank(1000, 1000, 1);
    std::vector<chain_point> seeds;
    do_histeresis(large, 10, 9, 0, edges, seeds);
    ASSERT_EQ(int(seeds.size()), count);
    EXPECT_EQ(ref::differences(edges, large), "");
    EXPECT_EQ(seeds[0].x, 1);
    EXPECT_EQ(seeds[0].y, 1);
    // Depth first: every point after the first touches a point joined before it.
    std::vector<int> order(1000 * 1000, -1);
    for (size_t i = 0; i < seeds.size(); ++i) order[size_t(seeds[i].y) * 1000 + size_t(seeds[i].x)] = int(i);
    int orphans = 0;
    for (size_t i = 1; i < seeds.size(); ++i) {
        bool touches = false;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int o = order[size_t(seeds[i].y + dy) * 1000 + size_t(seeds[i].x + dx)];
                touches = touches || (o >= 0 && o < int(i));
            }
        orphans += !touches;
    }
    EXPECT_EQ(orphans, 0);
}

TEST(MaskBinarize, WorkedExamples) {
    // Binarise at 0: non-zero becomes 255 inside the region; the border frame keeps its bytes.
    dib_base in = ref::image(6, 5, 1, 2);
    in.bits[int64_t(2) * in.szRow + 2] = 0;
    dib_base out = ref::image(6, 5, 1, 3);
    const dib_base out0 = out;
    EXPECT_EQ(do_binarize(in, 0, 1, out), 1);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x < 5 && y >= 1 && y < 4;
            const int expected = inside ? (*ref::at(in, x, y) ? 255 : 0) : *ref::at(out0, x, y);
            EXPECT_EQ(*ref::at(out, x, y), expected) << x << "," << y;
        }
    dib_base w2 = blank(2, 1, 2), w2out = blank(2, 1, 2);
    ref::store16(ref::at(w2, 0, 0), 64);
    ref::store16(ref::at(w2, 1, 0), 65);
    do_binarize(w2, 1, 0, w2out);
    EXPECT_EQ(ref::load16(ref::at(w2out, 0, 0)), 0);
    EXPECT_EQ(ref::load16(ref::at(w2out, 1, 0)), 0x777F);

    // Mask: 128 keeps the converted magnitude, 0 writes 0 whatever the magnitude.
    dib_base mag = blank(3, 1, 2), mask = blank(3, 1, 1), kept = ref::image(3, 1, 1, 7);
    ref::store16(ref::at(mag, 0, 0), 20000);
    ref::store16(ref::at(mag, 1, 0), 20000);
    ref::store16(ref::at(mag, 2, 0), 6400);
    mask.bits[0] = 128;
    mask.bits[2] = 1;
    EXPECT_EQ(do_mask(mag, mask, 0, kept), 0);
    EXPECT_EQ(kept.bits[0], 57);
    EXPECT_EQ(kept.bits[1], 0);
    EXPECT_EQ(kept.bits[2], 100);
}

TEST(MaskBinarize, Messages) {
    dib_base a = blank(5, 5, 1), b = blank(5, 6, 1), c = blank(6, 5, 2);
    EXPECT_EQ(thrown([&] { do_mask(a, b, 0, a); }), "do_mask() - got images of different sizes");
    // The output is written over the value image's region: it is checked too.
    EXPECT_EQ(thrown([&] { do_mask(a, a, 0, c); }), "do_mask() - got images of different sizes");
    EXPECT_EQ(thrown([&] { do_binarize(a, 0, 0, b); }), "do_binarize() - got images of different sizes");
    dib_base odd = blank(5, 5, 1);
    odd.szPixel = 5;
    EXPECT_EQ(thrown([&] { do_mask(odd, a, 0, a); }), "dib_access_dispatch2 - unsupported szPixel");
    EXPECT_EQ(thrown([&] { do_binarize(a, 0, 0, odd); }), "dib_access_dispatch2 - unsupported szPixel");
}

TEST(MaskBinarize, MatchReferenceForEveryPair) {
    const std::pair<int, int> shapes[] = {{1, 5}, {5, 1}, {2, 3}, {21, 13}};
    int run = 0;
    for (int szI = 1; szI <= 4; ++szI)
        for (int szO = 1; szO <= 4; ++szO)
            for (auto [w, h] : shapes)
                for (int border : {0, 1}) {
                    ++run;
                    const dib_base in = ref::image(w, h, szI, unsigned(run), run % 2, padding(szI, run % 3 == 0));
                    dib_base mask = ref::image(w, h, 1, unsigned(run + 3), run % 4 < 2, padding(1, run % 2));
                    for (int64_t i = 0; i < mask.byteSize(); ++i)
                        if (mask.bits[i] < 128) mask.bits[i] = 0;
                    const dib_base out0 = ref::image(w, h, szO, unsigned(run + 7), false, padding(szO, run % 2));
                    dib_base got = out0, want = out0;
                    ASSERT_EQ(do_mask(in, mask, border, got), ref::mask(in, mask, border, want));
                    ASSERT_EQ(ref::differences(got, want), "") << "mask " << szI << "->" << szO;
                    for (int t : {0, 100}) {
                        got = out0, want = out0;
                        ASSERT_EQ(do_binarize(in, t, border, got), ref::binarize(in, t, border, want));
                        ASSERT_EQ(ref::differences(got, want), "") << "binarize " << szI << "->" << szO;
                    }
                }
}

// A negative border would put the working region outside the image: it acts as 0.
TEST(Borders, NegativeBorderActsAsZero) {
    const dib_base in = ref::image(12, 9, 1, 21);
    dib_base a = ref::image(12, 9, 1, 22), b = a;
    EXPECT_EQ(do_binarize(in, 90, -4, a), 0);
    ref::binarize(in, 90, 0, b);
    EXPECT_EQ(ref::differences(a, b), "");

    dib_base m = ref::image(12, 9, 1, 23);
    a = ref::image(12, 9, 2, 24), b = a;
    EXPECT_EQ(do_mask(in, m, -1, a), 0);
    ref::mask(in, m, 0, b);
    EXPECT_EQ(ref::differences(a, b), "");

    dib_base e1 = blank(12, 9, 1), e2 = e1;
    std::vector<chain_point> l1, l2;
    EXPECT_EQ(do_histeresis(in, 200, 100, -7, e1, l1), 0);
    ref::histeresis(in, 200, 100, 0, e2, l2);
    EXPECT_EQ(ref::differences(e1, e2), "");
    EXPECT_TRUE(sameList(l1, l2));
}

}  // namespace
