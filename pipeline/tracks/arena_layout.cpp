#include "tracks/arena_layout.h"

#include <cmath>
#include <ctime>
#include <stdexcept>

#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/core/text/numbers.h"

namespace {

std::string utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace

Outcome ArenaLayout::open(const Options& o, cv::Size frameSize, double sourceFps, bool timed) {
    rois_ = o.rois, link_ = o.link, animals_ = o.animals;
    scale_ = o.scale, givenFps_ = o.fps;
    unit_ = o.scale > 0 && o.unit.empty() ? "unit" : o.unit;
    try {
        std::vector<ambrevo::Arena> arenas;
        for (const std::string& given : o.rois) arenas.push_back(ambrevo::parse_roi(given));
        if (!arenas.empty()) arenas_ = ambrevo::ArenaMap(std::move(arenas), frameSize);
    } catch (const std::invalid_argument& e) {
        return Failure{RunError::usage, e.what()};
    }
    timed_ = o.fps > 0 || timed;
    fps_ = o.fps > 0 ? o.fps : timed ? sourceFps : 0;
    return {};
}

std::vector<TrackColumn> ArenaLayout::columns(bool linked) const {
    std::vector<TrackColumn> names;
    if (timed_) names.push_back({"time_s", PlaceColumn::time});
    if (linked) names.insert(names.end(), {{"track", PlaceColumn::track}, {"missing", PlaceColumn::missing}});
    if (hasArenas()) names.push_back({"arena", PlaceColumn::arena});
    if (scale_ > 0)
        names.insert(names.end(), {{"x_" + unit_, PlaceColumn::unitX}, {"y_" + unit_, PlaceColumn::unitY}});
    return names;
}

void ArenaLayout::describe(RunRecord& record) const {
    auto add = [&](const std::string& key, const std::string& value, bool number) {
        record.extra.push_back({key, value, number});
    };
    if (fps_ > 0) add("frame_rate", ambrevo::text::shortest(fps_), true);
    add("time_from", givenFps_ > 0 ? "--fps" : timed_ ? "timestamps" : "none", false);
    if (scale_ > 0) {
        add("pixels_per_unit", ambrevo::text::shortest(scale_), true);
        add("unit", unit_, false);
    }
    for (size_t i = 0; i < rois_.size(); ++i) add("arena_" + std::to_string(i + 1), rois_[i], false);
    if (!link_.empty()) add("link", link_, false);
    if (!animals_.empty()) {
        std::string counts;
        for (int64_t n : animals_) counts += (counts.empty() ? "" : ",") + std::to_string(n);
        add("animals", counts, false);
    }
    add("date", utcNow(), false);
}

void ArenaLayout::paint(cv::Mat& bgr) const {
    if (hasArenas() && bgr.size() == arenas_.size()) arenas_.paint_outside(bgr);
}

void ArenaLayout::draw(cv::Mat& annotated) const {
    if (hasArenas() && annotated.size() == arenas_.size() && annotated.type() == CV_8UC3)
        arenas_.draw(annotated, cv::Scalar(0, 200, 255), 1);
}

void ArenaLayout::drawWalls(cv::Mat& background) const {
    if (hasArenas() && background.size() == arenas_.size()) arenas_.draw(background, cv::Scalar(40, 40, 40), 1);
}

int ArenaLayout::groupOf(double x, double y) const {
    const int arena = hasArenas() ? arenas_.arena_of(x, y) : 1;
    return arena == 0 ? arenas_.count() : arena - 1;
}

double ArenaLayout::inUnits(double pixels) const { return scale_ > 0 ? pixels / scale_ : NAN; }

double ArenaLayout::rowTime(int64_t frame, double time) const {
    const double t = givenFps_ > 0 ? double(frame) / givenFps_ : time;
    return timed_ && t >= 0 ? t : NAN;
}

ambrevo::SummarySettings ArenaLayout::summarySettings() const {
    ambrevo::SummarySettings settings;
    settings.pixels_per_unit = scale_;
    if (scale_ > 0) settings.unit = unit_;
    settings.fps = fps_;
    settings.arenas = arenas_.count();
    return settings;
}

ambrevo::PlotSettings ArenaLayout::plotSettings() const {
    ambrevo::PlotSettings settings;
    settings.pixels_per_unit = scale_;
    if (scale_ > 0) settings.unit = unit_;
    return settings;
}
