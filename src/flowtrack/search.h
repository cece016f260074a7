// The "optical flow" stage: move each region by the displacement that best matches the
// windows around its ray ends between two grey planes, and mark covered ray ends.
#pragma once

#include <cstdint>

#include "flowtrack/MItem.h"

// Largest SearchWindow the correlation table holds.
constexpr int MaxSearchWindow = 150;
// Table value of a displacement that leaves the image for some ray.
constexpr int64_t ExcludedDisplacement = 2000000000;

// Moves the centre of every region of the list; throws "Too large SearchWindow !" when
// SearchWindow exceeds MaxSearchWindow, before any region is touched.
void searchFlow(int W, int H, const uint8_t* prevPlane, const uint8_t* curPlane, MList& list);

// Sum table entry for displacement (a, b) of the last region searched (for tests).
int64_t searchFlowEntry(int a, int b);

// Recomputes `occluded` of every region: how many other regions cover each ray end.
void markOcclusions(MList& list);
