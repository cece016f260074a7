#include "ops/do_mask.h"

#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_mask.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The Canny case, 2-byte values into bytes, over n pixels: the low 8 bits of
// |(v + 32) / 64|, the division truncating toward zero, where the mask byte is set.
void MaskRow16(const pixel2* value, const uint8_t* mask, pixel1* out, int64_t n) {
    const hn::ScalableTag<int32_t> d;
    const hn::Rebind<int16_t, decltype(d)> d16;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const hn::RebindToUnsigned<decltype(d)> du;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto half = hn::Set(d, 32), roundUp = hn::Set(d, 63), low8 = hn::Set(d, 0xFF);
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        const auto v = hn::Add(hn::PromoteTo(d, hn::LoadU(d16, reinterpret_cast<const int16_t*>(value + x))), half);
        // An arithmetic shift floors; adding 63 to a negative dividend first truncates instead.
        const auto q = hn::ShiftRight<6>(hn::Add(v, hn::IfThenElseZero(hn::Lt(v, hn::Zero(d)), roundUp)));
        const auto keep = hn::Ne(hn::PromoteTo(du, hn::LoadU(d8, mask + x)), hn::Zero(du));
        const auto byte = hn::And(hn::Abs(q), low8);
        hn::StoreU(LowBytes(d, hn::IfThenElseZero(hn::RebindMask(d, keep), byte)), d8,
                   reinterpret_cast<uint8_t*>(out + x));
    }
    for (; x < n; ++x) {
        if (mask[x] != 0)
            convert(value[x], out[x]);
        else
            setGrey(out[x], 0);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(MaskRow16);

void maskRow(const pixel2* value, const uint8_t* mask, pixel1* out, int64_t n) {
    HWY_DYNAMIC_DISPATCH(MaskRow16)(value, mask, out, n);
}
}

namespace {
using namespace ops_detail;

template <class V, class O>
int maskValues(const dib_base& value, const dib_base& mask, int border, dib_base& output) {
    // The output is written over the same region, so it must have the same size too.
    if (!dib_sameSize(value, mask) || !dib_sameSize(value, output)) throw "do_mask() - got images of different sizes";
    const int64_t b = validBorder(border);
    const range rows{b, int64_t(value.absHeight()) - b}, cols{b, int64_t(value.width) - b};
    if (!rows.empty() && !cols.empty()) {
        dib_access<V> av(value);
        dib_access<O> ao(output);
        constexpr bool canny = std::is_same_v<V, pixel2> && std::is_same_v<O, pixel1>;
        const bool vectors = canny && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const V* v = av.row(y);
            const uint8_t* m = mask.row(y);
            O* o = ao.row(y);
            if constexpr (canny) {
                if (vectors) {
                    HWY_DYNAMIC_DISPATCH(MaskRow16)(v + cols.lo, m + cols.lo, o + cols.lo, cols.hi - cols.lo);
                    continue;
                }
            }
            for (int32_t x = int32_t(cols.lo); x < cols.hi; ++x) {
                if (m[x] != 0)
                    convert(v[x], o[x]);
                else
                    setGrey(o[x], 0);
            }
        }
    }
    return int(b);
}
}  // namespace

int do_mask(const dib_base& value, const dib_base& mask, int border, dib_base& output) {
    return dib_access_dispatch2(value, output, [&](auto v, auto o) {
        return maskValues<typename decltype(v)::type, typename decltype(o)::type>(value, mask, border, output);
    });
}
#endif  // HWY_ONCE
