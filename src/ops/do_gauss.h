// Separable Gaussian smoothing.
#pragma once

#include "image/dib.h"

// Kernel size for sigma: 1 - 2 * trunc(-1.5 * sigma), formed in double precision.
// Throws "do_gauss() - illegal sigma" for a sigma that is not finite or whose size does
// not fit an int; a negative size is left to the kernel's own check.
int do_gauss_kernelSize(float sigma);

// Smooths src into dst through scratch (columns first, then rows); returns border + r.
int do_gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch);
