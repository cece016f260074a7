#include "crowd/crowd_background.h"

#include <algorithm>
#include <array>

#include "image/dib_access.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "crowd/crowd_background.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef AMBREVO_CROWD_BACKGROUND_ONCE
#define AMBREVO_CROWD_BACKGROUND_ONCE
namespace crowd_detail {
constexpr int kMostSamples = 31;
}
#endif

HWY_BEFORE_NAMESPACE();
namespace crowd_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Sorts the k samples of each lane with an odd-even transposition network and keeps the
// middle one. Returns where it stopped; the caller finishes the row.
int64_t MedianRow(const uint8_t* const* rows, int k, uint8_t* out, int64_t n) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    hn::Vec<decltype(d)> v[kMostSamples];
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        for (int i = 0; i < k; ++i) v[i] = hn::LoadU(d, rows[i] + x);
        for (int pass = 0; pass < k; ++pass)
            for (int i = pass % 2; i + 1 < k; i += 2) {
                const auto lo = hn::Min(v[i], v[i + 1]);
                v[i + 1] = hn::Max(v[i], v[i + 1]);
                v[i] = lo;
            }
        hn::StoreU(v[(k - 1) / 2], d, out + x);
    }
    return x;
}

int64_t FollowRow(const uint8_t* grey, const uint8_t* weight, int polarity, int jump, uint8_t* background, int64_t n) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto one = hn::Set(d, 1), zero = hn::Zero(d), beyond = hn::Set(d, uint8_t(jump));
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        const auto g = hn::LoadU(d, grey + x), b = hn::LoadU(d, background + x);
        const auto above = hn::SaturatedSub(g, b), below = hn::SaturatedSub(b, g);
        const auto step = hn::Sub(hn::Add(b, hn::Min(above, one)), hn::Min(below, one));
        // A frame beyond the background on the side objects never lie: the background
        // was wrong there (an animal that has moved away), and takes the frame at once.
        const auto wrong = polarity == 0   ? hn::Ne(hn::SaturatedSub(above, beyond), zero)
                           : polarity == 1 ? hn::Ne(hn::SaturatedSub(below, beyond), zero)
                                           : hn::Ne(zero, zero);
        const auto free = hn::Eq(hn::LoadU(d, weight + x), zero);
        hn::StoreU(hn::IfThenElse(free, hn::IfThenElse(wrong, g, step), b), d, background + x);
    }
    return x;
}

}  // namespace HWY_NAMESPACE
}  // namespace crowd_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace crowd_detail {
HWY_EXPORT(MedianRow);
HWY_EXPORT(FollowRow);
}  // namespace crowd_detail

void crowd_median(const std::vector<const dib_base*>& images, dib_base& out) {
    const int k = int(images.size());
    if (k < 1 || k > crowd_detail::kMostSamples) throw "crowd_median - got too few or too many images";
    for (const dib_base* image : images)
        if (image->szPixel != 1 || !dib_sameSize(*image, out)) throw "crowd_median - got images of different sizes";
    if (out.szPixel != 1) throw "crowd_median - got images of different sizes";
    using namespace crowd_detail;  // the static dispatch names the function unqualified
    const bool vectors = ops_detail::vectorsEnabled();
    std::array<const uint8_t*, crowd_detail::kMostSamples> rows{};
    std::array<uint8_t, crowd_detail::kMostSamples> values{};
    for (int32_t y = 0; y < out.absHeight(); ++y) {
        for (int i = 0; i < k; ++i) rows[size_t(i)] = images[size_t(i)]->row(y);
        uint8_t* o = out.row(y);
        int64_t x = vectors ? HWY_DYNAMIC_DISPATCH(MedianRow)(rows.data(), k, o, out.width) : 0;
        for (; x < out.width; ++x) {
            for (int i = 0; i < k; ++i) values[size_t(i)] = rows[size_t(i)][x];
            std::nth_element(values.begin(), values.begin() + (k - 1) / 2, values.begin() + k);
            o[x] = values[size_t((k - 1) / 2)];
        }
    }
}

void crowd_follow(const dib_base& grey, const dib_base& weight, int polarity, int jump, dib_base& background) {
    if (!dib_sameSize(grey, background) || !dib_sameSize(weight, background) || grey.szPixel != 1 ||
        weight.szPixel != 1 || background.szPixel != 1)
        throw "crowd_follow - got images of different sizes";
    jump = std::clamp(jump, 0, 255);
    using namespace crowd_detail;
    const bool vectors = ops_detail::vectorsEnabled();
    for (int32_t y = 0; y < background.absHeight(); ++y) {
        const uint8_t* g = grey.row(y);
        const uint8_t* w = weight.row(y);
        uint8_t* b = background.row(y);
        int64_t x =
            vectors ? HWY_DYNAMIC_DISPATCH(FollowRow)(g, w, polarity, jump, b, background.width) : 0;
        for (; x < background.width; ++x) {
            if (w[x] != 0) continue;
            const bool wrong = polarity == 0 ? g[x] > b[x] + jump : polarity == 1 && g[x] + jump < b[x];
            b[x] = wrong ? g[x] : uint8_t(b[x] + (g[x] > b[x]) - (g[x] < b[x]));
        }
    }
}

void crowd_background::restart(const dib_fmt& format, int samples, int every) {
    const dib_fmt plane(format.width, format.absHeight(), 1, 0, true);
    wanted_ = std::clamp(samples, 1, crowd_detail::kMostSamples);
    every_ = std::max(every, 1);
    frames_ = 0;
    ready_ = false;
    samples_.clear();
    median_.setFormat(plane, 1);
}

void crowd_background::learn(const dib_base& grey, const dib_base& weight, int fill, int polarity, int jump) {
    const bool due = frames_++ % every_ == 0;
    if (!due) return;
    if (ready_) {
        crowd_follow(grey, weight, polarity, jump, median_);
        return;
    }
    // Objects seen so far do not go into the sample: an animal that rests through all the
    // samples would otherwise become background and vanish.
    auto sample = std::make_unique<dib_base>(median_.format(), 0);
    for (int32_t y = 0; y < grey.absHeight(); ++y) {
        const uint8_t* g = grey.row(y);
        const uint8_t* w = weight.row(y);
        uint8_t* out = sample->row(y);
        for (int32_t x = 0; x < grey.width; ++x) out[x] = w[x] ? uint8_t(fill) : g[x];
    }
    samples_.push_back(std::move(sample));
    if (int(samples_.size()) < wanted_) return;
    std::vector<const dib_base*> images;
    for (const auto& s : samples_) images.push_back(s.get());
    median_.ensureAllocated();
    crowd_median(images, median_);
    samples_.clear();
    ready_ = true;
}
#endif  // HWY_ONCE
