// One frame on its way from the source through the module to the outputs, with everything
// the later stages need of the earlier ones: nothing of the module's own memory is kept.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/sources/stream_input.h"
#include "ip_host.h"
#include "module/overlay.h"

struct FrameJob {
    int64_t frame = 0;  // the input's frame number, from 0
    cv::Mat bgr, holder;
    ip_dibWords image{};  // the frame as the module reads it (its pixels in bgr or holder)
    double time = -1;     // the input's time of the frame
    cv::Mat sample;       // the frame as read, when it is one of the background's samples
    FrameTimes times;
    // From the module.
    bool processed = false;
    // Searched before the procedure had learned its scene (told when FrameNeeds::learning asks).
    bool provisional = false;
    std::vector<ip_objectRecord> objects;
    // One per object when the procedure measures shapes, and when it reports posture.
    std::vector<ObjectShape> shapes;
    std::vector<ObjectPosture> postures;
    double ready = 0;  // when the objects were ready
    cv::Mat exact;     // the destination image's pixels
    std::vector<DrawCommand> commands;
    bool flash = false;
    int flashRadius = 0;
    std::vector<cv::Point> flashAt;
    // The failure that ends the run at this frame, told once the frames before it are written;
    // `last` alone is the input's end.
    bool last = false;
    std::optional<Failure> failure;

    void fail(RunError kind, const std::string& text) {
        last = true;
        failure = Failure{kind, "frame " + std::to_string(frame) + ": " + text};
    }
};

// Where a library failure is counted: reading the input, writing an output, or neither.
enum class Stage { elsewhere, reading, writing };
inline RunError stageError(Stage stage) {
    return stage == Stage::reading ? RunError::input : stage == Stage::writing ? RunError::output : RunError::library;
}
