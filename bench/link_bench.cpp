// The track linker on 200 objects wandering about a frame: the time to link one frame.
// Argument: the side of the square field in pixels, so that the same 200 objects are
// sparse (640: about 45 px apart) or crowded (240: about 17 px apart, most within one
// gate of several others, which makes large groups for the optimal assignment).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

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

}  // namespace
