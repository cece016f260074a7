// Drives the real ambrevo executable on generated arenas: settings by name, regions of
// interest, units and time, linked tracks, summaries and pictures.

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "cli_util.h"

using cli::run;

namespace {

// Dark discs wandering in two square arenas on a textured bright floor, and dark discs moving
// outside the arenas that only painting keeps out of the rows. Frame 0 shows the empty floor,
// as a recording that starts before the animals are put in: background difference takes it
// for the background.
struct Scene {
    static constexpr int width = 480, height = 270, frames = 61, discs = 24, radius = 5;
    const cv::Rect arenas[2] = {{10, 10, 220, 220}, {250, 10, 220, 220}};
    std::vector<std::vector<cv::Point2d>> truth;  // [frame][disc]
    cv::Mat floor;

    Scene() {
        cv::RNG rng(7);
        cv::Mat coarse(height / 16, width / 16, CV_8UC1), grain(height, width, CV_8UC1);
        rng.fill(coarse, cv::RNG::UNIFORM, 170, 225);
        cv::resize(coarse, floor, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
        rng.fill(grain, cv::RNG::UNIFORM, 0, 20);
        floor += grain;
        cv::cvtColor(floor, floor, cv::COLOR_GRAY2BGR);
        std::vector<cv::Point2d> at(discs);
        std::vector<double> heading(discs);
        for (size_t d = 0; d < discs; ++d) {
            const cv::Rect a = arenas[d % 2];
            at[d] = {a.x + 20 + rng.uniform(0.0, a.width - 40.0), a.y + 20 + rng.uniform(0.0, a.height - 40.0)};
            heading[d] = rng.uniform(0.0, 2 * CV_PI);
        }
        for (int f = 0; f < frames; ++f) {
            truth.push_back(at);
            for (size_t d = 0; d < discs; ++d) {
                const cv::Rect a = arenas[d % 2];
                double& h = heading[d];
                h += rng.gaussian(0.15);
                cv::Point2d& p = at[d];
                p += cv::Point2d(3 * std::cos(h), 3 * std::sin(h));
                const double margin = radius + 4;
                if (p.x < a.x + margin || p.x > a.x + a.width - 1 - margin) h = CV_PI - h;
                if (p.y < a.y + margin || p.y > a.y + a.height - 1 - margin) h = -h;
                p.x = std::clamp(p.x, a.x + margin, a.x + a.width - 1 - margin);
                p.y = std::clamp(p.y, a.y + margin, a.y + a.height - 1 - margin);
            }
        }
    }
    cv::Mat frame(int f) const {
        cv::Mat m = floor.clone();
        if (f == 0) return m;
        std::vector<cv::Point2d> all = truth[size_t(f)];
        // Outside every arena: one disc down the gap between the arenas, two along the bottom.
        all.insert(all.end(), {{240, 12.0 + 3 * f}, {20.0 + 6 * f, 252}, {460.0 - 5 * f, 258}});
        for (const cv::Point2d& p : all)
            cv::circle(m, cv::Point(int(std::lround(p.x * 16)), int(std::lround(p.y * 16))), radius * 16,
                       cv::Scalar(40, 40, 40), cv::FILLED, cv::LINE_AA, 4);
        return m;
    }
    bool touch(int f, size_t d, size_t e) const { return cv::norm(truth[size_t(f)][d] - truth[size_t(f)][e]) <= 2 * radius + 3; }
    // Whether disc d touches no other on frame f (where two touch, their one region says
    // nothing of either's identity, nor of either's shape).
    bool alone(int f, size_t d) const {
        for (size_t e = 0; e < discs; ++e)
            if (e != d && touch(f, d, e)) return false;
        return true;
    }
    void write(const TempDir& dir) const {
        fs::create_directories(dir / "frames");
        for (int f = 0; f < frames; ++f) cv::imwrite(dir / cv::format("frames/%03d.png", f), frame(f));
    }
    // The disc within `radius` of (x, y) on frame f, or -1.
    int discAt(int f, double x, double y) const {
        for (size_t d = 0; d < discs; ++d)
            if (cv::norm(truth[size_t(f)][d] - cv::Point2d(x, y)) <= radius) return int(d);
        return -1;
    }
};

}  // namespace

// One run over the scene with every arena option: the rows, their columns, the identities
// through the crossings, the summary and the pictures.
TEST(ArenaRun, DiscsInTwoArenasKeepTheirIdentitiesUnitsAndTimes) {
    const Scene sc;
    TempDir dir;
    sc.write(dir);
    const std::string args = "frames/%03d.png --set Algoritam=4 --fps 20 --roi rect:10,10,220,220 "
                             "--roi rect:250,10,220,220 --link 15,5,predict --scale 4 --unit mm --quiet";
    RUN_OK(r, dir, args + " --tracks t.csv --summary s.csv --plot p.png --heatmap h.png");
    Table t(dir / "t.csv");
    EXPECT_EQ(t.header, "frame,object,x,y,area,time_s,track,missing,arena,x_mm,y_mm");
    EXPECT_EQ(t.values({"frame_rate", "time_from", "pixels_per_unit", "unit", "arena_1", "arena_2", "link", "setting Algoritam"}),
              "20 --fps 4 mm rect:10,10,220,220 rect:250,10,220,220 15,5,predict 4");

    // Every row in its arena and near its disc; the track of each disc on the frames where it
    // touches no other.
    std::vector<std::vector<int>> trackOf(Scene::discs, std::vector<int>(Scene::frames, -1));
    size_t seen = 0, matched = 0;
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const int f = int(t.number(i, "frame")), arena = int(t.number(i, "arena"));
        const double x = t.number(i, "x"), y = t.number(i, "y");
        EXPECT_TRUE(x == std::floor(x) && y == std::floor(y))
            << "row " << i << ": the flow tracker's centres are whole";
        EXPECT_TRUE(t.number(i, "time_s") == f / 20.0 && t.number(i, "x_mm") == x / 4 && t.number(i, "y_mm") == y / 4)
            << "row " << i;
        ASSERT_TRUE(arena == 1 || arena == 2) << "row " << i << " at " << x << "," << y;
        EXPECT_TRUE(sc.arenas[arena - 1].contains(cv::Point(int(x), int(y))));
        if (t.number(i, "missing") == 1) continue;
        ++seen;
        if (const int d = sc.discAt(f, x, y); d >= 0) {
            EXPECT_EQ(arena, d % 2 + 1);
            if (sc.alone(f, size_t(d))) trackOf[size_t(d)][size_t(f)] = int(t.number(i, "track"));
            ++matched;
        }
    }
    // Discs that touch show as one region: the rows are a little fewer than the disc-frames.
    EXPECT_GT(seen, size_t(0.85 * Scene::discs * (Scene::frames - 1)));
    EXPECT_GT(matched, size_t(0.98 * double(seen)));
    int switches = 0, encounters = 0;
    for (const auto& frames : trackOf)
        for (int f = 0, last = -1; f < Scene::frames; ++f)
            if (frames[size_t(f)] >= 0) switches += last >= 0 && frames[size_t(f)] != last, last = frames[size_t(f)];
    // Encounters: a pair of discs coming to touch. Each could swap the pair's identities.
    for (size_t d = 0; d < Scene::discs; ++d)
        for (size_t e = d + 1; e < Scene::discs; ++e)
            for (int f = 1; f < Scene::frames; ++f) encounters += sc.touch(f, d, e) && (f == 1 || !sc.touch(f - 1, d, e));
    // Measured: 7 switches in 24 encounters with prediction, 19 without.
    EXPECT_GE(encounters, 20);
    EXPECT_LE(switches, encounters / 3) << "identity switches over " << Scene::discs << " discs";

    // The summary: its columns and path arithmetic are the summary's own test; here each
    // track's time is split between the arenas it was seen in, in seconds (no column, a throw).
    Table s(dir / "s.csv");
    double framesSeen = 0;
    for (size_t i = 0; i < s.rows.size(); ++i) {
        framesSeen += s.number(i, "frames_seen");
        // No time outside the arenas; the time in them is the frames seen at 20 per second.
        EXPECT_EQ(s.number(i, "time_outside_s"), 0);
        EXPECT_DOUBLE_EQ(s.number(i, "time_arena1_s") + s.number(i, "time_arena2_s"), s.number(i, "frames_seen") / 20);
    }
    EXPECT_EQ(framesSeen, double(seen));
    for (const char* picture : {"p.png", "h.png"}) {
        std::vector<cv::Mat> bgr;
        cv::split(cv::imread(dir / picture), bgr);
        EXPECT_EQ(bgr.at(0).size(), cv::Size(Scene::width, Scene::height)) << picture;
        EXPECT_GT(cv::countNonZero(cv::abs(bgr[0] - bgr[2]) > 60), 500) << picture << ": the background is grey";
    }
}

// The crowd tracker measures its objects: centres to a fraction of a pixel and their shape,
// in the CSV and the JSON alike, and linking across the run keeps them.
TEST(ArenaRun, CrowdRowsCarrySubPixelCentresAndShapes) {
    const Scene sc;
    TempDir dir;
    sc.write(dir);
    // The background is learned from every second frame of the first 18. Links of at most 2 px
    // break as the discs move on, so that lost tracks leave rows where nothing was measured.
    const std::string args =
        "frames/%03d.png --procedure crowd --set sampleEvery=2 --animals 12,12 --fps 20 --roi "
        "rect:10,10,220,220 --roi rect:250,10,220,220 --link 2,5,global --quiet --tracks ";
    RUN_OK(r, dir, args + "t.csv");
    RUN_OK(j, dir, args + "t.json");
    Table t(dir / "t.csv");
    // The posture after the shapes, and with a count and the whole-run linker each row's
    // confidence in its identity after `missing`.
    std::string posture = "heading,head,length,width,texture,split";
    for (int k = 0; k <= 10; ++k) posture += ",m" + std::to_string(k) + "_x,m" + std::to_string(k) + "_y";
    for (int k = 0; k <= 10; ++k) posture += ",grey" + std::to_string(k);
    EXPECT_EQ(t.header, "frame,object,x,y,area,vx,vy,points,appearances,selected,intensity,orientation,elongation," +
                            posture + ",time_s,track,missing,confidence,arena");
    const size_t confidence = split(t.header, ',').size() - 2;
    const std::string json = readFile(dir / "t.json");
    double error = 0;
    size_t alone = 0, missing = 0;
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const std::vector<std::string>& row = t.rows[i];
        const int f = int(t.number(i, "frame"));
        ASSERT_EQ(row.size(), 57u);
        EXPECT_TRUE(row[2].size() > 4 && row[2][row[2].size() - 4] == '.') << row[2] << ": three decimals";
        if (t.number(i, "missing") == 1) {
            EXPECT_EQ(row[10] + row[11] + row[12] + row[confidence], "")
                << "row " << i << ": nothing measured where nothing was seen";
            ++missing;
            continue;
        }
        EXPECT_NE(json.find("\"x\": " + row[2] + ", \"y\": " + row[3] + ", \"area\": " + row[4]), std::string::npos);
        EXPECT_HOLDS(json, "\"intensity\": " + row[10] + ", \"orientation\": " + row[11] + ", \"elongation\": " + row[12]);
        EXPECT_TRUE(t.number(i, "elongation") >= 1 && std::abs(t.number(i, "orientation")) <= CV_PI / 2) << "row " << i;
        if (t.number(i, "track") >= 0) {
            EXPECT_TRUE(t.number(i, "confidence") >= 0 && t.number(i, "confidence") <= 1) << "row " << i;
        }
        const double x = t.number(i, "x"), y = t.number(i, "y");
        const int d = sc.discAt(f, x, y);
        if (d < 0 || f < 18 || !sc.alone(f, size_t(d))) continue;
        // Discs of grey 40 with soft rims on a floor near 200; round.
        EXPECT_TRUE(t.number(i, "intensity") > 35 && t.number(i, "intensity") < 120) << "row " << i;
        EXPECT_LT(t.number(i, "elongation"), 1.3) << "row " << i << ": " << t.number(i, "elongation");
        error += cv::norm(sc.truth[size_t(f)][size_t(d)] - cv::Point2d(x, y)), ++alone;
    }
    EXPECT_GT(alone, size_t(0.7 * Scene::discs * (Scene::frames - 18)));
    EXPECT_GT(missing, 0u);
    // Whole pixels would miss by 0.38 px on average.
    EXPECT_LT(error / double(alone), 0.15);

    // What the procedure counted goes into the metadata; when nothing is found, its hint says why.
    EXPECT_NE(readFile(dir / "t.csv").find("\n# count_provisional_background: 17\n"), std::string::npos);
    EXPECT_NE(json.find(", \"count_provisional_background\": 17"), std::string::npos);
    RUN_OK(none, dir, "frames/%03d.png --procedure crowd --set contrast=254 --frames 4 --quiet --tracks n.csv");
    EXPECT_EQ(none.err.rfind("ambrevo: no objects were found on any of the 4 frames (480x270); 4 frames searched against "
                             "a floor guessed",
                             0),
              0u)
        << none.err;
    EXPECT_NE(none.err.find("; 4 frames where no pixel lay more than the contrast"), std::string::npos) << none.err;
    EXPECT_NE(readFile(dir / "n.csv").find("\n# count_no_contrast: 4\n"), std::string::npos);
}

// Settings by name: the table, a run repeated from its saved settings, the values in the
// track files' metadata.
TEST(ArenaSettings, ParamsSetAndSavedSettingsRepeatARun) {
    TempDir dir;
    RUN_OK(p, dir, "--params --set BinThreshold=90 --procedure flowtrack");
    EXPECT_NE(p.out.find("\nBinThreshold       90     0 to 255  grey level"), std::string::npos) << p.out;
    EXPECT_EQ(p.err, "");
    RUN_OK(a, dir, "--frames 4 --set BinThreshold=100 --set SearchWindow=25 --settings-out s.json --tracks a.csv --quiet");
    const std::string saved = readFile(dir / "s.json");
    RUN_OK(b, dir, "--frames 4 --settings s.json --tracks b.json --quiet");
    EXPECT_HOLDS(readFile(dir / "b.json"), "\"settings\": {\"BinThreshold\": 100, \"DisAngles\": 24, \"SearchWindow\": 25,");
    RUN_OK(c, dir, "--frames 4 --settings s.json --tracks c.csv --quiet");
    Table ta(dir / "a.csv"), tc(dir / "c.csv");
    EXPECT_EQ(ta.rows, tc.rows);
    EXPECT_EQ(tc.meta["setting BinThreshold"], "100");
    EXPECT_FALSE(ta.meta["module_version"].empty());
    EXPECT_NE(saved.find("\"module_version\": \"" + ta.meta["module_version"] + "\""), std::string::npos) << saved;
}

// A run that finds nothing says so and what to try; the demo's summary reports no error then.
// (Refused settings and arena options stand with the program's other refusals.)
TEST(ArenaErrors, ARunThatFindsNothingSaysWhatToTry) {
    TempDir dir;
    RUN_OK(r, dir, "--frames 3 --set BinThreshold=0 --tracks t.csv -o v.avi --quiet");
    EXPECT_EQ(r.err.rfind("ambrevo: no objects were found on any of the 3 frames (640x480); BinThreshold is 0", 0), 0u)
        << r.err;
    EXPECT_NE(r.out.find("demo: nothing was tracked"), std::string::npos) << r.out;

    // More dark regions than the flow tracker follows: the hint names that, not the threshold,
    // and the tracker's own lines still reach standard error.
    fs::create_directories(dir / "many");
    for (int f = 0; f < 3; ++f) {
        cv::Mat m(480, 640, CV_8UC3, cv::Scalar(200, 200, 200));
        for (int k = 0; f > 0 && k < 150; ++k)
            cv::circle(m, {20 + k % 15 * 40, 20 + k / 15 * 45}, 5, cv::Scalar(30, 30, 30), cv::FILLED);
        cv::imwrite(dir / cv::format("many/%03d.png", f), m);
    }
    RUN_OK(many, dir, "many/%03d.png --set Algoritam=4 --tracks m.csv --quiet");
    EXPECT_EQ(many.err.find("Prevelik broj podrucja: 128 \nPrevelik broj podrucja: 128 \nambrevo: no objects were found on "
                            "any of the 3 frames (640x480): the flow tracker follows at most 128 regions in a frame and "
                            "found more on 2 of them"),
              0u)
        << many.err;
    EXPECT_NE(many.err.find("use --procedure crowd"), std::string::npos);
    EXPECT_EQ(many.err.find("BinThreshold"), std::string::npos);
}
