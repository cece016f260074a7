#include "ops/do_convolve_v.h"

#include <algorithm>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_rows.h"
#include "ops/op_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_convolve_v.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "ops/op_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The sums of convolveRow for 1-byte samples, one column per lane: taps in order, each a
// product added to the running float sum (no fused multiply-add), from the sample at
// first + k * stride + i for tap k and column i. Rounded as a byte would be and stored as
// the low 8 bits of the integer.
template <class D>
HWY_INLINE hn::Vec<D> ColumnSums(D d, const uint8_t* first, int64_t stride, const float* coef, int size) {
    const hn::Rebind<int32_t, D> d32;
    const hn::Rebind<uint8_t, D> d8;
    auto acc = hn::Zero(d);
    for (int k = 0; k < size; ++k) {
        const auto v = hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, first + k * stride)));
        acc = hn::Add(acc, hn::Mul(hn::Set(d, coef[k]), v));
    }
    return acc;
}

// The same for the detector's 7 taps, with the coefficients held in registers (a byte store
// may alias them, so the compiler would reload them at every tap).
template <class D>
HWY_INLINE hn::Vec<D> ColumnSums7(D d, const uint8_t* first, int64_t stride, const hn::Vec<D> (&c)[7]) {
    const hn::Rebind<int32_t, D> d32;
    const hn::Rebind<uint8_t, D> d8;
    auto acc = hn::Zero(d);
    for (int k = 0; k < 7; ++k)
        acc = hn::Add(acc, hn::Mul(c[k], hn::ConvertTo(d, hn::PromoteTo(d32, hn::LoadU(d8, first + k * stride)))));
    return acc;
}

template <class D>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, D>> RoundedBytes(D d, hn::Vec<D> acc) {
    const hn::Rebind<int32_t, D> d32;
    return hn::And(hn::ConvertTo(d32, hn::Add(acc, hn::Set(d, 0.5f))), hn::Set(d32, 0xFF));
}

// 1-byte source into 1-byte destination, n columns from `first` (tap 0's row).
void ColumnsGrey(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    int64_t x = 0;
    if (size == 7) {
        hn::Vec<decltype(d)> c[7];
        for (int k = 0; k < 7; ++k) c[k] = hn::Set(d, coef[k]);
        for (; x + N <= n; x += N)
            hn::StoreU(LowBytes(d32, RoundedBytes(d, ColumnSums7(d, first + x, stride, c))), d8, out + x);
    }
    for (; x + N <= n; x += N)
        hn::StoreU(LowBytes(d32, RoundedBytes(d, ColumnSums(d, first + x, stride, coef, size))), d8, out + x);
    const hn::CappedTag<float, 1> d1;
    const hn::Rebind<int32_t, decltype(d1)> d321;
    const hn::Rebind<uint8_t, decltype(d1)> d81;
    for (; x < n; ++x)
        hn::StoreU(LowBytes(d321, RoundedBytes(d1, ColumnSums(d1, first + x, stride, coef, size))), d81, out + x);
}

// 3-byte source into 1-byte destination: the three channels are summed as one flat run of
// bytes, each rounded to its byte, and the pixel's grey value (2 (c0 + c1 + c2) + 3) / 6
// is stored; x / 6 is (x * 43691) >> 18 for every x up to 1533.
void ColumnsColour(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out, int64_t n) {
    const hn::ScalableTag<float> d;
    const hn::Rebind<int32_t, decltype(d)> d32;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int64_t N = int64_t(hn::Lanes(d));
    HWY_ALIGN uint8_t channels[3 * hn::MaxLanes(d)];
    auto greyOf = [&](auto c0, auto c1, auto c2) {
        const auto sum = hn::Add(hn::Add(c0, c1), c2);
        const auto twice = hn::Add(hn::Add(sum, sum), hn::Set(d32, 3));
        return hn::ShiftRight<18>(hn::Mul(twice, hn::Set(d32, 43691)));
    };
    hn::Vec<decltype(d)> c[7];
    for (int k = 0; k < 7 && k < size; ++k) c[k] = hn::Set(d, coef[k]);
    int64_t x = 0;
    for (; x + N <= n; x += N) {
        for (int64_t part = 0; part < 3; ++part) {
            const uint8_t* p = first + 3 * x + part * N;
            const auto sums = size == 7 ? ColumnSums7(d, p, stride, c) : ColumnSums(d, p, stride, coef, size);
            hn::StoreU(LowBytes(d32, RoundedBytes(d, sums)), d8, channels + part * N);
        }
        hn::Vec<decltype(d8)> c0, c1, c2;
        hn::LoadInterleaved3(d8, channels, c0, c1, c2);
        const auto g = greyOf(hn::PromoteTo(d32, c0), hn::PromoteTo(d32, c1), hn::PromoteTo(d32, c2));
        hn::StoreU(LowBytes(d32, g), d8, out + x);
    }
    const hn::CappedTag<float, 1> d1;
    const hn::Rebind<int32_t, decltype(d1)> d321;
    const hn::Rebind<uint8_t, decltype(d1)> d81;
    for (; x < n; ++x) {
        hn::Vec<decltype(d321)> c[3];
        for (int64_t ch = 0; ch < 3; ++ch) c[ch] = RoundedBytes(d1, ColumnSums(d1, first + 3 * x + ch, stride, coef, size));
        const auto sum = hn::Add(hn::Add(c[0], c[1]), c[2]);
        const auto twice = hn::Add(hn::Add(sum, sum), hn::Set(d321, 3));
        hn::StoreU(LowBytes(d321, hn::ShiftRight<18>(hn::Mul(twice, hn::Set(d321, 43691)))), d81, out + x);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(ColumnsGrey);
HWY_EXPORT(ColumnsColour);

void convolveColumnsGrey(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out, int64_t n) {
    HWY_DYNAMIC_DISPATCH(ColumnsGrey)(first, stride, coef, size, out, n);
}
void convolveColumnsColour(const uint8_t* first, int64_t stride, const float* coef, int size, uint8_t* out,
                           int64_t n) {
    HWY_DYNAMIC_DISPATCH(ColumnsColour)(first, stride, coef, size, out, n);
}
}  // namespace ops_detail

namespace {
using namespace ops_detail;

template <class S, class D>
int convolveColumns(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    if (!dib_sameSize(src, dst)) throw "ConvolveWorker::operator() - got images of different sizes";
    const int size = kernel.size;
    const int r = kernel.radius();
    const int64_t b = validBorder(border);
    const int64_t W = src.width, H = src.absHeight();

    range rows{r, H - r}, cols{0, W};
    if (size == 7 || size == 9 || size == 11) rows = {b + r, H - b - r}, cols = {b, W - b};

    if (!rows.empty() && !cols.empty()) {
        dib_access<S> in(src);
        dib_access<D> out(dst);
        const float* coef = kernel.coef;
        // Grey and 3-byte frames into the bytes the Canny pipeline smooths.
        constexpr bool fast = (std::is_same_v<S, pixel1> || std::is_same_v<S, pixel3>) && std::is_same_v<D, pixel1>;
        const bool vectors = fast && vectorsEnabled();
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            if constexpr (fast) {
                if (vectors) {
                    const uint8_t* first = reinterpret_cast<const uint8_t*>(in.row(int32_t(y - r)) + cols.lo);
                    uint8_t* o = reinterpret_cast<uint8_t*>(out.row(y) + cols.lo);
                    if constexpr (std::is_same_v<S, pixel1>)
                        HWY_DYNAMIC_DISPATCH(ColumnsGrey)(first, in.rowBytes(), coef, size, o, cols.hi - cols.lo);
                    else
                        HWY_DYNAMIC_DISPATCH(ColumnsColour)(first, in.rowBytes(), coef, size, o, cols.hi - cols.lo);
                    continue;
                }
            }
            convolveRow<S>(coef, size, cols, out.row(y),
                           [&](int k, int64_t x0) { return in.row(int32_t(y - r + k)) + x0; });
        }
    }
    return nextBorder(b, r);
}
}  // namespace

int do_convolve_v(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    return dib_access_dispatch2(src, dst, [&](auto s, auto d) {
        return convolveColumns<typename decltype(s)::type, typename decltype(d)::type>(kernel, src, border, dst);
    });
}
#endif  // HWY_ONCE
