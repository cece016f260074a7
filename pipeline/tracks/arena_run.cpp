#include "arena_run.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "link_global.h"
#include "text/numbers.h"

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

bool ArenaRun::open(const Options& o, cv::Size frameSize, double sourceFps, bool timed, int64_t expected,
                    std::string& error) {
    o_ = o;
    if (o_.scale > 0 && o_.unit.empty()) o_.unit = "unit";
    try {
        std::vector<ambrevo::Arena> arenas;
        for (const std::string& given : o.rois) arenas.push_back(ambrevo::parse_roi(given));
        if (!arenas.empty()) arenas_ = ambrevo::ArenaMap(std::move(arenas), frameSize);
        if (!o.link.empty()) {
            ambrevo::LinkSettings settings;
            if (!parseLinkOption(o.link, settings, error)) return false;
            linkSettings_ = settings;
            global_ = settings.global;
            if (!global_) linker_.emplace(settings);
            if (global_) fallback_.emplace(settings);
        }
    } catch (const std::invalid_argument& e) {
        error = e.what();
        return false;
    }
    timed_ = o.fps > 0 || timed;
    fps_ = o.fps > 0 ? o.fps : timed ? sourceFps : 0;
    plan_ = ambrevo::BackgroundPlan(expected);
    return true;
}

void ArenaRun::retain(bool points, bool background) {
    keepPoints_ = points;
    sampling_ = background;
}

std::vector<std::string> ArenaRun::columns() const {
    std::vector<std::string> names;
    if (timed_) names.push_back("time_s");
    if (linker_ || global_) names.insert(names.end(), {"track", "missing"});
    if (hasArenas()) names.push_back("arena");
    if (o_.scale > 0) names.insert(names.end(), {"x_" + o_.unit, "y_" + o_.unit});
    return names;
}

void ArenaRun::describe(RunRecord& record) const {
    auto add = [&](const std::string& key, const std::string& value, bool number) {
        record.extra.push_back({key, value, number});
    };
    if (fps_ > 0) add("frame_rate", ambrevo::text::shortest(fps_), true);
    add("time_from", o_.fps > 0 ? "--fps" : timed_ ? "timestamps" : "none", false);
    if (o_.scale > 0) {
        add("pixels_per_unit", ambrevo::text::shortest(o_.scale), true);
        add("unit", o_.unit, false);
    }
    for (size_t i = 0; i < o_.rois.size(); ++i) add("arena_" + std::to_string(i + 1), o_.rois[i], false);
    if (!o_.link.empty()) add("link", o_.link, false);
    if (!o_.animals.empty()) {
        std::string counts;
        for (int64_t n : o_.animals) counts += (counts.empty() ? "" : ",") + std::to_string(n);
        add("animals", counts, false);
    }
    add("date", utcNow(), false);
}

void ArenaRun::prepare(int64_t, cv::Mat& bgr) {
    if (!sampling_ && !hasArenas()) return;
    if (sampling_ && plan_.takes() && (samples_.empty() || samples_[0].size() == bgr.size())) {
        cv::Mat sample;
        if (bgr.channels() == 1)
            cv::cvtColor(bgr, sample, cv::COLOR_GRAY2BGR);
        else
            sample = bgr.clone();
        samples_.push_back(sample);
        if (plan_.thins(samples_.size())) ambrevo::keepEveryOther(samples_);
    }
    if (hasArenas() && bgr.size() == arenas_.size()) arenas_.paint_outside(bgr);
}

double ArenaRun::timeOf(int64_t frame, double time) const {
    if (o_.fps > 0) return double(frame) / o_.fps;
    return time;
}

void ArenaRun::rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
                    const std::vector<ObjectShape>& shapes, std::vector<ip_objectRecord>& out,
                    std::vector<ObjectShape>& outShapes, std::vector<std::vector<std::string>>& cells) {
    objectsSeen_ += int64_t(objects.size());
    out = objects;
    // A frame without objects of a run whose objects have shapes gives its missing rows shapes
    // too, so that their centres keep their decimals.
    shapedRun_ = shapedRun_ || (!shapes.empty() && shapes.size() == objects.size());
    const bool shaped = shapes.size() == objects.size() && (!shapes.empty() || shapedRun_);
    outShapes = shaped ? shapes : std::vector<ObjectShape>{};
    std::vector<ambrevo::LinkedRow> linked;
    if (linker_) {
        std::vector<ambrevo::Detection> detections;
        for (size_t i = 0; i < objects.size(); ++i)
            detections.push_back({shaped ? shapes[i].x : double(objects[i].x),
                                  shaped ? shapes[i].y : double(objects[i].y), static_cast<long long>(i)});
        linked = linker_->push(frame, detections);
        for (const ambrevo::LinkedRow& l : linked)
            if (l.missing) addMissing(l, shaped, out, outShapes);
    }
    const double t = timeOf(frame, time);
    const std::string timeText = timed_ && t >= 0 ? ambrevo::text::shortest(t) : std::string();
    keptTime_ = timeText, keptT_ = t;
    cells.assign(out.size(), {});
    for (size_t i = 0; i < out.size(); ++i) {
        std::vector<std::string>& c = cells[i];
        const double x = linker_ && i < linked.size() ? linked[i].x : shaped ? outShapes[i].x : out[i].x;
        const double y = linker_ && i < linked.size() ? linked[i].y : shaped ? outShapes[i].y : out[i].y;
        const bool missing = linker_ && linked[i].missing;
        const long long track = linker_ ? linked[i].track : out[i].index;
        const int arena = hasArenas() ? arenas_.arena_of(x, y) : 0;
        if (timed_) c.push_back(timeText);
        if (linker_) c.insert(c.end(), {std::to_string(track), missing ? "1" : "0"});
        if (global_) c.insert(c.end(), {"", "0"});  // the track is known at the end
        if (hasArenas()) c.push_back(std::to_string(arena));
        if (o_.scale > 0)
            c.insert(c.end(), {ambrevo::text::shortest(x / o_.scale), ambrevo::text::shortest(y / o_.scale)});
        if (keepPoints_ && !global_)
            points_.push_back(
                {frame, track, x, y, missing, arena, timed_ && t >= 0 ? t : std::numeric_limits<double>::quiet_NaN()});
    }
}

// A row for a linked track not seen in the frame, at the place the linker gives.
void ArenaRun::addMissing(const ambrevo::LinkedRow& l, bool shaped, std::vector<ip_objectRecord>& rows,
                          std::vector<ObjectShape>& shapes) {
    ip_objectRecord& r = rows.emplace_back();
    r.index = -1;
    r.x = int32_t(std::lround(l.x));
    r.y = int32_t(std::lround(l.y));
    if (shaped) shapes.push_back({toDecimals(l.x, centreDecimals), toDecimals(l.y, centreDecimals)});
}

namespace {
constexpr char cellEnd = '\x1f';
}  // namespace

void ArenaRun::keep(int64_t frame, const std::vector<ip_objectRecord>& rows, const std::vector<ObjectShape>& shapes,
                    const std::vector<std::vector<std::string>>& cells) {
    Kept& f = kept_.emplace_back(Kept{frame, keptTime_, keptT_, {}, shapes, {}, {}});
    f.rows.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        KeptRow& k = f.rows[i];
        std::memcpy(k.head, &rows[i], sizeof k.head);
        k.rays.assign(rows[i].rays, rows[i].rays + std::clamp<int32_t>(rows[i].rayCount, 0, ip_objectMaxRays));
        for (const std::string& c : cells[i]) k.cells += c + cellEnd;
    }
    linkFrameByFrame(f);
}

// The frame's links by the frame-by-frame linker as well, ready for when the whole-run linking
// is stopped: a stop must not wait for a pass over the whole run.
void ArenaRun::linkFrameByFrame(Kept& f) {
    if (!fallback_) return;
    std::vector<ambrevo::Detection> detections;
    for (size_t i = 0; i < f.rows.size(); ++i) {
        const ambrevo::LinkPoint at = keptPosition(f, i);
        detections.push_back({at.x, at.y, static_cast<long long>(i)});
    }
    try {
        for (const ambrevo::LinkedRow& l : fallback_->push(f.frame, detections))
            if (l.missing)
                f.onlineMissing.push_back(l);
            else
                f.onlineTracks.push_back(l.track);
    } catch (const std::invalid_argument&) {
        fallback_.reset();  // a position the whole-run linker refuses too, with its message
    }
}

ambrevo::LinkPoint ArenaRun::keptPosition(const Kept& f, size_t i) {
    ip_objectRecord r;
    std::memcpy(&r, f.rows[i].head, sizeof f.rows[i].head);
    const bool shaped = i < f.shapes.size();
    return {shaped ? f.shapes[i].x : r.x, shaped ? f.shapes[i].y : r.y};
}

// The track of every kept row, and the missing rows of each kept frame, by the whole-run
// linker. Each arena is a group of its own with its count; objects outside every arena are
// the group after the arenas', without a count. Throws StopRequested when `stop` asks.
bool ArenaRun::linkKept(std::vector<long long>& trackOf, std::vector<std::vector<ambrevo::LinkedRow>>& missing,
                        const StopToken& stop, std::string& error) const {
    const int arenas = arenas_.count();
    std::vector<ambrevo::GroupedRow> all;
    for (const Kept& f : kept_)
        for (size_t i = 0; i < f.rows.size(); ++i) {
            const ambrevo::LinkPoint at = keptPosition(f, i);
            const int arena = hasArenas() ? arenas_.arena_of(at.x, at.y) : 1;
            all.push_back({f.frame, at.x, at.y, arena == 0 ? arenas : arena - 1});
        }
    const std::vector<int> animals(o_.animals.begin(), o_.animals.end());
    std::vector<ambrevo::LinkedRow> linked;
    try {
        linked = ambrevo::link_global(all, linkSettings_, animals, stop);
    } catch (const StopRequested&) {
        throw;
    } catch (const std::exception& e) {
        error = std::string("--link ") + o_.link + ": " + e.what();
        return false;
    }
    trackOf.assign(all.size(), -1);
    missing.assign(kept_.size(), {});
    for (const ambrevo::LinkedRow& l : linked)
        if (l.missing)
            missing[size_t(l.frame - kept_.front().frame)].push_back(l);
        else
            trackOf[size_t(l.row)] = l.track;
    return true;
}

// The links made frame by frame while the run went on; without them (a position the linker
// refused), the rows keep an empty track.
void ArenaRun::frameByFrameLinks(std::vector<long long>& trackOf,
                                 std::vector<std::vector<ambrevo::LinkedRow>>& missing) const {
    trackOf.clear(), missing.clear();
    for (const Kept& f : kept_) {
        const bool linked = fallback_ && f.onlineTracks.size() == f.rows.size();
        for (size_t i = 0; i < f.rows.size(); ++i) trackOf.push_back(linked ? f.onlineTracks[i] : -1);
        missing.push_back(linked ? f.onlineMissing : std::vector<ambrevo::LinkedRow>{});
    }
}

// The whole-run links, or, when a stop came before they were done, the frame-by-frame ones.
bool ArenaRun::linksOfKept(std::vector<long long>& trackOf, std::vector<std::vector<ambrevo::LinkedRow>>& missing,
                           const StopToken& stop, std::string& error) {
    linkStopped_ = stop.request();
    if (!linkStopped_) {
        try {
            return linkKept(trackOf, missing, stop, error);
        } catch (const StopRequested& stopped) {
            linkStopped_ = stopped.request;
        }
    }
    frameByFrameLinks(trackOf, missing);
    return true;
}

bool ArenaRun::writeKept(const KeptWriter& write, const StopToken& stop, std::string& error) {
    if (!global_) return true;
    std::vector<long long> trackOf;
    std::vector<std::vector<ambrevo::LinkedRow>> missing;
    if (!linksOfKept(trackOf, missing, stop, error)) return false;
    const size_t trackCell = timed_ ? 1 : 0;
    std::vector<ip_objectRecord> rows;
    std::vector<std::vector<std::string>> cells;
    size_t next = 0;  // the index in `all` of the frame's first row
    for (size_t k = 0; k < kept_.size(); ++k) {
        Kept& f = kept_[k];
        rows.assign(f.rows.size(), ip_objectRecord{});
        cells.assign(f.rows.size(), {});
        for (size_t i = 0; i < f.rows.size(); ++i) {
            std::memcpy(&rows[i], f.rows[i].head, sizeof f.rows[i].head);
            std::copy(f.rows[i].rays.begin(), f.rows[i].rays.end(), rows[i].rays);
            for (size_t at = 0, end; (end = f.rows[i].cells.find(cellEnd, at)) != std::string::npos; at = end + 1)
                cells[i].push_back(f.rows[i].cells.substr(at, end - at));
            cells[i][trackCell] = trackOf[next + i] >= 0 ? std::to_string(trackOf[next + i]) : std::string();
        }
        next += f.rows.size();
        std::vector<ObjectShape> shapes = std::move(f.shapes);
        const bool shaped = shapes.size() == f.rows.size() && (!shapes.empty() || shapedRun_);
        for (const ambrevo::LinkedRow& l : missing[k]) {
            addMissing(l, shaped, rows, shapes);
            std::vector<std::string>& c = cells.emplace_back();
            if (timed_) c.push_back(f.time);
            c.insert(c.end(), {std::to_string(l.track), "1"});
            if (hasArenas()) c.push_back(std::to_string(arenas_.arena_of(l.x, l.y)));
            if (o_.scale > 0)
                c.insert(c.end(), {ambrevo::text::shortest(l.x / o_.scale), ambrevo::text::shortest(l.y / o_.scale)});
        }
        f.rows = {};
        if (!write(f.frame, rows, shapes, cells, error)) return false;
        for (size_t i = 0; keepPoints_ && i < rows.size(); ++i) {
            const std::vector<std::string>& c = cells[i];
            const int arena = hasArenas() ? std::stoi(c[trackCell + 2]) : 0;
            points_.push_back({f.frame, std::stoll(c[trackCell]), shaped ? shapes[i].x : double(rows[i].x),
                               shaped ? shapes[i].y : double(rows[i].y), c[trackCell + 1] == "1", arena,
                               timed_ && f.t >= 0 ? f.t : std::numeric_limits<double>::quiet_NaN()});
        }
    }
    kept_.clear();
    return true;
}

void ArenaRun::draw(cv::Mat& annotated) const {
    if (hasArenas() && annotated.size() == arenas_.size() && annotated.type() == CV_8UC3)
        arenas_.draw(annotated, cv::Scalar(0, 200, 255), 1);
}

const cv::Mat& ArenaRun::background() const {
    if (!background_.empty()) return background_;
    background_ = ambrevo::median_background(samples_);
    // The arenas' outlines, dark, so that the pictures show where the walls are.
    if (hasArenas() && background_.size() == arenas_.size()) arenas_.draw(background_, cv::Scalar(40, 40, 40), 1);
    return background_;
}

ambrevo::SummarySettings ArenaRun::summarySettings() const {
    ambrevo::SummarySettings settings;
    settings.pixels_per_unit = o_.scale;
    if (o_.scale > 0) settings.unit = o_.unit;
    settings.fps = fps_;
    settings.arenas = arenas_.count();
    return settings;
}

ambrevo::PlotSettings ArenaRun::plotSettings() const {
    ambrevo::PlotSettings settings;
    settings.pixels_per_unit = o_.scale;
    if (o_.scale > 0) settings.unit = o_.unit;
    return settings;
}
