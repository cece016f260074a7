// Cuts one chain of edge points into closed stretches (loops): stretches whose ends come
// back close to each other compared with their length.
#pragma once

#include <vector>

#include "cctrack/feature.h"
#include "ops/chain_point.h"

class loop_finder {
public:
    // Analyses the chain at once; `points` must outlive the finder.
    loop_finder(int chainIndex, const std::vector<chain_point>& points, int width, int height, int border);

    // Copies the first loop starting at or after `from` into `out` and returns the index
    // just past it; without one, leaves `out` alone and returns the chain's point count.
    int next(int from, alg::feature_loop& out) const;

    // Closure score of points lo .. hi-1 (lo < hi): above 1 when the ends are closer
    // than a quarter of the length (a fiftieth near the image border).
    float closure(int lo, int hi) const;

    const std::vector<int>& corners() const { return corners_; }
    const std::vector<alg::feature_loop>& loops() const { return loops_; }
    const std::vector<int>& loopStarts() const { return loopStarts_; }

private:
    // Peak index and run end of the first corner at or after s; false when none is left.
    bool nextCorner(int s, int& peak, int& runEnd) const;
    // Whether point p lies farther than sqrt(d) inside the valid part of the image.
    bool awayFromBorder(const chain_point& p, int64_t d) const;
    float closureAt(int row, int t) const;
    // The best stretch within [start, to], or false when none scores above 1.
    bool bestPair(int start, int to, int& lo, int& hi) const;
    void selectLoops(int from, int to);
    void makeLoop(int lo, int hi);
    int64_t gap(int i, int j) const;

    int chainIndex_;
    const std::vector<chain_point>& points_;
    int n_;
    int width_, height_, border_;
    std::vector<int> corners_;
    std::vector<alg::feature_loop> loops_;
    std::vector<int> loopStarts_;
};
