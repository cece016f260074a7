#include <cstring>
#include <memory>

#include "framework/ip_window.h"
#include "ops/ip_canny.h"
#include "photo.h"
#include "reference.h"

namespace {
using namespace ref;

// The photograph-like picture (the same at every size), grey or colour; edges of every strength.
dib_base picture(int w, int h, int sz, bool topDown = true) {
    const std::vector<uint8_t> bgr = photo::render(w, h, 7);
    dib_base colour(dib_fmt(w, h, 3, 0, true), 0), frame(dib_fmt(w, h, sz, 0, !topDown), 0);
    for (int y = 0; y < h; ++y) std::memcpy(at(colour, 0, y), &bgr[size_t(y) * size_t(w) * 3], size_t(w) * 3);
    copy(colour, frame);
    return frame;
}

// The pipeline made of the reference operators, into images that start at 0 like a new detector's.
std::unique_ptr<ip_cannyState> referenceCanny(const dib_base& src, float sigma, int hi, int lo) {
    auto r = std::make_unique<ip_cannyState>(src.width, src.absHeight());
    int b = 0;
    if (sigma == 0.0f)
        copy(src, r->smoothed);
    else
        b = gauss(src, 0, sigma, r->smoothed, r->scratch);
    b = nms(r->gx, r->gy, r->magnitude, gradient(r->smoothed, b, r->gx, r->gy, r->direction, r->magnitude), r->nmsMask);
    mask(r->magnitude, r->nmsMask, b, r->suppressed);
    histeresis(r->suppressed, hi, lo, b, r->edges, r->edgeSeeds);
    binarize(r->edges, 0, b, r->binarized);
    r->border = b;
    return r;
}

// The recording host, whose windows fail from the third one on when `failing`.
bool failing = false;
const ip_hostCallbacks windows{[](const char* title, int w, int h) -> ip_window* {
                                   if (failing && doubles::windowLog().created.size() == 2)
                                       throw "host - no more windows";
                                   return doubles::recordingCallbacks()->createWindow(title, w, h);
                               },
                               doubles::recordingCallbacks()->destroyWindow};

// Runs the dialogue with one reply: the text it wrote, or the message its trial run threw.
std::string reply(ip_canny_w0& canny, const std::string& line) {
    doubles::Console console({line});
    const std::string message = thrown([&] { canny.config(&console); });
    return message == "" ? console.written : message;
}

class CannyTest : public ::testing::Test {
protected:
    void SetUp() override { ip_dllAdaptor_callbacks = &windows, failing = false, doubles::windowLog().reset(); }
    void TearDown() override { ip_dllAdaptor_callbacks = nullptr, doubles::windowLog().reset(); }
};

TEST_F(CannyTest, ConstructionProfileAndFrameChecks) {
    const dib_fmt format(30, 20, 4, 0, false);
    ip_canny_w0 canny(&format);
    EXPECT_EQ(canny.border(), 5);
    EXPECT_EQ(differences(*canny.dstDib(), blank(30, 20, 1)), "");
    EXPECT_GT(canny.dstDib()->height, 0);  // bottom-up, whatever the source's row order

    const dib_base frame = image(30, 20, 4, 2, true);
    canny.doProcess(&frame, nullptr, nullptr);
    doubles::Profiler profiler;
    canny.profile(&profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"smoothing", "gradient", "nms", "mask", "histeresis"}));

    const dib_base noPixels(dib_fmt(30, 20, 4, 0, true), 1), other = image(31, 20, 1, 3);
    EXPECT_EQ(thrown([&] { canny.processSrc(nullptr); }) + thrown([&] { canny.processSrc(&noPixels); }),
              "ip_canny_w0::processSrc - got null ptr on inputip_canny_w0::processSrc - got null ptr on input");
    // A source of another size straight into processSrc: the smoothing refuses it; with
    // sigma 0 the copy takes the common part.
    EXPECT_EQ(thrown([&] { canny.processSrc(&other); }), "ConvolveWorker::operator() - got images of different sizes");
    reply(canny, "0");
    canny.processSrc(&other);
    EXPECT_EQ(*at(canny.state().smoothed, 29, 7), *at(other, 29, 7));
}

// With the same working regions in every frame a fresh reference sees the same untouched pixels as the
// detector (and after a size change the images start at 0 again); the windowed detector gives the same.
// In every dispatch mode.
TEST_F(CannyTest, PipelineMatchesReferenceAndWindowedDetector) {
    // Odd sizes, so that every kernel ends in a tail; a new size, pixel size or row order between frames.
    const dib_base frames[] = {picture(61, 47, 3),   picture(61, 47, 3, false),   picture(70, 33, 1),
                               picture(203, 117, 1), picture(203, 117, 3, false), picture(203, 117, 4)};
    eachMode([&] {
        for (float sigma : {2.0f, 1.0f, 0.0f}) {
            ip_canny_w0 canny(&frames[0].format());
            ip_canny windowed(&frames[0].format());
            // The trial runs on the cleared edges image leave every image 0.
            for (ip_canny_w0* c : {&canny, static_cast<ip_canny_w0*>(&windowed)})
                reply(*c, std::to_string(sigma) + " 30 12");
            for (const dib_base& f : frames) {
                canny.doProcess(&f, nullptr, nullptr);
                windowed.doProcess(&f, nullptr, nullptr);
                const auto want = referenceCanny(f, sigma, 30, 12);
                // Every image the windows show, in the windowed detector; what the result needs in both.
                for (auto image : {&ip_cannyState::scratch, &ip_cannyState::smoothed, &ip_cannyState::magnitude,
                                   &ip_cannyState::nmsMask, &ip_cannyState::suppressed, &ip_cannyState::edges,
                                   &ip_cannyState::binarized})
                    EXPECT_EQ(differences(windowed.state().*image, *want.*image), "") << sigma;
                for (auto image : {&ip_cannyState::suppressed, &ip_cannyState::edges})
                    EXPECT_EQ(differences(canny.state().*image, *want.*image), "") << sigma;
                EXPECT_TRUE(sameList(canny.edgeSeeds(), want->edgeSeeds) &&
                            sameList(windowed.edgeSeeds(), want->edgeSeeds));
                EXPECT_GT(canny.edgeSeeds().size(), 40u) << sigma;
                EXPECT_EQ(canny.border(), want->border);
            }
        }
    });
}

// Each window shows its image: after a new frame size, reformat shows each image (resizing first) and resizes
// again, then the frame; the trial run of the dialogue goes through the virtual slot and shows them once more.
TEST_F(CannyTest, FourWindowsInOrder) {
    const dib_base frame = picture(40, 30, 3), wide = picture(52, 20, 3);
    auto canny = std::make_unique<ip_canny>(&frame.format());
    doubles::WindowLog& log = doubles::windowLog();
    const std::vector<std::string> titles{"Gauss", "Gradient", "NMS mask", "Edges"};
    ASSERT_EQ(log.created.size(), 4u);
    canny->doProcess(&frame, nullptr, nullptr);
    canny->doProcess(&wide, nullptr, nullptr);
    reply(*canny, "");
    const ip_cannyState& s = canny->state();
    const dib_base* images[] = {&s.smoothed, &s.magnitude, &s.nmsMask, &s.binarized};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log.events[i], "create " + titles[i] + " 40 30");
        EXPECT_EQ(log.created[i]->calls, (std::vector<std::string>{"show 40x30", "resize 52 20", "show 52x20",
                                                                   "resize 52 20", "show 52x20", "show 52x20"}));
        EXPECT_EQ(log.created[i]->shown, std::vector<const dib_base*>(4, images[i]));
    }
    canny.reset();

    // A host that fails on the third window: the two already open are closed again.
    log.reset(), failing = true;
    EXPECT_EQ(thrown([&] { ip_canny c(&frame.format()); }), "host - no more windows");
    EXPECT_EQ(log.events, (std::vector<std::string>{"create Gauss 40 30", "create Gradient 40 30", "destroy Gauss",
                                                    "destroy Gradient"}));
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
    EXPECT_EQ(reply(canny, ""), prompt + "\nThe new values are:\n  Sigma: 2\n  th_hi: 10\n  th_lo: 9\n");
    EXPECT_EQ(reply(canny, "1.5 20"), prompt + "\nThe new values are:\n  Sigma: 1.5\n  th_hi: 20\n  th_lo: 9\n");
    EXPECT_EQ(canny.border(), 4);  // the trial run used the new sigma

    // th_hi below th_lo (like a refused sigma) is stored and fails every run.
    const dib_base frame = image(30, 20, 1, 1);
    const std::string refused = reply(canny, "2 8 9");
    EXPECT_EQ(refused, "HisteresisWorker::HisteresisWorker() - th_hi_ < th_lo");
    EXPECT_EQ(thrown([&] { canny.doProcess(&frame, nullptr, nullptr); }), refused);
    reply(canny, "2 9 9");  // equal thresholds are fine
    EXPECT_EQ(canny.border(), 5);
}

}  // namespace
