// The background as learned from the video: the per-pixel median of frames sampled some
// frames apart, then moved one grey level at a time towards what the frames show.
#pragma once

#include <memory>
#include <vector>

#include "image/dib.h"

class crowd_background {
public:
    // Starts learning afresh for frames of `format`'s size: `samples` frames, `every`
    // frames apart.
    void restart(const dib_fmt& format, int samples, int every);

    // The learned background, or null while the samples are still being taken.
    const dib_base* image() const { return ready_ ? &median_ : nullptr; }

    // Takes this frame's grey values into the model, `weight` marking its objects: a
    // sample every `every` frames until there are enough (object pixels stand at `fill`,
    // the frame's typical grey), then their median; after that, every `every` frames,
    // crowd_follow with `polarity` and `jump`.
    void learn(const dib_base& grey, const dib_base& weight, int fill, int polarity, int jump);

private:
    std::vector<std::unique_ptr<dib_base>> samples_;
    dib_base median_{dib_fmt(1, 1, 1, 0, true), 1};
    int wanted_ = 1, every_ = 1;
    int64_t frames_ = 0;
    bool ready_ = false;
};

// Per pixel of `out`, the median of the images (the lower of the middle two for an even
// count). All are 1-byte images of one size.
void crowd_median(const std::vector<const dib_base*>& images, dib_base& out);

// Where `weight` is 0: each pixel of `background` moves one level towards `grey`, or takes
// the grey value at once where it lies more than `jump` levels beyond the background on
// the side where objects never lie (brighter for dark objects, polarity 0; darker for
// light ones, polarity 1; no such side for polarity 2).
void crowd_follow(const dib_base& grey, const dib_base& weight, int polarity, int jump, dib_base& background);
