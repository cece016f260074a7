// One frame through the whole pipeline, for a live preview: the frame a front end already
// holds goes through the arenas and the module exactly as the run would take it when it
// starts at that frame, with the options' settings, and comes back as the destination image,
// the picture with what was found drawn on it, and the objects.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ip_host.h"
#include "module.h"
#include "options.h"
#include "settings.h"

struct FramePreview {
    cv::Mat exact;      // the destination image's pixels, as --dst writes them
    cv::Mat annotated;  // BGR: the destination picture with the overlay and the arenas
    std::vector<ip_objectRecord> objects;
    bool objectsRead = false;  // whether the module was asked for its objects
    std::string moduleVersion;
    std::vector<std::pair<std::string, std::string>> settings;  // every setting's value in use
};

// Processes `bgr`, input frame `frame` whose own time is `time` (negative: unknown), as a run
// of the options (their input and outputs aside) started at that frame would. False with the
// run's exit status and its one-line message.
bool previewFrame(Module& module, const Options& options, const SettingsFile& saved, const cv::Mat& bgr, int64_t frame,
                  double time, FramePreview& out, int& status, std::string& error);
