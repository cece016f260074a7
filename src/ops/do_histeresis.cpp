#include "ops/do_histeresis.h"

#include <algorithm>
#include <bit>
#include <type_traits>

#include "image/dib_access.h"
#include "ops/op_common.h"
#include "ops/op_simd.h"

#ifndef AMBREVO_OPS_DO_HISTERESIS_SCALAR
#define AMBREVO_OPS_DO_HISTERESIS_SCALAR
namespace {
using namespace ops_detail;

// Writes the edge value of input pixel s into output pixel o; returns the strength
// recorded for it.
inline int markPixel(const pixel1& s, pixel1& o) {
    o = s;
    return s.v;
}
inline int markPixel(const pixel2& s, pixel2& o) {
    const int written = int(levelValue(s) * 64.0f);
    o.v = int16_t(written);
    return (written + 32) / 64;
}
template <class P>
inline int markPixel(const P& s, P& o) {
    const int g = grey(s);
    setChannels(o, uint8_t(g));
    return int8_t(uint8_t(g));
}

// One level of the depth-first trace: a pixel and the next of its eight neighbours to try.
struct trace_frame {
    int32_t x, y;
    int32_t next;
};

// The neighbours in the order the trace visits them.
constexpr int kDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kDy[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// The trace stack outlives a call so that ordinary frames do not allocate; a stack grown
// by a pathological frame is given back afterwards.
thread_local std::vector<trace_frame> traceStack;
constexpr size_t kKeptStackFrames = size_t(1) << 16;
}  // namespace
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/do_histeresis.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ops_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The first x in [x, end) of a byte row whose input exceeds `hi` (0..255) and whose output
// is still 0, or end. Most of a frame is no seed: the scan skips it a vector at a time.
int64_t NextSeed8(const uint8_t* in, const uint8_t* out, int64_t x, int64_t end, int hi) {
    const hn::ScalableTag<uint8_t> d;
    const int64_t N = int64_t(hn::Lanes(d));
    const auto threshold = hn::Set(d, uint8_t(hi)), zero = hn::Zero(d);
    for (; x + N <= end; x += N) {
        // in - hi saturates at 0 exactly where in <= hi.
        const auto seed = hn::And(hn::Ne(hn::SaturatedSub(hn::LoadU(d, in + x), threshold), zero),
                                  hn::Eq(hn::LoadU(d, out + x), zero));
        const intptr_t first = hn::FindFirstTrue(d, seed);
        if (first >= 0) return x + first;
    }
    for (; x < end; ++x)
        if (in[x] > hi && out[x] == 0) return x;
    return end;
}

}  // namespace HWY_NAMESPACE
}  // namespace ops_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ops_detail {
HWY_EXPORT(NextSeed8);
}

namespace {
using namespace ops_detail;
}  // namespace

namespace {
// The trace of one marked seed on byte images, in the vector mode: the visiting order of
// the loop in run() (so the same edge-seed list), with the neighbours addressed by fixed
// offsets and the stack indexed directly. On photographs a fifth of the pixels join edges,
// and this loop is most of the frame. The input does not change during the trace, so which
// neighbours pass the low threshold is read once per pixel, branch-free, and kept in the
// frame as bits in visiting order (`next` holds the bits still to try); only those
// neighbours are then tested for having been marked meanwhile.
void traceBytes(const dib_base& input, dib_base& output, int lo, int32_t x, int32_t y, std::vector<chain_point>& list,
                std::vector<trace_frame>& stack) {
    const int64_t inStride = input.szRow, outStride = output.szRow;
    const int32_t W = input.width, H = input.absHeight();
    int64_t inOffset[8], outOffset[8];
    for (int d = 0; d < 8; ++d) inOffset[d] = kDy[d] * inStride + kDx[d], outOffset[d] = kDy[d] * outStride + kDx[d];
    auto candidates = [&](int32_t px, int32_t py) {
        const uint8_t* in = input.bits + py * inStride + px;
        uint32_t bits = 0;
        if (px > 0 && py > 0 && px < W - 1 && py < H - 1) {
            for (int d = 0; d < 8; ++d) bits |= uint32_t(in[inOffset[d]] > lo) << d;
        } else {
            for (int d = 0; d < 8; ++d) {
                const int32_t qx = px + kDx[d], qy = py + kDy[d];
                if (uint32_t(qx) < uint32_t(W) && uint32_t(qy) < uint32_t(H) && in[inOffset[d]] > lo) bits |= 1u << d;
            }
        }
        return int32_t(bits);
    };
    size_t depth = 0;
    auto push = [&](int32_t px, int32_t py, int32_t bits) {
        if (depth == stack.size()) stack.resize(std::max<size_t>(64, 2 * depth));
        stack[depth++] = {px, py, bits};
    };
    push(x, y, candidates(x, y));
    while (depth > 0) {
        trace_frame& f = stack[depth - 1];
        const uint8_t* in = input.bits + f.y * inStride + f.x;
        uint8_t* out = output.bits + f.y * outStride + f.x;
        uint32_t bits = uint32_t(f.next);
        bool descended = false;
        while (bits != 0) {
            const int d = std::countr_zero(bits);
            bits &= bits - 1;
            if (out[outOffset[d]] != 0) continue;
            const uint8_t v = in[inOffset[d]];
            const int32_t qx = f.x + kDx[d], qy = f.y + kDy[d];
            out[outOffset[d]] = v;
            list.push_back(chain_point{v, qx, qy});
            // The pixel just left is marked: not worth a look from its neighbour.
            const int32_t ahead = candidates(qx, qy) & ~(1 << ((d + 4) & 7));
            if (bits == 0) {
                f = {qx, qy, ahead};  // nothing is left to try here: continue from the neighbour in place
            } else {
                f.next = int32_t(bits);
                push(qx, qy, ahead);  // may move the stack; f is not used again before it is read anew
            }
            descended = true;
            break;
        }
        if (!descended) --depth;
    }
}
}  // namespace

HisteresisWorker::HisteresisWorker(const dib_base& input, int th_hi, int th_lo, int border, dib_base& output,
                                   std::vector<chain_point>& list)
    : th_hi_(th_hi),
      th_lo_(th_lo),
      border_(border),
      input_(input),
      output_(output),
      list_(list),
      width_(input.width),
      height_(input.absHeight()) {
    if (!dib_sameSize(input, output)) throw "HisteresisWorker::HisteresisWorker() - got images of different sizes";
    if (th_hi < th_lo) throw "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo";
    // The output is written with the input's pixel type.
    if (input.szPixel != output.szPixel)
        throw "HisteresisWorker::HisteresisWorker() - got images of different pixel sizes";
}

int HisteresisWorker::operator()() {
    dib_access_dispatch1(input_, [&](auto p) { run<typename decltype(p)::type>(); });
    return int(validBorder(border_));
}

template <class P>
void HisteresisWorker::run() {
    // A pixel of value 0 would pass a negative threshold while marking leaves it 0 (so
    // unmarked): thresholds below 0 act as 0, which keeps every marked pixel non-zero.
    const int hi = std::max(th_hi_, 0);
    const int lo = std::max(th_lo_, 0);
    const int64_t b = validBorder(border_);
    const int32_t W = width_, H = height_;
    dib_access<P> in(input_), out(output_);

    auto mark = [&](int32_t x, int32_t y) {
        const int strength = markPixel(in.row(y)[x], out.row(y)[x]);
        list_.push_back(chain_point{strength, x, y});
    };
    // Whether neighbour (x, y) joins the edge; positions outside the image never do.
    auto joins = [&](int32_t x, int32_t y) {
        if (uint32_t(x) >= uint32_t(W) || uint32_t(y) >= uint32_t(H)) return false;
        return rawValue(out.row(y)[x]) == 0 && levelValue(in.row(y)[x]) > lo;
    };

    const bool vectors = std::is_same_v<P, pixel1> && vectorsEnabled();
    std::vector<trace_frame>& stack = traceStack;
    stack.clear();
    for (int64_t sy = b; sy < int64_t(H) - b; ++sy) {
        const int32_t y = int32_t(sy);
        const P* inRow = in.row(y);
        const P* outRow = out.row(y);
        for (int64_t sx = b; sx < int64_t(W) - b; ++sx) {
            if constexpr (std::is_same_v<P, pixel1>) {
                if (vectors) {
                    sx = HWY_DYNAMIC_DISPATCH(NextSeed8)(&inRow->v, &outRow->v, sx, int64_t(W) - b, std::min(hi, 255));
                    if (sx >= int64_t(W) - b) break;
                }
            }
            const int32_t x = int32_t(sx);
            if (rawValue(outRow[x]) != 0 || !(levelValue(inRow[x]) > hi)) continue;
            mark(x, y);
            if constexpr (std::is_same_v<P, pixel1>) {
                if (vectors) {
                    traceBytes(input_, output_, lo, x, y, list_, stack);
                    continue;
                }
            }
            // Depth first, exactly as nested calls would visit: a frame resumes at its
            // next neighbour once the trace below it has finished.
            stack.push_back({x, y, 0});
            while (!stack.empty()) {
                trace_frame& f = stack.back();
                bool descended = false;
                while (f.next < 8) {
                    const int d = f.next++;
                    const int32_t qx = f.x + kDx[d], qy = f.y + kDy[d];
                    if (!joins(qx, qy)) continue;
                    mark(qx, qy);
                    if (d == 7) {
                        // Nothing is left to do here: continue from the last neighbour in place.
                        f = {qx, qy, 0};
                    } else {
                        stack.push_back({qx, qy, 0});
                    }
                    descended = true;
                    break;
                }
                if (!descended) stack.pop_back();
            }
        }
    }
    if (stack.capacity() > kKeptStackFrames) std::vector<trace_frame>().swap(stack);
}

int do_histeresis(const dib_base& input, int th_hi, int th_lo, int border, dib_base& output,
                  std::vector<chain_point>& list) {
    list.clear();
    HisteresisWorker worker(input, th_hi, th_lo, border, output, list);
    return worker();
}
#endif  // HWY_ONCE
