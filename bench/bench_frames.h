// Frames both benchmarks time on: OpenCV pictures as module images, and the tracker tests'
// scene of moving dark discs.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <vector>

#include "adaptor/scene.h"
#include "image/dib.h"

namespace bench {

// `m` as a top-down module image of the same pixel size.
inline dib_base toDib(const cv::Mat& m) {
    dib_base image(dib_fmt(m.cols, m.rows, int(m.elemSize()), 0, false), 0);
    for (int y = 0; y < m.rows; ++y) std::memcpy(image.row(y), m.ptr(y), size_t(m.cols) * m.elemSize());
    return image;
}

// 32 BGR frames of the three moving discs, scaled to the frame size.
inline std::vector<cv::Mat> sceneFrames(int w, int h) {
    const double s = w / 640.0;
    const std::vector<scene::Disc> discs = {
        {200 * s, 150 * s, 60 * s, 40 * s, 0.05, 0.04, 0.0, 15 * s},
        {450 * s, 170 * s, 70 * s, 50 * s, 0.045, 0.05, 1.3, 15 * s},
        {320 * s, 340 * s, 100 * s, 30 * s, 0.04, 0.06, 2.1, 15 * s},
    };
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 32; ++i) {
        const std::vector<uint8_t> g = scene::render(w, h, discs, i);
        cv::Mat grey(h, w, CV_8UC1, const_cast<uint8_t*>(g.data())), bgr;
        cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
        frames.push_back(bgr);
    }
    return frames;
}

}  // namespace bench
