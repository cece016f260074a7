#include "ambrevo/pipeline/tracks/track_summary.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "ambrevo/pipeline/core/text/csv.h"
#include "ambrevo/pipeline/core/text/numbers.h"

namespace ambrevo {

std::vector<TrackSummary> summarise_tracks(std::span<const TrackPoint> rows, const SummarySettings& settings) {
    const bool timed = settings.fps > 0;
    const double per_unit = settings.pixels_per_unit > 0 ? settings.pixels_per_unit : 1.0;
    auto time_of = [&](const TrackPoint& p) {
        if (!timed) return static_cast<double>(p.frame);
        return std::isfinite(p.time_s) ? p.time_s : static_cast<double>(p.frame) / settings.fps;
    };

    std::vector<size_t> seen;
    for (size_t i = 0; i < rows.size(); ++i)
        if (!rows[i].missing) seen.push_back(i);
    std::stable_sort(seen.begin(), seen.end(), [&](size_t a, size_t b) {
        return rows[a].track != rows[b].track ? rows[a].track < rows[b].track : rows[a].frame < rows[b].frame;
    });

    std::vector<TrackSummary> out;
    for (size_t begin = 0; begin < seen.size();) {
        size_t end = begin;
        while (end < seen.size() && rows[seen[end]].track == rows[seen[begin]].track) ++end;
        const TrackPoint& first = rows[seen[begin]];
        const TrackPoint& last = rows[seen[end - 1]];
        TrackSummary s;
        s.track = first.track;
        s.first_frame = first.frame, s.last_frame = last.frame;
        s.frames_seen = static_cast<long long>(end - begin);
        s.time_in_arena.assign(static_cast<size_t>(std::max(settings.arenas, 0)) + 1, 0.0);
        for (size_t k = begin; k < end; ++k) {
            const TrackPoint& p = rows[seen[k]];
            if (p.arena >= 0 && p.arena <= settings.arenas) s.time_in_arena[p.arena] += 1;
            if (k == begin) continue;
            const TrackPoint& q = rows[seen[k - 1]];
            if (q.frame == p.frame)
                throw std::invalid_argument("track " + std::to_string(p.track) + " is seen twice in frame " +
                                            std::to_string(p.frame));
            const double step = std::hypot(p.x - q.x, p.y - q.y) / per_unit;
            s.path_length += step;
            // Timestamps that stand still or go back give no speed rather than an infinite one.
            const double dt = time_of(p) - time_of(q);
            if (dt > 0 && !(s.max_speed >= step / dt)) s.max_speed = step / dt;
        }
        if (time_of(last) > time_of(first)) s.mean_speed = s.path_length / (time_of(last) - time_of(first));
        if (timed)
            for (double& t : s.time_in_arena) t /= settings.fps;
        out.push_back(std::move(s));
        begin = end;
    }
    return out;
}

void write_summary_csv(std::ostream& out, std::span<const TrackSummary> summaries, const SummarySettings& settings) {
    const std::string unit = settings.pixels_per_unit > 0 ? settings.unit : "px";
    const std::string time = settings.fps > 0 ? "s" : "frames";
    const std::string per = settings.fps > 0 ? "_per_s" : "_per_frame";
    out << "track,first_frame,last_frame,frames_seen," << csv::field("path_length_" + unit) << ','
        << csv::field("mean_speed_" + unit + per) << ',' << csv::field("max_speed_" + unit + per) << ",time_outside_"
        << time;
    for (int k = 1; k <= settings.arenas; ++k) out << ",time_arena" << k << "_" << time;
    out << "\n";
    for (const TrackSummary& s : summaries) {
        out << s.track << "," << s.first_frame << "," << s.last_frame << "," << s.frames_seen << ","
            << text::shortestCell(s.path_length) << "," << text::shortestCell(s.mean_speed) << ","
            << text::shortestCell(s.max_speed);
        for (int k = 0; k <= settings.arenas; ++k)
            out << "," << text::shortestCell(k < static_cast<int>(s.time_in_arena.size()) ? s.time_in_arena[k] : 0.0);
        out << "\n";
    }
}

}  // namespace ambrevo
