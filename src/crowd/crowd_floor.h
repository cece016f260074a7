// A background guessed from the frames themselves, for the frames before one is learned:
// the floor's grey value in each block of the picture, joined smoothly.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

// Each 32 x 32 block's floor is the median of its pixels (every second one, each way) over
// every frame added so far: animals, and shadows or reflections beside them, cover less
// than half of a block, and those that crowd into one block in one frame have moved on in
// the next. Between the blocks' centres the floor is interpolated linearly both ways, so
// that uneven light, a vignette or a dim corner larger than a block is followed; a thin
// dark line is not (it is taken for an object until the background is learned).
class crowd_floorGuess {
public:
    // Nothing added, for frames of `format`'s size.
    void restart(const dib_fmt& format);
    // Pools the 1-byte image `grey` of the frames' size, but for the pixels where `skip`
    // (one byte per pixel, row after row; null: none) is non-zero; at most 31 frames.
    void add(const dib_base& grey, const uint8_t* skip = nullptr);
    // The floor from every frame added, into the 1-byte image `floor` of the frames' size. A
    // block no pixel was pooled in takes the mean of its neighbours that have a floor.
    void guess(dib_base& floor) const;
    // Frees the pooled counts.
    void clear() { counts_.clear(), counts_.shrink_to_fit(); }

private:
    int32_t width_ = 0, height_ = 0, cols_ = 0, rows_ = 0;
    std::vector<uint16_t> counts_;  // per block, 256 counts of grey values
};
