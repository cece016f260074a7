// What the host adds around the module for animals in arenas: regions of interest painted
// out before the module sees a frame, object rows with their arena, units, time and track,
// and at the end the per-track summary and the pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ip_host.h"
#include "options.h"
#include "outputs.h"
#include "plots.h"
#include "roi.h"
#include "track_link.h"
#include "track_summary.h"

class ArenaRun {
public:
    // Lays the arenas over frames of `frameSize`; `sourceFps` is the input's own rate and
    // `timed` whether the input tells each frame's time. False with a one-line usage error
    // when a mask does not fit the frames.
    bool open(const Options& o, cv::Size frameSize, double sourceFps, bool timed, int64_t expected, std::string& error);
    // The summary and the pictures, under their temporary names.
    bool openOutputs(std::string& error);
    void discard();

    // The columns added after the procedure's own, in the order of the cells below.
    std::vector<std::string> columns() const;
    // The facts of the run for the track file's metadata.
    void describe(RunRecord& record) const;

    // The frame as read: sampled for the background, then painted outside the arenas.
    void prepare(int64_t frame, cv::Mat& bgr);
    // This frame's rows: `objects` as the module gave them, then a `missing` row for each live
    // track not seen (when linking); `cells` the extra columns of each. `time` is the frame's
    // own time in seconds, negative when unknown.
    void rows(int64_t frame, double time, const std::vector<ip_objectRecord>& objects,
              std::vector<ip_objectRecord>& out, std::vector<std::vector<std::string>>& cells);
    // With --link ...,global the rows wait for the end of the run: each frame's rows and cells
    // are handed back with keep() instead of being written, and writeKept() links them all and
    // writes them, frame by frame, before the track file is finished.
    bool defers() const { return global_; }
    void keep(int64_t frame, const std::vector<ip_objectRecord>& rows,
              const std::vector<std::vector<std::string>>& cells);
    bool writeKept(TracksWriter& tracks, std::string& error);
    // The arenas' outlines on the annotated picture.
    void draw(cv::Mat& annotated) const;
    // Writes the summary and the pictures and renames them into place.
    bool finish(std::string& error);

    int64_t objectsSeen() const { return objectsSeen_; }
    bool hasArenas() const { return arenas_.count() > 0; }

private:
    double timeOf(int64_t frame, double time) const;
    bool writeOutputs(std::string& error);

    Options o_;
    ambrevo::ArenaMap arenas_;
    std::optional<ambrevo::TrackLinker> linker_;
    ambrevo::LinkSettings linkSettings_;
    bool global_ = false;
    // A row kept small: a long run holds millions. The record without its unused rays, the
    // cells joined by a unit separator.
    struct KeptRow {
        unsigned char head[offsetof(ip_objectRecord, rays)];  // the fields before the rays
        std::vector<float> rays;
        std::string cells;
    };
    struct Kept {
        int64_t frame;
        std::string time;
        double t;
        std::vector<KeptRow> rows;
    };
    std::vector<Kept> kept_;
    std::string keptTime_;  // the time text and value of the frame rows() saw last
    double keptT_ = 0;
    double fps_ = 0;  // frames per second for times and speeds; 0 when the frames have no time
    bool timed_ = false;
    bool keepPoints_ = false;
    std::vector<ambrevo::TrackPoint> points_;
    std::vector<cv::Mat> samples_;  // frames for the median background
    int64_t sampleStep_ = 1, sampleIndex_ = 0;
    int64_t objectsSeen_ = 0;
    PendingFile summary_, plot_, heatmap_;
};

// The shortest text that reads back as exactly `v`.
std::string exactNumber(double v);
