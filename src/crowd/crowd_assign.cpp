#include "crowd/crowd_assign.h"

#include <cstddef>
#include <limits>

// Shortest augmenting paths with row and column potentials (the Hungarian method in its
// O(n^2 m) form): each row in turn is added, and the assignment so far is re-routed along
// the cheapest path of reduced costs to a free column.
void crowd_assign(const std::vector<double>& cost, int rows, int cols, std::vector<int>& rowToCol) {
    rowToCol.assign(size_t(rows > 0 ? rows : 0), -1);
    if (rows <= 0 || cols <= 0) return;
    const bool flipped = rows > cols;
    const int n = flipped ? cols : rows, m = flipped ? rows : cols;
    auto at = [&](int i, int j) {
        return flipped ? cost[size_t(j) * size_t(cols) + size_t(i)] : cost[size_t(i) * size_t(cols) + size_t(j)];
    };
    const double inf = std::numeric_limits<double>::infinity();
    // 1-based, column 0 stands for the row being added.
    std::vector<double> u(size_t(n) + 1, 0.0), v(size_t(m) + 1, 0.0), least(size_t(m) + 1);
    std::vector<int> owner(size_t(m) + 1, 0), way(size_t(m) + 1, 0);
    std::vector<char> used(size_t(m) + 1);
    for (int i = 1; i <= n; ++i) {
        owner[0] = i;
        int j0 = 0;
        least.assign(size_t(m) + 1, inf);
        used.assign(size_t(m) + 1, 0);
        do {
            used[size_t(j0)] = 1;
            const int i0 = owner[size_t(j0)];
            double delta = inf;
            int j1 = 0;
            for (int j = 1; j <= m; ++j) {
                if (used[size_t(j)]) continue;
                const double reduced = at(i0 - 1, j - 1) - u[size_t(i0)] - v[size_t(j)];
                if (reduced < least[size_t(j)]) least[size_t(j)] = reduced, way[size_t(j)] = j0;
                if (least[size_t(j)] < delta) delta = least[size_t(j)], j1 = j;
            }
            for (int j = 0; j <= m; ++j) {
                if (used[size_t(j)])
                    u[size_t(owner[size_t(j)])] += delta, v[size_t(j)] -= delta;
                else
                    least[size_t(j)] -= delta;
            }
            j0 = j1;
        } while (owner[size_t(j0)] != 0);
        do {
            const int j1 = way[size_t(j0)];
            owner[size_t(j0)] = owner[size_t(j1)];
            j0 = j1;
        } while (j0 != 0);
    }
    for (int j = 1; j <= m; ++j) {
        if (owner[size_t(j)] == 0) continue;
        if (flipped)
            rowToCol[size_t(j - 1)] = owner[size_t(j)] - 1;
        else
            rowToCol[size_t(owner[size_t(j)] - 1)] = j - 1;
    }
}
