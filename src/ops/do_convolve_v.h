// Vertical (column-direction) pass of a separable convolution.
#pragma once

#include "image/dib.h"
#include "ops/alg_ck_1d.h"

// Convolves the columns of src with the kernel into dst; returns border + radius.
// Kernel sizes 7, 9 and 11 work on rows [b + r, H - b - r) and columns [b, W - b);
// every other size on rows [r, H - r) across the full width.
int do_convolve_v(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst);
