// Synthetic grey planes and frames for the flow tracker tests.
#pragma once

#include <cstdint>
#include <vector>

#include "flowtrack/MItem.h"
#include "image/dib.h"

namespace ft {

struct Plane {
    int W, H;
    std::vector<uint8_t> px;
    Plane(int w, int h, uint8_t fill) : W(w), H(h), px(size_t(w) * size_t(h), fill) {}
    uint8_t& at(int x, int y) { return px[size_t(y) * size_t(W) + size_t(x)]; }
    uint8_t* data() { return px.data(); }
};

// Pixels whose distance to (cx, cy) is at most r (squares in integers).
inline int disc(Plane& p, int cx, int cy, int r, uint8_t value) {
    int n = 0;
    for (int y = cy - r; y <= cy + r; ++y)
        for (int x = cx - r; x <= cx + r; ++x)
            if (x >= 0 && y >= 0 && x < p.W && y < p.H && (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) {
                p.at(x, y) = value;
                ++n;
            }
    return n;
}

inline void rect(Plane& p, int x0, int y0, int w, int h, uint8_t value) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) p.at(x, y) = value;
}

// A 1-byte top-down frame with the plane's pixels (rows in memory order).
inline dib_base frameOf(const Plane& p) {
    dib_base image(dib_fmt(p.W, p.H, 1, 0, false), 0);
    for (int y = 0; y < p.H; ++y)
        for (int x = 0; x < p.W; ++x) image.row(y)[x] = p.px[size_t(y) * size_t(p.W) + size_t(x)];
    return image;
}

// Deterministic bright texture (values lo..lo+span-1) shifted by (sx, sy).
inline uint8_t texture(int x, int y, int lo, int span) {
    uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    h = (h ^ (h >> 13)) * 0x5bd1e995u;
    h ^= h >> 15;
    return uint8_t(lo + int(h % uint32_t(span)));
}

inline MRegion* regionAt(MList& list, int index) {
    MItem* item = list.head;
    for (int i = 0; i < index && item != &endMarker; ++i) item = item->next;
    return item == &endMarker ? nullptr : static_cast<MRegion*>(item);
}

// Puts the module-wide parameters back to their defaults around each test.
struct ParameterGuard {
    ParameterGuard() { resetTrackingParameters(); }
    ~ParameterGuard() { resetTrackingParameters(); }
};

}  // namespace ft
