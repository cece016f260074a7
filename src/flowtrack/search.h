// The "optical flow" stage: move each region by the displacement that best matches the
// windows around its ray ends between two grey planes, and mark covered ray ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flowtrack/MItem.h"

// Largest SearchWindow the correlation table holds.
constexpr int MaxSearchWindow = 150;
// Largest CorrelationWindow the dialogue accepts: a 41 x 41 window, wider than the
// objects the tracker follows. The window's pixels multiply the cost of every tried
// displacement of every ray, so an unchecked value could stall a run.
constexpr int MaxCorrelationWindow = 20;
// Table value of a displacement that leaves the image for some ray.
constexpr int64_t ExcludedDisplacement = 2000000000;

// The correlation sums of one search, one entry per tried displacement. Each tracker
// owns one, made with the tracker, so that a search allocates nothing and two trackers
// never share it. Entries are 64-bit: a window sum added to an excluded entry, or many
// rays with a wide window, must not wrap.
class flowtrack_searchTable {
public:
    flowtrack_searchTable();

    // Entry for displacement (a, b) of the last region searched.
    int64_t entry(int a, int b) const { return cells_[index(b + offset_, a + offset_)]; }

private:
    friend void searchFlow(const flowtrack_settings&, flowtrack_searchTable&, int, int, const uint8_t*,
                           const uint8_t*, MList&);
    friend void searchFlowPlain(const flowtrack_settings&, flowtrack_searchTable&, int, int, const uint8_t*,
                                const uint8_t*, MList&);
    // Rows of equal b: the vector search fills a run of displacements along x at once.
    static size_t index(int row, int column) { return size_t(row) * side + size_t(column); }
    static constexpr size_t side = 2 * MaxSearchWindow + 1;

    std::vector<int64_t> cells_;
    int offset_ = 0;
    // Scratch of the vector search, grown on demand and kept: the current plane around a
    // region as pairs of neighbouring pixels, and one row of window sums.
    std::vector<uint32_t> pairs_;
    std::vector<int32_t> rowSums_;
};

// Moves the centre of every region of the list; throws "Too large SearchWindow !" when
// SearchWindow exceeds MaxSearchWindow, before any region is touched.
void searchFlow(const flowtrack_settings& settings, flowtrack_searchTable& table, int W, int H,
                const uint8_t* prevPlane, const uint8_t* curPlane, MList& list);

// The same search one displacement and one pixel at a time: the definition the vector
// search is checked against, and what runs when AMBREVO_SCALAR=1 is set.
void searchFlowPlain(const flowtrack_settings& settings, flowtrack_searchTable& table, int W, int H,
                     const uint8_t* prevPlane, const uint8_t* curPlane, MList& list);


// Recomputes `occluded` of every region (N rays each): how many other regions cover each ray end.
void markOcclusions(MList& list, int N);
