#include "ambrevo/pipeline/tracks/identity_link.h"

#include <algorithm>
#include <numeric>

namespace ambrevo {

IdentifiedRows link_identities(std::span<const IdentityRow> rows, const LinkSettings& settings,
                               std::span<const int> animals, const StopToken& stop) {
    std::vector<GroupedRow> grouped;
    grouped.reserve(rows.size());
    for (const IdentityRow& r : rows) grouped.push_back({r.frame, r.x, r.y, r.group});
    std::vector<IdentityRow> tracked(rows.begin(), rows.end());
    for (IdentityRow& r : tracked) r.track = -1;
    for (const LinkedRow& l : link_global(grouped, settings, animals, stop))
        if (!l.missing) tracked[size_t(l.row)].track = l.track;

    IdentitySettings s;
    s.animals.assign(animals.begin(), animals.end());
    s.max_step = settings.max_step, s.memory = settings.memory;
    const std::vector<Identity> given = identify(tracked, s, stop);

    std::vector<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return rows[size_t(a)].frame < rows[size_t(b)].frame; });
    long long highest = -1;
    for (const Identity& g : given) highest = std::max(highest, g.identity);
    std::vector<std::vector<int>> of(size_t(highest + 1));
    std::vector<int> loose;
    for (int i : order) (given[size_t(i)].identity >= 0 ? of[size_t(given[size_t(i)].identity)] : loose).push_back(i);
    IdentifiedRows out{track_rows(grouped, of, loose), {}};
    out.confidence.reserve(given.size());
    for (const Identity& g : given) out.confidence.push_back(g.confidence);
    return out;
}

}  // namespace ambrevo
