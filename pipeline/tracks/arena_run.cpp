#include "tracks/arena_run.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/tracks/identity_link.h"
#include "ambrevo/pipeline/tracks/link_global.h"
#include "ambrevo/pipeline/tracks/link_option.h"
#include "ambrevo/pipeline/tracks/row_looks.h"

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
        // Options made by hand with a text that does not read: refused as the command line would.
        ambrevo::LinkSettings unread;
        if (!o.link.empty() && !o.linking && !parseLinkOption(o.link, unread, error)) return false;
        if (o.linking) {
            const ambrevo::LinkSettings& settings = *o.linking;
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

std::vector<TrackColumn> ArenaRun::columns() const {
    std::vector<TrackColumn> names;
    if (timed_) names.push_back({"time_s", PlaceColumn::time});
    if (linker_ || global_) names.insert(names.end(), {{"track", PlaceColumn::track}, {"missing", PlaceColumn::missing}});
    if (hasArenas()) names.push_back({"arena", PlaceColumn::arena});
    if (o_.scale > 0)
        names.insert(names.end(), {{"x_" + o_.unit, PlaceColumn::unitX}, {"y_" + o_.unit, PlaceColumn::unitY}});
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

double ArenaRun::inUnits(double pixels) const { return o_.scale > 0 ? pixels / o_.scale : NAN; }

double ArenaRun::timeOf(int64_t frame, double time) const {
    if (o_.fps > 0) return double(frame) / o_.fps;
    return time;
}

void ArenaRun::rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
                    const std::vector<ObjectShape>& shapes, const std::vector<ObjectPosture>& postures, FrameRows& out) {
    objectsSeen_ += int64_t(objects.size());
    out.rows = objects;
    // A frame without objects of a run whose objects have shapes gives its missing rows shapes
    // too, so that their centres keep their decimals.
    shapedRun_ = shapedRun_ || (!shapes.empty() && shapes.size() == objects.size());
    const bool shaped = shapes.size() == objects.size() && (!shapes.empty() || shapedRun_);
    out.shapes = shaped ? shapes : std::vector<ObjectShape>{};
    out.postures = postures.size() == objects.size() ? postures : std::vector<ObjectPosture>{};
    out.confidence.clear();
    std::vector<ambrevo::LinkedRow> linked;
    if (linker_) {
        std::vector<ambrevo::Detection> detections;
        for (size_t i = 0; i < objects.size(); ++i)
            detections.push_back({shaped ? shapes[i].x : double(objects[i].x),
                                  shaped ? shapes[i].y : double(objects[i].y), static_cast<long long>(i)});
        linked = linker_->push(frame, detections);
        for (const ambrevo::LinkedRow& l : linked)
            if (l.missing) addMissing(l, shaped, out);
    }
    const double t = timeOf(frame, time);
    keptTime_ = timed_ && t >= 0 ? t : NAN;
    out.places.assign(out.rows.size(), {});
    for (size_t i = 0; i < out.rows.size(); ++i) {
        const double x = linker_ && i < linked.size() ? linked[i].x : shaped ? out.shapes[i].x : out.rows[i].x;
        const double y = linker_ && i < linked.size() ? linked[i].y : shaped ? out.shapes[i].y : out.rows[i].y;
        const bool missing = linker_ && linked[i].missing;
        const long long track = linker_ ? linked[i].track : out.rows[i].index;
        const int arena = hasArenas() ? arenas_.arena_of(x, y) : 0;
        // With --link ...,global the track is known at the end.
        out.places[i] = {keptTime_, linker_ ? track : RowPlace::noTrack, missing, arena, inUnits(x), inUnits(y)};
        if (keepPoints_ && !global_)
            points_.push_back(
                {frame, track, x, y, missing, arena, timed_ && t >= 0 ? t : std::numeric_limits<double>::quiet_NaN()});
    }
}

// A row for a linked track not seen in the frame, at the place the linker gives; nothing of it
// is known but that.
void ArenaRun::addMissing(const ambrevo::LinkedRow& l, bool shaped, FrameRows& out) {
    ip_objectRecord& r = out.rows.emplace_back();
    r.index = -1;
    r.x = int32_t(std::lround(l.x));
    r.y = int32_t(std::lround(l.y));
    if (shaped) out.shapes.push_back({toDecimals(l.x, centreDecimals), toDecimals(l.y, centreDecimals)});
    if (!out.postures.empty()) out.postures.emplace_back();
    if (!out.confidence.empty()) out.confidence.push_back(std::numeric_limits<double>::quiet_NaN());
}

namespace {
// A kept row's track when neither linker gave it one: written as an empty cell.
constexpr long long noLink = RowPlace::noTrack;
}  // namespace

void ArenaRun::keep(int64_t frame, const FrameRows& r) {
    Kept& f = kept_.emplace_back(Kept{frame, keptTime_, {}, r.shapes, r.postures, {}, {}});
    f.rows.resize(r.rows.size());
    for (size_t i = 0; i < r.rows.size(); ++i) {
        KeptRow& k = f.rows[i];
        std::memcpy(k.head, &r.rows[i], sizeof k.head);
        k.rays.assign(r.rows[i].rays, r.rows[i].rays + std::clamp<int32_t>(r.rows[i].rayCount, 0, ip_objectMaxRays));
        k.place = r.places[i];
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

// Each arena is a group of its own with its count; objects outside every arena are the group
// after the arenas', without a count.
int ArenaRun::groupOf(ambrevo::LinkPoint at) const {
    const int arena = hasArenas() ? arenas_.arena_of(at.x, at.y) : 1;
    return arena == 0 ? arenas_.count() : arena - 1;
}

// The tracks of the kept rows, the missing rows of each kept frame and, when the animals'
// identities were given, how sure each kept row's is.
struct ArenaRun::Links {
    std::vector<long long> trackOf;
    std::vector<std::vector<ambrevo::LinkedRow>> missing;
    std::vector<double> confidence;
};

// The identities come from the animals' looks: with their count, and rows that carry looks.
bool ArenaRun::identitiesWanted() const {
    if (o_.animals.empty()) return false;
    for (const Kept& f : kept_)
        if (!f.postures.empty()) return true;
    return false;
}

// Every kept row with its looks, as its track file tells them.
std::vector<ambrevo::IdentityRow> ArenaRun::identityRows() const {
    std::vector<ambrevo::IdentityRow> out;
    for (const Kept& f : kept_)
        for (size_t i = 0; i < f.rows.size(); ++i) {
            const ambrevo::LinkPoint at = keptPosition(f, i);
            ambrevo::IdentityRow& r = out.emplace_back();
            r.frame = f.frame, r.x = at.x, r.y = at.y, r.group = groupOf(at);
            ip_objectRecord record;
            std::memcpy(&record, f.rows[i].head, sizeof f.rows[i].head);
            const ObjectShape shape = i < f.shapes.size() ? f.shapes[i] : ObjectShape{};
            const ObjectPosture posture = i < f.postures.size() ? f.postures[i] : ObjectPosture{};
            r.cut = posture.split == 1;
            r.looks = looksOf(record.area, shape, posture);
        }
    return out;
}

// The track of every kept row, and the missing rows of each kept frame, by the whole-run
// linker, and the animals' identities where wanted. Throws StopRequested when `stop` asks.
bool ArenaRun::linkKept(Links& links, const StopToken& stop, std::string& error) const {
    const std::vector<int> animals(o_.animals.begin(), o_.animals.end());
    std::vector<ambrevo::LinkedRow> linked;
    size_t total = 0;
    try {
        if (identitiesWanted()) {
            const std::vector<ambrevo::IdentityRow> rows = identityRows();
            ambrevo::IdentifiedRows given = ambrevo::link_identities(rows, linkSettings_, animals, stop);
            linked = std::move(given.rows), links.confidence = std::move(given.confidence), total = rows.size();
        } else {
            std::vector<ambrevo::GroupedRow> all;
            for (const Kept& f : kept_)
                for (size_t i = 0; i < f.rows.size(); ++i) {
                    const ambrevo::LinkPoint at = keptPosition(f, i);
                    all.push_back({f.frame, at.x, at.y, groupOf(at)});
                }
            linked = ambrevo::link_global(all, linkSettings_, animals, stop), total = all.size();
        }
    } catch (const StopRequested&) {
        throw;
    } catch (const std::exception& e) {
        error = std::string("--link ") + o_.link + ": " + e.what();
        return false;
    }
    links.trackOf.assign(total, noLink);
    links.missing.assign(kept_.size(), {});
    for (const ambrevo::LinkedRow& l : linked)
        if (!l.missing)
            links.trackOf[size_t(l.row)] = l.track;
        else if (const size_t k = keptIndex(l.frame); k < kept_.size())
            links.missing[k].push_back(l);
    return true;
}

// The links made frame by frame while the run went on; without them (a position the linker
// refused), the rows keep an empty track.
void ArenaRun::frameByFrameLinks(Links& links) const {
    links = {};
    for (const Kept& f : kept_) {
        const bool linked = fallback_ && f.onlineTracks.size() == f.rows.size();
        for (size_t i = 0; i < f.rows.size(); ++i) links.trackOf.push_back(linked ? f.onlineTracks[i] : noLink);
        links.missing.push_back(linked ? f.onlineMissing : std::vector<ambrevo::LinkedRow>{});
    }
}

// The whole-run links, or, when a stop came before they were done, the frame-by-frame ones.
bool ArenaRun::linksOfKept(Links& links, const StopToken& stop, std::string& error) {
    linkStopped_ = stop.request();
    if (!linkStopped_) {
        try {
            return linkKept(links, stop, error);
        } catch (const StopRequested& stopped) {
            linkStopped_ = stopped.request;
        }
    }
    frameByFrameLinks(links);
    return true;
}

// The kept frame of input frame `frame`; kept_.size() when none was kept (it was passed by).
size_t ArenaRun::keptIndex(int64_t frame) const {
    const auto at = std::lower_bound(kept_.begin(), kept_.end(), frame,
                                     [](const Kept& f, int64_t n) { return f.frame < n; });
    return at != kept_.end() && at->frame == frame ? size_t(at - kept_.begin()) : kept_.size();
}

// The rows of the k-th kept frame (whose first row is the `first`-th kept row) with their links.
void ArenaRun::keptRows(size_t k, const Links& links, size_t first, FrameRows& out) {
    Kept& f = kept_[k];
    out = {};
    out.rows.assign(f.rows.size(), ip_objectRecord{});
    out.places.assign(f.rows.size(), {});
    for (size_t i = 0; i < f.rows.size(); ++i) {
        std::memcpy(&out.rows[i], f.rows[i].head, sizeof f.rows[i].head);
        std::copy(f.rows[i].rays.begin(), f.rows[i].rays.end(), out.rows[i].rays);
        out.places[i] = f.rows[i].place;
        out.places[i].track = links.trackOf[first + i];
        if (!links.confidence.empty())
            out.confidence.push_back(toDecimals(links.confidence[first + i], confidenceDecimals));
    }
    out.shapes = std::move(f.shapes);
    out.postures = std::move(f.postures);
    const bool shaped = out.shapes.size() == f.rows.size() && (!out.shapes.empty() || shapedRun_);
    f.rows = {};
    for (const ambrevo::LinkedRow& l : links.missing[k]) {
        addMissing(l, shaped, out);
        const int arena = hasArenas() ? arenas_.arena_of(l.x, l.y) : 0;
        out.places.push_back({f.time, l.track, true, arena, inUnits(l.x), inUnits(l.y)});
    }
}

// The rows of a kept frame for the per-track outputs; rows of no animal (track -1, or none) are
// no track's.
void ArenaRun::keepPoints(const Kept& f, const FrameRows& out) {
    for (size_t i = 0; keepPoints_ && i < out.rows.size(); ++i) {
        const RowPlace& place = out.places[i];
        if (place.track < 0) continue;
        const bool shaped = i < out.shapes.size();
        points_.push_back({f.frame, place.track, shaped ? out.shapes[i].x : double(out.rows[i].x),
                           shaped ? out.shapes[i].y : double(out.rows[i].y), place.missing, place.arena, f.time});
    }
}

bool ArenaRun::writeKept(const KeptWriter& write, const StopToken& stop, std::string& error) {
    if (!global_) return true;
    Links links;
    if (!linksOfKept(links, stop, error)) return false;
    FrameRows out;
    size_t first = 0;  // the kept row that is the frame's first
    for (size_t k = 0; k < kept_.size(); ++k) {
        const size_t rows = kept_[k].rows.size();
        keptRows(k, links, first, out);
        first += rows;
        if (!write(kept_[k].frame, out, error)) return false;
        keepPoints(kept_[k], out);
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
