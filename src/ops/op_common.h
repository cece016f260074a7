// Small helpers shared by the image operators: border arithmetic, the floating-point
// pixel model of the convolution passes, and the integer pixel values of the later stages.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <type_traits>

#include "image/pixel.h"

namespace ops_detail {

// A negative border would widen the working region past the image: it counts as 0.
inline int64_t validBorder(int border) { return border < 0 ? 0 : border; }

// The border an operator hands on, saturated so that a huge kernel cannot wrap it.
inline int nextBorder(int64_t border, int64_t grow) {
    const int64_t b = border + grow;
    return b > INT_MAX ? INT_MAX : int(b);
}

// Half-open index range [lo, hi); empty when lo >= hi. Bounds stay in 64 bits until
// they are known to lie inside the image.
struct range {
    int64_t lo, hi;
    bool empty() const { return lo >= hi; }
};

// The floating-point value of a pixel (one channel, or three for colour pixels) and the
// rounding of an accumulator back to the source's own pixel type.
template <class P>
struct float_pixel;

template <>
struct float_pixel<pixel1> {
    static constexpr int channels = 1;
    using rounded = pixel1;
    static void load(const pixel1& p, float* v) { v[0] = float(p.v); }
    static rounded round(const float* acc) { return pixel1{uint8_t(int(acc[0] + 0.5f))}; }
};

template <>
struct float_pixel<pixel2> {
    static constexpr int channels = 1;
    using rounded = pixel2;
    static void load(const pixel2& p, float* v) { v[0] = float(p.v) * 0.015625f; }
    // The half is added before scaling: one tap of weight 1 gives back v + 32.
    static rounded round(const float* acc) { return pixel2{int16_t(int((acc[0] + 0.5f) * 64.0f))}; }
};

// The three colour channels of a 3- or 4-byte pixel.
inline void loadChannels(const uint8_t* c, float* v) {
    v[0] = float(c[0]);
    v[1] = float(c[1]);
    v[2] = float(c[2]);
}

template <>
struct float_pixel<pixel3> {
    static constexpr int channels = 3;
    using rounded = pixel3;
    static void load(const pixel3& p, float* v) { loadChannels(p.c, v); }
    static rounded round(const float* acc) {
        return pixel3{{uint8_t(int(acc[0] + 0.5f)), uint8_t(int(acc[1] + 0.5f)), uint8_t(int(acc[2] + 0.5f))}};
    }
};

// The fourth byte carries nothing: a 4-byte result is rounded as three channels, so a
// 4-byte destination keeps its own fourth byte.
template <>
struct float_pixel<pixel4> {
    static constexpr int channels = 3;
    using rounded = pixel3;
    static void load(const pixel4& p, float* v) { loadChannels(p.c, v); }
    static rounded round(const float* acc) { return float_pixel<pixel3>::round(acc); }
};

// One tap of a convolution over a strip of n pixels: acc += c * value, per channel.
// Called with a constant n for full strips, so the loop compiles to vector code.
template <class S>
inline void accumulate(float* __restrict acc, const S* __restrict s, float c, int n) {
    constexpr int C = float_pixel<S>::channels;
    for (int i = 0; i < n; ++i) {
        float v[C];
        float_pixel<S>::load(s[i], v);
        for (int ch = 0; ch < C; ++ch) acc[i * C + ch] += c * v[ch];
    }
}

// Three-byte pixels are three independent channels laid out like bytes: one flat loop
// over 3n values computes the same sums and vectorises like the grey case.
template <>
inline void accumulate<pixel3>(float* __restrict acc, const pixel3* __restrict s, float c, int n) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(s);
    for (int i = 0; i < 3 * n; ++i) acc[i] += c * float(bytes[i]);
}

// Rounds n accumulators to the source's pixel type S and converts them into dst.
template <class S, class D>
inline void store(const float* __restrict acc, D* __restrict dst, int n) {
    constexpr int C = float_pixel<S>::channels;
    for (int i = 0; i < n; ++i) convert(float_pixel<S>::round(acc + i * C), dst[i]);
}

// Pixels per strip: the accumulators of one strip live on the stack, and each tap sweeps a
// whole strip of one source row, so the inner loop runs along contiguous memory.
constexpr int kStrip = 128;

// One output row of a separable pass over the columns in `cols`: for every pixel, the taps
// k = 0 .. size-1 in order add coef[k] times the value at tap(k, x0)[i], then the sum is
// rounded to S and converted into `out`. tap(k, x0) is the source pixel under tap k for
// the strip starting at column x0.
template <class S, class D, class Tap>
inline void convolveRow(const float* coef, int size, range cols, D* out, Tap&& tap) {
    constexpr int C = float_pixel<S>::channels;
    float acc[kStrip * C];
    for (int64_t x0 = cols.lo; x0 < cols.hi; x0 += kStrip) {
        const int n = int(std::min<int64_t>(kStrip, cols.hi - x0));
        std::fill(acc, acc + n * C, 0.0f);
        for (int k = 0; k < size; ++k) {
            const S* s = tap(k, x0);
            // A constant length for full strips lets the compiler vectorise the tap.
            if (n == kStrip)
                accumulate(acc, s, coef[k], kStrip);
            else
                accumulate(acc, s, coef[k], n);
        }
        if (n == kStrip)
            store<S>(acc, out + x0, kStrip);
        else
            store<S>(acc, out + x0, n);
    }
}

// The integer value compared or combined by the suppression: bytes unsigned, 2-byte
// pixels raw (grey * 64), colour pixels by their grey value.
inline int rawValue(pixel1 p) { return p.v; }
inline int rawValue(pixel2 p) { return p.v; }
inline int rawValue(const pixel3& p) { return grey(p); }
inline int rawValue(const pixel4& p) { return grey(p); }

// The value compared with a threshold by the hysteresis and the binarisation: bytes and
// colour grey values as ints, 2-byte pixels as floats in grey levels.
inline int levelValue(pixel1 p) { return p.v; }
inline float levelValue(pixel2 p) { return float(p.v) * 0.015625f; }
inline int levelValue(const pixel3& p) { return grey(p); }
inline int levelValue(const pixel4& p) { return grey(p); }

// Writes one byte value into every colour channel (the fourth byte of a pixel4 is left).
inline void setChannels(pixel1& d, uint8_t v) { d.v = v; }
inline void setChannels(pixel3& d, uint8_t v) { d.c[0] = d.c[1] = d.c[2] = v; }
inline void setChannels(pixel4& d, uint8_t v) { d.c[0] = d.c[1] = d.c[2] = v; }

}  // namespace ops_detail
