#include "crowd/crowd_light.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "image/dib_access.h"

namespace {

constexpr int kRatioSteps = 2048;  // ratios of frame to background, 1/256 apart, up to 8

// The value at which a histogram's running count passes `share` of its total.
template <size_t N>
int quantile(const std::array<uint32_t, N>& histogram, double share) {
    uint64_t total = 0;
    for (uint32_t h : histogram) total += h;
    const double wanted = share * double(total);
    uint64_t seen = 0;
    for (size_t v = 0; v < N; ++v)
        if (double(seen += histogram[v]) > wanted) return int(v);
    return int(N) - 1;
}

// Which points the fit uses: those free of objects and not in a flat stretch (an arena's
// painted-out surround, a black border, which say nothing of the light or the noise), or
// all when too few are.
void choosePoints(crowd_grid& grid) {
    grid.points.clear();
    for (size_t i = 0; i < grid.grey.size(); ++i)
        if (!grid.marked[i]) grid.points.push_back(uint32_t(i));
    if (grid.points.size() >= 64) return;
    grid.points.resize(grid.grey.size());
    for (size_t i = 0; i < grid.points.size(); ++i) grid.points[i] = uint32_t(i);
}

// The light as a gain: the median of the points' ratios of frame to background, in steps
// of 1/256 (an offset only where the background is nearly black and a ratio says nothing).
// A lamp's change, a flicker or the camera's exposure scales what the floor reflects; one
// number, a median, cannot be pulled by the animals or tilted by the background's texture.
void fitGain(crowd_grid& grid, crowd_fit& fit) {
    std::array<uint32_t, kRatioSteps> ratio{};
    std::array<uint32_t, 511> shift{};
    // g * 256 / b by a multiplication: 2^24 / b rounded up is exact for g * 256 < 2^16.
    static const std::array<uint32_t, 256> over = [] {
        std::array<uint32_t, 256> a{};
        for (uint32_t b = 1; b < 256; ++b) a[b] = ((uint32_t(1) << 24) + b - 1) / b;
        return a;
    }();
    uint32_t lit = 0;
    for (uint32_t i : grid.points) {
        const int b = grid.background[i], g = grid.grey[i];
        ++shift[size_t(g - b + 255)];
        if (b < 8) continue;
        ++ratio[size_t(std::min(kRatioSteps - 1, int((uint64_t(g) * 256 * over[size_t(b)]) >> 24)))], ++lit;
    }
    if (lit * 2 >= grid.points.size()) {
        fit.gain = (quantile(ratio, 0.5) + 0.5) / 256.0;
    } else {
        fit.offset = quantile(shift, 0.5) - 255;
    }
}

}  // namespace

int64_t crowd_gridStep(const dib_fmt& format) {
    const double pixels = double(format.width) * double(format.absHeight());
    return std::max<int64_t>(1, int64_t(std::sqrt(pixels / 4096.0)));
}

void crowd_sampleGrid(const dib_base& src, const dib_base* background, const dib_base* weight, crowd_grid& grid) {
    grid.grey.clear(), grid.background.clear(), grid.marked.clear();
    const int64_t step = grid.step;
    dib_access_dispatch1(src, [&](auto tag) {
        using P = typename decltype(tag)::type;
        const dib_access<P> in(src);
        for (int64_t y = step / 2; y < in.rows(); y += step) {
            const P* row = in.row(int32_t(y));
            const uint8_t* b = background ? background->row(int32_t(y)) : nullptr;
            const uint8_t* w = weight ? weight->row(int32_t(y)) : nullptr;
            for (int64_t x = step / 2; x < in.width(); x += step) {
                pixel1 grey;
                convert(row[x], grey);
                pixel1 left = grey, right = grey;
                if (x > 0 && x + 1 < in.width()) convert(row[x - 1], left), convert(row[x + 1], right);
                const bool flat = x > 0 && x + 1 < in.width() && left.v == grey.v && right.v == grey.v;
                grid.grey.push_back(grey.v);
                grid.background.push_back(b ? b[x] : 0);
                grid.marked.push_back(uint8_t((w && w[x] ? 1 : 0) | (flat ? 2 : 0)));
            }
        }
    });
}

crowd_fit crowd_fitLight(crowd_grid& grid, bool hasBackground) {
    crowd_fit fit;
    if (grid.grey.empty()) return fit;
    choosePoints(grid);
    const std::vector<uint32_t>& points = grid.points;
    std::array<uint32_t, 256> frame{}, floorHistogram{};
    for (uint32_t i : points) ++frame[grid.grey[i]], ++floorHistogram[grid.background[i]];
    fit.backgroundFloor = quantile(floorHistogram, 0.5);
    fit.backgroundLow = quantile(floorHistogram, 0.02), fit.backgroundHigh = quantile(floorHistogram, 0.98);
    if (hasBackground) {
        fitGain(grid, fit);
        fit.floor = fit.gain * fit.backgroundFloor + fit.offset;
    } else {
        fit.floor = quantile(frame, 0.5);
    }
    std::array<uint32_t, 256> residual{};
    for (uint32_t i : points) {
        const double expected = hasBackground ? fit.gain * grid.background[i] + fit.offset : fit.floor;
        ++residual[size_t(std::min(255.0, std::fabs(grid.grey[i] - expected) + 0.5))];
    }
    fit.noise = 1.4826 * quantile(residual, 0.5);
    size_t saturated = 0;
    for (size_t i = 0; i < grid.grey.size(); ++i) {
        const int g = grid.grey[i], b = hasBackground ? grid.background[i] : int(fit.floor);
        saturated += (g >= 254 && b < 240) || (g <= 1 && b > 15);
    }
    fit.saturated = double(saturated) / double(grid.grey.size());
    return fit;
}

bool crowd_lightSteps::jumped(double floor) {
    if (!known_) {
        known_ = true, accepted_ = last_ = floor;
        return false;
    }
    const double limit = std::max(10.0, 0.1 * accepted_);
    const bool steady = std::fabs(floor - last_) <= limit / 2;
    last_ = floor;
    if (std::fabs(floor - accepted_) <= limit) {
        accepted_ = floor, heldFor_ = 0;
        return false;
    }
    heldFor_ = steady ? heldFor_ + 1 : 0;
    if (heldFor_ < 2) return true;
    accepted_ = floor, heldFor_ = 0;
    return false;
}
