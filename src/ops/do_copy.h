#pragma once

#include "image/dib.h"

// Copies the common top-left rectangle (memory order) of src into dst, converting each
// pixel by the conversion table. No size check: a larger destination keeps its other pixels.
void do_copy(const dib_base& src, dib_base& dst);
