#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "ops/alg_ck_1d.h"
#include "ops/do_convolve_h.h"
#include "ops/do_convolve_v.h"
#include "ops/do_copy.h"
#include "ops/do_gauss.h"
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

// Row padding that keeps 2-byte rows aligned and makes every other stride odd.
int padding(int szPixel, int variant) { return variant == 0 ? 0 : (szPixel == 2 ? 2 : 3); }

TEST(Kernel, SizesAndCoefficients) {
    const std::pair<float, int> sizes[] = {{0.5f, 1}, {0.67f, 3}, {1.0f, 3}, {1.34f, 5}, {2.0f, 7},
                                           {2.5f, 7}, {3.0f, 9}, {3.4f, 11}, {4.0f, 13}, {-0.5f, 1}};
    for (auto [sigma, size] : sizes) EXPECT_EQ(do_gauss_kernelSize(sigma), size) << sigma;

    alg_ck_1d_gauss k2(2.0f, 7);
    const double expected[7] = {0.070159, 0.131075, 0.190713, 0.216106, 0.190713, 0.131075, 0.070159};
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(k2.coef[i], expected[i], 1e-6);
    EXPECT_EQ(k2.radius(), 3);

    for (float sigma : {0.3f, 0.67f, 1.0f, 1.34f, 2.0f, 2.5f, 3.0f, 3.4f, 4.0f, 7.7f}) {
        const int size = do_gauss_kernelSize(sigma);
        alg_ck_1d_gauss k(sigma, size);
        const std::vector<float> r = ref::gaussCoefficients(sigma, size);
        EXPECT_EQ(std::memcmp(k.coef, r.data(), r.size() * sizeof(float)), 0) << sigma;
    }
    alg_ck_1d_gauss one(0.5f, 1);
    EXPECT_EQ(one.coef[0], 1.0f);
    // Sigma 0 is the limit of a narrowing Gaussian rather than 0/0.
    alg_ck_1d_gauss zero(0.0f, 1);
    EXPECT_EQ(zero.coef[0], 1.0f);
}

TEST(Kernel, RefusedSizesAndSigmas) {
    const std::string even = "alg_ck_1d::check - even size is illegal";
    EXPECT_EQ(thrown([] { alg_ck_1d k(4); }), even);
    EXPECT_EQ(thrown([] { alg_ck_1d k(-1); }), even);
    EXPECT_EQ(thrown([] { alg_ck_1d k(0); }), even);

    dib_base src = ref::image(8, 8, 1, 1), dst = ref::image(8, 8, 1, 2), scratch = ref::image(8, 8, 1, 3);
    const dib_base before = dst;
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, -0.67f, dst, scratch); }), even);
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, -1.0f, dst, scratch); }), even);
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, -3.0e38f, dst, scratch); }), even);
    const std::string illegal = "do_gauss() - illegal sigma";
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, std::numeric_limits<float>::quiet_NaN(), dst, scratch); }), illegal);
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, std::numeric_limits<float>::infinity(), dst, scratch); }), illegal);
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, -std::numeric_limits<float>::infinity(), dst, scratch); }), illegal);
    EXPECT_EQ(thrown([&] { do_gauss(src, 0, 1.5e9f, dst, scratch); }), illegal);
    EXPECT_EQ(ref::differences(dst, before), "");

    // The largest sigmas that still fit: the kernel reaches no pixel and is not built.
    EXPECT_EQ(do_gauss_kernelSize(7.0e8f), 2100000001);
    EXPECT_EQ(do_gauss(src, 2, 7.0e8f, dst, scratch), 2 + 1050000000);
    EXPECT_EQ(ref::differences(dst, before), "");
}

TEST(Kernel, PassMessages) {
    alg_ck_1d_gauss k(1.0f, 3);
    dib_base a = ref::image(8, 8, 1, 1), b = ref::image(8, 9, 1, 2), c = ref::image(9, 8, 1, 3);
    const std::string sizes = "ConvolveWorker::operator() - got images of different sizes";
    EXPECT_EQ(thrown([&] { do_convolve_v(k, a, 0, b); }), sizes);
    EXPECT_EQ(thrown([&] { do_convolve_h(k, a, 0, c); }), sizes);
    dib_base scratch = ref::image(8, 8, 1, 4);
    EXPECT_EQ(thrown([&] { do_gauss(a, 0, 1.0f, c, scratch); }), sizes);
    dib_base odd = ref::image(8, 8, 1, 5);
    odd.szPixel = 5;
    const std::string unsupported = "dib_access_dispatch2 - unsupported szPixel";
    EXPECT_EQ(thrown([&] { do_convolve_v(k, odd, 0, a); }), unsupported);
    EXPECT_EQ(thrown([&] { do_convolve_h(k, a, 0, odd); }), unsupported);
    EXPECT_EQ(thrown([&] { do_copy(a, odd); }), unsupported);
}

// Every pixel-size pair, awkward shapes, borders, row orders and paddings, every kernel
// size class (general, the unrolled 7/9/11 with their own vertical region, 13).
TEST(Convolution, PassesMatchReferenceBitForBit) {
    struct shape {
        int w, h;
    };
    const shape shapes[] = {{1, 9}, {9, 1}, {3, 3}, {23, 17}, {7, 30}, {140, 11}};
    int runs = 0;
    for (int szS = 1; szS <= 4; ++szS)
        for (int szD = 1; szD <= 4; ++szD)
            for (float sigma : {0.5f, 1.0f, 1.34f, 2.0f, 3.0f, 3.4f, 4.0f})
                for (const shape& s : shapes)
                    for (int border : {0, 2}) {
                        const int variant = (runs++) % 2;
                        const bool topDown = (runs / 2) % 2;
                        const std::vector<float> coef = ref::gaussCoefficients(sigma, ref::kernelSize(sigma));
                        alg_ck_1d kernel(int(coef.size()));
                        std::memcpy(kernel.coef, coef.data(), coef.size() * sizeof(float));
                        const dib_base src = ref::image(s.w, s.h, szS, runs, topDown, padding(szS, variant));
                        const dib_base dst0 = ref::image(s.w, s.h, szD, runs + 7, !topDown, padding(szD, 1 - variant));

                        dib_base got = dst0, want = dst0;
                        const int gotV = do_convolve_v(kernel, src, border, got);
                        const int wantV = ref::convolveV(coef, src, border, want);
                        ASSERT_EQ(gotV, wantV);
                        ASSERT_EQ(ref::differences(got, want), "")
                            << "vertical " << szS << "->" << szD << " sigma " << sigma << " " << s.w << "x" << s.h
                            << " b " << border;

                        got = dst0, want = dst0;
                        ASSERT_EQ(do_convolve_h(kernel, src, border, got), ref::convolveH(coef, src, border, want));
                        ASSERT_EQ(ref::differences(got, want), "")
                            << "horizontal " << szS << "->" << szD << " sigma " << sigma << " " << s.w << "x" << s.h
                            << " b " << border;
                    }
}

TEST(Convolution, GaussMatchesReference) {
    for (int szS = 1; szS <= 4; ++szS)
        for (int szD = 1; szD <= 4; ++szD)
            for (float sigma : {0.6f, 2.0f, 3.0f}) {
                const dib_base src = ref::image(37, 29, szS, unsigned(szS * 10 + szD), szD % 2 == 0, padding(szS, 1));
                dib_base got = ref::image(37, 29, szD, 3), want = got;
                dib_base gotScratch = ref::image(37, 29, szD, 4, true), wantScratch = gotScratch;
                EXPECT_EQ(do_gauss(src, 1, sigma, got, gotScratch), ref::gauss(src, 1, sigma, want, wantScratch));
                EXPECT_EQ(ref::differences(got, want), "") << szS << "->" << szD << " sigma " << sigma;
                EXPECT_EQ(ref::differences(gotScratch, wantScratch), "");
            }
}

TEST(Convolution, WorkedExamples) {
    // Sigma 2 on a uniform byte image: 7 taps, border + 3, uniform inside.
    dib_base flat(dib_fmt(20, 20, 1, 0, true));
    dib_fill(flat, 77);
    dib_base out = ref::image(20, 20, 1, 9), scratch = ref::image(20, 20, 1, 8);
    const dib_base out0 = out;
    EXPECT_EQ(do_gauss(flat, 1, 2.0f, out, scratch), 4);
    // Valid where both passes saw valid input; the row pass writes no column outside
    // [4, 16) and no row outside [1, 19).
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            if (y >= 4 && y < 16 && x >= 4 && x < 16) {
                EXPECT_EQ(*ref::at(out, x, y), 77) << x << "," << y;
            } else if (y < 1 || y >= 19 || x < 4 || x >= 16) {
                EXPECT_EQ(*ref::at(out, x, y), *ref::at(out0, x, y)) << x << "," << y;
            }
        }

    // Sigma below 0.67: one tap of 1.0, a plain copy that does not grow the border.
    const dib_base src = ref::image(9, 7, 1, 5);
    dib_base copy = ref::image(9, 7, 1, 6);
    EXPECT_EQ(do_gauss(src, 0, 0.5f, copy, scratch = ref::image(9, 7, 1, 7)), 0);
    EXPECT_EQ(ref::differences(copy, src), "");

    // One tap on 2-byte pixels comes back 32 higher; a byte into 2 bytes is shifted by 6.
    alg_ck_1d_gauss one(0.5f, 1);
    dib_base w2(dib_fmt(3, 1, 2, 0, true)), w2out(dib_fmt(3, 1, 2, 0, true));
    ref::store16(ref::at(w2, 0, 0), 100);
    ref::store16(ref::at(w2, 1, 0), -100);
    ref::store16(ref::at(w2, 2, 0), 0);
    do_convolve_h(one, w2, 0, w2out);
    EXPECT_EQ(ref::load16(ref::at(w2out, 0, 0)), 132);
    EXPECT_EQ(ref::load16(ref::at(w2out, 1, 0)), -68);
    EXPECT_EQ(ref::load16(ref::at(w2out, 2, 0)), 32);
    dib_base b1(dib_fmt(1, 1, 1, 0, true));
    b1.bits[0] = 200;
    dib_base b2(dib_fmt(1, 1, 2, 0, true));
    do_convolve_v(one, b1, 0, b2);
    EXPECT_EQ(ref::load16(b2.bits), 200 * 64);

    // Too short for the 7-tap vertical region: nothing written, border still grows.
    dib_base shortSrc = ref::image(30, 8, 1, 1), shortDst = ref::image(30, 8, 1, 2);
    const dib_base shortDst0 = shortDst;
    alg_ck_1d_gauss k7(2.0f, 7);
    EXPECT_EQ(do_convolve_v(k7, shortSrc, 1, shortDst), 4);
    EXPECT_EQ(ref::differences(shortDst, shortDst0), "");
    EXPECT_EQ(do_convolve_h(k7, ref::image(8, 30, 1, 1), 1, shortDst = ref::image(8, 30, 1, 2)), 4);

    // Size 13 ignores the incoming border in the vertical pass: rows [6, H - 6), all columns.
    alg_ck_1d_gauss k13(4.0f, 13);
    dib_base tall = ref::image(5, 20, 1, 3), tallOut(dib_fmt(5, 20, 1, 0, true));
    dib_fill(tallOut, 0);
    EXPECT_EQ(do_convolve_v(k13, tall, 4, tallOut), 10);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool written = *ref::at(tallOut, x, y) != 0;
            if (y < 6 || y >= 14) {
                EXPECT_FALSE(written) << x << "," << y;
            }
        }
    int writtenCount = 0;
    for (int y = 6; y < 14; ++y)
        for (int x = 0; x < 5; ++x) writtenCount += *ref::at(tallOut, x, y) != 0;
    EXPECT_EQ(writtenCount, 40);
}

TEST(Copy, ConversionsAndCommonRectangle) {
    dib_base c3(dib_fmt(1, 1, 3, 0, true)), g1(dib_fmt(1, 1, 1, 0, true)), w2(dib_fmt(1, 1, 2, 0, true));
    c3.bits[0] = 10, c3.bits[1] = 20, c3.bits[2] = 31;
    do_copy(c3, g1);
    EXPECT_EQ(g1.bits[0], 20);
    ref::store16(w2.bits, -100);
    do_copy(w2, g1);
    EXPECT_EQ(g1.bits[0], 1);
    g1.bits[0] = 255;
    do_copy(g1, w2);
    EXPECT_EQ(ref::load16(w2.bits), 16320);

    for (int szS = 1; szS <= 4; ++szS)
        for (int szD = 1; szD <= 4; ++szD) {
            const dib_base src = ref::image(13, 6, szS, unsigned(szS), szD == 2, padding(szS, 1));
            dib_base got = ref::image(9, 11, szD, unsigned(szD + 5), szS == 3, padding(szD, szS % 2)), want = got;
            do_copy(src, got);
            ref::copy(src, want);
            EXPECT_EQ(ref::differences(got, want), "") << szS << "->" << szD;
        }
}

TEST(Convolution, NegativeBorderActsAsZero) {
    const dib_base src = ref::image(20, 20, 1, 41);
    for (float sigma : {1.0f, 2.0f}) {
        const std::vector<float> coef = ref::gaussCoefficients(sigma, ref::kernelSize(sigma));
        alg_ck_1d kernel(int(coef.size()));
        std::memcpy(kernel.coef, coef.data(), coef.size() * sizeof(float));
        dib_base got = ref::image(20, 20, 1, 42), want = got;
        EXPECT_EQ(do_convolve_v(kernel, src, -2, got), kernel.radius());
        ref::convolveV(coef, src, 0, want);
        EXPECT_EQ(ref::differences(got, want), "");
        EXPECT_EQ(do_convolve_h(kernel, src, -5, got), kernel.radius());
        ref::convolveH(coef, src, 0, want);
        EXPECT_EQ(ref::differences(got, want), "");
    }
}

}  // namespace
