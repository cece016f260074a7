#include "tracks/identity_rows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include "tracks/identity_fragments.h"


namespace ambrevo::identity_detail {

namespace {

// The rows of one track in contact (`run`, positions in the members) between the fragments
// `before` and `after` (-1: none), and the rows of those fragments that bound it.
struct Contact {
    std::vector<size_t> run;
    int before = -1, after = -1;
    size_t from = 0, to = 0;
};

// The closest approach to another object: the row of a contact with the nearest.
long closest(const Contact& c, const std::vector<double>& near) {
    long turn = 0;
    for (size_t k = 1; k < c.run.size(); ++k)
        if (near[c.run[k]] < near[c.run[size_t(turn)]]) turn = long(k);
    return turn;
}

// The rows of a contact: where the animals on either side differ, rows before the `turn` (an
// index into the run; none given: the closest approach to another object) take the one before.
void giveContact(const Contact& c, const std::vector<double>& near, const Labelled& l, long turn,
                 std::vector<Given>& given) {
    const std::vector<size_t>& run = c.run;
    const int a = c.before >= 0 ? l.label[size_t(c.before)] : -1, b = c.after >= 0 ? l.label[size_t(c.after)] : -1;
    const double sa = c.before >= 0 ? l.sure[size_t(c.before)] : 0, sb = c.after >= 0 ? l.sure[size_t(c.after)] : 0;
    if (turn < 0 && a >= 0 && b >= 0 && a != b) turn = closest(c, near);
    for (size_t k = 0; k < run.size(); ++k) {
        Given& g = given[run[k]];
        const bool early = long(k) < turn;
        if (a == b)
            g = {a, std::min(sa, sb), bothSidesClaim};
        else if (a < 0 || b < 0)
            g = {a < 0 ? b : a, (a < 0 ? sb : sa) / 2, sideClaim};
        else
            g = {early ? a : b, std::min(sa, sb) / 2, splitClaim, early ? b : a};
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

// Per row of tracks that exchanged animals in one contact (each one's animal after is the next
// one's animal before, around the `cycle`; two tracks that swapped are a cycle of two): its
// frame, its contact in the cycle and how much likelier it was the animal its track had before
// than the one after. Each animal's way is taken straight from where it was last alone to where
// it is alone again; a row's weight is how much nearer it lies to one way than to the other
// (the mean of that at an even pace and whatever the pace), against `body` (the distance at
// which objects touch) and how far an animal may stray off a straight way since it was alone.
// None where the rows moved slower than the animals must have gone between their fragments (two
// resting animals whose fragments after were given each other's animal): where each row lies
// then tells nothing.
std::vector<std::tuple<long long, size_t, double>> wayWeights(std::span<const IdentityRow> rows,
                                                              const std::vector<int>& members,
                                                              const std::vector<const Contact*>& cycle, double body) {
    auto row = [&](size_t position) -> const IdentityRow& { return rows[size_t(members[position])]; };
    // How far a row lies off an animal's way, and how many frames it is from either end of the way:
    // off where the animal would be on the row's frame at an even pace, or off the nearest point
    // of the way whatever the pace (animals slow down and speed up in contacts).
    auto off = [&](const IdentityRow& r, size_t from, size_t to, bool paced) {
        const IdentityRow &s = row(from), &e = row(to);
        const double dx = e.x - s.x, dy = e.y - s.y, length2 = dx * dx + dy * dy;
        double t = 0;
        if (paced)
            t = e.frame > s.frame ? double(r.frame - s.frame) / double(e.frame - s.frame) : 0;
        else if (length2 > 0)
            t = ((r.x - s.x) * dx + (r.y - s.y) * dy) / length2;
        t = std::clamp(t, 0.0, 1.0);
        return std::make_pair(std::hypot(r.x - s.x - t * dx, r.y - s.y - t * dy),
                              double(std::max(0LL, std::min(r.frame - s.frame, e.frame - r.frame))));
    };
    const size_t n = cycle.size();
    double travelled = 0, frames = 0;
    for (const Contact* c : cycle)
        for (size_t k = 0; k + 1 < c->run.size(); ++k) {
            const IdentityRow &r = row(c->run[k]), &next = row(c->run[k + 1]);
            travelled += std::hypot(next.x - r.x, next.y - r.y), frames += double(next.frame - r.frame);
        }
    const double speed = frames > 0 ? travelled / frames : 0;
    std::vector<std::tuple<long long, size_t, double>> weight;
    for (size_t i = 0; i < n; ++i) {
        const Contact &c = *cycle[i], &before = *cycle[(i + n - 1) % n], &after = *cycle[(i + 1) % n];
        const IdentityRow &s = row(c.from), &e = row(before.to);
        if (std::hypot(e.x - s.x, e.y - s.y) > speed * double(std::max(1LL, e.frame - s.frame))) return {};
        for (size_t k : c.run) {
            const IdentityRow& r = row(k);
            auto nearer = [&](bool paced) {  // to the first animal's way than to the second's, at most one
                const auto [offFirst, fromFirst] = off(r, c.from, before.to, paced);
                const auto [offSecond, fromSecond] = off(r, after.from, c.to, paced);
                const double spread = body + speed * std::max(fromFirst, fromSecond);
                return spread > 0 ? std::clamp((offSecond - offFirst) / spread, -1.0, 1.0) : 0.0;
            };
            weight.push_back({r.frame, i, (nearer(true) + nearer(false)) / 2});
        }
    }
    std::sort(weight.begin(), weight.end());
    return weight;
}

// The tracks of a `cycle` (wayWeights) turn on one frame: before it each animal is on its own
// track, from it on the next's. Of the frames all the contacts span, the one whose rows weigh
// most for it wins where it beats the closest approach of each track by more than a row.
// Returns the turns, or none.
std::vector<long> jointTurn(std::span<const IdentityRow> rows, const std::vector<int>& members,
                            const std::vector<const Contact*>& cycle, const std::vector<double>& near, double body) {
    auto frameOf = [&](size_t position) { return rows[size_t(members[position])].frame; };
    const std::vector<std::tuple<long long, size_t, double>> weight = wayWeights(rows, members, cycle, body);
    if (weight.empty()) return {};
    long long low = std::numeric_limits<long long>::min(), high = std::numeric_limits<long long>::max();
    for (const Contact* c : cycle)
        low = std::max(low, frameOf(c->run.front())), high = std::min(high, frameOf(c->run.back()) + 1);
    // The gain of each track's closest approach and of the best shared frame: a row before the
    // turn adds its weight, one from it on takes it off.
    std::vector<long> turns, seen(cycle.size(), 0);
    for (const Contact* c : cycle) turns.push_back(closest(*c, near));
    double today = 0, total = 0, before = 0, best = -std::numeric_limits<double>::infinity();
    long long bestFrame = low;
    for (const auto& [frame, i, w] : weight) today += seen[i]++ < turns[i] ? w : -w, total += w;
    constexpr long long never = std::numeric_limits<long long>::max();
    for (size_t k = 0; k <= weight.size(); ++k) {
        // The first k rows before the turn: on the first frame after the k-th row's, if it is one all span.
        const long long frame = std::max(low, k > 0 ? std::get<0>(weight[k - 1]) + 1 : low);
        if (frame <= std::min(high, k < weight.size() ? std::get<0>(weight[k]) : never) && 2 * before - total > best)
            best = 2 * before - total, bestFrame = frame;
        if (k < weight.size()) before += std::get<2>(weight[k]);
    }
    if (best <= today + 1) return {};
    for (size_t i = 0; i < cycle.size(); ++i) {
        turns[i] = 0;
        while (size_t(turns[i]) < cycle[i]->run.size() && frameOf(cycle[i]->run[size_t(turns[i])]) < bestFrame)
            ++turns[i];
    }
    return turns;
}

// Each contact's turn (-1: its own closest approach): where tracks exchanged animals around
// a cycle in one contact (all their frames overlapping) and none of them with another track
// over those frames, they turn together.
std::vector<long> sharedTurns(std::span<const IdentityRow> rows, const std::vector<int>& members,
                              const std::vector<Contact>& contacts, const Labelled& l, const std::vector<double>& near,
                              double body) {
    std::vector<long> turns(contacts.size(), -1);
    auto label = [&](int fragment) { return fragment >= 0 ? l.label[size_t(fragment)] : -1; };
    auto frame = [&](size_t position) { return rows[size_t(members[position])].frame; };
    std::map<int, std::vector<size_t>> byBefore, byAfter;  // the contacts an animal changed tracks in
    for (size_t c = 0; c < contacts.size(); ++c)
        if (const int a = label(contacts[c].before), b = label(contacts[c].after); a >= 0 && b >= 0 && a != b)
            byBefore[a].push_back(c), byAfter[b].push_back(c);
    // The one contact overlapping c in which c's animal `after` (or before) was before (or after); -1: none or several.
    auto beside = [&](size_t c, const std::map<int, std::vector<size_t>>& by, int animal) {
        long found = -1, count = 0;
        const auto list = by.find(animal);
        if (list == by.end()) return found;
        for (size_t d : list->second)
            if (frame(contacts[d].run.front()) <= frame(contacts[c].run.back()) &&
                frame(contacts[d].run.back()) >= frame(contacts[c].run.front()))
                found = long(d), ++count;
        return count == 1 ? found : -1;
    };
    std::vector<bool> done(contacts.size(), false);
    for (const auto& [animal, list] : byBefore)
        for (size_t c : list) {
            std::vector<const Contact*> cycle;
            auto met = [&](long d) {
                return std::find(cycle.begin(), cycle.end(), &contacts[size_t(d)]) != cycle.end();
            };
            long d = long(c);
            while (d >= 0 && !done[size_t(d)] && !met(d) &&
                   beside(size_t(d), byAfter, label(contacts[size_t(d)].before)) >= 0) {
                cycle.push_back(&contacts[size_t(d)]);
                d = beside(size_t(d), byBefore, label(contacts[size_t(d)].after));
            }
            if (d != long(c) || cycle.empty()) continue;
            for (const Contact* e : cycle) done[size_t(e - contacts.data())] = true;
            const std::vector<long> joint = jointTurn(rows, members, cycle, near, body);
            for (size_t i = 0; i < joint.size(); ++i) turns[size_t(cycle[i] - contacts.data())] = joint[i];
        }
    return turns;
}

}  // namespace

std::vector<Given> give_rows(std::span<const IdentityRow> rows, const std::vector<int>& members,
                             const std::vector<int>& fragment_of, const Labelled& l, double reach, double body) {
    const std::vector<double> near = nearest_other(rows, members, reach);
    std::map<long long, std::vector<size_t>> byTrack;  // positions in members, by frame
    for (size_t k = 0; k < members.size(); ++k)
        if (rows[size_t(members[k])].track >= 0) byTrack[rows[size_t(members[k])].track].push_back(k);
    std::vector<Given> given(members.size());
    auto fragment = [&](size_t position) { return fragment_of[size_t(members[position])]; };
    std::vector<Contact> contacts;
    for (const auto& [track, seq] : byTrack)
        for (size_t k = 0; k < seq.size();) {
            if (const int f = fragment(seq[k]); f >= 0) {
                given[seq[k++]] = {l.label[size_t(f)], l.sure[size_t(f)], fragmentClaim};
                continue;
            }
            size_t end = k;
            while (end < seq.size() && fragment(seq[end]) < 0) ++end;
            contacts.push_back({std::vector<size_t>(seq.begin() + long(k), seq.begin() + long(end)),
                                k > 0 ? fragment(seq[k - 1]) : -1, end < seq.size() ? fragment(seq[end]) : -1,
                                k > 0 ? seq[k - 1] : 0, end < seq.size() ? seq[end] : 0});
            k = end;
        }
    const std::vector<long> turns = sharedTurns(rows, members, contacts, l, near, body);
    for (size_t c = 0; c < contacts.size(); ++c) giveContact(contacts[c], near, l, turns[c], given);
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

namespace {

// Runs of rows of one track with no animal, consecutive in the track (positions in members).
std::vector<std::vector<size_t>> unlabelledRuns(std::span<const IdentityRow> rows, const std::vector<int>& members,
                                                const std::vector<Given>& given) {
    std::map<long long, std::vector<size_t>> byTrack;
    for (size_t k = 0; k < members.size(); ++k)
        if (rows[size_t(members[k])].track >= 0) byTrack[rows[size_t(members[k])].track].push_back(k);
    std::vector<std::vector<size_t>> runs;
    for (const auto& [track, seq] : byTrack)
        for (size_t k = 0; k < seq.size(); ++k) {
            if (given[seq[k]].label >= 0) continue;
            if (k == 0 || given[seq[k - 1]].label >= 0) runs.emplace_back();
            runs.back().push_back(seq[k]);
        }
    return runs;
}

// The animals a run could be: none of their rows on any of its frames, and their sure sightings
// could have reached its first and last rows.
std::vector<int> freeAnimals(std::span<const IdentityRow> rows, const std::vector<int>& members, const Sightings& sure,
                             const std::set<std::pair<long long, int>>& held, const std::vector<size_t>& run,
                             double step) {
    const IdentityRow &first = rows[size_t(members[run.front()])], &last = rows[size_t(members[run.back()])];
    std::vector<int> free;
    for (size_t a = 0; a < sure.size(); ++a) {
        const bool unheld = std::none_of(run.begin(), run.end(), [&](size_t k) {
            return held.count({rows[size_t(members[k])].frame, int(a)}) > 0;
        });
        if (unheld && std::isfinite(missFrom(rows, members, sure[a], first.frame, first.x, first.y, step)) &&
            std::isfinite(missFrom(rows, members, sure[a], last.frame, last.x, last.y, step)))
            free.push_back(int(a));
    }
    return free;
}

// Whether a run is an animal at rest: many rows, none farther from the first than one body's
// width. Nothing came through a contact with it, and a run that moved or lasted a few frames
// may as well be a body cut in two or a passing ghost, which a guess would make a switch.
bool resting(std::span<const IdentityRow> rows, const std::vector<int>& members, const std::vector<size_t>& run) {
    constexpr size_t manyRows = 10;
    if (run.size() < manyRows) return false;
    std::vector<double> widths;
    for (size_t k : run) widths.push_back(rows[size_t(members[k])].looks.width);
    std::nth_element(widths.begin(), widths.begin() + ptrdiff_t(widths.size() / 2), widths.end());
    const IdentityRow& first = rows[size_t(members[run.front()])];
    return std::all_of(run.begin(), run.end(), [&](size_t k) {
        return std::hypot(rows[size_t(members[k])].x - first.x, rows[size_t(members[k])].y - first.y) <=
               widths[widths.size() / 2];
    });
}

}  // namespace

void give_free(std::span<const IdentityRow> rows, const std::vector<int>& members, int animals, double step,
               std::vector<Given>& given) {
    const std::vector<std::vector<size_t>> runs = unlabelledRuns(rows, members, given);
    std::vector<char> rests(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) rests[r] = resting(rows, members, runs[r]);
    if (std::none_of(rests.begin(), rests.end(), [](char c) { return c; })) return;
    const Sightings sure = sightings(rows, members, animals, given);
    std::set<std::pair<long long, int>> held;  // (frame, animal)
    for (size_t k = 0; k < members.size(); ++k)
        if (given[k].label >= 0) held.insert({rows[size_t(members[k])].frame, given[k].label});
    std::vector<std::vector<int>> could(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) could[r] = freeAnimals(rows, members, sure, held, runs[r], step);
    auto span = [&](size_t r) {
        return std::make_pair(rows[size_t(members[runs[r].front()])].frame,
                              rows[size_t(members[runs[r].back()])].frame);
    };
    for (size_t r = 0; r < runs.size(); ++r) {
        if (could[r].size() != 1 || !rests[r]) continue;
        const int animal = could[r].front();
        bool rival = false;
        for (size_t o = 0; o < runs.size() && !rival; ++o)
            rival = o != r && span(o).first <= span(r).second && span(r).first <= span(o).second &&
                    std::find(could[o].begin(), could[o].end(), animal) != could[o].end();
        if (!rival)
            for (size_t k : runs[r]) given[k] = {animal, 0, splitClaim, -1};
    }
}

namespace {

// Flips of at most this many frames are undone, where the ways without them are at most this
// share of the ways with them.
constexpr long long flipFrames = 3;
constexpr double flipClearly = 0.7;

// The rows given to each animal, by frame, and the flips between two of them undone.
class Flips {
public:
    Flips(std::span<const IdentityRow> rows, const std::vector<int>& members, std::vector<Given>& given)
        : rows_(rows), members_(members), given_(given) {
        for (size_t k = 0; k < members.size(); ++k)
            if (given[k].label >= 0) at_[{given[k].label, frame(k)}] = k;
    }

    long long frame(size_t k) const { return rows_[size_t(members_[k])].frame; }

    // Animals a and b, whose rows on `f` lie within reach, exchanged on f for up to flipFrames
    // frames: exchanged back where that makes both ways clearly shorter.
    void undo(int a, int b, long long f) {
        const IdentityRow *a0 = row(a, f - 1), *b0 = row(b, f - 1), *af = row(a, f), *bf = row(b, f);
        if (!a0 || !b0 || !af || !bf) return;
        for (long long n = 1; n <= flipFrames; ++n) {
            const IdentityRow *a1 = row(a, f + n - 1), *b1 = row(b, f + n - 1), *a2 = row(a, f + n),
                              *b2 = row(b, f + n);
            if (!a1 || !b1 || !a2 || !b2) return;
            const double now = step(a0, af) + step(b0, bf) + step(a1, a2) + step(b1, b2);
            const double back = step(a0, bf) + step(b0, af) + step(b1, a2) + step(a1, b2);
            if (back >= flipClearly * now) continue;
            for (long long m = f; m < f + n; ++m) {
                size_t &ka = at_[{a, m}], &kb = at_[{b, m}];
                std::swap(given_[ka].label, given_[kb].label);
                std::swap(ka, kb);
            }
            return;
        }
    }

private:
    const IdentityRow* row(int animal, long long f) const {
        const auto it = at_.find({animal, f});
        return it == at_.end() ? nullptr : &rows_[size_t(members_[it->second])];
    }
    static double step(const IdentityRow* a, const IdentityRow* b) { return std::hypot(a->x - b->x, a->y - b->y); }

    std::span<const IdentityRow> rows_;
    const std::vector<int>& members_;
    std::vector<Given>& given_;
    std::map<std::pair<int, long long>, size_t> at_;  // (animal, frame) -> member
};

}  // namespace

void unflip(std::span<const IdentityRow> rows, const std::vector<int>& members, double reach,
            std::vector<Given>& given) {
    Flips flips(rows, members, given);
    for (size_t begin = 0; begin < members.size();) {
        size_t end = begin;
        while (end < members.size() && flips.frame(end) == flips.frame(begin)) ++end;
        for (size_t k = begin; k < end; ++k)
            for (size_t o = begin; o < end; ++o) {
                const IdentityRow &a = rows[size_t(members[k])], &b = rows[size_t(members[o])];
                if (given[k].label >= 0 && given[o].label >= 0 && given[k].label < given[o].label &&
                    std::hypot(a.x - b.x, a.y - b.y) <= reach)
                    flips.undo(given[k].label, given[o].label, flips.frame(k));
            }
        begin = end;
    }
}

}  // namespace ambrevo::identity_detail
