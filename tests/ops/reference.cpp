#include "reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ref {

uint8_t* at(const dib_base& im, int x, int y) { return im.bits + int64_t(y) * im.szRow + int64_t(x) * im.szPixel; }

namespace {

int16_t load16(const uint8_t* p) { return int16_t(p[0] | p[1] << 8); }
void store16(uint8_t* p, int v) { p[0] = uint8_t(v), p[1] = uint8_t(unsigned(v) >> 8); }

int grey(const uint8_t* p, int sz) {
    return sz == 1 ? p[0] : sz == 2 ? std::abs((load16(p) + 32) / 64) : (2 * (p[0] + p[1] + p[2]) + 3) / 6;
}
// Bytes unsigned, 2-byte pixels raw, colour pixels by their grey value.
int intValue(const dib_base& im, int x, int y) {
    return im.szPixel == 2 ? load16(at(im, x, y)) : grey(at(im, x, y), im.szPixel);
}
// The threshold test of binarisation and hysteresis: 2-byte pixels compare as float grey levels.
bool above(const dib_base& im, int x, int y, int t) {
    const uint8_t* p = at(im, x, y);
    return im.szPixel == 2 ? float(load16(p)) * 0.015625f > float(t) : grey(p, im.szPixel) > t;
}
// `word` into a 2-byte pixel, else `byte` into the first one or three channels.
void put(uint8_t* p, int sz, int byte, int word) {
    if (sz == 2) return store16(p, word);
    for (int c = 0; c < (sz == 1 ? 1 : 3); ++c) p[c] = uint8_t(byte);
}
// The conversion table, on raw pixel bytes.
void convertPixel(const uint8_t* s, int szS, uint8_t* d, int szD) {
    if (szS == szD) return void(std::memcpy(d, s, size_t(szS)));
    if (szS >= 3 && szD >= 3) return void(std::memcpy(d, s, 3));
    const int g = grey(s, szS);
    put(d, szD, g, g * 64);
}

// p - q: an int (as a float), or for 2-byte sources a float that went through the 2-byte rounding.
float difference(const dib_base& src, const uint8_t* p, const uint8_t* q) {
    if (src.szPixel == 1) return float(p[0] - q[0]);
    if (src.szPixel == 2) {
        const float d = float(load16(p)) * 0.015625f - float(load16(q)) * 0.015625f;
        return float(int16_t(int((d + 0.5f) * 64.0f))) * 0.015625f;
    }
    const int d0 = p[0] - q[0], d1 = p[1] - q[1], d2 = p[2] - q[2];
    const double s = std::sqrt(double(d0 * d0 + d1 * d1 + d2 * d2) / 3.0);
    return float(d0 + d1 + d2 >= 0 ? int(s + 0.5) : int(-s + 0.5));
}
void mark(const dib_base& in, dib_base& out, int x, int y, std::vector<chain_point>& list) {
    const uint8_t* s = at(in, x, y);
    const int sz = in.szPixel, v = sz == 2 ? int(float(load16(s)) * 0.015625f * 64.0f) : grey(s, sz);
    put(at(out, x, y), sz, v, v);
    list.push_back({sz == 1 ? v : sz == 2 ? (v + 32) / 64 : int8_t(uint8_t(v)), x, y});
}
// Depth first through the neighbours in their fixed order; positions outside the image never join.
void trace(const dib_base& in, dib_base& out, int x, int y, int lo, std::vector<chain_point>& list) {
    static const int dx[8] = {1, 1, 0, -1, -1, -1, 0, 1}, dy[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    for (int d = 0; d < 8; ++d) {
        const int qx = x + dx[d], qy = y + dy[d];
        if (qx < 0 || qy < 0 || qx >= in.width || qy >= in.absHeight()) continue;
        if (intValue(out, qx, qy) == 0 && above(in, qx, qy, lo))
            mark(in, out, qx, qy, list), trace(in, out, qx, qy, lo, list);
    }
}
}  // namespace

int kernelSize(float sigma) { return int(1 - 2 * std::trunc(-1.5 * double(sigma))); }

std::vector<float> gaussCoefficients(float sigma, int size) {
    const int r = size / 2;
    const double d = 2.0 * double(sigma) * double(sigma);
    std::vector<float> coef(static_cast<size_t>(size));
    float S = 0.0f;
    for (int k = -r; k <= r; ++k) {
        const double w = std::exp(-double(k * k) / d);
        coef[size_t(r + k)] = float(w);
        S = float(w + S);
    }
    for (float& c : coef) c = c / S;
    return coef;
}

int convolve(const std::vector<float>& coef, const dib_base& src, int b, dib_base& dst, bool vertical) {
    const int size = int(coef.size()), r = size / 2, sz = src.szPixel;
    // Rows [y0, H - y0), columns [x0, W - x0); the vertical pass ignores the border except for 7, 9 and 11 taps.
    const bool sized = size == 7 || size == 9 || size == 11;
    const int y0 = vertical ? (sized ? b + r : r) : b, x0 = vertical ? (sized ? b : 0) : b + r;
    for (int y = y0; y < src.absHeight() - y0; ++y)
        for (int x = x0; x < src.width - x0; ++x) {
            float acc[3] = {0, 0, 0};
            for (int k = -r; k <= r; ++k)
                for (int c = 0; c < (sz >= 3 ? 3 : 1); ++c) {
                    const uint8_t* p = vertical ? at(src, x, y + k) : at(src, x + k, y);
                    acc[c] +=
                        coef[size_t(r + k)] * (sz == 2 ? float(load16(p)) * 0.015625f : float(p[sz == 1 ? 0 : c]));
                }
            // Rounded to the source's pixel type (the 0.5 before the scaling for 2 bytes), then converted;
            // a rounded 4-byte pixel carries three channels, so a 4-byte destination keeps its fourth byte.
            uint8_t rounded[4] = {0, 0, 0, 0};
            if (sz == 2) store16(rounded, int((acc[0] + 0.5f) * 64.0f));
            for (int c = 0; sz != 2 && c < (sz == 1 ? 1 : 3); ++c) rounded[c] = uint8_t(int(acc[c] + 0.5f));
            convertPixel(rounded, sz == 4 ? 3 : sz, at(dst, x, y), dst.szPixel);
        }
    return b + r;
}

int gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch) {
    const std::vector<float> coef = gaussCoefficients(sigma, kernelSize(sigma));
    const int b1 = convolve(coef, src, border, scratch, true);
    return std::max(b1, convolve(coef, scratch, border, dst, false));
}

void copy(const dib_base& src, dib_base& dst) {
    for (int y = 0; y < std::min(src.absHeight(), dst.absHeight()); ++y)
        for (int x = 0; x < std::min(src.width, dst.width); ++x)
            convertPixel(at(src, x, y), src.szPixel, at(dst, x, y), dst.szPixel);
}

int gradient(const dib_base& src, int b, dib_base& gx, dib_base& gy, dib_base& dir, dib_base& mag) {
    const int sz = mag.szPixel;
    for (int y = b + 1; y < src.absHeight() - b - 1; ++y)
        for (int x = b + 1; x < src.width - b - 1; ++x) {
            const float fx = difference(src, at(src, x + 1, y), at(src, x - 1, y));
            const float fy = difference(src, at(src, x, y + 1), at(src, x, y - 1));
            const int i = int(fx), j = int(fy);  // exact for integer differences
            uint8_t *ox = at(gx, x, y), *oy = at(gy, x, y), *od = at(dir, x, y), *om = at(mag, x, y);
            // Byte outputs: floats rounded half away from zero, results stored modulo 256.
            auto bytes = [&](auto dx, auto dy, auto half) {
                put(ox, sz, std::abs(int(std::round(dx))), 0);
                put(oy, sz, std::abs(int(std::round(dy))), 0);
                put(om, sz, int(std::sqrt(dx * dx + dy * dy) + half), 0);
                put(od, sz, int(std::round(std::fabs(std::atan2(dy, dx)))), 0);
            };
            if (sz == 2 && src.szPixel != 2) {
                const double a = i == 0 && j == 0 ? 0.0 : std::atan2(double(std::abs(j)), double(std::abs(i)));
                store16(ox, i * 64), store16(oy, j * 64), store16(om, int(std::sqrt(double(i * i + j * j)) * 64.0));
                store16(od, (i >= 0) == (j >= 0) ? int(-64.0 * a) : int(64.0 * a));
            } else if (sz == 2) {
                store16(ox, int(fx * 64.0f)), store16(oy, int(fy * 64.0f));
                store16(om, int(std::sqrt(fx * fx + fy * fy) * 64.0f)), store16(od, int(std::atan2(fy, fx) * 64.0f));
            } else {
                src.szPixel == 2 ? bytes(fx, fy, 0.5f) : bytes(double(i), double(j), 0.5);
            }
        }
    return b + 1;
}

int nms(const dib_base& gxI, const dib_base& gyI, const dib_base& M, int b, dib_base& maskI) {
    for (int y = b + 1; y < M.absHeight() - b - 1; ++y)
        for (int x = b + 1; x < M.width - b - 1; ++x) {
            auto v = [&](int dx, int dy) { return int64_t(intValue(M, x + dx, y + dy)); };
            const int64_t m = v(0, 0), L = v(-1, 0), R = v(1, 0), U = v(0, -1), D = v(0, 1);
            const int64_t UL = v(-1, -1), UR = v(1, -1), DL = v(-1, 1), DR = v(1, 1);
            const int64_t gx = intValue(gxI, x, y), gy = intValue(gyI, x, y), ax = std::abs(gx), ay = std::abs(gy);
            const bool differ = (gx > 0 && gy < 0) || (gx < 0 && gy > 0);
            int64_t A, B;
            if (!differ && ax >= ay)
                A = (m - L) * ax + (L - UL) * ay, B = (m - R) * ax + (R - DR) * ay;
            else if (!differ)
                A = (m - U) * ay + (U - UL) * ax, B = (m - D) * ay + (D - DR) * ax;
            else if (ax >= ay)
                A = (m - L) * ax + (L - DL) * ay, B = (m - R) * ax + (R - UR) * ay;
            else
                A = (m - D) * ay + (D - DL) * ax, B = (m - U) * ay + (U - UR) * ax;
            const bool on = m != 0 && A >= 0 && B > 0;
            put(at(maskI, x, y), maskI.szPixel, on ? 128 : 0, on ? 16384 : 0);
        }
    return b + 1;
}

int histeresis(const dib_base& in, int thHi, int thLo, int b, dib_base& out, std::vector<chain_point>& list) {
    list.clear();
    if (thLo < 0 || thHi < thLo) throw "reference: thresholds outside its domain";
    for (int y = b; y < in.absHeight() - b; ++y)
        for (int x = b; x < in.width - b; ++x)
            if (intValue(out, x, y) == 0 && above(in, x, y, thHi))
                mark(in, out, x, y, list), trace(in, out, x, y, thLo, list);
    return b;
}

int mask(const dib_base& value, const dib_base& maskI, int b, dib_base& out) {
    const uint8_t zero[4] = {0, 0, 0, 0};
    for (int y = b; y < value.absHeight() - b; ++y)
        for (int x = b; x < value.width - b; ++x) {
            const bool on = maskI.bits[int64_t(y) * maskI.szRow + x] != 0;
            convertPixel(on ? at(value, x, y) : zero, on ? value.szPixel : 1, at(out, x, y), out.szPixel);
        }
    return b;
}

int binarize(const dib_base& in, int t, int b, dib_base& out) {
    for (int y = b; y < in.absHeight() - b; ++y)
        for (int x = b; x < in.width - b; ++x) {
            const bool on = above(in, x, y, t);
            put(at(out, x, y), out.szPixel, on ? 255 : 0, on ? 0x777F : 0);
        }
    return b;
}

dib_base image(int w, int h, int szPixel, unsigned seed, bool topDown, bool padded) {
    return doubles::makeImage(w, h, szPixel, seed, topDown, padded ? (szPixel == 2 ? 2 : 3) : 0);
}

dib_base blank(int w, int h, int szPixel) {
    dib_base image(dib_fmt(w, h, szPixel, 0, true));
    dib_fill(image, 0);
    return image;
}

std::string differences(const dib_base& a, const dib_base& b) {
    if (!(a.format() == b.format())) return "formats differ";
    const int64_t o = std::mismatch(a.bits, a.bits + a.byteSize(), b.bits).first - a.bits;
    return o == a.byteSize() ? "" : "row " + std::to_string(o / a.szRow) + " byte " + std::to_string(o % a.szRow) + ": " +
           std::to_string(a.bits[o]) + " vs " + std::to_string(b.bits[o]);
}

bool sameList(const std::vector<chain_point>& a, const std::vector<chain_point>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(chain_point)) == 0);
}

}  // namespace ref
