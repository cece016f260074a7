// --show: the annotated frames in a window at the input's pace. A click selects (it goes to
// the procedure with the next frame), space pauses, c opens the configuration dialogue on
// the terminal, p prints the profile, q or Esc or closing the window ends the run.
#pragma once

#include <atomic>
#include <chrono>
#include <opencv2/core.hpp>
#include <vector>

#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/core/sink.h"

class ShowWindow {
public:
    ShowWindow();
    ~ShowWindow();
    // The clicks since the last frame.
    void takeClicks(std::vector<cv::Point>& clicks);
    // Shows the frame and waits for its time, taking keys and clicks meanwhile.
    void frame(const FrameResult& result, RunControl& control, const std::atomic<int>& stop);

private:
    bool handleKey(int key, RunControl& control);
    using Clock = std::chrono::steady_clock;
    Clock::time_point next_;
    bool opened_ = false, paused_ = false, quit_ = false;
};
