// Connected groups of object pixels (blobs) and what their pixels say about them.
#pragma once

#include <cstdint>
#include <vector>

#include "crowd/crowd_runs.h"
#include "image/dib.h"

// Sums over an object's pixels, each weighted by its contrast: the centre, spread and
// shape follow from them.
struct crowd_moments {
    int64_t area = 0;  // pixels
    double w = 0, wx = 0, wy = 0, wxx = 0, wyy = 0, wxy = 0;
    double grey = 0;  // sum of the grey values

    void add(int32_t x, int32_t y, int weight, int greyValue) {
        const double v = weight, vx = v * x, vy = v * y;
        ++area;
        w += v, wx += vx, wy += vy, wxx += vx * x, wyy += vy * y, wxy += vx * y;
        grey += greyValue;
    }
    void add(const crowd_moments& o) {
        area += o.area;
        w += o.w, wx += o.wx, wy += o.wy, wxx += o.wxx, wyy += o.wyy, wxy += o.wxy;
        grey += o.grey;
    }
};

// An object as the tracker sees it.
struct crowd_object {
    double x = 0, y = 0;     // contrast-weighted centre, pixel centres at whole numbers
    double area = 0;         // pixels
    double intensity = 0;    // mean grey value
    double orientation = 0;  // of the long axis, radians in (-pi/2, pi/2], from x towards y
    double elongation = 1;   // long over short axis, at least 1
    double weight = 0;       // sum of the contrasts
};

crowd_object crowd_describe(const crowd_moments& m);

struct crowd_blob {
    crowd_moments moments;
    int32_t x0, y0, x1, y1;  // bounding box, inclusive
    int32_t firstRun;        // into crowd_blobs::order
    int32_t runCount;
};

// The blobs of one frame: runs joined where they touch, diagonally included.
class crowd_blobs {
public:
    // Labels the runs of `weight` (the runs found in it) and sums each blob's pixels.
    void label(const dib_base& weight, const dib_base& grey, const std::vector<crowd_run>& runs,
               const std::vector<int32_t>& rowStart);

    const std::vector<crowd_blob>& blobs() const { return blobs_; }
    // The runs of blob b: order()[blobs()[b].firstRun + i] for i < runCount.
    const std::vector<int32_t>& order() const { return order_; }
    // Blob of run r.
    int32_t blobOf(int32_t run) const { return runBlob_[size_t(run)]; }

private:
    int32_t root(int32_t r);

    std::vector<int32_t> parent_, runBlob_, order_;
    std::vector<crowd_blob> blobs_;
};

// Sums the pixels of one run into `m`.
void crowd_addRun(const crowd_run& run, const dib_base& weight, const dib_base& grey, crowd_moments& m);
