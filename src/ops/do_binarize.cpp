#include "ops/do_binarize.h"

#include <algorithm>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_simd.h"

#ifndef AMBREVO_OPS_DO_BINARIZE_SCALAR
#define AMBREVO_OPS_DO_BINARIZE_SCALAR
namespace ops_detail {
inline void setOn(pixel1& d, bool on) { d.v = on ? 255 : 0; }
inline void setOn(pixel2& d, bool on) { d.v = on ? 0x777F : 0; }
inline void setOn(pixel3& d, bool on) { setChannels(d, on ? 255 : 0); }
inline void setOn(pixel4& d, bool on) { setChannels(d, on ? 255 : 0); }
}  // namespace ops_detail
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_binarize.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Bytes into bytes over n pixels: 255 where the byte exceeds the threshold, else 0.
void BinarizeRow8(const pixel1* in, int threshold, pixel1* out, int64_t n) {
    const hn::ScalableTag<int16_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    // Beyond -1 and 255 the answer no longer depends on the threshold.
    const auto t = hn::Set(d, int16_t(std::clamp(threshold, -1, 255))), on = hn::Set(d, 255);
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        const auto v = hn::PromoteTo(d, hn::LoadU(d8, reinterpret_cast<const uint8_t*>(in + x)));
        hn::StoreU(hn::DemoteTo(d8, hn::IfThenElseZero(hn::Gt(v, t), on)), d8, reinterpret_cast<uint8_t*>(out + x));
    }
    for (; x < n; ++x) setOn(out[x], levelValue(in[x]) > threshold);
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(BinarizeRow8);
}

namespace {
using namespace ops_detail;

template <class I, class O>
int binarize(const dib_base& input, int threshold, int border, dib_base& output) {
    if (!dib_sameSize(input, output)) throw "do_binarize() - got images of different sizes";
    const int64_t b = validBorder(border);
    const range rows{b, int64_t(input.absHeight()) - b}, cols{b, int64_t(input.width) - b};
    if (!rows.empty() && !cols.empty()) {
        dib_access<I> ai(input);
        dib_access<O> ao(output);
        constexpr bool bytes = std::is_same_v<I, pixel1> && std::is_same_v<O, pixel1>;
        const bool vectors = bytes && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const I* in = ai.row(y);
            O* o = ao.row(y);
            if constexpr (bytes) {
                if (vectors) {
                    HWY_DYNAMIC_DISPATCH(BinarizeRow8)(in + cols.lo, threshold, o + cols.lo, cols.hi - cols.lo);
                    continue;
                }
            }
            for (int32_t x = int32_t(cols.lo); x < cols.hi; ++x) setOn(o[x], levelValue(in[x]) > threshold);
        }
    }
    return int(b);
}
}  // namespace

int do_binarize(const dib_base& input, int threshold, int border, dib_base& output) {
    return dib_access_dispatch2(input, output, [&](auto i, auto o) {
        return binarize<typename decltype(i)::type, typename decltype(o)::type>(input, threshold, border, output);
    });
}
#endif  // HWY_ONCE
