// Hysteresis thresholding of a suppressed gradient magnitude into an edge image.
#pragma once

#include <vector>

#include "image/dib.h"
#include "ops/chain_point.h"

// One hysteresis run: pixels above th_hi start an edge, which grows through
// 8-connected pixels above th_lo. Joined pixels keep their value in the output and are
// appended to the edge-seed list in the order of joining.
class HisteresisWorker {
public:
    // Checks the images (same size, same pixel size) and the thresholds (th_hi >= th_lo).
    HisteresisWorker(const dib_base& input, int th_hi, int th_lo, int border, dib_base& output,
                     std::vector<chain_point>& list);
    // Runs the scan and the traces; returns the border unchanged.
    int operator()();

private:
    template <class P>
    void run();

    int th_hi_;
    int th_lo_;
    int border_;
    const dib_base& input_;
    dib_base& output_;
    std::vector<chain_point>& list_;
    int width_;
    int height_;
};

// Empties the list, then runs a HisteresisWorker. The output must have been cleared to 0
// by the caller. Negative thresholds count as 0. Returns the border unchanged.
int do_histeresis(const dib_base& input, int th_hi, int th_lo, int border, dib_base& output,
                  std::vector<chain_point>& list);
