#include "crowd/crowd_floor.h"

#include <algorithm>

namespace {

constexpr int kBlock = 32;

// Where position p (a pixel's) lies between the centres of two neighbouring blocks: the
// lower block's index and the upper one's weight in 1/1024ths. Before the first centre and
// after the last the weight runs on past 0 or 1024, so that a slope of the light carries on
// to the picture's edge rather than stopping half a block short of it.
void between(int32_t p, int blocks, int& lower, int& weight) {
    const int64_t scaled = int64_t(p) * 1024 - (kBlock / 2) * 1024 + 512;  // 1024 * (p - centre of block 0)
    if (blocks < 2) {
        lower = 0, weight = 0;
        return;
    }
    const int64_t block = std::clamp<int64_t>(scaled >= 0 ? scaled / (kBlock * 1024) : -1, 0, blocks - 2);
    lower = int(block);
    weight = int((scaled - block * kBlock * 1024) / kBlock);
}

// The histogram's median, or -1 when it is empty.
int median(const uint16_t* histogram) {
    uint32_t total = 0, seen = 0;
    for (int v = 0; v < 256; ++v) total += histogram[v];
    for (int v = 0; v < 256; ++v)
        if (2 * (seen += histogram[v]) > total) return v;
    return -1;
}

// Blocks without a value (-1) take the mean of their neighbours that have one, ring after
// ring; when none has, every block is the mid grey.
void fillEmpty(std::vector<int>& value, int cols, int rows) {
    bool any = false;
    for (int v : value) any = any || v >= 0;
    if (!any) return std::fill(value.begin(), value.end(), 128);
    for (bool missing = true; missing;) {
        missing = false;
        std::vector<int> next(value);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                if (value[size_t(r * cols + c)] >= 0) continue;
                int sum = 0, n = 0;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc) {
                        const int rr = r + dr, cc = c + dc;
                        if (rr < 0 || cc < 0 || rr >= rows || cc >= cols || value[size_t(rr * cols + cc)] < 0) continue;
                        sum += value[size_t(rr * cols + cc)], ++n;
                    }
                if (n > 0)
                    next[size_t(r * cols + c)] = (sum + n / 2) / n;
                else
                    missing = true;
            }
        value.swap(next);
    }
}

}  // namespace

void crowd_floorGuess::restart(const dib_fmt& format) {
    width_ = format.width, height_ = format.absHeight();
    cols_ = (width_ + kBlock - 1) / kBlock, rows_ = (height_ + kBlock - 1) / kBlock;
    counts_.assign(size_t(cols_) * size_t(rows_) * 256, 0);
}

void crowd_floorGuess::add(const dib_base& grey, const uint8_t* skip) {
    if (grey.width != width_ || grey.absHeight() != height_ || grey.szPixel != 1)
        throw "crowd_floorGuess::add - got a frame of another size";
    if (counts_.empty()) restart(grey.format());
    for (int32_t y = 0; y < height_; y += 2) {
        const uint8_t* row = grey.row(y);
        uint16_t* blocks = &counts_[size_t(y / kBlock) * size_t(cols_) * 256];
        const uint8_t* out = skip ? skip + size_t(y) * size_t(width_) : nullptr;
        for (int32_t x = 0; x < width_; x += 2)
            if (!out || !out[x]) ++blocks[size_t(x / kBlock) * 256 + row[x]];
    }
}

void crowd_floorGuess::guess(dib_base& floor) const {
    if (floor.width != width_ || floor.absHeight() != height_ || floor.szPixel != 1 || counts_.empty())
        throw "crowd_floorGuess::guess - nothing added for frames of this size";
    std::vector<int> value(size_t(cols_) * size_t(rows_));
    for (size_t b = 0; b < value.size(); ++b) value[b] = median(&counts_[b * 256]);
    fillEmpty(value, cols_, rows_);
    std::vector<int> lowerX(static_cast<size_t>(width_)), weightX(static_cast<size_t>(width_));
    for (int32_t x = 0; x < width_; ++x) between(x, cols_, lowerX[size_t(x)], weightX[size_t(x)]);
    for (int32_t y = 0; y < height_; ++y) {
        int by = 0, wy = 0;
        between(y, rows_, by, wy);
        const int* top = &value[size_t(by) * size_t(cols_)];
        const int* bottom = &value[size_t(std::min(by + 1, rows_ - 1)) * size_t(cols_)];
        uint8_t* out = floor.row(y);
        for (int32_t x = 0; x < width_; ++x) {
            const int bx = lowerX[size_t(x)], wx = weightX[size_t(x)], nx = std::min(bx + 1, cols_ - 1);
            const int64_t upper = int64_t(top[bx]) * (1024 - wx) + int64_t(top[nx]) * wx;
            const int64_t lower = int64_t(bottom[bx]) * (1024 - wx) + int64_t(bottom[nx]) * wx;
            const int64_t v = upper * (1024 - wy) + lower * wy;
            out[x] = uint8_t(std::clamp<int64_t>((v + (1 << 19)) >> 20, 0, 255));
        }
    }
}
