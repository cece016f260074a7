#include "ops/do_copy.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "image/dib_access.h"

namespace {
template <class S, class D>
void copyRows(const dib_base& src, dib_base& dst) {
    dib_access<S> in(src);
    dib_access<D> out(dst);
    const int32_t w = std::min(in.width(), out.width());
    const int32_t h = std::min(in.rows(), out.rows());
    for (int32_t y = 0; y < h; ++y) {
        const S* s = in.row(y);
        D* d = out.row(y);
        if constexpr (std::is_same_v<S, D>) {
            std::memcpy(d, s, size_t(w) * sizeof(S));
        } else {
            for (int32_t x = 0; x < w; ++x) convert(s[x], d[x]);
        }
    }
}
}  // namespace

void do_copy(const dib_base& src, dib_base& dst) {
    dib_access_dispatch2(src, dst, [&](auto s, auto d) {
        copyRows<typename decltype(s)::type, typename decltype(d)::type>(src, dst);
    });
}
