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
//
// `light` tells how the background image looks under this frame's light (a flicker, a
// dimmed lamp): each of its values b counts as clamp(((b * gain) >> 9) + offset, 0, 255).
// The default, gain 512 and offset 0, leaves it as it is; the flat level is never changed.
struct contrast_light {
    int gain = 512;  // 1/512ths, 0 to 32767
    int offset = 0;  // grey levels, -255 to 255
};
void do_contrast(const dib_base& input, const dib_base* background, int level, contrast_polarity polarity, int cut,
                 dib_base& weight, dib_base* grey, contrast_light light = {});
