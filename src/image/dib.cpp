#include "image/dib.h"

#include <climits>
#include <cstring>
#include <new>

#include "interface/ip_layout.h"

// Hosts read and write these records word for word (ip_fmtWords, ip_dibWords).
static_assert(ip_hasFormatWords<dib_fmt>() && sizeof(dib_fmt) == 16);
static_assert(ip_hasImageWords<dib_base>());

dib_fmt::dib_fmt(int width_, int height_, int szPixel_, int szRow_, bool bottomUp) {
    if (szPixel_ < 1 || szPixel_ > 4) throw "dib_fmt::dib_fmt: unsupported pixel size";
    szPixel = szPixel_;
    width = width_;
    height = bottomUp ? height_ : -height_;
    szRow = szRow_ != 0 ? szRow_ : int32_t(int64_t(width_) * szPixel_);
}

bool operator==(const dib_fmt& a, const dib_fmt& b) {
    return a.width == b.width && a.absHeight() == b.absHeight() && a.szPixel == b.szPixel &&
           a.szRow == b.szRow;
}

bool dib_fmtIsValid(const dib_fmt& f) {
    if (f.szPixel < 1 || f.szPixel > 4) return false;
    if (f.width < 1 || f.height == 0 || f.height == INT32_MIN) return false;
    if (int64_t(f.szRow) < int64_t(f.width) * f.szPixel) return false;
    return f.byteSize() <= INT32_MAX;
}

void dib_requireValid(const dib_fmt& f, const char* message) {
    if (!dib_fmtIsValid(f)) throw message;
}

dib_base::dib_base(const dib_fmt& format, int deferAlloc) : dib_fmt(format) {
    if (deferAlloc == 0) allocate();
}

dib_base::dib_base(const dib_base& other) : dib_fmt(other.format()) {
    if (other.bits) setBits(other.bits, uint32_t(other.byteSize()));
}

dib_base& dib_base::operator=(const dib_base& other) {
    if (this == &other) return *this;
    setFormat(other.format(), 0);
    if (other.bits) setBits(other.bits, uint32_t(other.byteSize()));
    return *this;
}

dib_base::~dib_base() { release(); }

void dib_base::setFormat(const dib_fmt& format, int deferAlloc) {
    if (format == this->format()) {
        if (deferAlloc == 0) ensureAllocated();
        return;
    }
    dib_requireValid(format, "dib_base::setFormat - illegal image format");
    release();
    static_cast<dib_fmt&>(*this) = format;
    if (deferAlloc == 0) allocate();
}

void dib_base::allocate() {
    dib_requireValid(*this, "dib_base::allocate - illegal image format");
    release();
    uint8_t* memory = new (std::nothrow) uint8_t[size_t(byteSize())];
    if (!memory) throw "dib_base::allocate - out of memory";
    bits = memory;
    ownsBits = 1;
}

void dib_base::ensureAllocated() {
    if (!bits) allocate();
}

void dib_base::release() {
    if (bits && ownsBits) {
        delete[] bits;
        bits = nullptr;
        ownsBits = 0;
    }
}

void dib_base::setBits(const void* source, uint32_t size) {
    if (!source) throw "dib_base::setBits - got null ptr on input";
    if (int64_t(size) != byteSize()) throw "dib_base::setBits - unexpected size of bits";
    ensureAllocated();
    std::memcpy(bits, source, size);
}

void dib_fill(dib_base& image, uint8_t value) {
    image.ensureAllocated();
    std::memset(image.bits, value, size_t(image.byteSize()));
}

void dib_requireBits(const dib_base& image, const char* message) {
    if (!image.bits) throw message;
}
