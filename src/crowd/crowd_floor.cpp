#include "crowd/crowd_floor.h"

#include "image/dib_access.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr int kBlock = 32;

// The floor of the block at block column bx, row by: its pixels' `share` point.
int blockValue(const dib_base& grey, int bx, int by, double share) {
    std::array<uint32_t, 256> histogram{};
    const int32_t x1 = std::min(grey.width, (bx + 1) * kBlock), y1 = std::min(grey.absHeight(), (by + 1) * kBlock);
    uint32_t total = 0;
    for (int32_t y = by * kBlock; y < y1; y += 2) {
        const uint8_t* row = grey.row(y);
        for (int32_t x = bx * kBlock; x < x1; x += 2) ++histogram[row[x]], ++total;
    }
    const double wanted = share * total;
    uint32_t seen = 0;
    for (int v = 0; v < 256; ++v)
        if ((seen += histogram[size_t(v)]) > wanted) return v;
    return 255;
}

// Where position p (a pixel's) lies between the centres of the blocks on either side:
// the lower block's index and the upper one's weight in 1/1024ths.
void between(int32_t p, int blocks, int& lower, int& weight) {
    const int64_t scaled = int64_t(p) * 1024 - (kBlock / 2) * 1024 + 512;  // 1024 * (p - centre of block 0)
    const int64_t at = std::max<int64_t>(0, scaled);
    lower = int(std::min<int64_t>(at / (kBlock * 1024), blocks - 1));
    weight = lower + 1 < blocks && scaled > 0 ? int((at - int64_t(lower) * kBlock * 1024) / kBlock) : 0;
    weight = std::clamp(weight, 0, 1024);
}

}  // namespace

void crowd_blockFloor(const dib_base& grey, int polarity, dib_base& floor) {
    if (!dib_sameSize(grey, floor) || grey.szPixel != 1 || floor.szPixel != 1)
        throw "crowd_blockFloor - got images of different sizes";
    const double share = polarity == 0 ? 0.7 : polarity == 1 ? 0.3 : 0.5;
    const int cols = (grey.width + kBlock - 1) / kBlock, rows = (grey.absHeight() + kBlock - 1) / kBlock;
    std::vector<int> value(size_t(cols) * size_t(rows));
    for (int by = 0; by < rows; ++by)
        for (int bx = 0; bx < cols; ++bx) value[size_t(by) * size_t(cols) + size_t(bx)] = blockValue(grey, bx, by, share);
    std::vector<int> lowerX(size_t(grey.width)), weightX(size_t(grey.width));
    for (int32_t x = 0; x < grey.width; ++x) between(x, cols, lowerX[size_t(x)], weightX[size_t(x)]);
    for (int32_t y = 0; y < grey.absHeight(); ++y) {
        int by = 0, wy = 0;
        between(y, rows, by, wy);
        const int* top = &value[size_t(by) * size_t(cols)];
        const int* bottom = &value[size_t(std::min(by + 1, rows - 1)) * size_t(cols)];
        uint8_t* out = floor.row(y);
        for (int32_t x = 0; x < grey.width; ++x) {
            const int bx = lowerX[size_t(x)], wx = weightX[size_t(x)], nx = std::min(bx + 1, cols - 1);
            const int64_t upper = int64_t(top[bx]) * (1024 - wx) + int64_t(top[nx]) * wx;
            const int64_t lower = int64_t(bottom[bx]) * (1024 - wx) + int64_t(bottom[nx]) * wx;
            out[x] = uint8_t((upper * (1024 - wy) + lower * wy + (1 << 19)) >> 20);
        }
    }
}
