// Where a run's arenas are and what its rows are measured in: the arenas' outlines over the
// frames, the unit of length and the clock of the rows. Fixed when the run opens and only read
// after, so that the stage that paints the frames and the stage that builds the rows share it.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/row_place.h"
#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "ambrevo/pipeline/tracks/track_summary.h"

struct RunRecord;

class ArenaLayout {
public:
    // Lays the arenas over frames of `frameSize`; `sourceFps` is the input's own rate and
    // `timed` whether the input tells each frame's time. A usage failure when a mask does not
    // fit the frames.
    Outcome open(const Options& o, cv::Size frameSize, double sourceFps, bool timed);

    // The columns that the layout adds after the procedure's own: the time, then (when the rows
    // are linked) the track and missing columns, the arena and the centre in units.
    std::vector<TrackColumn> columns(bool linked) const;
    // The facts of the run for the track file's metadata.
    void describe(RunRecord& record) const;

    // Paints the frame as read outside the arenas.
    void paint(cv::Mat& bgr) const;
    // The arenas' outlines on the annotated picture.
    void draw(cv::Mat& annotated) const;
    // The arenas' outlines, dark, on the background picture, so that it shows where the walls are.
    void drawWalls(cv::Mat& background) const;

    bool hasArenas() const { return arenas_.count() > 0; }
    // The arena of a position, 1..n; 0 outside every arena or when there are none.
    int arenaOf(double x, double y) const { return hasArenas() ? arenas_.arena_of(x, y) : 0; }
    // The group of a position for the whole-run linker: each arena one with its count, the
    // positions outside every arena the group after theirs, without a count.
    int groupOf(double x, double y) const;
    // A length in the run's unit; NaN without --scale.
    double inUnits(double pixels) const;
    // A row's time in seconds from the frame's number and its own time; NaN when not known.
    double rowTime(int64_t frame, double time) const;
    bool timed() const { return timed_; }

    ambrevo::SummarySettings summarySettings() const;
    ambrevo::PlotSettings plotSettings() const;

private:
    std::vector<std::string> rois_;
    std::string link_, unit_;
    std::vector<int64_t> animals_;
    double scale_ = 0, givenFps_ = 0;
    ambrevo::ArenaMap arenas_;
    double fps_ = 0;  // frames per second for times and speeds; 0 when the frames have no time
    bool timed_ = false;
};
