// One line per track: where and when it was, how far and how fast it went.
#pragma once

#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace ambrevo {

struct TrackPoint {
    long long frame = 0;
    long long track = 0;
    double x = 0, y = 0;  // pixels
    bool missing = false;
    int arena = 0;                                             // 1..n, 0 outside every arena
    double time_s = std::numeric_limits<double>::quiet_NaN();  // the frame's own time, when known
};

struct SummarySettings {
    double pixels_per_unit = 0;  // 0: lengths stay in pixels
    std::string unit = "px";     // the unit's name when pixels_per_unit > 0
    double fps = 0;              // 0: times stay in frames and rows' time_s is not used
    int arenas = 0;              // the number of arenas, for the same columns on every line
};

struct TrackSummary {
    long long track = 0;
    long long first_frame = 0, last_frame = 0;  // first and last frame seen
    long long frames_seen = 0;
    double path_length = 0;                                        // units (pixels without a scale)
    double mean_speed = std::numeric_limits<double>::quiet_NaN();  // units per second (per frame without times)
    double max_speed = std::numeric_limits<double>::quiet_NaN();
    // Time seen in each arena, seconds with a frame rate, else frames: [0] outside every
    // arena, then arenas 1..n.
    std::vector<double> time_in_arena;
};

// One summary per track, in track order, from the rows of any order. Missing rows say only
// that the track was alive: they add no position, no step and no time.
//   path length   the sum of the straight steps between consecutive seen positions
//   time of a row with a frame rate, its time_s when known, else frame / fps; without
//                 one, its frame number (so speeds are per frame and times in frames)
//   mean speed    path length / (time last seen - time first seen); NaN when seen once
//   max speed     the largest step / its time, over steps between consecutive seen rows
//                 (a step across unseen frames is spread over them)
//   time in arena the frames seen there, / fps when a frame rate is given. Counting frames
//                 rather than differencing timestamps keeps a frame's time in the arena where
//                 it was seen, however irregular the timestamps.
// Throws std::invalid_argument when a track has two seen rows for one frame.
std::vector<TrackSummary> summarise_tracks(std::span<const TrackPoint> rows, const SummarySettings& settings);

// A header line naming each column with its unit, then one line per track. Numbers are
// written in their shortest exact form; an unknown speed is an empty field.
void write_summary_csv(std::ostream& out, std::span<const TrackSummary> summaries, const SummarySettings& settings);

}  // namespace ambrevo
