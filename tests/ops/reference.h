// Plain per-pixel reference versions of the image operators (byte addressing, a switch on
// the pixel size at every pixel, recursion where the description recurses), slow and
// obvious on purpose: the operators must match them bit for bit. They take images of
// matching sizes and borders of at least 0. Plus shared test helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "doubles/dispatch.h"
#include "doubles/recording.h"
#include "image/dib.h"
#include "ops/chain_point.h"
#include "ops/op_simd.h"

namespace ref {

uint8_t* at(const dib_base& image, int x, int y);

int kernelSize(float sigma);
std::vector<float> gaussCoefficients(float sigma, int size);
int convolve(const std::vector<float>& coef, const dib_base& src, int border, dib_base& dst, bool vertical);
int gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch);
void copy(const dib_base& src, dib_base& dst);
int gradient(const dib_base& src, int border, dib_base& gx, dib_base& gy, dib_base& dir, dib_base& mag);
int nms(const dib_base& gx, const dib_base& gy, const dib_base& mag, int border, dib_base& mask);
int histeresis(const dib_base& in, int thHi, int thLo, int border, dib_base& out, std::vector<chain_point>& list);
int mask(const dib_base& value, const dib_base& mask, int border, dib_base& out);
int binarize(const dib_base& in, int t, int border, dib_base& out);

// Random bytes in either row order; padded rows end in 3 spare bytes (2 for 2-byte pixels, to stay aligned).
dib_base image(int w, int h, int szPixel, unsigned seed, bool topDown = false, bool padded = false);
dib_base blank(int w, int h, int szPixel);
// "" when both images have one format and equal bytes, else where they first differ.
std::string differences(const dib_base& a, const dib_base& b);
using doubles::thrown;
bool sameList(const std::vector<chain_point>& a, const std::vector<chain_point>& b);

// Runs f() once per dispatch mode this processor offers, each traced with its mode's name: the
// plain code forced by AMBREVO_SCALAR=1, then each of SSE4, AVX2 and AVX-512 in turn.
template <class F>
void eachMode(F f) {
    {
        doubles::forceScalar(true);
        SCOPED_TRACE("scalar forced");
        EXPECT_FALSE(ops_detail::vectorsEnabled());
        f();
    }
    doubles::eachVectorTarget([&] {
        EXPECT_TRUE(ops_detail::vectorsEnabled());
        f();
    });
}

}  // namespace ref
