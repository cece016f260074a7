#include "ops/ip_canny.h"

#include <sstream>
#include <string>

#include "framework/ip_dialogue.h"
#include "framework/ip_factory.h"
#include "framework/ip_window.h"
#include "framework/util_time.h"
#include "ops/do_binarize.h"
#include "ops/do_canny_sweep.h"
#include "ops/do_copy.h"
#include "ops/do_gauss.h"
#include "ops/do_gradient.h"
#include "ops/do_histeresis.h"
#include "ops/do_mask.h"
#include "ops/do_nms.h"

namespace {
dib_fmt imageFormat(int width, int height, int szPixel) { return dib_fmt(width, height, szPixel, 0, true); }

const char* const kWindowTitles[ip_canny::windowCount] = {"Gauss", "Gradient", "NMS mask", "Edges"};

// The three value lines of the dialogue, in the console's number formatting.
void writeValues(std::ostream& text, const ip_cannyState& s) {
    text << "  Sigma: " << s.sigma << "\n";
    text << "  th_hi: " << s.th_hi << "\n";
    text << "  th_lo: " << s.th_lo << "\n";
}
}  // namespace

ip_cannyState::ip_cannyState(int width_, int height_)
    : width(width_),
      height(height_),
      scratch(imageFormat(width_, height_, 1)),
      smoothed(imageFormat(width_, height_, 1)),
      gx(imageFormat(width_, height_, 2)),
      gy(imageFormat(width_, height_, 2)),
      direction(imageFormat(width_, height_, 2)),
      magnitude(imageFormat(width_, height_, 2)),
      nmsMask(imageFormat(width_, height_, 1)),
      suppressed(imageFormat(width_, height_, 1)),
      edges(imageFormat(width_, height_, 1)),
      binarized(imageFormat(width_, height_, 1)) {
    edgeSeeds.reserve(4096);
    // Pixels outside the working regions are never written; fresh memory starts at 0 so
    // that what the windows show there is not left-over memory.
    for (dib_base* image : all()) dib_fill(*image, 0);
}

std::array<dib_base*, 10> ip_cannyState::all() {
    return {&scratch, &smoothed, &gx, &gy, &direction, &magnitude, &nmsMask, &suppressed, &edges, &binarized};
}

void ip_cannyState::resize(int width_, int height_) {
    width = width_;
    height = height_;
    for (dib_base* image : all()) {
        const dib_fmt format = imageFormat(width, height, image->szPixel);
        const bool kept = image->format() == format;
        image->setFormat(format, 0);
        if (!kept) dib_fill(*image, 0);
    }
    dib_fill(magnitude, 0);
    dib_fill(nmsMask, 0);
    dib_fill(suppressed, 0);
    dib_fill(edges, 0);
}

ip_canny_w0::ip_canny_w0(const dib_fmt* format)
    : ip_simple(format), state_(std::make_unique<ip_cannyState>(format->width, format->absHeight())) {
    // Not through the virtual slot: a derived detector shows nothing while it is built.
    ip_canny_w0::processSrc(&state_->edges);
}

ip_canny_w0::~ip_canny_w0() = default;

void ip_canny_w0::processSrc(const dib_base* src) {
    if (!src) throw "ip_canny_w0::processSrc - got null ptr on input";
    dib_requireBits(*src, "ip_canny_w0::processSrc - got null ptr on input");
    ip_cannyState& s = *state_;
    util_time timer;
    int32_t times[5];
    int64_t before = timer.now();
    auto lap = [&](int stage) {
        const int64_t now = timer.now();
        times[stage] = util_time::elapsed(before, now);
        before = now;
    };

    int border = 0;
    if (s.sigma == 0.0f) {
        do_copy(*src, s.smoothed);
        lap(0);
        border = do_gradient(s.smoothed, border, s.gx, s.gy, s.direction, s.magnitude);
        lap(1);
        border = do_nms(s.gx, s.gy, s.magnitude, border, s.nmsMask);
        lap(2);
        do_mask(s.magnitude, s.nmsMask, border, s.suppressed);
        lap(3);
    } else {
        // One sweep does the first four stages; its time counts as the smoothing's. Only the
        // images that are shown or read later are written whole.
        const bool components = false;
        border = do_canny_sweep(*src, s.sigma, s.scratch, s.smoothed, s.gx, s.gy, s.direction, s.magnitude,
                                s.nmsMask, s.suppressed, components, keepsStages_);
        for (int stage = 0; stage < 4; ++stage) lap(stage);
    }
    dib_fill(s.edges, 0);
    do_histeresis(s.suppressed, s.th_hi, s.th_lo, border, s.edges, s.edgeSeeds);
    if (keepsStages_) do_binarize(s.edges, 0, border, s.binarized);
    lap(4);

    s.border = border;
    for (int i = 0; i < 5; ++i) s.times[i] = times[i];
}

void ip_canny_w0::reformat() { state_->resize(srcFmt()->width, srcFmt()->absHeight()); }

void ip_canny_w0::profile(ip_profiler* profiler) {
    static const char* const labels[5] = {"smoothing", "gradient", "nms", "mask", "histeresis"};
    for (int i = 0; i < 5; ++i) profiler->report(labels[i], state_->times[i]);
}

void ip_canny_w0::config(ip_console* console) {
    ip_cannyState& s = *state_;
    std::ostringstream current;
    current << "Current Canny edge detector configuration:\n";
    writeValues(current, s);
    current << "Please supply the new values for sigma, th_hi and th_lo: ";
    console->write(current.str().c_str());

    const std::string line = ip_readReply(console);
    if (!line.empty()) {
        std::istringstream in(line);
        (void)(ip_readValue(in, s.sigma) && ip_readValue(in, s.th_hi) && ip_readValue(in, s.th_lo));
    }

    std::ostringstream updated;
    updated << "\nThe new values are:\n";
    writeValues(updated, s);
    console->write(updated.str().c_str());

    processSrc(&s.edges);
}

ip_canny::ip_canny(const dib_fmt* format) : ip_canny_w0(format), windows_(new ip_cannyWindows{}) {
    keepsStages_ = true;
    const ip_cannyState& s = state();
    windows_->width = s.width;
    windows_->height = s.height;
    int opened = 0;
    try {
        for (; opened < windowCount; ++opened)
            windows_->windows[opened] =
                ip_dllAdaptor_createWindow(hostCallbacks(), kWindowTitles[opened], s.width, s.height);
    } catch (...) {
        for (int i = 0; i < opened; ++i) ip_dllAdaptor_destroyWindow(hostCallbacks(), windows_->windows[i]);
        delete windows_;
        throw;
    }
}

ip_canny::~ip_canny() {
    for (int i = 0; i < windowCount; ++i) ip_dllAdaptor_destroyWindow(hostCallbacks(), windows_->windows[i]);
    delete windows_;
}

ip_window* ip_canny::window(int i) const {
    return i >= 0 && i < windowCount ? windows_->windows[i] : nullptr;
}

const dib_base* ip_canny::shownImage(int i) const {
    const ip_cannyState& s = state();
    const dib_base* images[windowCount] = {&s.smoothed, &s.magnitude, &s.nmsMask, &s.binarized};
    return images[i];
}

void ip_canny::showAll() {
    for (int i = 0; i < windowCount; ++i) display(windows_->windows[i], shownImage(i));
}

void ip_canny::processSrc(const dib_base* src) {
    ip_canny_w0::processSrc(src);
    showAll();
}

void ip_canny::reformat() {
    ip_canny_w0::reformat();
    windows_->width = state().width;
    windows_->height = state().height;
    showAll();
    for (int i = 0; i < windowCount; ++i) windows_->windows[i]->resize(windows_->width, windows_->height);
}
