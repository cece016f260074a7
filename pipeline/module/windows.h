// Host windows that procedures open to show intermediate images. With --windows DIR
// each shown image is saved per frame as DIR/<title>_<frame>.png, with whatever overlay
// the procedure copied onto the window; with --show they also appear on screen.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "ip_host.h"
#include "module/overlay.h"

class HostWindow final : public ip_window {
public:
    HostWindow(std::string title, int width, int height) : title_(std::move(title)), width_(width), height_(height) {}
    int width() override { return width_; }
    int height() override { return height_; }
    void resize(int width, int height) override;
    void drawOverlay(ip_overlay* overlay) override;
    void show(const dib_base* image) override;

    const std::string& title() const { return title_; }
    // The picture with the copied overlay, and whether it changed since the last call.
    cv::Mat rendered() const;
    bool takeChanged();

private:
    std::string title_;
    int width_, height_;
    cv::Mat image_;
    std::vector<DrawCommand> overlay_;
    bool changed_ = false;
};

class WindowManager {
public:
    // Saves into `dir` when not empty; shows on screen when `onScreen`.
    void configure(std::string dir, bool onScreen);
    // The record handed to the module: it opens and closes windows through this manager.
    const ip_hostCallbacks* callbacks() const;
    // After each frame: save / show the windows whose picture changed. False when a
    // file could not be written (`error` says which).
    bool endFrame(int64_t frame, std::string& error);
    size_t open() const { return windows_.size(); }

    // The manager the module's window calls reach on this thread: the one a run made current
    // there (each run has its own, so that runs on several threads keep their windows apart),
    // else one for the whole process.
    static WindowManager& instance();
    // Makes a manager the current one of this thread while it lives.
    class Scope {
    public:
        explicit Scope(WindowManager& manager);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        WindowManager* previous_;
    };

private:
    static ip_window* create(const char* title, int width, int height);
    static void destroy(ip_window* window);

    std::string dir_;
    bool onScreen_ = false;
    std::vector<std::unique_ptr<HostWindow>> windows_;
};

// A title as a file name: letters, digits, '-' and '_' kept, everything else '_'.
std::string fileSafe(const std::string& title);
