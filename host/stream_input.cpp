#include "stream_input.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string timeCell(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

class StreamSource final : public FrameSource {
public:
    explicit StreamSource(std::string name) : name_(std::move(name)) {}
    bool open(std::string& error) {
        const bool gst = startsWith(name_, "gst:");
        std::string target = gst ? name_.substr(4) : name_;
        if (gst && target.find("appsink") == std::string::npos) target += " ! videoconvert ! appsink";
        try {
            capture_.open(target, gst ? cv::CAP_GSTREAMER : cv::CAP_FFMPEG);
        } catch (const cv::Exception&) {
        }
        if (!capture_.isOpened()) {
            error = gst ? "cannot open GStreamer pipeline '" + target + "' (is OpenCV built with GStreamer?)"
                        : "cannot open stream '" + name_ + "'";
            return false;
        }
        const double f = capture_.get(cv::CAP_PROP_FPS);
        fps_ = f > 0.5 && f < 1000 ? f : 25.0;
        // A file served over HTTP announces its frames; a live stream does not.
        const double n = capture_.get(cv::CAP_PROP_FRAME_COUNT);
        total_ = n >= 1 && n < 1e12 ? int64_t(n) : -1;
        const double w = capture_.get(cv::CAP_PROP_FRAME_WIDTH), h = capture_.get(cv::CAP_PROP_FRAME_HEIGHT);
        if (w >= 1 && h >= 1 && w < 1e9 && h < 1e9) size_ = cv::Size(int(w), int(h));
        return true;
    }
    Result read(cv::Mat& bgr, std::string& error) override {
        cv::Mat raw;
        bool ok = false;
        try {
            ok = capture_.read(raw);
        } catch (const cv::Exception&) {
            ok = false;
        }
        if (!ok || raw.empty()) {
            if (frames_ > 0) return end;
            error = "cannot decode any frame of '" + name_ + "'";
            return failed;
        }
        if (!toBgr8(raw, bgr)) {
            error = "unsupported pixel layout in '" + name_ + "'";
            return failed;
        }
        ++frames_;
        // The stream's own clock, in seconds from its start, as for video files.
        time_ = captureSeconds(capture_);
        return frame;
    }
    double time() const override { return time_; }
    int64_t total() const override { return total_; }
    cv::Size announcedSize() const override { return size_; }
    double fps() const override { return fps_; }

private:
    std::string name_;
    cv::VideoCapture capture_;
    cv::Size size_;
    double fps_ = 25.0;
    int64_t total_ = -1;
    int64_t frames_ = 0;
    double time_ = -1;
};

}  // namespace

bool isStreamInput(const std::string& input) {
    for (const char* scheme : {"rtsp://", "rtsps://", "rtmp://", "http://", "https://", "udp://", "tcp://", "gst:"})
        if (startsWith(input, scheme)) return true;
    return false;
}

bool isLiveInput(const std::string& input) { return isStreamInput(input) || startsWith(input, "cam:"); }

std::unique_ptr<FrameSource> openStream(const std::string& input, std::string& error) {
    auto source = std::make_unique<StreamSource>(input);
    if (!source->open(error)) return nullptr;
    return source;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> FrameTimes::columns(std::vector<std::string> others) const {
    if (on_) {
        others.push_back("t_capture");
        others.push_back("t_done");
    }
    return others;
}

void FrameTimes::addCells(std::vector<std::vector<std::string>>& cells, double doneAt) const {
    if (!on_) return;
    const std::string capture = timeCell(capture_), done = timeCell(doneAt);
    for (std::vector<std::string>& row : cells) {
        row.push_back(capture);
        row.push_back(done);
    }
}
