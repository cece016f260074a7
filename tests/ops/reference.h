// Plain per-pixel reference versions of the image operators: byte addressing, a switch
// on the pixel size at every pixel, recursion where the description recurses. Slow and
// obvious on purpose; the operators must match them bit for bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/dib.h"
#include "ops/chain_point.h"

namespace ref {

uint8_t* at(const dib_base& image, int x, int y);
int16_t load16(const uint8_t* p);
void store16(uint8_t* p, int v);
int greyOf(const uint8_t* p, int szPixel);
// The conversion table, on raw pixel bytes.
void convertPixel(const uint8_t* s, int szS, uint8_t* d, int szD);

int kernelSize(float sigma);
std::vector<float> gaussCoefficients(float sigma, int size);

int convolveV(const std::vector<float>& coef, const dib_base& src, int border, dib_base& dst);
int convolveH(const std::vector<float>& coef, const dib_base& src, int border, dib_base& dst);
int gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch);
void copy(const dib_base& src, dib_base& dst);
int gradient(const dib_base& src, int border, dib_base& gx, dib_base& gy, dib_base& dir, dib_base& mag);
int nms(const dib_base& gx, const dib_base& gy, const dib_base& mag, int border, dib_base& mask);
int histeresis(const dib_base& in, int thHi, int thLo, int border, dib_base& out, std::vector<chain_point>& list);
int mask(const dib_base& value, const dib_base& mask, int border, dib_base& out);
int binarize(const dib_base& in, int t, int border, dib_base& out);

// Test images: random bytes (doubles::makeImage), any row order and row padding.
dib_base image(int w, int h, int szPixel, unsigned seed, bool topDown = false, int extraRowBytes = 0);
// Byte-for-byte equality of two images of one format; describes the first difference.
std::string differences(const dib_base& a, const dib_base& b);

}  // namespace ref
