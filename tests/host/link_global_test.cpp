// The whole-run linker against the frame-by-frame one, scored by the metrics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include "ambrevo/pipeline/tracks/link_global.h"
#include "score.h"

using namespace ambrevo;

namespace {

// Objects wandering at 3 px a frame in a square; objects closer than 8 px are seen as one, at
// their mean, and every position is seen with some noise: where crossings go wrong.
struct Crowd {
    std::vector<ScorePoint> truth;
    std::vector<GroupedRow> seen;
    Crowd(int objects, int frames, double side, unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> normal(0, 1);
        std::uniform_real_distribution<double> uniform(0, 1);
        std::vector<double> x(objects), y(objects), heading(objects);
        for (int i = 0; i < objects; ++i)
            x[i] = uniform(rng) * side, y[i] = uniform(rng) * side, heading[i] = 7 * uniform(rng);
        for (int f = 0; f < frames; ++f) {
            std::vector<int> with(objects, -1);  // the object each is seen with
            for (int i = 0; i < objects; ++i) {
                truth.push_back({f, i, x[i], y[i]});
                for (int j = 0; j < i && with[i] < 0; ++j)
                    if (with[j] < 0 && std::hypot(x[i] - x[j], y[i] - y[j]) < 8) with[i] = j;
            }
            for (int i = 0; i < objects; ++i) {
                if (with[i] >= 0) continue;
                double sx = x[i], sy = y[i], n = 1;
                for (int j = 0; j < objects; ++j)
                    if (with[j] == i) sx += x[j], sy += y[j], ++n;
                seen.push_back({f, sx / n + 0.7 * normal(rng), sy / n + 0.7 * normal(rng), 0});
            }
            for (int i = 0; i < objects; ++i) {
                heading[i] += 0.15 * normal(rng);
                x[i] += 3 * std::cos(heading[i]), y[i] += 3 * std::sin(heading[i]);
                if (x[i] < 0 || x[i] > side) heading[i] = M_PI - heading[i], x[i] = std::clamp(x[i], 0.0, side);
                if (y[i] < 0 || y[i] > side) heading[i] = -heading[i], y[i] = std::clamp(y[i], 0.0, side);
            }
        }
    }
};

ScoreResult scored(const Crowd& c, const std::vector<LinkedRow>& linked) {
    std::vector<ScorePoint> tracks;
    for (const LinkedRow& l : linked)
        if (!l.missing) tracks.push_back({l.frame, l.track, l.x, l.y});
    return score_tracks(c.truth, tracks, 5);
}

}  // namespace

TEST(GlobalLink, RepairsSwapsTheFrameByFramePassMade) {
    const LinkSettings settings{15, 5, true};
    long long online = 0, global = 0;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Crowd c(10, 150, 130, seed);
        std::vector<TableRow> table;
        for (const GroupedRow& r : c.seen) table.push_back({r.frame, r.x, r.y});
        online += scored(c, link_table(table, settings)).switches;
        const std::vector<LinkedRow> linked = link_global(c.seen, settings);
        global += scored(c, linked).switches;
        // Every object once, under its own row number.
        std::vector<int> rows(c.seen.size(), 0);
        for (const LinkedRow& l : linked)
            if (!l.missing) ++rows.at(size_t(l.row));
        EXPECT_EQ(std::count(rows.begin(), rows.end(), 1), long(rows.size()));
    }
    // Measured: 57 frame by frame, 31 over the whole run.
    EXPECT_LE(global * 10, online * 7) << online << " switches frame by frame, " << global << " over the whole run";
}

TEST(GlobalLink, TheCountOfEachGroupWhereTheVideoAllows) {
    // Group 0: three objects moving right, the middle one hidden on frames 10-19; group 1: two
    // objects at the same places as two of group 0, the second hidden on frames 5-14.
    std::vector<GroupedRow> rows;
    for (long long f = 0; f < 30; ++f)
        for (int i = 0; i < 3; ++i) {
            if (!(i == 1 && f >= 10 && f < 20)) rows.push_back({f, 3.0 * double(f), 40.0 * i, 0});
            if (i < 2 && !(i == 1 && f >= 5 && f < 15)) rows.push_back({f, 3.0 * double(f), 40.0 * i, 1});
        }
    auto tracks = [&](const std::vector<LinkedRow>& linked, int group) {
        std::set<long long> ids;
        for (const LinkedRow& l : linked)
            if (!l.missing && rows[size_t(l.row)].group == group) ids.insert(l.track);
        return ids;
    };
    const LinkSettings settings{15, 2, true};
    const std::vector<LinkedRow> unknown = link_global(rows, settings);
    EXPECT_EQ(tracks(unknown, 0).size(), 4u);  // the gaps are longer than the memory
    EXPECT_EQ(tracks(unknown, 1).size(), 3u);
    const std::vector<int> animals = {3, 2};
    const std::vector<LinkedRow> known = link_global(rows, settings, animals);
    const auto zero = tracks(known, 0), one = tracks(known, 1);
    EXPECT_EQ(zero.size(), 3u);
    EXPECT_EQ(one.size(), 2u);
    for (long long id : zero) EXPECT_EQ(one.count(id), 0u) << "a track in both groups";
    // The hidden frames are missing rows at the last position seen.
    const long long hidden = std::count_if(known.begin(), known.end(), [](const LinkedRow& l) { return l.missing; });
    EXPECT_EQ(hidden, 20);
    EXPECT_THROW(link_global(rows, {0, 2}), std::invalid_argument);
    rows[0].group = -1;
    EXPECT_THROW(link_global(rows, settings), std::invalid_argument);
}
