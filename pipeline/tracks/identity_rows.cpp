#include "tracks/identity_rows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "tracks/identity_fragments.h"


namespace ambrevo::identity_detail {

namespace {


// The rows of one track in contact (`run`, positions in the members), between the fragments
// `before` and `after` (-1: none).
void giveContact(const std::vector<size_t>& run, const std::vector<double>& near, const Labelled& l, int before,
                 int after, std::vector<Given>& given) {
    const int a = before >= 0 ? l.label[size_t(before)] : -1, b = after >= 0 ? l.label[size_t(after)] : -1;
    const double sa = before >= 0 ? l.sure[size_t(before)] : 0, sb = after >= 0 ? l.sure[size_t(after)] : 0;
    size_t turn = 0;  // the first row that takes b's animal: the closest approach
    if (a >= 0 && b >= 0 && a != b)
        for (size_t k = 1; k < run.size(); ++k)
            if (near[run[k]] < near[run[turn]]) turn = k;
    for (size_t k = 0; k < run.size(); ++k) {
        Given& g = given[run[k]];
        if (a == b)
            g = {a, std::min(sa, sb), bothSidesClaim};
        else if (a < 0 || b < 0)
            g = {a < 0 ? b : a, (a < 0 ? sb : sa) / 2, sideClaim};
        else
            g = {k < turn ? a : b, std::min(sa, sb) / 2, splitClaim, k < turn ? b : a};
    }
}

// Where an animal's sightings (frame, member position, by frame) put it on `frame`, and how far
// a row at (x, y) is from that; infinity where the sightings cannot reach it within `step` a frame.
double missFrom(std::span<const IdentityRow> rows, const std::vector<int>& members,
                const std::vector<std::pair<long long, size_t>>& seen, long long frame, double x, double y,
                double step) {
    const auto after = std::lower_bound(seen.begin(), seen.end(), std::make_pair(frame, size_t(0)));
    constexpr double never = std::numeric_limits<double>::infinity();
    double px = 0, py = 0, weight = 0;
    for (const auto* s : {after == seen.begin() ? nullptr : &*std::prev(after), after == seen.end() ? nullptr : &*after}) {
        if (!s) continue;
        const IdentityRow& r = rows[size_t(members[s->second])];
        const double gap = double(std::llabs(r.frame - frame));
        if (gap == 0 || std::hypot(r.x - x, r.y - y) > step * gap) return never;
        px += r.x / gap, py += r.y / gap, weight += 1 / gap;  // the nearer sighting weighs more
    }
    return weight > 0 ? std::hypot(px / weight - x, py / weight - y) : never;
}

using Sightings = std::vector<std::vector<std::pair<long long, size_t>>>;  // per animal: (frame, member), by frame

// Each animal's rows of its fragments: where it surely was.
Sightings sightings(std::span<const IdentityRow> rows, const std::vector<int>& members, int animals,
                    const std::vector<Given>& given) {
    Sightings seen(static_cast<size_t>(std::max(0, animals)));
    for (size_t k = 0; k < members.size(); ++k)
        if (given[k].label >= 0 && given[k].label < animals && given[k].claim == fragmentClaim)
            seen[size_t(given[k].label)].push_back({rows[size_t(members[k])].frame, k});
    return seen;
}

}  // namespace

std::vector<Given> give_rows(std::span<const IdentityRow> rows, const std::vector<int>& members,
                             const std::vector<int>& fragment_of, const Labelled& l, double reach) {
    const std::vector<double> near = nearest_other(rows, members, reach);
    std::map<long long, std::vector<size_t>> byTrack;  // positions in members, by frame
    for (size_t k = 0; k < members.size(); ++k)
        if (rows[size_t(members[k])].track >= 0) byTrack[rows[size_t(members[k])].track].push_back(k);
    std::vector<Given> given(members.size());
    auto fragment = [&](size_t position) { return fragment_of[size_t(members[position])]; };
    for (const auto& [track, seq] : byTrack)
        for (size_t k = 0; k < seq.size();) {
            if (const int f = fragment(seq[k]); f >= 0) {
                given[seq[k++]] = {l.label[size_t(f)], l.sure[size_t(f)], fragmentClaim};
                continue;
            }
            size_t end = k;
            while (end < seq.size() && fragment(seq[end]) < 0) ++end;
            giveContact(std::vector<size_t>(seq.begin() + long(k), seq.begin() + long(end)), near, l,
                        k > 0 ? fragment(seq[k - 1]) : -1, end < seq.size() ? fragment(seq[end]) : -1, given);
            k = end;
        }
    return given;
}

void one_each(std::span<const IdentityRow> rows, const std::vector<int>& members, int animals, double step,
              std::vector<Given>& given) {
    const Sightings sure = sightings(rows, members, animals, given);
    // Two rows in a contact claim one animal where the linker's tracks changed animals at
    // different frames; their sureness comes from the fragments around the contact, not from
    // where each row lies, and a row off the animal's way by more than a step was not it.
    auto miss = [&](size_t k) {
        const IdentityRow& r = rows[size_t(members[k])];
        return missFrom(rows, members, sure[size_t(given[k].label)], r.frame, r.x, r.y, step);
    };
    std::map<std::pair<long long, int>, size_t> holder;  // (frame, animal): the member holding it
    std::vector<size_t> lost;
    for (size_t k = 0; k < members.size(); ++k) {
        if (given[k].label < 0) continue;
        const auto [at, fresh] = holder.emplace(std::make_pair(rows[size_t(members[k])].frame, given[k].label), k);
        if (fresh) continue;
        const Given& other = given[at->second];
        const double mine = miss(k), theirs = miss(at->second);
        const bool placed = std::max(mine, theirs) > step && std::min(mine, theirs) * 2 < std::max(mine, theirs);
        const bool stronger = given[k].claim > other.claim ||
                              (given[k].claim == other.claim && (placed ? mine < theirs : given[k].sure > other.sure));
        lost.push_back(stronger ? at->second : k);
        if (stronger) at->second = k;
    }
    for (size_t k : lost) {
        Given& g = given[k];
        const bool free = g.other >= 0 && holder.emplace(std::make_pair(rows[size_t(members[k])].frame, g.other), k).second;
        g = free ? Given{g.other, g.sure / 2, splitClaim, -1} : Given{};
    }
}

}  // namespace ambrevo::identity_detail
