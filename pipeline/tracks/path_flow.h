// Paths through pieces of tracks by a minimum-cost flow (LEMON's network simplex): the
// whole-run linker's (link_global.h) and the identity pass's (identity.h).
#pragma once

#include <vector>

#include "ambrevo/pipeline/core/stop.h"

namespace ambrevo {

struct PathJoin {
    int from = 0, to = 0;  // pieces: `to` may follow `from` on one path
    long long cost = 0;
};

struct PathCover {
    std::vector<int> next;      // per piece: the piece after it on its path, or -1
    std::vector<bool> covered;  // per piece: whether a path goes through it
};

// At most `paths` paths, each a chain of pieces joined by `joins`, each piece on one path at
// most, of least total cost: a covered piece costs `cover[k]` (negative: covering it earns),
// a path costs `start` to begin and the costs of its joins. With covering earning more than
// any join costs, the paths cover as many pieces as the joins allow. The flow runs on a
// thread of its own while this one polls `stop` (network simplex cannot be asked to stop):
// once it asks, StopRequested is thrown and the flow is left to finish alone.
PathCover cover_paths(const std::vector<long long>& cover, const std::vector<PathJoin>& joins, int paths,
                      long long start, const StopToken& stop = {});

}  // namespace ambrevo
