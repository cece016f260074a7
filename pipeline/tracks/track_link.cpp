#include "ambrevo/pipeline/tracks/track_link.h"

#include "sparse_assignment.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>

namespace ambrevo {

namespace {

// Grid cell of a coordinate for cells one gate wide; clamped so that the conversion is defined
// for any finite input.
long long cell_of(double v, double gate) {
    const double c = std::floor(v / gate);
    return static_cast<long long>(std::clamp(c, -4e18, 4e18));
}

// A k-d tree over points, for the nearest points within a gate: each search costs about the
// logarithm of the points plus what it finds, however the points lie (clustered, stacked on
// one spot, or spread over a gate far larger than the frame). Built and searched without
// recursion.
class PointTree {
public:
    explicit PointTree(std::span<const LinkPoint> points) : points_(points), index_(points.size()) {
        std::iota(index_.begin(), index_.end(), 0);
        std::vector<Range> todo{{0, index_.size(), 0, 0}};
        while (!todo.empty()) {
            const Range r = todo.back();
            todo.pop_back();
            if (r.end - r.begin <= kLeaf) continue;
            const size_t mid = (r.begin + r.end) / 2;
            std::nth_element(index_.begin() + long(r.begin), index_.begin() + long(mid), index_.begin() + long(r.end),
                             [&](int a, int b) { return coordinate(a, r.axis) < coordinate(b, r.axis); });
            // The median stays where it is, between the two halves, and is the split of its range.
            todo.push_back({r.begin, mid, 1 - r.axis, 0}), todo.push_back({mid + 1, r.end, 1 - r.axis, 0});
        }
        // In the tree's order, so that a search reads neighbours from neighbouring memory.
        ordered_.resize(index_.size());
        for (size_t k = 0; k < index_.size(); ++k) ordered_[k] = points_[size_t(index_[k])];
    }

    // Up to `count` points at most sqrt(gate2) from p, nearest first (equal distances by index),
    // as (squared distance, index).
    void nearest(LinkPoint p, double gate2, size_t count, std::vector<std::pair<double, int>>& found) const {
        found.clear();
        auto worse = [](const std::pair<double, int>& a, const std::pair<double, int>& b) { return a < b; };
        std::vector<Range>& todo = todo_;
        todo.assign(1, {0, index_.size(), 0, 0});
        while (!todo.empty()) {
            const Range r = todo.back();
            todo.pop_back();
            const bool full = found.size() == count;
            if (r.bound > gate2 || (full && r.bound >= found.front().first)) continue;
            if (r.end - r.begin <= kLeaf) {
                for (size_t k = r.begin; k < r.end; ++k) offer(p, gate2, count, k, found, worse);
                continue;
            }
            const size_t mid = (r.begin + r.end) / 2;
            offer(p, gate2, count, mid, found, worse);
            const double split = r.axis == 0 ? ordered_[mid].x : ordered_[mid].y, at = r.axis == 0 ? p.x : p.y;
            const double beyond = std::max(r.bound, (at - split) * (at - split));
            const Range low{r.begin, mid, 1 - r.axis, at < split ? r.bound : beyond};
            const Range high{mid + 1, r.end, 1 - r.axis, at < split ? beyond : r.bound};
            // The near side last, so that it is searched first.
            if (at < split)
                todo.push_back(high), todo.push_back(low);
            else
                todo.push_back(low), todo.push_back(high);
        }
        std::sort_heap(found.begin(), found.end(), worse);
    }

private:
    static constexpr size_t kLeaf = 16;
    struct Range {
        size_t begin, end;
        int axis;
        double bound;  // no point of the range is nearer than this (squared)
    };
    double coordinate(int i, int axis) const { return axis == 0 ? points_[size_t(i)].x : points_[size_t(i)].y; }

    template <class Worse>
    void offer(LinkPoint p, double gate2, size_t count, size_t k, std::vector<std::pair<double, int>>& found,
               Worse worse) const {
        const double ex = ordered_[k].x - p.x, ey = ordered_[k].y - p.y;
        const double d2 = ex * ex + ey * ey;
        if (d2 > gate2) return;
        const std::pair<double, int> candidate{d2, index_[k]};
        if (found.size() == count) {
            if (!worse(candidate, found.front())) return;
            std::pop_heap(found.begin(), found.end(), worse);
            found.back() = candidate;
        } else {
            found.push_back(candidate);
        }
        std::push_heap(found.begin(), found.end(), worse);
    }

    std::span<const LinkPoint> points_;
    std::vector<int> index_;
    std::vector<LinkPoint> ordered_;
    mutable std::vector<Range> todo_;  // the ranges a search has still to look at
};

}  // namespace

namespace {

// The pairs through a grid of cells one gate wide, where a partner lies in one of the nine
// cells around a point, in the order pairs always came in: quick where points are sparse
// within a gate. False (`pairs` then unfinished) as soon as a point has more than `nearest`
// partners or more than a few times as many points to look at: a crowd, a gate wider than
// the spacing, points stacked on one spot, which the k-d tree serves at a bounded cost.
bool gridPairs(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step, size_t nearest,
               std::vector<GatedPair>& pairs) {
    const double gate2 = max_step * max_step;
    const size_t looked = 4 * nearest + 16;
    struct Cell {
        long long cx, cy;
        int index;
    };
    std::vector<Cell> cells(to.size());
    for (size_t j = 0; j < to.size(); ++j)
        cells[j] = {cell_of(to[j].x, max_step), cell_of(to[j].y, max_step), static_cast<int>(j)};
    auto key = [](const Cell& c) { return std::tie(c.cx, c.cy, c.index); };
    auto less = [&](const Cell& a, const Cell& b) { return key(a) < key(b); };
    std::sort(cells.begin(), cells.end(), less);
    for (size_t i = 0; i < from.size(); ++i) {
        const long long cx = cell_of(from[i].x, max_step), cy = cell_of(from[i].y, max_step);
        size_t seen = 0, partners = 0;
        for (long long dx = -1; dx <= 1; ++dx) {
            const Cell lo{cx + dx, cy - 1, -1}, hi{cx + dx, cy + 1, static_cast<int>(to.size())};
            for (auto it = std::lower_bound(cells.begin(), cells.end(), lo, less);
                 it != cells.end() && key(*it) <= key(hi); ++it) {
                if (++seen > looked) return false;
                const double ex = to[it->index].x - from[i].x, ey = to[it->index].y - from[i].y;
                const double d2 = ex * ex + ey * ey;
                if (d2 > gate2) continue;
                if (++partners > nearest) return false;
                pairs.push_back({static_cast<int>(i), it->index, d2});
            }
        }
    }
    return true;
}

}  // namespace

std::vector<GatedPair> gated_pairs(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step,
                                   size_t nearest) {
    std::vector<GatedPair> pairs;
    if (from.empty() || to.empty() || !(max_step > 0) || nearest == 0) return pairs;
    if (gridPairs(from, to, max_step, nearest, pairs)) return pairs;
    pairs.clear();
    const double gate2 = max_step * max_step;
    // Each point of `from` with its nearest partners; one that has more than `nearest` within
    // the gate is crowded, and keeps also the pairs in which it is among its partner's nearest.
    std::vector<std::pair<double, int>> found;
    std::vector<bool> crowded(from.size(), false);
    const PointTree toTree(to);
    for (size_t i = 0; i < from.size(); ++i) {
        toTree.nearest(from[i], gate2, nearest + 1, found);
        if (found.size() > nearest) crowded[i] = true, found.pop_back();
        for (const auto& [d2, j] : found) pairs.push_back({int(i), j, d2});
    }
    const bool crowdedAny = std::find(crowded.begin(), crowded.end(), true) != crowded.end();
    if (crowdedAny) {
        const PointTree fromTree(from);
        for (size_t j = 0; j < to.size(); ++j) {
            fromTree.nearest(to[j], gate2, nearest, found);
            for (const auto& [d2, i] : found)
                if (crowded[size_t(i)]) pairs.push_back({i, int(j), d2});
        }
    }
    // By i, then by the partner's cell one gate wide and its index: the order pairs always came in.
    std::vector<std::pair<long long, long long>> cell(to.size());
    for (size_t j = 0; j < to.size(); ++j) cell[j] = {cell_of(to[j].x, max_step), cell_of(to[j].y, max_step)};
    auto before = [&](const GatedPair& a, const GatedPair& b) {
        return std::tie(a.from, cell[size_t(a.to)], a.to) < std::tie(b.from, cell[size_t(b.to)], b.to);
    };
    auto same = [](const GatedPair& a, const GatedPair& b) { return a.from == b.from && a.to == b.to; };
    if (crowdedAny) {  // the pairs added for crowded points, each into its place by i
        std::vector<size_t> start(from.size() + 1, 0);
        for (const GatedPair& p : pairs) ++start[size_t(p.from) + 1];
        std::partial_sum(start.begin(), start.end(), start.begin());
        std::vector<GatedPair> byFrom(pairs.size());
        for (const GatedPair& p : pairs) byFrom[start[size_t(p.from)]++] = p;
        pairs = std::move(byFrom);
    }
    // Each point's few partners.
    size_t kept = 0;
    for (size_t begin = 0, end = 0; begin < pairs.size(); begin = end) {
        while (end < pairs.size() && pairs[end].from == pairs[begin].from) ++end;
        std::sort(pairs.begin() + long(begin), pairs.begin() + long(end), before);
        const auto last = std::unique(pairs.begin() + long(begin), pairs.begin() + long(end), same);
        kept = size_t(std::move(pairs.begin() + long(begin), last, pairs.begin() + long(kept)) - pairs.begin());
    }
    pairs.resize(kept);
    return pairs;
}

std::vector<int> link_step(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step) {
    const std::vector<GatedPair> gated = gated_pairs(from, to, max_step);
    // Minimising the cost above is maximising the sum over linked pairs of 2*gate^2 - d^2, a
    // weight between gate^2 and 2*gate^2. The solver wants integers: weights are scaled so
    // that the largest is 2^40, which leaves a group of a million members far from overflow
    // and resolves steps much finer than a pixel.
    const double gate2 = max_step * max_step;
    const double scale = std::ldexp(1.0, 40) / (2 * gate2);
    std::vector<assign::Edge> pairs(gated.size());
    for (size_t k = 0; k < gated.size(); ++k)
        pairs[k] = {gated[k].from, gated[k].to, std::max(1LL, std::llround((2 * gate2 - gated[k].d2) * scale))};
    const std::vector<int32_t> links = assign::best_matching(from.size(), to.size(), pairs, kLargestLinkGroup);
    return {links.begin(), links.end()};
}

LinkSettings parse_link_option(std::string_view given) {
    const std::string text(given);
    auto fail = [&](const std::string& why) {
        throw std::invalid_argument("--link '" + text + "': " + why + " (expected MAX_STEP[,MEMORY][,predict][,global], e.g. 12,5)");
    };
    const size_t comma = text.find(',');
    const std::string step = text.substr(0, comma);
    LinkSettings s;
    auto [p, ec] = std::from_chars(step.data(), step.data() + step.size(), s.max_step);
    if (step.empty() || ec != std::errc() || p != step.data() + step.size()) fail("MAX_STEP is not a number");
    if (!(s.max_step > 0) || !std::isfinite(s.max_step)) fail("MAX_STEP must be a positive number of pixels");
    if (comma != std::string::npos) {
        const std::string mem = text.substr(comma + 1);
        auto [q, ec2] = std::from_chars(mem.data(), mem.data() + mem.size(), s.memory);
        if (mem.empty() || ec2 != std::errc() || q != mem.data() + mem.size() || s.memory < 0)
            fail("MEMORY must be a whole number of frames, 0 or more");
    }
    return s;
}

TrackLinker::TrackLinker(LinkSettings settings) : settings_(settings) {
    if (!(settings.max_step > 0) || !std::isfinite(settings.max_step))
        throw std::invalid_argument("the largest step must be a positive number of pixels");
    if (settings.memory < 0) throw std::invalid_argument("the memory must be 0 frames or more");
}

std::vector<LinkedRow> TrackLinker::push(long long frame, std::span<const Detection> detections) {
    if (started_ && frame <= last_frame_)
        throw std::invalid_argument("frame " + std::to_string(frame) + " comes after frame " +
                                    std::to_string(last_frame_));
    for (const Detection& d : detections)
        if (!std::isfinite(d.x) || !std::isfinite(d.y))
            throw std::invalid_argument("an object of frame " + std::to_string(frame) + " has no finite position");
    started_ = true, last_frame_ = frame;

    // Tracks unseen for longer than the memory ended before this frame.
    std::erase_if(live_, [&](const Track& t) { return frame - t.last_seen - 1 > settings_.memory; });

    std::vector<LinkPoint> from(live_.size()), to(detections.size());
    for (size_t i = 0; i < live_.size(); ++i) {
        const Track& t = live_[i];
        const double ahead = settings_.predict ? static_cast<double>(frame - t.last_seen) : 0.0;
        from[i] = {t.x + t.vx * ahead, t.y + t.vy * ahead};
    }
    for (size_t j = 0; j < detections.size(); ++j) to[j] = {detections[j].x, detections[j].y};
    const std::vector<int> links = link_step(from, to, settings_.max_step);

    std::vector<int> track_of(detections.size(), -1);
    for (size_t i = 0; i < links.size(); ++i)
        if (links[i] >= 0) track_of[links[i]] = static_cast<int>(i);

    std::vector<LinkedRow> rows;
    rows.reserve(detections.size() + live_.size());
    std::vector<Track> born;
    for (size_t j = 0; j < detections.size(); ++j) {
        const Detection& d = detections[j];
        long long id;
        if (track_of[j] >= 0) {
            Track& t = live_[track_of[j]];
            const double gap = static_cast<double>(frame - t.last_seen);
            const double vx = (d.x - t.x) / gap, vy = (d.y - t.y) / gap;
            t.vx = t.seen > 1 ? (t.vx + vx) / 2 : vx, t.vy = t.seen > 1 ? (t.vy + vy) / 2 : vy;
            ++t.seen;
            t.x = d.x, t.y = d.y, t.last_seen = frame;
            id = t.id;
        } else {
            id = next_id_++;
            born.push_back({id, d.x, d.y, frame, 0, 0, 1});
        }
        rows.push_back({frame, id, d.x, d.y, false, d.row});
    }
    // An unseen track keeps its identity while it has been unseen for at most `memory` frames.
    for (const Track& t : live_)
        if (t.last_seen != frame && frame - t.last_seen <= settings_.memory)
            rows.push_back({frame, t.id, t.x, t.y, true, -1});
    live_.insert(live_.end(), born.begin(), born.end());
    return rows;
}

std::vector<LinkedRow> link_table(std::span<const TableRow> rows, LinkSettings settings, long long last_frame) {
    TrackLinker linker(settings);
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return rows[a].frame < rows[b].frame; });

    std::vector<LinkedRow> out;
    std::vector<Detection> detections;
    for (size_t begin = 0; begin < order.size();) {
        const long long frame = rows[order[begin]].frame;
        size_t end = begin;
        detections.clear();
        while (end < order.size() && rows[order[end]].frame == frame) {
            const TableRow& r = rows[order[end]];
            detections.push_back({r.x, r.y, static_cast<long long>(order[end])});
            ++end;
        }
        const std::vector<LinkedRow> linked = linker.push(frame, detections);
        out.insert(out.end(), linked.begin(), linked.end());
        // Frames without rows up to the next one: their missing rows, as long as a track is alive.
        if (end < order.size() || last_frame > frame) {
            const long long next = end < order.size() ? rows[order[end]].frame : last_frame + 1;
            for (long long f = frame + 1; f < next && linker.live_tracks() > 0; ++f) {
                const std::vector<LinkedRow> empty = linker.push(f, {});
                out.insert(out.end(), empty.begin(), empty.end());
                if (empty.empty()) break;
            }
        }
        begin = end;
    }
    return out;
}

}  // namespace ambrevo
