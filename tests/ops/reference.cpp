#include "reference.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "doubles/recording.h"

namespace ref {

uint8_t* at(const dib_base& image, int x, int y) {
    return image.bits + int64_t(y) * image.szRow + int64_t(x) * image.szPixel;
}

int16_t load16(const uint8_t* p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void store16(uint8_t* p, int v) {
    const int16_t s = int16_t(uint16_t(unsigned(v)));
    std::memcpy(p, &s, 2);
}

int greyOf(const uint8_t* p, int szPixel) {
    switch (szPixel) {
        case 1: return p[0];
        case 2: return std::abs((load16(p) + 32) / 64);
        default: return (2 * (p[0] + p[1] + p[2]) + 3) / 6;
    }
}

void convertPixel(const uint8_t* s, int szS, uint8_t* d, int szD) {
    if (szS == szD) {
        std::memcpy(d, s, size_t(szS));
        return;
    }
    const int g = szS == 1 ? s[0] : greyOf(s, szS);
    if (szD == 1) {
        d[0] = uint8_t(g);
    } else if (szD == 2) {
        store16(d, g * 64);
    } else if (szS >= 3) {
        d[0] = s[0], d[1] = s[1], d[2] = s[2];
    } else {
        d[0] = d[1] = d[2] = uint8_t(g);
    }
}

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

namespace {

float channelValue(const dib_base& im, int x, int y, int ch) {
    const uint8_t* p = at(im, x, y);
    if (im.szPixel == 2) return float(load16(p)) * 0.015625f;
    return float(p[im.szPixel == 1 ? 0 : ch]);
}

int channelsOf(int szPixel) { return szPixel >= 3 ? 3 : 1; }

// Rounds to the source's pixel type, then converts into the destination pixel.
void writeAccumulator(const float* acc, int szS, uint8_t* d, int szD) {
    uint8_t tmp[4] = {0, 0, 0, 0};
    switch (szS) {
        case 1: tmp[0] = uint8_t(int(acc[0] + 0.5f)); break;
        case 2: store16(tmp, int((acc[0] + 0.5f) * 64.0f)); break;
        default:
            for (int c = 0; c < 3; ++c) tmp[c] = uint8_t(int(acc[c] + 0.5f));
    }
    // A rounded 4-byte pixel carries three channels; the destination's fourth byte stays.
    if (szS == 4) szS = 3;
    convertPixel(tmp, szS, d, szD);
}

void requireSameSize(const dib_base& a, const dib_base& b, const char* message) {
    if (a.width != b.width || a.absHeight() != b.absHeight()) throw message;
}

}  // namespace

int convolveV(const std::vector<float>& coef, const dib_base& src, int b, dib_base& dst) {
    requireSameSize(src, dst, "ConvolveWorker::operator() - got images of different sizes");
    const int size = int(coef.size()), r = size / 2, W = src.width, H = src.absHeight();
    int y0 = r, y1 = H - r, x0 = 0, x1 = W;
    if (size == 7 || size == 9 || size == 11) y0 = b + r, y1 = H - b - r, x0 = b, x1 = W - b;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            float acc[3] = {0, 0, 0};
            for (int k = -r; k <= r; ++k)
                for (int c = 0; c < channelsOf(src.szPixel); ++c)
                    acc[c] += coef[size_t(r + k)] * channelValue(src, x, y + k, c);
            writeAccumulator(acc, src.szPixel, at(dst, x, y), dst.szPixel);
        }
    return b + r;
}

int convolveH(const std::vector<float>& coef, const dib_base& src, int b, dib_base& dst) {
    requireSameSize(src, dst, "ConvolveWorker::operator() - got images of different sizes");
    const int size = int(coef.size()), r = size / 2, W = src.width, H = src.absHeight();
    for (int y = b; y < H - b; ++y)
        for (int x = b + r; x < W - b - r; ++x) {
            float acc[3] = {0, 0, 0};
            for (int k = -r; k <= r; ++k)
                for (int c = 0; c < channelsOf(src.szPixel); ++c)
                    acc[c] += coef[size_t(r + k)] * channelValue(src, x + k, y, c);
            writeAccumulator(acc, src.szPixel, at(dst, x, y), dst.szPixel);
        }
    return b + r;
}

int gauss(const dib_base& src, int border, float sigma, dib_base& dst, dib_base& scratch) {
    const std::vector<float> coef = gaussCoefficients(sigma, kernelSize(sigma));
    const int b1 = convolveV(coef, src, border, scratch);
    const int b2 = convolveH(coef, scratch, border, dst);
    return b1 > b2 ? b1 : b2;
}

void copy(const dib_base& src, dib_base& dst) {
    const int w = std::min(src.width, dst.width), h = std::min(src.absHeight(), dst.absHeight());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) convertPixel(at(src, x, y), src.szPixel, at(dst, x, y), dst.szPixel);
}

namespace {

// A difference of two neighbours: an int, or a float for 2-byte sources.
struct difference {
    bool isFloat;
    int i;
    float f;
};

difference differenceOf(const dib_base& src, int px, int py, int qx, int qy) {
    const uint8_t* p = at(src, px, py);
    const uint8_t* q = at(src, qx, qy);
    switch (src.szPixel) {
        case 1: return {false, int(p[0]) - int(q[0]), 0};
        case 2: {
            const float d = float(load16(p)) * 0.015625f - float(load16(q)) * 0.015625f;
            const int16_t v = int16_t(int((d + 0.5f) * 64.0f));
            return {true, 0, float(v) * 0.015625f};
        }
        default: {
            const int d0 = p[0] - q[0], d1 = p[1] - q[1], d2 = p[2] - q[2];
            const double s = std::sqrt(double(d0 * d0 + d1 * d1 + d2 * d2) / 3.0);
            return {false, d0 + d1 + d2 >= 0 ? int(s + 0.5) : int(-s + 0.5), 0};
        }
    }
}

void writeByteValue(uint8_t* p, int szPixel, int value) {
    const uint8_t v = uint8_t(value);
    if (szPixel == 1) {
        p[0] = v;
    } else {
        p[0] = p[1] = p[2] = v;
    }
}

}  // namespace

int gradient(const dib_base& src, int b, dib_base& gx, dib_base& gy, dib_base& dir, dib_base& mag) {
    requireSameSize(src, mag, "do_gradient() - got images of different sizes");
    const int W = src.width, H = src.absHeight(), sz = mag.szPixel;
    for (int y = b + 1; y < H - b - 1; ++y)
        for (int x = b + 1; x < W - b - 1; ++x) {
            const difference dx = differenceOf(src, x + 1, y, x - 1, y);
            const difference dy = differenceOf(src, x, y + 1, x, y - 1);
            uint8_t* ox = at(gx, x, y);
            uint8_t* oy = at(gy, x, y);
            uint8_t* od = at(dir, x, y);
            uint8_t* om = at(mag, x, y);
            if (sz == 2 && !dx.isFloat) {
                const int i = std::abs(dx.i), j = std::abs(dy.i);
                store16(ox, dx.i * 64);
                store16(oy, dy.i * 64);
                store16(om, int(std::sqrt(double(i * i + j * j)) * 64.0));
                const double a = (i == 0 && j == 0) ? 0.0 : std::atan2(double(j), double(i));
                store16(od, (dx.i >= 0) == (dy.i >= 0) ? int(-64.0 * a) : int(64.0 * a));
            } else if (sz == 2) {
                store16(ox, int(dx.f * 64.0f));
                store16(oy, int(dy.f * 64.0f));
                store16(om, int(std::sqrt(dx.f * dx.f + dy.f * dy.f) * 64.0f));
                store16(od, int(std::atan2(dy.f, dx.f) * 64.0f));
            } else if (!dx.isFloat) {
                writeByteValue(ox, sz, std::abs(dx.i));
                writeByteValue(oy, sz, std::abs(dy.i));
                writeByteValue(om, sz, int(std::sqrt(double(dx.i * dx.i + dy.i * dy.i)) + 0.5));
                writeByteValue(od, sz, int(std::round(std::fabs(std::atan2(double(dy.i), double(dx.i))))));
            } else {
                writeByteValue(ox, sz, std::abs(int(std::round(dx.f))));
                writeByteValue(oy, sz, std::abs(int(std::round(dy.f))));
                writeByteValue(om, sz, int(std::sqrt(dx.f * dx.f + dy.f * dy.f) + 0.5f));
                writeByteValue(od, sz, int(std::round(std::fabs(std::atan2(dy.f, dx.f)))));
            }
        }
    return b + 1;
}

namespace {
int64_t intValue(const dib_base& im, int x, int y) {
    const uint8_t* p = at(im, x, y);
    switch (im.szPixel) {
        case 1: return p[0];
        case 2: return load16(p);
        default: return greyOf(p, im.szPixel);
    }
}
}  // namespace

int nms(const dib_base& gxI, const dib_base& gyI, const dib_base& M, int b, dib_base& maskI) {
    requireSameSize(M, maskI, "do_nms() - got images of different sizes");
    const int W = M.width, H = M.absHeight();
    for (int y = b + 1; y < H - b - 1; ++y)
        for (int x = b + 1; x < W - b - 1; ++x) {
            const int64_t m = intValue(M, x, y);
            const int64_t L = intValue(M, x - 1, y), R = intValue(M, x + 1, y);
            const int64_t U = intValue(M, x, y - 1), D = intValue(M, x, y + 1);
            const int64_t UL = intValue(M, x - 1, y - 1), UR = intValue(M, x + 1, y - 1);
            const int64_t DL = intValue(M, x - 1, y + 1), DR = intValue(M, x + 1, y + 1);
            const int64_t gx = intValue(gxI, x, y), gy = intValue(gyI, x, y);
            const int64_t ax = std::llabs(gx), ay = std::llabs(gy);
            bool on = false;
            if (m != 0) {
                const bool differ = (gx > 0 && gy < 0) || (gx < 0 && gy > 0);
                int64_t A, B;
                if (!differ && ax >= ay) {
                    A = (m - L) * ax + (L - UL) * ay;
                    B = (m - R) * ax + (R - DR) * ay;
                } else if (!differ) {
                    A = (m - U) * ay + (U - UL) * ax;
                    B = (m - D) * ay + (D - DR) * ax;
                } else if (ax >= ay) {
                    A = (m - L) * ax + (L - DL) * ay;
                    B = (m - R) * ax + (R - UR) * ay;
                } else {
                    A = (m - D) * ay + (D - DL) * ax;
                    B = (m - U) * ay + (U - UR) * ax;
                }
                on = A >= 0 && B > 0;
            }
            uint8_t* o = at(maskI, x, y);
            switch (maskI.szPixel) {
                case 1: o[0] = on ? 128 : 0; break;
                case 2: store16(o, on ? 16384 : 0); break;
                default: o[0] = o[1] = o[2] = on ? 128 : 0;
            }
        }
    return b + 1;
}

namespace {

struct hysteresis {
    const dib_base& in;
    dib_base& out;
    int lo;
    std::vector<chain_point>& list;

    bool unmarked(int x, int y) const {
        const uint8_t* p = at(out, x, y);
        switch (out.szPixel) {
            case 1: return p[0] == 0;
            case 2: return load16(p) == 0;
            default: return greyOf(p, out.szPixel) == 0;
        }
    }
    bool above(int x, int y, int th) const {
        const uint8_t* p = at(in, x, y);
        switch (in.szPixel) {
            case 1: return p[0] > th;
            case 2: return float(load16(p)) * 0.015625f > float(th);
            default: return greyOf(p, in.szPixel) > th;
        }
    }
    void mark(int x, int y) {
        const uint8_t* s = at(in, x, y);
        uint8_t* d = at(out, x, y);
        int strength;
        switch (in.szPixel) {
            case 1:
                d[0] = s[0];
                strength = s[0];
                break;
            case 2: {
                const int written = int(float(load16(s)) * 0.015625f * 64.0f);
                store16(d, written);
                strength = (written + 32) / 64;
                break;
            }
            default: {
                const int g = greyOf(s, in.szPixel);
                d[0] = d[1] = d[2] = uint8_t(g);
                strength = int8_t(uint8_t(g));
            }
        }
        list.push_back({strength, x, y});
    }
    void trace(int x, int y) {
        static const int dx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
        static const int dy[8] = {0, 1, 1, 1, 0, -1, -1, -1};
        for (int d = 0; d < 8; ++d) {
            const int qx = x + dx[d], qy = y + dy[d];
            if (qx < 0 || qy < 0 || qx >= in.width || qy >= in.absHeight()) continue;
            if (unmarked(qx, qy) && above(qx, qy, lo)) {
                mark(qx, qy);
                trace(qx, qy);
            }
        }
    }
};

}  // namespace

int histeresis(const dib_base& in, int thHi, int thLo, int b, dib_base& out, std::vector<chain_point>& list) {
    list.clear();
    requireSameSize(in, out, "HisteresisWorker::HisteresisWorker() - got images of different sizes");
    if (thHi < thLo) throw "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo";
    if (thLo < 0) throw "reference: negative thresholds are outside its domain";
    hysteresis h{in, out, thLo, list};
    for (int y = b; y < in.absHeight() - b; ++y)
        for (int x = b; x < in.width - b; ++x)
            if (h.unmarked(x, y) && h.above(x, y, thHi)) {
                h.mark(x, y);
                h.trace(x, y);
            }
    return b;
}

int mask(const dib_base& value, const dib_base& maskI, int b, dib_base& out) {
    requireSameSize(value, maskI, "do_mask() - got images of different sizes");
    for (int y = b; y < value.absHeight() - b; ++y)
        for (int x = b; x < value.width - b; ++x) {
            if (maskI.bits[int64_t(y) * maskI.szRow + x] != 0) {
                convertPixel(at(value, x, y), value.szPixel, at(out, x, y), out.szPixel);
            } else {
                const uint8_t zero[4] = {0, 0, 0, 0};
                convertPixel(zero, 1, at(out, x, y), out.szPixel);
            }
        }
    return b;
}

int binarize(const dib_base& in, int t, int b, dib_base& out) {
    requireSameSize(in, out, "do_binarize() - got images of different sizes");
    for (int y = b; y < in.absHeight() - b; ++y)
        for (int x = b; x < in.width - b; ++x) {
            const uint8_t* p = at(in, x, y);
            bool on;
            switch (in.szPixel) {
                case 1: on = p[0] > t; break;
                case 2: on = float(load16(p)) * 0.015625f > float(t); break;
                default: on = greyOf(p, in.szPixel) > t;
            }
            uint8_t* o = at(out, x, y);
            switch (out.szPixel) {
                case 1: o[0] = on ? 255 : 0; break;
                case 2: store16(o, on ? 0x777F : 0); break;
                default: o[0] = o[1] = o[2] = on ? 255 : 0;
            }
        }
    return b;
}

dib_base image(int w, int h, int szPixel, unsigned seed, bool topDown, int extraRowBytes) {
    return doubles::makeImage(w, h, szPixel, seed, topDown, extraRowBytes);
}

std::string differences(const dib_base& a, const dib_base& b) {
    if (!(a.format() == b.format())) return "formats differ";
    for (int y = 0; y < a.absHeight(); ++y)
        for (int i = 0; i < a.szRow; ++i) {
            const uint8_t u = a.bits[int64_t(y) * a.szRow + i], v = b.bits[int64_t(y) * b.szRow + i];
            if (u != v) {
                std::ostringstream s;
                s << "row " << y << " byte " << i << " (x " << i / a.szPixel << "): " << int(u) << " vs " << int(v);
                return s.str();
            }
        }
    return "";
}

}  // namespace ref
