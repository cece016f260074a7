#include "track_link.h"

#include <dlib/optimization/max_cost_assignment.h>

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

// Union-find over the `from` points followed by the `to` points.
struct Groups {
    std::vector<int> parent;
    explicit Groups(size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    int find(int i) {
        while (parent[i] != i) {
            parent[i] = parent[parent[i]];
            i = parent[i];
        }
        return i;
    }
    void join(int a, int b) {
        a = find(a), b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

// Grid cell of a coordinate for cells one gate wide; clamped so that the conversion is defined
// for any finite input.
long long cell_of(double v, double gate) {
    const double c = std::floor(v / gate);
    return static_cast<long long>(std::clamp(c, -4e18, 4e18));
}

}  // namespace

std::vector<GatedPair> gated_pairs(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step) {
    std::vector<GatedPair> pairs;
    if (from.empty() || to.empty() || !(max_step > 0)) return pairs;
    const double gate2 = max_step * max_step;

    // Found through a grid of cells one gate wide: a partner lies in one of the nine cells
    // around a point.
    struct Cell {
        long long cx, cy;
        int index;
    };
    std::vector<Cell> cells(to.size());
    for (size_t j = 0; j < to.size(); ++j)
        cells[j] = {cell_of(to[j].x, max_step), cell_of(to[j].y, max_step), static_cast<int>(j)};
    auto key = [](const Cell& c) { return std::tie(c.cx, c.cy, c.index); };
    std::sort(cells.begin(), cells.end(), [&](const Cell& a, const Cell& b) { return key(a) < key(b); });

    for (size_t i = 0; i < from.size(); ++i) {
        const long long cx = cell_of(from[i].x, max_step), cy = cell_of(from[i].y, max_step);
        for (long long dx = -1; dx <= 1; ++dx) {
            const Cell lo{cx + dx, cy - 1, -1};
            const Cell hi{cx + dx, cy + 1, static_cast<int>(to.size())};
            auto first = std::lower_bound(cells.begin(), cells.end(), lo,
                                          [&](const Cell& a, const Cell& b) { return key(a) < key(b); });
            for (auto it = first; it != cells.end() && key(*it) <= key(hi); ++it) {
                const double ex = to[it->index].x - from[i].x, ey = to[it->index].y - from[i].y;
                const double d2 = ex * ex + ey * ey;
                if (d2 <= gate2) pairs.push_back({static_cast<int>(i), it->index, d2});
            }
        }
    }
    return pairs;
}

std::vector<int> best_matching(size_t from_count, size_t to_count, std::span<const WeightedPair> pairs) {
    std::vector<int> result(from_count, -1);
    if (pairs.empty()) return result;
    const int nf = static_cast<int>(from_count);
    Groups groups(from_count + to_count);
    for (const WeightedPair& e : pairs) groups.join(e.from, nf + e.to);

    // Pairs of each group, in a stable order.
    std::vector<int> order(pairs.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<int> root(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k) root[k] = groups.find(pairs[k].from);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return root[a] < root[b]; });

    // A square matrix padded with zeros has the same optimum: a zero chosen means "unmatched".
    std::vector<int> local_from, local_to;
    std::vector<int> index_of(from_count + to_count, -1);
    for (size_t begin = 0; begin < order.size();) {
        size_t end = begin;
        while (end < order.size() && root[order[end]] == root[order[begin]]) ++end;
        local_from.clear(), local_to.clear();
        for (size_t k = begin; k < end; ++k) {
            const WeightedPair& e = pairs[order[k]];
            if (index_of[e.from] < 0)
                index_of[e.from] = static_cast<int>(local_from.size()), local_from.push_back(e.from);
            if (index_of[nf + e.to] < 0)
                index_of[nf + e.to] = static_cast<int>(local_to.size()), local_to.push_back(e.to);
        }
        if (end - begin == 1) {
            const WeightedPair& e = pairs[order[begin]];
            result[e.from] = e.to;
        } else {
            const long n = static_cast<long>(std::max(local_from.size(), local_to.size()));
            dlib::matrix<long long> weight(n, n);
            weight = 0;
            for (size_t k = begin; k < end; ++k) {
                const WeightedPair& e = pairs[order[k]];
                weight(index_of[e.from], index_of[nf + e.to]) = e.weight;
            }
            const std::vector<long> assignment = dlib::max_cost_assignment(weight);
            for (size_t r = 0; r < local_from.size(); ++r) {
                const long c = assignment[r];
                if (c < static_cast<long>(local_to.size()) && weight(static_cast<long>(r), c) > 0)
                    result[local_from[r]] = local_to[c];
            }
        }
        begin = end;
    }
    return result;
}

std::vector<int> link_step(std::span<const LinkPoint> from, std::span<const LinkPoint> to, double max_step) {
    const std::vector<GatedPair> gated = gated_pairs(from, to, max_step);
    // Minimising the cost above is maximising the sum over linked pairs of 2*gate^2 - d^2, a
    // weight between gate^2 and 2*gate^2. The solver wants integers: weights are scaled so
    // that the largest is 2^40, which leaves a group of a million members far from overflow
    // and resolves steps much finer than a pixel.
    const double gate2 = max_step * max_step;
    const double scale = std::ldexp(1.0, 40) / (2 * gate2);
    std::vector<WeightedPair> pairs(gated.size());
    for (size_t k = 0; k < gated.size(); ++k)
        pairs[k] = {gated[k].from, gated[k].to, std::max(1LL, std::llround((2 * gate2 - gated[k].d2) * scale))};
    return best_matching(from.size(), to.size(), pairs);
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

std::vector<LinkedRow> link_table(std::span<const TableRow> rows, LinkSettings settings) {
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
        if (end < order.size()) {
            const long long next = rows[order[end]].frame;
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
