#include "preview.h"

#include "run.h"

namespace {

// The frame in hand, numbered as in its input: skipping to it costs nothing.
class HeldFrame final : public FrameSource {
public:
    HeldFrame(cv::Mat bgr, double time) : bgr_(std::move(bgr)), time_(time) {}
    Result read(cv::Mat& bgr, std::string&) override {
        if (given_) return end;
        given_ = true;
        bgr = bgr_;
        return frame;
    }
    Result skip(int64_t, std::string&) override { return frame; }
    double time() const override { return time_; }

private:
    cv::Mat bgr_;
    double time_;
    bool given_ = false;
};

class PreviewSink final : public Sink {
public:
    PreviewSink(FramePreview& out, bool objects) : out_(out), objects_(objects) {}
    // With --link ...,global the rows wait for the run's end and come apart from the pictures.
    SinkNeeds needs() const override { return {.objects = objects_, .exact = true, .annotated = true}; }
    bool open(const RunContext&, std::string&) override { return true; }
    bool frame(const FrameResult& result, std::string&) override {
        out_.exact = result.exact;
        out_.annotated = result.annotated;
        out_.objects.assign(result.objects.begin(), result.objects.end());
        out_.objectsRead = objects_;
        return true;
    }
    bool close(const RunRecord& record, std::string&) override {
        out_.moduleVersion = record.moduleVersion;
        out_.settings = record.settings;
        return true;
    }
    void discard() override {}

private:
    FramePreview& out_;
    bool objects_;
};

class FailureKept final : public RunObserver {
public:
    void failed(int, const std::string& message) override { message_ = message; }
    bool wantsNotices() const override { return false; }
    std::string message_;
};

}  // namespace

bool previewFrame(Module& module, const Options& options, const SettingsFile& saved, const cv::Mat& bgr, int64_t frame,
                  double time, FramePreview& out, int& status, std::string& error) {
    // The run's processing, none of its files or windows.
    Options o;
    o.input = options.input;
    o.procedure = options.procedure;
    o.procedureGiven = options.procedureGiven;
    o.configFile = options.configFile;
    o.settingsFile = options.settingsFile;
    o.sets = options.sets;
    o.grey = options.grey;
    o.maxPixels = options.maxPixels;
    o.rois = options.rois, o.animals = options.animals, o.link = options.link;
    o.scale = options.scale, o.unit = options.unit, o.fps = options.fps;
    o.start = frame, o.frames = 1, o.threads = 1, o.quiet = true;
    ambrevo::LinkSettings link;
    const bool deferred = !o.link.empty() && parseLinkOption(o.link, link, error) && link.global;
    out = FramePreview{};
    FailureKept observer;
    Run run(module, o, saved, observer);
    run.silenceConsole();
    run.setSource(std::make_unique<HeldFrame>(bgr, time));
    run.addSink(std::make_unique<PreviewSink>(out, !deferred));
    status = run.run();
    error = observer.message_;
    return status == exitOk;
}
