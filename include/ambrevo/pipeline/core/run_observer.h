// What a front end sees of a run and how it steers it. The program prints the failure and a
// progress line and shows the --show window; the Python package keeps the failure to raise
// it; a desktop app shows the progress and offers a cancel. The calls come from the thread
// that writes the outputs (the run's only thread when the frames are taken in turn), except
// where said otherwise.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/stop.h"

struct FrameResult;

// What a front end may do between two frames of a run whose frames are taken in turn.
class RunControl {
public:
    virtual ~RunControl() = default;
    // The procedure's configuration dialogue, answered on the terminal; false when the module
    // failed in it (the run then stops).
    virtual bool configure() = 0;
    // The table of stage times so far.
    virtual void printProfile(std::ostream& out) const = 0;
    // The input's frames per second.
    virtual double fps() const = 0;
    // Ends the run after this frame without a failure; the outputs are partial, for `reason`.
    virtual void quit(const std::string& reason) = 0;
};

class RunObserver {
public:
    virtual ~RunObserver() = default;
    // The failure that ends the run, once, as it happens.
    virtual void failed(const Failure& failure) { (void)failure; }
    // A remark that is no failure: why a run may have found nothing.
    virtual void notice(const std::string& text) { (void)text; }
    // What the procedure writes while it works, on the module's thread: its console output, or
    // a notice of its own (`notice`). By default where it would go without a host asking for it:
    // standard output and standard error.
    virtual void moduleSaid(bool notice, const std::string& text);
    // Where --tracks - streams its rows, asked once as that output opens: by default standard
    // output as the process has it. A failure refuses the run.
    virtual Expected<std::ostream*> liveRows();
    // After each frame written: frames done, and the frames the run is to take (-1: unknown).
    virtual void progress(int64_t done, int64_t expected) { (void)done, (void)expected; }
    // Polled by every stage before each frame, on any thread: 0 to go on, else the request
    // that stops the run after the frame in hand (a signal's number, or cancelRequest).
    virtual int stopRequested() { return 0; }
    // Clicks to hand the procedure with `frame`, beside the options' own (on the module's thread).
    virtual void addClicks(int64_t frame, std::vector<cv::Point>& clicks) { (void)frame, (void)clicks; }
    // After each frame's outputs; only for runs that take their frames in turn (--show).
    virtual void afterFrame(const FrameResult& result, RunControl& control) { (void)result, (void)control; }
};

// How a run ends: the first failure, or a quit without one.
class RunStatus {
public:
    explicit RunStatus(RunObserver& observer) : observer_(observer) {}
    // Reports the failure that ends the run; only the first one is told.
    void stop(RunError kind, const std::string& text) {
        if (failure_) return;
        failure_ = Failure{kind, text};
        reason_ = text;
        observer_.failed(*failure_);
    }
    void stop(const Failure& failure) { stop(failure.kind, failure.message); }
    void quit(const std::string& reason) {
        quit_ = true;
        if (reason_.empty()) reason_ = reason;
    }
    const std::optional<Failure>& failure() const { return failure_; }
    Outcome outcome() const { return failure_ ? Outcome(*failure_) : Outcome(); }
    // Why the run ended before the end of its input; empty when it did not.
    const std::string& reason() const { return reason_; }
    bool quitting() const { return quit_; }
    RunObserver& observer() const { return observer_; }

private:
    RunObserver& observer_;
    std::optional<Failure> failure_;
    bool quit_ = false;
    std::string reason_;
};
