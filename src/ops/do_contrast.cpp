#include "ops/do_contrast.h"

#include <algorithm>
#include <cstdlib>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_contrast.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One row of n pixels from grey (channels 1) or three-byte (channels 3) input, in 16-bit
// lanes: every value fits, and the colour mean (2 * sum + 3) / 6 is exact as the high half
// of (2 * sum + 3) * 10923 for sums up to 765. `bg` null: the flat level. The background
// under the frame's light: (b << 7) * gain keeps its high half exact, b * gain >> 9, for
// gains below 2^15. Returns where it stopped; the caller finishes the row.
template <int channels>
int64_t ContrastRow(const uint8_t* in, const uint8_t* bg, int level, int polarity, int cut, int gain, int offset,
                    uint8_t* out, uint8_t* grey, int64_t n) {
    const hn::ScalableTag<int16_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto flat = hn::Set(d, int16_t(level)), over = hn::Set(d, int16_t(cut)), zero = hn::Zero(d);
    const auto times = hn::Set(d, int16_t(gain)), plus = hn::Set(d, int16_t(offset)), top = hn::Set(d, 255);
    const bool lit = gain != 512 || offset != 0;
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        hn::Vec<decltype(d)> g;
        if constexpr (channels == 1) {
            g = hn::PromoteTo(d, hn::LoadU(d8, in + x));
        } else {
            hn::Vec<decltype(d8)> c0, c1, c2;
            hn::LoadInterleaved3(d8, in + 3 * x, c0, c1, c2);
            const auto sum = hn::Add(hn::Add(hn::PromoteTo(d, c0), hn::PromoteTo(d, c1)), hn::PromoteTo(d, c2));
            g = hn::MulHigh(hn::Add(hn::Add(sum, sum), hn::Set(d, 3)), hn::Set(d, 10923));
        }
        auto b = bg ? hn::PromoteTo(d, hn::LoadU(d8, bg + x)) : flat;
        if (bg && lit) b = hn::Min(hn::Max(hn::Add(hn::MulHigh(hn::ShiftLeft<7>(b), times), plus), zero), top);
        const auto diff = polarity == 0 ? hn::Sub(b, g) : hn::Sub(g, b);
        const auto dist = polarity == 2 ? hn::Abs(diff) : hn::Max(diff, zero);
        hn::StoreU(hn::DemoteTo(d8, hn::IfThenElseZero(hn::Gt(dist, over), dist)), d8, out + x);
        if (grey) hn::StoreU(hn::DemoteTo(d8, g), d8, grey + x);
    }
    return x;
}

int64_t ContrastRowGrey(const uint8_t* in, const uint8_t* bg, int level, int polarity, int cut, int gain, int offset,
                        uint8_t* out, uint8_t* grey, int64_t n) {
    return ContrastRow<1>(in, bg, level, polarity, cut, gain, offset, out, grey, n);
}
int64_t ContrastRowColour(const uint8_t* in, const uint8_t* bg, int level, int polarity, int cut, int gain,
                          int offset, uint8_t* out, uint8_t* grey, int64_t n) {
    return ContrastRow<3>(in, bg, level, polarity, cut, gain, offset, out, grey, n);
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(ContrastRowGrey);
HWY_EXPORT(ContrastRowColour);
}  // namespace ops_detail

namespace {
using namespace ops_detail;

bool sizeFits(const dib_base* image, const dib_base& input) { return !image || dib_sameSize(*image, input); }
bool oneByte(const dib_base* image) { return !image || image->szPixel == 1; }

template <class P>
void contrast(const dib_base& input, const dib_base* background, int level, int polarity, int cut, contrast_light light,
              dib_base& weight, dib_base* greyOut) {
    uint8_t lit[256];  // the background's values under the frame's light
    for (int v = 0; v < 256; ++v) lit[v] = uint8_t(std::clamp(((v * light.gain) >> 9) + light.offset, 0, 255));
    dib_access<P> in(input);
    const int64_t w = input.width;
    for (int32_t y = 0; y < in.rows(); ++y) {
        const P* s = in.row(y);
        const uint8_t* b = background ? background->row(y) : nullptr;
        uint8_t* out = weight.row(y);
        uint8_t* g = greyOut ? greyOut->row(y) : nullptr;
        int64_t x = 0;
        if constexpr (std::is_same_v<P, pixel1> || std::is_same_v<P, pixel3>) {
            if (vectorsEnabled()) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(s);
                x = std::is_same_v<P, pixel1> ? HWY_DYNAMIC_DISPATCH(ContrastRowGrey)(bytes, b, level, polarity, cut,
                                                                                      light.gain, light.offset, out, g, w)
                                              : HWY_DYNAMIC_DISPATCH(ContrastRowColour)(
                                                    bytes, b, level, polarity, cut, light.gain, light.offset, out, g, w);
            }
        }
        for (; x < w; ++x) {
            pixel1 byte;
            convert(s[x], byte);  // the grey value as the conversion table makes it a byte
            const int v = byte.v;
            const int under = b ? lit[b[x]] : level;
            const int diff = polarity == 0 ? under - v : v - under;
            const int dist = polarity == 2 ? std::abs(diff) : std::max(diff, 0);
            out[x] = uint8_t(dist > cut ? dist : 0);
            if (g) g[x] = uint8_t(v);
        }
    }
}
}  // namespace

void do_contrast(const dib_base& input, const dib_base* background, int level, contrast_polarity polarity, int cut,
                 dib_base& weight, dib_base* grey, contrast_light light) {
    if (!dib_sameSize(input, weight) || !sizeFits(background, input) || !sizeFits(grey, input))
        throw "do_contrast() - got images of different sizes";
    if (!oneByte(&weight) || !oneByte(background) || !oneByte(grey)) throw "do_contrast() - expected 1-byte images";
    const int flat = std::clamp(level, 0, 255), over = std::clamp(cut, 0, 255), side = int(polarity);
    light.gain = std::clamp(light.gain, 0, 32767), light.offset = std::clamp(light.offset, -255, 255);
    dib_access_dispatch1(input, [&](auto p) {
        contrast<typename decltype(p)::type>(input, background, flat, side, over, light, weight, grey);
    });
}
#endif  // HWY_ONCE
