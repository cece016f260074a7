// Formats, frames and clicks as a host would hand them over, drawn from fuzz input.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "interface/ip_host.h"
#include "doubles/recording.h"
#include "fuzz_input.h"

namespace fuzz {

// Valid frames stay below this many bytes so that a run spends its time on logic, not on
// megapixel images; invalid formats are not bounded, they must be refused before use.
constexpr int64_t maxFrameBytes = int64_t(1) << 20;

inline int64_t frameBytes(const ip_fmtWords& f) {
    int64_t rows = f.height < 0 ? -int64_t(f.height) : int64_t(f.height);
    return rows * f.szRow;
}

// The formats a host may legitimately offer (the module's own rule, restated here so that
// the targets know which frames they can back with memory).
inline bool isValid(const ip_fmtWords& f) {
    if (f.szPixel < 1 || f.szPixel > 4 || f.width < 1 || f.height == 0 || f.height == INT32_MIN) return false;
    if (int64_t(f.szRow) < int64_t(f.width) * f.szPixel) return false;
    return frameBytes(f) < (int64_t(1) << 31);
}

inline ip_fmtWords smallFormat(Input& in) {
    ip_fmtWords f;
    f.szPixel = 1 + int32_t(in.pick(4));
    f.width = 1 + int32_t(in.pick(96));
    f.height = 1 + int32_t(in.pick(72));
    if (in.byte() & 1) f.height = -f.height;
    f.szRow = f.width * f.szPixel + int32_t(in.pick(4) == 0 ? in.pick(9) : 0);
    return f;
}

// Mostly small valid formats; one in eight has every word chosen freely (mostly invalid),
// one in sixteen is long and thin.
inline ip_fmtWords anyFormat(Input& in) {
    uint8_t mode = in.byte();
    ip_fmtWords f;
    if (mode < 32) {
        f.szPixel = in.number(0, 5);
        f.width = in.number(-2, 300);
        f.height = in.number(-300, 300);
        f.szRow = in.chance(2) ? int32_t(uint32_t(f.width) * 3u) : in.number(-4, 1200);
    } else if (mode < 48) {
        f.szPixel = 1 + int32_t(in.pick(4));
        bool wide = in.byte() & 1;
        f.width = wide ? 1 + int32_t(in.pick(4000)) : 1 + int32_t(in.pick(3));
        f.height = wide ? 1 + int32_t(in.pick(3)) : 1 + int32_t(in.pick(4000));
        if (in.byte() & 1) f.height = -f.height;
        f.szRow = f.width * f.szPixel;
    } else {
        f = smallFormat(in);
    }
    if (isValid(f) && frameBytes(f) > maxFrameBytes) f = smallFormat(in);
    return f;
}

// A few bright rectangles and discs moving over a darker textured ground, so that the
// trackers find, follow, lose and merge objects.
struct Scene {
    struct Blob {
        int x, y, w, h, vx, vy;
        uint8_t level;
        bool disc;
    };
    std::vector<Blob> blobs;
    uint8_t ground = 20;
    uint8_t noise = 0;
    uint32_t seed = 1;

    static Scene from(Input& in) {
        Scene s;
        s.ground = in.byte();
        s.noise = in.byte() % 64;
        s.seed = in.byte() + 1;
        int n = int(in.pick(6));
        for (int i = 0; i < n; ++i) {
            Blob b;
            b.x = int(in.pick(100)) - 10;
            b.y = int(in.pick(80)) - 10;
            b.w = 1 + int(in.pick(30));
            b.h = 1 + int(in.pick(30));
            b.vx = int(in.pick(9)) - 4;
            b.vy = int(in.pick(9)) - 4;
            b.level = in.byte();
            b.disc = in.byte() & 1;
            s.blobs.push_back(b);
        }
        return s;
    }

    uint8_t at(int x, int y, int frame, uint32_t& state) const {
        for (const Blob& b : blobs) {
            int dx = x - (b.x + b.vx * frame), dy = y - (b.y + b.vy * frame);
            if (dx < 0 || dy < 0 || dx >= b.w || dy >= b.h) continue;
            if (b.disc) {
                int cx = 2 * dx - b.w + 1, cy = 2 * dy - b.h + 1;
                if (int64_t(cx) * cx * b.h * b.h + int64_t(cy) * cy * b.w * b.w > int64_t(b.w) * b.w * b.h * b.h) continue;
            }
            return b.level;
        }
        state = state * 1664525u + 1013904223u;
        return uint8_t(ground + (noise ? (state >> 24) % noise : 0));
    }
};

// A source image in host memory: only the format words and the pointer cross over.
struct Frame {
    Buffer pixels;
    ip_dibWords words;

    // Memory for valid formats; an invalid one gets a few bytes (or none), which the module
    // must never read because it must refuse the format first.
    Frame(const ip_fmtWords& f, const Scene& scene, int index, Input& in)
        : pixels(isValid(f) ? size_t(frameBytes(f)) : in.pick(3) * 8) {
        words = {f.szPixel, f.szRow, f.width, f.height, pixels.bytes.get()};
        if (!isValid(f)) {
            if (pixels.size) std::memset(pixels.bytes.get(), 0x5a, pixels.size);
            return;
        }
        uint32_t state = scene.seed;
        int rows = f.height < 0 ? -f.height : f.height;
        for (int r = 0; r < rows; ++r) {
            // Bottom-up formats keep the top picture row last in memory.
            int y = f.height < 0 ? r : rows - 1 - r;
            uint8_t* row = pixels.bytes.get() + int64_t(r) * f.szRow;
            for (int x = 0; x < f.width; ++x) {
                uint8_t v = scene.at(x, y, index, state);
                for (int c = 0; c < f.szPixel; ++c) row[int64_t(x) * f.szPixel + c] = uint8_t(v + c * 7);
            }
            for (int64_t p = int64_t(f.width) * f.szPixel; p < f.szRow; ++p) row[p] = 0xee;
        }
        // Now and then a frame without pixel memory.
        if (in.chance(40)) words.bits = nullptr;
    }
    const dib_base* dib() const { return ip_asDib(&words); }
};

// Clicks (mostly inside the picture) and now and then an event of another kind.
inline void addEvents(doubles::EventList& events, Input& in, const ip_fmtWords& f) {
    int n = int(in.pick(4));
    for (int i = 0; i < n; ++i) {
        int w = f.width > 0 && f.width < 4096 ? f.width : 64;
        int h = f.height != 0 && f.height > -4096 && f.height < 4096 ? (f.height < 0 ? -f.height : f.height) : 64;
        if (in.chance(6)) {
            events.add(in.number(0, 8), in.number(0, 2), in.number(-10, w + 10), in.number(-10, h + 10));
        } else {
            events.click(in.number(-3, w + 3), in.number(-3, h + 3));
        }
    }
}

// Reads every byte of an image the module hands out, so that a wrong size is a report.
inline uint32_t touch(const dib_base* image) {
    if (!image) return 0;
    const ip_dibWords* w = ip_dibWordsOf(image);
    if (!w->bits) return 0;
    int64_t rows = w->height < 0 ? -int64_t(w->height) : int64_t(w->height);
    uint32_t sum = 0;
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t p = 0; p < int64_t(w->width) * w->szPixel; ++p) sum = sum * 31 + w->bits[r * w->szRow + p];
    return sum;
}

}  // namespace fuzz
