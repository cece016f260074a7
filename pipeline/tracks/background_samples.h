// The frames the pictures' median background is drawn from, taken as the frames are read and
// kept as they are written: only frames the run wrote count, so that a run stopped early draws
// on the frames its outputs hold, whether its stages overlap or not. The reading side follows
// the plan (background_plan.h) and hands each sample on with its frame; the writing side keeps
// them, thinning them at the same counts the reading side did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "ambrevo/pipeline/tracks/background_plan.h"

namespace ambrevo {

// The read stage's half: which frames are samples.
class SampleTaker {
public:
    // `expected`: the frames the run expects to read; 0 or less when it does not know.
    explicit SampleTaker(int64_t expected = 0) : plan_(expected) {}
    // The frame read next as a BGR sample, or an empty picture when it is not one. Frames of
    // another size than the first sample's are not taken.
    cv::Mat take(const cv::Mat& frame);

private:
    BackgroundPlan plan_;
    size_t held_ = 0;  // the samples the writing side holds once it has them all
    cv::Size size_;
};

// The write stage's half: the samples of the frames written.
class BackgroundSamples {
public:
    void keep(cv::Mat sample);
    const std::vector<cv::Mat>& samples() const { return samples_; }
    // The median of the samples kept. Throws std::invalid_argument when there are none.
    cv::Mat median() const;

private:
    BackgroundPlan plan_;
    std::vector<cv::Mat> samples_;
};

}  // namespace ambrevo
