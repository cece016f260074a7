#pragma once

#include <cstddef>
#include <cstdint>

// An edge pixel: its strength (edge value) and position (x column, y row in memory order).
struct chain_point {
    int32_t strength;
    int32_t x;
    int32_t y;
};
static_assert(sizeof(chain_point) == 12 && offsetof(chain_point, x) == 4 && offsetof(chain_point, y) == 8);
