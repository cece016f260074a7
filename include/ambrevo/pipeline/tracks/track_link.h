// Linking each frame's objects into tracks with stable identities.
//
// Kept free of OpenCV so that the Python extension can compile it as it is.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "ambrevo/pipeline/core/link_settings.h"

namespace ambrevo {

struct LinkPoint {
    double x = 0, y = 0;
};

// The globally optimal links between the positions `from` (the live tracks) and `to` (this
// frame's objects): for each of `from`, the index in `to` it continues as, or -1. No pair
// further apart than `max_step` is linked. Among all such matchings it picks one of least
//     sum of squared steps of the linked pairs + max_step^2 * (unlinked `from` + unlinked `to`),
// so an unlinked object costs as much as a step of the full gate and every pair inside the
// gate is worth linking. Squared steps make two moderate steps cheaper than one long and
// one short, which is what keeps identities through crossings. Pairs that no chain of gated
// pairs connects cannot influence each other, so each connected group is solved on its own:
// 200 scattered objects become many small problems instead of one 200 x 200 one. The cost of
// a step is bounded however dense the objects: see kNearestPartners and kLargestLinkGroup.
std::vector<int> link_step(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step);

// How many partners within the gate each point considers: its nearest ones. Beyond this many,
// a point is in a crowd so dense that a step to a farther partner is no identity worth keeping,
// and the bound keeps the pairs, and with them memory and time, linear in the points.
constexpr size_t kNearestPartners = 32;
// The most tracks and objects solved together exactly in one step (sparse_assignment.h):
// larger groups, which only crowds far denser than the gate make, are cut heaviest pair first.
constexpr size_t kLargestLinkGroup = 1000;

// The pairs from[i], to[j] at most `max_step` apart, with their squared distance, ordered by i.
// A pair is left out only when both its points have `nearest` nearer partners within the gate.
struct GatedPair {
    int from, to;
    double d2;
};
std::vector<GatedPair> gated_pairs(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step,
                                   size_t nearest = kNearestPartners);

// "MAX_STEP[,MEMORY]", e.g. "12" or "12,5". Throws std::invalid_argument with a one-line message.
LinkSettings parse_link_option(std::string_view given);

struct Detection {
    double x = 0, y = 0;
    long long row = -1;  // the caller's own reference (its row of the frame), handed back untouched
};

struct LinkedRow {
    long long frame = 0;
    long long track = 0;
    double x = 0, y = 0;
    bool missing = false;  // a live track not seen in this frame, at its last seen position
    long long row = -1;    // the detection's `row`; -1 for missing rows
};

// Online linking, one frame at a time. A track that is not seen keeps its identity while it
// has been unseen for at most `memory` frames (counted in frame numbers, so skipped frames
// count too); it is then linked from its last seen position (or its prediction) with the
// same gate as any other track. A gate that grows with the gap would reach further for
// long-lost tracks, but it also lets them steal newcomers far away, and a fixed gate is the
// easier to reason about. With `predict`, the velocity is a running mean of the track's steps
// (each spread over the frames it spans), every older step weighing half as much as the next:
// steadier than the last step alone, quick enough to follow a turn.
class TrackLinker {
public:
    // Throws std::invalid_argument when max_step is not a positive number or memory < 0.
    explicit TrackLinker(LinkSettings settings);

    // Links `frame` (strictly greater than the previous one; throws std::invalid_argument
    // otherwise or on a non-finite position). Returns one row per detection, in the input
    // order, then one `missing` row per live track not seen, in track order. New tracks are
    // numbered from 0 upwards in the order their first detections come. A track unseen for
    // more than `memory` frames ends; the missing rows it produced until then stay (the
    // linker cannot know in advance that it will not return).
    std::vector<LinkedRow> push(long long frame, std::span<const Detection> detections);

    long long tracks_started() const { return next_id_; }
    int live_tracks() const { return static_cast<int>(live_.size()); }

private:
    struct Track {
        long long id;
        double x, y;
        long long last_seen;
        double vx = 0, vy = 0;  // per frame; 0 until seen twice
        long long seen = 1;
    };
    LinkSettings settings_;
    std::vector<Track> live_;
    long long next_id_ = 0;
    long long last_frame_ = 0;
    bool started_ = false;
};

struct TableRow {
    long long frame = 0;
    double x = 0, y = 0;
};

// Links a whole table (rows in any order). Frame numbers between the first and the last that
// have no rows are frames without objects, so they get missing rows too, as do the frames
// after the last row up to `last_frame` (the run's last frame, when later). Returns the
// detections' rows with `row` = their index in `rows`, and the missing rows, ordered by frame.
std::vector<LinkedRow> link_table(std::span<const TableRow> rows, LinkSettings settings,
                                  long long last_frame = std::numeric_limits<long long>::min());

}  // namespace ambrevo
