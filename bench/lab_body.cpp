#include "lab_body.h"

#include <algorithm>
#include <cmath>

namespace crowd_scene::body {

namespace {

constexpr double kHalfPi = 1.57079632679489661923;

// The body's profile: widths over the widest, head (s = 0) to tail (s = 1).
double profile(kind k, double s) {
    switch (k) {
        case kind::flies:  // an ellipse, a little blunt at both ends
            return std::max(0.3, std::sqrt(std::max(0.0, 1.0 - (2 * s - 1) * (2 * s - 1))));
        case kind::larvae:  // a cylinder with rounded ends
            return 0.72 + 0.28 * std::sqrt(std::sin(2 * kHalfPi * s));
        case kind::light:  // a pointed snout, a round rump
            return s < 0.3 ? 0.5 + 0.5 * std::sin(kHalfPi * s / 0.3) : 1.0 - 0.45 * std::pow((s - 0.3) / 0.7, 2);
        case kind::fish:
        case kind::rim:  // a rounded head, widest behind it, a long thin tail
            break;
    }
    return s < 0.2 ? 0.45 + 0.55 * std::sin(kHalfPi * s / 0.2) : 1.0 - 0.88 * std::pow((s - 0.2) / 0.8, 1.2);
}

}  // namespace

double half_width(kind k, double s, double width) { return 0.5 * width * profile(k, std::clamp(s, 0.0, 1.0)); }

void draw(const std::vector<point>& nodes, const std::vector<double>& radii, double edge, int width, int height,
          patch& out) {
    const double reach = *std::max_element(radii.begin(), radii.end()) + edge / 2 + 1;
    double left = 1e300, right = -1e300, top = 1e300, bottom = -1e300;
    for (const point& n : nodes) left = std::min(left, n.x), right = std::max(right, n.x);
    for (const point& n : nodes) top = std::min(top, n.y), bottom = std::max(bottom, n.y);
    out.x0 = std::clamp(int(std::floor(left - reach)), 0, width);
    out.y0 = std::clamp(int(std::floor(top - reach)), 0, height);
    out.w = std::clamp(int(std::ceil(right + reach)) + 1, 0, width) - out.x0;
    out.h = std::clamp(int(std::ceil(bottom + reach)) + 1, 0, height) - out.y0;
    out.cover.assign(size_t(std::max(out.w, 0)) * size_t(std::max(out.h, 0)), 0.0f);
    out.along.assign(out.cover.size(), 0.0f);
    const int segments = int(nodes.size()) - 1;
    for (int i = 0; i < segments; ++i) {
        const point a = nodes[size_t(i)], b = nodes[size_t(i) + 1];
        const double ra = radii[size_t(i)], rb = radii[size_t(i) + 1];
        const double abx = b.x - a.x, aby = b.y - a.y, ab2 = abx * abx + aby * aby;
        const double r = std::max(ra, rb) + edge / 2 + 1;
        const int x0 = std::max(out.x0, int(std::floor(std::min(a.x, b.x) - r)));
        const int x1 = std::min(out.x0 + out.w - 1, int(std::ceil(std::max(a.x, b.x) + r)));
        const int y0 = std::max(out.y0, int(std::floor(std::min(a.y, b.y) - r)));
        const int y1 = std::min(out.y0 + out.h - 1, int(std::ceil(std::max(a.y, b.y) + r)));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const double t = ab2 > 0 ? std::clamp(((x - a.x) * abx + (y - a.y) * aby) / ab2, 0.0, 1.0) : 0.0;
                const double d = std::hypot(x - a.x - t * abx, y - a.y - t * aby) - (ra + t * (rb - ra));
                const float c = float(std::clamp(0.5 - d / edge, 0.0, 1.0));
                const size_t k = size_t((y - out.y0) * out.w + (x - out.x0));
                if (c > out.cover[k]) out.cover[k] = c, out.along[k] = float((i + t) / segments);
            }
    }
}

point centre_of_mass(const patch& p) {
    double sum = 0, sx = 0, sy = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const double c = p.cover[size_t(y * p.w + x)];
            sum += c, sx += c * (p.x0 + x), sy += c * (p.y0 + y);
        }
    return sum > 0 ? point{sx / sum, sy / sum} : point{};
}

std::vector<point> resample(const std::vector<point>& line, int count, double& length) {
    std::vector<double> at(line.size(), 0.0);
    for (size_t i = 1; i < line.size(); ++i)
        at[i] = at[i - 1] + std::hypot(line[i].x - line[i - 1].x, line[i].y - line[i - 1].y);
    length = at.back();
    std::vector<point> out;
    size_t seg = 1;
    for (int k = 0; k < count; ++k) {
        const double want = count > 1 ? length * k / (count - 1) : 0.0;
        while (seg + 1 < line.size() && at[seg] < want) ++seg;
        const double span = at[seg] - at[seg - 1], t = span > 0 ? std::clamp((want - at[seg - 1]) / span, 0.0, 1.0) : 0;
        out.push_back({line[seg - 1].x + t * (line[seg].x - line[seg - 1].x),
                       line[seg - 1].y + t * (line[seg].y - line[seg - 1].y)});
    }
    return out;
}

}  // namespace crowd_scene::body
