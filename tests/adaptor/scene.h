// A synthetic scene for tracker tests: dark textured discs moving on smooth paths over
// a bright textured background. Deterministic for a given seed.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace scene {

struct Disc {
    double cx0, cy0;  // centre of the path
    double ax, ay;    // path amplitudes
    double wx, wy;    // angular speeds, radians per frame
    double phase;
    double radius;
};

inline void centre(const Disc& d, int frame, double& x, double& y) {
    x = d.cx0 + d.ax * std::sin(d.wx * frame + d.phase);
    y = d.cy0 + d.ay * std::cos(d.wy * frame + d.phase);
}

// Grey frame, packed rows, top row first.
inline std::vector<uint8_t> render(int width, int height, const std::vector<Disc>& discs, int frame) {
    std::vector<uint8_t> g(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
            h = (h ^ (h >> 13)) * 0x5bd1e995u;
            // Bright texture fixed to the background: 170..250.
            g[size_t(y) * size_t(width) + size_t(x)] = uint8_t(170 + (h >> 24) % 81);
        }
    for (const Disc& d : discs) {
        double cx, cy;
        centre(d, frame, cx, cy);
        int r = int(d.radius) + 2;
        for (int y = int(cy) - r; y <= int(cy) + r; ++y)
            for (int x = int(cx) - r; x <= int(cx) + r; ++x) {
                if (x < 0 || y < 0 || x >= width || y >= height) continue;
                double dx = x - cx, dy = y - cy;
                if (dx * dx + dy * dy > d.radius * d.radius) continue;
                // Dark texture that moves with the disc: 20..60.
                int u = int(std::floor(dx)) + 64, v = int(std::floor(dy)) + 64;
                uint32_t h = uint32_t(u) * 2654435761u ^ uint32_t(v) * 40503u;
                g[size_t(y) * size_t(width) + size_t(x)] = uint8_t(20 + (h >> 27) % 41);
            }
    }
    return g;
}

}  // namespace scene
