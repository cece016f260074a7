#include "crowd/crowd_near.h"

#include <algorithm>
#include <cmath>

void crowd_near::index(const std::vector<crowd_point>& points) {
    points_ = points;
    x0_ = y0_ = 1e300, x1_ = y1_ = -1e300;
    for (const crowd_point& p : points)
        x0_ = std::min(x0_, p.x), y0_ = std::min(y0_, p.y), x1_ = std::max(x1_, p.x), y1_ = std::max(y1_, p.y);
    if (points.empty()) x0_ = y0_ = x1_ = y1_ = 0;
    const double width = x1_ - x0_, height = y1_ - y0_;
    // About one point per cell over the points' box; never more cells than points.
    cell_ = std::max(
        {std::sqrt(width * height / std::max<double>(1, double(points.size()))), width / 4096, height / 4096, 1.0});
    columns_ = int64_t(width / cell_) + 1, rows_ = int64_t(height / cell_) + 1;
    while (columns_ * rows_ > 2 * int64_t(points.size()) + 4)
        cell_ *= 1.5, columns_ = int64_t(width / cell_) + 1, rows_ = int64_t(height / cell_) + 1;
    start_.assign(size_t(columns_ * rows_) + 1, 0);
    auto cellOf = [&](const crowd_point& p) {
        return size_t(int64_t((p.y - y0_) / cell_) * columns_ + int64_t((p.x - x0_) / cell_));
    };
    for (const crowd_point& p : points) ++start_[cellOf(p) + 1];
    for (size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
    members_.resize(points.size());
    std::vector<int32_t> fill(start_.begin(), start_.end() - 1);
    for (size_t i = 0; i < points.size(); ++i) members_[size_t(fill[cellOf(points[i])]++)] = int32_t(i);
}

void crowd_near::visit(int64_t column, int64_t row, double x, double y, double reach, int most,
                       std::vector<int32_t>& out) {
    if (column < 0 || row < 0 || column >= columns_ || row >= rows_) return;
    const size_t cell = size_t(row * columns_ + column);
    for (int32_t m = start_[cell]; m < start_[cell + 1]; ++m) {
        const int32_t i = members_[size_t(m)];
        const double dx = points_[size_t(i)].x - x, dy = points_[size_t(i)].y - y, d = dx * dx + dy * dy;
        const bool full = int(out.size()) == most;
        if (d > reach * reach || (full && (d > found_.back() || (d == found_.back() && i > out.back())))) continue;
        // Insertion into the short sorted list, ties by index.
        size_t at = out.size();
        while (at > 0 && (found_[at - 1] > d || (found_[at - 1] == d && out[at - 1] > i))) --at;
        out.insert(out.begin() + ptrdiff_t(at), i), found_.insert(found_.begin() + ptrdiff_t(at), d);
        if (int(out.size()) > most) out.pop_back(), found_.pop_back();
    }
}

void crowd_near::nearest(double x, double y, double reach, int most, std::vector<int32_t>& out) {
    out.clear(), found_.clear();
    if (points_.empty() || most <= 0 || !(reach >= 0) || !std::isfinite(x) || !std::isfinite(y)) return;
    // A place off the grid searches from the grid's nearest cell; every point then lies at
    // least its distance from the grid less than it would from that cell.
    const double cx = std::clamp(x, x0_, x1_), cy = std::clamp(y, y0_, y1_), off = std::hypot(x - cx, y - cy);
    if (off > reach) return;
    const int64_t column = int64_t((cx - x0_) / cell_), row = int64_t((cy - y0_) / cell_);
    const int64_t rings = std::max({column, row, columns_ - 1 - column, rows_ - 1 - row});
    for (int64_t r = 0; r <= rings; ++r) {
        const double least = std::max(0.0, double(r - 1) * cell_ - off);
        if (least > reach || (int(out.size()) == most && least * least > found_.back())) break;
        if (r == 0) {
            visit(column, row, x, y, reach, most, out);
            continue;
        }
        for (int64_t d = -r; d <= r; ++d) {
            visit(column + d, row - r, x, y, reach, most, out), visit(column + d, row + r, x, y, reach, most, out);
            if (d != -r && d != r)
                visit(column - r, row + d, x, y, reach, most, out), visit(column + r, row + d, x, y, reach, most, out);
        }
    }
}
