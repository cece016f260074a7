// The built-in scene: a bright textured background and three dark discs on smooth
// paths that pass close to each other. Deterministic: frame i is always the same
// picture, and the true disc centres are known exactly.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

struct DemoDisc {
    double x, y;  // centre in pixel coordinates (pixel (i, j) covers i-0.5..i+0.5)
};

class DemoScene {
public:
    static constexpr int width = 640;
    static constexpr int height = 480;
    static constexpr int frameCount = 300;
    static constexpr double radius = 15.0;
    static constexpr double fps = 30.0;

    DemoScene();
    // True centres of the discs in frame `frame`.
    static std::vector<DemoDisc> discs(int64_t frame);
    // The BGR picture of frame `frame`.
    cv::Mat frame(int64_t frame) const;

private:
    cv::Mat background_;
};
