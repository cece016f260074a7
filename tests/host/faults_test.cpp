// Stop signals outside the frame loop, and what a crowd tracker meets in a lab, through the real executable.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "ambrevo/pipeline/tracks/link_global.h"
#include "cli_util.h"
#include "crowd_scene.h"
#include "lab_scene.h"
#include "score.h"

namespace {

// A crowd of small discs, so many and so close that linking the whole run takes seconds while
// its frames take a fraction of that.
void writeDenseCrowd(const std::string& file, int frames) {
    crowd_scene::settings s;
    s.discs = 1200, s.minRadius = 3, s.maxRadius = 4, s.arenas = 1, s.speed = 4;
    crowd_scene::scene scene(s);
    cv::VideoWriter video(file, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(s.width, s.height));
    ASSERT_TRUE(video.isOpened());
    video.set(cv::VIDEOWRITER_PROP_QUALITY, 95);
    cv::Mat frame(s.height, s.width, CV_8UC3);
    for (int f = 0; f < frames; ++f, scene.next()) {
        scene.bgr(frame.data, int64_t(frame.step));
        video.write(frame);
    }
}

// Six flies in a dish of 320x240, 200 frames: white frames at 40 (while the background is
// learned, on a sampled frame) and 100 (on a sampled frame after), the lamp dimmed from 200 to
// 80 from frame 150 on. The arena a user would draw goes to `roi`, where the resting flies lie
// (frame, x, y) to `resting`.
void writeFlashesAndDimming(const std::string& file, std::string& roi, std::vector<std::array<double, 3>>& resting) {
    crowd_scene::lab_settings s = crowd_scene::preset(crowd_scene::kind::flies);
    s.width = 320, s.height = 240, s.animals = 6, s.seed = 3, s.light = {};
    s.timeline.flashes = {40, 100}, s.timeline.dimFrame = 150, s.timeline.dimTo = 80;
    crowd_scene::lab_scene scene(s);
    const crowd_scene::circle arena = scene.drawn();
    roi = cv::format("circle:%g,%g,%g", arena.x, arena.y, arena.r);
    cv::VideoWriter video(file, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(s.width, s.height));
    ASSERT_TRUE(video.isOpened());
    cv::Mat grey(s.height, s.width, CV_8UC1), bgr;
    for (int f = 0; f < 200; ++f, scene.next()) {
        scene.grey(grey.data, int64_t(grey.step));
        for (const crowd_scene::animal_truth& a : scene.truth())
            if (a.resting) resting.push_back({double(f), a.centre.x, a.centre.y});
        cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
        video.write(bgr);
    }
}

}  // namespace

// Flashes and a dimmed lamp cost the crowd tracker their own frames and no more, and the track
// file counts them: the run is complete, but says what it met. The wall's thin line shows in
// fragments while the floor is guessed: they must not make the flies at rest structure, nor
// the count split a fly into bodies on the same pixels.
TEST(HostCrowd, FlashesAndADimmedLampAreCountedInTheTrackFileAndCostOnlyTheirFrames) {
    TempDir dir;
    std::string roi;
    std::vector<std::array<double, 3>> resting;
    writeFlashesAndDimming(dir / "flies.avi", roi, resting);
    RUN_OK(r, dir, "flies.avi --procedure crowd --grey --animals 6 --roi " + roi + " --tracks t.csv --quiet");
    const Table t(dir / "t.csv");
    EXPECT_EQ(t.meta.at("status"), "complete");
    EXPECT_EQ(t.meta.at("count_lighting_events"), "2");
    EXPECT_GE(std::stoi(t.meta.at("count_brightness_jumps")), 1);
    // Nothing on a white frame; every fly on every other once the first guesses are past.
    const std::vector<int> rows = t.perFrame(200);
    for (int f = 25; f < 200; ++f) EXPECT_EQ(rows[size_t(f)], f == 40 || f == 100 ? 0 : 6) << "frame " << f;
    std::vector<std::vector<std::array<double, 2>>> centres(200);
    for (const auto& row : t.rows)
        centres.at(size_t(std::stoi(row.at(0)))).push_back({std::stod(row.at(2)), std::stod(row.at(3))});
    for (size_t f = 25; f < 200; ++f)
        for (size_t i = 0; i < centres[f].size(); ++i)
            for (size_t j = 0; j < i; ++j)
                EXPECT_GT(std::hypot(centres[f][i][0] - centres[f][j][0], centres[f][i][1] - centres[f][j][1]), 1.0)
                    << "two objects on one spot in frame " << f;
    ASSERT_GT(resting.size(), 200u);
    for (const auto& [f, x, y] : resting) {
        if (f < 25 || f == 40 || f == 100) continue;
        const auto& found = centres[size_t(f)];
        EXPECT_TRUE(
            std::any_of(found.begin(), found.end(), [&](const auto& c) { return std::hypot(c[0] - x, c[1] - y) <= 3; }))
            << "the fly resting at " << x << "," << y << " lost in frame " << f;
    }
}

TEST(HostSignals, SigtermDuringTheGlobalLinkingWritesEveryFrameLinkedFrameByFrame) {
    TempDir dir;
    writeDenseCrowd(dir / "crowd.avi", 40);
    const pid_t pid = cli::start(dir, "crowd.avi --procedure crowd --grey --link 30,20,predict,global --tracks t.csv "
                                      "--dst d --summary s.csv");
    // The last frame's picture is written once its rows are kept: the linking comes next and
    // takes over a second of CPU, so the signal lands inside it, not before it begins.
    ASSERT_TRUE(cli::waitUntil([&] { return fs::exists(dir / "d/dst_000039.png"); }, 120)) << readFile(dir / ".err.txt");
    usleep(300000);
    const auto [status, seconds] = cli::stopAndWait(pid, SIGTERM);
    EXPECT_EQ(status, 143) << readFile(dir / ".err.txt");
    // Linking the whole run takes several seconds more; a stop does not wait for it.
    EXPECT_LT(seconds, 5.0);
    const Table t(dir / "t.csv");
    EXPECT_EQ(t.meta.at("status"), "partial");
    EXPECT_EQ(t.meta.at("frames_read"), "40");
    EXPECT_NE(t.meta.at("reason").find("stopped by SIGTERM"), std::string::npos) << t.meta.at("reason");
    EXPECT_NE(t.meta.at("reason").find("their tracks are linked frame by frame"), std::string::npos);
    for (int rows : t.perFrame(40)) EXPECT_GE(rows, 1000) << "every frame's rows";
    for (size_t i = 0; i < t.rows.size(); ++i) ASSERT_FALSE(t.cell(i, "track").empty()) << "a row without its track";
    EXPECT_TRUE(fs::exists(dir / "s.csv"));
    for (const auto& e : fs::directory_iterator(dir.path))
        EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
}

TEST(HostSignals, TheGlobalLinkerStopsInEveryPass) {
    // 300 wandering points over 60 frames; a stop asked at the n-th poll, for n over every poll
    // the whole linking makes, always ends it with the request. (How often the wait for the
    // flow polls depends on how long the flow takes: a run that made fewer polls than n ends
    // without a stop.)
    std::vector<ambrevo::GroupedRow> rows;
    for (int f = 0; f < 60; ++f)
        for (int i = 0; i < 300; ++i)
            rows.push_back({f, 20.0 * (i % 20) + f * ((i % 3) - 1), 20.0 * (i / 20) + 0.5 * f, 0});
    int polls = 0;
    ambrevo::link_global(rows, {15, 5, true}, {}, StopToken([&] { return ++polls, 0; }));
    ASSERT_GT(polls, 60);
    for (int at = 1; at <= polls; at += 7) {
        int n = 0;
        const StopToken stop([&] { return ++n >= at ? SIGINT : 0; });
        try {
            ambrevo::link_global(rows, {15, 5, true}, {}, stop);
            EXPECT_LT(n, at) << "not stopped at poll " << at;
        } catch (const StopRequested& s) {
            EXPECT_EQ(s.request, SIGINT);
        }
    }
}

TEST(HostSignals, ScoreEndsOnSigtermWhileItWaitsAndWhileItScores) {
    TempDir dir;
    writeFile(dir / "truth.csv", "frame,object,x,y\n0,0,1,1\n");
    // A FIFO nobody writes to: reading it waits for ever.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const pid_t pid = cli::start(dir, "score fifo truth.csv");
    ASSERT_TRUE(cli::waitUntil([&] { return cli::holds(pid, dir / "fifo"); }, 60));
    const auto [status, seconds] = cli::stopAndWait(pid, SIGTERM);
    EXPECT_EQ(status, 143);
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(readFile(dir / ".err.txt"), "ambrevo score: stopped by SIGTERM; nothing was scored\n");
    // Asked while it scores.
    std::vector<ambrevo::ScorePoint> truth;
    for (long long f = 0; f < 5000; ++f) truth.push_back({f, 0, 1, 1});
    int polls = 0;
    EXPECT_THROW(ambrevo::score_tracks(truth, truth, 5, StopToken([&] { return ++polls > 3 ? SIGTERM : 0; })),
                 StopRequested);
}
