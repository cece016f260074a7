// The frame's light against the background: what a flicker, a dimmed lamp or a flash did
// to the whole picture, measured on a sparse grid of points so that it costs little.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

// The frame sampled every `step` rows and columns.
struct crowd_grid {
    int64_t step = 1;
    std::vector<uint8_t> grey;        // the frame's grey value, as do_contrast converts it
    std::vector<uint8_t> background;  // the background's value there (0 without one)
    std::vector<uint8_t> marked;  // 1 where the last frame's objects lay, 2 where the picture is flat (both may be set)
};

// A step that gives about 1,000 points, at least every pixel of a small frame: plenty for
// medians of the light and the noise (the median of a few hundred free points' ratios lies
// within a thousandth of the gain, a quarter of the step it is told in).
int64_t crowd_gridStep(const dib_fmt& format);

// Samples `src` (any pixel size), `background` (null: none) and `weight` (null: nothing
// marked) at the grid's points; a point equal to both its neighbours in the row is flat.
void crowd_sampleGrid(const dib_base& src, const dib_base* background, const dib_base* weight, crowd_grid& grid);

struct crowd_fit {
    double gain = 1, offset = 0;  // grey = gain * background + offset
    double floor = 0;             // the floor's grey value in this frame (the median of the fitted background)
    double backgroundFloor = 0;   // the same in the background
    double backgroundLow = 0, backgroundHigh = 0;  // the background's 2% and 98% points
    double noise = 0;             // robust spread of what the fit leaves, grey levels
    double saturated = 0;         // share of the points the light drove to white or black
};

// Fits the frame to the background over the points no object covered (all of them when
// fewer than 64 are free): the median ratio of frame to background is the gain (a lamp's
// change, a flicker or the camera's exposure scales what the floor reflects), or, where the
// background is nearly black, the median difference the offset. Without a background, the
// floor is the frame's median. The noise is the robust spread of what the fit leaves.
crowd_fit crowd_fitLight(crowd_grid& grid, bool hasBackground);

// Follows the floor's brightness from frame to frame. A frame whose brightness lies more
// than a limit (10 grey levels, or a tenth of the brightness when that is more) from the
// last accepted one is a jump, and stays out of the background; a new brightness held for
// three frames in a row is a lasting change of light and is accepted.
class crowd_lightSteps {
public:
    void restart() { known_ = false, heldFor_ = 0; }
    // Whether this frame's brightness jumped; accepts it otherwise.
    bool jumped(double floor);

private:
    bool known_ = false;
    double accepted_ = 0, last_ = 0;
    int heldFor_ = 0;
};
