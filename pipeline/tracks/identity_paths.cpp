#include "tracks/identity_paths.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "tracks/path_flow.h"

namespace ambrevo::identity_detail {

namespace {

// Rounds of exchanges at most: each one makes the whole likelier, so this only bounds the work.
constexpr int rounds = 100;
// A stretch two paths exchange ends at one of the next few places they pass each other after
// it begins: the work grows with the run's length, not with its square.
constexpr size_t laterCrossings = 8;
// Two exchanges in a row: the first may cost up to this many nats, the likeliest this many
// such are tried, and the second begins within this many frames of it.
constexpr double promising = 20;
constexpr size_t triedFirsts = 200;
constexpr long long nearFrames = 100;
// Nats: a fragment's distance from its path's mean counts in full up to about this, and
// beyond it only as its logarithm (a fragment of a ghost, or of an animal half hidden).
constexpr double oddFragment = 10;
// Nats: an exchange must make the whole at least this much likelier. Less is within what the
// looks and the motion can tell, and each exchange risks two switches of identity.
constexpr double worthExchanging = 0.5;

struct Sums {
    Features sum{}, weight{};
    void add(const LookSummary& s, double sign) {
        for (size_t d = 0; d < featureCount; ++d)
            if (s.count[d] > 0) sum[d] += sign * s.count[d] * s.mean[d], weight[d] += sign * s.count[d];
    }
    void add(const Sums& s, double sign) {
        for (size_t d = 0; d < featureCount; ++d) sum[d] += sign * s.sum[d], weight[d] += sign * s.weight[d];
    }
};

// Paths p and q exchange p's fragments from b1 up to (not including) b2 for q's from d1 up to
// d2 (-1: to the end of the path). Where p has ended (b1 = -1), it takes the rest of q from d1
// on after its last fragment `end`, and q ends.
struct Exchange {
    int p = -1, q = -1, b1 = -1, d1 = -1, b2 = -1, d2 = -1;
    double motion = 0;  // nats the joins change by
    int end = -1;
};

// Where path p (through a -> b) and path q (through c -> d) pass each other: a -> d and
// c -> b are joins worth weighing too. Where p ended at a (b = -1), a -> d is, if its motion
// is the likelier: an animal that stayed in a heap to the end leaves its path free to carry
// on with an animal that came out, but with no animal of its own after the end to compare,
// the looks of a few short fragments alone do not move one there.
struct Crossing {
    int a, b, c, d;
    double motion;
};

class Search {
public:
    Search(const std::vector<Fragment>& fragments, const std::vector<LookSummary>& looks, const LookModel& model,
           const std::vector<Join>& joins, const std::vector<double>& cost, Paths& paths)
        : looks_(looks), model_(model), paths_(paths), previous_(looks.size(), -1), sums_(size_t(paths.count)) {
        for (const Fragment& f : fragments) frames_.push_back(f.first);
        for (size_t j = 0; j < joins.size(); ++j) cost_[{joins[j].from, joins[j].to}] = cost[j];
        for (size_t j = 0; j < joins.size(); ++j) from_[joins[j].from].push_back(joins[j].to);
        for (size_t f = 0; f < looks.size(); ++f) {
            spreads_.push_back(paths.label[f] >= 0 ? model.spread(looks[f]) : LookModel::Spread{});
            if (paths.next[f] >= 0) previous_[size_t(paths.next[f])] = int(f);
            if (paths.label[f] >= 0) sums_[size_t(paths.label[f])].add(looks[f], 1);
        }
    }

    // The exchanges that make the whole likelier, the likeliest first, each of two paths no
    // other exchange of this round touched; false when none does.
    bool improve() {
        refresh();
        std::map<std::pair<int, int>, std::vector<Crossing>> byPair;  // the crossings of each two paths
        for (const Crossing& c : allCrossings()) {
            const int p = paths_.label[size_t(c.a)], q = paths_.label[size_t(c.c)];
            byPair[{std::min(p, q), std::max(p, q)}].push_back(c);
        }
        std::vector<std::pair<double, Exchange>> better;
        for (auto& [pair, crossings] : byPair) {
            std::sort(crossings.begin(), crossings.end(),
                      [&](const Crossing& x, const Crossing& y) { return start(x) < start(y); });
            for (size_t i = 0; i < crossings.size(); ++i)
                for (size_t j = i; j < std::min(crossings.size(), i + 1 + laterCrossings); ++j) {
                    Exchange x;
                    if (!exchange(crossings[i], j == i ? nullptr : &crossings[j], x)) continue;
                    if (const double change = changeOf(x); change < -worthExchanging) better.push_back({change, x});
                }
        }
        std::sort(better.begin(), better.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<bool> touched(size_t(paths_.count), false);
        for (const auto& [change, x] : better) {
            if (touched[size_t(x.p)] || touched[size_t(x.q)]) continue;
            touched[size_t(x.p)] = touched[size_t(x.q)] = true;
            apply(x);
        }
        return !better.empty();
    }

    // Two exchanges of the rest of two paths, the second touching a path of the first and
    // beginning near it, where neither alone makes the whole likelier but both do: three paths
    // that passed one another's animals round. Whether it made any.
    bool improveByTwo() {
        refresh();
        std::vector<std::pair<double, Crossing>> firsts;
        for (const Crossing& c : allCrossings()) {
            if (c.b < 0) continue;  // improve() weighs those of a path that ended
            Exchange x;
            exchange(c, nullptr, x);
            if (const double change = changeOf(x); change < promising) firsts.push_back({change, c});
        }
        std::sort(firsts.begin(), firsts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        if (firsts.size() > triedFirsts) firsts.resize(triedFirsts);
        for (const auto& [change, c] : firsts) {
            Exchange x;
            exchange(c, nullptr, x);
            apply(x);
            refresh(x.p, x.q);
            Exchange second;
            if (change + bestNear(c, x, second) < -1e-6) {
                apply(second);
                return true;
            }
            apply({x.p, x.q, c.d, c.b, -1, -1, 0});  // undone
            refresh(x.p, x.q);
        }
        return false;
    }

private:
    // The places along the paths and the scatter of the paths `p` and `q` (-1: of every path).
    void refresh(int p = -1, int q = -1) {
        number();
        if (p < 0) scatters_.assign(size_t(paths_.count), 0.0);
        for (size_t f = 0; f < looks_.size(); ++f) {
            const int label = paths_.label[f];
            if (label >= 0 && previous_[f] < 0 && (p < 0 || label == p || label == q))
                scatters_[size_t(label)] = scatter(int(f), -1, sums_[size_t(label)]);
        }
    }

    // The best exchange of the rest of a path of x with a third path, at a join that ends
    // within `nearFrames` of crossing c.
    double bestNear(const Crossing& c, const Exchange& x, Exchange& best) const {
        std::vector<Crossing> near;
        for (size_t a = 0; a < looks_.size(); ++a)
            if (paths_.label[a] >= 0 && std::abs(frames_[a] - start(c)) <= nearFrames) crossingsFrom(int(a), near);
        double least = std::numeric_limits<double>::infinity();
        for (const Crossing& y : near) {
            if (y.b < 0) continue;
            Exchange z;
            exchange(y, nullptr, z);
            const bool third = (z.p == x.p || z.q == x.p || z.p == x.q || z.q == x.q) && !(z.p == x.p && z.q == x.q) &&
                               !(z.p == x.q && z.q == x.p);
            if (!third) continue;
            if (const double change = changeOf(z); change < least) least = change, best = z;
        }
        return least;
    }

    long long start(const Crossing& c) const {
        return c.b < 0 ? frames_[size_t(c.d)] : std::min(frames_[size_t(c.b)], frames_[size_t(c.d)]);
    }

    // Each fragment's place along its path, for telling which of two comes first.
    void number() {
        place_.assign(looks_.size(), -1);
        for (size_t f = 0; f < looks_.size(); ++f) {
            if (previous_[f] >= 0 || paths_.label[f] < 0) continue;
            int k = 0;
            for (int g = int(f); g >= 0; g = paths_.next[size_t(g)]) place_[size_t(g)] = k++;
        }
    }

    std::vector<Crossing> allCrossings() const {
        std::vector<Crossing> out;
        for (size_t a = 0; a < looks_.size(); ++a) crossingsFrom(int(a), out);
        return out;
    }
    // The crossings at the join after fragment a, each once (from the path of the lower label).
    void crossingsFrom(int a, std::vector<Crossing>& out) const {
        const int b = paths_.next[size_t(a)];
        const auto options = from_.find(a);
        if (options == from_.end() || paths_.label[size_t(a)] < 0) return;
        for (int d : options->second) {
            const int p = paths_.label[size_t(a)], q = paths_.label[size_t(d)], c = previous_[size_t(d)];
            if (q < 0 || q == p || c < 0) continue;
            const double ad = joinCost(a, d), cd = joinCost(c, d);
            if (b < 0) {
                if (ad < cd) out.push_back({a, b, c, d, ad - cd});
                continue;
            }
            const double cb = joinCost(c, b);
            if (cb < 0) continue;
            if (p < q)
                out.push_back({a, b, c, d, ad + cb - joinCost(a, b) - cd});
            else
                out.push_back({c, d, a, b, ad + cb - joinCost(a, b) - cd});
        }
    }

    // The exchange from crossing x on (a suffix) or, with y, between x and a later crossing of
    // the same two paths. False when y is not such a crossing.
    bool exchange(const Crossing& x, const Crossing* y, Exchange& out) const {
        out = {paths_.label[size_t(x.a)], paths_.label[size_t(x.c)], x.b, x.d, -1, -1, x.motion, x.a};
        if (!y) return true;
        if (x.b < 0 || y->b < 0) return false;
        Crossing z = *y;  // as seen from p
        if (paths_.label[size_t(z.a)] == out.q) z = {z.c, z.d, z.a, z.b, z.motion};
        if (place_[size_t(z.a)] < place_[size_t(x.b)] || place_[size_t(z.c)] < place_[size_t(x.d)]) return false;
        out.b2 = z.b, out.d2 = z.d, out.motion += z.motion;
        return true;
    }

    // A label's mean without one fragment of it: a fragment is judged against the others, so
    // that a path of few fragments is not the better for fitting its own.
    Features meanWithout(const Sums& s, const LookSummary& f) const {
        Features m = model_.population();
        for (size_t d = 0; d < featureCount; ++d) {
            const double weight = s.weight[d] - f.count[d];
            if (weight > 0.5) m[d] = (s.sum[d] - f.count[d] * f.mean[d]) / weight;
        }
        return m;
    }
    // Whether nothing else of label `s` was seen in any of the looks of fragment `f`.
    static bool alone(const Sums& s, const LookSummary& f) {
        for (size_t d = 0; d < featureCount; ++d)
            if (s.weight[d] - f.count[d] > 0.5) return false;
        return true;
    }
    // The looks' scatter of the fragments from `first` on along its path up to, not including,
    // `stop`, each about the rest of its label `s`. A fragment alone on its path has nothing to
    // scatter about: weighed against the population instead, a path of one distinctive fragment
    // would seem to fit better with any other animal's fragment added than alone.
    double scatter(int first, int stop, const Sums& s) const {
        double sum = 0;
        for (int f = first; f >= 0 && f != stop; f = paths_.next[size_t(f)]) {
            if (alone(s, looks_[size_t(f)])) continue;
            const double d = LookModel::distance(spreads_[size_t(f)], looks_[size_t(f)], meanWithout(s, looks_[size_t(f)]));
            sum += oddFragment * std::log1p(d / oddFragment);
        }
        return sum;
    }
    Sums sumsOf(int first, int stop) const {
        Sums s;
        for (int f = first; f >= 0 && f != stop; f = paths_.next[size_t(f)]) s.add(looks_[size_t(f)], 1);
        return s;
    }
    int head(int f) const {
        while (previous_[size_t(f)] >= 0) f = previous_[size_t(f)];
        return f;
    }
    double joinCost(int from, int to) const {
        const auto it = cost_.find({from, to});
        return it == cost_.end() ? -1 : it->second;
    }

    // How much likelier (negative) the whole becomes by the exchange.
    double changeOf(const Exchange& x) const {
        const Sums sp = sumsOf(x.b1, x.b2), sq = sumsOf(x.d1, x.d2);
        Sums np = sums_[size_t(x.p)], nq = sums_[size_t(x.q)];
        np.add(sp, -1), np.add(sq, 1), nq.add(sq, -1), nq.add(sp, 1);
        const int hp = head(x.b1 < 0 ? x.end : x.b1), hq = head(x.d1);
        const double before = scatters_[size_t(x.p)] + scatters_[size_t(x.q)];
        const double after = scatter(hp, x.b1, np) + scatter(x.d1, x.d2, np) + scatter(x.b2, -1, np) +
                             scatter(hq, x.d1, nq) + scatter(x.b1, x.b2, nq) + scatter(x.d2, -1, nq);
        return after - before + x.motion;
    }

    int lastBefore(int first, int stop) const {
        int last = first;
        for (int f = first; f >= 0 && f != stop; f = paths_.next[size_t(f)]) last = f;
        return last;
    }
    void link(int from, int to) {
        if (from >= 0) paths_.next[size_t(from)] = to;
        if (to >= 0) previous_[size_t(to)] = from;
    }
    void relabel(int first, int stop, int from, int to) {
        for (int f = first; f >= 0 && f != stop; f = paths_.next[size_t(f)]) {
            paths_.label[size_t(f)] = to;
            sums_[size_t(from)].add(looks_[size_t(f)], -1), sums_[size_t(to)].add(looks_[size_t(f)], 1);
        }
    }
    void apply(const Exchange& x) {
        const int a1 = x.b1 < 0 ? x.end : previous_[size_t(x.b1)], c1 = previous_[size_t(x.d1)];
        const int a2 = lastBefore(x.b1, x.b2), c2 = lastBefore(x.d1, x.d2);
        relabel(x.b1, x.b2, x.p, x.q);
        relabel(x.d1, x.d2, x.q, x.p);
        link(a1, x.d1), link(c1, x.b1);
        if (x.b2 >= 0 || x.d2 >= 0) link(c2, x.b2), link(a2, x.d2);
    }

    const std::vector<LookSummary>& looks_;
    const LookModel& model_;
    Paths& paths_;
    std::vector<int> previous_;
    std::vector<Sums> sums_;
    std::vector<LookModel::Spread> spreads_;
    std::map<std::pair<int, int>, double> cost_;
    std::map<int, std::vector<int>> from_;
    std::vector<int> place_;
    std::vector<double> scatters_;  // of each path, as the round began
    std::vector<long long> frames_;  // each fragment's first
};

}  // namespace

Paths cover(const std::vector<Fragment>& fragments, const std::vector<Join>& joins, const std::vector<double>& cost,
            int paths) {
    constexpr double unit = 1000;  // integer costs: thousandths of a nat
    // Covering a row earns more than any join costs, so the flow covers every row it can and
    // only then weighs the joins.
    const long long reward = std::llround(4 * joinCostCap * unit);
    std::vector<long long> covering;
    for (const Fragment& f : fragments) covering.push_back(-reward * static_cast<long long>(f.rows.size()));
    std::vector<PathJoin> weighed;
    for (size_t j = 0; j < joins.size(); ++j)
        weighed.push_back({joins[j].from, joins[j].to, std::llround(std::clamp(cost[j], -joinCostCap, joinCostCap) * unit)});
    const PathCover flow = cover_paths(covering, weighed, paths, 0);
    std::vector<bool> joinedTo(fragments.size(), false);
    for (int n : flow.next)
        if (n >= 0) joinedTo[size_t(n)] = true;
    std::vector<std::pair<long long, int>> heads;  // first frame, fragment
    for (size_t k = 0; k < fragments.size(); ++k)
        if (flow.covered[k] && !joinedTo[k]) heads.push_back({fragments[k].first, int(k)});
    std::sort(heads.begin(), heads.end());
    Paths out{std::vector<int>(fragments.size(), -1), flow.next, int(heads.size())};
    for (size_t id = 0; id < heads.size(); ++id)
        for (int k = heads[id].second; k >= 0; k = out.next[size_t(k)]) out.label[size_t(k)] = int(id);
    return out;
}

void improve_by_swaps(const std::vector<Fragment>& fragments, const std::vector<LookSummary>& looks,
                      const LookModel& model, const std::vector<Join>& joins, const std::vector<double>& cost,
                      Paths& paths) {
    Search search(fragments, looks, model, joins, cost, paths);
    for (int k = 0; k < rounds; ++k)
        if (!search.improve() && !search.improveByTwo()) break;
}

}  // namespace ambrevo::identity_detail
