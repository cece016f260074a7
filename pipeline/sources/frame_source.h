// Where frames come from: a video file, an image sequence, a single image, a camera or
// the built-in scene.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "demo_scene.h"

class FrameSource {
public:
    enum Result { frame, end, failed };
    virtual ~FrameSource() = default;
    // The next frame as 8-bit BGR; `failed` with `error` when it cannot be decoded.
    virtual Result read(cv::Mat& bgr, std::string& error) = 0;
    // Passes over `count` frames without handing them out; `end` when the input ends first.
    virtual Result skip(int64_t count, std::string& error);
    // Frames in the input, -1 when unknown (cameras, some streams).
    virtual int64_t total() const { return -1; }
    // The frame size the container announces before anything is decoded; empty when unknown.
    virtual cv::Size announcedSize() const { return {}; }
    // Frames per second for the written video and the on-screen pace.
    virtual double fps() const { return 25.0; }
    // The time of the frame last read, in seconds from the input's start, from the input's own
    // timestamps; negative when the input has none (image files).
    virtual double time() const { return -1; }
    // The built-in scene, for the tracking error summary; null for other inputs.
    virtual const DemoScene* demo() const { return nullptr; }
};

// A source read through cv::VideoCapture (video files, cameras, streams): what the opened
// capture announces, and its frames as 8-bit BGR stamped with the capture's own clock.
class CaptureFrames : public FrameSource {
public:
    Result read(cv::Mat& bgr, std::string& error) override;
    int64_t total() const override { return total_; }
    cv::Size announcedSize() const override { return size_; }
    double fps() const override { return fps_; }
    double time() const override { return time_; }

protected:
    explicit CaptureFrames(std::string name) : name_(std::move(name)) {}
    // Takes the frame rate, the frame size and, when `counted`, the frame count the opened
    // capture announces, each only when plausible.
    void takeAnnounced(bool counted);

    std::string name_;
    cv::VideoCapture capture_;

private:
    cv::Size size_;
    double fps_ = 25.0;
    int64_t total_ = -1;
    int64_t frames_ = 0;
    double time_ = -1;
};

// Whether the decoders may write their own warnings to standard error (--verbose); by
// default standard error is closed to them while they decode.
void showDecoderChatter(bool show);
bool decoderChatterShown();
// Held while writing to standard error. A decoder holds it for as long as standard error is
// closed to it, so that a message from another thread of the run waits for the decoder
// instead of going to /dev/null.
std::unique_lock<std::recursive_mutex> holdStderr();

// Any decoded picture as 8-bit BGR (16-bit samples scaled down); false for an empty one or
// a channel count other than 1, 3 or 4.
bool toBgr8(const cv::Mat& in, cv::Mat& out);

// The capture's own clock at the frame just read, in seconds from its start; -1 when unknown.
double captureSeconds(cv::VideoCapture& capture);

// Opens `input`; null with `error` when it is missing or cannot be opened. With `luma`, a
// video file's frames are one-channel grey from the decoder's own luma, decoded on every core:
// only for procedures whose results were never pinned to OpenCV's reader and conversion.
std::unique_ptr<FrameSource> openSource(const std::string& input, std::string& error, bool luma = false);

// The files of a printf pattern such as frames/%04d.png, from the first existing index
// among 0 and 1 up to the first gap.
std::vector<std::string> patternFiles(const std::string& pattern);
// The image files of a folder, in name order.
std::vector<std::string> folderImages(const std::string& folder);
