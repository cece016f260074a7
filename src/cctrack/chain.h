// Chains of edge points, as the linker makes them and the feature library reads them.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/chain_point.h"

struct chain {
    int32_t strength = 0;  // sum of the strengths of every point ever appended
    std::vector<chain_point> points;
};

using chain_list = std::vector<chain>;
