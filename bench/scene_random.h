// Random numbers for the generated scenes: the same on every platform, unlike the standard
// distributions.
#pragma once

#include <cmath>
#include <cstdint>

namespace crowd_scene {

// A hash of three numbers: fixed textures and noise by pixel and frame.
inline uint32_t mix(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h = a * 0x9E3779B1u ^ b * 0x85EBCA77u ^ c * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    return h ^ (h >> 15);
}

// splitmix64: uniform in [0, 1), advancing `state`.
inline double uniform(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) * 0x1.0p-53;
}

// Standard normal, by Box and Muller.
inline double gaussian(uint64_t& state) {
    const double u = 1.0 - uniform(state), v = uniform(state);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2 * 3.14159265358979323846 * v);
}

}  // namespace crowd_scene
