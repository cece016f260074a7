// The write stage's rows: each frame's objects as the module gave them, linked frame by frame
// into tracks when asked, with a `missing` row for each live track not seen, and the values of
// the columns the layout adds (RowPlace). With the whole-run linker the tracks wait for the end
// of the run (global_link.h) and the rows go without them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "ip_host.h"
#include "tracks/arena_layout.h"
#include "tracks/run_tracks.h"

class RowBuilder {
public:
    explicit RowBuilder(RunTracks& tracks) : tracks_(tracks), layout_(tracks.layout()) {}
    // Links frame by frame with `linking` when it is not the whole-run linker's.
    void open(const std::optional<ambrevo::LinkSettings>& linking);
    bool linked() const { return linker_.has_value(); }

    // This frame's rows into `out`: `objects` with their `shapes` and `postures` (one each, or
    // none), then the missing rows. `time` is the frame's own time in seconds, negative when
    // unknown. With shapes, the objects' centres are the shapes'.
    void rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
              const std::vector<ObjectShape>& shapes, const std::vector<ObjectPosture>& postures, FrameRows& out);
    int64_t objectsSeen() const { return objectsSeen_; }

    // A row for a linked track not seen in the frame, at the place the linker gives; nothing of
    // it is known but that. `shaped`: the run's rows carry shapes.
    static void addMissing(const ambrevo::LinkedRow& l, bool shaped, FrameRows& out);

private:
    RunTracks& tracks_;
    const ArenaLayout& layout_;
    std::optional<ambrevo::TrackLinker> linker_;
    bool deferred_ = false;   // the whole-run linker gives the tracks, and keeps the points
    bool shapedRun_ = false;  // some frame's objects came with their shapes
    int64_t objectsSeen_ = 0;
};
