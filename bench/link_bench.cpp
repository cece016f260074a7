// The track linker on 200 objects wandering about a frame: the time to link one frame.
// Argument: the side of the square field in pixels, so that the same 200 objects are
// sparse (640: about 45 px apart) or crowded (240: about 17 px apart, most within one
// gate of several others, which makes large groups for the optimal assignment).
// The same with 10,000 objects on a 4K field (about 29 px apart) and a full HD one (about
// 14 px apart: everything one chain of gated pairs), and with a gate larger than the field.
// Then the whole-run linker on 256 objects over 100 frames of a 1920x1080 field, against the
// frame-by-frame linker on the same rows: the time per frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "ambrevo/pipeline/tracks/link_global.h"
#include "ambrevo/pipeline/tracks/track_link.h"

namespace {

constexpr int kFrames = 600;
constexpr double kMaxStep = 20;

// `objects` random walks reflected at the edges of a `width` x `height` field over `frames`
// frames; each frame's objects come in a shuffled order and one in fifty is not seen.
std::vector<std::vector<ambrevo::Detection>> wander(int objects, double width, double height, int frames = kFrames) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> place(0, 1);
    std::normal_distribution<double> step(0, 3);
    std::bernoulli_distribution dropped(0.02);
    std::vector<double> x(objects), y(objects);
    for (int i = 0; i < objects; ++i) x[i] = width * place(rng), y[i] = height * place(rng);
    std::vector<std::vector<ambrevo::Detection>> out(frames);
    auto reflect = [](double v, double side) { return v < 0 ? -v : v > side ? 2 * side - v : v; };
    for (auto& frame : out) {
        for (int i = 0; i < objects; ++i) {
            x[i] = reflect(x[i] + step(rng), width), y[i] = reflect(y[i] + step(rng), height);
            if (!dropped(rng)) frame.push_back({x[i], y[i], i});
        }
        std::shuffle(frame.begin(), frame.end(), rng);
    }
    return out;
}

// One frame linked per iteration, the linker started again after the last frame.
void linkFrames(benchmark::State& state, const std::vector<std::vector<ambrevo::Detection>>& frames,
                ambrevo::LinkSettings settings) {
    ambrevo::TrackLinker linker(settings);
    long long frame = 0;
    size_t objects = 0;
    for (auto _ : state) {
        if (frame == static_cast<long long>(frames.size())) {
            state.PauseTiming();
            linker = ambrevo::TrackLinker(settings);
            frame = 0;
            state.ResumeTiming();
        }
        objects += frames[size_t(frame)].size();
        benchmark::DoNotOptimize(linker.push(frame, frames[size_t(frame)]));
        ++frame;
    }
    state.SetItemsProcessed(static_cast<int64_t>(objects));
}

void BM_Link200(benchmark::State& state) {
    const double side = static_cast<double>(state.range(0));
    linkFrames(state, wander(200, side, side), {kMaxStep, 5});
}
BENCHMARK(BM_Link200)->Arg(640)->Arg(240)->Unit(benchmark::kMicrosecond);

// 10,000 objects a frame: /3840 on a 3840x2160 field, /1920 on 1920x1080; `15,5,predict`.
void BM_Link10000(benchmark::State& state) {
    const double width = static_cast<double>(state.range(0));
    linkFrames(state, wander(10000, width, width * 9 / 16, 60), {15, 5, true});
}
BENCHMARK(BM_Link10000)->Arg(3840)->Arg(1920)->Unit(benchmark::kMillisecond);

// 10,000 objects a frame on 1920x1080 with a gate of 100,000 px: every object within reach
// of every track, so that only the bounds on partners and groups keep the step's cost.
void BM_Link10000WholeFrameGate(benchmark::State& state) {
    linkFrames(state, wander(10000, 1920, 1080, 20), {100000, 5, true});
}
BENCHMARK(BM_Link10000WholeFrameGate)->Unit(benchmark::kMillisecond);

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

// The whole-run linker on 10,000 objects a frame over 30 frames of 1920x1080: the pieces'
// steps, their joins and the flow, per frame.
void BM_Global10000(benchmark::State& state) {
    std::vector<ambrevo::GroupedRow> rows;
    const auto frames = wander(10000, 1920, 1080, 30);
    for (size_t f = 0; f < frames.size(); ++f)
        for (const ambrevo::Detection& d : frames[f]) rows.push_back({static_cast<long long>(f), d.x, d.y, 0});
    for (auto _ : state) benchmark::DoNotOptimize(ambrevo::link_global(rows, {15, 5, true}));
    state.counters["per_frame"] =
        benchmark::Counter(30, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Global10000)->Unit(benchmark::kMillisecond)->Iterations(1);
