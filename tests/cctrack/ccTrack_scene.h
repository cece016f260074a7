// A synthetic scene for the closed-contour tracker: dark ellipses moving over a plain
// background.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

namespace scene {

struct ellipse {
    double cx, cy;  // centre in the first frame
    double rx, ry;  // radii
    double vx, vy;  // pixels per frame
    double x(int frame) const { return cx + vx * frame; }
    double y(int frame) const { return cy + vy * frame; }
};

// Grey frame (bottom-up rows unless topDown): background 200, ellipses 40; rows from
// `horizon` on (when it is not negative) are 120, giving one edge across the image.
inline dib_base frame(int width, int height, const std::vector<ellipse>& objects, int index, bool topDown = false,
                      int szPixel = 1, int horizon = -1) {
    dib_base image(dib_fmt(width, height, szPixel, 0, !topDown), 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image.row(y);
        for (int x = 0; x < width; ++x) {
            uint8_t v = horizon >= 0 && y >= horizon ? 120 : 200;
            for (const ellipse& e : objects) {
                const double dx = (x - e.x(index)) / e.rx, dy = (y - e.y(index)) / e.ry;
                if (dx * dx + dy * dy <= 1.0) v = 40;
            }
            for (int b = 0; b < szPixel; ++b) row[x * szPixel + b] = v;
        }
    }
    return image;
}

}  // namespace scene
