// Small statistics the crowd tracker's parts share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The middle value (the upper one of an even count); 0 for none.
inline double crowd_medianOf(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + ptrdiff_t(values.size() / 2), values.end());
    return values[values.size() / 2];
}
