// Selection, gap filling and thinning of linked chains.
#pragma once

#include "cctrack/chain.h"

// Keeps at most 60 chains (30 greatest by point order, then 30 by mean strength when
// there are 60 or more) and rewrites each one as a gap-free, thinned 8-connected path.
// `out` is resized to the number of chains filtered.
void postLinkFilter(const chain_list& in, chain_list& out);
