// The sparse assignment against every matching, tried one by one, on small random graphs;
// its bound on a group's size; its costs on graphs too large for a dense matrix.
#include <gtest/gtest.h>

#include <random>

#include "assign/sparse_assignment.h"

using ambrevo::assign::best_matching;
using ambrevo::assign::Edge;

namespace {

// The greatest total weight of any matching, by trying every choice for each left item.
int64_t bestWeight(const std::vector<std::vector<int64_t>>& w, size_t left, std::vector<bool>& used) {
    if (left == w.size()) return 0;
    int64_t best = bestWeight(w, left + 1, used);  // left item unmatched
    for (size_t r = 0; r < used.size(); ++r)
        if (w[left][r] > 0 && !used[r]) {
            used[r] = true;
            best = std::max(best, w[left][r] + bestWeight(w, left + 1, used));
            used[r] = false;
        }
    return best;
}

// The total weight of `match`, which must be a matching over the edges.
int64_t weightOf(const std::vector<std::vector<int64_t>>& w, const std::vector<int32_t>& match) {
    std::vector<bool> used(w.empty() ? 0 : w[0].size(), false);
    int64_t total = 0;
    for (size_t l = 0; l < match.size(); ++l) {
        if (match[l] < 0) continue;
        EXPECT_GT(w[l][size_t(match[l])], 0) << "a pair that is no edge";
        EXPECT_FALSE(used[size_t(match[l])]) << "a right item taken twice";
        used[size_t(match[l])] = true;
        total += w[l][size_t(match[l])];
    }
    return total;
}

}  // namespace

TEST(SparseAssignment, EveryGroupIsSolvedExactly) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t nl = rng() % 8, nr = rng() % 8;
        // Few distinct weights make many ties; wide ones test the arithmetic.
        const int64_t top = trial % 3 == 0 ? 4 : trial % 3 == 1 ? 1000 : (int64_t(1) << 41);
        std::vector<std::vector<int64_t>> w(nl, std::vector<int64_t>(nr, 0));
        std::vector<Edge> edges;
        for (size_t l = 0; l < nl; ++l)
            for (size_t r = 0; r < nr; ++r)
                if (rng() % 3 == 0) {
                    w[l][r] = 1 + int64_t(rng() % uint64_t(top));
                    edges.push_back({int32_t(l), int32_t(r), w[l][r]});
                }
        std::shuffle(edges.begin(), edges.end(), rng);
        std::vector<bool> used(nr, false);
        const int64_t best = bestWeight(w, 0, used);
        const std::vector<int32_t> match = best_matching(nl, nr, edges);
        ASSERT_EQ(match.size(), nl);
        ASSERT_EQ(weightOf(w, match), best) << "trial " << trial;
        // Bounded groups: still a matching, and exact whenever the bound holds the whole graph.
        const std::vector<int32_t> bounded = best_matching(nl, nr, edges, 3);
        const int64_t got = weightOf(w, bounded);
        EXPECT_LE(got, best);
        EXPECT_EQ(best_matching(nl, nr, edges, nl + nr), match) << "trial " << trial;
    }
}

TEST(SparseAssignment, AGroupBeyondTheBoundIsCutHeaviestPairFirst) {
    // Exactly: L0-R1 and L1-R0 (18). Groups of two: L0-R0 (10) is taken first and keeps its
    // group; the pairs left between groups find no free item.
    const std::vector<Edge> edges{{0, 0, 10}, {0, 1, 9}, {1, 0, 9}};
    EXPECT_EQ(best_matching(2, 2, edges), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(best_matching(2, 2, edges, 2), (std::vector<int32_t>{0, -1}));
    // Groups of three, {L0 R0 R1} and {L1 L2 R2}, each leave an item free; the pair between
    // them joins those two.
    const std::vector<Edge> two{{0, 0, 10}, {2, 2, 10}, {0, 1, 9}, {1, 2, 9}, {1, 1, 1}};
    EXPECT_EQ(best_matching(3, 3, two, 3), (std::vector<int32_t>{0, 1, 2}));
    // Pairs naming items beyond the counts, or weighing nothing, are no pairs.
    EXPECT_EQ(best_matching(1, 1, std::vector<Edge>{{0, 3, 5}, {2, 0, 5}, {0, 0, 0}, {-1, 0, 4}}),
              (std::vector<int32_t>{-1}));
}

TEST(SparseAssignment, OneLeftItemAgainstManyAndAGroupOfAHundredThousand) {
    // One item against 100,000 (a dense square matrix would hold 10^10 cells): the heaviest.
    std::vector<Edge> star;
    for (int32_t r = 0; r < 100000; ++r) star.push_back({0, r, 1 + (r * 7919) % 100000});
    const std::vector<int32_t> one = best_matching(1, 100000, star);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(star[size_t(one[0])].weight, 100000);
    // A chain of 100,000 items, each pair a little heavier than the one before: every second pair.
    std::vector<Edge> chain;
    for (int32_t k = 0; k < 50000; ++k) chain.push_back({k, k, 2 * k + 2}), chain.push_back({k + 1, k, 2 * k + 3});
    const std::vector<int32_t> match = best_matching(50001, 50000, chain);
    EXPECT_EQ(match[0], -1);
    for (int32_t k = 1; k <= 50000; ++k) ASSERT_EQ(match[size_t(k)], k - 1) << k;
}
