// The vector row kernels of the operators, for a sweep that runs several operators row by
// row (ops/do_canny_sweep). Each computes exactly what its operator computes on that row;
// callers check ops_detail::vectorsEnabled() first. Columns are [x0, x1) or the n pixels
// from the pointers given.
#pragma once

#include <cstdint>

#include "image/pixel.h"

namespace ops_detail {

// Vertical pass into bytes: `first` is the sample under tap 0 of the first column (grey or
// three-byte pixels), `stride` the source's row length in bytes.
void convolveColumnsGrey(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out, int64_t n);
void convolveColumnsColour(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out,
                           int64_t n);
// Horizontal pass of bytes: `first` is the sample under tap 0 of the first pixel.
void convolveRowGrey(const uint8_t* first, const float* coef, int size, uint8_t* out, int64_t n);
// Gradient of a byte image into 2-byte components, direction and magnitude.
void gradientRow(const pixel1* up, const pixel1* mid, const pixel1* down, pixel2* gx, pixel2* gy, pixel2* direction,
                 pixel2* magnitude, int64_t x0, int64_t x1);
// Suppression of 2-byte magnitudes into a byte mask; `nonNegative` when no magnitude read
// (columns x0 - 1 to x1) is below 0, as with the gradient's own.
void suppressRow(const pixel2* up, const pixel2* mid, const pixel2* down, const pixel2* gx, const pixel2* gy,
                 pixel1* out, int64_t x0, int64_t x1, bool nonNegative);
// 2-byte values kept where the mask is set, as bytes.
void maskRow(const pixel2* value, const uint8_t* mask, pixel1* out, int64_t n);

}  // namespace ops_detail
