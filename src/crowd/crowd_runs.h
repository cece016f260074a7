// Runs of object pixels: the rows of a weight image cut into stretches of non-zero bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

struct crowd_run {
    int32_t y;
    int32_t x0, x1;  // columns [x0, x1)
};

// Replaces `runs` with the runs of non-zero bytes of the 1-byte image `weight`, row by row
// in memory order and left to right; rowStart[y] is the first run of row y and
// rowStart[rows] their number.
void crowd_findRuns(const dib_base& weight, std::vector<crowd_run>& runs, std::vector<int32_t>& rowStart);
