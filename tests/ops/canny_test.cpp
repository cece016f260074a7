#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adaptor/ip_window.h"
#include "doubles/recording.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"
#include "reference.h"

namespace {

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "(nothing thrown)";
}

// A colour frame with a bright rectangle, a mid-grey disc and a little noise.
dib_base scene(int w, int h, int shift, bool topDown = true, int extraRowBytes = 3) {
    dib_base frame = doubles::makeImage(w, h, 3, unsigned(shift + 1), topDown, extraRowBytes);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = ref::at(frame, x, y);
            int v = 40;
            if (x > w / 5 + shift && x < w / 2 + shift && y > h / 4 && y < (3 * h) / 4) v = 200;
            const int dx = x - (3 * w) / 4, dy = y - h / 2 - shift;
            if (dx * dx + dy * dy < (h * h) / 16) v = 120;
            for (int c = 0; c < 3; ++c) p[c] = uint8_t(v + p[c] % 9 - 4);
        }
    return frame;
}

// The pipeline built from the reference operators, on images that start at 0 (as the
// procedure's do after construction on a blank frame).
struct reference_canny {
    int w, h;
    dib_base scratch, smoothed, gx, gy, dir, mag, mask, suppressed, edges, binarized;
    std::vector<chain_point> seeds;
    int border = 0;

    static dib_base blank(int w, int h, int sz) {
        dib_base image(dib_fmt(w, h, sz, 0, true));
        dib_fill(image, 0);
        return image;
    }
    reference_canny(int w_, int h_)
        : w(w_), h(h_), scratch(blank(w, h, 1)), smoothed(blank(w, h, 1)), gx(blank(w, h, 2)), gy(blank(w, h, 2)),
          dir(blank(w, h, 2)), mag(blank(w, h, 2)), mask(blank(w, h, 1)), suppressed(blank(w, h, 1)),
          edges(blank(w, h, 1)), binarized(blank(w, h, 1)) {}

    void run(const dib_base& src, float sigma, int hi, int lo) {
        int b = 0;
        if (sigma == 0.0f)
            ref::copy(src, smoothed);
        else
            b = ref::gauss(src, 0, sigma, smoothed, scratch);
        b = ref::gradient(smoothed, b, gx, gy, dir, mag);
        b = ref::nms(gx, gy, mag, b, mask);
        ref::mask(mag, mask, b, suppressed);
        dib_fill(edges, 0);
        ref::histeresis(suppressed, hi, lo, b, edges, seeds);
        ref::binarize(edges, 0, b, binarized);
        border = b;
    }
};

bool sameSeeds(const std::vector<chain_point>& a, const std::vector<chain_point>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(chain_point)) == 0;
}

bool allZero(const dib_base& image) {
    for (int64_t i = 0; i < image.byteSize(); ++i)
        if (image.bits[i] != 0) return false;
    return true;
}

class CannyTest : public ::testing::Test {
protected:
    void SetUp() override {
        doubles::windowLog().reset();
        ip_dllAdaptor_callbacks = doubles::recordingCallbacks();
    }
    void TearDown() override {
        ip_dllAdaptor_callbacks = nullptr;
        doubles::windowLog().reset();
    }
};

TEST_F(CannyTest, ConstructionAndRegistration) {
    const dib_fmt format(64, 48, 3, 0, false);
    ip_canny_w0 canny(&format);
    EXPECT_EQ(canny.border(), 5);
    EXPECT_TRUE(allZero(*canny.dstDib()));
    EXPECT_EQ(canny.dstDib(), &canny.state().edges);
    EXPECT_TRUE(canny.edgeSeeds().empty());
    EXPECT_EQ(canny.sigma(), 2.0f);
    EXPECT_EQ(canny.thHi(), 10);
    EXPECT_EQ(canny.thLo(), 9);
    EXPECT_STREQ(canny.name(), "canny_w0");
    EXPECT_EQ(canny.dstDib()->format(), dib_fmt(64, 48, 1, 0, true));
    EXPECT_GT(canny.dstDib()->height, 0);

    for (const char* name : {"canny", "canny_w0"}) {
        ip_creator_base* entry = ip_registry_find(name);
        ASSERT_NE(entry, nullptr) << name;
        std::unique_ptr<ip_base> made(entry->create(&format));
        EXPECT_STREQ(made->name(), name);
        EXPECT_STREQ(entry->name(), name);
    }
    const auto& registry = ip_registry();
    ASSERT_GE(registry.size(), 2u);
    EXPECT_STREQ(registry[0]->name(), "canny");
    EXPECT_STREQ(registry[1]->name(), "canny_w0");
}

TEST_F(CannyTest, PipelineMatchesReferenceOperators) {
    for (float sigma : {2.0f, 1.0f, 0.0f}) {
        const dib_base frame = scene(61, 47, 0);
        ip_canny_w0 canny(&frame.format());
        doubles::Console console({std::to_string(sigma) + " 30 12"});
        canny.config(&console);
        ASSERT_EQ(canny.sigma(), sigma);
        // config's trial run ran on the cleared edges image: the images are zero again.
        reference_canny want(61, 47);
        for (int shift : {0, 3}) {
            const dib_base f = scene(61, 47, shift);
            canny.doProcess(&f, nullptr, nullptr);
            want.run(f, sigma, 30, 12);
            const ip_cannyState& s = canny.state();
            EXPECT_EQ(canny.border(), want.border) << sigma;
            EXPECT_EQ(ref::differences(s.smoothed, want.smoothed), "") << sigma;
            EXPECT_EQ(ref::differences(s.magnitude, want.mag), "") << sigma;
            EXPECT_EQ(ref::differences(s.nmsMask, want.mask), "") << sigma;
            EXPECT_EQ(ref::differences(s.suppressed, want.suppressed), "") << sigma;
            EXPECT_EQ(ref::differences(*canny.dstDib(), want.edges), "") << sigma;
            EXPECT_EQ(ref::differences(s.binarized, want.binarized), "") << sigma;
            EXPECT_TRUE(sameSeeds(canny.edgeSeeds(), want.seeds)) << sigma;
            EXPECT_GT(canny.edgeSeeds().size(), 40u) << sigma;
        }
        EXPECT_EQ(canny.border(), sigma == 0.0f ? 2 : (sigma == 1.0f ? 3 : 5));
    }
}

TEST_F(CannyTest, WindowedAndPlainGiveTheSameEdges) {
    const dib_base first = scene(50, 40, 0);
    ip_canny_w0 plain(&first.format());
    ip_canny windowed(&first.format());
    EXPECT_STREQ(windowed.name(), "canny");
    EXPECT_EQ(windowed.border(), 5);
    const dib_base frames[] = {scene(50, 40, 0), scene(50, 40, 2, false, 0), scene(70, 33, 1), scene(70, 33, 4)};
    for (const dib_base& f : frames) {
        plain.doProcess(&f, nullptr, nullptr);
        windowed.doProcess(&f, nullptr, nullptr);
        EXPECT_EQ(ref::differences(*plain.dstDib(), *windowed.dstDib()), "");
        EXPECT_TRUE(sameSeeds(plain.edgeSeeds(), windowed.edgeSeeds()));
        EXPECT_FALSE(plain.edgeSeeds().empty());
    }
    EXPECT_EQ(plain.dstDib()->width, 70);
}

TEST_F(CannyTest, WindowsOpenShowAndClose) {
    const dib_base frame = scene(40, 30, 0);
    auto canny = std::make_unique<ip_canny>(&frame.format());
    auto& log = doubles::windowLog();
    const std::vector<std::string> created = {"create Gauss 40 30", "create Gradient 40 30",
                                              "create NMS mask 40 30", "create Edges 40 30"};
    EXPECT_EQ(log.events, created);
    ASSERT_EQ(log.created.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(canny->window(i), log.created[size_t(i)]);
        EXPECT_TRUE(log.created[size_t(i)]->calls.empty()) << "the trial run during construction shows nothing";
    }
    EXPECT_EQ(canny->window(4), nullptr);

    canny->doProcess(&frame, nullptr, nullptr);
    const ip_cannyState& s = canny->state();
    const dib_base* shown[4] = {&s.smoothed, &s.magnitude, &s.nmsMask, &s.binarized};
    for (int i = 0; i < 4; ++i) {
        const doubles::Window* w = log.created[size_t(i)];
        EXPECT_EQ(w->calls, std::vector<std::string>{"show 40x30"}) << w->title;
        ASSERT_EQ(w->shown.size(), 1u);
        EXPECT_EQ(w->shown[0], shown[i]) << w->title;
    }

    // A new frame size: reformat shows each image (resizing first) and resizes again.
    const dib_base wide = scene(52, 20, 0);
    canny->doProcess(&wide, nullptr, nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(log.created[size_t(i)]->calls,
                  (std::vector<std::string>{"show 40x30", "resize 52 20", "show 52x20", "resize 52 20", "show 52x20"}));

    // config's trial run goes through the virtual slot, so the windows show it too.
    doubles::Console console;
    canny->config(&console);
    EXPECT_EQ(log.created[0]->calls.back(), "show 52x20");
    EXPECT_EQ(log.created[0]->calls.size(), 6u);

    canny.reset();
    const std::vector<std::string> destroyed = {"destroy Gauss", "destroy Gradient", "destroy NMS mask",
                                                "destroy Edges"};
    EXPECT_EQ(std::vector<std::string>(log.events.begin() + 4, log.events.end()), destroyed);
}

// Windows that log every call into one shared sequence, to see the order across windows.
std::vector<std::string> sequence;
int windowsBeforeFailure = 100;

struct sequenced_window final : ip_window {
    explicit sequenced_window(std::string t) : title(std::move(t)) {}
    int width() override { return 8; }
    int height() override { return 6; }
    void resize(int, int) override { sequence.push_back(title + " resize"); }
    void drawOverlay(ip_overlay*) override {}
    void show(const dib_base*) override { sequence.push_back(title + " show"); }
    std::string title;
};

ip_window* createSequenced(const char* title, int, int) {
    if (windowsBeforeFailure-- <= 0) throw "host - no more windows";
    sequence.push_back(std::string("create ") + title);
    return new sequenced_window(title);
}
void destroySequenced(ip_window* w) {
    auto* window = static_cast<sequenced_window*>(w);
    sequence.push_back("destroy " + window->title);
    delete window;
}
const ip_hostCallbacks sequencedCallbacks{&createSequenced, &destroySequenced};

TEST_F(CannyTest, WindowOrderAndFailedCreation) {
    ip_dllAdaptor_callbacks = &sequencedCallbacks;
    sequence.clear();
    windowsBeforeFailure = 100;
    const dib_fmt format(8, 6, 1, 0, true);
    {
        ip_canny canny(&format);
        dib_base frame = ref::image(8, 6, 1, 3);
        canny.processSrc(&frame);
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"create Gauss", "create Gradient", "create NMS mask", "create Edges",
                                                  "Gauss show", "Gradient show", "NMS mask show", "Edges show",
                                                  "destroy Gauss", "destroy Gradient", "destroy NMS mask",
                                                  "destroy Edges"}));

    // A host that fails on the third window: the two already open are closed again.
    sequence.clear();
    windowsBeforeFailure = 2;
    EXPECT_EQ(thrown([&] { ip_canny canny(&format); }), "host - no more windows");
    EXPECT_EQ(sequence, (std::vector<std::string>{"create Gauss", "create Gradient", "destroy Gauss",
                                                  "destroy Gradient"}));

    ip_dllAdaptor_callbacks = nullptr;
    EXPECT_EQ(thrown([&] { ip_canny canny(&format); }),
              "ip_dllAdaptor_createWindow - the component was not properly initialized");
}

TEST_F(CannyTest, ConfigDialogue) {
    const dib_fmt format(30, 20, 1, 0, true);
    ip_canny_w0 canny(&format);
    const std::string prompt =
        "Current Canny edge detector configuration:\n  Sigma: 2\n  th_hi: 10\n  th_lo: 9\n"
        "Please supply the new values for sigma, th_hi and th_lo: ";

    doubles::Console empty({""});
    canny.config(&empty);
    EXPECT_EQ(empty.calls, (std::vector<std::string>{"write:" + prompt, "readLine",
                                                     "write:\nThe new values are:\n  Sigma: 2\n  th_hi: 10\n  th_lo: 9\n"}));

    doubles::Console some({"1.5 20"});
    canny.config(&some);
    EXPECT_EQ(some.written, prompt + "\nThe new values are:\n  Sigma: 1.5\n  th_hi: 20\n  th_lo: 9\n");
    EXPECT_EQ(canny.sigma(), 1.5f);
    EXPECT_EQ(canny.thHi(), 20);
    EXPECT_EQ(canny.thLo(), 9);
    EXPECT_EQ(canny.border(), 4);  // the trial run used the new sigma

    // A value that does not parse keeps its setting and every one after it.
    for (const char* line : {"x 1 1", "2.5 many 3", "2.5 99999999999 3", "2.5 12 ."}) {
        doubles::Console bad({line});
        canny.config(&bad);
    }
    EXPECT_EQ(canny.sigma(), 2.5f);
    EXPECT_EQ(canny.thHi(), 12);
    EXPECT_EQ(canny.thLo(), 9);

    // Equal thresholds are fine; th_hi below th_lo is stored and fails every run.
    doubles::Console equal({"2 9 9"});
    canny.config(&equal);
    const std::string order = "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo";
    doubles::Console inverted({"2 8 9"});
    EXPECT_EQ(thrown([&] { canny.config(&inverted); }), order);
    EXPECT_EQ(canny.thHi(), 8);
    const dib_base frame = ref::image(30, 20, 1, 1);
    EXPECT_EQ(thrown([&] { canny.doProcess(&frame, nullptr, nullptr); }), order);

    doubles::Console negative({"-1 10 9"});
    EXPECT_EQ(thrown([&] { canny.config(&negative); }), "alg_ck_1d::check - even size is illegal");
    doubles::Console huge({"1e30"});
    EXPECT_EQ(thrown([&] { canny.config(&huge); }), "do_gauss() - illegal sigma");
    doubles::Console fine({"2 10 9"});
    canny.config(&fine);
    EXPECT_EQ(canny.border(), 5);
}

TEST_F(CannyTest, ProfileAndFrameChecks) {
    const dib_fmt format(30, 20, 4, 0, true);
    ip_canny_w0 canny(&format);
    const dib_base frame = ref::image(30, 20, 4, 2);
    canny.doProcess(&frame, nullptr, nullptr);
    doubles::Profiler profiler;
    canny.profile(&profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"smoothing", "gradient", "nms", "mask", "histeresis"}));
    for (auto& [label, ticks] : profiler.reports) EXPECT_GE(ticks, 0) << label;

    EXPECT_EQ(thrown([&] { canny.processSrc(nullptr); }), "ip_canny_w0::processSrc - got null ptr on input");
    dib_base noPixels(dib_fmt(30, 20, 4, 0, true), 1);
    EXPECT_EQ(thrown([&] { canny.processSrc(&noPixels); }), "ip_canny_w0::processSrc - got null ptr on input");

    // A source of another size straight into processSrc: the smoothing refuses it; with
    // sigma 0 the copy takes the common part.
    const dib_base other = ref::image(31, 20, 1, 3);
    EXPECT_EQ(thrown([&] { canny.processSrc(&other); }), "ConvolveWorker::operator() - got images of different sizes");
    doubles::Console zero({"0"});
    canny.config(&zero);
    canny.processSrc(&other);
    EXPECT_EQ(canny.border(), 2);
    EXPECT_EQ(*ref::at(canny.state().smoothed, 29, 7), *ref::at(other, 29, 7));
}

}  // namespace
