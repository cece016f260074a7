// A camera that shakes moves the whole picture: against a background learned while it stood
// still, every edge of the floor, the wall and the stains on it would be an object, and the
// background would blur as it follows the frames. Each frame's shift against the background
// (as learned so far, the animals left out) is measured at the background's steepest pixels,
// and while the camera shakes the frame is read back into the reference's place.
// The objects are found there; their places move by the shift again for the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

struct crowd_shift {
    double x = 0, y = 0;          // where the frame shows what the reference shows at (0, 0)
    double gain = 1, offset = 0;  // the frame's light: the reference's grey times the gain, plus the offset
};

class crowd_steady {
public:
    // Forgets the reference: the next frame is the first.
    void restart();

    // Measures the shift of `frame` (any pixel size) against `reference` (a 1-byte image of
    // its size, `learned` or still being learned: the floor with the animals the frames so far
    // told apart left out; null: none yet). While the camera is seen to shake, `steadied` (a
    // 1-byte image of its size) receives its grey values read back at the reference's place
    // and true is returned; otherwise the frame is used as it is.
    bool steady(const dib_base& frame, const dib_base* reference, bool learned, dib_base& steadied);

    // This frame's shift; (0, 0) unless it was steadied.
    crowd_shift shift() const { return shift_; }

    struct edge {
        int32_t x, y;
        float value, gx, gy;  // the reference's grey and its slope each way, per pixel
        float steep;          // the squared slope across three rows and columns
    };

private:
    void choose(const dib_base& reference, const std::vector<uint8_t>& painted);
    void holdPaint(crowd_shift s, bool learned, int32_t w, int32_t h);
    void fillUnseen(const dib_base& reference, crowd_shift s, dib_base& steadied) const;

    std::vector<edge> edges_;
    // Per pixel of the frame: what a host painted over; within two pixels of it, where read
    // between pixels it would pull the shift to nothing; and where the reference holds it:
    // learned from frames steadied while the camera shook, as far as they were shifted.
    std::vector<uint8_t> painted_, hidden_, paintedThere_;
    int heldPaint_ = 0;  // the farthest whole pixels of shift of a frame steadied while the reference was learned
    int64_t frames_ = 0, chosenAt_ = 0;
    // Frames that jumped (or lie far off), and that moved by a quarter of a pixel, each
    // remembered less every frame; whether the camera shakes; whether the last shift was told.
    double jolts_ = 0, moves_ = 0;
    int asideFor_ = -1;  // frames since a jump that lay as far off as the last, half a pixel or more (-1: none)
    bool shaking_ = false, toldLast_ = false;
    double usual_ = 0;              // the mismatch of the last frame measured standing still
    crowd_shift shift_, measured_;  // applied to this frame; measured on it, where the next search starts
    crowd_shift toldShift_;         // the last shift a frame told
    bool usable_ = false, chosenLearned_ = false;
};

// The shift of `frame` against the reference whose steepest pixels are `edges`, its pixels
// that `hidden` marks (empty: none; else one byte per pixel) showing nothing of it: the best
// whole-pixel shift within `reach` pixels (`shift` on entry: where to look first, the last
// frame's), then refined between pixels with the frame's light as a gain and an offset on the
// reference's. False when the frame tells no shift (a flash, a picture unlike the reference).
// `usual` (0: not known) is the mismatch of the last frame measured standing still: a frame
// that stood where the last one did and matches as well keeps its shift unmeasured.
// `movedWhole` (null: not asked) tells whether a shift told, away from none, made three
// quarters of the picture at least match better than none: a camera knocked aside moves them
// all, a heap of animals the reference held, crawling off, one.
bool crowd_measureShift(const dib_base& frame, const std::vector<uint8_t>& hidden,
                        const std::vector<crowd_steady::edge>& edges, int reach, crowd_shift& shift, double& usual,
                        bool* movedWhole = nullptr);

// Each pixel of `out` (1 byte, `frame`'s size) the grey value of `frame` at its place
// moved by `shift`, read between pixels; the frame's border repeated beyond it.
void crowd_readShifted(const dib_base& frame, crowd_shift shift, dib_base& out);
