#include <algorithm>
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
using namespace ref;

TEST(Kernel, SizesCoefficientsAndRefusedSigmas) {
    const std::pair<float, int> sizes[] = {{0.5f, 1},  {0.67f, 3}, {1.0f, 3},           {1.34f, 5},
                                           {2.0f, 7},  {2.5f, 7},  {3.0f, 9},           {3.4f, 11},
                                           {4.0f, 13}, {-0.5f, 1}, {7.0e8f, 2100000001}};
    for (auto [sigma, size] : sizes) EXPECT_EQ(do_gauss_kernelSize(sigma), size) << sigma;
    const double sigma2[7] = {0.070159, 0.131075, 0.190713, 0.216106, 0.190713, 0.131075, 0.070159};
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(alg_ck_1d_gauss(2.0f, 7).coef[i], sigma2[i], 1e-6);
    for (float sigma : {0.3f, 0.5f, 0.67f, 1.0f, 1.34f, 2.0f, 2.5f, 3.0f, 3.4f, 4.0f, 7.7f}) {
        const std::vector<float> r = gaussCoefficients(sigma, kernelSize(sigma));
        EXPECT_EQ(std::memcmp(alg_ck_1d_gauss(sigma, int(r.size())).coef, r.data(), r.size() * sizeof(float)), 0)
            << sigma;
    }
    EXPECT_EQ(alg_ck_1d_gauss(0.0f, 1).coef[0], 1.0f);  // the limit of a narrowing Gaussian, not 0/0

    const std::string even = "alg_ck_1d::check - even size is illegal", illegal = "do_gauss() - illegal sigma";
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, std::string> refused[] = {{-0.67f, even}, {-1.0f, even},   {-3.0e38f, even}, {nan, illegal},
                                                     {inf, illegal}, {-inf, illegal}, {1.5e9f, illegal}};
    dib_base src = image(8, 8, 1, 1), dst = image(8, 8, 1, 2), scratch = image(8, 8, 1, 3);
    const dib_base before = dst;
    for (auto& [sigma, message] : refused) EXPECT_EQ(thrown([&] { do_gauss(src, 0, sigma, dst, scratch); }), message);
    // The largest sigmas that fit: the kernel reaches no pixel and is not built.
    EXPECT_EQ(do_gauss(src, 2, 7.0e8f, dst, scratch), 2 + 1050000000);
    EXPECT_EQ(differences(dst, before), "");
}

// Both passes and the whole smoothing; every kernel size class (general, 7/9/11 with their own
// vertical region, 13) and strips longer than 128 pixels.
TEST(Convolution, MatchesReference) {
    for (float sigma : {0.5f, 1.0f, 1.34f, 2.0f, 3.0f, 3.4f, 4.0f}) {
        SCOPED_TRACE(sigma);
        const std::vector<float> coef = gaussCoefficients(sigma, kernelSize(sigma));
        const alg_ck_1d_gauss kernel(sigma, int(coef.size()));
        everyCase({{1, 9}, {9, 1}, {3, 3}, {23, 17}, {7, 30}, {140, 11}}, {0, 2, -3},
                  [&](const dib_base& src, const dib_base& dst, int b, int) {
                      for (bool vertical : {true, false}) {
                          dib_base got = dst, want = dst;
                          EXPECT_EQ((vertical ? do_convolve_v : do_convolve_h)(kernel, src, b, got),
                                    convolve(coef, src, std::max(b, 0), want, vertical));
                          EXPECT_EQ(differences(got, want), "") << vertical;
                      }
                      dib_base got = dst, want = dst, scratch = src, wantScratch = src;
                      EXPECT_EQ(do_gauss(src, b, sigma, got, scratch),
                                gauss(src, std::max(b, 0), sigma, want, wantScratch));
                      EXPECT_EQ(differences(got, want) + differences(scratch, wantScratch), "");
                  });
    }
}

TEST(Convolution, WorkedExamples) {
    // One tap on 2-byte pixels comes back 32 higher; a byte into 2 bytes is shifted by 6.
    const alg_ck_1d_gauss one(0.5f, 1);
    dib_base words = row(2, {0, 0, 0}), word = row(2, {0});
    do_convolve_h(one, row(2, {100, -100, 0}), 0, words);
    do_convolve_v(one, row(1, {200}), 0, word);
    EXPECT_EQ(values(words), (std::vector<int>{132, -68, 32}));
    EXPECT_EQ(values(word), std::vector<int>{200 * 64});
}

TEST(Copy, ConversionsAndCommonRectangle) {
    dib_base c3 = row(3, {0}), g1 = row(1, {0}), g2 = g1, w2 = row(2, {0});
    c3.bits[0] = 10, c3.bits[1] = 20, c3.bits[2] = 31;
    do_copy(c3, g1), do_copy(row(2, {-100}), g2), do_copy(row(1, {255}), w2);
    EXPECT_EQ(std::vector<int>({values(g1)[0], values(g2)[0], values(w2)[0]}), (std::vector<int>{20, 1, 16320}));
    everyCase({{13, 6}, {1, 7}, {7, 1}}, {0}, [](const dib_base& src, const dib_base& dst, int, int run) {
        dib_base got = image(9, 11, dst.szPixel, run, run % 2, run % 3), want = got;
        do_copy(src, got);
        ref::copy(src, want);
        EXPECT_EQ(differences(got, want), "");
    });
}

TEST(GradientNms, TablesAndWorkedExamples) {
    const int magnitudes[][3] = {{3, 4, 320}, {-3, 4, 320}, {100, 0, 6400}, {255, 255, 23079}};
    for (auto& [gx, gy, m] : magnitudes) EXPECT_EQ(do_gradient_magnitude(gx, gy), m) << gx << "," << gy;
    const int directions[][3] = {{100, 100, -50}, {-100, -100, -50}, {-100, 100, 50}, {0, 7, -100},
                                 {0, -7, 100},    {0, 0, 0},         {100, 0, 0}};
    for (auto& [gx, gy, d] : directions) EXPECT_EQ(do_gradient_direction(gx, gy), d) << gx << "," << gy;

    // Vertical step 0 | 100 in a byte image, into 2-byte outputs: gx, gy, direction, magnitude at the step.
    dib_base step = blank(6, 5, 1), gx = blank(6, 5, 2), gy = gx, dir = gx, mag = gx;
    for (int y = 0; y < 5; ++y) std::memset(at(step, 3, y), 100, 3);
    EXPECT_EQ(do_gradient(step, 0, gx, gy, dir, mag), 1);
    for (int x : {2, 3})
        EXPECT_EQ(std::vector<int>(
                      {load16(at(gx, x, 2)), load16(at(gy, x, 2)), load16(at(dir, x, 2)), load16(at(mag, x, 2))}),
                  (std::vector<int>{6400, 0, 0, 6400}));
    // gx = gy = 255 into byte outputs: magnitude 360.6 rounds to 361, stored modulo 256; atan2 0.785 rounds to 1.
    dib_base diag = blank(3, 3, 1), bx = diag, by = diag, bd = diag, bm = diag;
    *at(diag, 2, 1) = *at(diag, 1, 2) = 255;
    do_gradient(diag, 0, bx, by, bd, bm);
    EXPECT_EQ(std::vector<int>({*at(bm, 1, 1), *at(bx, 1, 1), *at(bd, 1, 1)}), (std::vector<int>{105, 255, 1}));

    // Two-pixel-wide ridge across a horizontal gradient: the one whose left neighbour equals it
    // survives (A = 0), the one whose right neighbour equals it is dropped (B = 0).
    dib_base ridge = blank(6, 3, 2), rx = ridge, ry = ridge, mask = image(6, 3, 1, 1);
    const int ridgeRow[6] = {0, 100, 500, 500, 100, 0};
    for (int x = 0; x < 6; ++x) store16(at(ridge, x, 1), ridgeRow[x]), store16(at(rx, x, 1), 640);
    EXPECT_EQ(do_nms(rx, ry, ridge, 0, mask), 1);
    for (int x = 1; x < 5; ++x) EXPECT_EQ(*at(mask, x, 1), x == 3 ? 128 : 0) << x;
}

// Few distinct values (2-byte ones of either sign) make ties common: A = 0, B = 0, ax = ay, zero components.
dib_base coarse(dib_base im) {
    for (int64_t i = 0; i < im.byteSize(); ++i)
        im.bits[i] = im.szPixel == 2 && i % 2 ? -(im.bits[i] & 1) : im.bits[i] % 3;
    return im;
}

// Suppression components over the full range of each pixel type (2-byte products exceed 32 bits) and coarse.
TEST(GradientNms, MatchReference) {
    everyCase(
        {{1, 7}, {7, 1}, {3, 3}, {19, 14}, {40, 40}}, {0, 1, -2},
        [](const dib_base& src, const dib_base& out0, int b, int run) {
            dib_base gx = out0, gy = out0, dir = out0, mag = out0, rgx = out0, rgy = out0, rdir = out0, rmag = out0;
            EXPECT_EQ(do_gradient(src, b, gx, gy, dir, mag), gradient(src, std::max(b, 0), rgx, rgy, rdir, rmag));
            EXPECT_EQ(differences(gx, rgx) + differences(gy, rgy) + differences(dir, rdir) + differences(mag, rmag),
                      "");

            const int w = src.width, h = src.absHeight(), sz = src.szPixel;
            dib_base m = image(w, h, sz, run + 1, run % 2), cx = image(w, h, sz, run + 2, 0, 1),
                     cy = image(w, h, sz, run + 3);
            if (run % 2) m = coarse(m), cx = coarse(cx), cy = coarse(cy);
            dib_base got = image(w, h, out0.szPixel, run, run % 4 < 2, run % 3), want = got;
            EXPECT_EQ(do_nms(cx, cy, m, b, got), nms(cx, cy, m, std::max(b, 0), want));
            EXPECT_EQ(differences(got, want), "") << "nms";
        });
}

TEST(MaskBinarize, WorkedExamplesAndReference) {
    // Binarise at 0: non-zero becomes 255 inside the region; the border frame keeps its bytes.
    dib_base in = image(4, 3, 1, 2), out = image(4, 3, 1, 3), want = out;
    *at(in, 1, 1) = 0, *at(in, 2, 1) = 7, *at(want, 1, 1) = 0, *at(want, 2, 1) = 255;
    EXPECT_EQ(do_binarize(in, 0, 1, out), 1);
    EXPECT_EQ(differences(out, want), "");
    dib_base on = row(2, {7, 7}), kept = row(1, {7, 7, 7});
    do_binarize(row(2, {64, 65}), 1, 0, on);
    EXPECT_EQ(values(on), (std::vector<int>{0, 0x777F}));
    // Mask: a marked 2-byte magnitude 20000 becomes 313, stored as 57; unmarked ones 0.
    EXPECT_EQ(do_mask(row(2, {20000, 20000, 6400}), row(1, {128, 0, 1}), 0, kept), 0);
    EXPECT_EQ(values(kept), (std::vector<int>{57, 0, 100}));

    everyCase(
        {{1, 5}, {5, 1}, {2, 3}, {21, 13}}, {0, 1, -4}, [](const dib_base& in, const dib_base& out0, int b, int run) {
            dib_base mask = image(in.width, in.absHeight(), 1, run + 3, run % 4 < 2, run % 2), got = out0, want = out0;
            for (int64_t i = 0; i < mask.byteSize(); ++i) mask.bits[i] = mask.bits[i] < 128 ? 0 : mask.bits[i];
            EXPECT_EQ(do_mask(in, mask, b, got), ref::mask(in, mask, std::max(b, 0), want));
            EXPECT_EQ(differences(got, want), "") << "mask";
            for (int t : {0, 100}) {
                got = out0, want = out0;
                EXPECT_EQ(do_binarize(in, t, b, got), binarize(in, t, std::max(b, 0), want));
                EXPECT_EQ(differences(got, want), "") << "binarize " << t;
            }
        });
}

std::string xs(const std::vector<chain_point>& list) {
    std::string s;
    for (const chain_point& p : list) s += std::to_string(p.x) + " ";
    return s;
}

TEST(Hysteresis, ThresholdsAndSeedOrder) {
    std::vector<chain_point> list;
    // th_hi = th_lo = 0: every non-zero pixel is marked, isolated ones included.
    const dib_base dots = row(1, {3, 0, 9, 0, 0, 1}), weak = row(1, {0, 20, 15, 15, 10, 15, 0, 12, 0});
    dib_base out = blank(6, 1, 1);
    EXPECT_EQ(do_histeresis(dots, 0, 0, 0, out, list), 0);
    EXPECT_EQ(differences(out, dots) + xs(list), "0 2 5 ");
    // Equal to th_hi is no seed, equal to th_lo no continuation; a weak chain alone stays out.
    do_histeresis(weak, 19, 10, 0, out = blank(9, 1, 1), list);
    EXPECT_EQ(values(out), (std::vector<int>{0, 20, 15, 15, 0, 0, 0, 0, 0}));
    EXPECT_EQ(xs(list), "1 2 3 ");
    do_histeresis(weak, 20, 10, 0, out = blank(9, 1, 1), list);
    EXPECT_TRUE(list.empty());
    // Two strong pixels on one chain: marked once from the first seed in scan order, to the
    // right in increasing x, the left end only after the right one.
    do_histeresis(row(1, {0, 40, 80, 40, 40, 90, 40, 0}), 50, 30, 0, out = blank(8, 1, 1), list);
    EXPECT_EQ(xs(list), "2 3 4 5 6 1 ");
    EXPECT_EQ(list[0].strength, 80);
    // A failed size check has emptied the list and written nothing.
    EXPECT_NE(thrown([&] { do_histeresis(weak, 20, 10, 0, out = blank(9, 2, 1), list); }), "");
    EXPECT_EQ(differences(out, blank(9, 2, 1)) + xs(list), "");
}

// Random inputs leave marked values on every edge of the image, so traces run along the
// outermost rows and columns; the list order must equal the recursive one. A 0 pixel would
// pass a negative threshold while marking leaves it 0: thresholds act as at least 0.
TEST(Hysteresis, MatchesRecursiveReference) {
    int run = 0;
    for (int sz = 1; sz <= 4; ++sz)
        for (auto [w, h] : {std::pair{1, 9}, {9, 1}, {2, 2}, {31, 23}, {64, 40}})
            for (int b : {0, 1, 30, -1})
                for (auto [hi, lo] : {std::pair{200, 120}, {150, 150}, {60, 0}, {5, -2}, {-3, -5}}) {
                    SCOPED_TRACE(testing::Message()
                                 << sz << " " << w << "x" << h << " b " << b << " " << hi << "/" << lo);
                    ++run;
                    dib_base in = image(w, h, sz, run, run % 2, run % 3 == 0);
                    for (int64_t i = 0; run % 2 && i < in.byteSize(); i += 2) in.bits[i] = 0;
                    dib_base got = run % 5 == 0 ? image(w, h, sz, run + 9) : blank(w, h, sz), want = got;
                    std::vector<chain_point> gotList, wantList;
                    EXPECT_EQ(do_histeresis(in, hi, lo, b, got, gotList),
                              histeresis(in, std::max(hi, 0), std::max(lo, 0), std::max(b, 0), want, wantList));
                    EXPECT_EQ(differences(got, want), "");
                    EXPECT_TRUE(sameList(gotList, wantList));
                }
}

// A one-pixel-wide path: full rows 1, 3, 5, ... joined alternately at the right and the left end.
dib_base serpentine(int w, int h) {
    dib_base im = blank(w, h, 1);
    for (int y = 1; y + 1 < h; y += 2) {
        std::memset(at(im, 1, y), 50, size_t(w - 2));
        if (y + 3 < h) *at(im, (y / 2) % 2 == 0 ? w - 2 : 1, y + 1) = 50;
    }
    return im;
}

TEST(Hysteresis, SerpentineEdge) {
    for (int size : {61, 1000}) {
        const dib_base path = serpentine(size + 9, size);
        dib_base got = blank(size + 9, size, 1), want = got;
        std::vector<chain_point> list, wantList;
        do_histeresis(path, 10, 9, 0, got, list);
        EXPECT_EQ(differences(got, path), "");
        ASSERT_EQ(list.size(), size_t(std::count(path.bits, path.bits + path.byteSize(), 50)));
        if (size < 100) {  // the recursive reference nests as deep as the path is long
            histeresis(path, 10, 9, 0, want, wantList);
            EXPECT_TRUE(sameList(list, wantList));
            continue;
        }
        // Depth first from the first seed: every later point touches one joined before it.
        std::vector<size_t> order(path.byteSize(), list.size());
        for (size_t i = 0; i < list.size(); ++i) order[size_t(list[i].y * path.szRow + list[i].x)] = i;
        EXPECT_TRUE(list[0].x == 1 && list[0].y == 1);
        for (size_t i = 1; i < list.size(); ++i) {
            bool touches = false;
            for (int d = 0; d < 9; ++d)
                touches |= order[size_t((list[i].y + d / 3 - 1) * path.szRow + list[i].x + d % 3 - 1)] < i;
            ASSERT_TRUE(touches) << i;
        }
    }
}

// Every size check, including the outputs written over the same region, and the dispatchers.
TEST(Operators, Messages) {
    const alg_ck_1d_gauss k(1.0f, 3);
    dib_base a = blank(8, 8, 1), tall = blank(8, 9, 1), wide = blank(9, 8, 1), odd = a, w = blank(8, 8, 2);
    dib_base tallW = blank(8, 9, 2), wideW = blank(9, 8, 2);
    odd.szPixel = 5;
    std::vector<chain_point> list;
    const std::string sizes = " - got images of different sizes", pixels = " - got images of different pixel sizes";
    const std::string worker = "HisteresisWorker::HisteresisWorker()",
                      unsupported = "dib_access_dispatch2 - unsupported szPixel";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { alg_ck_1d k4(4); }, "alg_ck_1d::check - even size is illegal"},
        {[&] { do_convolve_v(k, a, 0, tall); }, "ConvolveWorker::operator()" + sizes},
        {[&] { do_convolve_h(k, a, 0, wide); }, "ConvolveWorker::operator()" + sizes},
        {[&] { do_convolve_v(k, odd, 0, a); }, unsupported},
        {[&] { do_gradient(a, 0, w, w, w, tallW); }, "do_gradient()" + sizes},
        {[&] { do_gradient(a, 0, tallW, w, w, w); }, "do_gradient()" + sizes},
        {[&] { do_gradient(a, 0, w, w, a, w); }, "do_gradient()" + pixels},
        {[&] { do_gradient(odd, 0, w, w, w, w); }, unsupported},
        {[&] { do_nms(w, w, w, 0, wide); }, "do_nms()" + sizes},
        {[&] { do_nms(wideW, w, w, 0, a); }, "do_nms()" + sizes},
        {[&] { do_nms(w, a, w, 0, a); }, "do_nms()" + pixels},
        {[&] { do_histeresis(a, 10, 9, 0, tall, list); }, worker + sizes},
        {[&] { do_histeresis(a, 9, 10, 0, a, list); }, worker + " - th_hi_ < th_lo"},
        {[&] { do_histeresis(a, 10, 10, 0, w, list); }, worker + pixels},
        {[&] { do_histeresis(odd, 10, 9, 0, odd, list); }, "dib_access_dispatch1 - unsupported szPixel"},
        {[&] { do_mask(a, tall, 0, a); }, "do_mask()" + sizes},
        {[&] { do_mask(a, a, 0, wideW); }, "do_mask()" + sizes},
        {[&] { do_mask(odd, a, 0, a); }, unsupported},
        {[&] { do_binarize(a, 0, 0, tall); }, "do_binarize()" + sizes},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(thrown(cases[i].first), cases[i].second) << "case " << i;
}

}  // namespace
