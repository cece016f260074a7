// Row access to an image and the dispatch of operators by pixel size.
#pragma once

#include <cstdint>

#include "image/dib.h"
#include "image/pixel.h"

// Walks the rows of one image in memory order. Rows are addressed by szRow in bytes,
// so any stride that holds a row works and no 16-bit limit applies.
template <class P>
class dib_access {
public:
    using pixel = P;

    explicit dib_access(const dib_base& image)
        : base_(image.bits), rowBytes_(image.szRow), width_(image.width), rows_(image.absHeight()) {}

    int32_t width() const { return width_; }
    int32_t rows() const { return rows_; }
    int64_t rowBytes() const { return rowBytes_; }

    P* row(int32_t y) const { return reinterpret_cast<P*>(base_ + int64_t(y) * rowBytes_); }

private:
    uint8_t* base_;
    int64_t rowBytes_;
    int32_t width_;
    int32_t rows_;
};

// Carries a pixel type into a generic lambda: [](auto tag) { using P = typename decltype(tag)::type; }
template <class P>
struct pixel_tag {
    using type = P;
};

template <class Op>
decltype(auto) dib_access_dispatch1(const dib_base& image, Op&& op) {
    switch (image.szPixel) {
        case 1: return op(pixel_tag<pixel1>{});
        case 2: return op(pixel_tag<pixel2>{});
        case 3: return op(pixel_tag<pixel3>{});
        case 4: return op(pixel_tag<pixel4>{});
    }
    throw "dib_access_dispatch1 - unsupported szPixel";
}

namespace dib_detail {
template <class S, class Op>
decltype(auto) dispatchSecond(const dib_base& second, Op& op) {
    switch (second.szPixel) {
        case 1: return op(pixel_tag<S>{}, pixel_tag<pixel1>{});
        case 2: return op(pixel_tag<S>{}, pixel_tag<pixel2>{});
        case 3: return op(pixel_tag<S>{}, pixel_tag<pixel3>{});
        case 4: return op(pixel_tag<S>{}, pixel_tag<pixel4>{});
    }
    throw "dib_access_dispatch2 - unsupported szPixel";
}
}  // namespace dib_detail

// Runs op(pixel_tag<P1>, pixel_tag<P2>) for the pixel sizes of the two images: 16 instantiations.
template <class Op>
decltype(auto) dib_access_dispatch2(const dib_base& first, const dib_base& second, Op&& op) {
    switch (first.szPixel) {
        case 1: return dib_detail::dispatchSecond<pixel1>(second, op);
        case 2: return dib_detail::dispatchSecond<pixel2>(second, op);
        case 3: return dib_detail::dispatchSecond<pixel3>(second, op);
        case 4: return dib_detail::dispatchSecond<pixel4>(second, op);
    }
    throw "dib_access_dispatch2 - unsupported szPixel";
}

// Equal width and |height|: the size check every multi-image operator makes.
inline bool dib_sameSize(const dib_base& a, const dib_base& b) {
    return a.width == b.width && a.absHeight() == b.absHeight();
}
