#include "tracks/row_builder.h"

#include <cmath>
#include <limits>

void RowBuilder::open(const std::optional<ambrevo::LinkSettings>& linking) {
    deferred_ = linking && linking->global;
    if (linking && !deferred_) linker_.emplace(*linking);
}

void RowBuilder::rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
                      const std::vector<ObjectShape>& shapes, const std::vector<ObjectPosture>& postures,
                      FrameRows& out) {
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
    const double t = layout_.rowTime(frame, time);
    out.places.assign(out.rows.size(), {});
    for (size_t i = 0; i < out.rows.size(); ++i) {
        const double x = linker_ && i < linked.size() ? linked[i].x : shaped ? out.shapes[i].x : out.rows[i].x;
        const double y = linker_ && i < linked.size() ? linked[i].y : shaped ? out.shapes[i].y : out.rows[i].y;
        const bool missing = linker_ && linked[i].missing;
        const long long track = linker_ ? linked[i].track : out.rows[i].index;
        const int arena = layout_.arenaOf(x, y);
        out.places[i] = {t, linker_ ? track : RowPlace::noTrack, missing, arena, layout_.inUnits(x), layout_.inUnits(y)};
        if (!deferred_) tracks_.add({frame, track, x, y, missing, arena, t});
    }
}

void RowBuilder::addMissing(const ambrevo::LinkedRow& l, bool shaped, FrameRows& out) {
    ip_objectRecord& r = out.rows.emplace_back();
    r.index = -1;
    r.x = int32_t(std::lround(l.x));
    r.y = int32_t(std::lround(l.y));
    if (shaped) out.shapes.push_back({toDecimals(l.x, centreDecimals), toDecimals(l.y, centreDecimals)});
    if (!out.postures.empty()) out.postures.emplace_back();
    if (!out.confidence.empty()) out.confidence.push_back(std::numeric_limits<double>::quiet_NaN());
}
