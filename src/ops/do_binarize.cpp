#include "ops/do_binarize.h"

#include "image/dib_access.h"
#include "ops/op_common.h"

namespace {
using namespace ops_detail;

inline void setOn(pixel1& d, bool on) { d.v = on ? 255 : 0; }
inline void setOn(pixel2& d, bool on) { d.v = on ? 0x777F : 0; }
inline void setOn(pixel3& d, bool on) { setChannels(d, on ? 255 : 0); }
inline void setOn(pixel4& d, bool on) { setChannels(d, on ? 255 : 0); }

template <class I, class O>
int binarize(const dib_base& input, int threshold, int border, dib_base& output) {
    if (!dib_sameSize(input, output)) throw "do_binarize() - got images of different sizes";
    const int64_t b = validBorder(border);
    const range rows{b, int64_t(input.absHeight()) - b}, cols{b, int64_t(input.width) - b};
    if (!rows.empty() && !cols.empty()) {
        dib_access<I> ai(input);
        dib_access<O> ao(output);
        for (int32_t y = int32_t(rows.lo); y < rows.hi; ++y) {
            const I* in = ai.row(y);
            O* o = ao.row(y);
            for (int32_t x = int32_t(cols.lo); x < cols.hi; ++x) setOn(o[x], levelValue(in[x]) > threshold);
        }
    }
    return int(b);
}
}  // namespace

int do_binarize(const dib_base& input, int threshold, int border, dib_base& output) {
    return dib_access_dispatch2(input, output, [&](auto i, auto o) {
        return binarize<typename decltype(i)::type, typename decltype(o)::type>(input, threshold, border, output);
    });
}
