#include "tracks/background_samples.h"

#include <opencv2/imgproc.hpp>

#include "ambrevo/pipeline/tracks/plots.h"

namespace ambrevo {

cv::Mat SampleTaker::take(const cv::Mat& frame) {
    if (!plan_.takes() || (held_ > 0 && frame.size() != size_)) return {};
    size_ = frame.size();
    cv::Mat sample;
    if (frame.channels() == 1)
        cv::cvtColor(frame, sample, cv::COLOR_GRAY2BGR);
    else
        sample = frame.clone();
    if (plan_.thins(++held_)) held_ = (held_ + 1) / 2;
    return sample;
}

void BackgroundSamples::keep(cv::Mat sample) {
    if (sample.empty()) return;
    samples_.push_back(std::move(sample));
    if (plan_.thins(samples_.size())) keepEveryOther(samples_);
}

cv::Mat BackgroundSamples::median() const { return median_background(samples_); }

}  // namespace ambrevo
