// What the reference sweeps in vector_test.cpp do not reach: the kernel's size rule and refused
// sigmas, the conversions of the copy, a hysteresis path too long for recursion, and the refusals.
#include <algorithm>
#include <cstring>
#include <functional>
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
    for (float sigma : {0.3f, 0.5f, 0.67f, 1.0f, 1.34f, 2.0f, 2.5f, 3.0f, 3.4f, 4.0f, 7.7f, -0.5f, 7.0e8f}) {
        EXPECT_EQ(do_gauss_kernelSize(sigma), kernelSize(sigma)) << sigma;
        if (sigma < 0 || sigma > 100) continue;
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

// A one-pixel-wide path (full rows 1, 3, 5, ... joined alternately at the right and the left end)
// a million pixels long: the trace must not nest as deep as the path.
TEST(Hysteresis, SerpentineEdge) {
    for (int size : {61, 1000}) {
        dib_base path = blank(size + 9, size, 1), got = path, want = path;
        for (int y = 1; y + 1 < size; y += 2) {
            std::memset(at(path, 1, y), 50, size_t(size + 7));
            if (y + 3 < size) *at(path, (y / 2) % 2 == 0 ? size + 7 : 1, y + 1) = 50;
        }
        std::vector<chain_point> list, wantList;
        do_histeresis(path, 10, 9, 0, got, list);
        EXPECT_EQ(differences(got, path), "");
        ASSERT_EQ(list.size(), size_t(std::count(path.bits, path.bits + path.byteSize(), 50)));
        if (size < 100) {  // the recursive reference nests as deep as the path is long
            histeresis(path, 10, 9, 0, want, wantList);
            EXPECT_TRUE(sameList(list, wantList));
        }
    }
}

// Every size check, including the outputs written over the same region, and the dispatchers.
TEST(Operators, Messages) {
    const alg_ck_1d_gauss k(1.0f, 3);
    dib_base a = blank(8, 8, 1), tall = blank(8, 9, 1), wide = blank(9, 8, 1), odd = a, w = blank(8, 8, 2);
    dib_base tallW = blank(8, 9, 2), wideW = blank(9, 8, 2), untouched = tall;
    odd.szPixel = 5;
    std::vector<chain_point> list{{1, 2, 3}};
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
    // A failed size check has emptied the seed list and written nothing.
    *at(a, 3, 3) = 200;
    EXPECT_NE(thrown([&] { do_histeresis(a, 20, 10, 0, untouched, list); }), "");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(differences(untouched, blank(8, 9, 1)), "");
}

}  // namespace
