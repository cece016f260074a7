// The kernels against the plain reference, bit for bit, in every dispatch mode (the forced plain
// code included); then what the sweeps do not reach: the kernel's size rule and refused sigmas, the
// conversions of the copy, a hysteresis path too long for recursion, and the refusals.
#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "ops/alg_ck_1d.h"
#include "ops/do_binarize.h"
#include "ops/do_canny_sweep.h"
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

// A 2-byte magnitude-like image: values 0..32767 (negative ones only where `negatives`), few of
// them distinct when `coarse`, so that ties and zero components are common.
dib_base magnitudes(dib_base im, bool negatives, bool coarse) {
    for (int64_t i = 1; i < im.byteSize(); i += 2) {
        if (coarse) im.bits[i - 1] = uint8_t(im.bits[i - 1] % 3 * 64), im.bits[i] = 0;
        if (!negatives) im.bits[i] &= 0x7F;
    }
    return im;
}

// Few distinct components of either sign: A = 0, B = 0, ax = ay and zero components become common.
dib_base coarse(dib_base im) {
    for (int64_t i = 0; i < im.byteSize(); ++i)
        im.bits[i] = im.szPixel == 2 && i % 2 ? uint8_t(-(im.bits[i] & 1)) : im.bits[i] % 3;
    return im;
}

// Every operator on every width from 1 to 67 (a vector's worth of lanes and the tails around it)
// and a strip longer than 128, every pixel-size pair, both row orders, strides with spare bytes;
// kernels of every size class (1, the general loop, 7/9/11 with their own vertical region, 13);
// borders negative, 0, inside and wider than the image; hysteresis thresholds from none to every
// pixel a seed (negative ones act as 0) over outputs that may already hold marks.
TEST(VectorKernels, MatchReferenceInEveryMode) {
    const float sigmas[] = {2.0f, 1.0f, 3.4f, 0.5f, 1.34f, 3.0f, 4.0f};
    const int borders[] = {0, 2, -3, 0, 1, 30};
    const std::pair<int, int> thresholds[] = {{200, 120}, {150, 150}, {60, 0}, {5, -2}, {-3, -5}, {10, 5}};
    std::vector<int> widths{140};
    for (int w = 1; w <= 67; ++w) widths.push_back(w);
    int run = 0;
    for (int szA = 1; szA <= 4; ++szA)
        for (int szB = 1; szB <= 4; ++szB)
            for (int w : widths)
                for (int h : {1, 9, 14}) {
                    if (h == 14 && szB != 1 && szA != szB) continue;  // the vector pairs get a third height
                    ++run;
                    const int b = borders[run % 6], rb = std::max(b, 0);
                    const float sigma = sigmas[run % 7];
                    const auto [hi, lo] = thresholds[(run / 6) % 6];
                    const std::vector<float> coef = gaussCoefficients(sigma, kernelSize(sigma));
                    const alg_ck_1d_gauss kernel(sigma, int(coef.size()));
                    const bool topDownA = run % 2, topDownB = run % 4 < 2;
                    SCOPED_TRACE(testing::Message() << szA << "->" << szB << " " << w << "x" << h << " b " << b
                                                    << " sigma " << sigma << " th " << hi << "/" << lo);
                    const dib_base a = image(w, h, szA, run, topDownA, run % 3 != 1);
                    const dib_base out0 = image(w, h, szB, run + 5, topDownB, run % 2 == 0);
                    // Suppression inputs: components in full range or coarse, magnitudes as the detector makes
                    // them or, every fourth run, with negative values (which send their pixels to the plain code).
                    const dib_base m = magnitudes(image(w, h, szA, run + 1, topDownA), run % 4 == 2, run % 2 == 1);
                    dib_base cx = image(w, h, szA, run + 2, !topDownA, true), cy = image(w, h, szA, run + 3);
                    if (run % 3 == 2) cx = coarse(cx), cy = coarse(cy);
                    dib_base maskBytes = image(w, h, 1, run + 4, topDownB, run % 2);
                    for (int64_t i = 0; i < maskBytes.byteSize(); ++i)
                        maskBytes.bits[i] = maskBytes.bits[i] < 128 ? 0 : maskBytes.bits[i];
                    const int threshold = (run % 5) * 70 - 20;  // -20 .. 260
                    // Zero pixels in the hysteresis input, which a negative threshold must not let through.
                    dib_base hin = a;
                    for (int64_t i = 0; run % 2 && i < hin.byteSize(); i += 2) hin.bits[i] = 0;
                    const dib_base edges0 = run % 5 == 0 ? image(w, h, szA, run + 9) : blank(w, h, szA);

                    // convolved v, h, smoothed, scratch, gx, gy, direction, magnitude, nms, mask, binarized, edges
                    std::vector<dib_base> start(12, out0);
                    start[3] = a, start[11] = edges0;
                    std::vector<dib_base> want = start;
                    std::vector<chain_point> wantList;
                    const std::vector<int> wantB{
                        convolve(coef, a, rb, want[0], true),
                        convolve(coef, a, rb, want[1], false),
                        gauss(a, rb, sigma, want[2], want[3]),
                        gradient(a, rb, want[4], want[5], want[6], want[7]),
                        nms(cx, cy, m, rb, want[8]),
                        mask(m, maskBytes, rb, want[9]),
                        binarize(a, threshold, rb, want[10]),
                        histeresis(hin, std::max(hi, 0), std::max(lo, 0), rb, want[11], wantList)};
                    eachMode([&] {
                        std::vector<dib_base> got = start;
                        std::vector<chain_point> list;
                        const std::vector<int> gotB{
                            do_convolve_v(kernel, a, b, got[0]),   do_convolve_h(kernel, a, b, got[1]),
                            do_gauss(a, b, sigma, got[2], got[3]), do_gradient(a, b, got[4], got[5], got[6], got[7]),
                            do_nms(cx, cy, m, b, got[8]),          do_mask(m, maskBytes, b, got[9]),
                            do_binarize(a, threshold, b, got[10]), do_histeresis(hin, hi, lo, b, got[11], list)};
                        EXPECT_EQ(gotB, wantB);
                        for (size_t i = 0; i < 12; ++i) EXPECT_EQ(differences(got[i], want[i]), "") << "image " << i;
                        EXPECT_TRUE(sameList(list, wantList));
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
                            EXPECT_EQ(do_canny_sweep(src, sigma, got[0], got[1], got[2], got[3], got[4], got[5], got[6],
                                                     got[7], components, stages),
                                      b);
                            for (int i = 0; i < 8; ++i)
                                if (i == 7 || (stages && (components || i < 2 || i > 4))) {
                                    EXPECT_EQ(differences(got[i], want[i]), "") << i;
                                }
                        }
                    });
                }
}

TEST(Kernel, SizesCoefficientsAndRefusedSigmas) {
    for (float sigma : {0.3f, 0.5f, 0.67f, 1.0f, 1.34f, 2.0f, 2.5f, 3.0f, 3.4f, 4.0f, 7.7f, -0.5f, 7.0e8f})
        EXPECT_EQ(do_gauss_kernelSize(sigma), kernelSize(sigma)) << sigma;  // the coefficients: the sweeps
    EXPECT_EQ(alg_ck_1d_gauss(0.0f, 1).coef[0], 1.0f);  // the limit of a narrowing Gaussian, not 0/0
    const std::string even = "alg_ck_1d::check - even size is illegal", illegal = "do_gauss() - illegal sigma";
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, std::string> refused[] = {{-0.67f, even}, {-1.0f, even},   {-3.0e38f, even}, {nan, illegal},
                                                     {inf, illegal}, {-inf, illegal}, {1.5e9f, illegal}};
    dib_base src = image(8, 8, 1, 1), dst = image(8, 8, 1, 2), scratch = image(8, 8, 1, 3);
    const dib_base before = dst;
    for (auto& [sigma, message] : refused) EXPECT_EQ(thrown([&] { do_gauss(src, 0, sigma, dst, scratch); }), message);
    EXPECT_EQ(differences(dst, before), "");
}

// Every pixel-size pair, into a destination of another size: only the common rectangle is written.
TEST(Copy, ConversionsAndCommonRectangle) {
    int run = 0;
    for (int szA = 1; szA <= 4; ++szA)
        for (int szB = 1; szB <= 4; ++szB)
            for (auto [w, h] : {std::pair{13, 6}, {1, 7}, {7, 1}}) {
                ++run;
                const dib_base src = image(w, h, szA, run, run % 2, run % 3 == 0);
                dib_base got = image(9, 11, szB, run, run % 4 < 2, run % 3), want = got;
                do_copy(src, got);
                ref::copy(src, want);
                EXPECT_EQ(differences(got, want), "") << szA << "->" << szB << " " << w << "x" << h;
            }
}

// A one-pixel-wide path a million pixels long (full rows 1, 3, 5, ... joined alternately at the right and the
// left end): the trace must not nest as deep as the path, and marks every pixel of it once.
TEST(Hysteresis, SerpentineEdge) {
    dib_base path = blank(1009, 1000, 1), got = path;
    for (int y = 1; y + 1 < 1000; y += 2) {
        std::memset(at(path, 1, y), 50, 1007);
        if (y + 3 < 1000) *at(path, (y / 2) % 2 == 0 ? 1007 : 1, y + 1) = 50;
    }
    std::vector<chain_point> list;
    do_histeresis(path, 10, 9, 0, got, list);
    EXPECT_EQ(differences(got, path), "");
    EXPECT_EQ(list.size(), size_t(std::count(path.bits, path.bits + path.byteSize(), 50)));
}

// Every size check, including the outputs written over the same region, and the dispatchers.
TEST(Operators, Messages) {
    const alg_ck_1d_gauss k(1.0f, 3);
    dib_base a = blank(8, 8, 1), tall = blank(8, 9, 1), wide = blank(9, 8, 1), odd = a, w = blank(8, 8, 2);
    dib_base tallW = blank(8, 9, 2);
    odd.szPixel = 5;
    std::vector<chain_point> list{{1, 2, 3}};
    const std::string sizes = " - got images of different sizes", pixels = " - got images of different pixel sizes";
    const std::string worker = "HisteresisWorker::HisteresisWorker()",
                      unsupported = "dib_access_dispatch2 - unsupported szPixel";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { do_convolve_v(k, a, 0, tall); }, "ConvolveWorker::operator()" + sizes},
        {[&] { do_convolve_v(k, odd, 0, a); }, unsupported},
        {[&] { do_gradient(a, 0, w, w, w, tallW); }, "do_gradient()" + sizes},
        {[&] { do_gradient(a, 0, w, w, a, w); }, "do_gradient()" + pixels},
        {[&] { do_nms(w, w, w, 0, wide); }, "do_nms()" + sizes},
        {[&] { do_nms(w, a, w, 0, a); }, "do_nms()" + pixels},
        {[&] { do_histeresis(a, 10, 9, 0, tall, list); }, worker + sizes},
        {[&] { do_histeresis(a, 10, 10, 0, w, list); }, worker + pixels},
        {[&] { do_histeresis(odd, 10, 9, 0, odd, list); }, "dib_access_dispatch1 - unsupported szPixel"},
        {[&] { do_mask(a, tall, 0, a); }, "do_mask()" + sizes},
        {[&] { do_binarize(a, 0, 0, tall); }, "do_binarize()" + sizes},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(thrown(cases[i].first), cases[i].second) << "case " << i;
}

}  // namespace
