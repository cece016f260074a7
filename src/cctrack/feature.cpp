#include "cctrack/feature.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

namespace alg {

feature::~feature() = default;

double feature::positionCost(const feature& old, int age) const {
    const int px = old.x() + int(old.vx() * float(age));
    const int py = old.y() + int(old.vy() * float(age));
    const double ex = double(px - x()) * 0.05;
    const double ey = double(py - y()) * 0.05;
    if (std::fabs(ex) > 1.0 || std::fabs(ey) > 1.0) return 1000000.0;
    return std::sqrt(ex * ex + ey * ey);
}

feature_loop::feature_loop(const chain_point* first, const chain_point* last, int chainIndex, int chainPointCount)
    : points_(first, last), chainIndex_(chainIndex) {
    int64_t sum = 0, sx = 0, sy = 0;
    for (const chain_point& p : points_) {
        sum += p.strength;
        sx += p.x;
        sy += p.y;
    }
    strength_ = int32_t(sum);
    const int64_t n = int64_t(points_.size());
    if (n > 0) {
        x_ = int32_t(sx / n);
        y_ = int32_t(sy / n);
    }
    partial_ = 4 * n < 3 * int64_t(chainPointCount);
}

const feature_loop& feature_loop::cast(const feature& f) {
    if (std::strcmp(f.kindName(), "loop") != 0) throw "alg::feature_loop::cast - got incompatible parameter";
    return static_cast<const feature_loop&>(f);
}

feature_loop& feature_loop::cast(feature& f) {
    return const_cast<feature_loop&>(cast(static_cast<const feature&>(f)));
}

void feature_loop::assign(const feature& other) {
    const feature_loop& o = cast(other);
    if (&o == this) return;
    vx_ = o.vx_;
    vy_ = o.vy_;
    strength_ = o.strength_;
    points_ = o.points_;
    x_ = o.x_;
    y_ = o.y_;
    chainIndex_ = o.chainIndex_;
    partial_ = o.partial_;
}

int feature_loop::meanStrength() const {
    if (points_.empty()) return 0;
    return int(strength_ / int32_t(points_.size()));
}

namespace {

// One relative difference: `diff` over four fifths of the larger value. A zero divisor
// only occurs for values too small to differ by a fifth; equal values then differ by
// nothing (instead of 0/0), unequal ones by more than the limit.
double relativeDifference(int diff, int larger) {
    const int divisor = (4 * larger) / 5;
    if (divisor == 0) return diff == 0 ? 0.0 : 2.0;
    return double(diff) / double(divisor);
}

}  // namespace

double feature_loop::dissimilarity(const feature& other) const {
    const feature_loop& b = cast(other);
    const int na = pointCount(), nb = b.pointCount();
    const int sa = meanStrength(), sb = b.meanStrength();
    const double d1 = relativeDifference(na - nb, na > nb ? na : nb);
    const double d2 = relativeDifference(sa - sb, sa > sb ? sa : sb);
    if (std::fabs(d1) > 1.0 || std::fabs(d2) > 1.0) return 1000000.0;
    return std::sqrt(d1 * d1 + d2 * d2);
}

void feature_loop::polyline(int colour, const char* label, int last, ip_overlay* overlay) const {
    std::vector<ip_point> vertices;
    vertices.reserve(points_.size());
    for (const chain_point& p : points_) vertices.push_back({p.x, p.y});
    const ip_point* begin = vertices.data();
    const ip_point* end = begin + vertices.size();
    const ip_pointList list{0, begin, end, end};
    overlay->drawPolyline(&list, colour, label, last);
}

void feature_loop::draw(int colour, ip_overlay* overlay) const { polyline(colour, "", 0, overlay); }

void feature_loop::drawLabelled(int colour, bool highlighted, ip_overlay* overlay) const {
    const std::string label = std::to_string(colour);
    polyline(colour, label.c_str(), highlighted ? 1 : 0, overlay);
}

void feature_loop::drawDetailed(int colour, bool highlighted, ip_overlay* overlay) const {
    std::ostringstream label;
    label << colour;
    label.width(3);
    label << "-";
    label << pointCount() << ":" << strength_ << ", " << x_ << ", " << y_;
    polyline(colour, label.str().c_str(), highlighted ? 1 : 0, overlay);
}

}  // namespace alg
