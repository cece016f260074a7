#include <gtest/gtest.h>

#include <string>

#include "ops/do_gradient.h"
#include "ops/do_nms.h"
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

dib_base blank(int w, int h, int szPixel) {
    dib_base image(dib_fmt(w, h, szPixel, 0, true));
    dib_fill(image, 0);
    return image;
}

TEST(Gradient, Tables) {
    EXPECT_EQ(do_gradient_magnitude(3, 4), 320);
    EXPECT_EQ(do_gradient_magnitude(-3, 4), 320);
    EXPECT_EQ(do_gradient_magnitude(100, 0), 6400);
    EXPECT_EQ(do_gradient_magnitude(255, 255), 23079);
    EXPECT_EQ(do_gradient_direction(100, 100), -50);
    EXPECT_EQ(do_gradient_direction(-100, -100), -50);
    EXPECT_EQ(do_gradient_direction(-100, 100), 50);
    EXPECT_EQ(do_gradient_direction(0, 7), -100);
    EXPECT_EQ(do_gradient_direction(0, -7), 100);
    EXPECT_EQ(do_gradient_direction(0, 0), 0);
    EXPECT_EQ(do_gradient_direction(100, 0), 0);
    int lowest = 0, highest = 0;
    for (int h = 0; h < 2; ++h)
        for (int i = 0; i < 256; ++i)
            for (int j = 0; j < 256; ++j) {
                lowest = std::min<int>(lowest, do_gradientTables.directionTable[h][i][j]);
                highest = std::max<int>(highest, do_gradientTables.directionTable[h][i][j]);
            }
    EXPECT_EQ(lowest, -100);
    EXPECT_EQ(highest, 100);
}

TEST(Gradient, WorkedExamples) {
    // Vertical step 0 | 100 in a byte image, into 2-byte outputs.
    dib_base step = blank(6, 5, 1);
    for (int y = 0; y < 5; ++y)
        for (int x = 3; x < 6; ++x) *ref::at(step, x, y) = 100;
    dib_base gx = blank(6, 5, 2), gy = blank(6, 5, 2), dir = blank(6, 5, 2), mag = blank(6, 5, 2);
    EXPECT_EQ(do_gradient(step, 0, gx, gy, dir, mag), 1);
    for (int x : {2, 3}) {
        EXPECT_EQ(ref::load16(ref::at(gx, x, 2)), 6400);
        EXPECT_EQ(ref::load16(ref::at(gy, x, 2)), 0);
        EXPECT_EQ(ref::load16(ref::at(mag, x, 2)), 6400);
        EXPECT_EQ(ref::load16(ref::at(dir, x, 2)), 0);
    }
    EXPECT_EQ(ref::load16(ref::at(mag, 1, 2)), 0);

    // gx = gy = 255 into a byte magnitude: 360.6 rounds to 361, stored modulo 256.
    dib_base diag = blank(3, 3, 1);
    *ref::at(diag, 2, 1) = 255;
    *ref::at(diag, 1, 2) = 255;
    dib_base bx = blank(3, 3, 1), by = blank(3, 3, 1), bd = blank(3, 3, 1), bm = blank(3, 3, 1);
    do_gradient(diag, 0, bx, by, bd, bm);
    EXPECT_EQ(*ref::at(bm, 1, 1), 105);
    EXPECT_EQ(*ref::at(bx, 1, 1), 255);
    EXPECT_EQ(*ref::at(bd, 1, 1), 1);  // atan2(255, 255) = 0.785 rounds to 1

    // Too narrow for the working region: nothing written, border still grows.
    const dib_base narrow = ref::image(4, 9, 1, 3);
    dib_base nx = ref::image(4, 9, 2, 4), ny = nx, nd = nx, nm = nx;
    const dib_base nm0 = nm;
    EXPECT_EQ(do_gradient(narrow, 2, nx, ny, nd, nm), 3);
    EXPECT_EQ(ref::differences(nm, nm0), "");
}

TEST(Gradient, Messages) {
    const dib_base src = ref::image(8, 8, 1, 1);
    dib_base gx = blank(8, 8, 2), gy = blank(8, 8, 2), dir = blank(8, 8, 2), mag = blank(8, 8, 2);
    dib_base tall = blank(8, 9, 2), bytes = blank(8, 8, 1);
    const std::string sizes = "do_gradient() - got images of different sizes";
    EXPECT_EQ(thrown([&] { do_gradient(src, 0, gx, gy, dir, tall); }), sizes);
    // The other outputs are written over the same region: they are checked too.
    EXPECT_EQ(thrown([&] { do_gradient(src, 0, tall, gy, dir, mag); }), sizes);
    EXPECT_EQ(thrown([&] { do_gradient(src, 0, gx, gy, bytes, mag); }),
              "do_gradient() - got images of different pixel sizes");
    dib_base odd = ref::image(8, 8, 1, 2);
    odd.szPixel = 0;
    EXPECT_EQ(thrown([&] { do_gradient(odd, 0, gx, gy, dir, mag); }), "dib_access_dispatch2 - unsupported szPixel");
}

TEST(Gradient, MatchesReferenceForEveryPair) {
    const std::pair<int, int> shapes[] = {{1, 7}, {7, 1}, {3, 3}, {19, 14}, {4, 40}};
    int run = 0;
    for (int szS = 1; szS <= 4; ++szS)
        for (int szM = 1; szM <= 4; ++szM)
            for (auto [w, h] : shapes)
                for (int border : {0, 1}) {
                    ++run;
                    const bool topDown = run % 2;
                    const dib_base src = ref::image(w, h, szS, unsigned(run), topDown, padding(szS, run % 3 == 0));
                    const dib_base out0 = ref::image(w, h, szM, unsigned(run + 100), !topDown, padding(szM, run % 2));
                    dib_base gx = out0, gy = out0, dir = out0, mag = out0;
                    dib_base rgx = out0, rgy = out0, rdir = out0, rmag = out0;
                    ASSERT_EQ(do_gradient(src, border, gx, gy, dir, mag),
                              ref::gradient(src, border, rgx, rgy, rdir, rmag));
                    const std::string where = std::to_string(szS) + "->" + std::to_string(szM) + " " +
                                              std::to_string(w) + "x" + std::to_string(h);
                    ASSERT_EQ(ref::differences(gx, rgx), "") << "gx " << where;
                    ASSERT_EQ(ref::differences(gy, rgy), "") << "gy " << where;
                    ASSERT_EQ(ref::differences(dir, rdir), "") << "direction " << where;
                    ASSERT_EQ(ref::differences(mag, rmag), "") << "magnitude " << where;
                }
}

TEST(Nms, WorkedExamples) {
    // Two-pixel-wide ridge across a horizontal gradient: the one whose left neighbour
    // equals it survives (A = 0), the one whose right neighbour equals it is dropped.
    dib_base mag = blank(6, 3, 2), gx = blank(6, 3, 2), gy = blank(6, 3, 2), mask = ref::image(6, 3, 1, 1);
    const int row[6] = {0, 100, 500, 500, 100, 0};
    for (int x = 0; x < 6; ++x) {
        ref::store16(ref::at(mag, x, 1), row[x]);
        ref::store16(ref::at(gx, x, 1), 640);
    }
    EXPECT_EQ(do_nms(gx, gy, mag, 0, mask), 1);
    EXPECT_EQ(*ref::at(mask, 1, 1), 0);
    EXPECT_EQ(*ref::at(mask, 2, 1), 0);
    EXPECT_EQ(*ref::at(mask, 3, 1), 128);
    EXPECT_EQ(*ref::at(mask, 4, 1), 0);

    // Magnitude 0 is never kept; gx = gy = 0 with m > 0 gives A = B = 0: suppressed.
    dib_base peak = blank(3, 3, 2), zero = blank(3, 3, 2), mask2 = ref::image(3, 3, 2, 2);
    ref::store16(ref::at(peak, 1, 1), 900);
    do_nms(zero, zero, peak, 0, mask2);
    EXPECT_EQ(ref::load16(ref::at(mask2, 1, 1)), 0);
    ref::store16(ref::at(zero, 1, 1), 64);  // gx > 0: a lone peak along x
    do_nms(zero, blank(3, 3, 2), peak, 0, mask2);
    EXPECT_EQ(ref::load16(ref::at(mask2, 1, 1)), 16384);
    dib_base gxBig = blank(3, 3, 2);
    ref::store16(ref::at(gxBig, 1, 1), 30000);
    do_nms(gxBig, gxBig, blank(3, 3, 2), 0, mask2);
    EXPECT_EQ(ref::load16(ref::at(mask2, 1, 1)), 0);
}

TEST(Nms, Messages) {
    dib_base m = blank(8, 8, 2), g = blank(8, 8, 2), mask = blank(8, 8, 1);
    dib_base wide = blank(9, 8, 1), wideG = blank(9, 8, 2), bytes = blank(8, 8, 1);
    const std::string sizes = "do_nms() - got images of different sizes";
    EXPECT_EQ(thrown([&] { do_nms(g, g, m, 0, wide); }), sizes);
    EXPECT_EQ(thrown([&] { do_nms(wideG, g, m, 0, mask); }), sizes);
    EXPECT_EQ(thrown([&] { do_nms(g, bytes, m, 0, mask); }), "do_nms() - got images of different pixel sizes");
    mask.szPixel = 7;
    EXPECT_EQ(thrown([&] { do_nms(g, g, m, 0, mask); }), "dib_access_dispatch2 - unsupported szPixel");
}

// Few distinct values, so that ties (A = 0, B = 0, ax = ay, zero components) are common.
dib_base coarse(dib_base image, int levels) {
    for (int y = 0; y < image.absHeight(); ++y)
        for (int x = 0; x < image.width; ++x) {
            uint8_t* p = ref::at(image, x, y);
            if (image.szPixel == 2) {
                ref::store16(p, ref::load16(p) % levels);
            } else {
                for (int c = 0; c < image.szPixel; ++c) p[c] = uint8_t(p[c] % levels);
            }
        }
    return image;
}

// Random components and magnitudes over the full range of each pixel type (2-byte
// products exceed 32 bits there) and over a few levels only; every (magnitude, mask) pair.
TEST(Nms, MatchesReferenceForEveryPair) {
    const std::pair<int, int> shapes[] = {{1, 6}, {6, 1}, {3, 3}, {25, 18}, {40, 40}};
    int run = 0;
    for (int szM = 1; szM <= 4; ++szM)
        for (int szK = 1; szK <= 4; ++szK)
            for (auto [w, h] : shapes)
                for (int border : {0, 1}) {
                    ++run;
                    const int levels = (run / 2) % 2 ? 3 : 0x10000;
                    const dib_base mag =
                        coarse(ref::image(w, h, szM, unsigned(run), run % 2, padding(szM, run % 3 == 1)), levels);
                    const dib_base gx = coarse(ref::image(w, h, szM, unsigned(run + 50), false, padding(szM, 1)), levels);
                    const dib_base gy = coarse(ref::image(w, h, szM, unsigned(run + 90), true), levels);
                    dib_base got = ref::image(w, h, szK, unsigned(run + 130), run % 4 < 2, padding(szK, run % 2));
                    dib_base want = got;
                    ASSERT_EQ(do_nms(gx, gy, mag, border, got), ref::nms(gx, gy, mag, border, want));
                    ASSERT_EQ(ref::differences(got, want), "") << szM << "->" << szK << " " << w << "x" << h;
                }
}

// Realistic input: the gradient of a smooth byte image, as the Canny pipeline sees it.
TEST(Nms, MatchesReferenceOnGradients) {
    dib_base src = blank(40, 30, 1);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) *ref::at(src, x, y) = uint8_t(((x - 20) * (x - 20) + (y - 15) * (y - 15)) % 97);
    dib_base gx = blank(40, 30, 2), gy = gx, dir = gx, mag = gx;
    do_gradient(src, 0, gx, gy, dir, mag);
    dib_base got = blank(40, 30, 1), want = got;
    do_nms(gx, gy, mag, 1, got);
    ref::nms(gx, gy, mag, 1, want);
    EXPECT_EQ(ref::differences(got, want), "");
    int kept = 0;
    for (int i = 0; i < 40 * 30; ++i) kept += got.bits[i] == 128;
    EXPECT_GT(kept, 50);
}

TEST(Gradient, NegativeBorderActsAsZero) {
    const dib_base src = ref::image(10, 8, 1, 31);
    dib_base gx = ref::image(10, 8, 2, 32), gy = gx, dir = gx, mag = gx;
    dib_base rgx = gx, rgy = gx, rdir = gx, rmag = gx;
    EXPECT_EQ(do_gradient(src, -3, gx, gy, dir, mag), 1);
    ref::gradient(src, 0, rgx, rgy, rdir, rmag);
    EXPECT_EQ(ref::differences(mag, rmag), "");
    dib_base got = ref::image(10, 8, 1, 33), want = got;
    EXPECT_EQ(do_nms(gx, gy, mag, -2, got), 1);
    ref::nms(gx, gy, mag, 0, want);
    EXPECT_EQ(ref::differences(got, want), "");
}

}  // namespace
