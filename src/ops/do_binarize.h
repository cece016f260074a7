// Strict-threshold binarisation.
#pragma once

#include "image/dib.h"

// On rows and columns [b, size - b): output = on value where the input's value is above
// the threshold, else 0 (1 byte: 255, 2 bytes: 0x777F, colour: 255 in three channels).
// Dispatched on (input, output); returns the border unchanged.
int do_binarize(const dib_base& input, int threshold, int border, dib_base& output);
