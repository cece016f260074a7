// Active rays: slide each ray end along its ray onto the object's outline, then move the
// centre to the mean of the ray ends.
#pragma once

#include <cstdint>

#include "flowtrack/MItem.h"

// Eight passes of N + 1 ray visits over every region of the list, on the grey plane.
void activeRays(int W, int H, const uint8_t* plane, MList& list, int threshold, int N);

// Centre := mean of the ray end points; rays measured again from the new centre.
void recentre(MList& list, int N);
