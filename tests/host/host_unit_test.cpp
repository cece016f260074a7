// The host's own pieces: command line, palette and painting, image records, the scene
// and its scoring, the track files.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <unistd.h>

#include "console.h"
#include "demo_scene.h"
#include "demo_score.h"
#include "frame_source.h"
#include "options.h"
#include "outputs.h"
#include "overlay.h"

namespace fs = std::filesystem;

namespace {

bool parse(std::vector<const char*> args, Options& o, std::string& error) {
    args.insert(args.begin(), "ambrevo");
    return parseOptions(int(args.size()), args.data(), o, error);
}

ip_objectRecord object(int index, int x, int y) {
    ip_objectRecord r{};
    r.index = index;
    r.x = x;
    r.y = y;
    return r;
}

std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(HostOptions, ParsesValuesFlagsAndClicks) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"clip.mp4", "--procedure=canny", "--click", "3:10:20", "--click=0:0:0", "--frames", "7", "-o",
                       "a.AVI", "--tracks", "t.json", "--grey", "--quiet"},
                      o, error))
        << error;
    EXPECT_EQ(o.input, "clip.mp4");
    EXPECT_EQ(o.procedure, "canny");
    ASSERT_EQ(o.clicks.size(), 2u);
    EXPECT_EQ(o.clicks[0].frame, 3);
    EXPECT_EQ(o.clicks[0].x, 10);
    EXPECT_EQ(o.clicks[0].y, 20);
    EXPECT_EQ(o.frames, 7);
    EXPECT_TRUE(o.grey && o.quiet && !o.show);

    ClickOption c{};
    for (const char* bad : {"", "1:2", "1:2:3:4", "a:1:2", "1::2", "-1:2:3", "1:2:+3", "1: 2:3", "99999999999999999999:1:1"})
        EXPECT_FALSE(parseClick(bad, c)) << bad;

    Options p;
    EXPECT_FALSE(parse({"--show=1"}, p, error));
    EXPECT_EQ(error, "option --show takes no value");
    EXPECT_FALSE(parse({"--tracks", "t.txt"}, p, error));
    EXPECT_FALSE(parse({"--frames", "-3"}, p, error));
    EXPECT_FALSE(parse({"-o", ""}, p, error));
}

TEST(HostPalette, FixedColoursForEveryCode) {
    for (int a = 0; a < 12; ++a)
        for (int b = a + 1; b < 12; ++b) EXPECT_NE(paletteColour(a), paletteColour(b)) << a << " " << b;
    EXPECT_EQ(paletteColour(12), paletteColour(0));
    EXPECT_EQ(paletteColour(25), paletteColour(1));
    EXPECT_EQ(paletteColour(-1), cv::Scalar(255, 255, 255));
    EXPECT_EQ(paletteColour(-2), cv::Scalar(0, 0, 0));
    EXPECT_EQ(paletteColour(-9), paletteColour(-1));
    EXPECT_STREQ(paletteName(0), "red");
    EXPECT_STREQ(paletteName(-4), "amber");
    paletteColour(INT_MIN);  // no overflow in the period arithmetic
    paletteColour(INT_MAX);
}

TEST(HostOverlay, RecordsCommandsAndPaintsThemSafely) {
    HostOverlay overlay;
    const ip_point pts[3] = {{1, 2}, {30, 4}, {50, 40}};
    ip_pointList reversed{0, pts + 2, pts, pts + 3};
    ip_pointList none{0, nullptr, nullptr, nullptr};
    ip_pointList good{0, pts, pts + 3, pts + 3};
    overlay.drawPolyline(&reversed, 0, "", 0);
    overlay.drawPolyline(&none, 0, nullptr, 0);
    overlay.drawPolyline(&good, 3, "0:3", 1);
    ip_segment far{{-2000000000, 5}, {2000000000, 5}};
    overlay.drawLine(&far, -6, "", 0, 2);
    ip_point at{5, 0};
    overlay.drawText(&at, 0, " 12: 40", 4);
    overlay.drawPoint(&at, -8, "p", 1);
    ASSERT_EQ(overlay.commands().size(), 6u);
    EXPECT_TRUE(overlay.commands()[0].points.empty());
    EXPECT_TRUE(overlay.commands()[1].points.empty());
    EXPECT_EQ(overlay.commands()[2].points.size(), 3u);
    EXPECT_EQ(overlay.commands()[2].label, "0:3");

    cv::Mat picture(60, 80, CV_8UC3, cv::Scalar(200, 200, 200));
    renderCommands(picture, overlay.commands());
    EXPECT_GT(cv::norm(picture, cv::Mat(60, 80, CV_8UC3, cv::Scalar(200, 200, 200)), cv::NORM_L1), 0.0);

    // Texts at one position stack: the second lands on new rows.
    cv::Mat once(60, 80, CV_8UC3, cv::Scalar(200, 200, 200)), twice = once.clone();
    std::vector<DrawCommand> one = {overlay.commands()[4]};
    std::vector<DrawCommand> two = {overlay.commands()[4], overlay.commands()[4]};
    renderCommands(once, one);
    renderCommands(twice, two);
    EXPECT_GT(cv::norm(once, twice, cv::NORM_L1), 0.0);

    int a = 0, b = 0;
    EXPECT_FALSE(overlay.takeAcknowledge(a, b));
    overlay.acknowledge(25, 500);
    EXPECT_TRUE(overlay.takeAcknowledge(a, b));
    EXPECT_EQ(a, 25);
    EXPECT_EQ(b, 500);
    EXPECT_FALSE(overlay.takeAcknowledge(a, b));
    overlay.clear();
    EXPECT_TRUE(overlay.commands().empty());
}

TEST(HostImages, RecordsBecomePicturesRowByRow) {
    // 3 pixels of 4 bytes with 4 bytes of padding per row, 2 rows, top-down.
    std::vector<uint8_t> bytes(32);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
    ip_dibWords four{4, 16, 3, -2, bytes.data()};
    cv::Mat exact = dibToExact(&four);
    ASSERT_EQ(exact.type(), CV_8UC3);
    ASSERT_EQ(exact.size(), cv::Size(3, 2));
    EXPECT_EQ(exact.at<cv::Vec3b>(0, 1), cv::Vec3b(4, 5, 6));
    EXPECT_EQ(exact.at<cv::Vec3b>(1, 2), cv::Vec3b(24, 25, 26));

    ip_dibWords two{2, 8, 3, 2, bytes.data()};
    cv::Mat words = dibToExact(&two);
    ASSERT_EQ(words.type(), CV_16UC1);
    EXPECT_EQ(words.at<uint16_t>(1, 0), uint16_t(8 | 9 << 8));
    cv::Mat shown = dibToBgr(&two);
    ASSERT_EQ(shown.type(), CV_8UC3);
    EXPECT_EQ(shown.at<cv::Vec3b>(1, 0)[0], uint8_t(std::min(255, (2312 + 32) / 64)));

    ip_dibWords one{1, 5, 3, -2, bytes.data()};
    cv::Mat grey = dibToExact(&one);
    EXPECT_EQ(grey.at<uint8_t>(1, 2), 7);

    ip_dibWords noBits{1, 3, 3, 2, nullptr};
    ip_dibWords shortRows{3, 8, 3, 2, bytes.data()};
    ip_dibWords badSize{5, 16, 3, 2, bytes.data()};
    EXPECT_TRUE(dibToExact(&noBits).empty());
    EXPECT_TRUE(dibToExact(&shortRows).empty());
    EXPECT_TRUE(dibToExact(&badSize).empty());
    EXPECT_TRUE(dibToBgr(nullptr).empty());
}

TEST(HostDemoScene, DeterministicDarkDiscsOnABrightBackground) {
    DemoScene scene;
    cv::Mat a = scene.frame(42), b = scene.frame(42);
    ASSERT_EQ(a.size(), cv::Size(640, 480));
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);

    cv::Mat grey;
    cv::cvtColor(a, grey, cv::COLOR_BGR2GRAY);
    std::vector<DemoDisc> discs = DemoScene::discs(42);
    ASSERT_EQ(discs.size(), 3u);
    cv::Mat far(grey.size(), CV_8U, cv::Scalar(255));
    for (const DemoDisc& d : discs) {
        EXPECT_LT(grey.at<uint8_t>(int(std::lround(d.y)), int(std::lround(d.x))), 60);
        cv::circle(far, {int(std::lround(d.x)), int(std::lround(d.y))}, 18, cv::Scalar(0), cv::FILLED);
    }
    double lowest = 0;
    cv::minMaxLoc(grey, &lowest, nullptr, nullptr, nullptr, far);
    EXPECT_GT(lowest, 150.0) << "the background never reads as an object";

    // Close passes, never touching, never faster than the tracker's search reaches.
    double closest = 1e9, fastest = 0;
    for (int f = 0; f < DemoScene::frameCount; ++f) {
        auto d = DemoScene::discs(f);
        for (int i = 0; i < 3; ++i) {
            EXPECT_GT(d[i].x, 20);
            EXPECT_LT(d[i].x, 620);
            EXPECT_GT(d[i].y, 20);
            EXPECT_LT(d[i].y, 460);
            for (int j = i + 1; j < 3; ++j) closest = std::min(closest, std::hypot(d[i].x - d[j].x, d[i].y - d[j].y));
            if (f) {
                auto p = DemoScene::discs(f - 1);
                fastest = std::max(fastest, std::hypot(d[i].x - p[i].x, d[i].y - p[i].y));
            }
        }
    }
    EXPECT_GT(closest, 2 * DemoScene::radius + 8);
    EXPECT_LT(closest, 2 * DemoScene::radius + 20);
    EXPECT_LT(fastest, 8.0);
}

TEST(HostDemoScore, BindsDiscsToObjectsAndCountsLostOnes) {
    std::vector<DemoDisc> truth = {{10, 10}, {100, 10}, {10, 100}};
    // Reported in another order than the discs.
    std::vector<ip_objectRecord> found = {object(0, 101, 11), object(1, 9, 99), object(2, 11, 10)};
    EXPECT_EQ(bestMatch(truth, found), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(bestMatch(truth, {object(0, 99, 9)}), (std::vector<int>{-1, 0, -1}));

    DemoScore score;
    score.frame(truth, {object(0, 101, 11)});  // not every disc found: not bound yet
    EXPECT_EQ(score.samples(), 0);
    score.frame(truth, found);
    EXPECT_EQ(score.trackedFrames(), 1);
    EXPECT_NEAR(score.meanError(), (2 * std::sqrt(2.0) + 1) / 3, 1e-9);
    // Objects 0 and 2 swap discs: both are now far from their own disc.
    score.frame(truth, {object(0, 11, 10), object(1, 9, 99), object(2, 101, 11)});
    // Object 1 vanishes.
    score.frame(truth, {object(0, 101, 11), object(2, 11, 10)});
    EXPECT_EQ(score.frames(), 4);
    EXPECT_EQ(score.trackedFrames(), 1);
    EXPECT_GT(score.maxError(), 80.0);
}

TEST(HostFiles, TrackFilesAndSequencesAndTheProfileTable) {
    fs::path dir = fs::temp_directory_path() / ("ambrevo-unit-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string error;
    {
        TracksWriter empty;
        ASSERT_TRUE(empty.open((dir / "e.json").string(), "flowtrack", error));
        ASSERT_TRUE(empty.finish(error));
        EXPECT_EQ(slurp((dir / "e.json").string()), "{\"procedure\": \"flowtrack\", \"frames\": []}\n");

        TracksWriter cc;
        ASSERT_TRUE(cc.open((dir / "c.csv").string(), "ccTrack", error));
        ip_objectRecord r = object(4, 7, 42);
        r.vx = 1.5f;
        r.vy = -0.25f;
        r.pointCount = 57;
        r.appearances = 6;
        r.selected = 1;
        cc.frame(3, {r});
        ASSERT_TRUE(cc.finish(error));
        EXPECT_EQ(slurp((dir / "c.csv").string()),
                  "frame,object,x,y,vx,vy,points,appearances,selected\n3,4,7,42,1.5,-0.25,57,6,1\n");
    }
    for (int i : {1, 2, 3, 5}) std::ofstream((dir / ("s" + std::to_string(i) + ".png")).string()) << "x";
    std::ofstream((dir / "notes.txt").string()) << "x";
    std::vector<std::string> seq = patternFiles((dir / "s%d.png").string());
    ASSERT_EQ(seq.size(), 3u) << "starts at 1, stops at the gap before 5";
    EXPECT_EQ(seq[2], (dir / "s3.png").string());
    EXPECT_EQ(folderImages(dir.string()).size(), 4u);
    std::unique_ptr<FrameSource> bad = openSource((dir / "s%d%d.png").string(), error);
    EXPECT_EQ(bad, nullptr);
    EXPECT_NE(error.find("malformed image sequence pattern"), std::string::npos);

    Summary s = summarise({4, 1, 3, 2});
    EXPECT_DOUBLE_EQ(s.mean, 2.5);
    EXPECT_DOUBLE_EQ(s.median, 2.5);
    EXPECT_DOUBLE_EQ(s.p95, 4);
    EXPECT_DOUBLE_EQ(s.max, 4);
    HostProfiler profiler;
    EXPECT_DOUBLE_EQ(profiler.ticksPerSecond(), 15258.0);
    profiler.report("copying", 15258);
    profiler.frameTime(2000.0);
    std::ostringstream table;
    profiler.print(table);
    EXPECT_NE(table.str().find("copying                 1000.000  1000.000  1000.000  1000.000   50.0%"), std::string::npos)
        << table.str();
    fs::remove_all(dir);
}
