// Which frames of a run the pictures' median background is drawn from. Every step-th frame is
// taken, the step chosen from the frames the run expects so that about `samples` are taken;
// when the run goes on past that, or told nothing, every other sample goes and the step
// doubles, so that the samples stay few and spread over the whole run. The run samples as it
// reads; the app, drawing the pictures again from corrected tracks, takes the same frames.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ambrevo {

class BackgroundPlan {
public:
    // Enough frames for the median to see past every animal, few enough to keep in memory.
    static constexpr int64_t samples = 25;
    // `expected`: the frames the run expects to read; 0 or less when it does not know.
    explicit BackgroundPlan(int64_t expected = 0)
        : step_(expected > 0 ? std::max<int64_t>(1, expected / samples) : 1) {}
    // Whether the frame read next (each one in turn, from the run's first) is a sample.
    bool takes() { return index_++ % step_ == 0; }
    // Told the samples held after one more was taken: true when every other one is to go now,
    // those at even positions staying (keepEveryOther).
    bool thins(size_t held) {
        if (held < size_t(2 * samples)) return false;
        step_ *= 2;
        return true;
    }
    // The frames a run that read `read` frames took, counted from its first.
    static std::vector<int64_t> frames(int64_t expected, int64_t read);

private:
    int64_t step_, index_ = 0;
};

template <class T>
void keepEveryOther(std::vector<T>& items) {
    for (size_t k = 1; 2 * k < items.size(); ++k) items[k] = std::move(items[2 * k]);
    items.resize((items.size() + 1) / 2);
}

}  // namespace ambrevo
