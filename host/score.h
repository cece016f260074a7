// `ambrevo score`: how well a track file follows the true positions, in the two measures the
// tracking literature compares by.
//
// CLEAR-MOT (K. Bernardin, R. Stiefelhagen, "Evaluating Multiple Object Tracking Performance:
// The CLEAR MOT Metrics", EURASIP Journal on Image and Video Processing, 2008): frame by
// frame, each true object is matched to at most one reported position within a radius; a
// match of the previous frame is kept while it stays within the radius, the rest are matched
// by an optimal assignment (the most matches, then the least total distance). Unmatched true
// positions are misses, unmatched reported ones false positives, and a true object matched to
// another identity than the one it was last matched to is an identity switch.
//     MOTA = 1 - (misses + false positives + switches) / true positions
//     MOTP = mean distance of the matches, in pixels
//
// IDF1 (E. Ristani, F. Solera, R. Zou, R. Cucchiara, C. Tomasi, "Performance Measures and a
// Data Set for Multi-Target, Multi-Camera Tracking", ECCV 2016 workshops): every true
// identity is paired with at most one reported identity for the whole video, by the optimal
// bipartite matching that maximises IDTP, the frames on which paired identities are within
// the radius of each other.
//     IDP = IDTP / reported positions, IDR = IDTP / true positions,
//     IDF1 = 2 IDTP / (true positions + reported positions)
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/stop.h"

namespace ambrevo {

struct ScorePoint {
    long long frame = 0;
    long long id = 0;  // the true object, or the reported track
    double x = 0, y = 0;
};

struct ScoreResult {
    long long frames = 0;  // frames that hold a true or a reported position
    long long truth = 0, reported = 0;
    long long matches = 0, misses = 0, false_positives = 0, switches = 0;
    double distance = 0;  // sum over the matches
    long long idtp = 0;

    double mota() const { return truth > 0 ? 1.0 - double(misses + false_positives + switches) / double(truth) : 0; }
    double motp() const { return matches > 0 ? distance / double(matches) : 0; }
    double recall() const { return truth > 0 ? double(matches) / double(truth) : 0; }
    double idp() const { return reported > 0 ? double(idtp) / double(reported) : 0; }
    double idr() const { return truth > 0 ? double(idtp) / double(truth) : 0; }
    double idf1() const { return truth + reported > 0 ? 2.0 * double(idtp) / double(truth + reported) : 0; }
};

// Scores `reported` against `truth` (rows in any order) with matches at most `radius` pixels
// apart. Throws std::invalid_argument when an identity appears twice in one frame of either,
// or the radius is not a positive number; StopRequested when `stop` asks.
//
// Costs: each frame's matching takes the pairs within the radius (each position's 32 nearest,
// kNearestPartners) and solves groups of up to 1,000 exactly (kLargestLinkGroup, beyond which
// a group is cut heaviest pair first); the identity matching takes only the pairs of
// identities that ever came within the radius and is exact at any size. Memory is linear in
// the rows.
ScoreResult score_tracks(std::span<const ScorePoint> truth, std::span<const ScorePoint> reported, double radius,
                         const StopToken& stop = {});

// A truth file: CSV with at least the columns frame, object, x, y; '#' lines are comments.
// Throws std::runtime_error with a one-line message naming the file and line, StopRequested
// when `stop` asks. A pipe is read as well; a folder or a device is refused.
std::vector<ScorePoint> read_truth(const std::string& file, const StopToken& stop = {});

// A track file as `ambrevo --tracks` writes it, CSV or JSON: the identity is the `track` of a
// linked file, else the `object`; rows a linked file marks `missing` are no positions seen.
std::vector<ScorePoint> read_track_file(const std::string& file, const StopToken& stop = {});

// `ambrevo score TRACKS TRUTH [--radius PX]`, with argv[0] = "score"; returns the exit status
// (130 or 143 when `stop` asked, after one line on `err`).
int score_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const StopToken& stop = {});

}  // namespace ambrevo
