#include "ops/do_mask.h"

#include "image/dib_access.h"
#include "ops/op_common.h"

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
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const V* v = av.row(y);
            const uint8_t* m = mask.row(y);
            O* o = ao.row(y);
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
