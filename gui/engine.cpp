#include "engine.h"

#include <chrono>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/run/pipeline_run.h"

namespace {

// What the window sees of a run: its progress, its failure and remarks, and the cancel.
class WindowObserver final : public RunObserver {
public:
    WindowObserver(std::atomic<bool>& cancel, std::function<void(int64_t, int64_t)> progress)
        : cancel_(cancel), progress_(std::move(progress)) {}
    void notice(const std::string& text) override { notice_ += (notice_.empty() ? "" : "\n") + text; }
    void progress(int64_t done, int64_t expected) override {
        expected_ = expected;
        const auto now = std::chrono::steady_clock::now();
        if (done != expected && now - told_ < std::chrono::milliseconds(100)) return;
        told_ = now;
        progress_(done, expected);
    }
    int stopRequested() override { return cancel_ ? cancelRequest : 0; }

    std::string notice_;
    int64_t expected_ = -1;

private:
    std::atomic<bool>& cancel_;
    std::function<void(int64_t, int64_t)> progress_;
    std::chrono::steady_clock::time_point told_{};
};

}  // namespace

Engine::Engine(Module& module, QObject* receiver) : module_(module), receiver_(receiver) {
    worker_.moveToThread(&thread_);
    thread_.start();
}

Engine::~Engine() {
    cancel_ = true;
    thread_.quit();
    thread_.wait();
}

void Engine::post(std::function<void()> work) {
    QMetaObject::invokeMethod(&worker_, std::move(work), Qt::QueuedConnection);
}

void Engine::back(std::function<void()> call) {
    QMetaObject::invokeMethod(receiver_, std::move(call), Qt::QueuedConnection);
}

void Engine::preview(PreviewJob job, std::function<void(const PreviewOutcome&)> done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.emplace(std::move(job), std::move(done));
    }
    post([this] {
        std::optional<std::pair<PreviewJob, std::function<void(const PreviewOutcome&)>>> taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken.swap(waiting_);
        }
        if (!taken) return;  // a later request took it already
        const PreviewJob& job = taken->first;
        auto outcome = std::make_shared<PreviewOutcome>();
        outcome->before = int64_t(job.frames.size()) - 1;
        outcome->frame = job.first + outcome->before;
        try {
            const Outcome done = previewFrames(module_, job.options, job.saved, job.frames, job.first, outcome->preview);
            outcome->ok = bool(done);
            if (!done) outcome->error = done.error().message;
        } catch (...) {
            outcome->error = describeFailure(std::current_exception());
        }
        back([outcome, done = std::move(taken->second)] { done(*outcome); });
    });
}

void Engine::run(Options options, SettingsFile saved, Progress progress,
                 std::function<void(const RunOutcome&)> done) {
    start(
        [this, options, saved](RunObserver& observer, RunOutcome& outcome) {
            PipelineRun run(module_, options, saved, observer);
            run.silenceConsole();
            if (const Outcome done = run.run(); !done) outcome.failure = done.error();
            outcome.frames = run.framesDone();
            outcome.seconds = run.seconds();
        },
        std::move(progress), std::move(done));
}

void Engine::start(Work work, Progress progress, std::function<void(const RunOutcome&)> done) {
    cancel_ = false;
    running_ = true;
    auto toWindow = [this, progress](int64_t a, int64_t b) { back([progress, a, b] { progress(a, b); }); };
    post([this, work, toWindow, done] {
        WindowObserver observer(cancel_, toWindow);
        auto outcome = std::make_shared<RunOutcome>();
        try {
            work(observer, *outcome);
        } catch (...) {
            outcome->failure = libraryFailure();
        }
        outcome->notice = observer.notice_;
        outcome->expected = observer.expected_;
        outcome->cancelled = cancel_;
        // Running until the window has the outcome in hand.
        back([this, outcome, done] {
            running_ = false;
            done(*outcome);
        });
    });
}
