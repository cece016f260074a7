// Region detection: threshold a grey plane, label the 4-connected dark components,
// measure them, trace their outer contours and turn the contours into rays.
#pragma once

#include <cstdint>
#include <vector>

#include "flowtrack/MItem.h"

// Memory the quick labelling keeps between frames; one per tracker, never shared.
struct flowtrack_detectScratch {
    struct Seed {
        int x, y;
    };
    struct Run {
        int y, left, right;
    };
    std::vector<Seed> seeds;
    std::vector<Run> runs;  // of the component filled last
};

// Thresholds src into mask (1 above the threshold byte, 0 at or below; the other way
// round when inverted), then labels, measures and traces the zero components into list
// (emptied first). Returns the number of regions, 0..125.
// With scratch, and unless AMBREVO_SCALAR=1, the quick labelling below does the work.
int detectRegions(const uint8_t* src, uint8_t* mask, int W, int H, MList& list, bool inverted, int threshold,
                  flowtrack_detectScratch* scratch = nullptr);

// detectRegions on a mask already thresholded, labelled the quick way: the components are
// found by a byte search and measured while they are filled, instead of a pass over the
// whole plane for every region. Same regions, same label image.
int detectInMask(uint8_t* mask, int W, int H, MList& list, flowtrack_detectScratch& scratch);

// Labels the zero components of the 0/1 mask with 3, 4, ... (dropped ones with 1) and
// appends a region per accepted component. Returns the number appended (0 on overflow).
int labelRegions(int W, int H, uint8_t* mask, MList& list);

// How many times a detection on this thread ran out of region labels (128): a frame then holds
// more regions than the tracker follows.
int64_t flowtrack_regionLimits();

// Replaces the 4-connected component of the seed's value by value; returns its size.
uint32_t fillRun(uint8_t* plane, int W, int H, int x, int y, uint8_t value);

// Area, bounding box and centre of the region's label; false when the label is absent.
bool regionStats(int W, int H, const uint8_t* labels, MRegion& region);

// Follows the region's outer boundary (8-neighbour), marking it with mark.
void traceContour(int W, int H, uint8_t* labels, MRegion& region, uint8_t mark);

// Sets the first N rays of every region of the list from its contour.
void raysFromContour(MList& list, int N);
