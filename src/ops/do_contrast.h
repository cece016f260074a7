// How far each pixel's grey value lies from a background, on the side the objects lie.
#pragma once

#include "image/dib.h"

enum class contrast_polarity { dark = 0, light = 1, both = 2 };

// The grey value of a pixel is its conversion to a 1-byte pixel (for 2-byte pixels above
// 255: the low 8 bits). weight(x, y) = d where d > cut, else 0, with d = background - grey
// (dark objects; 0 where
// negative), grey - background (light; likewise) or |grey - background| (both). The
// background is the 1-byte image `background` or, when that is null, the flat `level`
// (clamped to 0..255); a cut below 0 counts as 0. When `grey` is not null it receives the
// grey values as well. Dispatched on the input's pixel size; weight, grey and background
// are 1-byte images of the input's size.
void do_contrast(const dib_base& input, const dib_base* background, int level, contrast_polarity polarity, int cut,
                 dib_base& weight, dib_base* grey);
