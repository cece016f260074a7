// The vector kernels against the plain reference, in every dispatch mode this processor offers:
// the plain code forced by AMBREVO_SCALAR=1, then each of SSE4, AVX2 and AVX-512 in turn.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include <hwy/targets.h>

#include "ops/alg_ck_1d.h"
#include "ops/do_binarize.h"
#include "ops/do_canny_sweep.h"
#include "ops/do_convolve_h.h"
#include "ops/do_convolve_v.h"
#include "ops/do_gauss.h"
#include "ops/do_gradient.h"
#include "ops/do_histeresis.h"
#include "ops/do_mask.h"
#include "ops/do_nms.h"
#include "ops/ip_canny.h"
#include "ops/op_simd.h"
#include "photo.h"
#include "reference.h"

namespace {
using namespace ref;

// Runs f() once per dispatch mode; each run is traced with its mode's name.
template <class F>
void eachMode(F f) {
    setenv("AMBREVO_SCALAR", "1", 1);
    {
        SCOPED_TRACE("scalar forced");
        EXPECT_FALSE(ops_detail::vectorsEnabled());
        f();
    }
    unsetenv("AMBREVO_SCALAR");
    const int64_t cpu = hwy::SupportedTargets();
    for (int64_t target : {int64_t(HWY_SSE4), int64_t(HWY_AVX2), int64_t(HWY_AVX3)}) {
        if (!(cpu & target)) continue;
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        EXPECT_TRUE(ops_detail::vectorsEnabled());
        f();
    }
    hwy::SetSupportedTargetsForTest(0);
}

// A 2-byte magnitude-like image: values 0..32767 (negative ones only where `negatives`), few of
// them distinct when `coarse`, so that ties and zero components are common.
dib_base magnitudes(dib_base im, bool negatives, bool coarse) {
    for (int64_t i = 1; i < im.byteSize(); i += 2) {
        if (coarse) im.bits[i - 1] = uint8_t(im.bits[i - 1] % 3 * 64), im.bits[i] = 0;
        if (!negatives) im.bits[i] &= 0x7F;
    }
    return im;
}

struct kernel_case {
    std::vector<float> coef;
    std::unique_ptr<alg_ck_1d_gauss> kernel;
};

// Every width from 1 to 67 (a vector's worth of lanes and the tails around it), every
// pixel-size pair, both row orders, strides with spare bytes, borders 0 and 2.
TEST(VectorKernels, MatchReferenceInEveryMode) {
    kernel_case kernels[3];
    const float sigmas[3] = {2.0f, 1.0f, 3.4f};  // 7 taps, the general loop, 11 taps
    for (int i = 0; i < 3; ++i) {
        kernels[i].coef = gaussCoefficients(sigmas[i], kernelSize(sigmas[i]));
        kernels[i].kernel = std::make_unique<alg_ck_1d_gauss>(sigmas[i], int(kernels[i].coef.size()));
    }
    int run = 0;
    for (int szA = 1; szA <= 4; ++szA)
        for (int szB = 1; szB <= 4; ++szB)
            for (int w = 1; w <= 67; ++w)
                for (int h : {1, 9, 14}) {
                    if (h == 14 && szB != 1 && szA != szB) continue;  // the vector pairs get a third height
                    ++run;
                    const int b = run % 3 == 0 ? 2 : 0;
                    const bool topDownA = run % 2, topDownB = run % 4 < 2;
                    SCOPED_TRACE(testing::Message() << szA << "->" << szB << " " << w << "x" << h << " b " << b);
                    const dib_base a = image(w, h, szA, run, topDownA, run % 3 != 1);
                    const dib_base out0 = image(w, h, szB, run + 5, topDownB, run % 2 == 0);
                    const kernel_case& kc = kernels[run % 3];

                    dib_base wantV = out0, wantH = out0, wantG = out0, wantScratch = a;
                    convolve(kc.coef, a, b, wantV, true);
                    convolve(kc.coef, a, b, wantH, false);
                    const float sigma = sigmas[run % 3];
                    gauss(a, b, sigma, wantG, wantScratch);

                    dib_base gx = out0, gy = out0, dir = out0, mag = out0;
                    gradient(a, b, gx, gy, dir, mag);

                    // Suppression inputs: components in full range, magnitudes as the detector makes them
                    // or, every fourth run, with negative values (which send their pixels to the plain code).
                    const dib_base m = magnitudes(image(w, h, szA, run + 1, topDownA), run % 4 == 2, run % 2 == 1);
                    const dib_base cx = image(w, h, szA, run + 2, !topDownA, true), cy = image(w, h, szA, run + 3);
                    dib_base wantNms = out0;
                    nms(cx, cy, m, b, wantNms);

                    dib_base maskBytes = image(w, h, 1, run + 4, topDownB, run % 2);
                    for (int64_t i = 0; i < maskBytes.byteSize(); ++i)
                        maskBytes.bits[i] = maskBytes.bits[i] < 128 ? 0 : maskBytes.bits[i];
                    dib_base wantMask = out0;
                    mask(m, maskBytes, b, wantMask);
                    const int threshold = (run % 5) * 70 - 20;  // -20 .. 260
                    dib_base wantBin = out0;
                    binarize(a, threshold, b, wantBin);
                    // Hysteresis on the first image alone; thresholds from none to every pixel a seed.
                    const int hi = std::max(threshold, 0), lo = hi / 2;
                    dib_base wantEdges = blank(w, h, szA);
                    std::vector<chain_point> wantList;
                    histeresis(a, hi, lo, b, wantEdges, wantList);

                    eachMode([&] {
                        dib_base v = out0, hz = out0, g = out0, scratch = a;
                        do_convolve_v(*kc.kernel, a, b, v);
                        do_convolve_h(*kc.kernel, a, b, hz);
                        do_gauss(a, b, sigma, g, scratch);
                        EXPECT_EQ(differences(v, wantV) + differences(hz, wantH) + differences(g, wantG) +
                                      differences(scratch, wantScratch),
                                  "");
                        dib_base ox = out0, oy = out0, od = out0, om = out0;
                        do_gradient(a, b, ox, oy, od, om);
                        EXPECT_EQ(differences(ox, gx) + differences(oy, gy) + differences(od, dir) +
                                      differences(om, mag),
                                  "");
                        dib_base k = out0, o = out0, bin = out0;
                        do_nms(cx, cy, m, b, k);
                        do_mask(m, maskBytes, b, o);
                        do_binarize(a, threshold, b, bin);
                        EXPECT_EQ(differences(k, wantNms), "") << "nms";
                        EXPECT_EQ(differences(o, wantMask), "") << "mask";
                        EXPECT_EQ(differences(bin, wantBin), "") << "binarize " << threshold;
                        dib_base edges = blank(w, h, szA);
                        std::vector<chain_point> list;
                        do_histeresis(a, hi, lo, b, edges, list);
                        EXPECT_EQ(differences(edges, wantEdges), "") << "hysteresis " << hi;
                        EXPECT_TRUE(sameList(list, wantList)) << "hysteresis " << hi;
                    });
                }
}

// The fused sweep against the reference operators one after the other: every image for
// `components`, the ones the detector keeps without; images that start with other contents,
// so that a pixel written outside an operator's region shows; kernels narrower and wider than
// the frame; all the pixel sizes, of which grey and 3 bytes take the sweep.
TEST(VectorKernels, SweepMatchesOperatorChain) {
    int run = 0;
    for (int sz = 1; sz <= 4; ++sz)
        for (int w : {1, 2, 5, 8, 13, 16, 17, 31, 33, 47, 64, 67})
            for (int h : {1, 6, 9, 15, 40})
                for (float sigma : {2.0f, 1.0f, 3.4f, 0.5f, 6.0f}) {
                    ++run;
                    SCOPED_TRACE(testing::Message() << sz << " bytes " << w << "x" << h << " sigma " << sigma);
                    const dib_base src = image(w, h, sz, run, run % 2, run % 3 == 0);
                    // scratch, smoothed, gx, gy, direction, magnitude, nmsMask, suppressed
                    std::vector<dib_base> start;
                    for (int i = 0; i < 8; ++i) start.push_back(image(w, h, i >= 2 && i < 6 ? 2 : 1, run * 8 + i));
                    std::vector<dib_base> want = start;
                    int b = gauss(src, 0, sigma, want[1], want[0]);
                    b = gradient(want[1], b, want[2], want[3], want[4], want[5]);
                    b = nms(want[2], want[3], want[5], b, want[6]);
                    b = mask(want[5], want[6], b, want[7]);
                    eachMode([&] {
                        // Without the components gx, gy and direction are left; without the stages only
                        // the suppressed image is whole.
                        for (auto [components, stages] : {std::pair{true, true}, {false, true}, {false, false}}) {
                            std::vector<dib_base> got = start;
                            EXPECT_EQ(do_canny_sweep(src, sigma, got[0], got[1], got[2], got[3], got[4], got[5],
                                                     got[6], got[7], components, stages),
                                      b);
                            for (int i = 0; i < 8; ++i)
                                if (i == 7 || (stages && (components || i < 2 || i > 4))) {
                                    EXPECT_EQ(differences(got[i], want[i]), "") << i;
                                }
                        }
                    });
                }
}

// What the gradient kernel computes instead of reading the tables: the magnitude is
// floor(64 sqrt(i^2 + j^2)), and the second direction half is the first negated.
TEST(VectorKernels, GradientTablesHaveTheFormsTheKernelComputes) {
    for (int i = 0; i < 256; ++i)
        for (int j = 0; j < 256; ++j) {
            const int64_t n = 4096 * int64_t(i * i + j * j), k = do_gradientTables.magnitudeTable[i][j];
            ASSERT_TRUE(k * k <= n && (k + 1) * (k + 1) > n) << i << "," << j;
            ASSERT_EQ(do_gradientTables.directionTable[1][i][j], -do_gradientTables.directionTable[0][i][j]);
        }
}

// The whole detector on a photograph-like picture, grey and colour, both row orders: every
// image it keeps and the edge-seed list equal the reference operators' in every mode.
TEST(VectorKernels, CannyOnPictureInEveryMode) {
    const int w = 203, h = 117;  // odd sizes: every kernel ends in a tail
    const std::vector<uint8_t> bgr = photo::render(w, h, 7);
    for (int sz : {1, 3, 4})
        for (bool topDown : {false, true}) {
            SCOPED_TRACE(testing::Message() << sz << " bytes, top-down " << topDown);
            dib_base frame(dib_fmt(w, h, sz, 0, !topDown), 0);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < sz; ++c) {
                        const uint8_t* p = &bgr[(size_t(y) * w + x) * 3];
                        at(frame, x, y)[c] = sz == 1 ? uint8_t((p[0] + 2 * p[1] + p[2]) / 4) : p[c % 3];
                    }
            ip_cannyState want(w, h);
            int b = gauss(frame, 0, 2.0f, want.smoothed, want.scratch);
            b = gradient(want.smoothed, b, want.gx, want.gy, want.direction, want.magnitude);
            b = nms(want.gx, want.gy, want.magnitude, b, want.nmsMask);
            mask(want.magnitude, want.nmsMask, b, want.suppressed);
            histeresis(want.suppressed, 10, 9, b, want.edges, want.edgeSeeds);
            binarize(want.edges, 0, b, want.binarized);
            ASSERT_GT(want.edgeSeeds.size(), size_t(w * h / 40));  // a textured picture: many edges

            eachMode([&] {
                // The detector without windows keeps only what its result needs.
                ip_canny_w0 canny(&frame.format());
                canny.processSrc(&frame);
                const ip_cannyState& got = canny.state();
                for (auto image : {&ip_cannyState::suppressed, &ip_cannyState::edges})
                    EXPECT_EQ(differences(got.*image, want.*image), "");
                EXPECT_TRUE(sameList(got.edgeSeeds, want.edgeSeeds));
                EXPECT_EQ(got.border, 5);
            });
        }
}

}  // namespace
