// What the outputs of a whole run's tracks (--summary, --plot, --heatmap) draw on at its end:
// every row of the frames written, and the background sampled from those frames. The write
// stage fills it; the outputs read it when they close.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "ambrevo/pipeline/tracks/track_summary.h"
#include "tracks/arena_layout.h"
#include "tracks/background_samples.h"

class RunTracks {
public:
    explicit RunTracks(const ArenaLayout& layout) : layout_(layout) {}

    // Whether to keep every row (points()) and the samples for background().
    void retain(bool points, bool background) { keepPoints_ = points, keepSamples_ = background; }
    bool keepsPoints() const { return keepPoints_; }
    void add(const ambrevo::TrackPoint& point) {
        if (keepPoints_) points_.push_back(point);
    }
    void addSample(cv::Mat sample) {
        if (keepSamples_) samples_.keep(std::move(sample));
    }

    const std::vector<ambrevo::TrackPoint>& points() const { return points_; }
    // The median of the sampled frames with the arenas' outlines, dark. Throws
    // std::invalid_argument when nothing was sampled.
    const cv::Mat& background() const;
    const ArenaLayout& layout() const { return layout_; }

private:
    const ArenaLayout& layout_;
    bool keepPoints_ = false, keepSamples_ = false;
    std::vector<ambrevo::TrackPoint> points_;
    ambrevo::BackgroundSamples samples_;
    mutable cv::Mat background_;
};

inline const cv::Mat& RunTracks::background() const {
    if (background_.empty()) {
        background_ = samples_.median();
        layout_.drawWalls(background_);
    }
    return background_;
}
