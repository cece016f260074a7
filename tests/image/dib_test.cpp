#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "doubles/recording.h"
#include "image/dib.h"

namespace {

using doubles::thrown;

TEST(DibFmt, RowsOrderEqualityAndValidity) {
    EXPECT_EQ(dib_fmt(641, 10, 3, 0, true).szRow, 1923);
    EXPECT_EQ(dib_fmt(641, 10, 3, 1924, true).szRow, 1924);
    EXPECT_EQ(dib_fmt(640, 480, 3, 0, false).height, -480);
    for (int sz : {0, 5, -1})
        EXPECT_EQ(thrown([&] { dib_fmt(4, 4, sz, 0, true); }), "dib_fmt::dib_fmt: unsupported pixel size");

    const dib_fmt a(10, 8, 1, 0, true);
    EXPECT_TRUE(a == dib_fmt(10, 8, 1, 0, false));  // row order alone does not tell formats apart
    for (const dib_fmt& other : {dib_fmt(11, 8, 1, 0, true), dib_fmt(10, 9, 1, 0, true), dib_fmt(10, 8, 2, 20, true),
                                 dib_fmt(10, 8, 1, 12, true)})
        EXPECT_FALSE(a == other);

    EXPECT_TRUE(dib_fmtIsValid(dib_fmt(1, 1, 1, 0, true)));
    EXPECT_TRUE(dib_fmtIsValid(dib_fmt(3, 2, 3, 12, false)));
    auto with = [](auto change) { dib_fmt g(4, 4, 1, 0, true); change(g); return dib_fmtIsValid(g); };
    EXPECT_FALSE(with([](dib_fmt& g) { g.width = 0; }));
    EXPECT_FALSE(with([](dib_fmt& g) { g.height = 0; }));
    EXPECT_FALSE(with([](dib_fmt& g) { g.height = INT32_MIN; }));
    EXPECT_FALSE(with([](dib_fmt& g) { g.szRow = 3; }));
    EXPECT_FALSE(with([](dib_fmt& g) { g.szPixel = 7; }));
    EXPECT_FALSE(with([](dib_fmt& g) { g.width = 1 << 20; g.szRow = 1 << 22; g.height = 1 << 12; }));
}

TEST(DibBase, DeferredOwnedCopiedAndReleased) {
    dib_fmt f(5, 3, 1, 0, true);
    dib_base deferred(f, 1);
    EXPECT_EQ(deferred.bits, nullptr);

    dib_base a(f, 0);
    ASSERT_NE(a.bits, nullptr);
    for (int i = 0; i < 15; ++i) a.bits[i] = uint8_t(i);
    dib_base b(a);
    ASSERT_NE(b.bits, a.bits);
    EXPECT_EQ(std::memcmp(a.bits, b.bits, 15), 0);
    a.release();
    EXPECT_EQ(a.bits, nullptr);
    EXPECT_EQ(a.ownsBits, 0);

    dib_base padded(dib_fmt(3, 2, 1, 5, true), 1);
    dib_fill(padded, 0xAB);  // allocates, and covers the row padding
    for (int i = 0; i < 10; ++i) EXPECT_EQ(padded.bits[i], 0xAB);
}

TEST(DibBase, SetFormatKeepsSignMemoryAndContentsWhenEqual) {
    dib_base a(dib_fmt(4, 2, 1, 0, true), 0);
    dib_fill(a, 7);
    uint8_t* before = a.bits;
    a.setFormat(dib_fmt(4, 2, 1, 0, false), 0);
    EXPECT_EQ(a.height, 2);
    EXPECT_EQ(a.bits, before);
    EXPECT_EQ(a.bits[7], 7);
    a.setFormat(dib_fmt(5, 2, 1, 0, false), 1);
    EXPECT_EQ(a.bits, nullptr);
    EXPECT_EQ(a.height, -2);
}

TEST(DibBase, BadInputThrowsBeforeAnythingChanges) {
    dib_base a(dib_fmt(3, 2, 2, 0, true), 1);
    std::string src(12, 'x');
    EXPECT_EQ(thrown([&] { a.setBits(nullptr, 11); }), "dib_base::setBits - got null ptr on input");
    EXPECT_EQ(thrown([&] { a.setBits(src.data(), 11); }), "dib_base::setBits - unexpected size of bits");
    EXPECT_EQ(thrown([&] { a.setBits(src.data(), 13); }), "dib_base::setBits - unexpected size of bits");
    EXPECT_EQ(a.bits, nullptr);
    for (int i = 0; i < 12; ++i) src[size_t(i)] = char(i * 3);
    a.setBits(src.data(), 12);
    EXPECT_EQ(std::memcmp(a.bits, src.data(), 12), 0);

    dib_fmt bad(3, 2, 2, 0, true);
    bad.szRow = 5;
    uint8_t* before = a.bits;
    EXPECT_EQ(thrown([&] { a.setFormat(bad, 0); }), "dib_base::setFormat - illegal image format");
    EXPECT_EQ(a.bits, before);
    EXPECT_EQ(a.szRow, 6);
    bad = dib_fmt(3, 2, 1, 0, true);
    bad.height = 0;
    EXPECT_EQ(thrown([&] { dib_base b(bad, 0); }), "dib_base::allocate - illegal image format");
}

}  // namespace
