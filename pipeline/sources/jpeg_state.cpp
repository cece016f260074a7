#include "sources/jpeg_state.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t bit(int i) { return uint64_t(1) << i; }

// Bits 0-3: quantisation tables; 4-11: Huffman tables (DC 0-3, AC 0-3); 12: the restart
// interval; 13: arithmetic conditioning; 14: a comment; 16-31: APP0 to APP15.
uint64_t segmentSets(uint8_t marker, const uint8_t* s, size_t n) {
    uint64_t sets = 0;
    switch (marker) {
        case 0xDB:  // DQT: a byte of precision and id, then 64 values of 1 or 2 bytes, repeated
            for (size_t k = 0; k < n; k += 1 + ((s[k] >> 4) ? 128 : 64)) sets |= bit(s[k] & 3);
            return sets;
        case 0xC4:  // DHT: a byte of class and id, 16 counts, the values, repeated
            for (size_t k = 0; k + 17 <= n;) {
                sets |= bit(4 + 4 * ((s[k] >> 4) & 1) + (s[k] & 3));
                size_t values = 0;
                for (size_t j = 1; j <= 16; ++j) values += s[k + j];
                k += 17 + values;
            }
            return sets;
        case 0xDD:
            return bit(12);
        case 0xCC:
            return bit(13);
        case 0xFE:
            return bit(14);
        default:
            return marker >= 0xE0 && marker <= 0xEF ? bit(16 + marker - 0xE0) : 0;
    }
}

}  // namespace

uint64_t JpegState::setBy(const uint8_t* p, size_t n, bool& whole) {
    const bool starts = n >= 4 && p[0] == 0xFF && p[1] == 0xD8;
    bool ended = false;
    uint64_t sets = 0;
    for (size_t i = 2; starts && i + 1 < n;) {
        if (p[i] != 0xFF) {
            const void* next = std::memchr(p + i, 0xFF, n - i);
            i = next ? size_t(static_cast<const uint8_t*>(next) - p) : n;
            continue;
        }
        const uint8_t m = p[i + 1];
        if (m == 0xFF) {  // fill
            ++i;
            continue;
        }
        // Stuffed data bytes, restart markers, start and end of image, TEM: no length.
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD9)) {
            if (m == 0xD8 || m == 0xD9) ended = m == 0xD9;
            i += 2;
            continue;
        }
        ended = false;
        if (i + 3 >= n) break;
        const size_t length = size_t(p[i + 2]) << 8 | p[i + 3];
        const size_t body = length >= 2 ? std::min(length - 2, n - (i + 4)) : 0;
        sets |= segmentSets(m, p + i + 4, body);
        i += 2 + length;  // after a scan's header its data follows, searched byte by byte
    }
    whole = starts && ended;
    return sets;
}

bool JpegState::standsAlone(const uint8_t* data, size_t size) {
    bool whole = false;
    const uint64_t sets = setBy(data, size, whole);
    const bool alone = whole && (seen_ & ~sets) == 0;
    seen_ |= sets;
    return alone;
}
