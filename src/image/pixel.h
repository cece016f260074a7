// Pixel types, their grey values, constructions and the one conversion table.
#pragma once

#include <cstdint>
#include <cstdlib>

struct pixel1 {
    uint8_t v;
};
// Packed so that a row may start at any byte: host frames and odd strides do not keep
// 16-bit pixels aligned, and the compiler then reads them with unaligned-safe loads.
struct [[gnu::packed]] pixel2 {
    int16_t v;  // grey level in units of 1/64
};
struct pixel3 {
    uint8_t c[3];
};
struct pixel4 {
    uint8_t c[4];  // c[3] carries nothing and is never written by a conversion
};

static_assert(alignof(pixel2) == 1);
static_assert(sizeof(pixel1) == 1 && sizeof(pixel2) == 2 && sizeof(pixel3) == 3 && sizeof(pixel4) == 4);

// Grey value of a pixel.
inline int grey(pixel1 p) { return p.v; }
inline int grey(pixel2 p) { return std::abs((int(p.v) + 32) / 64); }
inline int grey3(int c0, int c1, int c2) { return (2 * (c0 + c1 + c2) + 3) / 6; }
inline int grey(const pixel3& p) { return grey3(p.c[0], p.c[1], p.c[2]); }
inline int grey(const pixel4& p) { return grey3(p.c[0], p.c[1], p.c[2]); }

// pixel1 from an integer: the low 8 bits of |v|, no clamping (300 -> 44, -5 -> 5).
inline uint8_t byteOf(int v) { return uint8_t(v < 0 ? -int64_t(v) : int64_t(v)); }

// Writes grey level g into a pixel of any type (pixel2: g * 64; colour: (g, g, g)).
inline void setGrey(pixel1& d, int g) { d.v = byteOf(g); }
inline void setGrey(pixel2& d, int g) { d.v = int16_t(uint16_t(unsigned(g) << 6)); }
inline void setGrey(pixel3& d, int g) { d.c[0] = d.c[1] = d.c[2] = uint8_t(g); }
inline void setGrey(pixel4& d, int g) { d.c[0] = d.c[1] = d.c[2] = uint8_t(g); }

// The conversion table: convert(source, destination).
inline void convert(pixel1 s, pixel1& d) { d = s; }
inline void convert(pixel1 s, pixel2& d) { setGrey(d, s.v); }
inline void convert(pixel1 s, pixel3& d) { setGrey(d, s.v); }
inline void convert(pixel1 s, pixel4& d) { setGrey(d, s.v); }

inline void convert(pixel2 s, pixel1& d) { d.v = uint8_t(grey(s)); }
inline void convert(pixel2 s, pixel2& d) { d = s; }
inline void convert(pixel2 s, pixel3& d) { setGrey(d, grey(s)); }
inline void convert(pixel2 s, pixel4& d) { setGrey(d, grey(s)); }

inline void convert(const pixel3& s, pixel1& d) { d.v = uint8_t(grey(s)); }
inline void convert(const pixel3& s, pixel2& d) { setGrey(d, grey(s)); }
inline void convert(const pixel3& s, pixel3& d) { d = s; }
inline void convert(const pixel3& s, pixel4& d) { d.c[0] = s.c[0], d.c[1] = s.c[1], d.c[2] = s.c[2]; }

inline void convert(const pixel4& s, pixel1& d) { d.v = uint8_t(grey(s)); }
inline void convert(const pixel4& s, pixel2& d) { setGrey(d, grey(s)); }
inline void convert(const pixel4& s, pixel3& d) { d.c[0] = s.c[0], d.c[1] = s.c[1], d.c[2] = s.c[2]; }
inline void convert(const pixel4& s, pixel4& d) { d = s; }
