// A single curve across the image built from the longest mostly horizontal chains.
#pragma once

#include "cctrack/chain.h"

// Fills `out` with one point per column 0 .. width - 1. When no chain (or joined pair)
// covers enough of the width every point is (0, -1, -1).
void buildReferenceChain(const chain_list& chains, int width, chain& out);
