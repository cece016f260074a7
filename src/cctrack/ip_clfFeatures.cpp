#include "cctrack/ip_clfFeatures.h"

#include <sstream>
#include <string>
#include <vector>

#include "cctrack/link.h"
#include "cctrack/post_link_filter.h"
#include "cctrack/reference_chain.h"
#include "framework/ip_dialogue.h"
#include "framework/ip_factory.h"
#include "framework/ip_window.h"
#include "framework/util_time.h"
#include "ops/ip_canny.h"

namespace {
const char* const stageLabels[ip_clfFeatures::stageCount] = {
    "time_filter", nullptr, "linking", "post-link filter", "extracting features", "tracking features", "annotating",
};
}  // namespace

ip_clfFeatures::ip_clfFeatures(const dib_fmt* format)
    : ip_base(format),
      dst_(nullptr),
      hasWindows_(false),
      canny_(nullptr),
      extractRegions_(true),
      drawsAim_(true),
      drawsCoordinates_(true),
      drawsContour_(false),
      drawsHistory_(false),
      extractor_(nullptr),
      tracker_(nullptr) {
    try {
        dst_ = new dib_base(*format, 0);
        canny_ = makeEdgeDetector(format, false);
        extractor_ =
            alg::feature_extract_c::create(dst_->width, dst_->absHeight(), canny_->border(), true, nullptr);
        tracker_ = feature_track_t<alg::feature_loop>::create(nullptr);
    } catch (...) {
        delete dst_;
        delete canny_;
        delete extractor_;
        throw;
    }
}

ip_clfFeatures::~ip_clfFeatures() {
    delete dst_;
    delete canny_;
    delete tracker_;
    delete extractor_;
}

ip_canny_w0* ip_clfFeatures::makeEdgeDetector(const dib_fmt* format, bool windows) {
    if (windows) return new ip_canny(format);
    return new ip_canny_w0(format);
}

void ip_clfFeatures::reformat() {
    dst_->setFormat(*srcFmt(), 0);
    // setFormat keeps the row order when only that differs; the copy should follow it too.
    dst_->height = srcFmt()->height;
    canny_->doReformat(srcFmt());
}

void ip_clfFeatures::drawChains(const chain_list& chains, bool labelled, ip_overlay* overlay) {
    std::vector<ip_point> vertices;
    for (size_t i = 0; i < chains.size(); ++i) {
        const chain& c = chains[i];
        vertices.clear();
        for (const chain_point& p : c.points) vertices.push_back({p.x, p.y});
        const ip_point* begin = vertices.data();
        const ip_point* end = begin + vertices.size();
        const ip_pointList list{0, begin, end, end};
        const std::string label = labelled ? std::to_string(i) + ":" + std::to_string(c.points.size()) : "";
        overlay->drawPolyline(&list, int(i), label.c_str(), 0);
    }
}

void ip_clfFeatures::process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    dib_requireBits(*src, "ip_clfFeatures::process - got null ptr on input");
    util_time timer;
    int64_t t[stageCount + 1];
    t[0] = timer.now();

    *dst_ = *src;
    dst_->height = src->height;
    t[1] = timer.now();

    canny_->processSrc(src);
    t[2] = timer.now();

    chain_list linked;
    link(*canny_->dstDib(), canny_->edgeSeeds(), linked);
    t[3] = timer.now();

    chain_list filtered;
    postLinkFilter(linked, filtered);
    t[4] = timer.now();

    chain reference;
    buildReferenceChain(linked, dst_->width, reference);
    extractor_->extract(filtered);
    t[5] = timer.now();

    tracker_->track(*extractor_, reference);
    t[6] = timer.now();

    const bool selection = ip_forEachClick(events, [this](int x, int y) { tracker_->select(x, y); });
    if (overlay) {
        if (hasWindows_) {
            const ip_canny* withWindows = static_cast<const ip_canny*>(canny_);
            overlay->clear();
            drawChains(linked, false, overlay);
            withWindows->window(0)->drawOverlay(overlay);
            overlay->clear();
            drawChains(filtered, true, overlay);
            withWindows->window(1)->drawOverlay(overlay);
            overlay->clear();
            extractor_->draw(overlay);
            withWindows->window(2)->drawOverlay(overlay);
            overlay->clear();
            if (reference.strength != 0) drawChains(chain_list{reference}, true, overlay);
            withWindows->window(3)->drawOverlay(overlay);
        }
        overlay->clear();
        tracker_->annotate(overlay, !hasWindows_, drawsAim_, drawsCoordinates_, drawsContour_, drawsHistory_);
        if (selection) overlay->acknowledge(25, 500);
    }
    t[7] = timer.now();

    for (int i = 0; i < stageCount; ++i) times_[i] = util_time::elapsed(t[i], t[i + 1]);
}

void ip_clfFeatures::profile(ip_profiler* profiler) {
    for (int i = 0; i < stageCount; ++i) profiler->report(i == 1 ? canny_->name() : stageLabels[i], times_[i]);
}

namespace {

void writeValues(std::ostream& text, const ip_clfFeatures& p) {
    text << "  hasWindows: " << int(p.hasWindows()) << "\n";
    text << "  drawsAim: " << int(p.drawsAim()) << "\n";
    text << "  drawsCoordinates: " << int(p.drawsCoordinates()) << "\n";
    text << "  drawsContour: " << int(p.drawsContour()) << "\n";
    text << "  drawsHistory: " << int(p.drawsHistory()) << "\n";
}

}  // namespace

void ip_clfFeatures::config(ip_console* console) {
    {
        std::ostringstream text;
        text << "\nCurrent closed contours tracker configuration:\n";
        writeValues(text, *this);
        text << "Please supply the new values for "
             << "hasWindows, drawsAim, drawsCoordinates, "
             << "drawsContour and drawsHistory: ";
        console->write(text.str().c_str());
    }

    const std::string line = ip_readReply(console);
    bool windows = hasWindows_;
    if (!line.empty()) {
        std::istringstream in(line);
        bool* const fields[] = {&windows, &drawsAim_, &drawsCoordinates_, &drawsContour_, &drawsHistory_};
        for (bool* field : fields)
            if (!ip_readValue(in, *field)) break;
    }

    if (windows != hasWindows_) {
        // The windows open through this tracker's own record; one built without a record
        // (not through the exports) uses the thread's current one.
        ip_callbackScope scope(hostCallbacks() ? hostCallbacks() : ip_dllAdaptor_callbacks);
        ip_canny_w0* fresh = makeEdgeDetector(&dst_->format(), windows);
        delete canny_;
        canny_ = fresh;
        hasWindows_ = windows;
    }

    canny_->config(console);

    alg::feature_extract_c* fresh = alg::feature_extract_c::create(dst_->width, dst_->absHeight(), canny_->border(),
                                                                    extractRegions_, extractor_->kindName());
    delete extractor_;
    extractor_ = fresh;

    std::ostringstream text;
    text << "\nThe new values are:\n";
    writeValues(text, *this);
    console->write(text.str().c_str());
}

int ip_clfFeatures::objects(ip_objectRecord* out, int capacity) const {
    int n = 0;
    for (int i = 0; i < tracker_->slotCount(); ++i) {
        const alg::feature* f = tracker_->currentFeature(i);
        if (!f) continue;
        if (out && n < capacity) {
            ip_objectRecord r{};
            r.index = i;
            r.x = f->x();
            r.y = f->y();
            r.area = 0;
            r.vx = f->vx();
            r.vy = f->vy();
            r.pointCount = f->pointCount();
            r.appearances = tracker_->appearances(i);
            r.selected = i == tracker_->selected() ? 1 : 0;
            r.rayCount = 0;
            out[n] = r;
        }
        ++n;
    }
    return n;
}

namespace {
const ip_paramInfo ccTrackSwitches[] = {
    {"hasWindows", ip_paramType::boolean, 0, 1, 0, "show the edge detector's intermediate images in windows"},
    {"drawsAim", ip_paramType::boolean, 0, 1, 1, "draw an aim mark on the selected track"},
    {"drawsCoordinates", ip_paramType::boolean, 0, 1, 1, "write the coordinates of the selected track"},
    {"drawsContour", ip_paramType::boolean, 0, 1, 0, "draw the contours of the tracked loops"},
    {"drawsHistory", ip_paramType::boolean, 0, 1, 0, "draw the recent path of each track"},
};
constexpr int switchCount = 5;

// Velocities, contour points, appearances and the aimed-at track; no areas.
const ip_traits ccTrackTraits = {.columns = ip_columnsMotion};
ip_creator<ip_clfFeatures> registration(ccTrackTraits);
}  // namespace

int ip_clfFeatures::paramCount() const { return switchCount + canny_->paramCount(); }

const ip_paramInfo& ip_clfFeatures::paramInfo(int index) const {
    return index < switchCount ? ccTrackSwitches[index] : canny_->paramInfo(index - switchCount);
}

double ip_clfFeatures::paramValue(int index) const {
    if (index >= switchCount) return canny_->paramValue(index - switchCount);
    const bool values[switchCount] = {hasWindows_, drawsAim_, drawsCoordinates_, drawsContour_, drawsHistory_};
    return values[index] ? 1.0 : 0.0;
}

void ip_clfFeatures::storeParam(int index, double value) {
    double values[switchCount + 3];
    for (int i = 0; i < switchCount + 3; ++i) values[i] = paramValue(i);
    values[index] = value;
    // The switches, then the detector's values: a detector made afresh for the windows
    // takes them from the second reply.
    ip_answerDialogue(*this, {ip_replyLine(ccTrackSwitches, values, switchCount),
                              ip_replyLine(ip_canny_w0::params(), values + switchCount, 3)});
}

std::string ip_clfFeatures::paramConflict(int index, double value) const {
    if (index < switchCount) return "";
    return ip_canny_w0::thresholdConflict(index - switchCount, value, canny_->paramValue(1), canny_->paramValue(2));
}
