#include "crowd/crowd_tracks.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "crowd/crowd_assign.h"

namespace {
constexpr int kLast = crowd_stations - 1;
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
// Tracks and objects together in one group solved by the optimal assignment at most.
constexpr int kLargestGroup = 150;
// Objects weighed for each track: its nearest ones, however far it may look.
constexpr int kCandidates = 8;
// Rounds of finding lost animals again, each pairing the nearest lost tracks and objects.
constexpr int kRecoveryRounds = 4;
// A whole object more than this times its track's area is taken for a merge of animals.
constexpr double kMerged = 1.5;
// An object's long axis is compared with its track's from this elongation on.
constexpr double kAxial = 1.5;
// The evidence for the head decays by this share a frame; it tells the head once it
// reaches kHeadSure body lengths and holds at most kHeadMost.
constexpr double kHeadDecay = 0.95, kHeadSure = 0.25, kHeadMost = 1.0;
// The kind's long animals: the quantile of the lengths of those seen alone, told from so many.
constexpr double kLongQuantile = 0.8;
constexpr size_t kLongFrom = 8;
// The steps of the animals seen alone, binned this finely (pixels), told from so many on and
// halved when so many are held; the kind is slow when this share of them stay within the
// farthest the fitting slides a body along itself (crowd_split.cpp), pixels.
constexpr double kStepBin = 1.0 / 16, kStepsFrom = 100, kStepsHeld = 4096;
constexpr double kSlowShare = 0.9, kSlideReach = 2;

double angleApart(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), std::numbers::pi);
    return std::min(d, std::numbers::pi - d);
}

double axisOf(const crowd_point* line) { return std::atan2(line[0].y - line[kLast].y, line[0].x - line[kLast].x); }
}  // namespace

void crowd_tracker::forgetSizes(double below) {
    for (crowd_track& t : tracks_) t.sized = t.sized && t.area >= below;
}

void crowd_tracker::clear() {
    tracks_.clear();
    nextId_ = 0;
    std::fill(steps_, steps_ + kStepBins, 0.0);
    slow_ = false;
}

const crowd_track* crowd_tracker::find(int32_t id) const {
    for (const crowd_track& t : tracks_)
        if (t.id == id) return &t;
    return nullptr;
}

void crowd_tracker::predict() {
    const double seen = std::accumulate(steps_, steps_ + kStepBins, 0.0);
    double below = 0;
    for (int i = 0; i < kStepBins && (i + 1) * kStepBin <= kSlideReach; ++i) below += steps_[i];
    slow_ = seen >= kStepsFrom && below >= kSlowShare * seen;
    for (crowd_track& t : tracks_) {
        t.x += t.vx, t.y += t.vy;
        t.pxx += 2 * t.pxv + t.pvv + kSteer / 4;
        t.pxv += t.pvv + kSteer / 2;
        t.pvv += kSteer;
    }
}

crowd_body crowd_tracker::body(size_t t, double typicalArea, bool elongatedKind) const {
    const crowd_track& k = tracks_[t];
    const double area = k.sized ? k.area : typicalArea;
    crowd_body b = crowd_roundBody(k.x, k.y, std::sqrt(std::max(area, 1.0) / std::numbers::pi));
    // A round animal seen in an odd shape (pressed against another, say) stays round.
    if (elongatedKind && k.elongated && k.shaped && k.elongation >= kAxial) {
        // In a heap the filter's velocity is learned from fitted parts, which step aside where a
        // fit drifted towards a neighbour, and a body carried on by it is laid further off its
        // animal. An animal of a slow kind is found from where it was last fitted: the fitting
        // slides the body along itself farther than the animal went in a frame.
        const double x = slow_ ? k.x - k.vx : k.x, y = slow_ ? k.y - k.vy : k.y;
        b.points = crowd_stations;
        for (int i = 0; i < crowd_stations; ++i)
            b.midline[i] = {x + k.offsets[i].x, y + k.offsets[i].y}, b.halfWidth[i] = k.halfWidth[i];
        b.length = k.length, b.balance = k.balance;
    }
    b.track = int32_t(t);
    return b;
}

crowd_body crowd_tracker::typical(double area, bool* told) const {
    std::vector<std::pair<double, size_t>> lengths;
    size_t known = 0;
    for (size_t t = 0; t < tracks_.size(); ++t) {
        if (tracks_[t].missed > 0 || tracks_[t].seen < 2) continue;
        ++known;
        if (tracks_[t].elongated && tracks_[t].shaped) lengths.push_back({tracks_[t].length, t});
    }
    if (told) *told = known > 0;
    if (lengths.empty() || 2 * lengths.size() <= known)
        return crowd_roundBody(0, 0, std::sqrt(std::max(area, 1.0) / std::numbers::pi));
    std::nth_element(lengths.begin(), lengths.begin() + ptrdiff_t(lengths.size() / 2), lengths.end());
    const crowd_track& k = tracks_[lengths[lengths.size() / 2].second];
    return crowd_straightBody(k.halfWidth, k.length, k.balance);
}

crowd_body crowd_tracker::longOnes() const {
    std::vector<std::pair<double, size_t>> lengths;
    for (size_t t = 0; t < tracks_.size(); ++t)
        if (tracks_[t].missed == 0 && tracks_[t].elongated && tracks_[t].shapedAlone)
            lengths.push_back({tracks_[t].length, t});
    if (lengths.size() < kLongFrom) return {};
    const size_t at = size_t(kLongQuantile * double(lengths.size()));
    std::nth_element(lengths.begin(), lengths.begin() + ptrdiff_t(at), lengths.end());
    const crowd_track& k = tracks_[lengths[at].second];
    return crowd_straightBody(k.halfWidth, k.length, k.balance);
}

double crowd_tracker::cost(const crowd_track& t, const crowd_sighting& s, double size) const {
    const crowd_object& o = s.object;
    const double dx = o.x - t.x, dy = o.y - t.y;
    // The distance in the prediction's spread, and in the animal's own size: an animal seldom
    // moves its length in a frame, which decides where the motion is not known yet (a new
    // track that may have moved up to a large maxJump).
    const double position =
        (dx * dx + dy * dy) * (1 / std::max(t.pxx + kMeasured, kLeastSpread) + 1 / std::max(size * size, 1.0));
    // Appearance tells animals apart where they cross; each term is capped so that a part
    // cut out of a blob imperfectly is not refused for its looks alone.
    const double area = t.sized ? std::log(std::max(o.area, 1.0) / std::max(t.area, 1.0)) / 0.2 : 0.0;
    const double intensity = (o.intensity - t.intensity) / 8.0, shape = (o.elongation - t.elongation) / 0.25;
    // An elongated animal turns little from one frame to the next: its long axis is
    // compared with the track's.
    double axis = 0;
    if (t.elongated && o.elongation >= kAxial)
        axis = angleApart(axisOf(t.offsets), s.posture.elongated ? axisOf(s.posture.midline) : o.orientation) / 0.35;
    return position + 0.3 * (std::min(area * area, 9.0) + std::min(intensity * intensity, 9.0) +
                             std::min(shape * shape, 9.0) + std::min(axis * axis, 9.0));
}

void crowd_tracker::start(crowd_track& t, const crowd_sighting& s, double gate) {
    const crowd_object& o = s.object;
    t.x = o.x, t.y = o.y, t.vx = 0, t.vy = 0;
    // The velocity is unknown: anything up to the gate per frame.
    t.pxx = kMeasured, t.pxv = 0, t.pvv = gate * gate / 9;
    t.area = o.area, t.intensity = o.intensity, t.elongation = o.elongation;
    t.sized = s.whole && s.alone;
    t.seenAlone = t.sized;
    t.missed = 0;
    t.elongated = t.shaped = t.shapedAlone = false;
    t.length = t.balance = t.headward = 0;
    t.lastX = o.x, t.lastY = o.y;
}

void crowd_tracker::stepped(const crowd_track& t, const crowd_sighting& s) {
    if (!t.elongated || t.missed > 0 || t.seen < 1) return;
    if (std::accumulate(steps_, steps_ + kStepBins, 0.0) >= kStepsHeld)
        for (double& n : steps_) n /= 2;
    const double step = std::hypot(s.object.x - t.lastX, s.object.y - t.lastY);
    ++steps_[std::min(kStepBins - 1, int(step / kStepBin))];
}

void crowd_tracker::observe(crowd_track& t, crowd_sighting& s) {
    crowd_posture& p = s.posture;
    if (!p.elongated) {
        // Seen alone and compact, the animal is round, or curled up: its last body and head
        // are kept for when it stretches again.
        if (s.whole) t.elongated = false;
        return;
    }
    const double cx = s.object.x, cy = s.object.y;
    if (t.shaped) {
        // The midline turned the way that lies closer to the track's body.
        double same = 0, reversed = 0;
        for (int i = 0; i < crowd_stations; ++i) {
            const crowd_point& o = t.offsets[i];
            same += std::hypot(p.midline[i].x - cx - o.x, p.midline[i].y - cy - o.y);
            reversed += std::hypot(p.midline[kLast - i].x - cx - o.x, p.midline[kLast - i].y - cy - o.y);
        }
        if (reversed < same) crowd_reverse(p, s.looks);
    } else {
        // A new body: the head first guessed towards the motion.
        if ((p.midline[0].x - p.midline[kLast].x) * t.vx + (p.midline[0].y - p.midline[kLast].y) * t.vy < 0)
            crowd_reverse(p, s.looks);
        t.headward = 0;
    }
    if (s.whole || !t.shaped) {
        const double rate = t.shapedAlone ? 0.1 : 1.0;
        t.shapedAlone = s.whole;
        for (int i = 0; i < crowd_stations; ++i) t.halfWidth[i] += float(rate * (p.halfWidth[i] - t.halfWidth[i]));
        t.length += rate * (p.length - t.length), t.balance += rate * (p.balance - t.balance);
        t.shaped = true;
    }
    // The head is the end the animal moves towards, over many frames.
    const crowd_point& front = p.midline[0];
    const crowd_point& behind = p.midline[kLast / 2 - 1];
    const double ux = front.x - behind.x, uy = front.y - behind.y, norm = std::max(std::hypot(ux, uy), 1e-9);
    const double most = kHeadMost * t.length, sure = kHeadSure * t.length;
    t.headward = std::clamp(kHeadDecay * t.headward + (t.vx * ux + t.vy * uy) / norm, -most, most);
    if (t.headward < -sure) {
        crowd_reverse(p, s.looks);
        t.headward = -t.headward, t.balance = t.length - t.balance;
        std::reverse(t.halfWidth, t.halfWidth + crowd_stations);
    }
    s.headKnown = t.headward >= sure;
    t.elongated = true;
    for (int i = 0; i < crowd_stations; ++i) t.offsets[i] = {p.midline[i].x - cx, p.midline[i].y - cy};
}

void crowd_tracker::correct(crowd_track& t, crowd_sighting& s) {
    const crowd_object& o = s.object;
    // A whole blob much larger than the animal is it merged with others: it tells nothing
    // of the animal's looks, shape or steps.
    const bool alone = s.whole && s.alone && (!t.sized || o.area <= kMerged * t.area);
    if (alone) stepped(t, s);
    t.lastX = o.x, t.lastY = o.y;
    const double v = t.pxx + kMeasured, kx = t.pxx / v, kv = t.pxv / v;
    const double ex = o.x - t.x, ey = o.y - t.y;
    t.x += kx * ex, t.y += kx * ey;
    t.vx += kv * ex, t.vy += kv * ey;
    t.pvv -= kv * t.pxv;
    t.pxv *= 1 - kx;
    t.pxx *= 1 - kx;
    if (alone) {
        // The first sighting alone replaces what a part told.
        const double rate = t.sized ? 0.1 : 1.0;
        t.area += rate * (o.area - t.area);
        t.intensity += rate * (o.intensity - t.intensity);
        t.elongation += rate * (o.elongation - t.elongation);
        t.sized = t.seenAlone = true;
    }
    if (alone || !s.whole) observe(t, s);
    t.missed = 0;
    ++t.seen;
}

int32_t crowd_tracker::root(int32_t i) {
    while (parent_[size_t(i)] != i) i = parent_[size_t(i)] = parent_[size_t(parent_[size_t(i)])];
    return i;
}

void crowd_tracker::candidates(const std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules) {
    places_.clear();
    for (const crowd_sighting& s : sightings) places_.push_back({s.object.x, s.object.y});
    grid_.index(places_);
    edges_.clear();
    for (int32_t t = 0; t < int32_t(tracks_.size()); ++t) {
        const crowd_track& track = tracks_[size_t(t)];
        grid_.nearest(track.x, track.y, rules.gate * std::sqrt(1.0 + track.missed), kCandidates, near_);
        for (int32_t o : near_) {
            const double c = cost(track, sightings[size_t(o)], rules.size);
            if (c < 2 * kUnmatched) edges_.push_back({t, o, c});
        }
    }
}

void crowd_tracker::join(bool cheapestFirst) {
    const int32_t nt = int32_t(tracks_.size());
    for (int32_t i = 0; i < int32_t(parent_.size()); ++i) parent_[size_t(i)] = i, groupSize_[size_t(i)] = 1;
    // Cheapest joins first; one that would make a group too large is left out.
    if (cheapestFirst)
        std::sort(edges_.begin(), edges_.end(), [](const crowd_edge& a, const crowd_edge& b) {
            return a.cost != b.cost ? a.cost < b.cost : a.track != b.track ? a.track < b.track : a.object < b.object;
        });
    size_t kept = 0;
    for (const crowd_edge& e : edges_) {
        const int32_t a = root(e.track), b = root(nt + e.object);
        if (a != b && cheapestFirst && groupSize_[size_t(a)] + groupSize_[size_t(b)] > kLargestGroup) continue;
        if (a != b)
            parent_[size_t(std::max(a, b))] = std::min(a, b),
                                       groupSize_[size_t(std::min(a, b))] += groupSize_[size_t(std::max(a, b))];
        edges_[kept++] = e;
    }
    edges_.resize(kept);
}

void crowd_tracker::pairInGroups(bool leaveUnmatched, std::vector<int32_t>& objectOf) {
    const size_t members = tracks_.size() + trackOf_.size();
    parent_.resize(members), groupSize_.resize(members);
    // Joined as they come; only when a group grows too large are the joins made cheapest
    // first, leaving out those that would.
    join(false);
    bool large = false;
    for (size_t i = 0; i < members && !large; ++i) large = parent_[i] == int32_t(i) && groupSize_[i] > kLargestGroup;
    if (large) join(true);
    // The edges in groups, each group's in the order they came.
    groupStart_.assign(members + 1, 0);
    for (crowd_edge& e : edges_) e.group = root(e.track), ++groupStart_[size_t(e.group) + 1];
    for (size_t i = 1; i <= members; ++i) groupStart_[i] += groupStart_[i - 1];
    grouped_.resize(edges_.size());
    fill_.assign(groupStart_.begin(), groupStart_.end() - 1);
    for (const crowd_edge& e : edges_) grouped_[size_t(fill_[size_t(e.group)]++)] = e;
    for (size_t g = 0; g < members; ++g) {
        if (groupStart_[g] == groupStart_[g + 1]) continue;
        group_.assign(grouped_.begin() + groupStart_[g], grouped_.begin() + groupStart_[g + 1]);
        pairOptimally(group_, leaveUnmatched, objectOf);
    }
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

void crowd_tracker::recover(std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules,
                            std::vector<int32_t>& objectOf) {
    const int32_t nt = int32_t(tracks_.size()), no = int32_t(sightings.size());
    std::vector<int32_t> loose, lost, before(trackOf_);
    for (int round = 0; round < kRecoveryRounds; ++round) {
        loose.clear(), lost.clear();
        for (int32_t o = 0; o < no; ++o)
            if (trackOf_[size_t(o)] < 0) loose.push_back(o);
        for (int32_t t = 0; t < nt; ++t)
            if (objectOf[size_t(t)] < 0) lost.push_back(t);
        if (loose.empty() || lost.empty() || nt + int32_t(loose.size()) <= rules.animals) break;
        // The nearest few both ways: each lost track's objects, each object's lost tracks.
        edges_.clear();
        places_.clear();
        for (int32_t o : loose) places_.push_back({sightings[size_t(o)].object.x, sightings[size_t(o)].object.y});
        grid_.index(places_);
        for (int32_t t : lost) {
            grid_.nearest(tracks_[size_t(t)].x, tracks_[size_t(t)].y, 1e300, kCandidates, near_);
            for (size_t i = 0; i < near_.size(); ++i)
                edges_.push_back({t, loose[size_t(near_[i])], std::sqrt(grid_.squared(i))});
        }
        places_.clear();
        for (int32_t t : lost) places_.push_back({tracks_[size_t(t)].x, tracks_[size_t(t)].y});
        grid_.index(places_);
        for (int32_t o : loose) {
            grid_.nearest(sightings[size_t(o)].object.x, sightings[size_t(o)].object.y, 1e300, kCandidates, near_);
            for (size_t i = 0; i < near_.size(); ++i)
                edges_.push_back({lost[size_t(near_[i])], o, std::sqrt(grid_.squared(i))});
        }
        std::sort(edges_.begin(), edges_.end(), [](const crowd_edge& a, const crowd_edge& b) {
            return a.track != b.track ? a.track < b.track : a.object < b.object;
        });
        edges_.erase(std::unique(edges_.begin(), edges_.end(),
                                 [](const crowd_edge& a, const crowd_edge& b) {
                                     return a.track == b.track && a.object == b.object;
                                 }),
                     edges_.end());
        pairInGroups(false, objectOf);
    }
    for (int32_t o = 0; o < no; ++o) {
        if (before[size_t(o)] >= 0 || trackOf_[size_t(o)] < 0) continue;
        crowd_track& t = tracks_[size_t(trackOf_[size_t(o)])];
        const bool seenAlone = t.seenAlone;
        start(t, sightings[size_t(o)], rules.gate);
        t.seenAlone = t.seenAlone || seenAlone;
        if (sightings[size_t(o)].alone || !sightings[size_t(o)].whole) observe(t, sightings[size_t(o)]);
        ++t.seen;
    }
}

void crowd_tracker::update(std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules,
                           std::vector<int32_t>& identity) {
    const int32_t nt = int32_t(tracks_.size()), no = int32_t(sightings.size());
    identity.assign(size_t(no), -1);
    trackOf_.assign(size_t(no), -1);
    std::vector<int32_t>& objectOf = objectOf_;
    objectOf.assign(size_t(nt), -1);

    // Pairs within reach and cheaper than leaving both unmatched (no other pair can be
    // chosen); tracks and objects joined by them form groups that are solved one by one,
    // each small, instead of one matrix of every track against every object.
    candidates(sightings, rules);
    pairInGroups(true, objectOf);
    for (int32_t t = 0; t < nt; ++t) {
        const int32_t o = objectOf[size_t(t)];
        if (o >= 0)
            correct(tracks_[size_t(t)], sightings[size_t(o)]);
        else
            ++tracks_[size_t(t)].missed;
    }
    // With the number of animals known and reached, an object nobody expected is one of
    // the lost animals found again.
    if (rules.animals > 0) recover(sightings, rules, objectOf);
    for (int32_t o = 0; o < no; ++o) {
        if (trackOf_[size_t(o)] >= 0) continue;
        crowd_track t{};
        t.id = nextId_++;
        start(t, sightings[size_t(o)], rules.gate);
        if (sightings[size_t(o)].alone || !sightings[size_t(o)].whole) observe(t, sightings[size_t(o)]);
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
