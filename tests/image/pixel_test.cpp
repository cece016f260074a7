#include <gtest/gtest.h>


#include "doubles/recording.h"
#include "image/dib_access.h"
#include "ops/do_copy.h"

namespace {

// The grey rules are the pixel formats' definitions (signed 16-bit pixels scale by 64 and
// round, colours take the middle of their sorted channels), so they are pinned as values.
TEST(Pixel, GreyReadsAndWritesWrapWithoutClamping) {
    const std::pair<int, int> signed16[] = {{95, 1}, {96, 2}, {-95, 0}, {-96, 1}, {-97, 1}, {-160, 2}};
    for (auto [v, g] : signed16) EXPECT_EQ(grey(pixel2{int16_t(v)}), g) << v;
    EXPECT_EQ(grey(pixel3{{1, 0, 0}}), 0);
    EXPECT_EQ(grey(pixel3{{1, 1, 0}}), 1);
    EXPECT_EQ(grey(pixel3{{255, 255, 254}}), 255);
    EXPECT_EQ(grey(pixel4{{10, 20, 31, 99}}), 20);
    pixel1 p{};
    for (auto [in, out] : {std::pair{256, 0}, {-1, 1}, {300, 44}}) {
        setGrey(p, in);
        EXPECT_EQ(p.v, out) << in;
    }
    pixel2 q{};
    setGrey(q, 255);
    EXPECT_EQ(q.v, 16320);
}

// Which instantiation runs for each pixel size is what every kernel sweep over the sizes
// shows; here the sizes no kernel has.
TEST(Dispatch, RefusesPixelSizesWithoutAKernel) {
    dib_base good(dib_fmt(2, 2, 1, 0, true), 0);
    dib_base bad(dib_fmt(2, 2, 1, 0, true), 0);
    bad.szPixel = 5;
    EXPECT_EQ(doubles::thrown([&] { dib_access_dispatch1(bad, [](auto) { return 0; }); }),
              "dib_access_dispatch1 - unsupported szPixel");
    EXPECT_EQ(doubles::thrown([&] { do_copy(good, bad); }), "dib_access_dispatch2 - unsupported szPixel");
    EXPECT_NE(doubles::thrown([&] { do_copy(bad, good); }), "");
    bad.szPixel = 1;
}

}  // namespace
