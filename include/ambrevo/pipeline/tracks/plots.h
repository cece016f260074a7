// Pictures of a whole run: the trajectories and where the animals spent their time.
#pragma once

#include <opencv2/core.hpp>
#include <span>
#include <string>

#include "ambrevo/pipeline/tracks/track_summary.h"

namespace ambrevo {

// The per-pixel, per-channel median of frames sampled across the video: the animals move, so
// at each pixel most samples show the empty arena. 8-bit BGR, grey or BGRA frames of one size;
// the result is BGR. An even count takes the lower median. Throws std::invalid_argument when
// there is no frame or the frames differ in size.
cv::Mat median_background(std::span<const cv::Mat> frames);

struct PlotSettings {
    double pixels_per_unit = 0;  // > 0: draw a scale bar
    std::string unit = "px";
};

// A colour of its own for each track: hues spread by the golden angle, so that tracks with
// neighbouring numbers never look alike.
cv::Scalar track_colour(long long track);

// The trajectories over a faded, grey copy of the background (so that the colours stand out),
// a colour per track, each seen position joined to the next seen one, a dot where the track
// starts and its number where it ends (when there are at most 60 tracks, beyond which numbers
// only clutter), and a scale bar of a round length when a scale is given.
cv::Mat plot_trajectories(const cv::Mat& background, std::span<const TrackPoint> rows, const PlotSettings& settings);

// Occupancy: the seen positions counted per pixel, smoothed with a Gaussian a fiftieth of the
// picture's smaller side wide, colour-mapped (turbo: blue little, red much) and laid over the
// background with an opacity growing with the density, so that empty places show the arena.
// A legend bar says which end is which; a scale bar as above.
cv::Mat plot_heatmap(const cv::Mat& background, std::span<const TrackPoint> rows, const PlotSettings& settings);

// The round length (1, 2 or 5 times a power of ten, in units) whose bar is closest below a
// fifth of `width_px`.
double scale_bar_length(double pixels_per_unit, int width_px);

}  // namespace ambrevo
