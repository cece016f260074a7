// Linking a whole run's objects at once, for `--link ...,global` and ambrevo.link(method="global").
//
// Frame by frame, the optimal step of the online linker chains objects into pieces, but only
// where the step is clear: where another object is nearly as close to a track's prediction,
// or another track's prediction nearly as close to an object, the piece ends there and a new
// one starts. Two animals that touch or cross are such places, and there the online linker
// must guess. The pieces are then joined across the whole run by a minimum-cost flow (LEMON's
// network simplex): a join costs how far each piece's motion, carried over the gap, misses
// the other piece, so a heading that goes on after a crossing decides which piece is whose,
// with the frames after the crossing as evidence as well as those before.
//
// With the number of animals known (per group: an arena, or the whole frame), exactly that
// many paths go through each group's pieces, each piece covered at most once and as many
// objects covered as the joins allow; a piece left over (an object seen more often than there
// are animals) keeps an identity of its own. Without it, every piece is covered, and a new
// identity costs as much as two steps of the full gate, as in the online linker.
//
// Kept free of OpenCV so that the Python extension can compile it as it is.
#pragma once

#include <span>
#include <vector>

#include "ambrevo/pipeline/core/stop.h"
#include "ambrevo/pipeline/tracks/track_link.h"

namespace ambrevo {

struct GroupedRow {
    long long frame = 0;
    double x = 0, y = 0;
    int group = 0;  // >= 0: objects of different groups are never linked
};

// Links `rows` (any order) with `settings` (max_step, memory, predict). `animals[g]`, when
// given and > 0, is the number of animals in group g. Returns the rows as link_table does:
// each row with `row` = its index in `rows`, and a `missing` row for each frame a track was
// not seen between two sightings, at its last seen position; ordered by frame, the rows of a
// frame in their input order, then the missing rows by track. Tracks are numbered from 0 in
// the order they first appear. Throws std::invalid_argument for bad settings, a negative
// group or a position that is not finite.
//
// `stop` is polled between frames of every pass; once it asks, StopRequested is thrown within
// a fraction of a second. The flow, which cannot be polled, then runs to its end on a thread
// of its own that nobody waits for, and frees what it holds.
std::vector<LinkedRow> link_global(std::span<const GroupedRow> rows, LinkSettings settings,
                                   std::span<const int> animals = {}, const StopToken& stop = {});

// The rows of each of `tracks` (indices into `rows` in frame order; the k-th is track k), with a
// missing row for each frame a track was not seen between two sightings, at its last seen
// position, and the `loose` rows, which belong to no track (track -1); ordered as link_global
// orders them.
std::vector<LinkedRow> track_rows(std::span<const GroupedRow> rows, const std::vector<std::vector<int>>& tracks,
                                  std::span<const int> loose = {});

}  // namespace ambrevo
