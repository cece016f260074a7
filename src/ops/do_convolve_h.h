// Horizontal (row-direction) pass of a separable convolution.
#pragma once

#include "image/dib.h"
#include "ops/alg_ck_1d.h"

// Convolves the rows of src with the kernel into dst on rows [b, H - b) and columns
// [b + r, W - b - r); returns border + radius.
int do_convolve_h(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst);
