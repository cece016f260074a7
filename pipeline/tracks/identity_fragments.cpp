#include "tracks/identity_fragments.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>

namespace ambrevo::identity_detail {

namespace {

// Steps a fragment's velocity at either end is averaged over, as the whole-run linker does.
constexpr size_t velocitySteps = 4;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void setEnds(std::span<const IdentityRow> rows, Fragment& f) {
    const IdentityRow &a = rows[size_t(f.rows.front())], &b = rows[size_t(f.rows.back())];
    f.first = a.frame, f.last = b.frame;
    f.start = {a.x, a.y}, f.end = {b.x, b.y};
    const size_t k = std::min(velocitySteps, f.rows.size() - 1);
    if (k == 0) return;
    const IdentityRow &s = rows[size_t(f.rows[k])], &e = rows[size_t(f.rows[f.rows.size() - 1 - k])];
    f.svx = (s.x - a.x) / double(k), f.svy = (s.y - a.y) / double(k);
    f.evx = (b.x - e.x) / double(k), f.evy = (b.y - e.y) / double(k);
}

// Nats: how unlikely a miss of sqrt(`miss2`) pixels is about a place known within `spread`.
double missCost(double miss2, double spread) {
    return miss2 / (2 * spread * spread) + std::log(2 * std::numbers::pi * spread * spread);
}

// Each track's rows among the members, by frame.
std::map<long long, std::vector<int>> trackRows(std::span<const IdentityRow> rows, const std::vector<int>& members) {
    std::map<long long, std::vector<int>> out;
    for (int i : members)
        if (rows[size_t(i)].track >= 0) out[rows[size_t(i)].track].push_back(i);
    return out;
}

// The last of a track's rows (`way`, by frame) before `frame`.
const IdentityRow& lastBefore(std::span<const IdentityRow> rows, const std::vector<int>& way, long long frame) {
    const auto it = std::partition_point(way.begin(), way.end(), [&](int i) { return rows[size_t(i)].frame < frame; });
    return rows[size_t(*std::prev(it))];
}

// Squared pixels: how far `to` starts from where both fragments' headings, carried across the
// gap, put it.
double headingMiss2(const Fragment& from, const Fragment& to, long long gap) {
    const double g = double(gap);
    const double fx = to.start.x - from.end.x - from.evx * g, fy = to.start.y - from.end.y - from.evy * g;
    const double bx = from.end.x - to.start.x + to.svx * g, by = from.end.y - to.start.y + to.svy * g;
    return (fx * fx + fy * fy + bx * bx + by * by) / 2;
}

// Nats: how unlikely `to` starts where it does, `gap` frames after `from` ended, weighed both
// ways (each one's motion carried across the gap) and as the likelier of an animal that kept
// its heading and one that wandered off from where it was.
double motionCost(const Fragment& from, const Fragment& to, long long gap, const MotionModel& motion) {
    const double dx = to.start.x - from.end.x, dy = to.start.y - from.end.y;
    return std::min(missCost(headingMiss2(from, to, gap), motion.heading(gap)),
                    missCost(dx * dx + dy * dy, motion.wander(gap)));
}

// Calls `pair(i, j, d2)` for every two rows of one frame within `reach` of each other (i, j:
// positions in `members`, which are by frame; both orders, and each row with itself).
template <class Pair>
void pairsOnEachFrame(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach, Pair&& pair) {
    for (size_t begin = 0; begin < members.size();) {
        size_t end = begin;
        while (end < members.size() && rows[size_t(members[end])].frame == rows[size_t(members[begin])].frame) ++end;
        std::vector<LinkPoint> at;
        for (size_t k = begin; k < end; ++k) at.push_back({rows[size_t(members[k])].x, rows[size_t(members[k])].y});
        for (const GatedPair& p : gated_pairs(at, at, reach)) pair(begin + size_t(p.from), begin + size_t(p.to), p.d2);
        begin = end;
    }
}

// Where an animal seen last on one track may have gone in the frames after: a linker hands an
// animal from one track to another only where the two touch (within a step and a fast animal's
// way over a frame), so from track to track along their touches. Where a track it may be on
// goes unseen (a linker lost it: a jump beyond its step), the animal may turn up on a track that
// begins (or is seen again) within two steps and a fast animal's way since of where it was.
class Touches {
public:
    Touches(std::span<const IdentityRow> rows, const std::vector<int>& members,
            const std::map<long long, std::vector<int>>& tracks, double step, double fast)
        : rows_(rows), step_(step), fast_(fast) {
        for (const auto& [track, way] : tracks) index_.emplace(track, int(ways_.size())), ways_.push_back(&way);
        first_ = members.empty() ? 0 : rows[size_t(members.front())].frame;
        const long long last = members.empty() ? -1 : rows[size_t(members.back())].frame;
        pairs_.resize(size_t(last - first_ + 1)), starts_.resize(pairs_.size());
        pairsOnEachFrame(rows, members, step + fast, [&](size_t i, size_t j, double) {
            const IdentityRow &a = rows[size_t(members[i])], &b = rows[size_t(members[j])];
            if (a.track >= 0 && b.track >= 0 && a.track != b.track)
                pairs_[size_t(a.frame - first_)].push_back({index_.at(a.track), index_.at(b.track)});
        });
        for (const auto& [track, way] : tracks)
            for (size_t k = 0; k < way.size(); ++k)
                if (k == 0 || rows[size_t(way[k - 1])].frame + 1 < rows[size_t(way[k])].frame)
                    starts_[size_t(rows[size_t(way[k])].frame - first_)].push_back({index_.at(track), way[k]});
    }

    // From `track` on frame `from` up to `until`: the first frame on which each track may hold
    // the animal.
    std::map<long long, long long> reach(long long track, long long from, long long until) const {
        std::vector<long long> since(ways_.size(), std::numeric_limits<long long>::max());
        std::vector<std::pair<long long, int>> unseen;  // frame, the row before it
        auto join = [&](int t, long long f) { since[size_t(t)] = f, unseenAfter(t, f, until, unseen); };
        join(index_.at(track), from);
        for (long long f = from; f <= until && f - first_ < long(pairs_.size()); ++f) {
            for (const auto& [t, row] : starts_[size_t(f - first_)])
                if (since[size_t(t)] > f && std::ranges::any_of(unseen, [&](const auto& u) { return near(u, row, f); }))
                    join(t, f);
            for (bool grew = true; grew;) {
                grew = false;
                for (const auto& [u, v] : pairs_[size_t(f - first_)])
                    if ((since[size_t(u)] <= f) != (since[size_t(v)] <= f))
                        join(since[size_t(u)] <= f ? v : u, f), grew = true;
            }
        }
        std::map<long long, long long> out;
        for (const auto& [t, k] : index_)
            if (since[size_t(k)] <= until) out.emplace(t, since[size_t(k)]);
        return out;
    }

private:
    // The frames from `from` to `until` on which the track goes unseen, with its row before.
    void unseenAfter(int track, long long from, long long until, std::vector<std::pair<long long, int>>& out) const {
        const std::vector<int>& way = *ways_[size_t(track)];
        auto it = std::partition_point(way.begin(), way.end(), [&](int i) { return rows_[size_t(i)].frame < from; });
        for (; it != way.end() && rows_[size_t(*it)].frame <= until; ++it)
            if (std::next(it) == way.end() || rows_[size_t(*std::next(it))].frame > rows_[size_t(*it)].frame + 1)
                out.push_back({rows_[size_t(*it)].frame + 1, *it});
    }
    bool near(const std::pair<long long, int>& unseen, int row, long long frame) const {
        if (unseen.first > frame) return false;
        const IdentityRow &a = rows_[size_t(unseen.second)], &b = rows_[size_t(row)];
        return std::hypot(a.x - b.x, a.y - b.y) <= 2 * step_ + fast_ * double(frame - a.frame);
    }

    std::span<const IdentityRow> rows_;
    double step_, fast_;
    std::map<long long, int> index_;
    std::vector<const std::vector<int>*> ways_;
    long long first_ = 0;
    std::vector<std::vector<std::pair<int, int>>> pairs_;   // per frame: tracks that touch
    std::vector<std::vector<std::pair<int, int>>> starts_;  // per frame: tracks seen again (track, row)
};

constexpr double infinite = std::numeric_limits<double>::infinity();

// A fragment that may continue another: its cost by motion, by the linked track's place
// (infinite where that does not apply), whether motion alone reaches it, and whether it starts
// where the headings lead.
struct Candidate {
    int to;
    double motion, track;
    bool reached, onHeading;
};

// The `keep` likeliest of `joins`, likeliest first.
void keepLikeliest(std::vector<Join>& joins, size_t keep) {
    std::sort(joins.begin(), joins.end(), [](const Join& x, const Join& y) { return x.motion < y.motion; });
    if (joins.size() > keep) joins.resize(keep);
}

// The `keep` likeliest continuations of fragment `from`. Where the animal's headings lead to a
// fragment (two animals that cross and go on), that motion is the evidence: the linked track
// may have swapped bodies in the contact, so its place is weighed only where no continuation
// lies on the animal's way (a heap that scrambled its motion).
std::vector<Join> cheapest(int from, const std::vector<Candidate>& seen, size_t keep) {
    const bool onWay = std::ranges::any_of(seen, &Candidate::onHeading);
    std::vector<Join> mine;
    for (const Candidate& c : seen) {
        if (onWay && !c.reached) continue;
        mine.push_back({from, c.to, onWay ? c.motion : std::min(c.motion, c.track)});
    }
    keepLikeliest(mine, keep);
    return mine;
}

// No animal comes from nowhere: a fragment that begins after the first with no join into it
// (its track began where no track that touched another went unseen: a linker may carry a lost
// animal's track onto a neighbour and start a new one for the animal a few frames on) is joined
// from the ends that could have reached it by motion alone, the `keep` likeliest. Else a path
// must begin on it, and with the paths counted, one animal's fragments from the start go bare.
void joinOrphans(const std::vector<Fragment>& fragments, const MotionModel& motion, double step, long long reach,
                 size_t keep, std::vector<Join>& joins) {
    std::vector<bool> entered(fragments.size(), false);
    long long first = std::numeric_limits<long long>::max();
    for (const Join& j : joins) entered[size_t(j.to)] = true;
    std::multimap<long long, size_t> ending;  // by last frame: only those within reach are weighed
    for (size_t a = 0; a < fragments.size(); ++a)
        first = std::min(first, fragments[a].first), ending.emplace(fragments[a].last, a);
    for (size_t b = 0; b < fragments.size(); ++b) {
        const Fragment& to = fragments[b];
        if (entered[b] || to.first == first) continue;
        std::vector<Join> into;
        for (auto it = ending.lower_bound(to.first - reach); it != ending.end() && it->first < to.first; ++it) {
            const Fragment& from = fragments[it->second];
            const long long gap = to.first - from.last;
            const double dx = to.start.x - from.end.x, dy = to.start.y - from.end.y;
            const double gate = motion.gate(step, gap);
            if (dx * dx + dy * dy <= gate * gate)
                into.push_back({int(it->second), int(b), motionCost(from, to, gap, motion)});
        }
        keepLikeliest(into, keep);
        joins.insert(joins.end(), into.begin(), into.end());
    }
}

// Whether the `k`th of a track's alone rows follows the one before within `step`, from where it
// was or from where the motion of the two before (a few frames apart at most) put it: a fast
// animal steps farther than a linker's step in a burst, yet no farther from where it was going.
bool stepsOn(std::span<const IdentityRow> rows, const std::vector<int>& alone, size_t k, double step) {
    const IdentityRow &r = rows[size_t(alone[k])], &before = rows[size_t(alone[k - 1])];
    if (r.frame != before.frame + 1) return false;
    double x = before.x, y = before.y;
    const IdentityRow& earlier = rows[size_t(alone[k > 1 ? k - 2 : k - 1])];
    if (const long long apart = before.frame - earlier.frame; apart > 0 && apart <= long(velocitySteps))
        x += (before.x - earlier.x) / double(apart), y += (before.y - earlier.y) / double(apart);
    return std::min(std::hypot(r.x - before.x, r.y - before.y), std::hypot(r.x - x, r.y - y)) <= step;
}

}  // namespace

std::vector<double> nearest_other(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach) {
    std::vector<double> out(members.size(), std::numeric_limits<double>::infinity());
    pairsOnEachFrame(rows, members, reach, [&](size_t i, size_t j, double d2) {
        if (i != j) out[i] = std::min(out[i], std::sqrt(d2));
    });
    return out;
}

double contact_distance(std::span<const IdentityRow> rows, const std::vector<int>& members) {
    std::vector<double> lengths;
    for (int i : members) {
        const Looks& l = rows[size_t(i)].looks;
        if (l.midline && l.length > 0)
            lengths.push_back(l.length);
        else if (l.area > 0)
            lengths.push_back(2 * std::sqrt(double(l.area) / std::numbers::pi));
    }
    return median(lengths) / 2;
}

namespace {

// Of an animal's size: within four times either way of the rows' `typical` area (no speck, no heap).
bool animalSized(const IdentityRow& r, double typical) {
    return r.looks.area >= typical / 4 && r.looks.area <= typical * 4;
}

// The stretches of a track's rows (`seq`, consecutive frames) that stay within `reach` of their
// first row for `manyRows` rows or more.
std::vector<std::vector<int>> restingStretches(std::span<const IdentityRow> rows, const std::vector<int>& seq,
                                               double reach) {
    constexpr size_t manyRows = 50;
    std::vector<std::vector<int>> out;
    for (size_t i = 0; i < seq.size();) {
        const IdentityRow& first = rows[size_t(seq[i])];
        size_t j = i + 1;
        while (j < seq.size() && rows[size_t(seq[j])].frame == rows[size_t(seq[j - 1])].frame + 1 &&
               std::hypot(rows[size_t(seq[j])].x - first.x, rows[size_t(seq[j])].y - first.y) <= reach)
            ++j;
        if (j - i >= manyRows) out.emplace_back(seq.begin() + long(i), seq.begin() + long(j));
        i = j - i >= manyRows ? j : i + 1;
    }
    return out;
}

// The rows of each track of an animal's size for which `keep(k, row)` holds (k: the row's
// place in `members`), in frame order.
template <class Keep>
std::map<long long, std::vector<int>> rowsByTrack(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                                  double typical, const Keep& keep) {
    std::map<long long, std::vector<int>> byTrack;
    for (size_t k = 0; k < members.size(); ++k) {
        const IdentityRow& r = rows[size_t(members[k])];
        if (r.track >= 0 && animalSized(r, typical) && keep(k, r)) byTrack[r.track].push_back(members[k]);
    }
    return byTrack;
}

// Rows in contact (another object near, or cut out of a blob) where their track rested: two
// animals lying side by side, closer than they touch, are each surely one animal while they
// rest, though never seen alone; without them the two would have no fragment at all, and the
// identities meant for them would go to other animals' fragments. Tracks with `alone` rows are
// left out: their animal is followed through the contact from those, and stretches of cut
// bodies would only blur the looks learned.
std::vector<std::vector<int>> restingInContact(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                               const std::vector<double>& near, double contact, double typical,
                                               const std::map<long long, std::vector<int>>& alone) {
    std::vector<double> widths;
    for (int i : members) widths.push_back(rows[size_t(i)].looks.width);
    const double reach = median(widths) / 4;  // an animal at rest, its centre measured again
    const auto byTrack = rowsByTrack(rows, members, typical, [&](size_t k, const IdentityRow& r) {
        return (near[k] <= contact || r.cut) && !alone.count(r.track);
    });
    std::vector<std::vector<int>> out;
    for (const auto& [track, seq] : byTrack)
        for (std::vector<int>& stretch : restingStretches(rows, seq, reach)) out.push_back(std::move(stretch));
    return out;
}

// Per member, whether its row is surely its track's animal, though others lie within `reach`
// (told, and whether any did: 0 not told, 1 none near, 2 told from those near): both tracks
// seen on the frame before, and each step to its own row far shorter than the exchanged steps
// would be. Animals that touch and turn away or pass (flies, ants) are seen as two throughout,
// cut apart where they touch, and the frame-by-frame linker follows them; cut at every touch,
// their fragments were joined again by heading and looks, and alike animals were exchanged.
std::vector<char> toldApart(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach) {
    constexpr double clearly = 0.7;  // own steps at most this share of the exchanged ones
    std::map<std::pair<long long, long long>, int> byTrackFrame;
    for (int i : members)
        if (rows[size_t(i)].track >= 0) byTrackFrame[{rows[size_t(i)].track, rows[size_t(i)].frame}] = i;
    auto before = [&](const IdentityRow& r) -> const IdentityRow* {
        const auto it = r.track >= 0 ? byTrackFrame.find({r.track, r.frame - 1}) : byTrackFrame.end();
        return it == byTrackFrame.end() ? nullptr : &rows[size_t(it->second)];
    };
    auto apart = [](const IdentityRow& a, const IdentityRow& b) { return std::hypot(a.x - b.x, a.y - b.y); };
    std::vector<char> told(members.size(), 1);
    pairsOnEachFrame(rows, members, reach, [&](size_t i, size_t j, double) {
        if (i == j || !told[i]) return;
        const IdentityRow &a = rows[size_t(members[i])], &b = rows[size_t(members[j])];
        const IdentityRow *pa = before(a), *pb = before(b);
        told[i] = pa && pb && apart(*pa, a) + apart(*pb, b) < clearly * (apart(*pa, b) + apart(*pb, a)) ? 2 : 0;
    });
    return told;
}

// Per member, whether its row is its track's animal alone: no other within `contact` and not
// cut out of a blob of several, or in a contact every row of which, from the frame after the
// track was last alone to the frame before it is alone again, was told apart (toldApart, from
// all within two bodies' lengths; a cut row from a neighbour at least, the rest of its blob,
// and none nearer than `contact`): there the linked track is the animal's way through. One
// unclear step (two animals on one spot, where a linker may hand each one's track to the
// other) leaves the whole contact out, for the animals' looks and motion to bridge.
std::vector<char> throughCleanContacts(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                       const std::vector<double>& near, double contact) {
    const std::vector<char> told = toldApart(rows, members, 4 * contact);
    std::vector<char> alone(members.size());
    std::map<long long, std::vector<size_t>> byTrack;
    for (size_t k = 0; k < members.size(); ++k) {
        const IdentityRow& r = rows[size_t(members[k])];
        alone[k] = near[k] > contact && !r.cut;
        if (r.track >= 0) byTrack[r.track].push_back(k);
    }
    // Bodies cut apart that lie over each other are fitted afresh each frame and may drift
    // from one animal onto the other in small steps; touching ones, half a body apart, do not.
    auto clean = [&](size_t k) {
        return rows[size_t(members[k])].cut ? near[k] > contact && told[k] == 2 : told[k] != 0;
    };
    auto frame = [&](size_t k) { return rows[size_t(members[k])].frame; };
    for (const auto& [track, ks] : byTrack)
        for (size_t i = 1; i < ks.size(); ++i) {
            if (alone[ks[i]] || !alone[ks[i - 1]]) continue;
            size_t j = i;
            while (j < ks.size() && !alone[ks[j]] && clean(ks[j]) && frame(ks[j]) == frame(ks[j - 1]) + 1) ++j;
            if (j < ks.size() && j > i && alone[ks[j]] && frame(ks[j]) == frame(ks[j - 1]) + 1)
                for (size_t m = i; m < j; ++m) alone[ks[m]] = 1;
            i = j;
        }
    return alone;
}

}  // namespace

std::vector<Fragment> cut_fragments(std::span<const IdentityRow> rows, const std::vector<int>& members, double contact,
                                    double step, std::vector<int>& fragment_of) {
    const std::vector<double> near = nearest_other(rows, members, contact);
    std::vector<double> areas;
    for (int i : members) areas.push_back(rows[size_t(i)].looks.area);
    const double typical = median(areas);
    // The alone rows of each track.
    const std::vector<char> alone = throughCleanContacts(rows, members, near, contact);
    const auto byTrack = rowsByTrack(rows, members, typical, [&](size_t k, const IdentityRow&) { return alone[k]; });
    std::vector<Fragment> out;
    for (const auto& [track, alone] : byTrack) {
        for (size_t k = 0; k < alone.size(); ++k) {
            const bool continues = k > 0 && stepsOn(rows, alone, k, step);
            if (!continues) out.push_back(Fragment{track, {}, 0, 0, {}, {}, 0, 0, 0, 0});
            out.back().rows.push_back(alone[k]);
            fragment_of[size_t(alone[k])] = int(out.size()) - 1;
        }
    }
    for (std::vector<int>& stretch : restingInContact(rows, members, near, contact, typical, byTrack)) {
        for (int i : stretch) fragment_of[size_t(i)] = int(out.size());
        out.push_back(Fragment{rows[size_t(stretch.front())].track, std::move(stretch), 0, 0, {}, {}, 0, 0, 0, 0});
    }
    for (Fragment& f : out) setEnds(rows, f);
    return out;
}

MotionModel learn_motion(std::span<const IdentityRow> rows, const std::vector<Fragment>& fragments) {
    std::vector<double> speeds, misses;
    for (const Fragment& f : fragments)
        for (size_t k = 2; k < f.rows.size(); ++k) {
            const IdentityRow &a = rows[size_t(f.rows[k - 2])], &b = rows[size_t(f.rows[k - 1])],
                              &c = rows[size_t(f.rows[k])];
            speeds.push_back(std::hypot(c.x - b.x, c.y - b.y));
            misses.push_back(std::hypot(c.x - 2 * b.x + a.x, c.y - 2 * b.y + a.y));
        }
    MotionModel m;
    if (speeds.empty()) return m;
    m.speed = std::max(0.1, median(speeds));
    m.still = std::max(0.5, median(misses));
    std::nth_element(speeds.begin(), speeds.begin() + long(speeds.size() * 19 / 20), speeds.end());
    m.fast = std::max(2 * m.speed, speeds[speeds.size() * 19 / 20]);
    return m;
}

std::vector<Join> join_candidates(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                  const std::vector<Fragment>& fragments, const MotionModel& motion, double step,
                                  double body, long long reach, size_t keep) {
    std::map<long long, std::vector<int>> starting;
    for (size_t k = 0; k < fragments.size(); ++k) starting[fragments[k].first].push_back(int(k));
    const std::map<long long, std::vector<int>> tracks = trackRows(rows, members);
    // The step a linker takes, and the animal's own way over a frame.
    const Touches touches(rows, members, tracks, step, motion.fast);
    std::vector<Join> joins;
    for (size_t a = 0; a < fragments.size(); ++a) {
        const Fragment& from = fragments[a];
        const std::vector<int>& way = tracks.at(from.track);
        std::vector<Candidate> seen;
        const std::map<long long, long long> passed = touches.reach(from.track, from.last, from.last + reach);
        for (auto it = starting.upper_bound(from.last); it != starting.end() && it->first <= from.last + reach; ++it) {
            const long long gap = it->first - from.last;
            const IdentityRow& last = lastBefore(rows, way, it->first);
            const long long since = it->first - last.frame;
            const double gate = motion.gate(step, gap), near = motion.gate(step, since) + body;
            // The track's place stands in only where it is sharper than the animal's own motion.
            const double spread = motion.wander(since) + body;
            const bool sharper = since < gap && spread < motion.heading(gap);
            for (int b : it->second) {
                const Fragment& to = fragments[size_t(b)];
                if (const auto entered = passed.find(to.track); entered == passed.end() || entered->second > to.first)
                    continue;
                const double dx = to.start.x - from.end.x, dy = to.start.y - from.end.y;
                const double away = std::pow(to.start.x - last.x, 2) + std::pow(to.start.y - last.y, 2);
                const bool along = sharper && away <= near * near;
                // From where the animal was, or where its motion was taking it (a burst of speed
                // beyond the usual fast one).
                const double hx = dx - from.evx * double(gap), hy = dy - from.evy * double(gap);
                const bool reached = std::min(dx * dx + dy * dy, hx * hx + hy * hy) <= gate * gate;
                if (!reached && !along) continue;
                seen.push_back({b, motionCost(from, to, gap, motion), along ? missCost(away, spread) : infinite,
                                reached, headingMiss2(from, to, gap) <= std::pow(motion.heading(gap), 2)});
            }
        }
        std::vector<Join> mine = cheapest(int(a), seen, keep);
        joins.insert(joins.end(), mine.begin(), mine.end());
    }
    joinOrphans(fragments, motion, step, reach, keep, joins);
    return joins;
}

}  // namespace ambrevo::identity_detail
