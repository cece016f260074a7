// Smoothing, gradient, suppression and mask of the Canny pipeline in one sweep down the frame.
#pragma once

#include "image/dib.h"

// The same images as do_gauss(src, 0, sigma, smoothed, scratch), then do_gradient, do_nms
// and do_mask with the borders they return, bit for bit, but row by row: a row is smoothed,
// differentiated, suppressed and masked while the rows it needs are still in the cache.
// scratch and smoothed are bytes; gx, gy, direction and magnitude 2 bytes; nmsMask and
// suppressed bytes; all of the source's size. `components` false leaves gx, gy (beyond the
// two rows the suppression needs at a time) and direction unwritten, for a caller that does
// not read them. `stages` false keeps only a ring of four rows of scratch, smoothed,
// magnitude and nmsMask (their first rows, the rest untouched) for a caller that reads only
// `suppressed`: a frame's worth of memory traffic less. Returns the border of the
// suppression and the mask (radius + 2).
int do_canny_sweep(const dib_base& src, float sigma, dib_base& scratch, dib_base& smoothed, dib_base& gx,
                   dib_base& gy, dib_base& direction, dib_base& magnitude, dib_base& nmsMask, dib_base& suppressed,
                   bool components = true, bool stages = true);
