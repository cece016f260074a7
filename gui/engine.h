// The module's work off the window's thread: a live preview of one frame, or a whole run. One
// worker thread does both, in the order asked, so a preview never races a run for the module;
// of the previews waiting only the latest is made, so that a slider dragged quickly costs one
// frame, not one per step. Results come back on the thread of `receiver` (the window's).
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/run/preview.h"

struct PreviewJob {
    Options options;
    SettingsFile saved;
    std::vector<HeldFrame> frames;  // the frame shown last, any before it first
    int64_t first = 0;              // the input's number of frames[0]
};

struct PreviewOutcome {
    int64_t frame = 0;   // the frame shown
    int64_t before = 0;  // the frames processed before it
    bool ok = false;
    std::string error;
    FramePreview preview;
};

struct RunOutcome {
    std::optional<Failure> failure;
    std::string notice;   // a remark that is no failure (why nothing may have been found)
    int64_t frames = 0;
    int64_t expected = -1;  // the frames the run was to take, as it last told (-1: unknown)
    double seconds = 0;
    bool cancelled = false;
};

class Engine {
public:
    using Progress = std::function<void(int64_t done, int64_t expected)>;
    // Long work on the worker: it tells its progress and polls its stop through the observer
    // and fills in the outcome (the observer's failure and notices are added to it).
    using Work = std::function<void(RunObserver& observer, RunOutcome& outcome)>;

    Engine(Module& module, QObject* receiver);
    ~Engine();

    void preview(PreviewJob job, std::function<void(const PreviewOutcome&)> done);
    // `progress` gets the frames done and expected (-1: unknown) a few times a second.
    void run(Options options, SettingsFile saved, Progress progress, std::function<void(const RunOutcome&)> done);
    void start(Work work, Progress progress, std::function<void(const RunOutcome&)> done);
    // Ends the run after the frame in hand; its outputs are closed as partial.
    void cancel() { cancel_ = true; }
    bool running() const { return running_; }

private:
    void post(std::function<void()> work);
    void back(std::function<void()> call);

    Module& module_;
    QObject* receiver_;
    QThread thread_;
    QObject worker_;
    std::mutex mutex_;
    std::optional<std::pair<PreviewJob, std::function<void(const PreviewOutcome&)>>> waiting_;
    std::atomic<bool> cancel_{false}, running_{false};
};
