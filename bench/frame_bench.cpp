// Per-frame cost of the module's procedures on a 640x480 scene, with OpenCV's
// GaussianBlur + Canny on the same frame as the baseline for the edge detector.
// Run: make bench  (or build/bin/ambrevo_bench --benchmark_repetitions=5)
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <vector>

#include "adaptor/scene.h"
#include "flowtrack/ip_flowtrack.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"

namespace {

constexpr int W = 640, H = 480;

const std::vector<scene::Disc>& discs() {
    static const std::vector<scene::Disc> d = {
        {200, 150, 60, 40, 0.05, 0.04, 0.0, 15},
        {450, 170, 70, 50, 0.045, 0.05, 1.3, 15},
        {320, 340, 100, 30, 0.04, 0.06, 2.1, 15},
    };
    return d;
}

// A grey frame of the scene as a module image (1 or 3 bytes per pixel).
dib_base frame(int index, int szPixel) {
    std::vector<uint8_t> g = scene::render(W, H, discs(), index);
    dib_base image(dib_fmt(W, H, szPixel, 0, false), 0);
    for (size_t i = 0; i < g.size(); ++i)
        for (int c = 0; c < szPixel; ++c) image.bits[i * size_t(szPixel) + size_t(c)] = g[i];
    return image;
}

void BM_AmbrevoCanny(benchmark::State& state) {
    dib_base src = frame(0, int(state.range(0)));
    ip_canny_w0 canny(&src.format());
    for (auto _ : state) {
        canny.processSrc(&src);
        benchmark::DoNotOptimize(canny.dstDib()->bits);
    }
}
BENCHMARK(BM_AmbrevoCanny)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

// The baseline: the same smoothing (7 taps, sigma 2) and thresholds through OpenCV.
void BM_OpenCVGaussCanny(benchmark::State& state) {
    dib_base src = frame(0, int(state.range(0)));
    cv::setNumThreads(1);  // the module runs on the caller's thread alone
    cv::Mat in(H, W, state.range(0) == 1 ? CV_8UC1 : CV_8UC3, src.bits), grey, smooth, edges;
    for (auto _ : state) {
        if (state.range(0) == 1) {
            grey = in;
        } else {
            cv::cvtColor(in, grey, cv::COLOR_BGR2GRAY);
        }
        cv::GaussianBlur(grey, smooth, cv::Size(7, 7), 2.0, 2.0, cv::BORDER_REPLICATE);
        cv::Canny(smooth, edges, 9, 10, 3, true);
        benchmark::DoNotOptimize(edges.data);
    }
}
BENCHMARK(BM_OpenCVGaussCanny)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

// The flow tracker following three discs (mode 2 is the default after detection of one
// object, so the frames go to a tracker set up for three through its dialogue).
class replies final : public ip_console {
public:
    const char* readLine() override { return n_++ == 0 ? "" : "0 1 1 2 3"; }
    void write(const char*) override {}
    void message(const char*) override {}

private:
    int n_ = 0;
};

void BM_FlowtrackFrame(benchmark::State& state) {
    std::vector<dib_base> frames;
    for (int i = 0; i < 64; ++i) frames.push_back(frame(i, 3));
    ip_flowtrack tracker(&frames[0].format());
    replies console;
    tracker.config(&console);
    size_t i = 0;
    for (auto _ : state) {
        // Back and forth through the clip, so the motion stays smooth.
        size_t k = i++ % (2 * frames.size() - 2);
        tracker.doProcess(&frames[k < frames.size() ? k : 2 * frames.size() - 2 - k], nullptr, nullptr);
        benchmark::DoNotOptimize(tracker.dstDib()->bits);
    }
}
BENCHMARK(BM_FlowtrackFrame)->Unit(benchmark::kMillisecond);

void BM_ccTrackFrame(benchmark::State& state) {
    std::vector<dib_base> frames;
    for (int i = 0; i < 16; ++i) frames.push_back(frame(i, 3));
    ip_base* tracker = ip_registry_find("ccTrack")->create(&frames[0].format());
    size_t i = 0;
    for (auto _ : state) {
        tracker->doProcess(&frames[i++ % frames.size()], nullptr, nullptr);
        benchmark::DoNotOptimize(tracker->dstDib()->bits);
    }
    delete tracker;
}
BENCHMARK(BM_ccTrackFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
