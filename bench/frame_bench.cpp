// Per-frame cost of the module's procedures against what a user would run instead in
// OpenCV, both measured in this process on the same frames, one thread each.
//
//   ambrevo_bench [--out docs/performance.md] [--reps N]
//
// Every row is timed three ways: the module with its vector kernels, the module with the
// plain code (AMBREVO_SCALAR=1, as before the kernels existed) and the OpenCV anchor. A
// timing is the median over N repetitions (default 25) after three warm-up runs, in CPU
// time of the calling thread, so that other processes on a shared machine do not count.
// Set AMBREVO_BENCH_PICTURE to image files (separated by ':') to add rows for each (scaled to each size).
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <hwy/targets.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_frames.h"
#include "flowtrack/ip_flowtrack.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"
#include "ops/photo.h"

namespace {

int repetitions = 25;

double threadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Median CPU milliseconds of one call of `frame(i)` for i = 0, 1, 2, ...
double medianMs(const std::function<void(int)>& frame) {
    int i = 0;
    for (int w = 0; w < 3; ++w) frame(i++);
    std::vector<double> t;
    for (int r = 0; r < repetitions; ++r) {
        const double start = threadMs();
        frame(i++);
        t.push_back(threadMs() - start);
    }
    std::sort(t.begin(), t.end());
    return t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
}

void setScalar(bool on) {
    if (on)
        setenv("AMBREVO_SCALAR", "1", 1);
    else
        unsetenv("AMBREVO_SCALAR");
}

// A sequence of colour frames (BGR, top row first) and the same as module images.
struct clip {
    std::string name;
    std::vector<cv::Mat> bgr;
    std::vector<dib_base> colour, grey;
};

using bench::toDib;

clip makeClip(std::string name, std::vector<cv::Mat> frames) {
    clip c{std::move(name), std::move(frames), {}, {}};
    for (const cv::Mat& f : c.bgr) {
        cv::Mat g;
        cv::cvtColor(f, g, cv::COLOR_BGR2GRAY);
        c.colour.push_back(toDib(f));
        c.grey.push_back(toDib(g));
    }
    return c;
}

clip sceneClip(int w, int h) { return makeClip("scene", bench::sceneFrames(w, h)); }

// A still picture panned slowly, so the trackers see motion.
clip pannedClip(std::string name, const cv::Mat& big, int w, int h) {
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 32; ++i) frames.push_back(big(cv::Rect(i, i / 2, w, h)).clone());
    return makeClip(std::move(name), frames);
}

clip photoClip(int w, int h) {
    std::vector<uint8_t> bgr = photo::render(w + 40, h + 20, 7);
    return pannedClip("photo (generated)", cv::Mat(h + 20, w + 40, CV_8UC3, bgr.data()).clone(), w, h);
}

struct row {
    std::string work, anchor, size, picture;
    double vector, plain, opencv;
};

// OpenCV's edge detector as the module's defaults set it: 7 taps, sigma 2, thresholds 9 and
// 10 with the L2 gradient norm.
void opencvCanny(const cv::Mat& grey, cv::Mat& smooth, cv::Mat& edges) {
    cv::GaussianBlur(grey, smooth, cv::Size(7, 7), 2.0, 2.0, cv::BORDER_REPLICATE);
    cv::Canny(smooth, edges, 9, 10, 3, true);
}

class replies final : public ip_console {
public:
    const char* readLine() override { return n_++ == 0 ? "" : "0 1 1 2 3"; }
    void write(const char*) override {}
    void message(const char*) override {}

private:
    int n_ = 0;
};

// Times `make()`'s procedure over the clip in both modes; each mode gets a fresh instance.
std::pair<double, double> timeModule(const std::function<ip_base*()>& make, const std::vector<dib_base>& frames) {
    double result[2];
    for (int plain = 0; plain < 2; ++plain) {
        setScalar(plain);
        std::unique_ptr<ip_base> p(make());
        const size_t n = frames.size();
        // Back and forth through the clip, so the motion stays smooth.
        result[plain] = medianMs([&](int i) {
            const size_t k = size_t(i) % (2 * n - 2);
            p->doProcess(&frames[k < n ? k : 2 * n - 2 - k], nullptr, nullptr);
        });
    }
    setScalar(false);
    return {result[0], result[1]};
}

void measure(const clip& c, std::vector<row>& rows) {
    const int w = c.bgr[0].cols, h = c.bgr[0].rows;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const size_t n = c.bgr.size();
    cv::Mat grey, smooth, edges;

    for (int bytes : {1, 3}) {
        const std::vector<dib_base>& frames = bytes == 1 ? c.grey : c.colour;
        auto [vec, plain] = timeModule([&] { return new ip_canny_w0(&frames[0].format()); }, frames);
        const double cv = medianMs([&](int i) {
            const cv::Mat& f = c.bgr[size_t(i) % n];
            if (bytes == 1) {
                cv::Mat g(h, w, CV_8UC1, frames[size_t(i) % n].bits);
                opencvCanny(g, smooth, edges);
            } else {
                cv::cvtColor(f, grey, cv::COLOR_BGR2GRAY);
                opencvCanny(grey, smooth, edges);
            }
        });
        rows.push_back({bytes == 1 ? "canny_w0, grey frame" : "canny_w0, 3-byte frame",
                        bytes == 1 ? "GaussianBlur 7x7 σ2 + Canny L2" : "cvtColor + GaussianBlur 7x7 σ2 + Canny L2",
                        size, c.name, vec, plain, cv});
    }

    {
        auto [vec, plain] = timeModule([&] { return ip_registry_find("ccTrack")->create(&c.colour[0].format()); },
                                       c.colour);
        std::vector<std::vector<cv::Point>> contours;
        const double cv = medianMs([&](int i) {
            cv::cvtColor(c.bgr[size_t(i) % n], grey, cv::COLOR_BGR2GRAY);
            opencvCanny(grey, smooth, edges);
            cv::findContours(edges, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
        });
        rows.push_back({"ccTrack, 3-byte frame", "cvtColor + GaussianBlur + Canny + findContours", size, c.name, vec,
                        plain, cv});
    }

    {
        // The tracker reports lost and reassigned tracks on the standard streams; the table
        // should not drown in them.
        std::fflush(stdout);
        std::fflush(stderr);
        const int savedStdout = dup(1), savedStderr = dup(2), devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 1), dup2(devNull, 2);
        auto [vec, plain] = timeModule(
            [&] {
                auto* t = new ip_flowtrack(&c.colour[0].format());
                replies console;
                t->config(&console);
                return t;
            },
            c.colour);
        std::fflush(stdout);
        std::fflush(stderr);
        if (savedStdout >= 0) dup2(savedStdout, 1), close(savedStdout);
        if (savedStderr >= 0) dup2(savedStderr, 2), close(savedStderr);
        if (devNull >= 0) close(devNull);
        const double cv = medianMs([&](int i) { cv::cvtColor(c.bgr[size_t(i) % n], grey, cv::COLOR_BGR2GRAY); });
        rows.push_back({"flowtrack mode 2, 3 objects, 3-byte frame", "one cvtColor BGR→GRAY", size, c.name, vec, plain,
                        cv});
    }
}

std::string fixed(double v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", digits, v);
    return b;
}

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    int64_t best = 0;
    for (int64_t t : {int64_t(HWY_SSE4), int64_t(HWY_AVX2), int64_t(HWY_AVX3)})
        if (hwy::SupportedTargets() & t) best = t;
    std::ifstream loadavg("/proc/loadavg");
    std::string load;
    std::getline(loadavg, load);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " hardware threads, load average " +
           load.substr(0, load.find(' ')) + " at the start; vector kernels run as " +
           (best ? hwy::TargetName(best) : "plain code (no SSE4)");
}

std::string table(const std::vector<row>& rows) {
    std::ostringstream t;
    t << "| work | anchor | size | picture | module ms | plain ms | OpenCV ms | ratio | plain ratio |\n"
      << "|---|---|---|---|---:|---:|---:|---:|---:|\n";
    for (const row& r : rows)
        t << "| " << r.work << " | " << r.anchor << " | " << r.size << " | " << r.picture << " | " << fixed(r.vector, 2)
          << " | " << fixed(r.plain, 2) << " | " << fixed(r.opencv, 2) << " | " << fixed(r.vector / r.opencv, 2)
          << " | " << fixed(r.plain / r.opencv, 2) << " |\n";
    return t.str();
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc)
            out = argv[++i];
        else if (a == "--reps" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else {
            std::cerr << "usage: ambrevo_bench [--out file.md] [--reps N]\n";
            return 2;
        }
    }
    cv::setNumThreads(1);  // the module runs on the caller's thread alone

    // AMBREVO_BENCH_PICTURE: one or more photographs, separated by ':'.
    std::vector<std::pair<std::string, cv::Mat>> pictures;
    if (const char* paths = std::getenv("AMBREVO_BENCH_PICTURE")) {
        std::istringstream list(paths);
        for (std::string path; std::getline(list, path, ':');) {
            if (path.empty()) continue;
            cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
            if (picture.empty())
                std::cerr << "cannot read " << path << ", its rows are left out\n";
            else
                pictures.emplace_back(path.substr(path.find_last_of('/') + 1), picture);
        }
    }

    std::vector<row> rows;
    for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}}) {
        measure(sceneClip(w, h), rows);
        measure(photoClip(w, h), rows);
        for (const auto& [name, picture] : pictures) {
            cv::Mat big;
            cv::resize(picture, big, cv::Size(w + 40, h + 20), 0, 0, cv::INTER_AREA);
            measure(pannedClip(name, big, w, h), rows);
        }
        std::cerr << "measured " << w << "x" << h << "\n";
    }

    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::ostringstream doc;
    doc << "# Performance\n\n"
        << "Per-frame times of the module's procedures against the OpenCV calls a user would make instead, "
        << "both measured in one run of `make bench` on the same frames, one thread "
        << "(`cv::setNumThreads(1)`; the module always runs on the caller's thread).\n\n"
        << "- Machine: " << machine() << "\n"
        << "- Compiler: g++ " << __VERSION__ << ", RelWithDebInfo (-O2), -ffp-contract=off; OpenCV " << CV_VERSION
        << "\n"
        << "- Date: " << date << "\n"
        << "- Timing: median of " << repetitions << " repetitions after 3 warm-up frames, CPU time of the "
        << "calling thread in milliseconds.\n"
        << "- *module*: the vector kernels (Highway, the best of SSE4, AVX2 and AVX-512 the processor has); "
        << "*plain*: the same binary with `AMBREVO_SCALAR=1`, the plain per-pixel code, the operators one after the "
        << "other as before the vector kernels existed; ratio = module / OpenCV.\n"
        << "- Pictures: *scene* is the tracker tests' moving discs on a noisy background; *photo (generated)* a "
        << "photograph-like picture (shading, fractal texture, objects, sensor noise) panned by a pixel per frame; "
        << "a picture named by its file is one of the photographs given in AMBREVO_BENCH_PICTURE (`make bench`: "
        << "four sample photographs of Debian's opencv-doc, from smooth to finely textured), scaled to each size and "
        << "panned the same way.\n\n"
        << table(rows) << "\n"
        << "## How to reproduce\n\n"
        << "    make bench                        # builds build/, runs scripts/bench.sh, rewrites this file\n"
        << "    AMBREVO_BENCH_PICTURE=a.jpg:b.jpg make bench   # rows for photographs of your own instead\n\n"
        << "The benchmark is never a test: nothing fails on a time.\n";
    std::cout << table(rows);
    if (!out.empty()) {
        std::ofstream f(out);
        f << doc.str();
        if (!f) {
            std::cerr << "cannot write " << out << "\n";
            return 1;
        }
    }
    return 0;
}
