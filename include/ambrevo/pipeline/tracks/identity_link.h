// The whole-run linker's tracks made the animals' identities (identity.h): what
// `--link ...,global --animals N` writes for a procedure that reports its objects' looks, and
// ambrevo.link(method="global", animals=N) gives for rows that carry them.
#pragma once

#include <span>
#include <vector>

#include "ambrevo/pipeline/tracks/identity.h"
#include "ambrevo/pipeline/tracks/link_global.h"

namespace ambrevo {

struct IdentifiedRows {
    // As link_global returns them (ordered by frame, each seen row with `row` its index in the
    // input), `track` each row's identity.
    std::vector<LinkedRow> rows;
    std::vector<double> confidence;  // of each input row, in [0, 1]
};

// Links `rows` (their `track` is not read) over the whole run as link_global does with
// `settings` and each group's count in `animals`, then gives them identify()'s identities: a
// row's `track` is its animal's identity (numbered over the groups in order, group 0's animals
// first), -1 for a row none of the animals' paths takes, and a missing row stands for each frame
// an identity was not seen between two sightings, at its last seen position: a row's animal may
// have come from another linked track, so the linker's own gaps say nothing of it. Throws as
// link_global and identify() do; `stop` is polled as both poll it.
IdentifiedRows link_identities(std::span<const IdentityRow> rows, const LinkSettings& settings,
                               std::span<const int> animals, const StopToken& stop = {});

}  // namespace ambrevo
