#include "show_window.h"

#include <iostream>
#include <opencv2/highgui.hpp>

namespace {

const char* const title = "ambrevo";

// Mouse clicks in the window, waiting for the next frame.
std::vector<cv::Point> pendingClicks;

void onMouse(int event, int x, int y, int, void*) {
    if (event == cv::EVENT_LBUTTONDOWN) pendingClicks.emplace_back(x, y);
}

}  // namespace

ShowWindow::ShowWindow() = default;

ShowWindow::~ShowWindow() { cv::destroyAllWindows(); }

void ShowWindow::takeClicks(std::vector<cv::Point>& clicks) {
    clicks.insert(clicks.end(), pendingClicks.begin(), pendingClicks.end());
    pendingClicks.clear();
}

void ShowWindow::frame(const FrameResult& result, RunControl& control, const std::atomic<int>& stop) {
    if (!opened_) {
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::setMouseCallback(title, onMouse);
        next_ = Clock::now();
        opened_ = true;
    }
    cv::imshow(title, result.annotated);
    // Played at the input's pace; keys and clicks are taken while waiting.
    const Clock::duration interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / control.fps()));
    next_ += interval;
    bool ok = true;
    do {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_ - Clock::now()).count();
        const int key = cv::waitKey(int(std::max<int64_t>(1, std::min<int64_t>(wait, 50))));
        if (key >= 0) ok = handleKey(key, control);
        bool visible = true;
        try {
            visible = cv::getWindowProperty(title, cv::WND_PROP_VISIBLE) > 0;
        } catch (const cv::Exception&) {
        }
        if (!visible) {
            quit_ = true;
            control.quit("stopped from the window");
        }
    } while (ok && !quit_ && !stop && (paused_ || Clock::now() < next_));
    if (Clock::now() > next_ + interval) next_ = Clock::now();
}

// False when the dialogue failed: the run stops.
bool ShowWindow::handleKey(int key, RunControl& control) {
    switch (key & 0xff) {
        case ' ':
            paused_ = !paused_;
            break;
        case 'c':
            return control.configure();
        case 'p':
            control.printProfile(std::cout);
            std::cout.flush();
            break;
        case 'q':
        case 27:
            quit_ = true;
            control.quit("stopped from the window");
            break;
        default:
            break;
    }
    return true;
}
