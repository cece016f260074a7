// Host windows that procedures open to show intermediate images. With --windows DIR
// each shown image is saved per frame as DIR/<title>_<frame>.png, with whatever overlay
// the procedure copied onto the window; with --show they also appear on screen.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo.h"
#include "ambrevo/pipeline/core/failure.h"
#include "module/overlay.h"

class HostWindow final {
public:
    HostWindow(int32_t id, std::string title) : id_(id), title_(std::move(title)) {}
    int32_t id() const { return id_; }
    // The picture the module shows in the window (copied: the module keeps changing it).
    void show(const ambrevo_image& image);
    // The commands the module copied onto the window.
    void overlay(const ambrevo_draw* commands, int32_t count);

    const std::string& title() const { return title_; }
    // The picture with the copied overlay, and whether it changed since the last call.
    cv::Mat rendered() const;
    bool takeChanged();

private:
    int32_t id_;
    std::string title_;
    cv::Mat image_;
    std::vector<DrawCommand> overlay_;
    bool changed_ = false;
};

// The windows of one instance: each run has its own, so that runs on several threads keep
// their windows apart.
class WindowManager {
public:
    // Saves into `dir` when not empty; shows on screen when `onScreen`.
    void configure(std::string dir, bool onScreen);
    // The module's window function (ambrevo_set_windows) with a manager as its pointer.
    static void event(void* manager, const ambrevo_window_event* event);
    // After each frame: save / show the windows whose picture changed. False when a
    // file could not be written (the failure says which).
    Outcome endFrame(int64_t frame);
    size_t open() const { return windows_.size(); }
    // What failed while the module used the windows (memory, a picture), once; empty when nothing did.
    std::string takeFailure() { return std::exchange(failure_, {}); }

private:
    HostWindow* find(int32_t id);
    void close(int32_t id);

    std::string dir_;
    bool onScreen_ = false;
    std::vector<std::unique_ptr<HostWindow>> windows_;
    std::string failure_;
};

// A title as a file name: letters, digits, '-' and '_' kept, everything else '_'.
std::string fileSafe(const std::string& title);
