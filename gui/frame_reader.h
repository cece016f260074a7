// The input's frames for the screen, in any order: what the timeline scrubs through. Videos
// are decoded by the backend the program uses and jump by seeking; image sequences and the
// built-in scene are read through the pipeline's own sources, so that a frame on screen is
// the frame a run hands to the module. Cameras and streams give their next frame. The last few
// frames read are kept: asked again (a preview that takes the frames before the one on
// screen, during playback), they cost nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "ambrevo/pipeline/sources/frame_source.h"

class FrameReader {
public:
    // An input failure when the input cannot be opened or holds no frame.
    Outcome open(const std::string& input);
    const std::string& input() const { return input_; }
    // Frames in the input; -1 for live inputs and streams that do not tell.
    int64_t count() const { return count_; }
    double fps() const { return fps_; }
    bool live() const { return count_ < 0; }
    // Frame `n` (from 0) as 8-bit BGR with its own time in seconds (negative: unknown); a live
    // input gives its next frame whatever `n`. An input failure past the end or when a frame
    // cannot be decoded. The picture is shared with the reader's own copy: not to be drawn on.
    Outcome read(int64_t n, cv::Mat& bgr, double& time);

private:
    Outcome reopen();
    Outcome decode(int64_t n, cv::Mat& bgr, double& time);
    Outcome decodeSource(int64_t n, cv::Mat& bgr, double& time);
    struct Kept {
        int64_t frame;
        cv::Mat bgr;
        double time;
    };
    std::deque<Kept> kept_;  // newest last
    std::string input_;
    std::unique_ptr<FrameSource> source_;  // image sequences, the built-in scene, live inputs
    cv::VideoCapture video_;               // video files
    int64_t next_ = 0;                     // the frame the next read gives
    int64_t count_ = -1;
    double fps_ = 25;
};
