// Every row's animal once the fragments have theirs (identity.h): the rows of a fragment take
// its animal, the rows in contact with other animals those of the fragments on either side.
#pragma once

#include <span>
#include <vector>

#include "ambrevo/pipeline/tracks/identity.h"

namespace ambrevo::identity_detail {

// One group's fragments as labelled: per fragment its animal (or -1) and how sure that is.
struct Labelled {
    std::vector<int> label;
    std::vector<double> sure;
};

// How much a row's own claim to its animal weighs when two rows of one frame claim one.
enum Claim { splitClaim = 0, sideClaim = 1, bothSidesClaim = 2, fragmentClaim = 3 };

struct Given {
    int label = -1;
    double sure = 0;
    Claim claim = splitClaim;
    int other = -1;  // a row in contact between two animals: the other one
};

// The animal of every member (rows of one group, by frame; `fragment_of` each row's fragment
// or -1): a fragment's rows take its animal. The rows of a track between two of its fragments
// (or before the first, after the last) were in contact with other animals: they take the
// animal of the fragment on either side, and where the two differ, the animal changed tracks
// in the contact, at the frame it came closest to another object (looked for within `reach`):
// where bodies overlap, a linker takes one for the other. Tracks that exchanged animals in one
// contact (two that swapped, or around a cycle of three or more) turn on one frame, where the
// rows lie likeliest on the animals' straight ways between their fragments (`body`: the distance
// at which objects touch), if that is clearly likelier than the closest approach and the rows
// moved fast enough to have carried the animals along those ways.
std::vector<Given> give_rows(std::span<const IdentityRow> rows, const std::vector<int>& members,
                             const std::vector<int>& fragment_of, const Labelled& labelled, double reach, double body);

// One row per animal and frame (of `animals`): where two rows claim one animal, the stronger
// claim keeps it; of two like claims, the surer, unless one lies further than `step` (a
// linker's step) from where the animal's fragments before and after the frame put it and the
// other at most half as far: that one is on the animal's way. The other takes the other animal
// of its contact if no row of the frame holds that one, else none.
void one_each(std::span<const IdentityRow> rows, const std::vector<int>& members, int animals, double step,
              std::vector<Given>& given);

// The rows of a track left without an animal (a track that began and ended in contact: two
// animals resting side by side, closer than they touch, have no fragment) take the animal that
// no row holds on any of their frames and whose sightings could have reached them at `step` a
// frame (missFrom), with no sureness, when they rested (many rows, within a body's width) and it
// is the only such animal, and no other such run on any of their frames could be it: with the
// count known, an animal at rest is reported rather than lost, and no guess is made between two.
void give_free(std::span<const IdentityRow> rows, const std::vector<int>& members, int animals, double step,
               std::vector<Given>& given);

// Two animals whose rows in a contact (within `reach` of each other) are exchanged for a frame
// or a few and exchanged back: where keeping each on the other row of those frames makes both
// ways clearly shorter, a body was fitted onto the neighbour for those frames, and the rows
// change animals back. A real exchange (a linker's swap) is for good, and no exchange back.
void unflip(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach,
            std::vector<Given>& given);

}  // namespace ambrevo::identity_detail
