// The program at its terminal: one line per failure on standard error, the progress line,
// the stop signals, and the --show window.
#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "run_observer.h"
#include "stop.h"

// Set by SIGINT / SIGTERM; a run stops after the frame in hand.
extern std::atomic<int> stopSignal;
void catchStopSignals();
// The signals' stop requests, for the long operations outside a run (score, a batch).
inline StopToken signalStop() { return StopToken(stopSignal); }

// The libraries' log levels, set before any of them logs: their warnings would come between
// the program's own lines. A user's explicit setting of the variables wins.
void quietLibraries(bool verbose);

// Prints "ambrevo: text" on its own line and returns `status`.
int fail(int status, const std::string& text);

class ShowWindow;

class TerminalObserver final : public RunObserver {
public:
    // `progress`: whether to keep a progress line; `show`: the --show window.
    TerminalObserver(bool progress, bool show);
    ~TerminalObserver() override;
    void failed(int status, const std::string& message) override;
    void notice(const std::string& text) override;
    void progress(int64_t done, int64_t expected) override;
    int stopRequested() override { return stopSignal; }
    void addClicks(int64_t frame, std::vector<cv::Point>& clicks) override;
    void afterFrame(const FrameResult& result, RunControl& control) override;
    // Standard output for the rows alone: what else the run prints there goes to standard error.
    std::ostream* liveRows(std::string& error) override;
    // Ends the progress line and closes the windows.
    void finish();

private:
    class Progress;
    std::unique_ptr<Progress> progress_;
    std::unique_ptr<ShowWindow> show_;
    std::unique_ptr<std::streambuf> rowsBuffer_;
    std::unique_ptr<std::ostream> rows_;
};
