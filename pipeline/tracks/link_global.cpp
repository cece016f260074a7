#include "ambrevo/pipeline/tracks/link_global.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>

#include "tracks/path_flow.h"

namespace ambrevo {

namespace {

// The steps a piece's velocity is averaged over: enough to steady it, few enough to follow a turn.
constexpr int velocitySteps = 4;

struct Piece {
    std::vector<int> rows;  // one per frame, in frame order
    // Where the piece ends and starts, and its velocity there: its own once it holds two rows,
    // before that the velocity of the piece it was cut from (`moving` false when there is none,
    // or without prediction).
    LinkPoint end, start;
    double evx = 0, evy = 0, svx = 0, svy = 0;
    bool moving = false;
    // Begun where a link was unclear: the piece goes on through the unclear links that follow
    // and ends at the first clear one, so that it holds the whole encounter.
    bool unclear = false;
};

class GroupLinker {
public:
    GroupLinker(std::span<const GroupedRow> rows, const LinkSettings& s, const StopToken& stop)
        : rows_(rows), s_(s), gate2_(s.max_step * s.max_step), stop_(stop) {}

    void poll() const {
        if (const int request = stop_.request()) throw StopRequested(request);
    }

    // The pieces of one group's rows (indices into the rows, sorted by frame then index).
    std::vector<Piece> pieces(const std::vector<int>& members) const {
        std::vector<Piece> out;
        std::vector<int> live;  // pieces that reached the previous frame
        for (size_t begin = 0; begin < members.size();) {
            poll();
            const long long frame = rows_[members[begin]].frame;
            size_t end = begin;
            while (end < members.size() && rows_[members[end]].frame == frame) ++end;
            if (!live.empty() && rows_[out[live[0]].rows.back()].frame != frame - 1) live.clear();
            std::vector<LinkPoint> from(live.size()), to(end - begin);
            for (size_t i = 0; i < live.size(); ++i) from[i] = ahead(out[live[i]], 1);
            for (size_t j = begin; j < end; ++j) to[j - begin] = {rows_[members[j]].x, rows_[members[j]].y};
            const std::vector<int> links = link_step(from, to, s_.max_step);
            const std::vector<bool> clear = unambiguous(from, to, links);
            std::vector<int> next;
            std::vector<int> cut_from(to.size(), -1);  // the piece an object's new piece was cut from
            std::vector<bool> continued(to.size(), false);
            for (size_t i = 0; i < live.size(); ++i) {
                if (links[i] < 0) continue;
                Piece& p = out[live[i]];
                if (clear[i] == p.unclear) {  // into an encounter, or out of one
                    cut_from[links[i]] = live[i];
                    continue;
                }
                p.rows.push_back(members[begin + links[i]]);
                refresh(p);
                continued[links[i]] = true;
                next.push_back(live[i]);
            }
            for (size_t j = 0; j < to.size(); ++j) {
                if (continued[j]) continue;
                Piece fresh;
                fresh.rows.push_back(members[begin + j]);
                if (cut_from[j] >= 0) {
                    const Piece& before = out[cut_from[j]];
                    fresh.unclear = !before.unclear;
                    fresh.evx = fresh.svx = before.evx, fresh.evy = fresh.svy = before.evy;
                    fresh.moving = before.moving;
                }
                refresh(fresh);
                out.push_back(std::move(fresh));
                next.push_back(int(out.size()) - 1);
            }
            live = std::move(next);
            begin = end;
        }
        return out;
    }

    // For each piece its successor, or -1, and whether the paths cover it; `animals` > 0 bounds
    // the number of paths.
    void join(const std::vector<Piece>& pieces, int animals, std::vector<int>& next, std::vector<bool>& covered) const;

    struct JoinCandidate {
        int from, to;
        long long cost;
    };
    // Joins from the end of a piece to the start of one that begins up to memory + 1 frames
    // later, with their costs in units of gate^2 / `unit`. With the count known, a path may
    // also bridge longer gaps (an animal hidden in a group for a while), with a gate that
    // grows as the root of the gap.
    std::vector<JoinCandidate> candidates(const std::vector<Piece>& pieces, int animals, long long unit) const;

private:
    LinkPoint at(int row) const { return {rows_[row].x, rows_[row].y}; }
    long long frame(int row) const { return rows_[row].frame; }
    LinkPoint ahead(const Piece& p, long long frames) const {
        return {p.end.x + p.evx * double(frames), p.end.y + p.evy * double(frames)};
    }

    void refresh(Piece& p) const {
        const size_t n = p.rows.size();
        p.end = at(p.rows.back()), p.start = at(p.rows.front());
        p.moving = s_.predict && (n > 1 || p.moving);
        if (n < 2 || !p.moving) return;
        const size_t k = std::min<size_t>(velocitySteps, n - 1);
        const LinkPoint e0 = at(p.rows[n - 1 - k]), s1 = at(p.rows[k]);
        const double et = double(frame(p.rows.back()) - frame(p.rows[n - 1 - k]));
        const double st = double(frame(p.rows[k]) - frame(p.rows.front()));
        p.evx = (p.end.x - e0.x) / et, p.evy = (p.end.y - e0.y) / et;
        p.svx = (s1.x - p.start.x) / st, p.svy = (s1.y - p.start.y) / st;
    }

    // A link is clear when no other object is nearly as close to the track's prediction, and
    // no other track's prediction nearly as close to the object: within a sixth of the gate more.
    std::vector<bool> unambiguous(const std::vector<LinkPoint>& from, const std::vector<LinkPoint>& to,
                                  const std::vector<int>& links) const {
        const double margin = s_.max_step / 6;
        std::vector<double> own(from.size(), 0);
        std::vector<double> claimed(to.size(), -1);  // the distance of the track linked to each object
        for (size_t i = 0; i < from.size(); ++i)
            if (links[i] >= 0) {
                own[i] = std::hypot(from[i].x - to[links[i]].x, from[i].y - to[links[i]].y);
                claimed[links[i]] = own[i];
            }
        std::vector<bool> clear(from.size(), true);
        std::vector<int> owner(to.size(), -1);
        for (size_t i = 0; i < from.size(); ++i)
            if (links[i] >= 0) owner[links[i]] = int(i);
        for (const GatedPair& g : gated_pairs(from, to, s_.max_step + margin)) {
            if (links[g.from] == g.to) continue;
            const double d = std::sqrt(g.d2);
            if (links[g.from] >= 0 && d <= own[g.from] + margin) clear[g.from] = false;
            if (owner[g.to] >= 0 && d <= claimed[g.to] + margin) clear[owner[g.to]] = false;
        }
        return clear;
    }

    std::span<const GroupedRow> rows_;
    LinkSettings s_;
    double gate2_;
    const StopToken& stop_;
};

std::vector<GroupLinker::JoinCandidate> GroupLinker::candidates(const std::vector<Piece>& pieces, int animals,
                                                                long long unit) const {
    const long long reach = s_.memory + 1, longest = animals > 0 ? 8 * reach : reach;
    std::map<long long, std::vector<int>> ending, starting;
    for (size_t k = 0; k < pieces.size(); ++k) {
        ending[frame(pieces[k].rows.back())].push_back(int(k));
        starting[frame(pieces[k].rows.front())].push_back(int(k));
    }
    std::vector<JoinCandidate> joins;
    for (const auto& [last, enders] : ending) {
        poll();
        for (long long gap = 1; gap <= longest; ++gap) {
            const auto found = starting.find(last + gap);
            if (found == starting.end()) continue;
            const std::vector<int>& starters = found->second;
            std::vector<LinkPoint> from(enders.size()), to(starters.size());
            for (size_t i = 0; i < enders.size(); ++i) from[i] = ahead(pieces[enders[i]], gap);
            for (size_t j = 0; j < starters.size(); ++j) to[j] = pieces[starters[j]].start;
            const double gate = s_.max_step * std::sqrt(double(std::max(gap, reach)) / double(reach));
            for (const GatedPair& p : gated_pairs(from, to, gate)) {
                const Piece &a = pieces[enders[p.from]], &b = pieces[starters[p.to]];
                // How far b's motion, carried back over the gap, misses a's end; a's own miss
                // stands in when b has no motion yet.
                const double bx = b.start.x - b.svx * double(gap) - a.end.x,
                             by = b.start.y - b.svy * double(gap) - a.end.y;
                const double back = b.moving ? bx * bx + by * by : p.d2;
                const double c =
                    std::min(3.0, (p.d2 + back) / 2 / gate2_ + std::min(1.0, double(gap - 1) / 4)) * gate2_;
                joins.push_back({enders[p.from], starters[p.to], std::llround(c / gate2_ * unit)});
            }
        }
    }
    return joins;
}

void GroupLinker::join(const std::vector<Piece>& pieces, int animals, std::vector<int>& next,
                       std::vector<bool>& covered) const {
    // Costs in units of gate^2 / 4096. Covering an object earns more than any join costs, so
    // the flow covers every object it can; a new path costs two steps of the full gate.
    constexpr long long unit = 4096;
    const long long reward = 4 * unit, start = animals > 0 ? 0 : 2 * unit;
    std::vector<long long> cover;
    for (const Piece& p : pieces) cover.push_back(-reward * static_cast<long long>(p.rows.size()));
    std::vector<PathJoin> joins;
    for (const JoinCandidate& c : candidates(pieces, animals, unit)) joins.push_back({c.from, c.to, c.cost});
    PathCover paths = cover_paths(cover, joins, animals > 0 ? animals : int(pieces.size()), start, stop_);
    next = std::move(paths.next);
    covered = std::move(paths.covered);
}

// The rows no path covered, given to the paths that pass their frame unseen: by the optimal
// step from where each path is between its sightings, within the gate.
void fill_gaps(std::span<const GroupedRow> rows, double gate, std::vector<std::vector<int>>& paths,
               std::vector<std::vector<int>>& left, const StopToken& stop) {
    struct Gap {
        size_t path;
        LinkPoint at;
    };
    std::map<long long, std::vector<Gap>> gaps;
    for (size_t p = 0; p < paths.size(); ++p)
        for (size_t k = 0; k + 1 < paths[p].size(); ++k) {
            const GroupedRow &a = rows[paths[p][k]], &b = rows[paths[p][k + 1]];
            for (long long f = a.frame + 1; f < b.frame; ++f) {
                const double w = double(f - a.frame) / double(b.frame - a.frame);
                gaps[f].push_back({p, {a.x + (b.x - a.x) * w, a.y + (b.y - a.y) * w}});
            }
        }
    if (gaps.empty()) return;
    std::map<long long, std::vector<std::pair<size_t, size_t>>> waiting;  // per frame: (left, index)
    for (size_t l = 0; l < left.size(); ++l)
        for (size_t i = 0; i < left[l].size(); ++i)
            if (gaps.count(rows[left[l][i]].frame)) waiting[rows[left[l][i]].frame].push_back({l, i});
    std::vector<std::vector<bool>> taken(left.size());
    for (size_t l = 0; l < left.size(); ++l) taken[l].assign(left[l].size(), false);
    for (const auto& [frame, those] : waiting) {
        if (const int request = stop.request()) throw StopRequested(request);
        const std::vector<Gap>& open = gaps[frame];
        std::vector<LinkPoint> from(open.size()), to(those.size());
        for (size_t g = 0; g < open.size(); ++g) from[g] = open[g].at;
        for (size_t j = 0; j < those.size(); ++j) {
            const GroupedRow& r = rows[left[those[j].first][those[j].second]];
            to[j] = {r.x, r.y};
        }
        const std::vector<int> links = link_step(from, to, gate);
        for (size_t g = 0; g < open.size(); ++g)
            if (links[g] >= 0) {
                const auto [l, i] = those[size_t(links[g])];
                paths[open[g].path].push_back(left[l][i]);
                taken[l][i] = true;
            }
    }
    for (std::vector<int>& p : paths)
        std::sort(p.begin(), p.end(), [&](int a, int b) { return rows[a].frame < rows[b].frame; });
    for (size_t l = 0; l < left.size(); ++l)
        for (size_t i = left[l].size(); i-- > 0;)
            if (taken[l][i]) left[l].erase(left[l].begin() + long(i));
}

}  // namespace

std::vector<LinkedRow> track_rows(std::span<const GroupedRow> rows, const std::vector<std::vector<int>>& tracks,
                                  std::span<const int> loose) {
    std::vector<LinkedRow> out;
    out.reserve(rows.size());
    for (size_t id = 0; id < tracks.size(); ++id) {
        const std::vector<int>& t = tracks[id];
        for (size_t k = 0; k < t.size(); ++k) {
            const GroupedRow& r = rows[t[k]];
            out.push_back({r.frame, static_cast<long long>(id), r.x, r.y, false, t[k]});
            const long long until = k + 1 < t.size() ? rows[t[k + 1]].frame : r.frame + 1;
            for (long long f = r.frame + 1; f < until; ++f)
                out.push_back({f, static_cast<long long>(id), r.x, r.y, true, -1});
        }
    }
    for (int i : loose) out.push_back({rows[size_t(i)].frame, -1, rows[size_t(i)].x, rows[size_t(i)].y, false, i});
    std::sort(out.begin(), out.end(), [](const LinkedRow& a, const LinkedRow& b) {
        return std::make_tuple(a.frame, a.missing, a.missing ? a.track : a.row) <
               std::make_tuple(b.frame, b.missing, b.missing ? b.track : b.row);
    });
    return out;
}

std::vector<LinkedRow> link_global(std::span<const GroupedRow> rows, LinkSettings settings,
                                   std::span<const int> animals, const StopToken& stop) {
    TrackLinker check(settings);  // refuses bad settings as the online linker does
    for (const GroupedRow& r : rows) {
        if (!std::isfinite(r.x) || !std::isfinite(r.y))
            throw std::invalid_argument("an object of frame " + std::to_string(r.frame) + " has no finite position");
        if (r.group < 0) throw std::invalid_argument("a negative group");
    }
    std::vector<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return std::tie(rows[a].group, rows[a].frame) < std::tie(rows[b].group, rows[b].frame);
    });

    // Each group's pieces joined into paths: a path is a list of pieces.
    GroupLinker linker(rows, settings, stop);
    std::vector<std::vector<int>> tracks;  // rows of each track, in frame order
    for (size_t begin = 0; begin < order.size();) {
        const int group = rows[order[begin]].group;
        size_t end = begin;
        while (end < order.size() && rows[order[end]].group == group) ++end;
        const std::vector<int> members(order.begin() + long(begin), order.begin() + long(end));
        const std::vector<Piece> pieces = linker.pieces(members);
        std::vector<int> next;
        std::vector<bool> covered;
        linker.join(pieces, size_t(group) < animals.size() ? animals[size_t(group)] : 0, next, covered);
        std::vector<bool> has_before(pieces.size(), false);
        for (int n : next)
            if (n >= 0) has_before[size_t(n)] = true;
        std::vector<std::vector<int>> paths, left;
        for (size_t k = 0; k < pieces.size(); ++k) {
            if (has_before[k]) continue;
            std::vector<std::vector<int>>& into = covered[k] ? paths : left;
            into.emplace_back();
            for (int p = int(k); p >= 0; p = covered[size_t(p)] ? next[size_t(p)] : -1)
                into.back().insert(into.back().end(), pieces[size_t(p)].rows.begin(), pieces[size_t(p)].rows.end());
        }
        fill_gaps(rows, settings.max_step, paths, left, stop);
        tracks.insert(tracks.end(), paths.begin(), paths.end());
        for (std::vector<int>& l : left)
            if (!l.empty()) tracks.push_back(std::move(l));
        begin = end;
    }
    // Numbered in the order they first appear, as the online linker numbers them.
    auto first = [&](const std::vector<int>& t) { return std::make_pair(rows[t.front()].frame, t.front()); };
    std::sort(tracks.begin(), tracks.end(), [&](const auto& a, const auto& b) { return first(a) < first(b); });

    return track_rows(rows, tracks);
}

}  // namespace ambrevo
