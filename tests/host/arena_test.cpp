// Arenas, linking, summaries and pictures, on cases and a scene made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>
#include <set>
#include <sstream>

#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "ambrevo/pipeline/tracks/track_summary.h"
#include "ambrevo/pipeline/tracks/track_table.h"
#include "cli_util.h"

using namespace ambrevo;

namespace {

double d2(const LinkPoint& a, const LinkPoint& b) { return std::pow(a.x - b.x, 2) + std::pow(a.y - b.y, 2); }

// The linking cost of a step: squared steps, and the gate squared for every point left unlinked.
double cost(const std::vector<LinkPoint>& from, const std::vector<LinkPoint>& to, double gate,
            const std::vector<int>& links) {
    double sum = gate * gate * double(from.size() + to.size());  // every point unlinked, until linked
    std::vector<bool> used(to.size(), false);
    for (size_t i = 0; i < from.size(); ++i) {
        if (links[i] < 0) continue;
        EXPECT_FALSE(used[size_t(links[i])]) << "detection linked twice";
        used[size_t(links[i])] = true;
        EXPECT_LE(d2(from[i], to[size_t(links[i])]), gate * gate) << "a gated pair was linked";
        sum += d2(from[i], to[size_t(links[i])]) - 2 * gate * gate;
    }
    return sum;
}

// The brute-force optimum over every gated partial matching of from[i..] (six points at most).
double best_cost(const std::vector<LinkPoint>& from, const std::vector<LinkPoint>& to, double gate, size_t i,
                 std::vector<bool>& used) {
    if (i == from.size()) return gate * gate * double(std::count(used.begin(), used.end(), false));
    double best = gate * gate + best_cost(from, to, gate, i + 1, used);
    for (size_t j = 0; j < to.size(); ++j) {
        if (used[j] || d2(from[i], to[j]) > gate * gate) continue;
        used[j] = true;
        best = std::min(best, d2(from[i], to[j]) + best_cost(from, to, gate, i + 1, used));
        used[j] = false;
    }
    return best;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Linking

TEST(TrackLink, EachStepIsTheOptimumOfAllGatedMatchings) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> place(0, 30);
    std::uniform_int_distribution<int> count(0, 6);
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<LinkPoint> from(size_t(count(rng))), to(size_t(count(rng)));
        for (auto& p : from) p = {place(rng), place(rng)};
        for (auto& p : to) p = {place(rng), place(rng)};
        const double gate = 4 + trial % 12;
        const std::vector<int> links = link_step(from, to, gate);
        ASSERT_EQ(links.size(), from.size());
        std::vector<bool> used(to.size(), false);
        EXPECT_NEAR(cost(from, to, gate, links), best_cost(from, to, gate, 0, used), 1e-6 * gate * gate) << "trial " << trial;
    }
}

// Every pair within the gate, unless both its points have `nearest` nearer partners: checked
// against all pairs on scattered, clustered and stacked points, gates from a pixel to far more
// than the field, and with it the bound that keeps a step's pairs linear in the points.
TEST(TrackLink, GatedPairsAreThePairsWithinTheGateUpToEachPointsNearest) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int trial = 0; trial < 300; ++trial) {
        const size_t nearest = 1 + size_t(trial % 7);
        const double field = trial % 3 == 0 ? 4 : 100;  // clustered: many points within a gate
        std::vector<LinkPoint> from(size_t(rng() % 40)), to(size_t(rng() % 40));
        for (auto* side : {&from, &to})
            for (auto& p : *side) p = {field * unit(rng), field * unit(rng)};
        const double gate = trial % 5 == 0 ? 1e6 : 1 + 30 * unit(rng);
        // Each point's partners within the gate, nearest first.
        auto nearestOf = [&](const LinkPoint& p, const std::vector<LinkPoint>& others) {
            std::vector<std::pair<double, size_t>> within;
            for (size_t k = 0; k < others.size(); ++k)
                if (d2(p, others[k]) <= gate * gate) within.push_back({d2(p, others[k]), k});
            std::sort(within.begin(), within.end());
            within.resize(std::min(within.size(), nearest));
            return within;
        };
        std::set<std::pair<int, int>> expected;
        for (size_t i = 0; i < from.size(); ++i)
            for (const auto& [unused, j] : nearestOf(from[i], to)) expected.insert({int(i), int(j)});
        for (size_t j = 0; j < to.size(); ++j)
            for (const auto& [unused, i] : nearestOf(to[j], from)) expected.insert({int(i), int(j)});
        std::set<std::pair<int, int>> got;
        int lastFrom = -1;
        for (const GatedPair& p : gated_pairs(from, to, gate, nearest)) {
            EXPECT_GE(p.from, lastFrom) << "ordered by i";
            lastFrom = p.from;
            EXPECT_DOUBLE_EQ(p.d2, d2(from[size_t(p.from)], to[size_t(p.to)]));
            EXPECT_TRUE(got.insert({p.from, p.to}).second) << "a pair twice";
        }
        EXPECT_EQ(got, expected) << "trial " << trial;
    }
    // 2,000 tracks and objects all on one spot: each point keeps its nearest, not all 4 million pairs.
    const std::vector<LinkPoint> stacked(2000, LinkPoint{5, 5});
    const std::vector<GatedPair> pairs = gated_pairs(stacked, stacked, 10);
    EXPECT_GE(pairs.size(), 2000 * kNearestPartners);
    EXPECT_LE(pairs.size(), 2 * 2000 * kNearestPartners);
    EXPECT_EQ(link_step(stacked, stacked, 10).size(), 2000u);
}

// Frame by frame: "track@row" for detections, "track?x,y" for missing rows, in output order;
// frames split by '|'.
TEST(TrackLink, FramesByFrame) {
    using F = std::vector<Detection>;
    // The case, the linker's settings, the detections per frame, the rows.
    const std::vector<std::tuple<const char*, LinkSettings, std::vector<F>, std::string>> cases = {
        // Nearest-first would give the detection at 5.5 to track 1 (4.5 away) and strand track 0.
        {"optimal, not greedy", {6, 0}, {{{0, 0, 0}, {10, 0, 1}}, {{15, 0, 0}, {5.5, 0, 1}}}, "0@0 1@1|1@0 0@1"},
        {"a step of exactly the gate links, beyond it does not", {5, 0}, {{{0, 0, 0}, {100, 0, 1}}, {{3, 4, 0}, {105.01, 0, 1}}},
         "0@0 1@1|0@0 2@1"},
        {"newcomers numbered in input order", {5, 0}, {{{50, 50, 7}}, {{0, 0, 3}, {50, 51, 4}, {90, 0, 5}}}, "0@7|1@3 0@4 2@5"},
        {"unseen for memory frames keeps its identity, at its last position", {5, 2},
         {{{10, 10, 0}}, {{10.5, 9.25, 0}}, {}, {}, {{11, 10, 0}}}, "0@0|0@0|0?10.5,9.25|0?10.5,9.25|0@0"},
        {"unseen for one frame more ends the track", {5, 2}, {{{10, 10, 0}}, {}, {}, {}, {{11, 10, 0}}}, "0@0|0?10,10|0?10,10||1@0"},
        {"last positions: the nearest detection", {5, 0}, {{{0, 0, 0}}, {{4, 0, 0}}, {{6, 0, 0}, {8.5, 0, 1}}}, "0@0|0@0|0@0 1@1"},
        {"predicted positions: where its velocity takes it", {5, 0, true}, {{{0, 0, 0}}, {{4, 0, 0}}, {{6, 0, 0}, {8.5, 0, 1}}},
         "0@0|0@0|1@0 0@1"},
        {"a prediction across a gap spreads the step over the unseen frames", {5, 2, true},
         {{{0, 0, 0}}, {}, {{4, 0, 0}}, {}, {{11.5, 0, 0}, {8, 0, 1}}}, "0@0|0?0,0|0@0|0?4,0|1@0 0@1"},
        {"memory 0: no missing rows", {5, 0}, {{{10, 10, 0}}, {}, {{10, 10, 0}}}, "0@0||1@0"},
        {"a lost track and a newcomer: the gate keeps them apart", {5, 3},
         {{{0, 0, 0}, {40, 0, 1}}, {{40, 2, 0}}, {{7, 0, 0}, {40, 4, 1}}}, "0@0 1@1|1@0 0?0,0|2@0 1@1 0?0,0"},
    };
    for (const auto& [name, settings, frames, expected] : cases) {
        TrackLinker linker(settings);
        std::string got;
        for (size_t f = 0; f < frames.size(); ++f) {
            got += f ? "|" : "";
            for (const LinkedRow& r : linker.push(static_cast<long long>(f), frames[f])) {
                char position[64];
                std::snprintf(position, sizeof position, "?%g,%g", r.x, r.y);
                got += (got.empty() || got.back() == '|' ? "" : " ") + std::to_string(r.track) +
                       (r.missing ? position : "@" + std::to_string(r.row));
                EXPECT_TRUE(r.frame == static_cast<long long>(f) && (!r.missing || r.row == -1)) << name;
            }
        }
        EXPECT_EQ(got, expected) << name;
    }
}

TEST(TrackLink, RefusesBadSettingsAndInput) {
    for (auto [text, step, memory] : std::vector<std::tuple<const char*, double, int>>{{"12", 12, 0}, {"12,5", 12, 5}, {"2.5,0", 2.5, 0}})
        EXPECT_TRUE(parse_link_option(text).max_step == step && parse_link_option(text).memory == memory) << text;
    for (const char* bad : {"", "x", "0", "-3,1", "12,", "12,-1", "12,1.5", "12,5,6", "inf", "12px", "12,x"}) {
        EXPECT_HOLDS(thrownAs<std::invalid_argument>([&] { parse_link_option(bad); }), "'" + std::string(bad) + "'");
    }
    EXPECT_THROW(TrackLinker({0, 0}), std::invalid_argument);
    EXPECT_THROW(TrackLinker({5, -1}), std::invalid_argument);
    TrackLinker linker({5, 0});
    linker.push(3, {});
    EXPECT_THROW(linker.push(3, {}), std::invalid_argument);
    EXPECT_THROW(linker.push(4, std::vector<Detection>{{NAN, 0, 0}}), std::invalid_argument);
}

TEST(TrackLink, TableInAnyOrderWithEmptyFrames) {
    // Frame 2 has no rows: both tracks get missing rows there; track 1, last seen at frame 0,
    // has none at frame 3, past its memory.
    std::vector<std::string> got;
    for (const auto& r : link_table(std::vector<TableRow>{{3, 11, 10}, {0, 10, 10}, {1, 10.5, 10}, {0, 30, 30}}, {5, 2}))
        got.push_back(std::to_string(r.frame) + ":" + std::to_string(r.track) + (r.missing ? "?" : "@" + std::to_string(r.row)));
    EXPECT_EQ(got, (std::vector<std::string>{"0:0@1", "0:1@3", "1:0@2", "1:1?", "2:0?", "2:1?", "3:0@0"}));
}

// ---------------------------------------------------------------------------------------------
// Regions

TEST(Roi, ParsesShapesAndRefusesMalformedSpecs) {
    for (const auto& [given, kind, numbers] : std::vector<std::tuple<std::string, Arena::Kind, std::vector<double>>>{
             {"rect:1,2,3,4", Arena::Kind::rect, {1, 2, 3, 4}},
             {"circle:10.5,20,7.25", Arena::Kind::circle, {10.5, 20, 7.25}},
             {"polygon:0,0,10,0,5,8", Arena::Kind::polygon, {0, 0, 10, 0, 5, 8}}}) {
        const Arena a = parse_roi(given);
        EXPECT_TRUE(a.kind == kind && a.numbers == numbers && a.given == given) << given;
    }
    // Each refusal names what was given and what is wrong with it, on one line.
    for (const auto& [given, says] : std::vector<std::pair<std::string, std::string>>{
             {"rect:1,2,3", "4 numbers"}, {"rect:1,2,0,4", "positive"}, {"rect:1,a,2,3", "'a' is not a number"},
             {"rect:", "'' is not a number"}, {"rect:1,2,,3", "not a number"}, {"circle:1,2", "3 numbers"},
             {"circle:1,2,0", "positive radius"}, {"polygon:0,0,1,1", "3 vertices"}, {"polygon:0,0,1,1,2", "last y"},
             {"circle:1,2,nan", "not a number"}, {"/no/such/mask.png", "nor a mask image file"},
             {"rectangle:1,2,3,4", "nor a mask image file"}, {"/", "it is a folder, not a mask image file"},
             {"/proc/self/status", "cannot be read"}}) {
        const std::string what = thrownAs<std::invalid_argument>([&] { parse_roi(given); });
        EXPECT_TRUE(what.find("'" + given + "'") != std::string::npos && what.find(says) != std::string::npos &&
                    what.find('\n') == std::string::npos) << given << ": " << what;
    }
}

TEST(Roi, LabelsEachPixelByTheFirstArenaThatHoldsIt) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {  // the rows of a 7x5 frame
        {{"rect:1,1,3,2"}, "0000000/0111000/0111000/0000000/0000000"},
        {{"rect:1.5,0.2,2,2"}, "0000000/0011000/0011000/0000000/0000000"},
        {{"rect:-5,3,100,100"}, "0000000/0000000/0000000/1111111/1111111"},
        {{"circle:3,2,2"}, "0001000/0011100/0111110/0011100/0001000"},
        {{"circle:3,2,2.3"}, "0011100/0111110/0111110/0111110/0011100"},
        // The same square as a polygon and as a rect: left and top edges in, right and bottom out.
        {{"polygon:1,1,4,1,4,3,1,3"}, "0000000/0111000/0111000/0000000/0000000"},
        {{"polygon:0,0,6,0,0,4"}, "1111110/1111100/1110000/1100000/0000000"},
        // Two polygons sharing an edge: no pixel in both, none lost.
        {{"polygon:0,0,3,0,3,5,0,5", "polygon:3,0,7,0,7,5,3,5"}, "1112222/1112222/1112222/1112222/1112222"},
        // Overlap: the first arena wins.
        {{"rect:0,0,4,3", "rect:2,1,5,4"}, "1111000/1111222/1111222/0022222/0022222"},
        {{"rect:2,1,5,4", "rect:0,0,4,3"}, "2222000/2211111/2211111/0011111/0011111"},
        {{"circle:30,30,2"}, "0000000/0000000/0000000/0000000/0000000"},
    };
    for (const auto& [givens, expected] : cases) {
        std::vector<Arena> arenas;
        for (const auto& given : givens) arenas.push_back(parse_roi(given));
        const cv::Mat labels = ArenaMap(arenas, cv::Size(7, 5)).labels();
        std::string rows;
        for (int i = 0; i < 35; ++i) rows += std::string(i && i % 7 == 0 ? "/" : "") + char('0' + labels.at<uchar>(i / 7, i % 7));
        EXPECT_EQ(rows, expected) << givens[0];
    }
}

TEST(Roi, TheArenaOfAPoint) {
    const ArenaMap map({parse_roi("rect:0,0,3,5"), parse_roi("rect:4,0,3,5")}, cv::Size(7, 5));
    for (const auto& [x, y, arena] : std::vector<std::tuple<double, double, int>>{
             {0, 0, 1}, {2.4, 4.4, 1}, {2.6, 2, 0}, {3.6, 2, 2}, {6.49, 4.49, 2}, {6.5, 2, 0}, {-0.6, 1, 0},
             {1, -0.5, 0}, {NAN, 1, 0}, {1e300, 1, 0}})
        EXPECT_EQ(map.arena_of(x, y), arena) << x << "," << y;
}

// Outside the arenas every pixel becomes the lower median of the inside, per channel, in colour
// and grey frames; the inside keeps its bytes.
TEST(Roi, PaintsTheLowerMedianOfTheInsidePerChannel) {
    cv::Mat frame(2, 4, CV_8UC3), grey(2, 4, CV_8UC1);
    const uchar values[8] = {10, 200, 30, 40, 1, 2, 3, 4};
    for (int i = 0; i < 8; ++i) {
        frame.at<cv::Vec3b>(i / 4, i % 4) = cv::Vec3b(values[i], 255 - values[i], 7);
        grey.at<uchar>(i / 4, i % 4) = values[7 - i];
    }
    const ArenaMap map({parse_roi("rect:0,0,4,1")}, frame.size());  // inside: 10, 200, 30, 40
    const cv::Mat inside = frame.row(0).clone();
    map.paint_outside(frame);
    map.paint_outside(grey);
    EXPECT_EQ(cv::norm(frame.row(0), inside, cv::NORM_INF), 0);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(frame.at<cv::Vec3b>(1, x), cv::Vec3b(30, 215, 7));
    EXPECT_EQ(std::vector<uchar>(grey.begin<uchar>(), grey.end<uchar>()), (std::vector<uchar>{4, 3, 2, 1, 2, 2, 2, 2}));
    cv::Mat wrong(3, 4, CV_8UC3);
    EXPECT_THROW(map.paint_outside(wrong), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Summaries

TEST(TrackSummary, StepsSpeedsAndTimesOfKnownPaths) {
    // Track 4: steps of (3, 4) = 5 px per frame, frames 10..13, a gap at 14 (missing) and 15,
    // then a step of (6, 8) = 10 px over two frames at 16. Arena 1 then 2.
    // Track 2: seen once, at frame 20.
    std::vector<TrackPoint> rows = {
        {16, 4, 15, 20, false, 2}, {10, 4, 0, 0, false, 1}, {11, 4, 3, 4, false, 1},   {12, 4, 6, 8, false, 1},
        {13, 4, 9, 12, false, 2},  {14, 4, 9, 12, true, 2}, {20, 2, 50, 50, false, 0},
    };
    SummarySettings settings{2.5, "mm", 0, 2};  // 2.5 px per mm, no frame rate: per frame
    auto s = summarise_tracks(rows, settings);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(s[0].track == 2 && s[0].first_frame == 20 && s[0].last_frame == 20 && s[0].frames_seen == 1 &&
                s[0].path_length == 0 && std::isnan(s[0].mean_speed) && std::isnan(s[0].max_speed));
    EXPECT_EQ(s[0].time_in_arena, (std::vector<double>{1, 0, 0}));
    const TrackSummary& t = s[1];
    EXPECT_TRUE(t.track == 4 && t.first_frame == 10 && t.last_frame == 16 && t.frames_seen == 5);
    EXPECT_DOUBLE_EQ(t.path_length, (15 + 10) / 2.5);
    EXPECT_DOUBLE_EQ(t.mean_speed, 10.0 / 6);
    EXPECT_DOUBLE_EQ(t.max_speed, 2.0);  // 5 px per frame = 2 mm per frame; the gap step is 10 px / 3 frames
    EXPECT_EQ(t.time_in_arena, (std::vector<double>{0, 3, 2}));

    // With a frame rate: seconds; a frame's own time wins over frame / fps.
    settings.fps = 25;
    rows[0].time_s = 16 / 25.0 + 0.04;  // frame 16 came late: the gap step is spread over 4 frame times
    s = summarise_tracks(rows, settings);
    EXPECT_DOUBLE_EQ(s[1].max_speed, 2.0 * 25);
    EXPECT_DOUBLE_EQ(s[1].mean_speed, 10.0 / (7 * 0.04));
    EXPECT_EQ(s[1].time_in_arena, (std::vector<double>{0, 3 / 25.0, 2 / 25.0}));

    rows.push_back({12, 4, 1, 1, false, 1});
    EXPECT_THROW(summarise_tracks(rows, settings), std::invalid_argument);
}

TEST(TrackSummary, CsvHeaderNamesUnitsAndRowsAreExact) {
    TrackSummary s;
    s.track = 3, s.first_frame = 1, s.last_frame = 9, s.frames_seen = 8, s.path_length = 0.1 + 0.2;
    s.mean_speed = 1.5, s.time_in_arena = {0, 0.32, 0};
    TrackSummary t = s;
    t.track = 4, t.time_in_arena = {2};  // fewer columns than arenas: zeros
    std::ostringstream out, plain;
    write_summary_csv(out, std::vector<TrackSummary>{s, t}, {4, "mm", 25, 2});
    EXPECT_EQ(out.str(),
              "track,first_frame,last_frame,frames_seen,path_length_mm,mean_speed_mm_per_s,max_speed_mm_per_s,"
              "time_outside_s,time_arena1_s,time_arena2_s\n"
              "3,1,9,8,0.30000000000000004,1.5,,0,0.32,0\n"
              "4,1,9,8,0.30000000000000004,1.5,,2,0,0\n");
    write_summary_csv(plain, {}, {});
    EXPECT_EQ(plain.str(),
              "track,first_frame,last_frame,frames_seen,path_length_px,mean_speed_px_per_frame,"
              "max_speed_px_per_frame,time_outside_frames\n");
}

// ---------------------------------------------------------------------------------------------
// Pictures

// The pictures drawn on the background are for the arena runs to show.
TEST(Plots, ScaleBarAndMedianBackground) {
    // Pixels per unit, picture width, bar length in units.
    for (const auto& [scale, width, length] : std::vector<std::tuple<double, int, double>>{
             {2, 640, 50}, {10, 640, 10}, {0.5, 1000, 200}, {3, 300, 20}, {100, 640, 1}, {1000, 640, 0.1}})
        EXPECT_DOUBLE_EQ(scale_bar_length(scale, width), length) << scale;

    // Any values, any count: each byte the lower median of its samples, per channel.
    for (const int count : {1, 2, 4, 5, 25}) {
        std::vector<cv::Mat> noise;
        for (int k = 0; k < count; ++k) {
            noise.emplace_back(7, 33, CV_8UC3);
            cv::RNG(uint64_t(k + 1)).fill(noise.back(), cv::RNG::UNIFORM, 0, 256);
        }
        const cv::Mat median = median_background(noise);
        std::vector<uchar> values(static_cast<size_t>(count));
        for (int i = 0; i < 7 * 33 * 3; ++i) {
            for (int k = 0; k < count; ++k) values[size_t(k)] = noise[size_t(k)].data[i];
            std::sort(values.begin(), values.end());
            ASSERT_EQ(median.data[i], values[size_t(count - 1) / 2]) << count << " samples, byte " << i;
        }
    }
    cv::Mat floor(240, 480, CV_8UC3);
    cv::RNG(5).fill(floor, cv::RNG::UNIFORM, 150, 220);
    EXPECT_THROW(median_background({}), std::invalid_argument);
    EXPECT_THROW(median_background(std::vector<cv::Mat>{floor, cv::Mat(10, 10, CV_8UC3)}), std::invalid_argument);
    // A point half a pixel outside the picture is counted nowhere (too small a picture for a legend).
    const TrackPoint edge{0, 0, -0.5, 5};
    const cv::Mat small = floor(cv::Rect(0, 0, 50, 40));
    EXPECT_EQ(cv::norm(plot_heatmap(small, std::span(&edge, 1), {}), small, cv::NORM_INF), 0);
    // A track is drawn where it went, and a single visit already colours the heatmap, on the top row too.
    const TrackPoint path[] = {{0, 1, 10, 20}, {1, 1, 40, 20}}, top{0, 1, 10, 0};
    const cv::Mat drawn = plot_trajectories(small, path, {}), heat = plot_heatmap(small, std::span(&top, 1), {});
    auto colourful = [](const cv::Mat& m, int x, int y) {  // the spread of the channels: 0 on grey
        const cv::Vec3b c = m.at<cv::Vec3b>(y, x);
        return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]});
    };
    EXPECT_TRUE(colourful(drawn, 25, 20) > 60 && colourful(drawn, 25, 35) < 10);
    EXPECT_GT(cv::norm(heat.at<cv::Vec3b>(0, 10), small.at<cv::Vec3b>(0, 10)), 20);
}

TEST(TrackTable, OlderFilesReadAsBeforeAndNewerOnesTellPostureAndConfidence) {
    const TrackTable old = TrackTable::parse("# ambrevo track file\nframe,object,x,y,area,track,missing\n"
                                             "0,3,10,10,9,5,0\n1,-1,10,10,0,5,1\n");
    ASSERT_EQ(old.size(), 2u);
    EXPECT_TRUE(std::isnan(old.confidence(0)) && std::isnan(old.heading(0)));
    EXPECT_EQ(old.head(0), -1);
    EXPECT_TRUE(old.midline(0).empty());
    EXPECT_EQ(old.points().size(), 2u);

    std::string header = "frame,object,x,y,area,heading,head,length,width";
    std::string body = "0,1,50.5,20,300,0.5000,1,30.00,8.00", round = "0,2,80,20,150,,,,13.80";
    for (int k = 0; k < 11; ++k) {
        header += ",m" + std::to_string(k) + "_x,m" + std::to_string(k) + "_y";
        body += "," + std::to_string(36 + 3 * k) + ",20", round += ",,";
    }
    header += ",track,missing,confidence\n";
    const TrackTable t = TrackTable::parse(header + body + ",0,0,0.950\n" + round + ",1,0,0.400\n" +
                                           "0,3,150,90,40,,,,7.10,,,,,,,,,,,,,,,,,,,,,,,-1,0,0.000\n");
    EXPECT_DOUBLE_EQ(t.confidence(0), 0.95);
    EXPECT_DOUBLE_EQ(t.heading(0), 0.5);
    EXPECT_EQ(t.head(0), 1);
    const std::vector<TrackPoint> midline = t.midline(0);
    ASSERT_EQ(midline.size(), 11u);
    EXPECT_DOUBLE_EQ(midline.front().x, 36);
    EXPECT_DOUBLE_EQ(midline.back().x, 66);
    EXPECT_TRUE(t.midline(1).empty());  // a round object has none
    EXPECT_EQ(t.head(1), -1);
    // The row of none of the animals (track -1) is no track's, however many there are.
    const std::vector<TrackPoint> points = t.points();
    ASSERT_EQ(points.size(), 2u);
    EXPECT_TRUE(points[0].track == 0 && points[1].track == 1);
}
