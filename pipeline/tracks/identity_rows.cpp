#include "tracks/identity_rows.h"

#include <algorithm>
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

void one_each(std::span<const IdentityRow> rows, const std::vector<int>& members, std::vector<Given>& given) {
    std::map<std::pair<long long, int>, size_t> holder;  // (frame, animal): the member holding it
    std::vector<size_t> lost;
    for (size_t k = 0; k < members.size(); ++k) {
        if (given[k].label < 0) continue;
        const auto [at, fresh] = holder.emplace(std::make_pair(rows[size_t(members[k])].frame, given[k].label), k);
        if (fresh) continue;
        const Given& other = given[at->second];
        const bool stronger =
            given[k].claim > other.claim || (given[k].claim == other.claim && given[k].sure > other.sure);
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
