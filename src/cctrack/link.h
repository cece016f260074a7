// Linking of edge pixels into chains.
#pragma once

#include <vector>

#include "cctrack/chain.h"
#include "image/dib.h"
#include "ops/chain_point.h"

// Grows one chain from each still-unused seed, strongest seed first, in both directions,
// always stepping to the strongest edge pixel within three pixels. Chains of more than
// seven points are appended to `out` (not cleared). The edge map is not modified.
// Throws "dib_access_dispatch1 - unsupported szPixel" for a pixel size outside 1..4.
void link(const dib_base& edgeMap, const std::vector<chain_point>& seeds, chain_list& out);
