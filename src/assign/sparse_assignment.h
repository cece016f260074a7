// The matching of greatest total weight in a sparse bipartite graph: which left item goes
// with which right item when only some pairs are allowed, each pair with its weight.
//
// Header-only and written with the C++ standard library alone, so that every layer may use
// it: the module's procedures as well as the pipeline's linkers and `ambrevo score`.
//
// Items that no chain of allowed pairs connects cannot influence each other, so each group
// (a connected component of the pairs) is solved on its own by successive shortest
// augmenting paths (Dijkstra with potentials, the Hungarian method on the pairs alone): exact,
// memory linear in the pairs, time at worst the group's smaller side times its pairs times a
// logarithm, and in practice far less, as a new item's path seldom reaches far. A bound on the
// group size keeps the worst case bounded too: the pairs are then taken heaviest first into
// groups of at most that many items, as long as joining two groups stays within the bound;
// each group so formed is solved exactly, and the pairs left between groups are added
// heaviest first where both items are still free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ambrevo::assign {

struct Edge {
    int32_t left = 0, right = 0;
    int64_t weight = 0;  // > 0; the larger, the better the pair
};

namespace detail {

// Union-find over the left items followed by the right items, with group sizes.
class Groups {
public:
    explicit Groups(size_t n) : parent_(n), size_(n, 1) { std::iota(parent_.begin(), parent_.end(), int32_t{0}); }
    int32_t find(int32_t i) {
        while (parent_[size_t(i)] != i) i = parent_[size_t(i)] = parent_[size_t(parent_[size_t(i)])];
        return i;
    }
    // Joins the groups of a and b when together they hold at most `largest` items (0: any).
    bool join(int32_t a, int32_t b, size_t largest) {
        a = find(a), b = find(b);
        if (a == b) return true;
        if (largest > 0 && size_[size_t(a)] + size_[size_t(b)] > largest) return false;
        if (a > b) std::swap(a, b);
        parent_[size_t(b)] = a, size_[size_t(a)] += size_[size_t(b)];
        return true;
    }
    size_t size(int32_t i) { return size_[size_t(find(i))]; }

private:
    std::vector<int32_t> parent_;
    std::vector<size_t> size_;
};

// One group's exact solution. Rows are the group's smaller side; every row either takes a
// column or stays unmatched, which costs as much as the heaviest pair weighs, so that costs
// (heaviest - weight) are never negative and least cost is greatest weight.
class GroupSolver {
public:
    // `pairs`: (row, column, weight) in local numbers; returns each row's column or -1.
    const std::vector<int32_t>& solve(size_t rows, size_t columns, const std::vector<Edge>& pairs) {
        build(rows, columns, pairs);
        for (int32_t s = 0; s < int32_t(rows); ++s) augment(s);
        for (int32_t& c : rowColumn_)
            if (c == kUnmatched) c = -1;
        return rowColumn_;
    }

private:
    static constexpr int32_t kUnmatched = -2;
    static constexpr int64_t kFar = std::numeric_limits<int64_t>::max() / 4;
    struct Arc {
        int32_t column;
        int64_t cost;
    };
    using Entry = std::pair<int64_t, int32_t>;  // distance; column, or columns + row for "unmatched"

    void build(size_t rows, size_t columns, const std::vector<Edge>& pairs) {
        heaviest_ = 1;
        for (const Edge& e : pairs) heaviest_ = std::max(heaviest_, e.weight);
        first_.assign(rows + 1, 0);
        for (const Edge& e : pairs) ++first_[size_t(e.left) + 1];
        std::partial_sum(first_.begin(), first_.end(), first_.begin());
        arcs_.resize(pairs.size());
        std::vector<size_t> next(first_.begin(), first_.end() - 1);
        for (const Edge& e : pairs) arcs_[next[size_t(e.left)]++] = {e.right, heaviest_ - e.weight};
        rowPotential_.assign(rows, 0), rowDistance_.assign(rows, 0);
        columnPotential_.assign(columns, 0), distance_.assign(columns, kFar);
        columnRow_.assign(columns, -1), from_.assign(columns, -1), settled_.assign(columns, false);
        rowColumn_.assign(rows, -1);
    }

    // One more row into the assignment: the cheapest path of alternating pairs from it to a
    // free column, or to leaving some row of the path unmatched.
    void augment(int32_t s) {
        const int32_t columns = int32_t(columnRow_.size());
        heap_.clear(), expanded_.assign(1, s), reached_.clear();
        rowDistance_[size_t(s)] = 0;
        expand(s, 0);
        int64_t end = 0;
        int32_t target = -1;
        while (!heap_.empty()) {
            std::pop_heap(heap_.begin(), heap_.end(), std::greater<Entry>());
            const auto [d, x] = heap_.back();
            heap_.pop_back();
            if (x >= columns || columnRow_[size_t(x)] < 0) {
                end = d, target = x;
                break;
            }
            if (settled_[size_t(x)] || d > distance_[size_t(x)]) continue;
            settled_[size_t(x)] = true;
            const int32_t r = columnRow_[size_t(x)];
            rowDistance_[size_t(r)] = d, expanded_.push_back(r);
            expand(r, d);
        }
        // Potentials move so that every pair keeps a reduced cost of at least 0 and the path's are 0.
        for (int32_t r : expanded_) rowPotential_[size_t(r)] += rowDistance_[size_t(r)] - end;
        for (int32_t c : reached_) {
            if (settled_[size_t(c)]) columnPotential_[size_t(c)] += distance_[size_t(c)] - end;
            distance_[size_t(c)] = kFar, settled_[size_t(c)] = false;
        }
        flip(s, target, columns);
    }

    void push(int64_t d, int32_t x) {
        heap_.push_back({d, x});
        std::push_heap(heap_.begin(), heap_.end(), std::greater<Entry>());
    }

    void expand(int32_t r, int64_t d) {
        const int32_t columns = int32_t(columnRow_.size());
        for (size_t k = first_[size_t(r)]; k < first_[size_t(r) + 1]; ++k) {
            const Arc& a = arcs_[k];
            if (settled_[size_t(a.column)]) continue;
            const int64_t nd = d + a.cost + rowPotential_[size_t(r)] - columnPotential_[size_t(a.column)];
            if (nd >= distance_[size_t(a.column)]) continue;
            if (distance_[size_t(a.column)] == kFar) reached_.push_back(a.column);
            distance_[size_t(a.column)] = nd, from_[size_t(a.column)] = r;
            push(nd, a.column);
        }
        push(d + heaviest_ + rowPotential_[size_t(r)], columns + r);
    }

    // Along the path back from its end: each row takes the column it reached.
    void flip(int32_t s, int32_t target, int32_t columns) {
        int32_t c = target;
        if (target >= columns) {
            const int32_t r = target - columns;
            c = rowColumn_[size_t(r)];
            rowColumn_[size_t(r)] = kUnmatched;
            if (r == s) return;
        }
        for (;;) {
            const int32_t r = from_[size_t(c)];
            const int32_t before = rowColumn_[size_t(r)];
            rowColumn_[size_t(r)] = c, columnRow_[size_t(c)] = r;
            if (r == s) return;
            c = before;
        }
    }

    int64_t heaviest_ = 1;
    std::vector<size_t> first_;
    std::vector<Arc> arcs_;
    std::vector<int64_t> rowPotential_, rowDistance_, columnPotential_, distance_;
    std::vector<int32_t> columnRow_, rowColumn_, from_, expanded_, reached_;
    std::vector<bool> settled_;
    std::vector<Entry> heap_;
};

// The pairs heaviest first; ties by left, then right item, so that the result never depends
// on the order the pairs were given in.
inline void heaviestFirst(std::span<const Edge> edges, std::vector<size_t>& order) {
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Edge &x = edges[a], &y = edges[b];
        if (x.weight != y.weight) return x.weight > y.weight;
        return x.left != y.left ? x.left < y.left : x.right < y.right;
    });
}

// The pairs of each group, the groups one after the other in the order of their roots;
// `between`: the pairs joining two groups, heaviest first.
struct Grouping {
    std::vector<size_t> inside, between;
    std::vector<size_t> first;  // group g's pairs are inside[first[g], first[g + 1])
};

inline Grouping group(size_t left_count, size_t right_count, std::span<const Edge> edges, size_t largest_group) {
    const int32_t nl = int32_t(left_count);
    std::vector<size_t> valid;
    for (size_t k = 0; k < edges.size(); ++k) {
        const Edge& e = edges[k];
        if (e.weight > 0 && e.left >= 0 && e.right >= 0 && size_t(e.left) < left_count && size_t(e.right) < right_count)
            valid.push_back(k);
    }
    Groups whole(left_count + right_count), groups(left_count + right_count);
    for (size_t k : valid) whole.join(edges[k].left, nl + edges[k].right, 0);
    // A component beyond the bound is cut: its pairs heaviest first into groups within it.
    std::vector<size_t> cut;
    for (size_t k : valid)
        if (largest_group > 0 && whole.size(edges[k].left) > largest_group)
            cut.push_back(k);
        else
            groups.join(edges[k].left, nl + edges[k].right, 0);
    heaviestFirst(edges, cut);
    Grouping g;
    for (size_t k : cut)
        if (!groups.join(edges[k].left, nl + edges[k].right, largest_group)) g.between.push_back(k);
    std::erase_if(g.between, [&](size_t k) { return groups.find(edges[k].left) == groups.find(nl + edges[k].right); });
    // The pairs inside groups, by group (a counting sort on the roots).
    std::vector<size_t> start(left_count + right_count + 1, 0);
    std::vector<int32_t> root(edges.size(), -1);
    for (size_t k : valid)
        if (const int32_t a = groups.find(edges[k].left); a == groups.find(nl + edges[k].right))
            root[k] = a, ++start[size_t(a) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    g.inside.resize(start.back());
    for (size_t item = 0; item + 1 < start.size(); ++item)
        if (start[item + 1] > start[item]) g.first.push_back(start[item]);
    g.first.push_back(start.back());
    for (size_t k : valid)
        if (root[k] >= 0) g.inside[start[size_t(root[k])]++] = k;
    return g;
}

// Solves the group of the pairs inside[begin, end) exactly and writes its pairs into `result`.
class GroupsSolver {
public:
    GroupsSolver(size_t left_count, size_t right_count) : nl_(int32_t(left_count)), local_(left_count + right_count, -1) {}

    void solve(std::span<const Edge> edges, std::span<const size_t> group, std::vector<int32_t>& result) {
        if (group.size() == 1) {
            result[size_t(edges[group[0]].left)] = edges[group[0]].right;
            return;
        }
        lefts_.clear(), rights_.clear(), pairs_.clear();
        for (size_t k : group) {
            const Edge& e = edges[k];
            for (auto [item, list] : {std::pair{e.left, &lefts_}, std::pair{nl_ + e.right, &rights_}})
                if (local_[size_t(item)] < 0) local_[size_t(item)] = int32_t(list->size()), list->push_back(item);
        }
        // Rows on the group's smaller side: one shortest path search per row.
        const bool byLeft = lefts_.size() <= rights_.size();
        for (size_t k : group) {
            const int32_t l = local_[size_t(edges[k].left)], r = local_[size_t(nl_ + edges[k].right)];
            pairs_.push_back(byLeft ? Edge{l, r, edges[k].weight} : Edge{r, l, edges[k].weight});
        }
        const std::vector<int32_t>& chosen = byLeft ? solver_.solve(lefts_.size(), rights_.size(), pairs_)
                                                    : solver_.solve(rights_.size(), lefts_.size(), pairs_);
        for (size_t row = 0; row < chosen.size(); ++row) {
            if (chosen[row] < 0) continue;
            const int32_t l = byLeft ? lefts_[row] : lefts_[size_t(chosen[row])];
            const int32_t r = byLeft ? rights_[size_t(chosen[row])] : rights_[row];
            result[size_t(l)] = r - nl_;
        }
        for (int32_t item : lefts_) local_[size_t(item)] = -1;
        for (int32_t item : rights_) local_[size_t(item)] = -1;
    }

private:
    int32_t nl_;
    std::vector<int32_t> local_, lefts_, rights_;
    std::vector<Edge> pairs_;
    GroupSolver solver_;
};

}  // namespace detail

// For each of the `left_count` left items, the right item it is matched to, or -1: among all
// matchings that use only `edges` (each item at most once), one of greatest total weight.
// `largest_group` (0: no bound) bounds the items of a group solved exactly, as described
// above. Edges naming items outside the counts, or of weight <= 0, are ignored. Throws
// std::length_error for 2^31 items or more.
inline std::vector<int32_t> best_matching(size_t left_count, size_t right_count, std::span<const Edge> edges,
                                          size_t largest_group = 0) {
    // Items are numbered in 32 bits, both sides together.
    if (left_count + right_count >= size_t(std::numeric_limits<int32_t>::max()))
        throw std::length_error("best_matching: more than 2^31 items");
    std::vector<int32_t> result(left_count, -1);
    const detail::Grouping g = detail::group(left_count, right_count, edges, largest_group);
    detail::GroupsSolver solver(left_count, right_count);
    for (size_t k = 0; k + 1 < g.first.size(); ++k)
        solver.solve(edges, std::span<const size_t>(g.inside).subspan(g.first[k], g.first[k + 1] - g.first[k]), result);
    // Between groups, heaviest first where both items are free.
    std::vector<bool> rightTaken(right_count, false);
    for (int32_t r : result)
        if (r >= 0) rightTaken[size_t(r)] = true;
    for (size_t k : g.between) {
        const Edge& e = edges[k];
        if (result[size_t(e.left)] < 0 && !rightTaken[size_t(e.right)])
            result[size_t(e.left)] = e.right, rightTaken[size_t(e.right)] = true;
    }
    return result;
}

}  // namespace ambrevo::assign
