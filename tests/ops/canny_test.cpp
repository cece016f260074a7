#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "adaptor/ip_window.h"
#include "doubles/recording.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"
#include "reference.h"

namespace {
using ref::differences;
using ref::thrown;

// A colour frame with a bright rectangle, a mid-grey disc and a little noise.
dib_base scene(int w, int h, int shift, bool topDown = true) {
    dib_base frame = ref::image(w, h, 3, unsigned(shift + 1), topDown, topDown);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = ref::at(frame, x, y);
            const int dx = x - (3 * w) / 4, dy = y - h / 2 - shift;
            int v = x > w / 5 + shift && x < w / 2 + shift && y > h / 4 && y < (3 * h) / 4 ? 200 : 40;
            if (dx * dx + dy * dy < (h * h) / 16) v = 120;
            for (int c = 0; c < 3; ++c) p[c] = uint8_t(v + p[c] % 9 - 4);
        }
    return frame;
}

// The pipeline made of the reference operators, on images that start at 0 like a new detector's.
struct reference_canny {
    dib_base scratch, smoothed, gx, gy, dir, mag, mask, suppressed, edges, binarized;
    std::vector<chain_point> seeds;
    int border = 0;
    reference_canny(int w, int h)
        : scratch(ref::blank(w, h, 1)), smoothed(scratch), gx(ref::blank(w, h, 2)), gy(gx), dir(gx), mag(gx),
          mask(scratch), suppressed(scratch), edges(scratch), binarized(scratch) {}
    void run(const dib_base& src, float sigma, int hi, int lo) {
        border = 0;
        if (sigma == 0.0f) ref::copy(src, smoothed);
        else border = ref::gauss(src, 0, sigma, smoothed, scratch);
        border = ref::nms(gx, gy, mag, ref::gradient(smoothed, border, gx, gy, dir, mag), mask);
        ref::mask(mag, mask, border, suppressed);
        dib_fill(edges, 0);
        ref::histeresis(suppressed, hi, lo, border, edges, seeds);
        ref::binarize(edges, 0, border, binarized);
    }
};

// Host windows that log every call of every window into one sequence, "; "-separated.
std::string sequence;
std::vector<ip_window*> opened;
std::vector<const dib_base*> shown;
int windowsBeforeFailure = 100;
void log(const std::string& entry) { sequence += (sequence.empty() ? "" : "; ") + entry; }

struct sequenced_window final : ip_window {
    sequenced_window(std::string t, int w_, int h_) : title(std::move(t)), w(w_), h(h_) {}
    int width() override { return w; }
    int height() override { return h; }
    void resize(int nw, int nh) override { w = nw, h = nh, log(title + " resize"); }
    void drawOverlay(ip_overlay*) override {}
    void show(const dib_base* image) override {
        log(title + " show " + std::to_string(image->width) + "x" + std::to_string(image->absHeight()));
        shown.push_back(image);
    }
    std::string title;
    int w, h;
};
ip_window* createWindow(const char* title, int w, int h) {
    if (windowsBeforeFailure-- <= 0) throw "host - no more windows";
    log("create " + std::string(title) + " " + std::to_string(w) + "x" + std::to_string(h));
    opened.push_back(new sequenced_window(title, w, h));
    return opened.back();
}
void destroyWindow(ip_window* w) {
    auto* window = static_cast<sequenced_window*>(w);
    log("destroy " + window->title);
    delete window;
}
const ip_hostCallbacks sequencedCallbacks{&createWindow, &destroyWindow};

// The entries for the four windows in order: every "%" in `entry` becomes the window's title.
std::string each(const std::string& entry) {
    std::string all;
    for (const char* title : {"Gauss", "Gradient", "NMS mask", "Edges"}) {
        std::string e = entry;
        for (size_t at = e.find('%'); at != std::string::npos; at = e.find('%')) e.replace(at, 1, title);
        all += (all.empty() ? "" : "; ") + e;
    }
    return all;
}
std::string taken() { return std::exchange(sequence, ""); }

class CannyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ip_dllAdaptor_callbacks = &sequencedCallbacks;
        sequence.clear(), opened.clear(), shown.clear();
        windowsBeforeFailure = 100;
    }
    void TearDown() override { ip_dllAdaptor_callbacks = nullptr; }
};

TEST_F(CannyTest, ConstructionAndRegistration) {
    const dib_fmt format(64, 48, 3, 0, false);
    ip_canny_w0 canny(&format);
    EXPECT_EQ(canny.border(), 5);
    EXPECT_EQ(differences(*canny.dstDib(), ref::blank(64, 48, 1)), "");
    EXPECT_EQ(canny.dstDib(), &canny.state().edges);
    EXPECT_TRUE(canny.edgeSeeds().empty());
    EXPECT_EQ(canny.sigma(), 2.0f);
    EXPECT_EQ(canny.thHi() * 100 + canny.thLo(), 1009);
    EXPECT_STREQ(canny.name(), "canny_w0");
    const auto& registry = ip_registry();
    ASSERT_GE(registry.size(), 2u);
    EXPECT_EQ(std::string(registry[0]->name()) + " " + registry[1]->name(), "canny canny_w0");
    for (const char* name : {"canny", "canny_w0"}) {
        std::unique_ptr<ip_base> made(ip_registry_find(name)->create(&format));
        EXPECT_STREQ(made->name(), name);
    }
}

TEST_F(CannyTest, PipelineMatchesReferenceOperators) {
    for (float sigma : {2.0f, 1.0f, 0.0f}) {
        const dib_base first = scene(61, 47, 0);
        ip_canny_w0 canny(&first.format());
        doubles::Console console({std::to_string(sigma) + " 30 12"});
        canny.config(&console);  // its trial run on the cleared edges image leaves every image 0
        reference_canny want(61, 47);
        for (int shift : {0, 3}) {
            const dib_base f = scene(61, 47, shift);
            canny.doProcess(&f, nullptr, nullptr);
            want.run(f, sigma, 30, 12);
            const ip_cannyState& s = canny.state();
            EXPECT_EQ(differences(s.smoothed, want.smoothed) + differences(s.magnitude, want.mag) +
                          differences(s.nmsMask, want.mask) + differences(s.suppressed, want.suppressed) +
                          differences(*canny.dstDib(), want.edges) + differences(s.binarized, want.binarized), "")
                << sigma;
            EXPECT_TRUE(ref::sameList(canny.edgeSeeds(), want.seeds)) << sigma;
            EXPECT_GT(canny.edgeSeeds().size(), 40u) << sigma;
        }
        EXPECT_EQ(canny.border(), want.border);
        EXPECT_EQ(canny.border(), sigma == 0.0f ? 2 : (sigma == 1.0f ? 3 : 5));
    }
}

TEST_F(CannyTest, WindowedAndPlainGiveTheSameEdges) {
    const dib_base first = scene(50, 40, 0);
    ip_canny_w0 plain(&first.format());
    ip_canny windowed(&first.format());
    EXPECT_EQ(windowed.border(), 5);
    for (const dib_base& f : {scene(50, 40, 0), scene(50, 40, 2, false), scene(70, 33, 1), scene(70, 33, 4)}) {
        plain.doProcess(&f, nullptr, nullptr);
        windowed.doProcess(&f, nullptr, nullptr);
        EXPECT_EQ(differences(*plain.dstDib(), *windowed.dstDib()), "");
        EXPECT_TRUE(ref::sameList(plain.edgeSeeds(), windowed.edgeSeeds()));
        EXPECT_FALSE(plain.edgeSeeds().empty());
    }
}

TEST_F(CannyTest, FourWindowsInOrder) {
    const dib_base frame = scene(40, 30, 0);
    auto canny = std::make_unique<ip_canny>(&frame.format());
    EXPECT_EQ(taken(), each("create % 40x30"));  // the trial run during construction shows nothing
    for (int i = 0; i < 5; ++i) EXPECT_EQ(canny->window(i), i < 4 ? opened[size_t(i)] : nullptr);

    canny->doProcess(&frame, nullptr, nullptr);
    EXPECT_EQ(taken(), each("% show 40x30"));
    const ip_cannyState& s = canny->state();
    EXPECT_EQ(shown, (std::vector<const dib_base*>{&s.smoothed, &s.magnitude, &s.nmsMask, &s.binarized}));
    // A new frame size: reformat shows each image (resizing first) and resizes again; then the frame.
    const dib_base wide = scene(52, 20, 0);
    canny->doProcess(&wide, nullptr, nullptr);
    EXPECT_EQ(taken(), each("% resize; % show 52x20") + "; " + each("% resize") + "; " + each("% show 52x20"));
    doubles::Console console;
    canny->config(&console);  // the trial run goes through the virtual slot
    EXPECT_EQ(taken(), each("% show 52x20"));
    canny.reset();
    EXPECT_EQ(taken(), each("destroy %"));

    // A host that fails on the third window: the two already open are closed again.
    windowsBeforeFailure = 2;
    EXPECT_EQ(thrown([&] { ip_canny c(&frame.format()); }), "host - no more windows");
    EXPECT_EQ(taken(), "create Gauss 40x30; create Gradient 40x30; destroy Gauss; destroy Gradient");
    ip_dllAdaptor_callbacks = nullptr;
    EXPECT_EQ(thrown([&] { ip_canny c(&frame.format()); }),
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
    EXPECT_EQ(canny.border(), 4);  // the trial run used the new sigma

    // A value that does not parse keeps its setting and every one after it.
    for (const char* line : {"x 1 1", "2.5 many 3", "2.5 99999999999 3", "2.5 12 ."}) {
        doubles::Console bad({line});
        canny.config(&bad);
    }
    EXPECT_EQ(canny.sigma(), 2.5f);
    EXPECT_EQ(canny.thHi() * 100 + canny.thLo(), 1209);

    // th_hi below th_lo is stored and fails every run; so do refused sigmas.
    const std::string order = "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo";
    const std::pair<std::string, std::string> refused[] = {{"2 8 9", order},
                                                           {"-1 10 9", "alg_ck_1d::check - even size is illegal"},
                                                           {"1e30", "do_gauss() - illegal sigma"}};
    const dib_base frame = ref::image(30, 20, 1, 1);
    for (auto& [line, message] : refused) {
        doubles::Console console({line});
        EXPECT_EQ(thrown([&] { canny.config(&console); }), message);
        EXPECT_EQ(thrown([&] { canny.doProcess(&frame, nullptr, nullptr); }), message) << line;
    }
    doubles::Console fine({"2 9 9"});  // equal thresholds are fine
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

    const dib_base noPixels(dib_fmt(30, 20, 4, 0, true), 1), other = ref::image(31, 20, 1, 3);
    EXPECT_EQ(thrown([&] { canny.processSrc(nullptr); }), "ip_canny_w0::processSrc - got null ptr on input");
    EXPECT_EQ(thrown([&] { canny.processSrc(&noPixels); }), "ip_canny_w0::processSrc - got null ptr on input");
    // A source of another size straight into processSrc: the smoothing refuses it; with
    // sigma 0 the copy takes the common part.
    EXPECT_EQ(thrown([&] { canny.processSrc(&other); }), "ConvolveWorker::operator() - got images of different sizes");
    doubles::Console zero({"0"});
    canny.config(&zero);
    canny.processSrc(&other);
    EXPECT_EQ(canny.border(), 2);
    EXPECT_EQ(*ref::at(canny.state().smoothed, 29, 7), *ref::at(other, 29, 7));
}

}  // namespace
