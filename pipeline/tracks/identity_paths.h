// The animals' paths through the fragments: a minimum-cost flow, and a search that improves
// its paths where one may have taken another's animal (identity.h).
#pragma once

#include <vector>

#include "tracks/identity_fragments.h"
#include "tracks/identity_looks.h"

namespace ambrevo::identity_detail {

struct Paths {
    std::vector<int> label;  // per fragment: its path, or -1
    std::vector<int> next;   // per fragment: the next fragment on its path, or -1
    int count = 0;
};

// No join weighs more (or less) than this many nats in cover(): the flow's integers stay
// small, and no one comparison outweighs everything else.
constexpr double joinCostCap = 30;

// `paths` paths through the fragments, each joining fragments end to start by `joins`, of
// least total `cost` (nats, one per join, taken within joinCostCap) among those that cover
// the most rows. Paths are numbered by their first frame; a fragment no path covers has
// label -1.
Paths cover(const std::vector<Fragment>& fragments, const std::vector<Join>& joins, const std::vector<double>& cost,
            int paths);

// Where two paths pass each other, one of them may have carried on with the other's animal.
// Exchanges the rest of two paths, or the stretch up to one of the next places they pass each
// other, wherever that makes the whole likelier: the looks of every fragment about the mean of
// its path's other fragments (the means following each exchange, so that two paths that each
// mixed the same two animals both come clean; a fragment far from every mean weighs less than
// its distance, so that one odd fragment cannot decide) and the joins' motion (`cost` of each
// of `joins`, nats). A path that ended may likewise take the rest of another from a join
// whose motion is the likelier than the other's. Stops when no exchange helps.
void improve_by_swaps(const std::vector<Fragment>& fragments, const std::vector<LookSummary>& looks,
                      const LookModel& model, const std::vector<Join>& joins, const std::vector<double>& cost,
                      Paths& paths);

}  // namespace ambrevo::identity_detail
