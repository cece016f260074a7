// -o FILE: the annotated video, .mp4 or .avi. The temporary file is made when the run opens,
// so that an unwritable target refuses the run before any frame; the encoder opens with the
// first frame.
#pragma once

#include <opencv2/videoio.hpp>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/sink.h"

class VideoSink final : public Sink {
public:
    explicit VideoSink(std::string file) : target_(std::move(file)) {}
    Outcome probe() { return file_.create(target_, "video"); }
    // Frames of another size are scaled to the first frame's size.
    Outcome write(const cv::Mat& bgr, double fps);
    // Closes the encoder, checks that the finished file announces every frame written
    // (a full disk loses the container's index), and renames it into place. A video
    // without frames is dropped.
    Outcome finish();

    SinkNeeds needs() const override { return {.annotated = true}; }
    Outcome open(const RunContext& run) override {
        fps_ = run.fps;
        return probe();
    }
    Outcome frame(const FrameResult& result) override { return write(result.annotated, fps_); }
    Outcome close(const RunRecord&) override { return finish(); }
    void discard() override;
    int closeOrder() const override { return -6; }

private:
    PendingFile file_;
    std::string target_;
    cv::VideoWriter writer_;
    cv::Size first_;
    cv::Size size_;
    int64_t frames_ = 0;
    double fps_ = 25;
};
