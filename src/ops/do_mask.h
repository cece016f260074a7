// Keeps the values of an image where a mask marks them.
#pragma once

#include "image/dib.h"

// On rows and columns [b, size - b): output = value converted to the output's pixel type
// where the mask byte is non-zero, else 0. The mask is read one byte per pixel.
// Dispatched on (value, output); returns the border unchanged.
int do_mask(const dib_base& value, const dib_base& mask, int border, dib_base& output);
