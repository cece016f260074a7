#include "ops/do_convolve_v.h"

#include <algorithm>

#include "image/dib_access.h"
#include "ops/op_common.h"

namespace {
using namespace ops_detail;

// Pixels per strip: the accumulators of one strip live on the stack, and each tap
// sweeps a whole strip of one source row, so the inner loop runs along contiguous memory.
constexpr int kStrip = 128;

template <class S, class D>
int convolveColumns(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    if (!dib_sameSize(src, dst)) throw "ConvolveWorker::operator() - got images of different sizes";
    using fp = float_pixel<S>;
    constexpr int C = fp::channels;
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
        float acc[kStrip * C];
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            D* o = out.row(y);
            for (int32_t x0 = int32_t(cols.lo); x0 < cols.hi; x0 += kStrip) {
                const int n = int(std::min<int64_t>(kStrip, cols.hi - x0));
                std::fill(acc, acc + n * C, 0.0f);
                for (int k = 0; k < size; ++k) {
                    const S* s = in.row(y - r + k) + x0;
                    if (n == kStrip)
                        accumulate(acc, s, coef[k], kStrip);
                    else
                        accumulate(acc, s, coef[k], n);
                }
                if (n == kStrip)
                    store<S>(acc, o + x0, kStrip);
                else
                    store<S>(acc, o + x0, n);
            }
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
