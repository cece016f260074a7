#include "crowd/crowd_tracks.h"

#include <algorithm>
#include <cmath>

#include "crowd/crowd_assign.h"

namespace {
// The filter's noise: how far a centre is off (pixels squared) and how much the velocity
// changes from one frame to the next (pixels squared per frame squared).
constexpr double kMeasured = 0.25, kSteer = 0.3;
// What leaving a track or an object unmatched costs; a pair is matched when it costs less
// than both together. In the same units as a squared distance in standard deviations.
constexpr double kUnmatched = 25;
// Keeps any pairing cheaper than an impossible one in the assignment.
constexpr double kImpossible = 1e9;
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
    const double position = (dx * dx + dy * dy) / std::max(t.pxx + kMeasured, 0.25);
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

void crowd_tracker::update(const std::vector<crowd_object>& objects, const std::vector<char>& whole,
                           const crowd_trackRules& rules, std::vector<int32_t>& identity) {
    const int32_t nt = int32_t(tracks_.size()), no = int32_t(objects.size());
    identity.assign(size_t(no), -1);
    trackOf_.assign(size_t(no), -1);
    std::vector<int32_t>& objectOf = members_;
    objectOf.assign(size_t(nt), -1);

    // Pairs within reach; tracks and objects joined by them form groups that are solved
    // one by one, each small, instead of one matrix of every track against every object.
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
            edges_.push_back({t, *o});
            const int32_t a = root(t), b = root(nt + *o);
            if (a != b) parent_[size_t(std::max(a, b))] = std::min(a, b);
        }
    }
    std::sort(edges_.begin(), edges_.end(),
              [&](const auto& a, const auto& b) { return root(a.first) < root(b.first); });
    std::vector<int32_t> groupTracks, groupObjects;
    for (size_t e = 0; e < edges_.size();) {
        const int32_t group = root(edges_[e].first);
        size_t end = e;
        groupTracks.clear(), groupObjects.clear();
        for (; end < edges_.size() && root(edges_[end].first) == group; ++end) {
            groupTracks.push_back(edges_[end].first);
            groupObjects.push_back(edges_[end].second);
        }
        std::sort(groupTracks.begin(), groupTracks.end());
        groupTracks.erase(std::unique(groupTracks.begin(), groupTracks.end()), groupTracks.end());
        std::sort(groupObjects.begin(), groupObjects.end());
        groupObjects.erase(std::unique(groupObjects.begin(), groupObjects.end()), groupObjects.end());
        // Square matrix: tracks and "object unmatched" as rows, objects and "track
        // unmatched" as columns.
        const int gt = int(groupTracks.size()), go = int(groupObjects.size()), n = gt + go;
        matrix_.assign(size_t(n) * size_t(n), kImpossible);
        for (size_t k = e; k < end; ++k) {
            const int r =
                int(std::lower_bound(groupTracks.begin(), groupTracks.end(), edges_[k].first) - groupTracks.begin());
            const int c = int(std::lower_bound(groupObjects.begin(), groupObjects.end(), edges_[k].second) -
                              groupObjects.begin());
            matrix_[size_t(r) * size_t(n) + size_t(c)] =
                cost(tracks_[size_t(edges_[k].first)], objects[size_t(edges_[k].second)]);
        }
        for (int r = 0; r < gt; ++r) matrix_[size_t(r) * size_t(n) + size_t(go + r)] = kUnmatched;
        for (int r = gt; r < n; ++r) {
            matrix_[size_t(r) * size_t(n) + size_t(r - gt)] = kUnmatched;
            for (int c = go; c < n; ++c) matrix_[size_t(r) * size_t(n) + size_t(c)] = 0;
        }
        crowd_assign(matrix_, n, n, pairing_);
        for (int r = 0; r < gt; ++r) {
            const int c = pairing_[size_t(r)];
            if (c < go && matrix_[size_t(r) * size_t(n) + size_t(c)] < kImpossible) {
                objectOf[size_t(groupTracks[size_t(r)])] = groupObjects[size_t(c)];
                trackOf_[size_t(groupObjects[size_t(c)])] = groupTracks[size_t(r)];
            }
        }
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
    std::vector<int32_t> loose, lost;
    for (int32_t o = 0; o < no; ++o)
        if (trackOf_[size_t(o)] < 0) loose.push_back(o);
    for (int32_t t = 0; t < nt; ++t)
        if (objectOf[size_t(t)] < 0) lost.push_back(t);
    if (rules.animals > 0 && !loose.empty() && !lost.empty() && nt + int32_t(loose.size()) > rules.animals) {
        matrix_.resize(loose.size() * lost.size());
        for (size_t i = 0; i < loose.size(); ++i)
            for (size_t j = 0; j < lost.size(); ++j) {
                const crowd_object& o = objects[size_t(loose[i])];
                const crowd_track& t = tracks_[size_t(lost[j])];
                matrix_[i * lost.size() + j] = std::hypot(o.x - t.x, o.y - t.y);
            }
        crowd_assign(matrix_, int(loose.size()), int(lost.size()), pairing_);
        for (size_t i = 0; i < loose.size(); ++i) {
            if (pairing_[i] < 0) continue;
            crowd_track& t = tracks_[size_t(lost[size_t(pairing_[i])])];
            start(t, objects[size_t(loose[i])], rules.gate);
            ++t.seen;
            trackOf_[size_t(loose[i])] = lost[size_t(pairing_[i])];
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
