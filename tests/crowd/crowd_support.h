// What the crowd tests share: a procedure with some settings, what it finds in a frame, and
// pictures of random runs of bytes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crowd/ip_crowd.h"
#include "framework/ip_params.h"

namespace crowd_test {

inline std::unique_ptr<ip_crowd> crowd(const dib_fmt& f, std::vector<std::pair<const char*, double>> values = {}) {
    auto p = std::make_unique<ip_crowd>(&f);
    std::string why;
    for (auto [name, value] : values) EXPECT_TRUE(ip_setParam(*p, name, value, why)) << name << ": " << why;
    return p;
}

inline std::vector<ip_objectDetails> found(ip_crowd& p, const dib_base& f) {
    p.doProcess(&f, nullptr, nullptr);
    std::vector<ip_objectDetails> d(size_t(p.details(nullptr, 0)));
    p.details(d.data(), int(d.size()));
    return d;
}

// Stretches of equal bytes of random length, so that runs cross the 64-pixel words.
inline dib_base blocks(int w, int h, int szPixel, std::mt19937& random) {
    dib_base im(dib_fmt(w, h, szPixel, w * szPixel + (w % 3), w % 2 == 0), 0);
    for (int y = 0; y < h; ++y)
        for (int64_t i = 0; i < im.szRow;) {
            const uint8_t v = uint8_t(random());
            for (int64_t n = 1 + random() % 90; n > 0 && i < im.szRow; --n)
                im.row(y)[i++] = uint8_t(v ^ (random() % 4));
        }
    return im;
}

}  // namespace crowd_test
