// Writes a generated scene as a video with its truth, for runs of the whole program:
//
//   crowd_scene_tool DIR [--kind discs|fish|flies|light|rim|larvae] [--frames F] [--seed S] [--size WxH]
//                        [--speed PX] [--noise N] [--quality Q]
//     discs:             [--discs N] [--radius MIN,MAX] [--arenas K] [--closest C] [--light]
//     the other kinds:   [--animals N] [--length PX] [--flicker GREY] [--uneven SHARE] [--vignette SHARE]
//                        [--flash F[,F...]] [--dim F[:LEVEL]] [--codec h264|mjpeg|ffv1|png] [--fps R]
//                        [--rim PX[:REFLECTIONS]] [--shadow SHARE] [--sizes SHARE:RATIO] [--width RATIO]
//                        [--blur SIGMA] [--rest SHARE] [--shake PX] [--knock F:DX,DY]
//
// --rim gives any kind a dark visible wall PX wide that mirrors the animals (a light animal's
// reflection is light); --shadow a shadow beside each animal; --sizes a share of the animals
// RATIO times as long; --width the widest part over the length; --blur the optics' blur;
// --rest the share of animals that rest for hundreds of frames; --shake a camera that shakes,
// the picture moving up to PX pixels either way (the truth moves with it); --knock a camera knocked
// aside once, the picture moved by (DX, DY) from frame F on: combinations the kinds'
// presets do not hold, for footage unlike the presets.
//
// Discs (the default kind): DIR/scene.avi, MJPEG at 25 frames per second, colour;
// DIR/truth.csv: frame,object,x,y; DIR/arenas.txt: one `--roi rect:x,y,w,h` per arena; the
// last line on standard output gives the share of positions that touched another disc.
//
// The lab kinds (lab_scene.h): DIR/scene.mp4 (H.264, the default), scene.avi (MJPEG),
// scene.mkv (FFV1, lossless) or frames/%06d.png; DIR/truth.csv with frame,object,x,y first
// and then the posture and contacts (below); DIR/arenas.txt: the `--roi circle:cx,cy,r` a
// user draws on the visible wall; DIR/options.txt: the options a user gives the program
// after reading the docs (polarity, count, arena); DIR/scene.json: the settings and the
// scene's counts. An all-white frame has no rows in the truth: nothing can be seen on it.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "crowd_scene.h"
#include "lab_scene.h"
#include "scene_video.h"

namespace {

int usage(const std::string& why) {
    std::cerr << "crowd_scene_tool: " << why << "\n"
              << "usage: crowd_scene_tool DIR [--kind discs|fish|flies|light|rim|larvae] [--frames F] [--seed S]\n"
              << "         [--size WxH] [--speed PX] [--noise N] [--quality Q]\n"
              << "  discs: [--discs N] [--radius MIN,MAX] [--arenas K] [--closest C] [--light]\n"
              << "  other kinds: [--animals N] [--length PX] [--flicker GREY] [--uneven SHARE] [--vignette SHARE]\n"
              << "         [--flash F[,F...]] [--dim F[:LEVEL]] [--codec h264|mjpeg|ffv1|png] [--fps R]\n"
              << "         [--rim PX[:REFLECTIONS]] [--shadow SHARE] [--sizes SHARE:RATIO] [--width RATIO]\n"
              << "         [--blur SIGMA] [--rest SHARE] [--shake PX] [--knock F:DX,DY]\n";
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

// Everything the command line asks for, of either family of scenes.
struct request {
    std::string dir, kind = "discs";
    int frames = 200, quality = -1;
    double fps = 25;
    crowd_scene::settings discs;
    crowd_scene::lab_settings lab;
    crowd_scene::codec codec = crowd_scene::codec::h264;
    std::string discsOnly;  // an option given that only discs take
};

// The options of the lab kinds: applied over the kind's preset once it is known.
void labOption(request& r, const std::string& a, const std::string& v) {
    crowd_scene::lab_settings& s = r.lab;
    if (a == "--animals") {
        s.animals = int(number(v, a));
    } else if (a == "--length") {
        s.length = number(v, a);
    } else if (a == "--flicker") {
        s.light.flicker = number(v, a);
    } else if (a == "--uneven") {
        s.light.uneven = number(v, a);
    } else if (a == "--vignette") {
        s.light.vignette = number(v, a);
    } else if (a == "--flash") {
        std::stringstream list(v);
        for (std::string f; std::getline(list, f, ',');) s.timeline.flashes.push_back(int(number(f, a)));
    } else if (a == "--dim") {
        const size_t colon = v.find(':');
        s.timeline.dimFrame = int(number(v.substr(0, colon), a));
        if (colon != std::string::npos) s.timeline.dimTo = number(v.substr(colon + 1), a);
    } else if (a == "--rim") {
        const size_t colon = v.find(':');
        s.rimWidth = number(v.substr(0, colon), a);
        s.reflections = colon == std::string::npos ? 0.35 : number(v.substr(colon + 1), a);
        // A wide wall lies on the animals' side of the floor's grey, as they do to a threshold.
        s.wall = s.lightAnimals ? std::max(s.floor, s.wall) : std::min(s.wall, 0.3 * s.floor);
    } else if (a == "--shadow") {
        s.shadow = number(v, a);
    } else if (a == "--sizes") {
        pair(v, ':', a, s.bigShare, s.bigRatio);
    } else if (a == "--width") {
        s.widthRatio = number(v, a);
    } else if (a == "--blur") {
        s.blur = number(v, a);
    } else if (a == "--shake") {
        s.shake = number(v, a);
    } else if (a == "--knock") {
        const size_t colon = v.find(':');
        if (colon == std::string::npos) throw std::invalid_argument("--knock takes F:DX,DY");
        s.timeline.knockFrame = int(number(v.substr(0, colon), a));
        pair(v.substr(colon + 1), ',', a, s.timeline.knock.x, s.timeline.knock.y);
    } else if (a == "--rest") {
        s.restShare = number(v, a);
    } else if (a == "--codec") {
        if (!crowd_scene::codec_from_name(v, r.codec)) throw std::invalid_argument("unknown codec " + v);
    } else if (a == "--fps") {
        r.fps = number(v, a);
    } else {
        throw std::invalid_argument("unknown option " + a);
    }
}

// Options that both families share, then those of discs; the rest are the lab kinds'.
void option(request& r, std::vector<std::pair<std::string, std::string>>& labOptions, const std::string& a,
            const std::string& v) {
    crowd_scene::settings& s = r.discs;
    if (a == "--kind") {
        r.kind = v;
    } else if (a == "--frames") {
        r.frames = int(number(v, a));
    } else if (a == "--seed") {
        s.seed = r.lab.seed = uint64_t(number(v, a));
    } else if (a == "--quality") {
        r.quality = int(number(v, a));
    } else if (a == "--size") {
        double w, h;
        pair(v, 'x', a, w, h);
        s.width = r.lab.width = int(w), s.height = r.lab.height = int(h);
    } else if (a == "--discs") {
        s.discs = int(number(v, a)), r.discsOnly = a;
    } else if (a == "--radius") {
        pair(v, ',', a, s.minRadius, s.maxRadius), r.discsOnly = a;
    } else if (a == "--arenas") {
        s.arenas = int(number(v, a)), r.discsOnly = a;
    } else if (a == "--closest") {
        s.closest = number(v, a), r.discsOnly = a;
    } else {
        labOptions.emplace_back(a, v);  // --speed and --noise: both families
    }
}

// Returns an empty string when the command line is fine, else why it is not.
std::string parse(int argc, char** argv, request& r) {
    std::vector<std::pair<std::string, std::string>> labOptions;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--light") {
            r.discs.light = true, r.discsOnly = a;
        } else if (!a.empty() && a[0] == '-') {
            if (i + 1 >= argc) return a + " needs a value";
            option(r, labOptions, a, argv[++i]);
        } else if (r.dir.empty()) {
            r.dir = a;
        } else {
            return "one output folder only";
        }
    }
    crowd_scene::kind k;
    const bool lab = crowd_scene::kind_from_name(r.kind, k);
    if (!lab && r.kind != "discs") return "unknown kind " + r.kind;
    if (lab && !r.discsOnly.empty()) return r.discsOnly + " is for discs only; see --animals and --length for " + r.kind;
    if (lab) r.lab = [&] {
        crowd_scene::lab_settings p = crowd_scene::preset(k);
        p.seed = r.lab.seed, p.width = r.lab.width, p.height = r.lab.height;
        return p;
    }();
    for (const auto& [a, v] : labOptions) {
        if (a == "--speed") r.discs.speed = r.lab.speed = number(v, a);
        else if (a == "--noise") r.discs.noise = int(r.lab.noise = number(v, a));
        else if (lab) labOption(r, a, v);
        else return "unknown option " + a + " for discs";
    }
    if (r.dir.empty()) return "no output folder";
    if (r.frames < 1) return "--frames must be at least 1";
    if (r.quality < 0) r.quality = !lab ? 95 : r.codec == crowd_scene::codec::h264 ? 23 : 75;
    const bool crf = lab && r.codec == crowd_scene::codec::h264;
    if (crf ? r.quality > 51 : r.quality < 1 || r.quality > 100)
        return crf ? "--quality is H.264's rate factor, 0 to 51" : "--quality must lie in 1 to 100";
    return "";
}

int writeDiscs(const request& r) {
    const crowd_scene::settings& s = r.discs;
    crowd_scene::scene scene(s);
    std::filesystem::create_directories(r.dir);
    const std::string video = r.dir + "/scene.avi";
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(s.width, s.height), true);
    if (!writer.isOpened()) {
        std::cerr << "crowd_scene_tool: cannot write " << video << "\n";
        return 4;
    }
    writer.set(cv::VIDEOWRITER_PROP_QUALITY, r.quality);
    std::ofstream truth(r.dir + "/truth.csv");
    truth << "frame,object,x,y\n";
    cv::Mat frame(s.height, s.width, CV_8UC3);
    for (int f = 0; f < r.frames; ++f) {
        if (f) scene.next();
        scene.bgr(frame.data, int64_t(frame.step));
        writer.write(frame);
        char line[96];
        for (const crowd_scene::position& p : scene.truth()) {
            std::snprintf(line, sizeof line, "%d,%d,%.3f,%.3f\n", f, p.object, p.x, p.y);
            truth << line;
        }
    }
    std::ofstream rois(r.dir + "/arenas.txt");
    for (const crowd_scene::rect& a : scene.arenas())
        rois << "--roi rect:" << a.x << ',' << a.y << ',' << a.width << ',' << a.height << "\n";
    if (!truth || !rois) {
        std::cerr << "crowd_scene_tool: cannot write into " << r.dir << "\n";
        return 4;
    }
    std::printf("%d frames of %d discs, %dx%d, %d arena(s); touching: %.1f%% of positions\n", r.frames, s.discs,
                s.width, s.height, s.arenas, 100.0 * scene.touchingShare());
    return 0;
}

void truthHeader(std::ostream& out) {
    out << "frame,object,x,y,heading,length,head_x,head_y,tail_x,tail_y,contact,shared,cluster,resting";
    for (int k = 0; k < crowd_scene::kMidlinePoints; ++k) out << ",m" << k << "_x,m" << k << "_y";
    out << "\n";
}

void truthRow(std::ostream& out, int frame, const crowd_scene::animal_truth& t) {
    char line[256];
    const crowd_scene::point head = t.midline.front(), tail = t.midline.back();
    std::snprintf(line, sizeof line, "%d,%d,%.3f,%.3f,%.4f,%.2f,%.3f,%.3f,%.3f,%.3f,%d,%.3f,%d,%d", frame, t.object,
                  t.centre.x, t.centre.y, t.heading, t.length, head.x, head.y, tail.x, tail.y, t.contact, t.shared,
                  t.cluster, int(t.resting));
    out << line;
    for (const crowd_scene::point& p : t.midline) {
        std::snprintf(line, sizeof line, ",%.2f,%.2f", p.x, p.y);
        out << line;
    }
    out << "\n";
}

std::string roi(const crowd_scene::circle& c) {
    std::ostringstream out;
    out << "--roi circle:" << c.x << ',' << c.y << ',' << c.r;
    return out.str();
}

// The settings and what the scene holds, for scripts and for people.
void describe(const request& r, const crowd_scene::lab_scene& scene, const std::string& video, std::ostream& out) {
    const crowd_scene::lab_settings& s = r.lab;
    const crowd_scene::lab_scene::tally& t = scene.counted();
    const double n = double(std::max<int64_t>(t.positions, 1));
    const crowd_scene::circle a = scene.arena(), d = scene.drawn();
    out << "{\n  \"kind\": \"" << r.kind << "\", \"seed\": " << s.seed << ", \"animals\": " << s.animals
        << ", \"width\": " << s.width << ", \"height\": " << s.height << ", \"frames\": " << r.frames
        << ", \"fps\": " << r.fps << ",\n  \"video\": \"" << video.substr(r.dir.size() + 1)
        << "\", \"codec\": \"" << crowd_scene::codec_name(r.codec) << "\", \"quality\": " << r.quality
        << ",\n  \"polarity\": " << (s.lightAnimals ? 1 : 0) << ", \"length\": " << s.length
        << ", \"big_share\": " << s.bigShare << ", \"big_ratio\": " << s.bigRatio << ", \"noise\": " << s.noise
        << ",\n  \"uneven\": " << s.light.uneven << ", \"vignette\": " << s.light.vignette
        << ", \"flicker\": " << s.light.flicker << ", \"dim_frame\": " << s.timeline.dimFrame
        << ", \"dim_to\": " << s.timeline.dimTo << ", \"shake\": " << s.shake << ", \"knock_frame\": " << s.timeline.knockFrame
        << ", \"knock\": [" << s.timeline.knock.x << ", " << s.timeline.knock.y << "], \"flashes\": [";
    for (size_t i = 0; i < s.timeline.flashes.size(); ++i) out << (i ? ", " : "") << s.timeline.flashes[i];
    out << "],\n  \"arena\": [" << a.x << ", " << a.y << ", " << a.r << "], \"drawn\": [" << d.x << ", " << d.y
        << ", " << d.r << "],\n  \"touching\": " << double(t.touching) / n << ", \"overlapping\": "
        << double(t.overlapping) / n << ", \"in_groups_of_3_or_more\": " << double(t.inChains) / n
        << ", \"resting\": " << double(t.resting) / n << "\n}\n";
}

int writeLab(const request& r) {
    crowd_scene::lab_scene scene(r.lab);
    std::filesystem::create_directories(r.dir);
    crowd_scene::video_out video(r.dir, r.codec, r.lab.width, r.lab.height, r.fps, r.quality);
    std::ofstream truth(r.dir + "/truth.csv");
    truthHeader(truth);
    std::vector<uint8_t> frame(size_t(r.lab.width) * size_t(r.lab.height));
    for (int f = 0; f < r.frames; ++f) {
        if (f) scene.next();
        scene.grey(frame.data(), r.lab.width);
        video.write(frame.data());
        if (!scene.flash())
            for (const crowd_scene::animal_truth& t : scene.truth()) truthRow(truth, f, t);
    }
    video.close();
    std::ofstream(r.dir + "/arenas.txt") << roi(scene.drawn()) << "\n";
    std::ofstream(r.dir + "/options.txt") << "--set polarity=" << (r.lab.lightAnimals ? 1 : 0) << " --animals "
                                          << r.lab.animals << " " << roi(scene.drawn()) << "\n";
    std::ofstream json(r.dir + "/scene.json");
    describe(r, scene, video.path(), json);
    if (!truth || !json) throw std::runtime_error("cannot write into " + r.dir);
    const crowd_scene::lab_scene::tally& t = scene.counted();
    const double n = double(std::max<int64_t>(t.positions, 1));
    std::printf("%d frames of %d %s, %dx%d, %s; touching %.1f%%, overlapping %.1f%%, in groups of 3+ %.1f%%, "
                "resting %.1f%% of positions\n",
                r.frames, r.lab.animals, r.kind.c_str(), r.lab.width, r.lab.height, video.path().c_str(),
                100.0 * double(t.touching) / n, 100.0 * double(t.overlapping) / n, 100.0 * double(t.inChains) / n,
                100.0 * double(t.resting) / n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a failed encoder shows as a failed write, not a silent exit
    request r;
    try {
        const std::string why = parse(argc, argv, r);
        if (!why.empty()) return usage(why);
        return r.kind == "discs" ? writeDiscs(r) : writeLab(r);
    } catch (const std::invalid_argument& e) {
        return usage(e.what());
    } catch (const std::runtime_error& e) {
        std::cerr << "crowd_scene_tool: " << e.what() << "\n";
        return 4;
    }
}
