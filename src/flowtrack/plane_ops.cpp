#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_SSSE3
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "flowtrack/plane_ops.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "flowtrack/plane_ops.h"

HWY_BEFORE_NAMESPACE();
namespace flowtrack_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Threshold(const uint8_t* src, uint8_t* mask, size_t n, uint8_t t, bool inverted) {
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    const auto limit = hn::Set(d, t), one = hn::Set(d, 1);
    size_t p = 0;
    for (; p + N <= n; p += N) {
        const auto v = hn::LoadU(d, src + p);
        const auto above = hn::Gt(v, limit);
        hn::StoreU(inverted ? hn::IfThenZeroElse(above, one) : hn::IfThenElseZero(above, one), d, mask + p);
    }
    for (; p < n; ++p) mask[p] = inverted ? (src[p] <= t ? 1 : 0) : (src[p] > t ? 1 : 0);
}

void DifferenceMask(const uint8_t* cur, const uint8_t* bg, uint8_t* diff, uint8_t* mask, size_t n, uint8_t t) {
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    const auto limit = hn::Set(d, t), one = hn::Set(d, 1);
    size_t p = 0;
    for (; p + N <= n; p += N) {
        const auto a = hn::LoadU(d, cur + p), b = hn::LoadU(d, bg + p);
        const auto v = hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
        hn::StoreU(v, d, diff + p);
        hn::StoreU(hn::IfThenZeroElse(hn::Gt(v, limit), one), d, mask + p);
    }
    for (; p < n; ++p) {
        const uint8_t v = uint8_t(cur[p] > bg[p] ? cur[p] - bg[p] : bg[p] - cur[p]);
        diff[p] = v;
        mask[p] = v <= t ? 1 : 0;
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace flowtrack_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace flowtrack_detail {
HWY_EXPORT(Threshold);
HWY_EXPORT(DifferenceMask);
}  // namespace flowtrack_detail

void flowtrack_threshold(const uint8_t* src, uint8_t* mask, size_t n, uint8_t t, bool inverted) {
    using namespace flowtrack_detail;  // the static dispatch names the function unqualified
    HWY_DYNAMIC_DISPATCH(Threshold)(src, mask, n, t, inverted);
}

void flowtrack_differenceMask(const uint8_t* cur, const uint8_t* bg, uint8_t* diff, uint8_t* mask, size_t n,
                              uint8_t t) {
    using namespace flowtrack_detail;
    HWY_DYNAMIC_DISPATCH(DifferenceMask)(cur, bg, diff, mask, n, t);
}
#endif  // HWY_ONCE
