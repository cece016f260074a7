#include "ops/do_convolve_v.h"

#include <algorithm>

#include "image/dib_access.h"
#include "ops/op_common.h"

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
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y)
            convolveRow<S>(coef, size, cols, out.row(y),
                           [&](int k, int64_t x0) { return in.row(int32_t(y - r + k)) + x0; });
    }
    return nextBorder(b, r);
}
}  // namespace

int do_convolve_v(const alg_ck_1d& kernel, const dib_base& src, int border, dib_base& dst) {
    return dib_access_dispatch2(src, dst, [&](auto s, auto d) {
        return convolveColumns<typename decltype(s)::type, typename decltype(d)::type>(kernel, src, border, dst);
    });
}
