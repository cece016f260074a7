// Splitting a blob that holds several animals into one object per animal.
#pragma once

#include <vector>

#include "crowd/crowd_blobs.h"

struct crowd_point {
    double x, y;
};

class crowd_splitter {
public:
    // Cuts blob `blob` into k parts by k-means over its pixels, each weighted by its
    // contrast, starting from `seeds` (where the animals in it are expected; the first k
    // are used, and when there are fewer, the pixels farthest from the seeds so far are
    // added). `parts` receives one sum per part, none of them empty unless the blob has
    // fewer than k pixels.
    void split(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs, const dib_base& weight,
               const dib_base& grey, int k, const std::vector<crowd_point>& seeds, std::vector<crowd_moments>& parts);

private:
    struct pixel {
        int32_t x, y;
        int32_t w, grey;
        int32_t group;
    };
    // Index of the centre nearest to p (the first of equals).
    static int nearest(const pixel& p, const std::vector<crowd_point>& centres);

    struct centre_sum {
        int64_t count, w, wx, wy;
    };
    std::vector<pixel> pixels_;
    std::vector<crowd_point> centres_;
    std::vector<centre_sum> centreSums_;
};
