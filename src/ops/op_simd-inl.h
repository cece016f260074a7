// Small vector helpers shared by the operators' kernels, compiled once per target: include
// it after <hwy/highway.h> in a file that foreach_target re-includes.
#if defined(AMBREVO_OPS_OP_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef AMBREVO_OPS_OP_SIMD_INL_H_
#undef AMBREVO_OPS_OP_SIMD_INL_H_
#else
#define AMBREVO_OPS_OP_SIMD_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The low 8 (16) bits of each 32-bit lane, as a pixel1 (or 2-byte) store keeps them. One
// instruction on AVX-512, where a saturating narrowing takes four; the callers' values are
// in range, so both give the same bytes.
template <class D32>
HWY_INLINE hn::Vec<hn::Rebind<uint8_t, D32>> LowBytes(D32, hn::Vec<D32> v) {
    const hn::RebindToUnsigned<D32> du;
    return hn::TruncateTo(hn::Rebind<uint8_t, D32>(), hn::BitCast(du, v));
}
template <class D32>
HWY_INLINE hn::Vec<hn::Rebind<uint16_t, D32>> LowWords(D32, hn::Vec<D32> v) {
    const hn::RebindToUnsigned<D32> du;
    return hn::TruncateTo(hn::Rebind<uint16_t, D32>(), hn::BitCast(du, v));
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#endif  // include guard per target
