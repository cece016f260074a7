// Turning angle along a sequence of edge points.
#pragma once

#include <vector>

#include "ops/chain_point.h"

class turn_analyzer {
public:
    static constexpr int minWindow = 2;
    static constexpr int maxWindow = 4;

    // A sequence whose ends lie within 2 pixels (squared distance below 5) is closed and
    // indexed cyclically; indices down to -maxWindow are then meaningful.
    explicit turn_analyzer(const std::vector<chain_point>& points);

    // Change of direction at index i between the chords from i - w to i and from i to
    // i + w, in [-pi, pi). False where no half-window of at least minWindow fits.
    bool angle(int i, double& out) const;

    bool closed() const { return closed_; }
    int count() const { return count_; }

private:
    const chain_point& at(int i) const;

    const std::vector<chain_point>& points_;
    int count_;
    bool closed_;
};

// pi, computed once as 4 atan(1).
extern const double turn_pi;
