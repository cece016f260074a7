// The program at its terminal: one line per failure on standard error, the progress line,
// the stop signals, and the --show window.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/core/stop.h"
#include "exit_status.h"

// Set by SIGINT / SIGTERM; a run stops after the frame in hand.
extern std::atomic<int> stopSignal;
void catchStopSignals();
// The signals' stop requests, for the long operations outside a run (score, a batch).
inline StopToken signalStop() { return StopToken(stopSignal); }

// The libraries' log levels, set before any of them logs: their warnings would come between
// the program's own lines. A user's explicit setting of the variables wins.
void quietLibraries(bool verbose);

// Held while writing to standard error. A decoder holds it for as long as standard error is
// closed to it, so that a message from another thread of the run waits for the decoder
// instead of going to /dev/null.
std::unique_lock<std::recursive_mutex> holdStderr();

// Prints "ambrevo: text" on its own line and returns `status`.
int fail(int status, const std::string& text);
// Prints the failure's message the same way and returns its exit status.
inline int fail(const Failure& failure) { return fail(exitStatus(failure.kind), failure.message); }

class ShowWindow;

class TerminalObserver final : public RunObserver {
public:
    // `progress`: whether to keep a progress line; `show`: the --show window.
    TerminalObserver(bool progress, bool show);
    ~TerminalObserver() override;
    void failed(const Failure& failure) override { fail(failure); }
    void notice(const std::string& text) override;
    void progress(int64_t done, int64_t expected) override;
    int stopRequested() override { return stopSignal; }
    void addClicks(int64_t frame, std::vector<cv::Point>& clicks) override;
    void afterFrame(const FrameResult& result, RunControl& control) override;
    // Standard output for the rows alone: what else the run prints there goes to standard error.
    Expected<std::ostream*> liveRows() override;
    // The module's words wait for a decoder that has standard error closed.
    void moduleSaid(bool notice, const std::string& text) override;
    // Ends the progress line and closes the windows.
    void finish();

private:
    class Progress;
    std::unique_ptr<Progress> progress_;
    std::unique_ptr<ShowWindow> show_;
    std::unique_ptr<std::streambuf> rowsBuffer_;
    std::unique_ptr<std::ostream> rows_;
};
