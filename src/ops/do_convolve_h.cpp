#include "ops/do_convolve_h.h"

#include <algorithm>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_convolve_h.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The sums of convolveRow for 1-byte samples, one pixel per lane: taps in order, each a
// product added to the running float sum (no fused multiply-add), from the byte at
// first + k + i for tap k and pixel i; rounded as a byte would be, the low 8 bits kept.
template <class D>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, D>> RowSums(D d, const uint8_t* first, const float* coef, int size) {
    const hn::Rebind<int32_t, D> d32;
    const hn::Rebind<uint8_t, D> d8;
    auto acc = hn::Zero(d);
    for (int k = 0; k < size; ++k) {
        const auto v = hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, first + k)));
        acc = hn::Add(acc, hn::Mul(hn::Set(d, coef[k]), v));
    }
    return hn::And(hn::ConvertTo(d32, hn::Add(acc, hn::Set(d, 0.5f))), hn::Set(d32, 0xFF));
}

// The same for the detector's 7 taps, with the coefficients held in registers (a byte store
// may alias them, so the compiler would reload them at every tap).
template <class D>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, D>> RowSums7(D d, const uint8_t* first, const hn::Vec<D> (&c)[7]) {
    const hn::Rebind<int32_t, D> d32;
    const hn::Rebind<uint8_t, D> d8;
    auto acc = hn::Zero(d);
    for (int k = 0; k < 7; ++k)
        acc = hn::Add(acc, hn::Mul(c[k], hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, first + k)))));
    return hn::And(hn::ConvertTo(d32, hn::Add(acc, hn::Set(d, 0.5f))), hn::Set(d32, 0xFF));
}

// 1-byte source into 1-byte destination, n pixels; `first` is the sample under tap 0 of
// the first pixel.
void RowGrey(const uint8_t* first, const float* coef, int size, uint8_t* out, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    int64_t x = 0;
    if (size == 7) {
        hn::Vec<decltype(d)> c[7];
        for (int k = 0; k < 7; ++k) c[k] = hn::Set(d, coef[k]);
        for (; x + N <= n; x += N) hn::StoreU(LowBytes(d32, RowSums7(d, first + x, c)), d8, out + x);
    }
    for (; x + N <= n; x += N) hn::StoreU(LowBytes(d32, RowSums(d, first + x, coef, size)), d8, out + x);
    const hn::CappedTag<float, 1> d1;
    const hn::Rebind<int32_t, decltype(d1)> d321;
    const hn::Rebind<uint8_t, decltype(d1)> d81;
    for (; x < n; ++x) hn::StoreU(LowBytes(d321, RowSums(d1, first + x, coef, size)), d81, out + x);
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(RowGrey);

void convolveRowGrey(const uint8_t* first, const float* coef, int size, uint8_t* out, int64_t n) {
    HWY_DYNAMIC_DISPATCH(RowGrey)(first, coef, size, out, n);
}
}

namespace {
using namespace ops_detail;

template <class S, class D>
int convolveRows(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    if (!dib_sameSize(src, dst)) throw "ConvolveWorker::operator() - got images of different sizes";
    const int size = kernel.size;
    const int r = kernel.radius();
    const int64_t b = validBorder(border);
    const int64_t W = src.width, H = src.absHeight();

    const range rows{b, H - b}, cols{b + r, W - b - r};
    if (!rows.empty() && !cols.empty()) {
        dib_access<S> in(src);
        dib_access<D> out(dst);
        const float* coef = kernel.coef;
        constexpr bool fast = std::is_same_v<S, pixel1> && std::is_same_v<D, pixel1>;
        const bool vectors = fast && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const S* row = in.row(y);
            if constexpr (fast) {
                if (vectors) {
                    HWY_DYNAMIC_DISPATCH(RowGrey)(reinterpret_cast<const uint8_t*>(row + (cols.lo - r)), coef, size,
                                                  reinterpret_cast<uint8_t*>(out.row(y) + cols.lo), cols.hi - cols.lo);
                    continue;
                }
            }
            convolveRow<S>(coef, size, cols, out.row(y), [&](int k, int64_t x0) { return row + (x0 - r + k); });
        }
    }
    return nextBorder(b, r);
}
}  // namespace

int do_convolve_h(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    return dib_access_dispatch2(src, dst, [&](auto s, auto d) {
        return convolveRows<typename decltype(s)::type, typename decltype(d)::type>(kernel, src, border, dst);
    });
}
#endif  // HWY_ONCE
