// Central-difference gradient: components, direction and magnitude.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "image/dib.h"

// Lookup tables for integer components of magnitude up to 255, built when the module
// is loaded. magnitudeTable[i][j] = trunc(sqrt(i^2 + j^2) * 64);
// directionTable[0][i][j] = trunc(64 * atan2(j, i)), directionTable[1][i][j] = the negated.
struct do_gradient_tables {
    uint16_t magnitudeTable[256][256];
    int16_t directionTable[2][256][256];
    do_gradient_tables();
};
extern const do_gradient_tables do_gradientTables;

// Magnitude in grey levels * 64 of integer components with |gx|, |gy| <= 255.
inline int do_gradient_magnitude(int gx, int gy) {
    return do_gradientTables.magnitudeTable[std::abs(gx)][std::abs(gy)];
}

// Orientation -64 * atan(gy / gx), truncated, in -100..100 (1/64 radian units).
inline int do_gradient_direction(int gx, int gy) {
    const int half = (gx >= 0) == (gy >= 0) ? 1 : 0;
    return do_gradientTables.directionTable[half][std::abs(gx)][std::abs(gy)];
}

// Writes gx, gy, direction and magnitude for rows and columns [b + 1, size - b - 1);
// returns border + 1. The dispatch is on (src, magnitude); gx, gy and direction must
// share the magnitude image's size and pixel size.
int do_gradient(const dib_base& src, int border, dib_base& gx, dib_base& gy, dib_base& direction,
                dib_base& magnitude);
