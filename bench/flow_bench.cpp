// The flow tracker's cost per frame against what a user would run instead in OpenCV, both in
// this process, on the same decoded frames, on one thread.
//
//   ambrevo_flow_bench [--benchmark_repetitions=N] [google benchmark flags]
//
// Each tracker row runs twice: with the vector kernels ("fast") and with AMBREVO_SCALAR=1
// ("plain", the code the kernels replace), so before and after come from the same run. The
// anchors: one cvtColor(BGR->GRAY) of the same frame for mode 2 (3 objects, defaults), and
// BackgroundSubtractorMOG2::apply + findContours for mode 4 on vtest.avi. Medians of at least
// 20 repetitions after a warm-up; the ratio table is printed at the end.
// On vtest.avi the mode 2 rows time the detection only: no frame there has exactly three dark
// regions, so the tracker never starts (the "objects" counter says so); the scene rows time
// the tracking.
// AMBREVO_VTEST names the recording (default: the OpenCV sample path); without it those rows
// are left out.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/background_segm.hpp>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "flowtrack/ip_flowtrack.h"

namespace {

struct clip {
    std::string name;
    std::vector<cv::Mat> bgr;
    std::vector<dib_base> colour;
};

using bench::toDib;

clip makeClip(std::string name, std::vector<cv::Mat> frames) {
    clip c{std::move(name), std::move(frames), {}};
    for (const cv::Mat& f : c.bgr) c.colour.push_back(toDib(f));
    return c;
}

clip sceneClip(int w, int h) {
    return makeClip("scene " + std::to_string(w) + "x" + std::to_string(h), bench::sceneFrames(w, h));
}

std::string vtestPath() {
    const char* p = std::getenv("AMBREVO_VTEST");
    return p ? p : "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
}

// The first 60 frames of the recording, at its own size or scaled to w x h.
bool vtestClip(clip& out, int w, int h) {
    cv::VideoCapture capture(vtestPath());
    if (!capture.isOpened()) return false;
    std::vector<cv::Mat> frames;
    cv::Mat f;
    while (frames.size() < 60 && capture.read(f)) {
        cv::Mat sized;
        if (w > 0 && (f.cols != w || f.rows != h))
            cv::resize(f, sized, cv::Size(w, h), 0, 0, cv::INTER_AREA);
        else
            sized = f.clone();
        frames.push_back(sized);
    }
    if (frames.empty()) return false;
    out = makeClip("vtest " + std::to_string(frames[0].cols) + "x" + std::to_string(frames[0].rows), frames);
    return true;
}

class replies final : public ip_console {
public:
    explicit replies(std::string second) : second_(std::move(second)) {}
    const char* readLine() override { return n_++ == 0 ? "" : second_.c_str(); }
    void write(const char*) override {}
    void message(const char*) override {}

private:
    std::string second_;
    int n_ = 0;
};

void setScalar(bool on) {
    if (on)
        setenv("AMBREVO_SCALAR", "1", 1);
    else
        unsetenv("AMBREVO_SCALAR");
}

// The tracker reports lost and reassigned tracks on the standard output; the table should
// not drown in them.
struct quietStdout {
    quietStdout() {
        std::fflush(stdout);
        saved = dup(1);
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 1), close(devNull);
    }
    ~quietStdout() {
        std::fflush(stdout);
        if (saved >= 0) dup2(saved, 1), close(saved);
    }
    int saved;
};

// Back and forth through the clip, so that motion stays smooth.
size_t pingPong(size_t i, size_t n) {
    if (n < 2) return 0;
    const size_t k = i % (2 * n - 2);
    return k < n ? k : 2 * n - 2 - k;
}

void trackerFrames(benchmark::State& state, const clip* c, int mode, bool plain) {
    setScalar(plain);
    std::unique_ptr<ip_flowtrack> t(new ip_flowtrack(&c->colour[0].format()));
    // drawsAim 0, drawsContour 1, smartTracking 1, the mode, 3 objects.
    replies console("0 1 1 " + std::to_string(mode) + " 3");
    t->config(&console);
    quietStdout quiet;
    size_t i = 0;
    for (int w = 0; w < 5; ++w) t->doProcess(&c->colour[pingPong(i++, c->colour.size())], nullptr, nullptr);
    int64_t objects = 0, frames = 0;
    for (auto _ : state) {
        t->doProcess(&c->colour[pingPong(i++, c->colour.size())], nullptr, nullptr);
        objects += t->objects(nullptr, 0);
        ++frames;
    }
    // Mode 2 tracks only once a detection finds exactly 3 dark regions; until then a frame is
    // the detection alone. The mean number of objects held tells which was timed.
    state.counters["objects"] = frames ? double(objects) / double(frames) : 0.0;
    setScalar(false);
}

void cvtColorFrames(benchmark::State& state, const clip* c) {
    cv::Mat grey;
    size_t i = 0;
    for (auto _ : state) {
        cv::cvtColor(c->bgr[i++ % c->bgr.size()], grey, cv::COLOR_BGR2GRAY);
        benchmark::DoNotOptimize(grey.data);
    }
}

void mog2Frames(benchmark::State& state, const clip* c) {
    cv::Ptr<cv::BackgroundSubtractorMOG2> mog = cv::createBackgroundSubtractorMOG2();
    cv::Mat mask;
    std::vector<std::vector<cv::Point>> contours;
    size_t i = 0;
    for (int w = 0; w < 5; ++w) mog->apply(c->bgr[i++ % c->bgr.size()], mask);
    for (auto _ : state) {
        mog->apply(c->bgr[i++ % c->bgr.size()], mask);
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        benchmark::DoNotOptimize(contours.data());
    }
}

// Keeps the median of every benchmark, in CPU milliseconds of the calling thread.
class medianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians[r.run_name.function_name] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;  // microseconds per frame
};

struct comparison {
    std::string work, anchor;
};

}  // namespace

int main(int argc, char** argv) {
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);

    std::vector<std::unique_ptr<clip>> clips;
    clips.push_back(std::make_unique<clip>(sceneClip(640, 480)));
    clips.push_back(std::make_unique<clip>(sceneClip(1920, 1080)));
    for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        auto c = std::make_unique<clip>();
        if (vtestClip(*c, w, h)) clips.push_back(std::move(c));
    }
    auto native = std::make_unique<clip>();
    const bool haveVtest = vtestClip(*native, 0, 0);
    if (!haveVtest) std::fprintf(stderr, "%s not readable: the recording rows are left out\n", vtestPath().c_str());

    std::vector<comparison> table;
    auto add = [](const std::string& name, auto&& fn) {
        benchmark::RegisterBenchmark(name.c_str(), fn)
            ->Unit(benchmark::kMicrosecond)
            ->MeasureProcessCPUTime()
            ->Repetitions(20)
            ->ReportAggregatesOnly(true)
            // A fixed count, so that every repetition of every row covers the same frames.
            ->Iterations(30);
    };
    for (const auto& c : clips) {
        const clip* p = c.get();
        add("flow mode 2 fast/" + p->name, [p](benchmark::State& s) { trackerFrames(s, p, 2, false); });
        add("flow mode 2 plain/" + p->name, [p](benchmark::State& s) { trackerFrames(s, p, 2, true); });
        add("cvtColor/" + p->name, [p](benchmark::State& s) { cvtColorFrames(s, p); });
        table.push_back({"flow mode 2 fast/" + p->name, "cvtColor/" + p->name});
        table.push_back({"flow mode 2 plain/" + p->name, "cvtColor/" + p->name});
    }
    if (haveVtest) {
        const clip* p = native.get();
        clips.push_back(std::move(native));
        add("flow mode 4 fast/" + p->name, [p](benchmark::State& s) { trackerFrames(s, p, 4, false); });
        add("flow mode 4 plain/" + p->name, [p](benchmark::State& s) { trackerFrames(s, p, 4, true); });
        add("MOG2 + findContours/" + p->name, [p](benchmark::State& s) { mog2Frames(s, p); });
        table.push_back({"flow mode 4 fast/" + p->name, "MOG2 + findContours/" + p->name});
        table.push_back({"flow mode 4 plain/" + p->name, "MOG2 + findContours/" + p->name});
    }

    medianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-44s %-40s %10s %10s %7s\n", "work (median, us/frame)", "anchor", "work", "anchor", "ratio");
    for (const comparison& c : table) {
        const auto w = reporter.medians.find(c.work), a = reporter.medians.find(c.anchor);
        if (w == reporter.medians.end() || a == reporter.medians.end()) continue;
        std::printf("%-44s %-40s %10.1f %10.1f %7.2f\n", c.work.c_str(), c.anchor.c_str(), w->second, a->second,
                    w->second / a->second);
    }
    benchmark::Shutdown();
    return 0;
}
