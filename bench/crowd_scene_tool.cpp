// Writes a generated crowd as a video and its true centres, for runs of the whole program:
//
//   crowd_scene_tool DIR [--discs N] [--size WxH] [--radius MIN,MAX] [--arenas K]
//                        [--frames F] [--seed S] [--speed PX] [--closest C] [--noise N]
//                        [--light] [--quality Q]
//
// DIR/scene.avi: MJPEG, 25 frames per second, colour. DIR/truth.csv: frame,object,x,y with
// pixel centres at whole numbers. DIR/arenas.txt: one `--roi rect:x,y,w,h` per arena. The
// last line on standard output gives the share of positions that touched another disc.
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "crowd_scene.h"

namespace {

int usage(const std::string& why) {
    std::cerr << "crowd_scene_tool: " << why << "\n"
              << "usage: crowd_scene_tool DIR [--discs N] [--size WxH] [--radius MIN,MAX] [--arenas K] [--frames F]\n"
              << "                        [--seed S] [--speed PX] [--closest C] [--noise N] [--light] [--quality Q]\n";
    return 2;
}

double number(const std::string& text, const std::string& option) {
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw std::invalid_argument(option + " needs a number, got '" + text + "'");
    return v;
}

// "A<sep>B" as two numbers.
void pair(const std::string& text, char sep, const std::string& option, double& a, double& b) {
    const size_t at = text.find(sep);
    if (at == std::string::npos) throw std::invalid_argument(option + " needs two numbers joined by '" + sep + "'");
    a = number(text.substr(0, at), option);
    b = number(text.substr(at + 1), option);
}

}  // namespace

int main(int argc, char** argv) {
    crowd_scene::settings s;
    int frames = 200, quality = 95;
    std::string dir;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
                return argv[++i];
            };
            if (a == "--discs") {
                s.discs = int(number(value(), a));
            } else if (a == "--size") {
                double w, h;
                pair(value(), 'x', a, w, h);
                s.width = int(w), s.height = int(h);
            } else if (a == "--radius") {
                pair(value(), ',', a, s.minRadius, s.maxRadius);
            } else if (a == "--arenas") {
                s.arenas = int(number(value(), a));
            } else if (a == "--frames") {
                frames = int(number(value(), a));
            } else if (a == "--seed") {
                s.seed = uint64_t(number(value(), a));
            } else if (a == "--speed") {
                s.speed = number(value(), a);
            } else if (a == "--closest") {
                s.closest = number(value(), a);
            } else if (a == "--noise") {
                s.noise = int(number(value(), a));
            } else if (a == "--quality") {
                quality = int(number(value(), a));
            } else if (a == "--light") {
                s.light = true;
            } else if (!a.empty() && a[0] == '-') {
                return usage("unknown option " + a);
            } else if (dir.empty()) {
                dir = a;
            } else {
                return usage("one output folder only");
            }
        }
        if (dir.empty()) return usage("no output folder");
        if (frames < 1) return usage("--frames must be at least 1");
        if (quality < 1 || quality > 100) return usage("--quality must lie in 1 to 100");
        crowd_scene::scene scene(s);

        std::filesystem::create_directories(dir);
        const std::string video = dir + "/scene.avi";
        cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(s.width, s.height),
                               true);
        if (!writer.isOpened()) {
            std::cerr << "crowd_scene_tool: cannot write " << video << "\n";
            return 4;
        }
        writer.set(cv::VIDEOWRITER_PROP_QUALITY, quality);
        std::ofstream truth(dir + "/truth.csv");
        truth << "frame,object,x,y\n";
        cv::Mat frame(s.height, s.width, CV_8UC3);
        for (int f = 0; f < frames; ++f) {
            if (f) scene.next();
            scene.bgr(frame.data, int64_t(frame.step));
            writer.write(frame);
            char line[96];
            for (const crowd_scene::position& p : scene.truth()) {
                std::snprintf(line, sizeof line, "%d,%d,%.3f,%.3f\n", f, p.object, p.x, p.y);
                truth << line;
            }
        }
        std::ofstream rois(dir + "/arenas.txt");
        for (const crowd_scene::rect& r : scene.arenas())
            rois << "--roi rect:" << r.x << ',' << r.y << ',' << r.width << ',' << r.height << "\n";
        if (!truth || !rois) {
            std::cerr << "crowd_scene_tool: cannot write into " << dir << "\n";
            return 4;
        }
        std::printf("%d frames of %d discs, %dx%d, %d arena(s); touching: %.1f%% of positions\n", frames, s.discs,
                    s.width, s.height, s.arenas, 100.0 * scene.touchingShare());
    } catch (const std::invalid_argument& e) {
        return usage(e.what());
    }
    return 0;
}
