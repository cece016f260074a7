// The fuzz targets read their input as a stream of choices. Past the end every read
// answers 0, so any input, even an empty one, is a complete program, and a shorter
// input is a prefix of the same program (which keeps libFuzzer's reductions meaningful).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A choice among n (1..65536) alternatives.
    uint32_t pick(uint32_t n) {
        uint32_t v = n > 256 ? uint32_t(byte()) << 8 | byte() : byte();
        return v % n;
    }
    bool chance(uint32_t outOf) { return pick(outOf) == 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    bool done() const { return pos_ >= size_; }
    size_t left() const { return size_ - pos_; }

    // Mostly small numbers, now and then one at an edge of the 32-bit range.
    int32_t number(int32_t smallest, int32_t largest) {
        static const int64_t edges[] = {0, 1, -1, 2, -2, 255, 256, 65535, 65536, 1 << 20, INT_MAX, INT_MIN,
                                        INT_MAX - 1, INT_MIN + 1, 1 << 30, -(1 << 30), 46341, -46341};
        uint8_t mode = byte();
        if (mode < 200) return smallest + int32_t(pick(uint32_t(int64_t(largest) - smallest + 1)));
        if (mode < 240) return int32_t(edges[pick(sizeof edges / sizeof edges[0])]);
        return int32_t(word());
    }

    // Up to `most` arbitrary bytes (NUL included).
    std::string bytes(size_t most) {
        size_t n = pick(uint32_t(most + 1));
        std::string s;
        for (size_t i = 0; i < n && !done(); ++i) s += char(byte());
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Exactly `size` bytes on the heap, so that a read one past the end is a sanitizer report.
struct Buffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    explicit Buffer(size_t n) : bytes(n ? new uint8_t[n] : nullptr), size(n) {}
};

}  // namespace fuzz
