// Non-maximum suppression of a gradient magnitude.
#pragma once

#include "image/dib.h"

// Marks in `mask` the pixels of rows and columns [b + 1, size - b - 1) whose magnitude
// is a ridge across the gradient direction (1 byte: 128, 2 bytes: 16384, colour: 128 in
// three channels; others 0). Dispatched on (magnitude, mask); gx and gy must share the
// magnitude's size and pixel size. Returns border + 1.
int do_nms(const dib_base& gx, const dib_base& gy, const dib_base& magnitude, int border, dib_base& mask);
