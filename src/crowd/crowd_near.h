// The few points nearest to a place, found on a grid of about one point per cell: what
// keeps the pairs the tracker weighs to a bounded number per track, however far it may look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crowd/crowd_posture.h"

class crowd_near {
public:
    // Takes `points` (copied) for the queries that follow.
    void index(const std::vector<crowd_point>& points);
    // Replaces `out` with the indices of at most `most` points within `reach` of (x, y),
    // nearest first (of equals, the lower index first). Cells are visited ring by ring
    // outward and the search stops once no nearer point can be left.
    void nearest(double x, double y, double reach, int most, std::vector<int32_t>& out);
    // The squared distance of the k-th point of the last answer.
    double squared(size_t k) const { return found_[k]; }

private:
    void visit(int64_t column, int64_t row, double x, double y, double reach, int most, std::vector<int32_t>& out);

    std::vector<crowd_point> points_;
    std::vector<int32_t> start_, members_;
    std::vector<double> found_;  // squared distances of `out`, in step with it
    double x0_ = 0, y0_ = 0, x1_ = 0, y1_ = 0, cell_ = 1;
    int64_t columns_ = 1, rows_ = 1;
};
