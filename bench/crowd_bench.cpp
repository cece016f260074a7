// The crowd tracker's cost per frame on generated crowds, against OpenCV's own loop on the
// same frames (absdiff with the background, threshold, connectedComponentsWithStats), one
// thread each, and how it scales with the number of objects and the frame size.
//
//   ambrevo_crowd_bench [--frames N]
//
// Times are CPU time of the calling thread per frame, the median over N frames (default
// 60) after the background has been learned; the frames are drawn before each is timed.
// Memory is the heap the procedure holds (malloc's count of bytes in use) once warmed up.
// Prints a Markdown section for docs/performance.md.
#include <malloc.h>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "crowd/ip_crowd.h"
#include "crowd_scene.h"
#include "framework/ip_params.h"
#include "image/dib.h"

namespace {

double threadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Small blocks in use plus the large ones malloc maps separately.
size_t heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

void set(ip_crowd& p, const char* name, double value) {
    std::string why;
    if (!ip_setParam(p, name, value, why)) {
        std::fprintf(stderr, "crowd bench: %s\n", why.c_str());
        std::exit(1);
    }
}

struct result {
    double module = 0, opencv = 0, plain = 0;  // ms per frame; plain: without the statistics
    double heapMb = 0;
    double found = 0;  // objects per frame over true ones
};

// Runs the procedure over `warm` frames to learn the background, then times `timed` frames
// of both loops. Grey frames: the OpenCV loop needs one channel.
result run(const crowd_scene::settings& s, int warm, int timed, int sampleEvery, bool colour, double maxJump = 0) {
    crowd_scene::scene scene(s);
    const dib_fmt format(s.width, s.height, colour ? 3 : 1, 0, false);
    dib_base frame(format, 0);
    cv::Mat mat(s.height, s.width, colour ? CV_8UC3 : CV_8UC1, frame.bits, size_t(frame.szRow));
    const size_t heapBefore = heapInUse();
    auto p = std::make_unique<ip_crowd>(&format);
    set(*p, "sampleEvery", sampleEvery);
    set(*p, "animals", s.discs);
    set(*p, "maxJump", maxJump);
    auto draw = [&] { colour ? scene.bgr(frame.bits, frame.szRow) : scene.grey(frame.bits, frame.szRow); };
    for (int i = 0; i < warm; ++i) {
        if (i) scene.next();
        draw();
        p->doProcess(&frame, nullptr, nullptr);
    }
    result r;
    r.heapMb = double(heapInUse() - heapBefore) / (1 << 20);
    // OpenCV's loop against the background the procedure learned.
    const dib_base* learned = p->background();
    cv::Mat background(s.height, s.width, CV_8UC1);
    for (int y = 0; y < s.height; ++y) std::memcpy(background.ptr(y), learned->row(y), size_t(s.width));
    cv::Mat grey, difference, mask, labels, stats, centroids;
    std::vector<double> module, opencv, plain;
    double found = 0;
    for (int i = 0; i < timed; ++i) {
        scene.next();
        draw();
        double t = threadMs();
        p->doProcess(&frame, nullptr, nullptr);
        module.push_back(threadMs() - t);
        found += double(p->objects(nullptr, 0)) / std::max(s.discs, 1);
        t = threadMs();
        if (colour)
            cv::cvtColor(mat, grey, cv::COLOR_BGR2GRAY);
        else
            grey = mat;
        cv::absdiff(grey, background, difference);
        cv::threshold(difference, mask, 20, 255, cv::THRESH_BINARY);
        const double labelled = threadMs();
        cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        const double done = threadMs();
        cv::connectedComponents(mask, labels, 8, CV_32S);
        opencv.push_back(done - t);
        plain.push_back(labelled - t + threadMs() - done);
    }
    r.module = median(module);
    r.opencv = median(opencv);
    r.plain = median(plain);
    r.found = found / timed;
    return r;
}

// Radii that keep the discs at about a tenth of the frame, at most the 9-12 of the tests.
crowd_scene::settings crowd(int discs, int width, int height) {
    crowd_scene::settings s;
    s.discs = discs, s.width = width, s.height = height, s.arenas = 1;
    const double r = std::min(10.5, std::sqrt(0.1 * width * height / (discs * std::numbers::pi)));
    s.minRadius = 0.85 * r, s.maxRadius = 1.15 * r;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int timed = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--frames") == 0) timed = std::max(1, std::atoi(argv[++i]));
    cv::setNumThreads(1);

    std::printf("\n## Crowd tracker (bench/crowd_bench.cpp, same run)\n\n");
    // Other work on the machine slows a thread's CPU time too (shared caches and cores).
    double load = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = -1;
        std::fclose(f);
    }
    const std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf("Run %s, load average %.2f at the start.\n\n", date, load);
    std::printf(
        "Generated crowds (bench/crowd_scene): discs wandering and touching on a textured background. CPU time of "
        "the calling thread per frame, median of %d frames after the background was learned; *OpenCV*: absdiff "
        "with the same background, threshold, connectedComponentsWithStats (8-connected), one thread; ratio = "
        "module / OpenCV. *without stats*: the same loop with connectedComponents, which leaves out the "
        "areas and centres. *found*: objects reported per true disc. *heap*: memory the procedure holds.\n\n",
        timed);
    std::printf(
        "| discs | frame | pixels | module ms | OpenCV ms | ratio | without stats ms | ratio | found | heap MB |\n");
    std::printf("|---:|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
    auto row = [&](const crowd_scene::settings& s, bool colour, int warm, int every) {
        const result r = run(s, warm, timed, every, colour);
        std::printf("| %d | %dx%d | %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.3f | %.1f |\n", s.discs, s.width,
                    s.height, colour ? "BGR" : "grey", r.module, r.opencv, r.module / r.opencv, r.plain,
                    r.module / r.plain, r.found, r.heapMb);
        std::fflush(stdout);
    };
    // The headline: 256 discs of radius 9-12 at 1920x1080, default settings.
    crowd_scene::settings headline;
    headline.discs = 256, headline.width = 1920, headline.height = 1080, headline.arenas = 1;
    row(headline, false, 100, 10);
    row(headline, true, 100, 10);
    // Scaling: objects at one size, then sizes at one count (radii shrink to fit; the
    // background learned from every third frame to keep the runs short).
    for (int discs : {10, 100, 1000, 2000}) row(crowd(discs, 1920, 1080), false, 30, 3);
    for (auto [w, h] : {std::pair{640, 480}, {1280, 720}, {3840, 2160}}) row(crowd(256, w, h), false, 30, 3);

    // The farthest jump allowed: each track weighs only its nearest objects, so that the
    // largest maxJump costs about what the default does.
    std::printf("\nThe farthest jump allowed (5000 discs, 1920x1080, grey): module ms per frame and heap with ");
    const crowd_scene::settings many = crowd(5000, 1920, 1080);
    const result near = run(many, 30, timed, 3, false), far = run(many, 30, timed, 3, false, 1e5);
    std::printf(
        "the default maxJump (one animal's diameter) %.2f ms, %.1f MB; maxJump=100000 %.2f ms, %.1f MB (found "
        "%.3f); ratio %.2f.\n",
        near.module, near.heapMb, far.module, far.heapMb, far.found, far.module / near.module);

    // Memory over a long run: the heap the procedure holds after each stretch of frames.
    crowd_scene::settings s;
    crowd_scene::scene scene(s);
    const dib_fmt format(s.width, s.height, 3, 0, false);
    dib_base frame(format, 0);
    const size_t before = heapInUse();
    auto p = std::make_unique<ip_crowd>(&format);
    std::printf("\nMemory over a long run (24 discs, 640x480, BGR): heap held by the procedure after");
    for (int i = 0; i <= 5000; ++i) {
        if (i) scene.next();
        scene.bgr(frame.bits, frame.szRow);
        p->doProcess(&frame, nullptr, nullptr);
        if (i == 100 || i == 1000 || i == 5000)
            std::printf(" %d frames: %.2f MB%s", i, double(heapInUse() - before) / (1 << 20), i == 5000 ? ".\n" : ";");
    }
    return 0;
}
