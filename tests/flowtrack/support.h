// Synthetic grey planes, frames and region lists shared by the flow tracker tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

#include "flowtrack/MItem.h"
#include "flowtrack/search.h"
#include "image/dib.h"
#include "doubles/dispatch.h"
#include "doubles/recording.h"

namespace ft {

struct Plane {
    int W, H;
    std::vector<uint8_t> px;
    Plane(int w, int h, uint8_t fill) : W(w), H(h), px(size_t(w) * size_t(h), fill) {}
    uint8_t& at(int x, int y) { return px[size_t(y) * size_t(W) + size_t(x)]; }
    uint8_t* data() { return px.data(); }
};

// Pixels within distance r of (cx, cy) (squares in integers); returns their count.
inline int disc(Plane& p, int cx, int cy, int r, uint8_t value) {
    int n = 0;
    for (int y = std::max(cy - r, 0); y <= cy + r && y < p.H; ++y)
        for (int x = std::max(cx - r, 0); x <= cx + r && x < p.W; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) p.at(x, y) = value, ++n;
    return n;
}

inline void rect(Plane& p, int x0, int y0, int w, int h, uint8_t value) {
    for (int y = y0; y < y0 + h; ++y) std::fill_n(&p.at(x0, y), w, value);
}

// A deterministic texture with values lo .. lo + span - 1, moved by (sx, sy).
inline Plane textured(int w, int h, int lo, int span, int sx = 0, int sy = 0) {
    Plane p(w, h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v = (uint32_t(x - sx) * 73856093u ^ uint32_t(y - sy) * 19349663u);
            v = (v ^ (v >> 13)) * 0x5bd1e995u;
            p.at(x, y) = uint8_t(lo + int((v ^ (v >> 15)) % uint32_t(span)));
        }
    return p;
}

// A 1-byte top-down frame of packed grey rows.
inline dib_base frameOf(int W, int H, const std::vector<uint8_t>& grey) {
    dib_base image(dib_fmt(W, H, 1, 0, false), 0);
    for (int y = 0; y < H; ++y) std::copy_n(&grey[size_t(y) * size_t(W)], W, image.row(y));
    return image;
}
inline dib_base frameOf(const Plane& p) { return frameOf(p.W, p.H, p.px); }

inline MRegion* regionAt(MList& list, int index) {
    MItem* item = list.head;
    for (int i = 0; i < index && item != &endMarker; ++i) item = item->next;
    return item == &endMarker ? nullptr : static_cast<MRegion*>(item);
}

// Appends a region with all rays of one length.
inline MRegion* add(MList& list, int cx, int cy, uint32_t area = 500, float radius = 10.0f) {
    auto* r = new MRegion;
    r->cx = cx, r->cy = cy, r->area = area;
    std::fill_n(r->rays, MaxAngles, radius);
    list.append(r);
    return r;
}

// Runs f with both standard streams captured.
struct Streams {
    std::string out, err;
};
template <class F>
Streams captured(F&& f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::string out = testing::internal::GetCapturedStdout();
    return {out, testing::internal::GetCapturedStderr()};
}

using doubles::thrown;

// Sets or clears AMBREVO_SCALAR (the plain paths) for the lifetime of the guard; the tests run without it.
struct ScalarMode {
    explicit ScalarMode(bool on) { doubles::forceScalar(on); }
    ~ScalarMode() { doubles::forceScalar(false); }
};

using doubles::eachVectorTarget;

// The settings and search table a tracker keeps, for tests that call the stages directly.
struct Tracking {
    flowtrack_settings s;
    flowtrack_searchTable table;
    int N() const { return s.DisAngles; }
};

}  // namespace ft
