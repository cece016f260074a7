#include "ops/do_convolve_h.h"

#include <algorithm>

#include "image/dib_access.h"
#include "ops/op_common.h"

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
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const S* row = in.row(y);
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
