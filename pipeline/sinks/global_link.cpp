#include "sinks/global_link.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "ambrevo/pipeline/tracks/identity_link.h"
#include "ambrevo/pipeline/tracks/link_global.h"
#include "ambrevo/pipeline/tracks/row_looks.h"
#include "tracks/row_builder.h"

namespace {
// A kept row's track when neither linker gave it one: written as an empty cell.
constexpr long long noLink = RowPlace::noTrack;
}  // namespace

KeptRows::KeptRows(const ambrevo::LinkSettings& settings, std::string link, std::vector<int64_t> animals,
                   RunTracks& tracks)
    : settings_(settings), link_(std::move(link)), animals_(std::move(animals)), tracks_(tracks) {
    fallback_.emplace(settings);
}

void KeptRows::keep(const FrameResult& r) {
    if (!kept_.empty() && kept_.back().frame == r.frame) return;
    const double time = tracks_.layout().rowTime(r.frame, r.time);
    Kept& f = kept_.emplace_back(Kept{r.frame, time, {}, {r.shapes.begin(), r.shapes.end()},
                                      {r.postures.begin(), r.postures.end()}, {}, {}});
    shapedRun_ = shapedRun_ || (!r.shapes.empty() && r.shapes.size() == r.rows.size());
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
void KeptRows::linkFrameByFrame(Kept& f) {
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

ambrevo::LinkPoint KeptRows::keptPosition(const Kept& f, size_t i) {
    ip_objectRecord r;
    std::memcpy(&r, f.rows[i].head, sizeof f.rows[i].head);
    const bool shaped = i < f.shapes.size();
    return {shaped ? f.shapes[i].x : r.x, shaped ? f.shapes[i].y : r.y};
}

// The identities come from the animals' looks: with their count, and rows that carry looks.
bool KeptRows::identitiesWanted() const {
    if (animals_.empty()) return false;
    for (const Kept& f : kept_)
        if (!f.postures.empty()) return true;
    return false;
}

// Every kept row with its looks, as its track file tells them.
std::vector<ambrevo::IdentityRow> KeptRows::identityRows() const {
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
Outcome KeptRows::linkKept(const StopToken& stop) {
    const std::vector<int> animals(animals_.begin(), animals_.end());
    std::vector<ambrevo::LinkedRow> linked;
    size_t total = 0;
    try {
        if (identitiesWanted()) {
            const std::vector<ambrevo::IdentityRow> rows = identityRows();
            ambrevo::IdentifiedRows given = ambrevo::link_identities(rows, settings_, animals, stop);
            linked = std::move(given.rows), links_.confidence = std::move(given.confidence), total = rows.size();
        } else {
            std::vector<ambrevo::GroupedRow> all;
            for (const Kept& f : kept_)
                for (size_t i = 0; i < f.rows.size(); ++i) {
                    const ambrevo::LinkPoint at = keptPosition(f, i);
                    all.push_back({f.frame, at.x, at.y, groupOf(at)});
                }
            linked = ambrevo::link_global(all, settings_, animals, stop), total = all.size();
        }
    } catch (const StopRequested&) {
        throw;
    } catch (const std::exception& e) {
        return outputFailure("--link " + link_ + ": " + e.what());
    }
    links_.trackOf.assign(total, noLink);
    links_.missing.assign(kept_.size(), {});
    for (const ambrevo::LinkedRow& l : linked)
        if (!l.missing)
            links_.trackOf[size_t(l.row)] = l.track;
        else if (const size_t k = keptIndex(l.frame); k < kept_.size())
            links_.missing[k].push_back(l);
    return {};
}

// The links made frame by frame while the run went on; without them (a position the linker
// refused), the rows keep an empty track.
void KeptRows::frameByFrameLinks() {
    links_ = {};
    for (const Kept& f : kept_) {
        const bool linked = fallback_ && f.onlineTracks.size() == f.rows.size();
        for (size_t i = 0; i < f.rows.size(); ++i) links_.trackOf.push_back(linked ? f.onlineTracks[i] : noLink);
        links_.missing.push_back(linked ? f.onlineMissing : std::vector<ambrevo::LinkedRow>{});
    }
}

// The whole-run links, or, when a stop came before they were done, the frame-by-frame ones.
Outcome KeptRows::link(const StopToken& stop) {
    linkStopped_ = stop.request();
    if (!linkStopped_) {
        try {
            return linkKept(stop);
        } catch (const StopRequested& stopped) {
            linkStopped_ = stopped.request;
        }
    }
    frameByFrameLinks();
    return {};
}

Outcome KeptRows::flush(const StopToken& stop) {
    if (flushed_) return *flushed_;
    const Outcome linked = link(stop);
    flushed_ = linked ? handOn() : linked;
    return *flushed_;
}

// The kept frame of input frame `frame`; kept_.size() when none was kept (it was passed by).
size_t KeptRows::keptIndex(int64_t frame) const {
    const auto at = std::lower_bound(kept_.begin(), kept_.end(), frame,
                                     [](const Kept& f, int64_t n) { return f.frame < n; });
    return at != kept_.end() && at->frame == frame ? size_t(at - kept_.begin()) : kept_.size();
}

// The rows of the k-th kept frame (whose first row is the `first`-th kept row) with their links.
void KeptRows::keptRows(size_t k, size_t first, FrameRows& out) const {
    const Kept& f = kept_[k];
    const ArenaLayout& layout = tracks_.layout();
    out = {};
    out.rows.assign(f.rows.size(), ip_objectRecord{});
    out.places.assign(f.rows.size(), {});
    for (size_t i = 0; i < f.rows.size(); ++i) {
        std::memcpy(&out.rows[i], f.rows[i].head, sizeof f.rows[i].head);
        std::copy(f.rows[i].rays.begin(), f.rows[i].rays.end(), out.rows[i].rays);
        out.places[i] = f.rows[i].place;
        out.places[i].track = links_.trackOf[first + i];
        if (!links_.confidence.empty())
            out.confidence.push_back(toDecimals(links_.confidence[first + i], confidenceDecimals));
    }
    out.shapes = f.shapes;
    out.postures = f.postures;
    const bool shaped = out.shapes.size() == f.rows.size() && (!out.shapes.empty() || shapedRun_);
    for (const ambrevo::LinkedRow& l : links_.missing[k]) {
        RowBuilder::addMissing(l, shaped, out);
        out.places.push_back({f.time, l.track, true, layout.arenaOf(l.x, l.y), layout.inUnits(l.x), layout.inUnits(l.y)});
    }
}

// The rows of a kept frame for the per-track outputs; rows of no animal (track -1, or none) are
// no track's.
void KeptRows::keepPoints(const Kept& f, const FrameRows& out) {
    for (size_t i = 0; i < out.rows.size(); ++i) {
        const RowPlace& place = out.places[i];
        if (place.track < 0) continue;
        const bool shaped = i < out.shapes.size();
        tracks_.add({f.frame, place.track, shaped ? out.shapes[i].x : double(out.rows[i].x),
                     shaped ? out.shapes[i].y : double(out.rows[i].y), place.missing, place.arena, f.time});
    }
}

// Each kept frame's rows, made once, to every output; the frame's memory goes as it is handed on.
Outcome KeptRows::handOn() {
    std::vector<char> taking(readers_.size(), 1);
    Outcome handed;
    FrameRows out;
    for (size_t k = 0, row = 0; k < kept_.size(); ++k) {
        Kept& f = kept_[k];
        keptRows(k, row, out);
        row += f.rows.size();
        keepPoints(f, out);
        FrameResult result;
        result.frame = f.frame;
        result.objects = out.rows;
        result.take(out);
        for (size_t r = 0; r < readers_.size(); ++r)
            if (taking[r])
                if (Outcome took = readers_[r]->frame(result); !took) taking[r] = 0, handed = std::move(took);
        f.rows = {}, f.shapes = {}, f.postures = {};
    }
    kept_ = {}, links_ = {};
    return handed;
}

GlobalLinkSink::GlobalLinkSink(std::unique_ptr<Sink> inner, std::shared_ptr<KeptRows> kept)
    : inner_(std::move(inner)), kept_(std::move(kept)) {
    kept_->addReader(*inner_);
}

