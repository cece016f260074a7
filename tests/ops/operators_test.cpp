#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "ops/alg_ck_1d.h"
#include "ops/do_binarize.h"
#include "ops/do_convolve_h.h"
#include "ops/do_convolve_v.h"
#include "ops/do_copy.h"
#include "ops/do_gauss.h"
#include "ops/do_gradient.h"
#include "ops/do_histeresis.h"
#include "ops/do_mask.h"
#include "ops/do_nms.h"
#include "reference.h"

namespace {
using ref::at;
using ref::blank;
using ref::differences;
using ref::load16;
using ref::store16;
using ref::thrown;

TEST(Kernel, SizesCoefficientsAndRefusedSigmas) {
    const std::pair<float, int> sizes[] = {{0.5f, 1},  {0.67f, 3}, {1.0f, 3},  {1.34f, 5},  {2.0f, 7},
                                           {2.5f, 7},  {3.0f, 9},  {3.4f, 11}, {4.0f, 13},  {-0.5f, 1}, {7.0e8f, 2100000001}};
    for (auto [sigma, size] : sizes) EXPECT_EQ(do_gauss_kernelSize(sigma), size) << sigma;
    const double sigma2[7] = {0.070159, 0.131075, 0.190713, 0.216106, 0.190713, 0.131075, 0.070159};
    alg_ck_1d_gauss k2(2.0f, 7);
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(k2.coef[i], sigma2[i], 1e-6);
    for (float sigma : {0.3f, 0.5f, 0.67f, 1.0f, 1.34f, 2.0f, 2.5f, 3.0f, 3.4f, 4.0f, 7.7f}) {
        const std::vector<float> r = ref::gaussCoefficients(sigma, ref::kernelSize(sigma));
        alg_ck_1d_gauss k(sigma, int(r.size()));
        EXPECT_EQ(std::memcmp(k.coef, r.data(), r.size() * sizeof(float)), 0) << sigma;
    }
    EXPECT_EQ(alg_ck_1d_gauss(0.0f, 1).coef[0], 1.0f);  // the limit of a narrowing Gaussian, not 0/0

    const std::string even = "alg_ck_1d::check - even size is illegal", illegal = "do_gauss() - illegal sigma";
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, std::string> refused[] = {{-0.67f, even}, {-1.0f, even},  {-3.0e38f, even}, {nan, illegal},
                                                     {inf, illegal}, {-inf, illegal}, {1.5e9f, illegal}};
    dib_base src = ref::image(8, 8, 1, 1), dst = ref::image(8, 8, 1, 2), scratch = ref::image(8, 8, 1, 3);
    const dib_base before = dst;
    for (auto& [sigma, message] : refused)
        EXPECT_EQ(thrown([&] { do_gauss(src, 0, sigma, dst, scratch); }), message) << sigma;
    // The largest sigmas that fit: the kernel reaches no pixel and is not built.
    EXPECT_EQ(do_gauss(src, 2, 7.0e8f, dst, scratch), 2 + 1050000000);
    EXPECT_EQ(differences(dst, before), "");
}

// Both passes and the whole smoothing, every pixel-size pair and kernel size class (general,
// the 7/9/11 with their own vertical region, 13), strips longer than 128 pixels.
TEST(Convolution, MatchesReference) {
    for (float sigma : {0.5f, 1.0f, 1.34f, 2.0f, 3.0f, 3.4f, 4.0f}) {
        const std::vector<float> coef = ref::gaussCoefficients(sigma, ref::kernelSize(sigma));
        const alg_ck_1d_gauss kernel(sigma, int(coef.size()));
        ref::everyCase({{1, 9}, {9, 1}, {3, 3}, {23, 17}, {7, 30}, {140, 11}}, {0, 2, -3},
                       [&](int szS, int szD, int w, int h, int b, int run) {
            const dib_base src = ref::image(w, h, szS, run, run % 4 < 2, run % 2);
            const dib_base dst = ref::image(w, h, szD, run + 7, run % 4 >= 2, run % 2 == 0);
            const std::string where = std::to_string(szS) + "->" + std::to_string(szD) + " sigma " + std::to_string(sigma) +
                                      " " + std::to_string(w) + "x" + std::to_string(h) + " b " + std::to_string(b);
            for (bool vertical : {true, false}) {
                dib_base got = dst, want = dst;
                EXPECT_EQ((vertical ? do_convolve_v : do_convolve_h)(kernel, src, b, got),
                          ref::convolve(coef, src, std::max(b, 0), want, vertical));
                EXPECT_EQ(differences(got, want), "") << vertical << " " << where;
            }
            dib_base got = dst, want = dst, gotScratch = ref::image(w, h, szD, run, true), wantScratch = gotScratch;
            EXPECT_EQ(do_gauss(src, b, sigma, got, gotScratch), ref::gauss(src, std::max(b, 0), sigma, want, wantScratch));
            EXPECT_EQ(differences(got, want) + differences(gotScratch, wantScratch), "") << "gauss " << where;
        });
    }
}

TEST(Convolution, WorkedExamples) {
    // Sigma 2 on a uniform byte image: border + 3, uniform inside, nothing written outside the passes' regions.
    dib_base flat = blank(20, 20, 1), out = ref::image(20, 20, 1, 9), scratch = ref::image(20, 20, 1, 8);
    dib_fill(flat, 77);
    const dib_base out0 = out;
    EXPECT_EQ(do_gauss(flat, 1, 2.0f, out, scratch), 4);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool valid = y >= 4 && y < 16 && x >= 4 && x < 16, outside = y < 1 || y >= 19 || x < 4 || x >= 16;
            EXPECT_TRUE(!(valid || outside) || *at(out, x, y) == (valid ? 77 : *at(out0, x, y))) << x << "," << y;
        }
    // Sigma below 0.67: one tap of 1.0, a plain copy that does not grow the border.
    const dib_base src = ref::image(9, 7, 1, 5);
    dib_base copy = ref::image(9, 7, 1, 6), scratch2 = copy;
    EXPECT_EQ(do_gauss(src, 0, 0.5f, copy, scratch2), 0);
    EXPECT_EQ(differences(copy, src), "");
    // One tap on 2-byte pixels comes back 32 higher; a byte into 2 bytes is shifted by 6.
    alg_ck_1d_gauss one(0.5f, 1);
    dib_base w2 = blank(3, 1, 2), w2out = w2, b1 = blank(1, 1, 1), b2 = blank(1, 1, 2);
    for (int x = 0; x < 3; ++x) store16(at(w2, x, 0), 100 - 100 * x);
    do_convolve_h(one, w2, 0, w2out);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(load16(at(w2out, x, 0)), 132 - 100 * x);
    b1.bits[0] = 200;
    do_convolve_v(one, b1, 0, b2);
    EXPECT_EQ(load16(b2.bits), 200 * 64);
}

TEST(Copy, ConversionsAndCommonRectangle) {
    dib_base c3 = blank(1, 1, 3), g1 = blank(1, 1, 1), w2 = blank(1, 1, 2);
    c3.bits[0] = 10, c3.bits[1] = 20, c3.bits[2] = 31;
    do_copy(c3, g1);
    EXPECT_EQ(g1.bits[0], 20);
    store16(w2.bits, -100);
    do_copy(w2, g1);
    EXPECT_EQ(g1.bits[0], 1);
    g1.bits[0] = 255;
    do_copy(g1, w2);
    EXPECT_EQ(load16(w2.bits), 16320);
    ref::everyCase({{13, 6}}, {0}, [](int szS, int szD, int, int, int, int run) {
        const dib_base src = ref::image(13, 6, szS, run, szD == 2, true);
        dib_base got = ref::image(9, 11, szD, run + 5, szS == 3, run % 2), want = got;
        do_copy(src, got);
        ref::copy(src, want);
        EXPECT_EQ(differences(got, want), "") << szS << "->" << szD;
    });
}

TEST(Gradient, TablesAndWorkedExamples) {
    const int magnitudes[][3] = {{3, 4, 320}, {-3, 4, 320}, {100, 0, 6400}, {255, 255, 23079}};
    for (auto& [gx, gy, m] : magnitudes) EXPECT_EQ(do_gradient_magnitude(gx, gy), m) << gx << "," << gy;
    const int directions[][3] = {{100, 100, -50}, {-100, -100, -50}, {-100, 100, 50}, {0, 7, -100},
                                 {0, -7, 100},    {0, 0, 0},         {100, 0, 0}};
    for (auto& [gx, gy, d] : directions) EXPECT_EQ(do_gradient_direction(gx, gy), d) << gx << "," << gy;
    const auto& table = do_gradientTables.directionTable;
    EXPECT_EQ(*std::min_element(&table[0][0][0], &table[0][0][0] + 2 * 256 * 256), -100);
    EXPECT_EQ(*std::max_element(&table[0][0][0], &table[0][0][0] + 2 * 256 * 256), 100);

    // Vertical step 0 | 100 in a byte image, into 2-byte outputs.
    dib_base step = blank(6, 5, 1), gx = blank(6, 5, 2), gy = gx, dir = gx, mag = gx;
    for (int y = 0; y < 5; ++y) std::memset(at(step, 3, y), 100, 3);
    EXPECT_EQ(do_gradient(step, 0, gx, gy, dir, mag), 1);
    for (int x : {2, 3}) {
        EXPECT_EQ(load16(at(gx, x, 2)), 6400);
        EXPECT_EQ(load16(at(gy, x, 2)) | load16(at(dir, x, 2)), 0);  // gy and direction 0
        EXPECT_EQ(load16(at(mag, x, 2)), 6400);
    }
    EXPECT_EQ(load16(at(mag, 1, 2)), 0);
    // gx = gy = 255 into byte outputs: magnitude 360.6 rounds to 361, stored modulo 256.
    dib_base diag = blank(3, 3, 1), bx = diag, by = diag, bd = diag, bm = diag;
    *at(diag, 2, 1) = *at(diag, 1, 2) = 255;
    do_gradient(diag, 0, bx, by, bd, bm);
    EXPECT_EQ(*at(bm, 1, 1), 105);
    EXPECT_EQ(*at(bx, 1, 1), 255);
    EXPECT_EQ(*at(bd, 1, 1), 1);  // atan2(255, 255) = 0.785 rounds to 1
}

// Few distinct values make ties (A = 0, B = 0, ax = ay, zero components) common.
dib_base coarse(dib_base image, int levels) {
    for (int y = 0; y < image.absHeight(); ++y)
        for (int x = 0; x < image.width; ++x) {
            uint8_t* p = at(image, x, y);
            if (image.szPixel == 2) store16(p, load16(p) % levels);
            for (int c = 0; image.szPixel != 2 && c < image.szPixel; ++c) p[c] = uint8_t(p[c] % levels);
        }
    return image;
}

// Gradient and suppression, every pair; components over the full range of each pixel type
// (2-byte products exceed 32 bits) and over three levels.
TEST(GradientNms, MatchReference) {
    ref::everyCase({{1, 7}, {7, 1}, {3, 3}, {19, 14}, {40, 40}}, {0, 1, -2}, [](int szS, int szM, int w, int h, int b, int run) {
        const std::string where = std::to_string(szS) + "->" + std::to_string(szM) + " " + std::to_string(w) + "x" +
                                  std::to_string(h) + " b " + std::to_string(b);
        const dib_base src = ref::image(w, h, szS, run, run % 2, run % 3 == 0);
        const dib_base out0 = ref::image(w, h, szM, run + 100, run % 2 == 0, run % 2);
        dib_base gx = out0, gy = out0, dir = out0, mag = out0, rgx = out0, rgy = out0, rdir = out0, rmag = out0;
        EXPECT_EQ(do_gradient(src, b, gx, gy, dir, mag), ref::gradient(src, std::max(b, 0), rgx, rgy, rdir, rmag));
        EXPECT_EQ(differences(gx, rgx) + differences(gy, rgy) + differences(dir, rdir) + differences(mag, rmag), "")
            << where;

        const int levels = run % 2 ? 3 : 0x10000;
        const dib_base m = coarse(ref::image(w, h, szS, run, run % 2, run % 3 == 1), levels);
        const dib_base cx = coarse(ref::image(w, h, szS, run + 50, false, true), levels);
        const dib_base cy = coarse(ref::image(w, h, szS, run + 90, true), levels);
        dib_base got = ref::image(w, h, szM, run + 130, run % 4 < 2, run % 2), want = got;
        EXPECT_EQ(do_nms(cx, cy, m, b, got), ref::nms(cx, cy, m, std::max(b, 0), want));
        EXPECT_EQ(differences(got, want), "") << "nms " << where;
    });
}

TEST(Nms, WorkedExamples) {
    // Two-pixel-wide ridge across a horizontal gradient: the one whose left neighbour equals it
    // survives (A = 0), the one whose right neighbour equals it is dropped (B = 0).
    dib_base mag = blank(6, 3, 2), gx = mag, gy = mag, mask = ref::image(6, 3, 1, 1);
    const int row[6] = {0, 100, 500, 500, 100, 0};
    for (int x = 0; x < 6; ++x) store16(at(mag, x, 1), row[x]), store16(at(gx, x, 1), 640);
    EXPECT_EQ(do_nms(gx, gy, mag, 0, mask), 1);
    for (int x = 1; x < 5; ++x) EXPECT_EQ(*at(mask, x, 1), x == 3 ? 128 : 0) << x;

    // A lone peak along x is marked 16384; with gx = gy = 0 (A = B = 0) or magnitude 0 it is not.
    dib_base peak = blank(3, 3, 2), zero = peak, big = peak, mask2 = ref::image(3, 3, 2, 2);
    store16(at(peak, 1, 1), 900);
    store16(at(big, 1, 1), 30000);
    const std::tuple<dib_base*, dib_base*, int> cases[] = {{&big, &peak, 16384}, {&zero, &peak, 0}, {&big, &zero, 0}};
    for (auto [g, m, marked] : cases) {
        do_nms(*g, zero, *m, 0, mask2);
        EXPECT_EQ(load16(at(mask2, 1, 1)), marked);
    }
}

TEST(MaskBinarize, WorkedExamplesAndReference) {
    // Binarise at 0: non-zero becomes 255 inside the region; the border frame keeps its bytes.
    dib_base in = ref::image(6, 5, 1, 2), out = ref::image(6, 5, 1, 3);
    *at(in, 2, 2) = 0;
    const dib_base out0 = out;
    EXPECT_EQ(do_binarize(in, 0, 1, out), 1);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x < 5 && y >= 1 && y < 4;
            EXPECT_EQ(*at(out, x, y), inside ? (*at(in, x, y) ? 255 : 0) : *at(out0, x, y)) << x << "," << y;
        }
    dib_base w2 = blank(2, 1, 2), w2out = w2;
    store16(at(w2, 0, 0), 64);
    store16(at(w2, 1, 0), 65);
    do_binarize(w2, 1, 0, w2out);
    EXPECT_EQ(load16(at(w2out, 0, 0)), 0);
    EXPECT_EQ(load16(at(w2out, 1, 0)), 0x777F);
    // Mask: a marked 2-byte magnitude 20000 becomes 313, stored as 57; unmarked ones 0.
    dib_base mag = blank(3, 1, 2), mask = blank(3, 1, 1), kept = ref::image(3, 1, 1, 7);
    for (int x = 0; x < 3; ++x) store16(at(mag, x, 0), x < 2 ? 20000 : 6400);
    mask.bits[0] = 128, mask.bits[2] = 1;
    EXPECT_EQ(do_mask(mag, mask, 0, kept), 0);
    EXPECT_EQ(std::string(kept.bits, kept.bits + 3), std::string("\x39\x00\x64", 3));

    ref::everyCase({{1, 5}, {5, 1}, {2, 3}, {21, 13}}, {0, 1, -4}, [](int szI, int szO, int w, int h, int b, int run) {
        const dib_base in = ref::image(w, h, szI, run, run % 2, run % 3 == 0);
        dib_base mask = ref::image(w, h, 1, run + 3, run % 4 < 2, run % 2);
        for (int64_t i = 0; i < mask.byteSize(); ++i) mask.bits[i] = mask.bits[i] < 128 ? 0 : mask.bits[i];
        const dib_base out0 = ref::image(w, h, szO, run + 7, false, run % 2);
        dib_base got = out0, want = out0;
        EXPECT_EQ(do_mask(in, mask, b, got), ref::mask(in, mask, std::max(b, 0), want));
        EXPECT_EQ(differences(got, want), "") << "mask " << szI << "->" << szO;
        for (int t : {0, 100}) {
            got = out0, want = out0;
            EXPECT_EQ(do_binarize(in, t, b, got), ref::binarize(in, t, std::max(b, 0), want));
            EXPECT_EQ(differences(got, want), "") << "binarize " << szI << "->" << szO;
        }
    });
}

// Every size check, including the outputs written over the same region, and the dispatchers.
TEST(Operators, Messages) {
    const alg_ck_1d_gauss k(1.0f, 3);
    dib_base a = blank(8, 8, 1), tall = blank(8, 9, 1), wide = blank(9, 8, 1), odd = a, w = blank(8, 8, 2);
    dib_base tallW = blank(8, 9, 2), wideW = blank(9, 8, 2);
    odd.szPixel = 5;
    std::vector<chain_point> list;
    const std::string sizes = " - got images of different sizes", pixels = " - got images of different pixel sizes";
    const std::string worker = "HisteresisWorker::HisteresisWorker()", unsupported = "dib_access_dispatch2 - unsupported szPixel";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { alg_ck_1d k4(4); }, "alg_ck_1d::check - even size is illegal"},
        {[&] { alg_ck_1d k0(0); }, "alg_ck_1d::check - even size is illegal"},
        {[&] { do_convolve_v(k, a, 0, tall); }, "ConvolveWorker::operator()" + sizes},
        {[&] { do_convolve_h(k, a, 0, wide); }, "ConvolveWorker::operator()" + sizes},
        {[&] { dib_base s = a; do_gauss(a, 0, 1.0f, wide, s); }, "ConvolveWorker::operator()" + sizes},
        {[&] { do_convolve_v(k, odd, 0, a); }, unsupported},
        {[&] { do_convolve_h(k, a, 0, odd); }, unsupported},
        {[&] { do_copy(a, odd); }, unsupported},
        {[&] { do_gradient(a, 0, w, w, w, tallW); }, "do_gradient()" + sizes},
        {[&] { do_gradient(a, 0, tallW, w, w, w); }, "do_gradient()" + sizes},
        {[&] { do_gradient(a, 0, w, w, a, w); }, "do_gradient()" + pixels},
        {[&] { do_gradient(odd, 0, w, w, w, w); }, unsupported},
        {[&] { do_nms(w, w, w, 0, wide); }, "do_nms()" + sizes},
        {[&] { do_nms(wideW, w, w, 0, a); }, "do_nms()" + sizes},
        {[&] { do_nms(w, a, w, 0, a); }, "do_nms()" + pixels},
        {[&] { do_nms(w, w, w, 0, odd); }, unsupported},
        {[&] { do_histeresis(a, 10, 9, 0, tall, list); }, worker + sizes},
        {[&] { do_histeresis(a, 9, 10, 0, a, list); }, worker + " - th_hi_ < th_lo"},
        {[&] { do_histeresis(a, -5, -3, 0, a, list); }, worker + " - th_hi_ < th_lo"},
        {[&] { do_histeresis(a, 10, 10, 0, w, list); }, worker + pixels},
        {[&] { do_histeresis(odd, 10, 9, 0, odd, list); }, "dib_access_dispatch1 - unsupported szPixel"},
        {[&] { do_mask(a, tall, 0, a); }, "do_mask()" + sizes},
        {[&] { do_mask(a, a, 0, wideW); }, "do_mask()" + sizes},
        {[&] { do_mask(odd, a, 0, a); }, unsupported},
        {[&] { do_binarize(a, 0, 0, tall); }, "do_binarize()" + sizes},
        {[&] { do_binarize(a, 0, 0, odd); }, unsupported},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(thrown(cases[i].first), cases[i].second) << "case " << i;
}

}  // namespace
