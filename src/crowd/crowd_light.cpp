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

// The histograms of one pass over the points the fit uses: the frame's grey, the
// background's, the ratios of frame to background (in steps of 1/256, up to 8, where the
// background is not nearly black) and their differences.
struct light_histograms {
    std::array<uint32_t, 256> frame{}, floor{};
    std::array<uint32_t, kRatioSteps> ratio{};
    std::array<uint32_t, 511> shift{};
    uint32_t points = 0, lit = 0;
};

// Which points the fit uses: those free of objects and not in a flat stretch (an arena's
// painted-out surround, a black border, which say nothing of the light or the noise), or
// all when too few are. Returns whether only the free ones are used.
bool histograms(const crowd_grid& grid, light_histograms& h) {
    // g * 256 / b by a multiplication: 2^24 / b rounded up is exact for g * 256 < 2^16.
    static const std::array<uint32_t, 256> over = [] {
        std::array<uint32_t, 256> a{};
        for (uint32_t b = 1; b < 256; ++b) a[b] = ((uint32_t(1) << 24) + b - 1) / b;
        return a;
    }();
    for (int pass = 0; pass < 2; ++pass) {
        h = light_histograms{};
        for (size_t i = 0; i < grid.grey.size(); ++i) {
            if (pass == 0 && grid.marked[i]) continue;
            const uint32_t g = grid.grey[i], b = grid.background[i];
            ++h.frame[g], ++h.floor[b], ++h.shift[g - b + 255], ++h.points;
            if (b < 8) continue;
            ++h.ratio[std::min<size_t>(kRatioSteps - 1, (uint64_t(g) * 256 * over[b]) >> 24)], ++h.lit;
        }
        if (h.points >= 64) return pass == 0;
    }
    return false;
}

}  // namespace

int64_t crowd_gridStep(const dib_fmt& format) {
    const double pixels = double(format.width) * double(format.absHeight());
    return std::max<int64_t>(1, int64_t(std::sqrt(pixels / 1024.0)));
}

void crowd_sampleGrid(const dib_base& src, const dib_base* background, const dib_base* weight, crowd_grid& grid) {
    const int64_t step = grid.step;
    const int64_t columns = (src.width - step / 2 + step - 1) / step,
                  rows = (src.absHeight() - step / 2 + step - 1) / step;
    const size_t points = size_t(std::max<int64_t>(0, columns) * std::max<int64_t>(0, rows));
    grid.grey.resize(points), grid.background.resize(points), grid.marked.resize(points);
    size_t i = 0;
    dib_access_dispatch1(src, [&](auto tag) {
        using P = typename decltype(tag)::type;
        const dib_access<P> in(src);
        for (int64_t y = step / 2; y < in.rows(); y += step) {
            const P* row = in.row(int32_t(y));
            const uint8_t* b = background ? background->row(int32_t(y)) : nullptr;
            const uint8_t* w = weight ? weight->row(int32_t(y)) : nullptr;
            for (int64_t x = step / 2; x < in.width(); x += step, ++i) {
                pixel1 grey;
                convert(row[x], grey);
                bool flat = false;
                if (x > 0 && x + 1 < in.width()) {
                    pixel1 left, right;
                    convert(row[x - 1], left), convert(row[x + 1], right);
                    flat = left.v == grey.v && right.v == grey.v;
                }
                grid.grey[i] = grey.v;
                grid.background[i] = b ? b[x] : 0;
                grid.marked[i] = uint8_t((w && w[x] ? 1 : 0) | (flat ? 2 : 0));
            }
        }
    });
}

crowd_fit crowd_fitLight(crowd_grid& grid, bool hasBackground) {
    crowd_fit fit;
    if (grid.grey.empty()) return fit;
    light_histograms h;
    const bool freeOnly = histograms(grid, h);
    fit.backgroundFloor = quantile(h.floor, 0.5);
    fit.backgroundLow = quantile(h.floor, 0.02), fit.backgroundHigh = quantile(h.floor, 0.98);
    // The light as a gain: the median of the points' ratios of frame to background (an offset
    // only where the background is nearly black and a ratio says nothing). A lamp's change, a
    // flicker or the camera's exposure scales what the floor reflects; one number, a median,
    // cannot be pulled by the animals or tilted by the background's texture.
    if (!hasBackground)
        fit.floor = quantile(h.frame, 0.5);
    else if (h.lit * 2 >= h.points)
        fit.gain = (quantile(h.ratio, 0.5) + 0.5) / 256.0, fit.floor = fit.gain * fit.backgroundFloor;
    else
        fit.offset = quantile(h.shift, 0.5) - 255, fit.floor = fit.backgroundFloor + fit.offset;
    std::array<uint32_t, 256> residual{};
    size_t saturated = 0;
    for (size_t i = 0; i < grid.grey.size(); ++i) {
        const int g = grid.grey[i], b = hasBackground ? grid.background[i] : int(fit.floor);
        saturated += (g >= 254 && b < 240) || (g <= 1 && b > 15);
        if (freeOnly && grid.marked[i]) continue;
        const double expected = hasBackground ? fit.gain * grid.background[i] + fit.offset : fit.floor;
        ++residual[size_t(std::min(255.0, std::fabs(g - expected) + 0.5))];
    }
    fit.noise = 1.4826 * quantile(residual, 0.5);
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
