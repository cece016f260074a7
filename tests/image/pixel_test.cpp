#include <gtest/gtest.h>

#include <string>

#include "doubles/recording.h"
#include "image/dib_access.h"
#include "ops/do_copy.h"

namespace {

TEST(Pixel, GreyValues) {
    EXPECT_EQ(grey(pixel2{95}), 1);
    EXPECT_EQ(grey(pixel2{96}), 2);
    EXPECT_EQ(grey(pixel2{-95}), 0);
    EXPECT_EQ(grey(pixel2{-96}), 1);
    EXPECT_EQ(grey(pixel2{-97}), 1);
    EXPECT_EQ(grey(pixel2{-160}), 2);
    EXPECT_EQ(grey(pixel3{{1, 0, 0}}), 0);
    EXPECT_EQ(grey(pixel3{{1, 1, 0}}), 1);
    EXPECT_EQ(grey(pixel3{{255, 255, 254}}), 255);
    EXPECT_EQ(grey(pixel4{{10, 20, 31, 99}}), 20);
}

TEST(Pixel, ConstructionsWrapWithoutClamping) {
    pixel1 p{};
    setGrey(p, 256);
    EXPECT_EQ(p.v, 0);
    setGrey(p, -1);
    EXPECT_EQ(p.v, 1);
    setGrey(p, 300);
    EXPECT_EQ(p.v, 44);
    pixel2 q{};
    setGrey(q, 255);
    EXPECT_EQ(q.v, 16320);
}

TEST(Pixel, ConversionTableSpotChecks) {
    pixel1 b{};
    convert(pixel2{-100}, b);
    EXPECT_EQ(b.v, 1);
    convert(pixel3{{10, 20, 31}}, b);
    EXPECT_EQ(b.v, 20);
    pixel2 w{};
    convert(pixel1{255}, w);
    EXPECT_EQ(w.v, 16320);
    convert(pixel4{{9, 9, 9, 200}}, w);
    EXPECT_EQ(w.v, 9 * 64);
    pixel4 d{{0, 0, 0, 77}};
    convert(pixel1{5}, d);
    EXPECT_EQ(d.c[0], 5);
    EXPECT_EQ(d.c[3], 77);
    convert(pixel3{{1, 2, 3}}, d);
    EXPECT_EQ(d.c[2], 3);
    EXPECT_EQ(d.c[3], 77);
    convert(pixel4{{4, 5, 6, 7}}, d);
    EXPECT_EQ(d.c[3], 7);
    pixel3 c{};
    convert(pixel2{16320}, c);
    EXPECT_EQ(c.c[1], 255);
}

using doubles::thrown;

TEST(Dispatch, PicksTheInstantiationBySize) {
    for (int sz = 1; sz <= 4; ++sz) {
        dib_base img(dib_fmt(2, 2, sz, 0, true), 0);
        int got = dib_access_dispatch1(img, [](auto tag) { return int(sizeof(typename decltype(tag)::type)); });
        EXPECT_EQ(got, sz);
        for (int sz2 = 1; sz2 <= 4; ++sz2) {
            dib_base other(dib_fmt(2, 2, sz2, 0, true), 0);
            int pair = dib_access_dispatch2(img, other, [](auto a, auto b) {
                return int(10 * sizeof(typename decltype(a)::type) + sizeof(typename decltype(b)::type));
            });
            EXPECT_EQ(pair, 10 * sz + sz2);
        }
    }
}

TEST(Dispatch, UnsupportedSizesThrowTheDispatcherMessage) {
    dib_base good(dib_fmt(2, 2, 1, 0, true), 0);
    dib_base bad(dib_fmt(2, 2, 1, 0, true), 0);
    bad.szPixel = 5;
    auto one = [](auto) { return 0; };
    auto two = [](auto, auto) { return 0; };
    EXPECT_EQ(thrown([&] { dib_access_dispatch1(bad, one); }), "dib_access_dispatch1 - unsupported szPixel");
    EXPECT_EQ(thrown([&] { dib_access_dispatch2(bad, good, two); }), "dib_access_dispatch2 - unsupported szPixel");
    EXPECT_EQ(thrown([&] { dib_access_dispatch2(good, bad, two); }), "dib_access_dispatch2 - unsupported szPixel");
    EXPECT_EQ(thrown([&] { do_copy(good, bad); }), "dib_access_dispatch2 - unsupported szPixel");
    bad.szPixel = 1;
}

TEST(Access, RowsFollowTheStrideInMemoryOrder) {
    dib_base img = doubles::makeImage(5, 3, 3, 7, true, 1);  // szRow 16: not a multiple of 3
    dib_access<pixel3> a(img);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(a.row(2)), img.bits + 32);
    EXPECT_TRUE(dib_sameSize(img, dib_base(dib_fmt(5, 3, 1, 0, true), 1)));
}

// Every pair of pixel sizes against the per-pixel table, odd strides and opposite
// row orders included, and only the common top-left rectangle written.
TEST(DoCopy, EveryPairMatchesTheTable) {
    for (int s = 1; s <= 4; ++s)
        for (int d = 1; d <= 4; ++d) {
            dib_base src = doubles::makeImage(7, 5, s, unsigned(s * 7 + d), false, 3);
            dib_base dst = doubles::makeImage(6, 6, d, 99, true, 1);
            dib_base before(dst);
            do_copy(src, dst);
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 6; ++x) {
                    const uint8_t* sp = src.row(y) + x * s;
                    const uint8_t* dp = dst.row(y) + x * d;
                    std::vector<uint8_t> want(before.row(y) + x * d, before.row(y) + x * d + d);
                    if (y < 5) {
                        dib_base one(dib_fmt(1, 1, d, 0, true), 0);
                        std::copy(want.begin(), want.end(), one.bits);
                        dib_base srcOne(dib_fmt(1, 1, s, 0, true), 0);
                        std::copy(sp, sp + s, srcOne.bits);
                        dib_access_dispatch2(srcOne, one, [&](auto a, auto b) {
                            using S = typename decltype(a)::type;
                            using D = typename decltype(b)::type;
                            convert(*reinterpret_cast<const S*>(srcOne.bits), *reinterpret_cast<D*>(one.bits));
                        });
                        want.assign(one.bits, one.bits + d);
                    }
                    EXPECT_EQ(std::vector<uint8_t>(dp, dp + d), want) << s << "->" << d << " at " << x << "," << y;
                }
        }
}

}  // namespace
