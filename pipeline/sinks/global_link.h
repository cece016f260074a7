// --link ...,global: the rows wait for the end of the run. Each output that takes rows is
// wrapped in a GlobalLinkSink; the wrappers share one KeptRows, which keeps every frame's rows
// as they come (small: a long run holds millions) and links them frame by frame too. When the
// frames are over (Sink::flush), the rows are linked over the whole run, once, and each wrapper
// hands them, frame by frame, to its output before any output closes. With --animals and rows
// that carry the animals' looks (postures), the tracks are made the animals' identities
// (identity_link.h), each row with how sure it is. When a stop asks before the whole-run
// linking is done, the rows go with the frame-by-frame links at once, and linkStopped() tells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/core/stop.h"
#include "ambrevo/pipeline/tracks/identity.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "ip_host.h"
#include "tracks/run_tracks.h"

class KeptRows {
public:
    // `link` is the option's text for messages; `animals` the count in each arena.
    KeptRows(const ambrevo::LinkSettings& settings, std::string link, std::vector<int64_t> animals,
             RunTracks& tracks);
    // The frame's rows, once however many outputs hand them.
    void keep(const FrameResult& frame);
    // The output a wrapper hands the rows to.
    void addReader(Sink& output) { readers_.push_back(&output); }
    // The first time it is asked: links the rows kept and hands every kept frame's linked rows
    // to every output, each frame made once; a failure when the rows cannot be linked or an
    // output cannot take them (the others still get theirs).
    Outcome flush(const StopToken& stop);
    // The stop request that cut the whole-run linking short; 0 when none did.
    int linkStopped() const { return linkStopped_; }

private:
    struct KeptRow {
        unsigned char head[offsetof(ip_objectRecord, rays)];  // the record without its unused rays
        std::vector<float> rays;
        RowPlace place;
    };
    struct Kept {
        int64_t frame;
        double time;  // the rows' time: NaN when unknown
        std::vector<KeptRow> rows;
        std::vector<ObjectShape> shapes;      // one per row, or none
        std::vector<ObjectPosture> postures;  // one per row, or none
        std::vector<long long> onlineTracks;  // the frame-by-frame linker's track of each row
        std::vector<ambrevo::LinkedRow> onlineMissing;
    };
    // The tracks of the kept rows, the missing rows of each kept frame and, when the animals'
    // identities were given, how sure each kept row's is.
    struct Links {
        std::vector<long long> trackOf;
        std::vector<std::vector<ambrevo::LinkedRow>> missing;
        std::vector<double> confidence;
    };
    void linkFrameByFrame(Kept& f);
    static ambrevo::LinkPoint keptPosition(const Kept& f, size_t i);
    int groupOf(ambrevo::LinkPoint at) const { return tracks_.layout().groupOf(at.x, at.y); }
    bool identitiesWanted() const;
    std::vector<ambrevo::IdentityRow> identityRows() const;
    Outcome link(const StopToken& stop);
    Outcome linkKept(const StopToken& stop);
    void frameByFrameLinks();
    Outcome handOn();
    size_t keptIndex(int64_t frame) const;
    void keptRows(size_t k, size_t first, FrameRows& out) const;
    void keepPoints(const Kept& f, const FrameRows& out);

    ambrevo::LinkSettings settings_;
    std::string link_;
    std::vector<int64_t> animals_;
    RunTracks& tracks_;
    std::optional<ambrevo::TrackLinker> fallback_;  // frame by frame beside the whole-run linking
    std::vector<Kept> kept_;
    bool shapedRun_ = false;  // some frame's rows came with their shapes
    std::optional<Outcome> flushed_;  // whether the rows went out, once it was tried
    int linkStopped_ = 0;
    Links links_;
    std::vector<Sink*> readers_;
};

// An output that takes rows, handed them at the end of the run by KeptRows.
class GlobalLinkSink final : public Sink {
public:
    GlobalLinkSink(std::unique_ptr<Sink> inner, std::shared_ptr<KeptRows> kept);
    // Its pictures would wait unused: the output is handed only rows.
    SinkNeeds needs() const override {
        SinkNeeds needs = inner_->needs();
        needs.exact = needs.annotated = false;
        return needs;
    }
    Outcome open(const RunContext& run) override { return inner_->open(run); }
    Outcome frame(const FrameResult& result) override {
        kept_->keep(result);
        return {};
    }
    Outcome flush(const StopToken& stop) override { return kept_->flush(stop); }
    Outcome close(const RunRecord& record) override { return inner_->close(record); }
    void discard() override { inner_->discard(); }
    int closeOrder() const override { return inner_->closeOrder(); }

private:
    std::unique_ptr<Sink> inner_;
    std::shared_ptr<KeptRows> kept_;
};
