#include "ambrevo/pipeline/sources/stream_input.h"

#include <chrono>
#include <cstdio>

#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/sources/input_kind.h"

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

class PipelineSource final : public CaptureFrames {
public:
    explicit PipelineSource(std::string name) : CaptureFrames(std::move(name)) {}
    Outcome open() {
        std::string target = name_.substr(4);
        if (target.find("appsink") == std::string::npos) target += " ! videoconvert ! appsink";
        try {
            capture_.open(target, cv::CAP_GSTREAMER);
        } catch (const cv::Exception&) {
        }
        if (!capture_.isOpened())
            return inputFailure("cannot open GStreamer pipeline '" + target + "' (is OpenCV built with GStreamer?)");
        takeAnnounced(true);
        return {};
    }
};

}  // namespace

bool isStreamInput(const std::string& input) {
    for (const char* scheme : {"rtsp://", "rtsps://", "rtmp://", "http://", "https://", "udp://", "tcp://", "gst:"})
        if (startsWith(input, scheme)) return true;
    return false;
}

bool isLiveInput(const std::string& input) {
    const InputKind kind = inputKind(input);
    return kind == InputKind::stream || kind == InputKind::camera;
}

Expected<std::unique_ptr<FrameSource>> openStream(const std::string& input) {
    auto source = std::make_unique<PipelineSource>(input);
    if (const Outcome opened = source->open(); !opened) return opened.error();
    return std::unique_ptr<FrameSource>(std::move(source));
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<TrackColumn> FrameTimes::columns(std::vector<TrackColumn> others) const {
    if (on_) {
        others.push_back({"t_capture", PlaceColumn::capture});
        others.push_back({"t_done", PlaceColumn::done});
    }
    return others;
}

void FrameTimes::addTimes(std::vector<RowPlace>& places, double doneAt) const {
    if (!on_) return;
    for (RowPlace& place : places) place.capture = capture_, place.done = doneAt;
}
