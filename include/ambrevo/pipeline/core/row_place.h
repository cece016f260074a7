// What a run adds to each row after the procedure's own columns: when, which track, where.
// Kept as numbers from the arenas and linkers to the outputs; only the text outputs write them.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <vector>

// The columns a run may add, in the order it adds them; which it adds depends on the options
// (a time, linking, arenas, a scale, a live input).
enum class PlaceColumn { time, track, missing, arena, unitX, unitY, capture, done };

struct TrackColumn {
    std::string name;  // as the track file's header names it: "time_s", "x_mm", ...
    PlaceColumn what;
};

// A row's values of those columns. NaN (or noTrack) where not known: an empty cell.
struct RowPlace {
    static constexpr long long noTrack = std::numeric_limits<long long>::min();
    double time = NAN;         // seconds from the input's start
    long long track = noTrack; // the linked track; not yet known while the run links at its end
    bool missing = false;      // a linked track's row for a frame it was not seen in
    int arena = 0;             // the first arena that holds the centre, from 1; 0: none
    double unitX = NAN, unitY = NAN;  // the centre in the --unit
    double capture = NAN, done = NAN; // a live frame's capture and the moment its rows were ready
};
