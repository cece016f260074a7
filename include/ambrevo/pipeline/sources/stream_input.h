// Live inputs: network streams and GStreamer pipelines beside the cameras, and the times a
// live run writes for each frame so that a rig can measure its latency.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/row_place.h"
#include "ambrevo/pipeline/sources/frame_source.h"

// rtsp://, rtsps://, rtmp://, http://, https://, udp://, tcp:// addresses and gst: pipelines.
bool isStreamInput(const std::string& input);
// A stream or a camera (cam:N): an input whose frames happen while the run goes.
bool isLiveInput(const std::string& input);

// Opens a gst: pipeline through OpenCV's GStreamer backend. A pipeline that does not end in an
// appsink gets "! videoconvert ! appsink" appended. (Addresses FFmpeg reads are
// network_stream's.) An input failure when it cannot be opened.
Expected<std::unique_ptr<FrameSource>> openStream(const std::string& input);

// Seconds since the epoch, to the microsecond, so that the times compare with other clocks
// of the rig.
double wallSeconds();

// The t_capture and t_done columns of a live run's track file: the moment the host had the
// decoded frame from its backend, and the moment the frame's objects were ready.
class FrameTimes {
public:
    void enable(bool on) { on_ = on; }
    bool enabled() const { return on_; }
    // The track file's extra columns, with the times after the others when enabled.
    std::vector<TrackColumn> columns(std::vector<TrackColumn> others) const;
    void captured() { capture_ = wallSeconds(); }
    // Gives every row the capture time and the moment its objects were ready.
    void addTimes(std::vector<RowPlace>& places, double done) const;

private:
    bool on_ = false;
    double capture_ = 0;
};
