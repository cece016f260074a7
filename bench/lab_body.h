// The bodies of the generated lab scenes: a tapered chain of nodes along a midline, drawn as
// a coverage map. Internal to lab_scene.
#pragma once

#include <array>
#include <vector>

#include "lab_scene.h"

namespace crowd_scene::body {

// Nodes along a body's midline, head first: enough for a smooth bend.
constexpr int kNodes = 21;

// Half the body's width at `s` along it (0: head, 1: tail) for a body of widest part `width`.
double half_width(kind k, double s, double width);

// Pixels a body covers, within its bounding box clipped to the frame.
struct patch {
    int x0 = 0, y0 = 0, w = 0, h = 0;
    std::vector<float> cover;  // 0 to 1
    std::vector<float> along;  // where on the body (0: head, 1: tail) the pixel's coverage comes from

    float at(int x, int y) const {
        return x >= x0 && x < x0 + w && y >= y0 && y < y0 + h ? cover[size_t((y - y0) * w + (x - x0))] : 0.0f;
    }
};

// Draws the chain through `nodes` with half widths `radii` into `out`, for a frame of
// `width` x `height`. `edge`: pixels over which coverage rises from 0 to 1 across the
// outline (1: anti-aliased; more: a soft shadow).
void draw(const std::vector<point>& nodes, const std::vector<double>& radii, double edge, int width, int height,
          patch& out);

// The coverage-weighted mean of the pixel centres.
point centre_of_mass(const patch& p);

// `count` points at equal steps along the polyline, first to last; `length` gets its length.
std::vector<point> resample(const std::vector<point>& line, int count, double& length);

}  // namespace crowd_scene::body
