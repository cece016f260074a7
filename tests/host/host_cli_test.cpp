// Drives the real ambrevo executable, loading the real module, as a user would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>

#include "cli_util.h"

namespace fs = std::filesystem;

namespace {

using cli::run;

// A track file: the metadata block of "# key: value" lines, the header, the rows.
struct Csv {
    std::map<std::string, std::string> meta;
    std::string header;
    std::vector<std::vector<std::string>> rows;
    explicit Csv(const std::string& file) {
        std::ifstream in(file);
        while (std::getline(in, header) && header.rfind("# ", 0) == 0)
            if (size_t colon = header.find(": "); colon != std::string::npos)
                meta[header.substr(2, colon - 2)] = header.substr(colon + 2);
        for (std::string line, cell; std::getline(in, line);) {
            rows.emplace_back();
            for (std::stringstream s(line); std::getline(s, cell, ',');) rows.back().push_back(cell);
        }
    }
    std::vector<int> perFrame(int frames) const {  // rows per frame number (column 0)
        std::vector<int> count(size_t(frames), 0);
        for (const auto& r : rows)
            if (int f = std::stoi(r.at(0)); f >= 0 && f < frames) ++count[size_t(f)];
        return count;
    }
};

// Every name in a folder, hidden ones included, with its contents.
std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? readFile(e.path().string()) : "(folder)";
    return files;
}

// The true disc centres of the built-in scene.
std::vector<cv::Point2d> demoDiscs(int frame) {
    const double pi = 3.14159265358979323846, a = 2 * pi * frame / 300.0;
    return {{320 + 220 * std::cos(a), 240 + 120 * std::sin(a)},
            {320 + 130 * std::cos(5 * pi / 4 - a), 240 + 185 * std::sin(5 * pi / 4 - a)},
            {320 + 250 * std::sin(a + 5 * pi / 6), 240 + 110 * std::sin(2 * (a + 5 * pi / 6))}};
}

int videoFrames(const std::string& file, cv::Size* size = nullptr) {
    cv::VideoCapture v(file, cv::CAP_FFMPEG);
    int n = v.isOpened() ? 0 : -1;
    for (cv::Mat m; v.read(m); ++n)
        if (size) *size = m.size();
    return n;
}

std::string flowBlock(int bin, int aim, int contour, int objects) {
    std::ostringstream s;
    s << "BinThreshold: " << bin << "\nDisAngles: 24\nSearchWindow: 30\nCorrelationWindow: 2\nSearchStep: 1\ndrawsAim: "
      << aim << "\ndrawsContour: " << contour << "\nsmartTracking: 1\nAlgoritam: 2\nBrojObjekata: " << objects << "\n";
    return s.str();
}

// A bright textured picture without anything dark in it.
cv::Mat brightPicture(int w, int h, int seed) {
    cv::Mat m(h, w, CV_8UC3);
    cv::RNG{uint64_t(seed)}.fill(m, cv::RNG::UNIFORM, 180, 240);
    return m;
}

}  // namespace

TEST(HostDemo, FollowsEveryDiscOnEveryFrameWithinThreePixels) {
    TempDir dir;
#if AMBREVO_SANITIZED
    // The instrumented tracker needs about a minute for all 300 frames; this build checks
    // the first 60 (including the first close pass, near frame 53).
    const int frames = 60;
    RUN_OK(r, dir, "--frames 60");
#else
    const int frames = 300;
    RUN_OK(r, dir, "");
#endif
    std::string last = r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    last = last.substr(last.rfind('\n') + 1);
    double mean = -1, max = -1, fps = -1;
    int reported = -1;
    ASSERT_EQ(std::sscanf(last.c_str(), "demo: mean error %lf px, max error %lf px, %d frames, %lf fps", &mean, &max,
                          &reported, &fps), 4) << last;
    EXPECT_LT(mean, 3.0);
    EXPECT_LT(max, 15.0);
    EXPECT_EQ(reported, frames);
    EXPECT_GT(fps, 0.0);
    const std::string n = std::to_string(frames);
    EXPECT_NE(r.out.find("demo: every object tracked on " + n + " of " + n + " frames\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(dir / "ambrevo-demo.csv").substr(0, 22), "# ambrevo track file\n#");
    Csv csv(dir / "ambrevo-demo.csv");
    EXPECT_EQ(csv.header, "frame,object,x,y,area,time_s");
    // The settings, the module version and the date are checked where settings are tested.
    std::erase_if(csv.meta, [](const auto& kv) {
        return kv.first.rfind("setting ", 0) == 0 || kv.first == "module_version" || kv.first == "date";
    });
    EXPECT_EQ(csv.meta, (std::map<std::string, std::string>{{"source", "demo"},
                                                            {"procedure", "flowtrack"},
                                                            {"frame_size", "640x480"},
                                                            {"pixels", "bgr"},
                                                            {"first_frame", "0"},
                                                            {"frames_read", n},
                                                            {"frames_expected", n},
                                                            {"frames_in_input", "300"},
                                                            {"status", "complete"},
                                                            {"frame_rate", "30"},
                                                            {"time_from", "timestamps"}}));
    EXPECT_EQ(csv.perFrame(frames), std::vector<int>(size_t(frames), 3));
    EXPECT_EQ(csv.rows.size(), size_t(3 * frames));
    cv::Size size;
    EXPECT_EQ(videoFrames(dir / "ambrevo-demo.mp4", &size), frames);
    EXPECT_EQ(size, cv::Size(640, 480));
}

TEST(HostVideo, AShortVideoReadBackGivesTracksForEveryFrame) {
    TempDir dir;
    // The pass-through procedure with an empty overlay writes the scene itself.
    RUN_OK(w, dir, "demo --procedure nop --frames 12 -o clip.avi --quiet");
    cv::Size size;
    ASSERT_EQ(videoFrames(dir / "clip.avi", &size), 12);
    EXPECT_EQ(size, cv::Size(640, 480));

    writeFile(dir / "cfg.txt", "\n0 1 1 2 3\n");
    RUN_OK(r, dir, "clip.avi --config cfg.txt --tracks t.csv --quiet");
    Csv csv(dir / "t.csv");
    EXPECT_EQ(csv.header, "frame,object,x,y,area,time_s");
    EXPECT_EQ(csv.perFrame(12), std::vector<int>(12, 3));
    for (const auto& row : csv.rows) {
        ASSERT_EQ(row.size(), 6u);
        double best = 1e9;
        for (const cv::Point2d& d : demoDiscs(std::stoi(row[0])))
            best = std::min(best, std::hypot(std::stoi(row[2]) - d.x, std::stoi(row[3]) - d.y));
        EXPECT_LT(best, 5.0) << "frame " << row[0];
        EXPECT_GT(std::stoi(row[4]), 500) << "area of a disc of radius 15";
    }
}

TEST(HostNop, DestinationImagesHoldExactlyTheInputBytes) {
    TempDir dir;
    fs::create_directory(dir / "in");
    std::vector<cv::Mat> inputs(3);
    cv::RNG rng(7);
    for (int i = 0; i < 3; ++i) {
        inputs[size_t(i)].create(21, 33, CV_8UC3);  // odd sizes: rows are not multiples of four bytes
        rng.fill(inputs[size_t(i)], cv::RNG::UNIFORM, 0, 256);
        ASSERT_TRUE(cv::imwrite(dir / ("in/f00" + std::to_string(i + 1) + ".png"), inputs[size_t(i)]));
    }
    // A folder, a printf pattern (starting at 1 when 0 is missing), and grey frames.
    for (const char* out : {"out", "pat", "grey"}) {
        const bool grey = out == std::string("grey");
        RUN_OK(r, dir, std::string(out == std::string("pat") ? "'in/f%03d.png'" : "in") + " --procedure nop --dst " +
                           out + (grey ? " --grey" : "") + " --quiet");
        for (int i = 0; i < 3; ++i) {
            const std::string file = dir / (std::string(out) + "/dst_00000" + std::to_string(i) + ".png");
            cv::Mat got = cv::imread(file, cv::IMREAD_UNCHANGED), want = inputs[size_t(i)];
            if (grey) cv::cvtColor(want, want, cv::COLOR_BGR2GRAY);
            ASSERT_EQ(got.type(), want.type()) << file;
            ASSERT_EQ(got.size(), want.size());
            EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0) << file;
        }
        EXPECT_FALSE(fs::exists(dir / (std::string(out) + "/dst_000003.png")));
    }
}

TEST(HostConsole, ConfigRepliesAndConsoleLogGiveTheDialogueByteForByte) {
    TempDir dir;
    // "x" stops the first reply: only BinThreshold changes.
    writeFile(dir / "cfg.txt", "30 x 5\r\n1 0 1 2 3\n");
    RUN_OK(r, dir, "demo --frames 1 --config cfg.txt --console-log log.txt --quiet");
    EXPECT_EQ(readFile(dir / "log.txt"),
              "\nCurrent ip_flowtrack configuration:\n" + flowBlock(120, 0, 1, 1) +
                  "Please supply the new values for\n  BinThreshold, DisAngles, SearchWindow, CorrelationWindow and "
                  "SearchStep:\n\nPlease supply the new values for drawsAim, drawsContour,\nsmartTracking, Algoritam, "
                  "BrojObjekata:\nThe new values are:\n" + flowBlock(30, 1, 0, 3));

    // A procedure without parameters says so through message, and reads nothing.
    writeFile(dir / "empty.txt", "");
    RUN_OK(nop, dir, "demo --procedure nop --frames 1 --config empty.txt --console-log nop.txt --quiet");
    EXPECT_EQ(readFile(dir / "nop.txt"),
              "The image processing procedure class ip_nop\ndoes not provide configurable parameters\n");
}

TEST(HostClick, AClickStartsATrackWithOneObject) {
    TempDir dir;
    fs::create_directory(dir / "in");
    cv::Mat bright = brightPicture(160, 120, 3);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(cv::imwrite(dir / ("in/" + std::to_string(i) + ".png"), bright));
    writeFile(dir / "cfg.txt", "\n0 1 1 2 1\n");
    RUN_OK(r, dir, "in --config cfg.txt --click 2:100:60 --tracks t.csv -o v.avi --quiet");
    Csv csv(dir / "t.csv");
    EXPECT_EQ(csv.perFrame(5), (std::vector<int>{0, 0, 1, 1, 1}));
    ASSERT_FALSE(csv.rows.empty());
    EXPECT_EQ(csv.rows[0], (std::vector<std::string>{"2", "0", "100", "60", csv.rows[0].at(4)}));
    EXPECT_EQ(videoFrames(dir / "v.avi"), 5);
}

namespace {

// A refused run: its one line on standard error, its status, and nothing left behind.
struct Refusal {
    std::string args;
    int status;
    std::string message;  // the start of the one line on standard error
    std::string env = "";
};

// The files the refusals name, made in `dir`.
void refusalFiles(const TempDir& dir) {
    writeFile(dir / "bogus.mp4", "this is not a video\n");
    writeFile(dir / "file.txt", "x");
    writeFile(dir / "notamodule.qorb", "not an object file\n");
    writeFile(dir / "keep.csv", "rows of an earlier run\n");
    fs::create_directory(dir / "cfgdir");
    // A container that announces 9000x9000 frames (and holds none): refused before decoding.
    writeFile(dir / "huge.y4m", "YUV4MPEG2 W9000 H9000 F25:1 C420jpeg\nFRAME\n");
}

void expectRefusals(const TempDir& dir, const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        auto before = listing(dir.path);
        before.erase(".out.txt"), before.erase(".err.txt");
        Result r = run(dir, c.args, c.env);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
        // A refused run leaves nothing behind, not even a temporary, and damages nothing.
        auto after = listing(dir.path);
        after.erase(".out.txt"), after.erase(".err.txt");
        EXPECT_EQ(after, before) << c.args;
    }
}

}  // namespace

TEST(HostErrors, UsageAndInputRefusalsGetOneLineAndTheirStatus) {
    TempDir dir;
    refusalFiles(dir);
    const std::string click = "' (expected FRAME:X:Y, three non-negative integers)\n";
    expectRefusals(dir, {
        {"--bogus", 2, "ambrevo: unknown option '--bogus' (see --help)\n"},
        {"--procedure nosuch", 2,
         "ambrevo: unknown procedure 'nosuch' (registered: canny, canny_w0, ccTrack, nop, flowtrack)\n"},
        {"--click 1:2", 2, "ambrevo: malformed --click '1:2" + click},
        {"--click 1:-2:3", 2, "ambrevo: malformed --click '1:-2:3" + click},
        {"--click 1:2:3x", 2, "ambrevo: malformed --click '1:2:3x" + click},
        {"--frames 0", 2, "ambrevo: malformed --frames '0' (expected a positive integer)\n"},
        {"--start -1", 2, "ambrevo: malformed --start '-1' (expected a non-negative integer)\n"},
        {"--end 0", 2, "ambrevo: malformed --end '0' (expected a positive integer)\n"},
        {"--start 5 --end 5", 2, "ambrevo: --end 5 is not after --start 5 (the end frame is not processed)\n"},
        {"--console-log keep.csv --tracks keep.csv", 2,
         "ambrevo: --tracks and --console-log name the same file 'keep.csv'\n"},
        {"--max-pixels 1e6", 2, "ambrevo: malformed --max-pixels '1e6' (expected a positive integer)\n"},
        {"-o out.mov", 2, "ambrevo: -o 'out.mov': the annotated video must end in .mp4 or .avi\n"},
        {"demo other", 2, "ambrevo: several inputs need --out-dir DIR for their outputs\n"},
        {"--config", 2, "ambrevo: option --config needs a value\n"},
        {"missing.mp4", 3, "ambrevo: input 'missing.mp4' not found\n"},
        {"bogus.mp4", 3, "ambrevo: cannot open or decode video 'bogus.mp4'\n"},
        {"'nothing%04d.png'", 3, "ambrevo: no images match 'nothing%04d.png'\n"},
        {"demo --config missing.txt", 3, "ambrevo: cannot read --config file 'missing.txt'\n"},
             // OpenCV's camera backends warn on their own; only the one line is left.
        {"cam:7", 3, "ambrevo: cannot open camera 'cam:7'\n"},
        {"demo --config cfgdir", 3, "ambrevo: --config 'cfgdir' is a folder, not a file of replies\n"},
        {"demo --start 300", 3, "ambrevo: input 'demo' holds no frames from --start 300\n"},
        {"huge.y4m", 3,
         "ambrevo: input 'huge.y4m': frames of 9000x9000 pixels exceed the limit of 67108864 pixels (--max-pixels "
         "raises it)\n"},
        {"demo --max-pixels 307199", 3,
         "ambrevo: input 'demo': frames of 640x480 pixels exceed the limit of 307199 pixels (--max-pixels raises "
         "it)\n"},
        {"huge.y4m --max-pixels 81000000", 3, "ambrevo: cannot decode any frame of 'huge.y4m'\n"},
    });
}

TEST(HostErrors, OutputAndModuleRefusalsGetOneLineAndTheirStatus) {
    TempDir dir;
    refusalFiles(dir);
    const std::string noDisplay = "DISPLAY= WAYLAND_DISPLAY=";
    expectRefusals(dir, {
        {"--tracks keep.csv -o missing-dir/v.mp4", 4, "ambrevo: cannot write video 'missing-dir/v.mp4'\n"},
        {"--tracks cfgdir/../keep.csv --dst keep.csv", 4, "ambrevo: cannot create --dst folder 'keep.csv'\n"},
        // The folders made for the images go again when a later output refuses the run.
        {"--dst new/dst --windows file.txt/w", 4, "ambrevo: cannot create --windows folder 'file.txt/w'\n"},
        {"demo --dst new/dst/ -o missing-dir/v.mp4", 4, "ambrevo: cannot write video 'missing-dir/v.mp4'\n"},
        {"demo --console-log cfgdir", 4, "ambrevo: cannot write --console-log file 'cfgdir': it is a folder\n"},
        {"demo --frames 1 -o /nonexistent-dir/x.mp4", 4, "ambrevo: cannot write video '/nonexistent-dir/x.mp4'\n"},
        {"demo --frames 1 --tracks /nonexistent-dir/t.csv", 4,
         "ambrevo: cannot write --tracks file '/nonexistent-dir/t.csv'\n"},
        {"demo --frames 1 --dst file.txt/sub", 4, "ambrevo: cannot create --dst folder 'file.txt/sub'\n"},
        {"demo --show", 4, "ambrevo: --show needs a display (DISPLAY is not set)\n", noDisplay},
        {"--module notamodule.qorb", 5, "ambrevo: cannot load module 'notamodule.qorb': "},
        {"--module /nonexistent/Ambrevo.qorb", 5, "ambrevo: cannot load module '/nonexistent/Ambrevo.qorb': "},
        {"", 5, "ambrevo: cannot load module '/nonexistent/m.qorb': ", "AMBREVO_MODULE=/nonexistent/m.qorb"},
        {"--module " AMBREVO_PARTIAL_MODULE, 5,
         "ambrevo: module '" AMBREVO_PARTIAL_MODULE "' lacks the export ip_dllAdaptor_destroy\n"},
    });
    // --module wins over the variable.
    EXPECT_EQ(run(dir, "--module " AMBREVO_MODULE_PATH " --list", "AMBREVO_MODULE=/nonexistent/m.qorb").status, 0);
}

TEST(HostErrors, AModuleMessageStopsTheRunWithTheFrameNumberAndValidOutputs) {
    TempDir dir;
    // SearchWindow 200 makes the first tracking frame (frame 1) throw.
    writeFile(dir / "cfg.txt", "120 24 200 2 1\n0 1 1 2 3\n");
    Result r = run(dir, "demo --frames 10 --config cfg.txt --tracks t.csv -o v.avi --dst d --quiet");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ambrevo: frame 1: Too large SearchWindow !\n");
    Csv csv(dir / "t.csv");
    EXPECT_EQ(csv.header, "frame,object,x,y,area,time_s");
    EXPECT_EQ(csv.perFrame(10), (std::vector<int>{3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(csv.meta["status"] + " / " + csv.meta["reason"], "partial / frame 1: Too large SearchWindow !");
    EXPECT_EQ(csv.meta["frames_read"] + " of " + csv.meta["frames_expected"], "1 of 10");
    EXPECT_EQ(videoFrames(dir / "v.avi"), 1);
    EXPECT_TRUE(fs::exists(dir / "d/dst_000000.png"));
    EXPECT_FALSE(fs::exists(dir / "d/dst_000001.png"));

    // The same as JSON: the one frame done, with its rays, in a closed document.
    EXPECT_EQ(run(dir, "demo --frames 10 --config cfg.txt --tracks t.json -o v.mp4 --quiet").status, 1);
    std::string json = readFile(dir / "t.json");
    EXPECT_EQ(json.substr(0, 38), "{\"procedure\": \"flowtrack\", \"frames\": [");
    const size_t first = json.find("{\"frame\": 0,");
    EXPECT_TRUE(first != std::string::npos && json.find("{\"frame\": ", first + 1) == std::string::npos) << json;
    EXPECT_NE(json.find("\"rays\": ["), std::string::npos);
    EXPECT_NE(json.find("]}\n],\n \"meta\": {\"source\": \"demo\", \"procedure\": \"flowtrack\", "
                        "\"frame_size\": [640, 480], \"pixels\": \"bgr\", \"first_frame\": 0, \"frames_read\": 1, "
                        "\"frames_expected\": 10, \"frames_in_input\": 300, \"status\": \"partial\", "
                        "\"reason\": \"frame 1: Too large SearchWindow !\", \"module_version\": \""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(", \"settings\": {\"BinThreshold\": 120, \"DisAngles\": 24, \"SearchWindow\": 200,"),
              std::string::npos);
    EXPECT_EQ(videoFrames(dir / "v.mp4"), 1);
}

TEST(HostReports, ListProfileAndTheOtherProcedures) {
    TempDir dir;
    RUN_OK(list, dir, "--list");
    EXPECT_EQ(list.out, "canny\ncanny_w0\nccTrack\nnop\nflowtrack\n");
    RUN_OK(profile, dir, "demo --frames 3 --profile --quiet");
    for (const char* label : {"copying ", "optical flow ", "active rays ", "annotating ", "whole frame (host) "})
        EXPECT_NE(profile.out.find(std::string("\n") + label), std::string::npos) << label;
    EXPECT_NE(profile.out.find("profile over 3 frames\n"), std::string::npos);

    // The Canny procedure opens four windows; each is saved per frame.
    fs::create_directory(dir / "in");
    for (int i = 0; i < 2; ++i) {
        cv::Mat m = brightPicture(64, 48, i);
        cv::circle(m, {30 + i, 24}, 9, cv::Scalar(30, 30, 30), cv::FILLED);
        ASSERT_TRUE(cv::imwrite(dir / ("in/" + std::to_string(i) + ".png"), m));
    }
    RUN_OK(canny, dir, "in --procedure canny --windows w --dst d --quiet");
    for (std::string title : {"Gauss_", "Gradient_", "NMS_mask_", "Edges_"})
        for (std::string file : {dir / ("w/" + title + "000000.png"), dir / ("w/" + title + "000001.png")})
            EXPECT_EQ(cv::imread(file, cv::IMREAD_UNCHANGED).size(), cv::Size(64, 48)) << file;
    cv::Mat edges = cv::imread(dir / "d/dst_000000.png", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(edges.channels(), 1);
    EXPECT_GT(cv::countNonZero(edges), 0);

    RUN_OK(cc, dir, "demo --procedure ccTrack --frames 4 --tracks cc.csv --quiet");
    EXPECT_EQ(Csv(dir / "cc.csv").header, "frame,object,x,y,vx,vy,points,appearances,selected,time_s");
}

TEST(HostInput, ATruncatedVideoIsToldAndRecordedAsPartial) {
    TempDir dir;
    RUN_OK(w, dir, "demo --procedure nop --frames 12 -o clip.avi --quiet");
    const std::string whole = readFile(dir / "clip.avi");
    writeFile(dir / "cut.avi", whole.substr(0, whole.size() / 2));  // the header still says 12 frames
    Result r = run(dir, "cut.avi --procedure nop --tracks t.csv --quiet");
    EXPECT_EQ(r.status, 3);
    Csv csv(dir / "t.csv");
    const std::string read = csv.meta["frames_read"];
    ASSERT_TRUE(read >= "1" && read <= "9" && read.size() == 1) << read;
    const std::string message = "input 'cut.avi' ended after " + read + " of the 12 frames its container announced";
    EXPECT_EQ(r.err, "ambrevo: " + message + "\n");
    EXPECT_EQ(csv.meta["frames_in_input"] + " " + csv.meta["frames_expected"] + " " + csv.meta["status"],
              "12 12 partial");
    EXPECT_EQ(csv.meta["reason"], message);
    EXPECT_EQ(csv.header, "frame,object,x,y,area,vx,vy,points,appearances,selected,time_s");

    // The whole file, and a range that stops before the cut, are complete.
    RUN_OK(all, dir, "clip.avi --procedure nop --tracks t.csv --quiet");
    EXPECT_EQ(Csv(dir / "t.csv").meta["status"], "complete");
    RUN_OK(part, dir, "cut.avi --procedure nop --end 2 --tracks t.csv --quiet");
    EXPECT_EQ(Csv(dir / "t.csv").meta["status"] + " " + Csv(dir / "t.csv").meta["frames_read"], "complete 2");
}

TEST(HostInput, StartAndEndChooseTheFramesByTheirNumberInTheInput) {
    TempDir dir;
    struct Case {
        std::string range;
        std::vector<int> perFrame;  // rows per input frame 0..15
        std::string expected;       // frames_expected
    };
    for (const Case& c : std::vector<Case>{
             {"--start 10 --end 14", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 3, 3, 0, 0}, "4"},
             {"--start 12 --frames 2", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0}, "2"},
             {"--end 3 --frames 5", {3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "3"},
             {"--start 298", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "2"},
         }) {
        RUN_OK(r, dir, "demo " + c.range + " --tracks t.csv -o v.mp4 --quiet");
        Csv csv(dir / "t.csv");
        EXPECT_EQ(csv.perFrame(16), c.perFrame) << c.range;
        EXPECT_EQ(csv.meta["frames_expected"], c.expected) << c.range;
        EXPECT_EQ(csv.meta["frames_read"], c.expected) << c.range;
        const bool started = c.range.rfind("--start ", 0) == 0;
        EXPECT_EQ(csv.meta["first_frame"], started ? c.range.substr(8, c.range.find(' ', 8) - 8) : "0");
        EXPECT_EQ(videoFrames(dir / "v.mp4"), std::stoi(c.expected)) << c.range;
    }
    // The tracks of a range are the tracks the whole run gives on those frames' discs.
    Csv late(dir / "t.csv");
    for (const auto& row : late.rows) {
        double best = 1e9;
        for (const cv::Point2d& d : demoDiscs(std::stoi(row.at(0))))
            best = std::min(best, std::hypot(std::stoi(row[2]) - d.x, std::stoi(row[3]) - d.y));
        EXPECT_LT(best, 5.0) << "frame " << row[0];
    }
    // Image names and clicks count in input frames too.
    RUN_OK(d, dir, "demo --procedure nop --start 7 --end 9 --dst d --quiet");
    EXPECT_EQ(listing(dir.path / "d").size(), 2u);
    EXPECT_TRUE(fs::exists(dir / "d/dst_000007.png") && fs::exists(dir / "d/dst_000008.png"));
}

// A small file system of its own, full after `size`; needs the right to mount.
struct SmallDisk {
    fs::path path;
    bool mounted = false;
    SmallDisk(const TempDir& dir, const std::string& size) : path(dir.path / "disk") {
        fs::create_directory(path);
        const std::string mount = "mount -t tmpfs -o size=" + size + " tmpfs '" + path.string() + "' 2>/dev/null";
        mounted = std::system(mount.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) std::system(("umount '" + path.string() + "'").c_str());
    }
};

TEST(HostOutputs, AFullDiskIsNoticedAndTheFileThereBeforeSurvives) {
    TempDir dir;
    struct Case {
        std::string size, args, target, message;
    };
    for (const Case& c : std::vector<Case>{
             // About 40 kB a frame: 60 frames do not fit in 1 MB; the encoder itself reports nothing.
             {"1m", "demo --procedure nop --frames 60 -o disk/v.avi", "v.avi",
              "cannot write video 'disk/v.avi': its disk is full\n"},
             // About 5 kB a frame after the first.
             {"256k", "demo --procedure nop --frames 120 -o disk/v.mp4", "v.mp4",
              "cannot write video 'disk/v.mp4': its disk is full\n"},
             // The rays take about 700 bytes a frame.
             {"8k", "demo --frames 30 --tracks disk/t.json -o v.mp4", "t.json",
              "cannot write --tracks file 'disk/t.json'"},
             {"1m", "demo --procedure nop --frames 30 --dst disk", "dst_000999.png",
              "cannot write destination image 'disk/dst_0000"},
         }) {
        SmallDisk disk(dir, c.size);
        if (!disk.mounted) GTEST_SKIP() << "cannot mount a small file system here (needs root)";
        writeFile((disk.path / c.target).string(), "earlier\n");
        Result r = run(dir, c.args + " --quiet");
        EXPECT_EQ(r.status, 4) << c.args;
        EXPECT_EQ(r.err.substr(0, c.message.size() + 9), "ambrevo: " + c.message) << c.args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        // Not a byte of the failed output is left, and the earlier file is whole; the images
        // finished before the disk filled are whole too.
        auto left = listing(disk.path);
        for (auto it = left.begin(); it != left.end();)
            if (it->first != c.target && it->first.rfind("dst_", 0) == 0 &&
                cv::imread((disk.path / it->first).string()).size() == cv::Size(640, 480))
                it = left.erase(it);
            else
                ++it;
        EXPECT_EQ(left, (std::map<std::string, std::string>{{c.target, "earlier\n"}})) << c.args;
    }
}

TEST(HostSignals, SigintAndSigtermEndTheRunWithCompleteOutputsOfTheFramesDone) {
    for (int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A child of its own: a shell's background job would ignore SIGINT.
            if (chdir(dir.path.c_str()) != 0) _exit(127);
            freopen(".out.txt", "w", stdout);
            freopen(".err.txt", "w", stderr);
            execl(AMBREVO_EXE, AMBREVO_EXE, "demo", "-o", "v.mp4", "--tracks", "t.csv", "--quiet", (char*)nullptr);
            _exit(127);
        }
        // Signalled once the first rows are on their way to the track file.
        const std::string rows = dir / (".t.csv.rows-" + std::to_string(pid) + ".csv");
        for (int i = 0; i < 600; ++i) {
            std::error_code ec;
            if (fs::file_size(rows, ec) > 0 && !ec) break;
            usleep(50000);
        }
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        Csv csv(dir / "t.csv");
        const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM", done = csv.meta["frames_read"];
        ASSERT_FALSE(done.empty());
        const int frames = std::stoi(done);
        EXPECT_GT(frames, 0);
        EXPECT_LT(frames, 300);
        const std::string message = "stopped by " + name + " after " + done + " frames; the outputs hold them";
        EXPECT_EQ(readFile(dir / ".err.txt"), "ambrevo: " + message + "\n");
        EXPECT_EQ(csv.meta["status"] + " / " + csv.meta["reason"], "partial / " + message);
        EXPECT_EQ(csv.perFrame(frames), std::vector<int>(size_t(frames), 3));
        EXPECT_EQ(csv.rows.size(), size_t(3 * frames));
        EXPECT_EQ(videoFrames(dir / "v.mp4"), frames);
        auto left = listing(dir.path);
        EXPECT_EQ(left.size(), 4u) << "no temporaries left";
    }
}

TEST(HostErrors, LibraryFailuresBecomeOneLineNeverAnAbort) {
#if AMBREVO_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limits below allow";
#else
    TempDir dir;
    cv::Mat big(6000, 6000, CV_8UC3, cv::Scalar(200, 200, 200));
    ASSERT_TRUE(cv::imwrite(dir / "big.png", big));
    big.release();
    // From too little memory to start at all up to enough: wherever the allocation fails
    // (the module, OpenCV's conversions, the encoder), one line and a documented status.
    std::set<int> seen;
    for (int limit = 400; limit <= 800; limit += 100) {
        const std::string ulimit = "ulimit -v " + std::to_string(limit * 1000) + ";";
        Result r = run(dir, "big.png --procedure nop -o big.avi --quiet", ulimit);
        if (r.status == 127) continue;  // the process could not even load its libraries
        seen.insert(r.status);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 3 || r.status == 4 || r.status == 6)
            << limit << " MB: " << r.status << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), r.status == 0 ? 0 : 1) << limit << " MB\n" << r.err;
        EXPECT_EQ(r.err.rfind("ambrevo: ", 0), r.status == 0 ? std::string::npos : 0) << r.err;
        if (r.status == 6) { EXPECT_NE(r.err.find(": OpenCV: Failed to allocate "), std::string::npos) << r.err; }
    }
    EXPECT_TRUE(seen.count(6)) << "no limit made OpenCV fail";
#endif
}

TEST(HostErrors, LibraryChatterOnlyWithVerbose) {
    TempDir dir;
    writeFile(dir / "bogus.mp4", "this is not a video\n");
    Result quiet = run(dir, "bogus.mp4");
    EXPECT_EQ(quiet.err, "ambrevo: cannot open or decode video 'bogus.mp4'\n");
    EXPECT_EQ(quiet.out, "");
    Result verbose = run(dir, "bogus.mp4 --verbose");
    EXPECT_EQ(verbose.status, 3);
    EXPECT_NE((verbose.out + verbose.err).find("moov atom not found"), std::string::npos) << verbose.out << verbose.err;
}

namespace {

// A finished run's every observable: status, standard output without the timing, standard
// error, and every file left in `dir` with the track file's date masked.
std::map<std::string, std::string> observed(const TempDir& dir, const Result& r) {
    std::map<std::string, std::string> seen = listing(dir.path);
    seen.erase(".out.txt");
    seen.erase(".err.txt");
    for (auto& [name, text] : seen)
        for (size_t at = text.find("date"); name.rfind("t.", 0) == 0 && at != std::string::npos;
             at = text.find("date", at + 1))
            text.replace(at, std::min(text.find('\n', at), text.size()) - at, "date (masked)");
    std::string out = r.out;
    for (const char* timing : {" s, ", " fps"})
        for (size_t at = out.find(timing); at != std::string::npos; at = out.find(timing, at + 1)) {
            const size_t number = out.find_last_of(' ', at - 1) + 1;
            out.replace(number, at - number, "(masked)");
            at = number + 8;
        }
    seen["(status)"] = std::to_string(r.status);
    seen["(stdout)"] = out;
    seen["(stderr)"] = r.err;
    return seen;
}

}  // namespace

TEST(HostPipeline, OverlappedStagesGiveTheSerialRunsOutputsByteForByte) {
    TempDir clips;
    RUN_OK(w, clips, "demo --procedure nop --frames 40 -o clip.avi --quiet");
    writeFile(clips / "cfg.txt", "\n1 1 1 2 3\n");
    // SearchWindow 200 makes frame 1 throw: the frame before it is written, nothing after.
    writeFile(clips / "bad.txt", "120 24 200 2 1\n0 1 1 2 3\n");
    const std::string clip = clips / "clip.avi", cfg = clips / "cfg.txt", bad = clips / "bad.txt";
    struct Case {
        std::string args;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"'" + clip + "' --config '" + cfg + "' --click 5:100:100 -o v.avi --tracks t.csv --dst d", 0},
             {"'" + clip + "' --config '" + cfg + "' --start 3 --end 31 --link 40 -o v.mp4 --tracks t.json", 0},
             {"'" + clip + "' --procedure canny_w0 --grey -o v.avi --dst d", 0},
             {"'" + clip + "' --procedure ccTrack --roi circle:320,240,200 -o v.avi --tracks t.csv", 0},
             {"demo --frames 10 --config '" + bad + "' --tracks t.csv -o v.avi --dst d", 1},
             {"demo --frames 25 --tracks t.csv -o v.avi", 0},
         }) {
        TempDir serial, overlapped;
        const Result one = run(serial, c.args + " --threads 1");
        const Result three = run(overlapped, c.args);
        EXPECT_EQ(one.status, c.status) << c.args << "\n" << one.err;
        const auto want = observed(serial, one), got = observed(overlapped, three);
        EXPECT_GT(want.size(), 4u) << c.args;
        for (const auto& [name, text] : want) {
            auto it = got.find(name);
            ASSERT_NE(it, got.end()) << c.args << ": " << name << " missing";
            EXPECT_TRUE(it->second == text) << c.args << ": " << name << " differs";
        }
        EXPECT_EQ(got.size(), want.size()) << c.args;
    }
}
