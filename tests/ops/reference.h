// Plain per-pixel reference versions of the image operators (byte addressing, a switch on
// the pixel size at every pixel, recursion where the description recurses), slow and
// obvious on purpose: the operators must match them bit for bit. They take images of
// matching sizes and borders of at least 0. Plus shared test helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "image/dib.h"
#include "ops/chain_point.h"
#include "doubles/recording.h"

namespace ref {

uint8_t* at(const dib_base& image, int x, int y);
int16_t load16(const uint8_t* p);
void store16(uint8_t* p, int v);

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
// A one-row image of `values` (2-byte pixels raw, others in every channel) and back (first channel).
dib_base row(int szPixel, std::initializer_list<int> values);
std::vector<int> values(const dib_base& oneRow);
// "" when both images have one format and equal bytes, else where they first differ.
std::string differences(const dib_base& a, const dib_base& b);
using doubles::thrown;
bool sameList(const std::vector<chain_point>& a, const std::vector<chain_point>& b);

// f(a, b, border, run) for every pixel-size pair of random images a and b of each shape, in
// varying row orders and paddings, and each border.
template <class F>
void everyCase(std::initializer_list<std::pair<int, int>> shapes, std::initializer_list<int> borders, F f) {
    int run = 0;
    for (int szA = 1; szA <= 4; ++szA)
        for (int szB = 1; szB <= 4; ++szB)
            for (auto [w, h] : shapes)
                for (int border : borders) {
                    SCOPED_TRACE(testing::Message()
                                 << szA << "->" << szB << " " << w << "x" << h << " border " << border);
                    ++run;
                    f(image(w, h, szA, run, run % 2, run % 3 == 0), image(w, h, szB, run + 7, run % 4 < 2, run % 2),
                      border, run);
                }
}

}  // namespace ref
