#include "module/windows.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ambrevo/pipeline/core/files.h"
#include "module/overlay.h"

void HostWindow::resize(int width, int height) {
    width_ = width;
    height_ = height;
}

void HostWindow::drawOverlay(ip_overlay* overlay) {
    // The module only ever hands back overlays that this host gave it.
    if (auto* ours = dynamic_cast<HostOverlay*>(overlay)) {
        overlay_ = ours->commands();
        changed_ = true;
    }
}

void HostWindow::show(const dib_base* image) {
    // The module keeps owning the image and will change it: keep a copy.
    cv::Mat m = dibToBgr(ip_dibWordsOf(image));
    if (m.empty()) return;
    image_ = m;
    changed_ = true;
}

cv::Mat HostWindow::rendered() const {
    if (image_.empty()) return {};
    cv::Mat out = image_.clone();
    renderCommands(out, overlay_);
    return out;
}

bool HostWindow::takeChanged() {
    bool was = changed_;
    changed_ = false;
    return was;
}

namespace {
thread_local WindowManager* current = nullptr;
}

WindowManager& WindowManager::instance() {
    static WindowManager process;
    return current ? *current : process;
}

WindowManager::Scope::Scope(WindowManager& manager) : previous_(current) { current = &manager; }

WindowManager::Scope::~Scope() { current = previous_; }

void WindowManager::configure(std::string dir, bool onScreen) {
    dir_ = std::move(dir);
    onScreen_ = onScreen;
}

const ip_hostCallbacks* WindowManager::callbacks() const {
    static const ip_hostCallbacks record{&WindowManager::create, &WindowManager::destroy};
    return &record;
}

ip_window* WindowManager::create(const char* title, int width, int height) {
    WindowManager& m = instance();
    m.windows_.push_back(std::make_unique<HostWindow>(title ? title : "", width, height));
    return m.windows_.back().get();
}

void WindowManager::destroy(ip_window* window) {
    WindowManager& m = instance();
    auto it = std::find_if(m.windows_.begin(), m.windows_.end(),
                           [&](const std::unique_ptr<HostWindow>& w) { return w.get() == window; });
    if (it == m.windows_.end()) return;  // not ours, or closed already
    if (m.onScreen_) cv::destroyWindow("ambrevo: " + (*it)->title());
    m.windows_.erase(it);
}

bool WindowManager::endFrame(int64_t frame, std::string& error) {
    for (auto& w : windows_) {
        if (!w->takeChanged()) continue;
        cv::Mat picture = w->rendered();
        if (picture.empty()) continue;
        if (!dir_.empty()) {
            char number[32];
            std::snprintf(number, sizeof number, "_%06lld.png", static_cast<long long>(frame));
            std::string file = dir_ + "/" + fileSafe(w->title()) + number;
            if (!writeImage(file, picture)) {
                error = "cannot write window image '" + file + "'";
                return false;
            }
        }
        if (onScreen_) cv::imshow("ambrevo: " + w->title(), picture);
    }
    return true;
}

std::string fileSafe(const std::string& title) {
    std::string out;
    for (char c : title) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        out += keep ? c : '_';
    }
    return out.empty() ? "window" : out;
}
