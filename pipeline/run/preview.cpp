#include "ambrevo/pipeline/run/preview.h"

#include "run/run.h"

namespace {

// The frames in hand, numbered as in their input: skipping to the first costs nothing. Each
// is handed over as a copy, since the arenas are painted into the frame the run reads.
class HeldFrames final : public FrameSource {
public:
    explicit HeldFrames(const std::vector<HeldFrame>& frames) : frames_(frames) {}
    Result read(cv::Mat& bgr) override {
        if (next_ >= frames_.size()) return Read{Read::end};
        frames_[next_].bgr.copyTo(bgr);
        time_ = frames_[next_++].time;
        return Read{Read::frame};
    }
    Result skip(int64_t) override { return Read{Read::frame}; }
    double time() const override { return time_; }

private:
    const std::vector<HeldFrame>& frames_;
    size_t next_ = 0;
    double time_ = -1;
};

class PreviewSink final : public Sink {
public:
    PreviewSink(FramePreview& out, bool objects) : out_(out), objects_(objects) {}
    // With --link ...,global the rows wait for the run's end and come apart from the pictures.
    SinkNeeds needs() const override { return {.objects = objects_, .exact = true, .annotated = true}; }
    Outcome open(const RunContext&) override { return {}; }
    // Each frame's result replaces the one before: the last frame's is kept.
    Outcome frame(const FrameResult& result) override {
        out_.exact = result.exact;
        out_.annotated = result.annotated;
        out_.objects.assign(result.objects.begin(), result.objects.end());
        out_.objectsRead = objects_;
        return {};
    }
    Outcome close(const RunRecord& record) override {
        out_.moduleVersion = record.moduleVersion;
        out_.settings = record.settings;
        return {};
    }
    void discard() override {}

private:
    FramePreview& out_;
    bool objects_;
};

class NoticesKept final : public RunObserver {
public:
    void notice(const std::string& text) override { notice_ += (notice_.empty() ? "" : "\n") + text; }
    std::string notice_;
};

}  // namespace

Outcome previewFrames(Module& module, const Options& options, const SettingsFile& saved,
                      const std::vector<HeldFrame>& frames, int64_t first, FramePreview& out) {
    // The run's processing, none of its files or windows.
    Options o;
    static_cast<ProcessingOptions&>(o) = options;
    o.start = first, o.frames = int64_t(frames.size()), o.threads = 1, o.quiet = true;
    const bool deferred = o.linking && o.linking->global;
    out = FramePreview{};
    NoticesKept observer;
    Run run(module, o, saved, observer);
    run.silenceConsole();
    run.setSource(std::make_unique<HeldFrames>(frames));
    run.addSink(std::make_unique<PreviewSink>(out, !deferred));
    Outcome done = run.run();
    out.notice = observer.notice_;
    return done;
}
