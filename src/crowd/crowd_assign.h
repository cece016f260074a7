// Optimal assignment: the pairing of rows with columns of a cost matrix of least total.
#pragma once

#include <vector>

// `cost` holds rows x cols values, row after row. When rows <= cols every row gets its own
// column, otherwise every column its own row; the sum of the chosen costs is the least
// possible. rowToCol[i] is row i's column, or -1 for a row left without one. Costs must be
// finite.
void crowd_assign(const std::vector<double>& cost, int rows, int cols, std::vector<int>& rowToCol);
