// One frame through the whole pipeline, for a live preview: the frame a front end already
// holds goes through the arenas and the module exactly as the run would take it when it
// starts at that frame, with the options' settings, and comes back as the destination image,
// the picture with what was found drawn on it, and the objects. A set-up that learns from
// earlier frames (a background, a difference of frames) is previewed with some of them
// before, as a run started there would take them.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ip_host.h"

struct FramePreview {
    cv::Mat exact;      // the destination image's pixels, as --dst writes them
    cv::Mat annotated;  // BGR: the destination picture with the overlay and the arenas
    std::vector<ip_objectRecord> objects;
    bool objectsRead = false;  // whether the module was asked for its objects
    std::string moduleVersion;
    std::vector<std::pair<std::string, std::string>> settings;  // every setting's value in use
    std::string notice;  // the run's remark on why nothing may have been found, if it made one
};

// A frame as the front end holds it: 8-bit BGR and its own time in seconds (negative: unknown).
struct HeldFrame {
    cv::Mat bgr;
    double time = -1;
};

// Processes `frames`, input frames `first` on, as a run of the options (their input and
// outputs aside) started at `first` would, and gives what the last of them came out as. The
// frames are left as they are; the run's failure, if it has one.
Outcome previewFrames(Module& module, const Options& options, const SettingsFile& saved,
                      const std::vector<HeldFrame>& frames, int64_t first, FramePreview& out);
