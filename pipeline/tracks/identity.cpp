#include "ambrevo/pipeline/tracks/identity.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

#include "tracks/identity_fragments.h"
#include "tracks/identity_looks.h"
#include "tracks/identity_paths.h"
#include "tracks/identity_rows.h"

namespace ambrevo {

using namespace identity_detail;

namespace {

// Rounds of learning the animals' looks from the paths and finding the paths again.
constexpr int refinements = 2;
// Frames a path may bridge between two fragments (animals in a heap for a while), and the
// joins weighed per fragment end.
constexpr long long reachFrames = 400;
constexpr size_t joinsPerEnd = 32;
// How far from a row in contact its nearest neighbour is looked for, in contact distances.
constexpr double nearReach = 4;

struct Group {
    std::vector<int> members;  // rows, by frame
    double contact = 0;
    std::vector<Fragment> fragments;
    std::vector<LookSummary> looks;
    std::vector<LookSummary> halves;  // of each fragment, first and second
    Matrix within{};
};

bool mostlyMidlines(std::span<const IdentityRow> rows, const std::vector<int>& members) {
    size_t with = 0;
    for (int i : members) with += rows[size_t(i)].looks.midline;
    return 2 * with >= members.size();
}

// The group's fragments and their looks; each row's fragment into `fragment_of`.
Group prepare(std::span<const IdentityRow> rows, std::vector<int> members, double step, std::vector<int>& fragment_of) {
    Group g;
    std::stable_sort(members.begin(), members.end(),
                     [&](int a, int b) { return rows[size_t(a)].frame < rows[size_t(b)].frame; });
    g.members = std::move(members);
    g.contact = contact_distance(rows, g.members);
    g.fragments = cut_fragments(rows, g.members, g.contact, step, fragment_of);
    const bool midline = mostlyMidlines(rows, g.members);
    auto features = [&](size_t f, size_t k) {
        return features_of(rows[size_t(g.fragments[f].rows[k])].looks, midline);
    };
    for (size_t f = 0; f < g.fragments.size(); ++f) {
        std::vector<Features> each;
        for (size_t k = 0; k < g.fragments[f].rows.size(); ++k) each.push_back(features(f, k));
        g.looks.push_back(summarise(each));
        const auto middle = each.begin() + long(each.size() / 2);
        g.halves.push_back(summarise({each.begin(), middle}));
        g.halves.push_back(summarise({middle, each.end()}));
    }
    g.within = within_spread(g.looks, features);
    return g;
}

// The fragments labelled by their linked tracks, numbered from 0.
std::vector<int> trackLabels(const Group& g, int& labels) {
    std::map<long long, int> number;
    std::vector<int> label;
    for (const Fragment& f : g.fragments) label.push_back(number.emplace(f.track, int(number.size())).first->second);
    labels = int(number.size());
    return label;
}

// Pairs of fragments seen at the same time, long enough to tell their means: surely two
// animals. At most a few per fragment (those that began nearest in time before it), enough
// to learn how the animals differ.
std::vector<std::pair<int, int>> apart(const std::vector<Fragment>& fragments) {
    constexpr size_t perFragment = 8;
    constexpr size_t longEnough = 10;
    std::vector<int> order;
    for (size_t f = 0; f < fragments.size(); ++f)
        if (fragments[f].rows.size() >= longEnough) order.push_back(int(f));
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return fragments[size_t(a)].first < fragments[size_t(b)].first; });
    std::vector<std::pair<int, int>> pairs;
    for (size_t k = 0; k < order.size(); ++k) {
        size_t found = 0;
        for (size_t j = k; j-- > 0 && found < perFragment;)
            if (fragments[size_t(order[j])].last >= fragments[size_t(order[k])].first)
                pairs.push_back({order[j], order[k]}), ++found;
    }
    return pairs;
}

double capped(double nats) { return std::clamp(nats, -joinCostCap, joinCostCap); }

// Joins weighed by their motion and by how alike the two fragments look.
std::vector<double> pairCosts(const Group& g, const std::vector<Join>& joins, const LookModel& model) {
    std::vector<double> cost;
    for (const Join& j : joins)
        cost.push_back(j.motion + capped(-model.sameness(g.looks[size_t(j.from)], g.looks[size_t(j.to)])));
    return cost;
}

std::vector<std::vector<double>> posteriors(const Group& g, const LookModel& model) {
    std::vector<std::vector<double>> p;
    for (const LookSummary& s : g.looks) p.push_back(posterior(model.distances(s)));
    return p;
}

// Joins weighed by their motion and by how likely the two fragments are one of the
// `animals`, by each one's posterior over them.
std::vector<double> animalCosts(const std::vector<Join>& joins, const std::vector<std::vector<double>>& p,
                                int animals) {
    std::vector<double> cost;
    for (const Join& j : joins) {
        const std::vector<double>&a = p[size_t(j.from)], &b = p[size_t(j.to)];
        double agree = 0;
        for (size_t k = 0; k < a.size(); ++k) agree += a[k] * b[k];
        cost.push_back(j.motion + capped(-std::log(std::max(1e-300, agree * animals))));
    }
    return cost;
}

// How sure each fragment's animal is: its posterior by its looks among the animals it could
// have been taken for, those of the fragments a path could have come from or gone on to.
std::vector<double> sureness(const std::vector<int>& label, const std::vector<Join>& joins,
                             const std::vector<std::vector<double>>& p) {
    std::vector<std::vector<int>> rivals(label.size());
    for (const Join& j : joins) {
        rivals[size_t(j.to)].push_back(label[size_t(j.from)]);
        rivals[size_t(j.from)].push_back(label[size_t(j.to)]);
    }
    std::vector<double> sure(label.size(), 0.0);
    for (size_t f = 0; f < label.size(); ++f) {
        if (label[f] < 0) continue;
        std::sort(rivals[f].begin(), rivals[f].end());
        rivals[f].erase(std::unique(rivals[f].begin(), rivals[f].end()), rivals[f].end());
        double all = p[f][size_t(label[f])];
        for (int r : rivals[f])
            if (r >= 0 && r != label[f]) all += p[f][size_t(r)];
        sure[f] = all > 0 ? p[f][size_t(label[f])] / all : 0;
    }
    return sure;
}

void poll(const StopToken& stop) {
    if (const int request = stop.request()) throw StopRequested(request);
}

// The animals' paths: first by motion and fragments that look alike (the spreads learned
// with the linked tracks as labels), then by motion and the animals' looks learned from the
// paths, each time improved by swaps.
Labelled labelFragments(std::span<const IdentityRow> rows, const Group& g, int animals, const IdentitySettings& s,
                        const StopToken& stop) {
    const std::vector<Join> joins =
        join_candidates(rows, g.members, g.fragments, learn_motion(rows, g.fragments), s.max_step, g.contact,
                        reachFrames, joinsPerEnd);
    std::vector<double> motion;
    for (const Join& j : joins) motion.push_back(j.motion);
    const LookModel unlabelled = LookModel::unlabelled(g.within, g.looks, g.halves, apart(g.fragments));
    Paths paths = cover(g.fragments, joins, pairCosts(g, joins, unlabelled), animals);
    for (int round = 0;; ++round) {
        poll(stop);
        improve_by_swaps(g.fragments, g.looks, LookModel::learn(g.within, g.looks, paths.label, animals), joins, motion,
                         paths);
        if (round == refinements) break;
        const LookModel model = LookModel::learn(g.within, g.looks, paths.label, animals);
        paths = cover(g.fragments, joins, animalCosts(joins, posteriors(g, model), animals), animals);
    }
    const std::vector<std::vector<double>> p = posteriors(g, LookModel::learn(g.within, g.looks, paths.label, animals));
    return {paths.label, sureness(paths.label, joins, p)};
}

// A group without a count keeps its tracks, numbered from `offset` in the order they first
// appear; how sure each row is says how well its fragment's looks agree with the rest of its
// track. Returns the number of tracks.
long long keepTracks(std::span<const IdentityRow> rows, const Group& g, const std::vector<int>& fragment_of,
                     long long offset, std::vector<Identity>& out) {
    int tracks = 0;
    Labelled l{trackLabels(g, tracks), {}};
    const std::vector<std::vector<double>> p = posteriors(g, LookModel::learn(g.within, g.looks, l.label, tracks));
    for (size_t f = 0; f < g.fragments.size(); ++f) l.sure.push_back(p[f][size_t(l.label[f])]);
    const std::vector<Given> given = give_rows(rows, g.members, fragment_of, l, nearReach * g.contact, g.contact);
    std::map<long long, long long> number;
    for (size_t k = 0; k < g.members.size(); ++k) {
        const IdentityRow& r = rows[size_t(g.members[k])];
        if (r.track < 0) continue;
        const long long id = number.emplace(r.track, static_cast<long long>(number.size())).first->second;
        out[size_t(g.members[k])] = {offset + id, given[k].sure};
    }
    return static_cast<long long>(number.size());
}

// The rows of each group, refusing what cannot be rows.
std::map<int, std::vector<int>> groupsOf(std::span<const IdentityRow> rows) {
    std::map<int, std::vector<int>> groups;
    std::map<std::pair<long long, long long>, int> seen;  // (track, frame)
    for (size_t i = 0; i < rows.size(); ++i) {
        const IdentityRow& r = rows[i];
        if (!std::isfinite(r.x) || !std::isfinite(r.y))
            throw std::invalid_argument("an object of frame " + std::to_string(r.frame) + " has no finite position");
        if (r.group < 0) throw std::invalid_argument("a negative group");
        if (r.track >= 0 && !seen.emplace(std::make_pair(r.track, r.frame), 0).second)
            throw std::invalid_argument("track " + std::to_string(r.track) + " holds two objects in frame " +
                                        std::to_string(r.frame));
        groups[r.group].push_back(int(i));
    }
    return groups;
}

}  // namespace

std::vector<Identity> identify(std::span<const IdentityRow> rows, const IdentitySettings& settings,
                               const StopToken& stop) {
    std::map<int, std::vector<int>> groups = groupsOf(rows);
    std::vector<Identity> out(rows.size());
    std::vector<int> fragment_of(rows.size(), -1);
    long long offset = 0;
    for (auto& [group, members] : groups) {
        poll(stop);
        const int animals = size_t(group) < settings.animals.size() ? settings.animals[size_t(group)] : 0;
        const Group g = prepare(rows, std::move(members), settings.max_step, fragment_of);
        if (animals <= 0) {
            offset += keepTracks(rows, g, fragment_of, offset, out);
            continue;
        }
        std::vector<Given> given =
            give_rows(rows, g.members, fragment_of, labelFragments(rows, g, animals, settings, stop),
                      nearReach * g.contact, g.contact);
        one_each(rows, g.members, animals, settings.max_step, given);
        give_free(rows, g.members, animals, settings.max_step, given);
        unflip(rows, g.members, nearReach * g.contact, given);
        for (size_t k = 0; k < g.members.size(); ++k)
            out[size_t(g.members[k])] = {given[k].label < 0 ? -1 : offset + given[k].label, given[k].sure};
        offset += animals;
    }
    return out;
}

}  // namespace ambrevo
