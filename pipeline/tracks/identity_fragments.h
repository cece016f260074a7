// Where a linked track is surely one animal: the fragments of identity.h, and the joins that
// may carry an animal from the end of one fragment to the start of another.
#pragma once

#include <vector>

#include "ambrevo/pipeline/tracks/identity.h"
#include "ambrevo/pipeline/tracks/track_link.h"

namespace ambrevo::identity_detail {

struct Fragment {
    long long track = -1;
    std::vector<int> rows;  // indices into the rows, one per frame, consecutive frames
    long long first = 0, last = 0;
    LinkPoint start, end;
    double svx = 0, svy = 0, evx = 0, evy = 0;  // velocity over the first and the last few frames
};

// For each member (rows of one group, by frame), how far the nearest other object of its
// frame lies; infinity beyond `reach`.
std::vector<double> nearest_other(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach);

// How near another object's centre may come before a row no longer counts as alone: half the
// animals' typical length (the median over the rows of the midline's length, or the diameter
// of a round object).
double contact_distance(std::span<const IdentityRow> rows, const std::vector<int>& members);

// The fragments of one group's rows (`members`, indices into rows, by frame): the runs of rows
// of one track in consecutive frames that are not cut out of a blob, have no other object
// within `contact`, are of an animal's size (within four times either way of the rows' median
// area: no speck, no heap) and never step further than `step` (which no linker would link: the
// tracks may come from elsewhere). A track never alone also has a fragment in each stretch of
// fifty rows or more where it rested, within a quarter of the rows' median width of the
// stretch's first row: two animals resting side by side from the first frame, closer than they
// touch. Each row's fragment, or -1, goes to `fragment_of` (sized to rows).
std::vector<Fragment> cut_fragments(std::span<const IdentityRow> rows, const std::vector<int>& members, double contact,
                                    double step, std::vector<int>& fragment_of);

struct Join {
    int from = 0, to = 0;  // fragments
    double motion = 0;     // nats: how unlikely the motion across the gap is
};

// How the animals move: for a gap of `frames`, the spread of where an animal turns up about
// where its motion was heading.
struct MotionModel {
    double still = 2;   // pixels, over one frame: where the centre is measured
    double speed = 1;   // pixels per frame, typical
    double fast = 2;    // pixels per frame, seldom exceeded
    // About where the motion was heading, and about where the animal was last seen.
    double heading(long long frames) const { return still + 0.5 * speed * double(frames); }
    double wander(long long frames) const { return still + speed * double(frames); }
    // How far from where an animal was a linker's `step` and a fast animal's way over `frames` reach.
    double gate(double step, long long frames) const { return step + fast * double(frames); }
};
MotionModel learn_motion(std::span<const IdentityRow> rows, const std::vector<Fragment>& fragments);

// The joins worth weighing: from each fragment's end to the starts of fragments that begin
// after it, within `reach` frames, no further off than the step plus a fast animal's way over
// the gap from where the animal was last seen alone, or from where its track last was; at most
// the `keep` most likely per fragment end. A fragment of another track is weighed only where
// the animal could have passed to that track: along tracks that touch (within the step and a
// fast animal's way over a frame), or onto one that begins near where such a track went
// unseen. Over a long contact (a heap) the animal's own motion tells little of where it comes
// out, but its linked track (among the rows of `members`, a group's, by frame) went with it,
// or with a body touching it: the track's last row before a fragment starts puts the animal
// within `body` pixels of it (the distance at which objects touch) plus its way since. Where that
// is sharper than where the animal's own motion leads (a contact long for the animal's speed), a
// join costs the less of the two.
std::vector<Join> join_candidates(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                  const std::vector<Fragment>& fragments, const MotionModel& motion, double step,
                                  double body, long long reach, size_t keep);

}  // namespace ambrevo::identity_detail
