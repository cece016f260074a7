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
    bool probe(std::string& error) { return file_.create(target_, "video", error); }
    // Frames of another size are scaled to the first frame's size.
    bool write(const cv::Mat& bgr, double fps, std::string& error);
    // Closes the encoder, checks that the finished file announces every frame written
    // (a full disk loses the container's index), and renames it into place. A video
    // without frames is dropped.
    bool finish(std::string& error);

    SinkNeeds needs() const override { return {.annotated = true}; }
    bool open(const RunContext& run, std::string& error) override {
        fps_ = run.fps;
        return probe(error);
    }
    bool frame(const FrameResult& result, std::string& error) override { return write(result.annotated, fps_, error); }
    bool close(const RunRecord&, std::string& error) override { return finish(error); }
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
