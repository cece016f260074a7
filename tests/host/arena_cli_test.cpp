// Drives the real ambrevo executable on generated arenas: settings by name, regions of
// interest, units and time, linked tracks, summaries and pictures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <set>
#include <sstream>

#include "cli_util.h"

namespace fs = std::filesystem;

namespace {

// The run's standard streams are removed, so that a listing shows the outputs alone.
Result run(const TempDir& dir, const std::string& args) {
    Result r = cli::run(dir, args);
    fs::remove(dir / ".out.txt");
    fs::remove(dir / ".err.txt");
    return r;
}

std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? readFile(e.path().string()) : "(folder)";
    return files;
}

// A CSV file with its "# key: value" block; cells by column name.
struct Table {
    std::map<std::string, std::string> meta;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    explicit Table(const std::string& file) {
        std::ifstream in(file);
        std::string line, cell;
        while (std::getline(in, line) && line.rfind("#", 0) == 0)
            if (size_t colon = line.find(": "); colon != std::string::npos)
                meta[line.substr(2, colon - 2)] = line.substr(colon + 2);
        for (std::stringstream s(line); std::getline(s, cell, ',');) columns.push_back(cell);
        while (std::getline(in, line)) {
            rows.emplace_back();
            for (std::stringstream s(line); std::getline(s, cell, ',');) rows.back().push_back(cell);
            if (!line.empty() && line.back() == ',') rows.back().push_back("");
        }
    }
    int column(const std::string& name) const {
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i] == name) return int(i);
        ADD_FAILURE() << "no column " << name;
        return 0;
    }
    double number(size_t row, const std::string& name) const {
        return std::stod(rows.at(row).at(size_t(column(name))));
    }
};

// Dark discs wandering in two square arenas on a textured bright floor, and dark discs moving
// outside the arenas that only painting keeps out of the rows. Frame 0 shows the empty floor,
// as a recording that starts before the animals are put in: background difference takes it
// for the background.
struct Scene {
    static constexpr int width = 480, height = 270, frames = 61, discs = 24, radius = 5;
    static constexpr double fps = 20;
    const cv::Rect arenas[2] = {{10, 10, 220, 220}, {250, 10, 220, 220}};
    std::vector<std::vector<cv::Point2d>> truth;  // [frame][disc]
    cv::Mat floor;

    Scene() {
        cv::RNG rng(7);
        cv::Mat coarse(height / 16, width / 16, CV_8UC1);
        rng.fill(coarse, cv::RNG::UNIFORM, 170, 225);
        cv::resize(coarse, floor, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
        cv::Mat grain(height, width, CV_8UC1);
        rng.fill(grain, cv::RNG::UNIFORM, 0, 20);
        floor += grain;
        cv::cvtColor(floor, floor, cv::COLOR_GRAY2BGR);

        std::vector<cv::Point2d> at(discs);
        std::vector<double> heading(discs);
        for (int d = 0; d < discs; ++d) {
            const cv::Rect a = arenas[d % 2];
            at[size_t(d)] = {a.x + 20 + rng.uniform(0.0, a.width - 40.0), a.y + 20 + rng.uniform(0.0, a.height - 40.0)};
            heading[size_t(d)] = rng.uniform(0.0, 2 * CV_PI);
        }
        for (int f = 0; f < frames; ++f) {
            truth.push_back(at);
            for (int d = 0; d < discs; ++d) {
                const cv::Rect a = arenas[d % 2];
                double& h = heading[size_t(d)];
                h += rng.gaussian(0.15);
                cv::Point2d& p = at[size_t(d)];
                const double step = 3.0;
                p += cv::Point2d(step * std::cos(h), step * std::sin(h));
                const double margin = radius + 4;
                if (p.x < a.x + margin || p.x > a.x + a.width - 1 - margin) h = CV_PI - h;
                if (p.y < a.y + margin || p.y > a.y + a.height - 1 - margin) h = -h;
                p.x = std::clamp(p.x, a.x + margin, a.x + a.width - 1 - margin);
                p.y = std::clamp(p.y, a.y + margin, a.y + a.height - 1 - margin);
            }
        }
    }
    // Outside every arena: one disc down the gap between the arenas, two along the bottom.
    static std::vector<cv::Point2d> strays(int f) {
        return {{240, 12.0 + 3 * f}, {20.0 + 6 * f, 252}, {460.0 - 5 * f, 258}};
    }
    cv::Mat frame(int f) const {
        cv::Mat m = floor.clone();
        if (f == 0) return m;
        std::vector<cv::Point2d> all = truth[size_t(f)];
        for (const cv::Point2d& p : strays(f)) all.push_back(p);
        for (const cv::Point2d& p : all)
            cv::circle(m, cv::Point(int(std::lround(p.x * 16)), int(std::lround(p.y * 16))), radius * 16,
                       cv::Scalar(40, 40, 40), cv::FILLED, cv::LINE_AA, 4);
        return m;
    }
    int arenaOf(int disc) const { return disc % 2 + 1; }
    std::string rois() const { return "--roi rect:10,10,220,220 --roi rect:250,10,220,220"; }
    void writeFrames(const TempDir& dir) const {
        fs::create_directories(dir / "frames");
        char name[64];
        for (int f = 0; f < frames; ++f) {
            std::snprintf(name, sizeof name, "frames/%03d.png", f);
            cv::imwrite(dir / name, frame(f));
        }
    }
};

const Scene& scene() {
    static const Scene s;
    return s;
}

}  // namespace

// One run over the scene with every arena option: the rows, their columns, the identities
// through the crossings, the summary and the pictures.
TEST(ArenaRun, DiscsInTwoArenasKeepTheirIdentitiesUnitsAndTimes) {
    const Scene& sc = scene();
    TempDir dir;
    sc.writeFrames(dir);
    RUN_OK(r, dir,
           "frames/%03d.png --set Algoritam=4 --fps 20 " + sc.rois() +
               " --link 15,5,predict --scale 4 --unit mm --tracks t.csv --summary s.csv --plot p.png --heatmap h.png"
               " --quiet");
    Table t(dir / "t.csv");
    EXPECT_EQ(t.columns, (std::vector<std::string>{"frame", "object", "x", "y", "area", "time_s", "track", "missing",
                                                   "arena", "x_mm", "y_mm"}));
    for (const auto& [key, value] : std::map<std::string, std::string>{{"frame_rate", "20"},
                                                                       {"time_from", "--fps"},
                                                                       {"pixels_per_unit", "4"},
                                                                       {"unit", "mm"},
                                                                       {"arena_1", "rect:10,10,220,220"},
                                                                       {"arena_2", "rect:250,10,220,220"},
                                                                       {"link", "15,5,predict"},
                                                                       {"setting Algoritam", "4"}})
        EXPECT_EQ(t.meta[key], value) << key;
    EXPECT_EQ(t.meta["date"].size(), 20u);

    // track -> disc -> frames, for the identities; every seen row near its disc.
    std::map<int, std::map<int, int>> votes;
    std::vector<std::vector<int>> trackOf(Scene::discs, std::vector<int>(Scene::frames, -1));
    size_t seen = 0, matched = 0;
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const int f = int(t.number(i, "frame"));
        const double x = t.number(i, "x"), y = t.number(i, "y");
        EXPECT_EQ(t.number(i, "time_s"), f / 20.0) << "row " << i;
        EXPECT_EQ(t.number(i, "x_mm"), x / 4) << "row " << i;
        EXPECT_EQ(t.number(i, "y_mm"), y / 4) << "row " << i;
        const int arena = int(t.number(i, "arena"));
        ASSERT_TRUE(arena == 1 || arena == 2) << "row " << i << " at " << x << "," << y;
        EXPECT_TRUE(sc.arenas[arena - 1].contains(cv::Point(int(x), int(y))));
        if (t.number(i, "missing") == 1) continue;
        ++seen;
        for (int d = 0; d < Scene::discs; ++d)
            if (cv::norm(sc.truth[size_t(f)][size_t(d)] - cv::Point2d(x, y)) <= Scene::radius) {
                EXPECT_EQ(arena, sc.arenaOf(d));
                // Where two discs touch, their one region says nothing of either's identity.
                bool alone = true;
                for (int e = 0; e < Scene::discs; ++e)
                    alone = alone && (e == d || cv::norm(sc.truth[size_t(f)][size_t(d)] -
                                                         sc.truth[size_t(f)][size_t(e)]) > 2 * Scene::radius + 3);
                if (alone) trackOf[size_t(d)][size_t(f)] = int(t.number(i, "track"));
                ++matched;
                break;
            }
    }
    // Discs that touch show as one region: the rows are a little fewer than the disc-frames.
    EXPECT_GT(seen, size_t(0.85 * Scene::discs * (Scene::frames - 1)));
    EXPECT_GT(matched, size_t(0.98 * double(seen)));
    int switches = 0;
    for (const auto& frames : trackOf) {
        int last = -1;
        for (int track : frames)
            if (track >= 0) {
                switches += last >= 0 && track != last;
                last = track;
            }
    }
    // Encounters: a pair of discs coming to touch. Each could swap the pair's identities.
    int encounters = 0;
    for (int d = 0; d < Scene::discs; ++d)
        for (int e = d + 1; e < Scene::discs; ++e)
            for (int f = 1; f < Scene::frames; ++f) {
                auto touch = [&](int g) {
                    return cv::norm(sc.truth[size_t(g)][size_t(d)] - sc.truth[size_t(g)][size_t(e)]) <=
                           2 * Scene::radius + 3;
                };
                encounters += touch(f) && (f == 1 || !touch(f - 1));
            }
    // Measured: 7 switches in 24 encounters with prediction, 19 without.
    EXPECT_GE(encounters, 20);
    EXPECT_LE(switches, encounters / 3) << "identity switches over " << Scene::discs << " discs";

    // The summary of each track that followed one disc through the whole run: what its true
    // path gives, within the rounding of positions to whole pixels.
    Table s(dir / "s.csv");
    EXPECT_EQ(s.columns, (std::vector<std::string>{"track", "first_frame", "last_frame", "frames_seen",
                                                   "path_length_mm", "mean_speed_mm_per_s", "max_speed_mm_per_s",
                                                   "time_outside_s", "time_arena1_s", "time_arena2_s"}));
    double framesSeen = 0;
    int whole = 0;
    for (size_t i = 0; i < s.rows.size(); ++i) framesSeen += s.number(i, "frames_seen");
    EXPECT_EQ(framesSeen, double(seen));
    for (int d = 0; d < Scene::discs; ++d) {
        // Discs that never met another: one track from start to end.
        const std::vector<int>& tr = trackOf[size_t(d)];
        if (std::count(tr.begin() + 1, tr.end(), tr[1]) != Scene::frames - 1 || tr[1] < 0) continue;
        ++whole;
        const size_t row = size_t(tr[1]);
        ASSERT_LT(row, s.rows.size());
        ASSERT_EQ(s.number(row, "track"), tr[1]);
        double length = 0;
        for (int f = 2; f < Scene::frames; ++f)
            length += cv::norm(sc.truth[size_t(f)][size_t(d)] - sc.truth[size_t(f) - 1][size_t(d)]) / 4;
        EXPECT_EQ(s.number(row, "first_frame"), 1);
        EXPECT_EQ(s.number(row, "last_frame"), Scene::frames - 1);
        EXPECT_EQ(s.number(row, "frames_seen"), Scene::frames - 1);
        EXPECT_NEAR(s.number(row, "path_length_mm"), length, 0.08 * length) << "disc " << d;
        EXPECT_NEAR(s.number(row, "mean_speed_mm_per_s"), length / ((Scene::frames - 2) / 20.0), 0.08 * length);
        EXPECT_EQ(s.number(row, sc.arenaOf(d) == 1 ? "time_arena1_s" : "time_arena2_s"), (Scene::frames - 1) / 20.0);
        EXPECT_EQ(s.number(row, sc.arenaOf(d) == 1 ? "time_arena2_s" : "time_arena1_s"), 0);
    }
    EXPECT_GE(whole, 2);
    // No time outside the arenas; the time in them is the frames seen at 20 per second.
    for (size_t i = 0; i < s.rows.size(); ++i) {
        EXPECT_EQ(s.number(i, "time_outside_s"), 0);
        EXPECT_DOUBLE_EQ(s.number(i, "time_arena1_s") + s.number(i, "time_arena2_s"), s.number(i, "frames_seen") / 20);
    }

    // The summary needs no track file.
    RUN_OK(alone, dir,
           "frames/%03d.png --set Algoritam=4 --fps 20 " + sc.rois() +
               " --link 15,5,predict --scale 4 --unit mm --summary s2.csv --quiet");
    EXPECT_EQ(readFile(dir / "s2.csv"), readFile(dir / "s.csv"));

    for (const char* picture : {"p.png", "h.png"}) {
        cv::Mat m = cv::imread(dir / picture);
        EXPECT_EQ(m.size(), cv::Size(Scene::width, Scene::height)) << picture;
        std::vector<cv::Mat> bgr;
        cv::split(m, bgr);
        cv::Mat colourful = cv::abs(bgr[0] - bgr[2]) > 60;  // the background is grey
        EXPECT_GT(cv::countNonZero(colourful), 500) << picture;
    }
}

// A video's own timestamps give time_s; no regions means no arena column and the rows outside
// are there.
TEST(ArenaRun, TimeComesFromTheVideosTimestamps) {
    const Scene& sc = scene();
    TempDir dir;
    {
        cv::VideoWriter v(dir / "clip.avi", cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 20,
                          cv::Size(Scene::width, Scene::height));
        ASSERT_TRUE(v.isOpened());
        for (int f = 0; f < 8; ++f) v.write(sc.frame(f));
    }
    RUN_OK(r, dir, "clip.avi --set Algoritam=4 --tracks t.csv --quiet");
    Table t(dir / "t.csv");
    EXPECT_EQ(t.columns, (std::vector<std::string>{"frame", "object", "x", "y", "area", "time_s"}));
    EXPECT_EQ(t.meta["time_from"], "timestamps");
    std::set<int> frames;
    bool outside = false;
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const int f = int(t.number(i, "frame"));
        frames.insert(f);
        EXPECT_NEAR(t.number(i, "time_s"), f * 0.05, 1e-9);
        outside = outside || t.number(i, "y") > 235;
    }
    EXPECT_EQ(frames, (std::set<int>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(outside);
}

// Settings by name: the table, a run repeated from its saved settings, the values in the
// track files' metadata.
TEST(ArenaSettings, ParamsSetAndSavedSettingsRepeatARun) {
    TempDir dir;
    RUN_OK(p, dir, "--params --set BinThreshold=90 --procedure flowtrack");
    EXPECT_EQ(p.out.substr(0, p.out.find('\n')).substr(0, 4), "name");
    EXPECT_NE(p.out.find("\nBinThreshold       90     0 to 255  grey level"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("\ndrawsAim           0      0 or 1"), std::string::npos) << p.out;
    EXPECT_EQ(p.err, "");

    RUN_OK(a, dir,
           "--frames 4 --set BinThreshold=100 --set SearchWindow=25 --settings-out s.json --tracks a.csv --quiet");
    const std::string saved = readFile(dir / "s.json");
    EXPECT_NE(saved.find("\"procedure\": \"flowtrack\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"BinThreshold\": 100,"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"SearchWindow\": 25,"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"module_version\": \""), std::string::npos) << saved;
    RUN_OK(b, dir, "--frames 4 --settings s.json --tracks b.json --quiet");
    const std::string json = readFile(dir / "b.json");
    EXPECT_NE(json.find("\"settings\": {\"BinThreshold\": 100, \"DisAngles\": 24, \"SearchWindow\": 25,"),
              std::string::npos);
    RUN_OK(c, dir, "--frames 4 --settings s.json --tracks c.csv --quiet");
    Table ta(dir / "a.csv"), tc(dir / "c.csv");
    EXPECT_EQ(ta.rows, tc.rows);
    EXPECT_EQ(tc.meta["setting BinThreshold"], "100");
    EXPECT_EQ(tc.meta["module_version"], ta.meta["module_version"]);
    EXPECT_FALSE(ta.meta["module_version"].empty());
}

// Refused settings and arena options: one line, their status, nothing written.
TEST(ArenaErrors, RefusalsGetOneLineTheirStatusAndWriteNothing) {
    TempDir dir;
    writeFile(dir / "bad.json", "{\"procedure\": \"flowtrack\", \"settings\": {\"BinThreshold\": 1");
    writeFile(dir / "cc.json", "{\"module_version\": \"1\", \"procedure\": \"ccTrack\", \"settings\": {}}");
    cv::imwrite(dir / "mask.png", cv::Mat(10, 10, CV_8UC1, cv::Scalar(255)));
    struct Case {
        std::string args;
        int status;
        std::string message;  // the start of the line
    };
    const std::vector<Case> cases = {
        {"--set BinThreshold=300", 2, "--set BinThreshold=300: BinThreshold must lie in 0 to 255, got 300"},
        {"--set Nonsense=1", 2, "--set Nonsense=1: unknown setting 'Nonsense'"},
        {"--set BinThreshold", 2, "malformed --set 'BinThreshold' (expected NAME=VALUE)"},
        {"--settings bad.json", 3, "malformed --settings file 'bad.json': expected ','"},
        {"--settings none.json", 3, "cannot read --settings file 'none.json'"},
        {"--settings cc.json --procedure flowtrack", 2, "--procedure flowtrack but the --settings file"},
        {"--roi rect:1,2,3", 2, "--roi"},
        {"--roi mask.png", 2, ""},
        {"--link 0", 2, "--link '0'"},
        {"--link 10,-1", 2, "--link '10,-1'"},
        {"--unit mm", 2, "--unit mm needs --scale"},
        {"--scale -3", 2, "malformed --scale '-3'"},
        {"--plot p.jpg", 2, "--plot 'p.jpg': the picture must end in .png"},
    };
    const auto before = listing(dir.path);
    for (const Case& c : cases) {
        Result r = run(dir, "--frames 2 --tracks t.csv --summary s.csv --plot p.png --settings-out o.json " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.rfind("ambrevo: " + c.message, 0), 0u) << c.args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << ": " << r.err;
        EXPECT_EQ(listing(dir.path), before) << c.args;
    }
}

// A run that finds nothing says so and what to try; the demo's summary reports no error then.
TEST(ArenaReports, ARunThatFindsNothingSaysWhatToTry) {
    TempDir dir;
    RUN_OK(r, dir, "--frames 3 --set BinThreshold=0 --tracks t.csv -o v.avi --quiet");
    EXPECT_EQ(r.err.rfind("ambrevo: no objects were found on any of the 3 frames (640x480); BinThreshold is 0", 0), 0u)
        << r.err;
    for (const char* hint : {"--set BinThreshold=", "--procedure ccTrack", "--roi"})
        EXPECT_NE(r.err.find(hint), std::string::npos) << hint;
    EXPECT_EQ(r.out.find("0.00 px"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("demo: nothing was tracked"), std::string::npos) << r.out;
}
