#include "module/windows.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/module/module.h"
#include "module/overlay.h"

void HostWindow::overlay(const ambrevo_draw* commands, int32_t count) {
    overlay_.clear();
    for (int32_t i = 0; i < count && commands; ++i) overlay_.push_back(drawCommand(commands[i]));
    changed_ = true;
}

void HostWindow::show(const ambrevo_image& image) {
    const ip_dibWords words = dibWords(image);
    cv::Mat m = dibToBgr(&words);
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

void WindowManager::configure(std::string dir, bool onScreen) {
    dir_ = std::move(dir);
    onScreen_ = onScreen;
}

HostWindow* WindowManager::find(int32_t id) {
    for (auto& w : windows_)
        if (w->id() == id) return w.get();
    return nullptr;
}

void WindowManager::close(int32_t id) {
    const auto it = std::find_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w->id() == id; });
    if (it == windows_.end()) return;
    if (onScreen_) cv::destroyWindow("ambrevo: " + (*it)->title());
    windows_.erase(it);
}

void WindowManager::event(void* manager, const ambrevo_window_event* e) {
    auto& m = *static_cast<WindowManager*>(manager);
    contained(m.failure_, [&] {
        if (e->kind == AMBREVO_WINDOW_OPEN)
            return m.windows_.push_back(std::make_unique<HostWindow>(e->window, e->title ? e->title : ""));
        if (e->kind == AMBREVO_WINDOW_CLOSE) return m.close(e->window);
        HostWindow* w = m.find(e->window);
        if (w && e->kind == AMBREVO_WINDOW_SHOW) w->show(e->image);
        if (w && e->kind == AMBREVO_WINDOW_OVERLAY) w->overlay(e->commands, e->command_count);
    });
}

Outcome WindowManager::endFrame(int64_t frame) {
    for (auto& w : windows_) {
        if (!w->takeChanged()) continue;
        cv::Mat picture = w->rendered();
        if (picture.empty()) continue;
        if (!dir_.empty()) {
            char number[32];
            std::snprintf(number, sizeof number, "_%06lld.png", static_cast<long long>(frame));
            std::string file = dir_ + "/" + fileSafe(w->title()) + number;
            if (!writeImage(file, picture)) return outputFailure("cannot write window image '" + file + "'");
        }
        if (onScreen_) cv::imshow("ambrevo: " + w->title(), picture);
    }
    return {};
}

std::string fileSafe(const std::string& title) {
    std::string out;
    for (char c : title) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        out += keep ? c : '_';
    }
    return out.empty() ? "window" : out;
}
