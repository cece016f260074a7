// Image format record and image buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Four signed 32-bit words; the same layout crosses the boundary to the host.
struct dib_fmt {
    int32_t szPixel = 1;
    int32_t szRow = 0;
    int32_t width = 0;
    int32_t height = 0;

    dib_fmt() = default;
    // szRow 0 means width * szPixel; bottomUp false stores -height (top-down rows).
    dib_fmt(int width, int height, int szPixel, int szRow, bool bottomUp);

    int32_t absHeight() const { return height < 0 ? -height : height; }
    // abs(height) * szRow, in 64 bits.
    int64_t byteSize() const { return int64_t(absHeight()) * szRow; }
};

// Format equality: width, |height|, szPixel and szRow; the row order is not compared.
bool operator==(const dib_fmt& a, const dib_fmt& b);

// A format the module can hold in memory: szPixel 1..4, width >= 1, height neither 0
// nor INT32_MIN, szRow wide enough for a row, and a byte size below 2^31.
bool dib_fmtIsValid(const dib_fmt& f);

// Throws `message` unless dib_fmtIsValid(f).
void dib_requireValid(const dib_fmt& f, const char* message);

class dib_base : public dib_fmt {
public:
    uint8_t* bits = nullptr;
    uint8_t ownsBits = 0;

    explicit dib_base(const dib_fmt& format, int deferAlloc = 0);
    dib_base(const dib_base& other);
    dib_base& operator=(const dib_base& other);
    ~dib_base();

    const dib_fmt& format() const { return *this; }

    void setFormat(const dib_fmt& format, int deferAlloc);
    void allocate();
    void ensureAllocated();
    void release();
    void setBits(const void* source, uint32_t size);

    uint8_t* row(int32_t y) { return bits + int64_t(y) * szRow; }
    const uint8_t* row(int32_t y) const { return bits + int64_t(y) * szRow; }
};

// Allocates when needed, then sets every byte of the pixel memory (padding included).
void dib_fill(dib_base& image, uint8_t value);

// For a source image handed in by a host: throws `message` when it has no pixel memory.
void dib_requireBits(const dib_base& image, const char* message);
