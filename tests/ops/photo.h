// A photograph-like colour picture made from a seed: smooth shading, fractal texture at several
// scales, hard-edged objects and sensor noise, so that edges come in every direction and
// strength (the synthetic scene has few, all sharp). Shared by the operator tests and the
// benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace photo {

inline uint32_t hash(uint32_t x, uint32_t y, uint32_t seed) {
    uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
    h ^= h >> 15, h *= 0x2C1B3C6Du, h ^= h >> 12, h *= 0x297A2D39u, h ^= h >> 15;
    return h;
}

// Smoothly interpolated lattice noise in [0, 1).
inline double valueNoise(double x, double y, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y);
    const uint32_t ix = uint32_t(int64_t(fx)), iy = uint32_t(int64_t(fy));
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * (3 - 2 * tx), ty = ty * ty * (3 - 2 * ty);
    auto v = [&](uint32_t a, uint32_t b) { return (hash(a, b, seed) >> 8) / double(1 << 24); };
    const double top = v(ix, iy) + (v(ix + 1, iy) - v(ix, iy)) * tx;
    const double bottom = v(ix, iy + 1) + (v(ix + 1, iy + 1) - v(ix, iy + 1)) * tx;
    return top + (bottom - top) * ty;
}

// Three bytes per pixel, rows top to bottom, no padding.
inline std::vector<uint8_t> render(int w, int h, uint32_t seed) {
    std::vector<uint8_t> bgr(size_t(w) * size_t(h) * 3);
    const double scale = 640.0 / std::max(w, 1);  // the same picture at every size
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = x * scale, v = y * scale;
            double texture = 0, amplitude = 1;
            for (int octave = 0; octave < 5; ++octave, amplitude *= 0.55)
                texture += amplitude * valueNoise(u / (64 >> octave), v / (64 >> octave), seed + uint32_t(octave));
            double value = 60 + 0.15 * u + 0.1 * v + 50 * texture;
            // Objects: a lit disc, a dark slanted bar and a ring.
            const double dx = u - 420, dy = v - 180;
            if (dx * dx + dy * dy < 90 * 90) value = 190 + 20 * std::sin(u / 9) + 25 * texture;
            if (std::fabs(0.6 * u - v + 40) < 18 && u < 360) value *= 0.35;
            const double ring = std::hypot(u - 160, v - 330);
            if (ring > 50 && ring < 62) value = 230;
            const uint32_t n = hash(uint32_t(x), uint32_t(y), seed ^ 0x5bd1e995u);
            for (int c = 0; c < 3; ++c) {
                const double tint = 1.0 + 0.12 * (c - 1) * std::sin(u / 150 + c);
                const double noisy = value * tint + double(int((n >> (8 * c)) & 7) - 3);
                bgr[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)] = uint8_t(std::clamp(noisy, 0.0, 255.0));
            }
        }
    return bgr;
}

}  // namespace photo
