#include "arena_shape.h"

#include <algorithm>
#include <cmath>

#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/tracks/roi.h"

ArenaShape ArenaShape::polygon(const std::vector<ArenaPoint>& vertices) {
    std::vector<double> numbers;
    for (const ArenaPoint& p : vertices) numbers.insert(numbers.end(), {p.x, p.y});
    return {Kind::polygon, numbers};
}

ArenaShape ArenaShape::parse(const std::string& roi) {
    const ambrevo::Arena arena = ambrevo::parse_roi(roi);
    switch (arena.kind) {
        case ambrevo::Arena::Kind::rect:
            return {Kind::rect, arena.numbers};
        case ambrevo::Arena::Kind::circle:
            return {Kind::circle, arena.numbers};
        case ambrevo::Arena::Kind::polygon:
            return {Kind::polygon, arena.numbers};
        default:
            return {Kind::mask, {}, roi};
    }
}

std::string ArenaShape::roi() const {
    if (kind_ == Kind::mask) return mask_;
    std::string text = kind_ == Kind::rect ? "rect:" : kind_ == Kind::circle ? "circle:" : "polygon:";
    for (size_t i = 0; i < numbers_.size(); ++i) text += (i ? "," : "") + ambrevo::text::shortest(numbers_[i]);
    return text;
}

bool ArenaShape::contains(double x, double y) const {
    const std::vector<double>& n = numbers_;
    switch (kind_) {
        case Kind::rect:
            return x >= n[0] && x < n[0] + n[2] && y >= n[1] && y < n[1] + n[3];
        case Kind::circle:
            return (x - n[0]) * (x - n[0]) + (y - n[1]) * (y - n[1]) <= n[2] * n[2];
        case Kind::polygon: {
            // Even-odd rule over the edges.
            bool inside = false;
            for (size_t i = 0, j = n.size() - 2; i < n.size(); j = i, i += 2)
                if ((n[i + 1] > y) != (n[j + 1] > y) &&
                    x < (n[j] - n[i]) * (y - n[i + 1]) / (n[j + 1] - n[i + 1]) + n[i])
                    inside = !inside;
            return inside;
        }
        default:
            return false;
    }
}

std::vector<ArenaPoint> ArenaShape::handles() const {
    const std::vector<double>& n = numbers_;
    std::vector<ArenaPoint> out;
    if (kind_ == Kind::rect)
        out = {{n[0], n[1]}, {n[0] + n[2], n[1]}, {n[0] + n[2], n[1] + n[3]}, {n[0], n[1] + n[3]}};
    else if (kind_ == Kind::circle)
        out = {{n[0] + n[2], n[1]}};
    else if (kind_ == Kind::polygon)
        for (size_t i = 0; i + 1 < n.size(); i += 2) out.push_back({n[i], n[i + 1]});
    return out;
}

void ArenaShape::moveBy(double dx, double dy) {
    if (kind_ == Kind::mask) return;
    const size_t step = kind_ == Kind::polygon ? 2 : numbers_.size();
    for (size_t i = 0; i + 1 < numbers_.size(); i += step) numbers_[i] += dx, numbers_[i + 1] += dy;
}

void ArenaShape::moveHandle(size_t index, double x, double y) {
    std::vector<double>& n = numbers_;
    if (kind_ == Kind::rect && index < 4) {
        // The opposite corner stays.
        const ArenaPoint fixed = handles()[(index + 2) % 4];
        n = {std::min(fixed.x, x), std::min(fixed.y, y), std::max(1.0, std::fabs(x - fixed.x)),
             std::max(1.0, std::fabs(y - fixed.y))};
    } else if (kind_ == Kind::circle && index == 0) {
        n[2] = std::max(1.0, std::round(std::hypot(x - n[0], y - n[1])));
    } else if (kind_ == Kind::polygon && 2 * index + 1 < n.size()) {
        n[2 * index] = x, n[2 * index + 1] = y;
    }
}

ArenaPoint ArenaShape::labelAt() const {
    const std::vector<double>& n = numbers_;
    if (kind_ == Kind::rect) return {n[0], n[1]};
    if (kind_ == Kind::circle) return {n[0] - n[2], n[1] - n[2]};
    ArenaPoint p{1e300, 1e300};
    for (const ArenaPoint& h : handles()) p.x = std::min(p.x, h.x), p.y = std::min(p.y, h.y);
    return kind_ == Kind::polygon ? p : ArenaPoint{};
}
