// A background guessed from one frame, for the frames before one is learned: the floor's
// grey value in each block of the picture, joined smoothly.
#pragma once

#include "image/dib.h"

// Each 32 x 32 block's floor is the value that 70% of its pixels (every second one, each
// way) lie at or below, for dark objects: animals cover less than that of a block, so it
// is floor, a little above its median. For light objects the 30% point, for either the
// median. Between the blocks' centres the floor is interpolated linearly both ways, so
// that uneven light, a vignette or a dim corner larger than a block is followed; a thin
// dark line is not (it is taken for an object until the background is learned).
// `grey` and `floor` are 1-byte images of one size.
void crowd_blockFloor(const dib_base& grey, int polarity, dib_base& floor);
