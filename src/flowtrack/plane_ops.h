// Whole-plane byte loops of the detection: thresholds and the background difference.
// Vector code where the processor has it; the plain loops in detect.cpp and ip_flowtrack.cpp
// remain the definition and run with AMBREVO_SCALAR=1.
#pragma once

#include <cstddef>
#include <cstdint>

// mask[p] = src[p] <= t when inverted, src[p] > t otherwise (1 or 0), for n pixels.
void flowtrack_threshold(const uint8_t* src, uint8_t* mask, size_t n, uint8_t t, bool inverted);

// diff[p] = |cur[p] - bg[p]| and mask[p] = diff[p] <= t (1 or 0), for n pixels.
void flowtrack_differenceMask(const uint8_t* cur, const uint8_t* bg, uint8_t* diff, uint8_t* mask, size_t n,
                              uint8_t t);
