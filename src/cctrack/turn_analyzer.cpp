#include "cctrack/turn_analyzer.h"

#include <cmath>

const double turn_pi = 4.0 * std::atan(1.0);

turn_analyzer::turn_analyzer(const std::vector<chain_point>& points)
    : points_(points), count_(int(points.size())), closed_(false) {
    if (count_ > 0) {
        const chain_point& f = points.front();
        const chain_point& l = points.back();
        const int64_t dx = int64_t(f.x) - l.x, dy = int64_t(f.y) - l.y;
        closed_ = dx * dx + dy * dy < 5;
    }
}

const chain_point& turn_analyzer::at(int i) const {
    int k = i % count_;
    if (k < 0) k += count_;
    return points_[size_t(k)];
}

namespace {

// Chords between nearby chain points are short: their directions come from a table of the
// same atan2 values, made once, and longer chords call atan2 itself.
constexpr int64_t kTableReach = 24;

struct direction_table {
    double at[2 * kTableReach + 1][2 * kTableReach + 1];
    direction_table() {
        for (int64_t dy = -kTableReach; dy <= kTableReach; ++dy)
            for (int64_t dx = -kTableReach; dx <= kTableReach; ++dx)
                at[dy + kTableReach][dx + kTableReach] = dx == 0 && dy == 0 ? 0.0 : std::atan2(double(dy), double(dx));
    }
};

double direction(const chain_point& from, const chain_point& to) {
    static const direction_table table;
    const int64_t dx = int64_t(to.x) - from.x, dy = int64_t(to.y) - from.y;
    if (dx >= -kTableReach && dx <= kTableReach && dy >= -kTableReach && dy <= kTableReach)
        return table.at[dy + kTableReach][dx + kTableReach];
    return std::atan2(double(dy), double(dx));
}

}  // namespace

bool turn_analyzer::angle(int i, double& out) const {
    if (count_ <= 0) return false;
    int w = maxWindow;
    if (!closed_ && i < maxWindow) w = i;
    if (closed_ && i < 0) w = i + maxWindow;
    if (count_ - i - 1 < w) w = count_ - i - 1;
    if (w < minWindow) return false;
    // An open sequence only gets here with 0 <= i - w and i + w < count.
    const chain_point& a = at(i - w);
    const chain_point& b = at(i);
    const chain_point& c = at(i + w);
    double turn = direction(b, c) - direction(a, b);
    if (turn >= turn_pi)
        turn -= 2.0 * turn_pi;
    else if (turn < -turn_pi)
        turn += 2.0 * turn_pi;
    out = turn;
    return true;
}
