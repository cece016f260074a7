#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "doubles/recording.h"
#include "framework/ip_window.h"
#include "framework/ip_factory.h"
#include "framework/ip_nop.h"
#include "framework/util_clock.h"
#include "framework/util_time.h"

namespace {

using doubles::thrown;

// Counts reformats so tests can tell when doProcess reformatted.
struct counting : ip_simple {
    static constexpr const char* registeredName = "counting";
    explicit counting(const dib_fmt* f) : ip_simple(f), dst(*f, 0) {}
    const char* name() const override { return registeredName; }
    dib_base* dstDib() override { return &dst; }
    void processSrc(const dib_base*) override { ++frames; }
    void reformat() override { ++reformats; }
    dib_base dst;
    int frames = 0, reformats = 0;
};

TEST(Registry, FixedOrderWhateverTheLinkOrder) {
    std::vector<std::string> names;
    for (ip_creator_base* e : ip_registry()) names.push_back(e->name());
    EXPECT_EQ(names, (std::vector<std::string>{"canny", "canny_w0", "ccTrack", "nop", "flowtrack", "crowd"}));
    EXPECT_STREQ(ip_registry_find("ccTrack")->name(), "ccTrack");
    EXPECT_EQ(ip_registry_find("no such procedure"), nullptr);
    EXPECT_EQ(ip_registry_find(nullptr), nullptr);
}

// Every entry creates what it names. A procedure keeps the record it was built with, and
// its windows close through it even when the thread's record has changed since.
TEST(Registry, EntriesCreateWhatTheyNameWithTheRecordTheyWereGiven) {
    const dib_fmt f(64, 48, 3, 0, true);
    const ip_hostCallbacks* saved = ip_dllAdaptor_callbacks;
    ip_dllAdaptor_callbacks = nullptr;
    for (ip_creator_base* e : ip_registry()) {
        doubles::windowLog().reset();
        std::unique_ptr<ip_base> p(ip_createProcedure(*e, &f, doubles::recordingCallbacks()));
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->name(), e->name());
        EXPECT_EQ(p->hostCallbacks(), doubles::recordingCallbacks());
        EXPECT_EQ(ip_dllAdaptor_callbacks, nullptr);
        const size_t opened = doubles::windowLog().events.size();
        p.reset();
        EXPECT_EQ(doubles::windowLog().events.size(), 2 * opened) << e->name();  // each window destroyed
        if (std::string(e->name()) == "canny") {
            EXPECT_EQ(opened, 4u);
        }
    }
    ip_dllAdaptor_callbacks = saved;
    std::unique_ptr<ip_base> nop(ip_createProcedure(*ip_registry_find("nop"), &f, nullptr));
    EXPECT_EQ(nop->hostCallbacks(), nullptr);
    EXPECT_TRUE(nop->dstDib()->format() == f);
    doubles::windowLog().reset();
}

// Every byte, row padding included; a new size reallocates, a sign-only change keeps the
// order it had; a source without pixels leaves the last destination as it was.
TEST(Nop, CopiesEveryByteAndFollowsTheSource) {
    dib_base src = doubles::makeImage(7, 4, 3, 5, false, 2);
    ip_nop nop(&src.format());
    doubles::Overlay overlay;
    nop.doProcess(&src, nullptr, &overlay);
    EXPECT_TRUE(nop.dstDib()->format() == src.format());
    EXPECT_EQ(std::memcmp(nop.dstDib()->bits, src.bits, size_t(src.byteSize())), 0);
    EXPECT_TRUE(overlay.calls.empty());
    // The base class's dialogue: two lines, nothing read; no profile.
    doubles::Console console({"ignored"});
    doubles::Profiler profiler;
    nop.config(&console), nop.profile(&profiler);
    EXPECT_EQ(console.messages + std::to_string(console.reads) + console.written,
              "The image processing procedure class ip_nop\ndoes not provide configurable parameters\n0");
    EXPECT_TRUE(profiler.reports.empty());

    dib_base wider = doubles::makeImage(6, 4, 1, 2, true);
    nop.doProcess(&wider, nullptr, nullptr);
    EXPECT_EQ(nop.dstDib()->height, -4);
    dib_base flipped = doubles::makeImage(6, 4, 1, 3, false);
    nop.doProcess(&flipped, nullptr, nullptr);
    EXPECT_EQ(nop.dstDib()->height, -4);
    EXPECT_EQ(std::memcmp(nop.dstDib()->bits, flipped.bits, 24), 0);

    dib_base empty(flipped.format(), 1);
    EXPECT_EQ(thrown([&] { nop.doProcess(&empty, nullptr, nullptr); }), "dib_base::setBits - got null ptr on input");
    EXPECT_EQ(std::memcmp(nop.dstDib()->bits, flipped.bits, 24), 0);
}

TEST(Base, ReformatOnlyWhenTheFormatReallyChanges) {
    dib_fmt f(4, 4, 1, 0, true);
    counting p(&f);
    dib_base flipped(dib_fmt(4, 4, 1, 0, false), 0);
    p.doProcess(&flipped, nullptr, nullptr);
    EXPECT_EQ(p.reformats, 0);
    EXPECT_EQ(p.srcFmt()->height, 4);
    p.doReformat(&flipped);
    EXPECT_EQ(p.reformats, 1);
    EXPECT_EQ(p.srcFmt()->height, -4);
    dib_base other(dib_fmt(5, 4, 1, 0, true), 0);
    p.doProcess(&other, nullptr, nullptr);
    EXPECT_EQ(p.reformats, 2);
    EXPECT_EQ(p.frames, 2);
}

TEST(Base, BadFormatsAreRefusedWithAMessage) {
    dib_fmt bad(4, 4, 1, 0, true);
    bad.width = 0;
    EXPECT_EQ(thrown([&] { ip_nop n(&bad); }), "ip_base::ip_base - illegal image format");
    EXPECT_EQ(thrown([&] { ip_nop n(nullptr); }), "ip_base::ip_base - got null ptr on input");
    dib_fmt f(4, 4, 1, 0, true);
    counting p(&f);
    EXPECT_EQ(thrown([&] { p.doReformat(&bad); }), "ip_base::doReformat - illegal image format");
    dib_base src(f, 1);
    src.szRow = 2;
    EXPECT_EQ(thrown([&] { p.doProcess(&src, nullptr, nullptr); }), "ip_base::doProcess - illegal image format");
    src.szRow = 4;
    EXPECT_EQ(thrown([&] { p.doProcess(nullptr, nullptr, nullptr); }), "ip_base::doProcess - got null ptr on input");
    EXPECT_EQ(p.reformats, 0);
    EXPECT_EQ(p.frames, 0);
}

// A counter whose frequency and readings the test sets; installed for its lifetime.
struct FakeClock : util_clock {
    int64_t f = 0, value = 0;
    bool ok = true;
    FakeClock() { util_setClock(this); }
    ~FakeClock() { util_setClock(nullptr); }
    bool frequency(int64_t& out) override { return out = f, ok; }
    int64_t counter() override { return value; }
};

// Readings are shifted down to about 10,000 ticks a second, and a stage that spans the
// 32-bit wrap of the shifted counter still measures right.
TEST(UtilTime, ShiftTicksWrapAndFailures) {
    FakeClock clock;
    const std::tuple<int64_t, int, int64_t> cases[] = {
        {3579545, 8, 13982}, {10000000, 10, 9765}, {2400000000LL, 18, 9155}, {5000, 0, 5000}, {1000, 0, 1000}};
    for (auto [f, shift, tps] : cases) {
        clock.f = f;
        util_time t;
        EXPECT_EQ(std::pair(t.shift(), t.ticksPerSecond()), std::pair(shift, tps)) << f;
    }
    clock.f = 10000000;
    util_time t;
    clock.value = (int64_t(0xFFFFFFF0) << 10) + 5;
    const int64_t a = t.now();
    EXPECT_EQ(a, int64_t(0xFFFFFFF0));
    clock.value += int64_t(40) << 10;
    EXPECT_EQ(util_time::elapsed(a, t.now()), 40);

    clock.f = 999;
    EXPECT_EQ(thrown([] { util_time u; }), "util_time::util_time - frequency <1000");
    clock.f = 0;  // a counter without a frequency, even when the call succeeds
    EXPECT_EQ(thrown([] { util_time u; }), "util_time::util_time - QueryPerformanceCounter returned 0");
    clock.f = 10000000, clock.ok = false;
    EXPECT_EQ(thrown([] { util_time u; }), "util_time::util_time - QueryPerformanceCounter returned 0");
}

}  // namespace
