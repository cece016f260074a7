// What the pipeline adds around the module for animals in arenas: regions of interest
// painted out before the module sees a frame, and object rows with their arena, units, time
// and track. It keeps what the outputs of a whole run draw on at the end: every row, and
// frames sampled across the run for the median background.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/core/stop.h"
#include "ambrevo/pipeline/tracks/background_plan.h"
#include "ambrevo/pipeline/tracks/identity.h"
#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "ambrevo/pipeline/tracks/track_summary.h"
#include "ip_host.h"

class ArenaRun {
public:
    // Lays the arenas over frames of `frameSize`; `sourceFps` is the input's own rate and
    // `timed` whether the input tells each frame's time. False with a one-line usage error
    // when a mask does not fit the frames.
    bool open(const Options& o, cv::Size frameSize, double sourceFps, bool timed, int64_t expected, std::string& error);
    // Whether to keep every row (points()) and sample frames for background().
    void retain(bool points, bool background);

    // The columns added after the procedure's own, whose values rows() gives each row.
    std::vector<TrackColumn> columns() const;
    // The facts of the run for the track file's metadata.
    void describe(RunRecord& record) const;

    // The frame as read: sampled for the background, then painted outside the arenas.
    void prepare(int64_t frame, cv::Mat& bgr);
    // This frame's rows into `out`: `objects` as the module gave them, with their `shapes` and
    // `postures` (one each, or none), then a `missing` row for each live track not seen (when
    // linking), and the values of the extra columns of each. `time` is the frame's own time in
    // seconds, negative when unknown. With shapes, the objects' centres are the shapes'.
    void rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
              const std::vector<ObjectShape>& shapes, const std::vector<ObjectPosture>& postures, FrameRows& out);
    // With --link ...,global the rows wait for the end of the run: each frame's rows are handed
    // back with keep() instead of being written, and writeKept() links them all and writes them,
    // frame by frame, before the track file is finished. With --animals and rows that carry the
    // animals' looks (postures), the tracks are then made the animals' identities
    // (identity_link.h), each row with how sure it is. The frame-by-frame linker links them too
    // as they come: when `stop` asks before the whole-run linking is done, the rows are written
    // with its links at once, and linkStopped() tells the request.
    bool defers() const { return global_; }
    void keep(int64_t frame, const FrameRows& rows);
    using KeptWriter = std::function<bool(int64_t frame, const FrameRows& rows, std::string& error)>;
    bool writeKept(const KeptWriter& write, const StopToken& stop, std::string& error);
    int linkStopped() const { return linkStopped_; }
    // The arenas' outlines on the annotated picture.
    void draw(cv::Mat& annotated) const;

    // Every row so far, when kept.
    const std::vector<ambrevo::TrackPoint>& points() const { return points_; }
    // The median of the sampled frames with the arenas' outlines, dark, so that the pictures
    // show where the walls are. Throws std::invalid_argument when nothing was sampled.
    const cv::Mat& background() const;
    ambrevo::SummarySettings summarySettings() const;
    ambrevo::PlotSettings plotSettings() const;

    int64_t objectsSeen() const { return objectsSeen_; }
    bool hasArenas() const { return arenas_.count() > 0; }

private:
    double timeOf(int64_t frame, double time) const;
    double inUnits(double pixels) const;
    static void addMissing(const ambrevo::LinkedRow& l, bool shaped, FrameRows& rows);
    struct Kept;
    struct Links;
    void linkFrameByFrame(Kept& f);
    static ambrevo::LinkPoint keptPosition(const Kept& f, size_t i);
    int groupOf(ambrevo::LinkPoint at) const;
    bool identitiesWanted() const;
    std::vector<ambrevo::IdentityRow> identityRows() const;
    bool linkKept(Links& links, const StopToken& stop, std::string& error) const;
    void frameByFrameLinks(Links& links) const;
    bool linksOfKept(Links& links, const StopToken& stop, std::string& error);
    size_t keptIndex(int64_t frame) const;
    void keptRows(size_t k, const Links& links, size_t first, FrameRows& out);
    void keepPoints(const Kept& f, const FrameRows& out);

    Options o_;
    ambrevo::ArenaMap arenas_;
    std::optional<ambrevo::TrackLinker> linker_;
    std::optional<ambrevo::TrackLinker> fallback_;  // frame by frame beside the whole-run linking
    ambrevo::LinkSettings linkSettings_;
    bool global_ = false;
    int linkStopped_ = 0;
    // A row kept small: a long run holds millions. The record without its unused rays.
    struct KeptRow {
        unsigned char head[offsetof(ip_objectRecord, rays)];  // the fields before the rays
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
    std::vector<Kept> kept_;
    double keptTime_ = NAN;  // the rows' time of the frame rows() saw last
    double fps_ = 0;  // frames per second for times and speeds; 0 when the frames have no time
    bool timed_ = false;
    bool shapedRun_ = false;  // some frame's objects came with their shapes
    bool keepPoints_ = false, sampling_ = false;
    std::vector<ambrevo::TrackPoint> points_;
    std::vector<cv::Mat> samples_;  // frames for the median background
    mutable cv::Mat background_;
    ambrevo::BackgroundPlan plan_;
    int64_t objectsSeen_ = 0;
};
