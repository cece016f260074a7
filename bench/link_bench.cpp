// The track linker on 200 objects wandering about a frame: the time to link one frame.
// Argument: the side of the square field in pixels, so that the same 200 objects are
// sparse (640: about 45 px apart) or crowded (240: about 17 px apart, most within one
// gate of several others, which makes large groups for the optimal assignment).
// Then the whole-run linker on 256 objects over 100 frames of a 1920x1080 field, against the
// frame-by-frame linker on the same rows: the time per frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "link_global.h"
#include "track_link.h"

namespace {

constexpr int kObjects = 200;
constexpr int kFrames = 600;
constexpr double kMaxStep = 20;

// Random walks reflected at the field's edges; each frame's objects come in a shuffled order
// and one in fifty is not seen.
std::vector<std::vector<ambrevo::Detection>> wander(double side) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> place(0, side);
    std::normal_distribution<double> step(0, 3);
    std::bernoulli_distribution dropped(0.02);
    std::vector<double> x(kObjects), y(kObjects);
    for (int i = 0; i < kObjects; ++i) x[i] = place(rng), y[i] = place(rng);
    std::vector<std::vector<ambrevo::Detection>> frames(kFrames);
    for (auto& frame : frames) {
        for (int i = 0; i < kObjects; ++i) {
            auto reflect = [&](double v) { return v < 0 ? -v : v > side ? 2 * side - v : v; };
            x[i] = reflect(x[i] + step(rng)), y[i] = reflect(y[i] + step(rng));
            if (!dropped(rng)) frame.push_back({x[i], y[i], i});
        }
        std::shuffle(frame.begin(), frame.end(), rng);
    }
    return frames;
}

void BM_Link200(benchmark::State& state) {
    const auto frames = wander(static_cast<double>(state.range(0)));
    ambrevo::TrackLinker linker({kMaxStep, 5});
    long long frame = 0;
    for (auto _ : state) {
        if (frame == kFrames) {
            state.PauseTiming();
            linker = ambrevo::TrackLinker({kMaxStep, 5});
            frame = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(linker.push(frame, frames[frame]));
        ++frame;
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_Link200)->Arg(640)->Arg(240)->Unit(benchmark::kMicrosecond);

// 256 objects at 3 px a frame with slowly turning headings, in 1920x1080: a crowd in which
// objects meet and cross, as the crowd scene's discs do.
std::vector<ambrevo::GroupedRow> crowd() {
    constexpr int objects = 256, frames = 100;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> turn(0, 0.15);
    std::vector<double> x(objects), y(objects), h(objects);
    for (int i = 0; i < objects; ++i) x[i] = 1920 * uniform(rng), y[i] = 1080 * uniform(rng), h[i] = 7 * uniform(rng);
    std::vector<ambrevo::GroupedRow> rows;
    for (int f = 0; f < frames; ++f)
        for (int i = 0; i < objects; ++i) {
            rows.push_back({f, x[i], y[i], 0});
            h[i] += turn(rng);
            x[i] = std::clamp(x[i] + 3 * std::cos(h[i]), 0.0, 1920.0),
            y[i] = std::clamp(y[i] + 3 * std::sin(h[i]), 0.0, 1080.0);
        }
    return rows;
}

void BM_Global256(benchmark::State& state) {
    const std::vector<ambrevo::GroupedRow> rows = crowd();
    const std::vector<int> animals = {256};
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ambrevo::link_global(rows, {15, 5, true}, state.range(0) ? animals : std::vector<int>{}));
    state.counters["per_frame"] =
        benchmark::Counter(100, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Global256)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Frames256(benchmark::State& state) {
    std::vector<ambrevo::TableRow> rows;
    for (const ambrevo::GroupedRow& r : crowd()) rows.push_back({r.frame, r.x, r.y});
    for (auto _ : state) benchmark::DoNotOptimize(ambrevo::link_table(rows, {15, 5, true}));
    state.counters["per_frame"] =
        benchmark::Counter(100, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Frames256)->Unit(benchmark::kMillisecond);

}  // namespace
