// Drives the real ambrevo executable, loading the real module, as a user would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = [] { std::string p = (fs::temp_directory_path() / "ambrevo-host-XXXXXX").string(); return fs::path(mkdtemp(p.data())); }();
    ~TempDir() { std::error_code ec; fs::remove_all(path, ec); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string readFile(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

void writeFile(const std::string& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

struct Result { int status; std::string out, err; };

// Runs ambrevo in `dir` with `args` (shell words) and `env` (assignments before it).
Result run(const TempDir& dir, const std::string& args, const std::string& env = "") {
    std::string cmd = "cd '" + dir.path.string() + "' && " + env + " '" AMBREVO_EXE "' " + args +
                      " > .out.txt 2> .err.txt < /dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), readFile(dir / ".out.txt"), readFile(dir / ".err.txt")};
}

#define RUN_OK(r, ...)            \
    Result r = run(__VA_ARGS__); \
    ASSERT_EQ(r.status, 0) << r.err

struct Csv {
    std::string header;
    std::vector<std::vector<std::string>> rows;
    explicit Csv(const std::string& file) {
        std::ifstream in(file);
        std::getline(in, header);
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
    Csv csv(dir / "ambrevo-demo.csv");
    EXPECT_EQ(csv.header, "frame,object,x,y,area");
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
    EXPECT_EQ(csv.header, "frame,object,x,y,area");
    EXPECT_EQ(csv.perFrame(12), std::vector<int>(12, 3));
    for (const auto& row : csv.rows) {
        ASSERT_EQ(row.size(), 5u);
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

TEST(HostErrors, BadInputGetsOneLineAndItsStatus) {
    TempDir dir;
    writeFile(dir / "bogus.mp4", "this is not a video\n");
    writeFile(dir / "file.txt", "x");
    writeFile(dir / "notamodule.qorb", "not an object file\n");
    const std::string click = "' (expected FRAME:X:Y, three non-negative integers)\n", noDisplay = "DISPLAY= WAYLAND_DISPLAY=";
    struct Case {
        std::string args;
        int status;
        std::string message;  // the start of the one line on standard error
        std::string env = "";
    };
    for (const Case& c : std::vector<Case>{
             {"--bogus", 2, "ambrevo: unknown option '--bogus' (see --help)\n"},
             {"--procedure nosuch", 2,
              "ambrevo: unknown procedure 'nosuch' (registered: canny, canny_w0, ccTrack, nop, flowtrack)\n"},
             {"--click 1:2", 2, "ambrevo: malformed --click '1:2" + click},
             {"--click 1:-2:3", 2, "ambrevo: malformed --click '1:-2:3" + click},
             {"--click 1:2:3x", 2, "ambrevo: malformed --click '1:2:3x" + click},
             {"--frames 0", 2, "ambrevo: malformed --frames '0' (expected a positive integer)\n"},
             {"-o out.mov", 2, "ambrevo: -o 'out.mov': the annotated video must end in .mp4 or .avi\n"},
             {"demo other", 2, "ambrevo: more than one input given ('demo' and 'other')\n"},
             {"--config", 2, "ambrevo: option --config needs a value\n"},
             {"missing.mp4", 3, "ambrevo: input 'missing.mp4' not found\n"},
             {"bogus.mp4", 3, "ambrevo: cannot open or decode video 'bogus.mp4'\n"},
             {"'nothing%04d.png'", 3, "ambrevo: no images match 'nothing%04d.png'\n"},
             {"demo --config missing.txt", 3, "ambrevo: cannot read --config file 'missing.txt'\n"},
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
         }) {
        Result r = run(dir, c.args, c.env);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
        if (c.status == 2) { EXPECT_FALSE(fs::exists(dir / "ambrevo-demo.csv")) << c.args; }
    }
    // No empty video is left behind; --show is refused before any output is opened.
    EXPECT_FALSE(fs::exists(dir / "ambrevo-demo.mp4"));
    fs::remove(dir / "ambrevo-demo.csv");
    EXPECT_EQ(run(dir, "demo --show", noDisplay).status, 4);
    EXPECT_FALSE(fs::exists(dir / "ambrevo-demo.csv"));
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
    EXPECT_EQ(csv.header, "frame,object,x,y,area");
    EXPECT_EQ(csv.perFrame(10), (std::vector<int>{3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
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
    EXPECT_EQ(json.rfind("]}\n"), json.size() - 3);
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
    EXPECT_EQ(Csv(dir / "cc.csv").header, "frame,object,x,y,vx,vy,points,appearances,selected");
}
