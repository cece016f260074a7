// State of one flow tracker: settings, grey planes, the tracked regions.
#pragma once

#include <cstdint>
#include <vector>

#include "flowtrack/MItem.h"
#include "flowtrack/detect.h"
#include "flowtrack/search.h"
#include "image/dib.h"

struct flowtrack_impl {
    // Allocates the destination image, the planes for `format` and the search table.
    explicit flowtrack_impl(const dib_fmt& format);

    // Frees and allocates the planes again for W x |H| pixels of `format`.
    void allocatePlanes(const dib_fmt& format);

    flowtrack_settings settings;
    flowtrack_searchTable searchTable;
    int32_t stageTicks[4] = {};  // copying, optical flow, active rays, annotating
    dib_base dst;
    // Packed W x |H| planes: row r starts at r * W.
    std::vector<uint8_t> prevPlane;
    std::vector<uint8_t> curPlane;
    std::vector<uint8_t> workPlane;
    std::vector<uint8_t> bgPlane;
    std::vector<int32_t> bgSum;
    // The frame converted to grey bytes, kept between frames so that a frame allocates no image.
    dib_base grey;
    flowtrack_detectScratch detectScratch;
    bool initialised = false;
    int32_t BinThreshold = 120;
    bool drawsAim = false;
    bool drawsContour = true;
    bool smartTracking = true;
    int32_t Algoritam = 2;     // 1 one object, 2 several, 3 frame difference, 4 background
    int32_t BrojObjekata = 1;  // expected number of objects (1..5)
    MList regions;
    int32_t frameCount = 0;
    // Frames on which a detection ran out of region labels (flowtrack_regionLimits); kept over
    // every frame the instance processed, reformats included.
    int64_t framesOverRegionLimit = 0;
};
