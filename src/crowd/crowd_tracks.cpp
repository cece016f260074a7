#include "crowd/crowd_tracks.h"

#include <algorithm>
#include <cmath>

#include "crowd/crowd_assign.h"

namespace {
// The filter's noise: how far a centre is off (pixels squared) and how much the velocity
// changes from one frame to the next (pixels squared per frame squared).
constexpr double kMeasured = 0.25, kSteer = 0.3;
// The least spread (pixels squared) a position is judged with: a centre may jump a few
// pixels where touching animals part, however sure the filter has become.
constexpr double kLeastSpread = 2.0;
// What leaving a track or an object unmatched costs; a pair is matched when it costs less
// than both together. In the same units as a squared distance in standard deviations.
constexpr double kUnmatched = 25;
// Keeps any pairing cheaper than an impossible one in the assignment.
constexpr double kImpossible = 1e9;
// Tracks and objects together in one group beyond which pairs are taken cheapest first.
constexpr int kLargestGroup = 150;
}  // namespace

void crowd_tracker::clear() {
    tracks_.clear();
    nextId_ = 0;
}

const crowd_track* crowd_tracker::find(int32_t id) const {
    for (const crowd_track& t : tracks_)
        if (t.id == id) return &t;
    return nullptr;
}

void crowd_tracker::predict() {
    for (crowd_track& t : tracks_) {
        t.x += t.vx, t.y += t.vy;
        t.pxx += 2 * t.pxv + t.pvv + kSteer / 4;
        t.pxv += t.pvv + kSteer / 2;
        t.pvv += kSteer;
    }
}

double crowd_tracker::cost(const crowd_track& t, const crowd_object& o) const {
    const double dx = o.x - t.x, dy = o.y - t.y;
    const double position = (dx * dx + dy * dy) / std::max(t.pxx + kMeasured, kLeastSpread);
    // Appearance tells animals apart where they cross; each term is capped so that a part
    // cut out of a blob imperfectly is not refused for its looks alone.
    const double area = std::log(std::max(o.area, 1.0) / std::max(t.area, 1.0)) / 0.2;
    const double intensity = (o.intensity - t.intensity) / 8.0, shape = (o.elongation - t.elongation) / 0.25;
    return position +
           0.3 * (std::min(area * area, 9.0) + std::min(intensity * intensity, 9.0) + std::min(shape * shape, 9.0));
}

void crowd_tracker::start(crowd_track& t, const crowd_object& o, double gate) {
    t.x = o.x, t.y = o.y, t.vx = 0, t.vy = 0;
    // The velocity is unknown: anything up to the gate per frame.
    t.pxx = kMeasured, t.pxv = 0, t.pvv = gate * gate / 9;
    t.area = o.area, t.intensity = o.intensity, t.elongation = o.elongation;
    t.missed = 0;
}

void crowd_tracker::correct(crowd_track& t, const crowd_object& o, bool whole) {
    const double s = t.pxx + kMeasured, kx = t.pxx / s, kv = t.pxv / s;
    const double ex = o.x - t.x, ey = o.y - t.y;
    t.x += kx * ex, t.y += kx * ey;
    t.vx += kv * ex, t.vy += kv * ey;
    t.pvv -= kv * t.pxv;
    t.pxv *= 1 - kx;
    t.pxx *= 1 - kx;
    if (whole) {
        t.area += 0.1 * (o.area - t.area);
        t.intensity += 0.1 * (o.intensity - t.intensity);
        t.elongation += 0.1 * (o.elongation - t.elongation);
    }
    t.missed = 0;
    ++t.seen;
}

int32_t crowd_tracker::root(int32_t i) {
    while (parent_[size_t(i)] != i) i = parent_[size_t(i)] = parent_[size_t(parent_[size_t(i)])];
    return i;
}

// Pairs cheapest first, each track and object once: the fallback for groups too large for
// the optimal assignment, whose cost grows with the cube of their size.
void crowd_tracker::pairGreedily(std::vector<crowd_edge>& edges, std::vector<int32_t>& objectOf) {
    std::sort(edges.begin(), edges.end(), [](const crowd_edge& a, const crowd_edge& b) {
        return a.cost != b.cost ? a.cost < b.cost : a.track != b.track ? a.track < b.track : a.object < b.object;
    });
    for (const crowd_edge& e : edges)
        if (objectOf[size_t(e.track)] < 0 && trackOf_[size_t(e.object)] < 0)
            objectOf[size_t(e.track)] = e.object, trackOf_[size_t(e.object)] = e.track;
}

void crowd_tracker::pairOptimally(const std::vector<crowd_edge>& edges, bool leaveUnmatched,
                                  std::vector<int32_t>& objectOf) {
    groupTracks_.clear(), groupObjects_.clear();
    for (const crowd_edge& e : edges) groupTracks_.push_back(e.track), groupObjects_.push_back(e.object);
    for (auto* list : {&groupTracks_, &groupObjects_}) {
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    // Leaving unmatched: a square matrix with tracks and "object unmatched" as rows,
    // objects and "track unmatched" as columns.
    const int gt = int(groupTracks_.size()), go = int(groupObjects_.size());
    const int rows = leaveUnmatched ? gt + go : gt, cols = leaveUnmatched ? gt + go : go;
    matrix_.assign(size_t(rows) * size_t(cols), kImpossible);
    auto at = [&](int r, int c) -> double& { return matrix_[size_t(r) * size_t(cols) + size_t(c)]; };
    for (const crowd_edge& e : edges)
        at(int(std::lower_bound(groupTracks_.begin(), groupTracks_.end(), e.track) - groupTracks_.begin()),
           int(std::lower_bound(groupObjects_.begin(), groupObjects_.end(), e.object) - groupObjects_.begin())) =
            e.cost;
    if (leaveUnmatched) {
        for (int r = 0; r < gt; ++r) at(r, go + r) = kUnmatched;
        for (int r = gt; r < rows; ++r) {
            at(r, r - gt) = kUnmatched;
            for (int c = go; c < cols; ++c) at(r, c) = 0;
        }
    }
    crowd_assign(matrix_, rows, cols, pairing_);
    for (int r = 0; r < gt; ++r) {
        const int c = pairing_[size_t(r)];
        if (c < 0 || c >= go || at(r, c) >= kImpossible) continue;
        objectOf[size_t(groupTracks_[size_t(r)])] = groupObjects_[size_t(c)];
        trackOf_[size_t(groupObjects_[size_t(c)])] = groupTracks_[size_t(r)];
    }
}

void crowd_tracker::update(const std::vector<crowd_object>& objects, const std::vector<char>& whole,
                           const crowd_trackRules& rules, std::vector<int32_t>& identity) {
    const int32_t nt = int32_t(tracks_.size()), no = int32_t(objects.size());
    identity.assign(size_t(no), -1);
    trackOf_.assign(size_t(no), -1);
    std::vector<int32_t>& objectOf = objectOf_;
    objectOf.assign(size_t(nt), -1);

    // Pairs within reach and cheaper than leaving both unmatched (no other pair can be
    // chosen); tracks and objects joined by them form groups that are solved one by one,
    // each small, instead of one matrix of every track against every object.
    edges_.clear();
    parent_.resize(size_t(nt + no));
    for (int32_t i = 0; i < nt + no; ++i) parent_[size_t(i)] = i;
    // Objects by column, so that each track looks only at those within its reach across.
    byColumn_.resize(size_t(no));
    for (int32_t o = 0; o < no; ++o) byColumn_[size_t(o)] = o;
    std::sort(byColumn_.begin(), byColumn_.end(),
              [&](int32_t a, int32_t b) { return objects[size_t(a)].x < objects[size_t(b)].x; });
    for (int32_t t = 0; t < nt; ++t) {
        const crowd_track& track = tracks_[size_t(t)];
        const double reach = rules.gate * std::sqrt(1.0 + track.missed);
        auto o = std::lower_bound(byColumn_.begin(), byColumn_.end(), track.x - reach,
                                  [&](int32_t i, double x) { return objects[size_t(i)].x < x; });
        for (; o != byColumn_.end() && objects[size_t(*o)].x <= track.x + reach; ++o) {
            const double dx = objects[size_t(*o)].x - track.x, dy = objects[size_t(*o)].y - track.y;
            if (dx * dx + dy * dy > reach * reach) continue;
            const double c = cost(track, objects[size_t(*o)]);
            if (c >= 2 * kUnmatched) continue;
            edges_.push_back({t, *o, c});
            const int32_t a = root(t), b = root(nt + *o);
            if (a != b) parent_[size_t(std::max(a, b))] = std::min(a, b);
        }
    }
    // Group sizes in tracks and objects, counted at each group's root.
    groupSize_.assign(size_t(nt + no), 0);
    for (int32_t i = 0; i < nt + no; ++i) ++groupSize_[size_t(root(i))];
    for (crowd_edge& e : edges_) e.group = root(e.track);
    std::stable_sort(edges_.begin(), edges_.end(),
                     [](const crowd_edge& a, const crowd_edge& b) { return a.group < b.group; });
    for (size_t e = 0; e < edges_.size();) {
        size_t end = e;
        while (end < edges_.size() && edges_[end].group == edges_[e].group) ++end;
        group_.assign(edges_.begin() + ptrdiff_t(e), edges_.begin() + ptrdiff_t(end));
        if (groupSize_[size_t(edges_[e].group)] <= kLargestGroup)
            pairOptimally(group_, true, objectOf);
        else
            pairGreedily(group_, objectOf);
        e = end;
    }

    for (int32_t t = 0; t < nt; ++t) {
        const int32_t o = objectOf[size_t(t)];
        if (o >= 0)
            correct(tracks_[size_t(t)], objects[size_t(o)], whole[size_t(o)] != 0);
        else
            ++tracks_[size_t(t)].missed;
    }

    // With the number of animals known and reached, an object nobody expected is one of
    // the lost animals found again: the lost tracks go to such objects by least distance.
    int32_t loose = 0, lost = 0;
    for (int32_t o = 0; o < no; ++o) loose += trackOf_[size_t(o)] < 0;
    for (int32_t t = 0; t < nt; ++t) lost += objectOf[size_t(t)] < 0;
    if (rules.animals > 0 && loose > 0 && lost > 0 && nt + loose > rules.animals) {
        group_.clear();
        for (int32_t o = 0; o < no; ++o)
            for (int32_t t = 0; t < nt && trackOf_[size_t(o)] < 0; ++t)
                if (objectOf[size_t(t)] < 0) {
                    const crowd_track& track = tracks_[size_t(t)];
                    group_.push_back(
                        {t, o, std::hypot(objects[size_t(o)].x - track.x, objects[size_t(o)].y - track.y)});
                }
        std::vector<int32_t> before(trackOf_);
        if (loose <= kLargestGroup && lost <= kLargestGroup)
            pairOptimally(group_, false, objectOf);
        else
            pairGreedily(group_, objectOf);
        for (int32_t o = 0; o < no; ++o) {
            if (before[size_t(o)] >= 0 || trackOf_[size_t(o)] < 0) continue;
            crowd_track& t = tracks_[size_t(trackOf_[size_t(o)])];
            start(t, objects[size_t(o)], rules.gate);
            ++t.seen;
        }
    }
    for (int32_t o = 0; o < no; ++o) {
        if (trackOf_[size_t(o)] >= 0) continue;
        crowd_track t{};
        t.id = nextId_++;
        start(t, objects[size_t(o)], rules.gate);
        t.seen = 1;
        trackOf_[size_t(o)] = int32_t(tracks_.size());
        tracks_.push_back(t);
    }
    for (int32_t o = 0; o < no; ++o) identity[size_t(o)] = tracks_[size_t(trackOf_[size_t(o)])].id;

    // Lost too long: dropped, unless the animals are counted and none is to spare.
    const bool keepAll = rules.animals > 0 && int32_t(tracks_.size()) <= rules.animals;
    if (!keepAll)
        tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
                                     [&](const crowd_track& t) { return t.missed > rules.memory; }),
                      tracks_.end());
}
