// Where animals no track expected lie in a blob: straight bodies of the typical shape,
// placed one by one where each covers the most pixels of the blob that no body covers yet.
// A blob of two fish crossing is an X, two side by side a broad band, two in file a long
// one: a body laid along the pixels finds each animal however they meet, where clusters of
// pixels around centres cut an X into its left and right halves.
#pragma once

#include <cstdint>
#include <vector>

#include "crowd/crowd_posture.h"

class crowd_placer {
public:
    // Adds `missing` bodies shaped like `typical` (elongated, midline along any direction) to
    // `bodies`, which hold those placed already, over the blob of `pixels` within the box
    // x0..x1, y0..y1 (inclusive). When `larger` is elongated, each body is of whichever of the
    // two shapes gains more where it lies best: the animals of a kind may come in sizes. The
    // work is bounded: a few dozen centres, 16 directions, per shape, and each body laid again
    // with the others in place only when `relay`.
    void place(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int missing,
               const crowd_body& typical, std::vector<crowd_body>& bodies, const crowd_body& larger = {},
               bool relay = true);

    // Of the elongated bodies marked in `suspect` (each lies where it was fitted to the blob),
    // the one that gains most by lying elsewhere: laid straight, shaped as before, where it
    // covers the most pixels the others leave bare, less those off the blob, when that is
    // more than where it lies covers so. Its index (the body moved there, its track kept), or
    // -1 when none gains.
    int relay(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
              std::vector<crowd_body>& bodies, const std::vector<char>& suspect);

private:
    // A row of a shape's pixels, dx0..dx1 (inclusive) at dy from its middle: a body is summed
    // a row at a time over the box's running sums, not a pixel at a time.
    struct run {
        int32_t dy, dx0, dx1;
    };
    struct spot {
        int64_t gain = INT64_MIN;
        int32_t x = 0, y = 0;
        int direction = 0;
    };
    // The pixels of `shape` straight along each direction, from its middle, row by row.
    static void rasterise(const crowd_body& shape, std::vector<std::vector<run>>& runs);
    // Marks (by 1) or unmarks (by -1) the pixels of the box that body b covers.
    void cover(const crowd_body& b, int16_t by);
    int64_t gain(const std::vector<run>& runs, int32_t cx, int32_t cy) const;
    // gain() of a body as it lies.
    int64_t gain(const crowd_body& b) const;
    // The box of `pixels`, every pixel free, then covered by `bodies`.
    void start(const std::vector<crowd_pixel>& pixels, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
               const std::vector<crowd_body>& bodies);
    // Where a body of the rasterised shape covers the most pixels no body covers yet.
    spot best(const std::vector<crowd_pixel>& pixels, const std::vector<std::vector<run>>& runs) const;
    // Sums again rows y0..y1 of the box (within it) after their pixels changed.
    void sumRows(int64_t y0, int64_t y1);
    // The best spot of either shape (the larger one when it was given), and which it is.
    spot bestOfBoth(const std::vector<crowd_pixel>& pixels, bool& isLarger) const;
    // A body of `shape`, straight along the spot's direction from its centre.
    static crowd_body laid(const spot& at, const crowd_body& shape);

    int32_t x0_ = 0, y0_ = 0, width_ = 0, height_ = 0;
    std::vector<int16_t> state_;  // per pixel of the box: -1 off the blob, else the bodies covering it
    // Per row of the box, width_ + 1 running sums of what each pixel gains a body: 1 free, -1 off
    // the blob, 0 covered.
    std::vector<int32_t> rowSums_;
    std::vector<std::vector<run>> runs_, largerRuns_;
};
