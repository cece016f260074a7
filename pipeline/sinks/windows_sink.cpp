// --windows DIR (and --show): the procedure's own windows, saved per frame as
// DIR/<title>_<frame>.png and shown on screen with --show.
#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "module/windows.h"

namespace {

class WindowsSink final : public Sink {
public:
    explicit WindowsSink(std::string dir) : dir_(std::move(dir)) {}
    Outcome open(const RunContext& run) override {
        windows_ = &run.windows;
        return dir_.empty() ? Outcome() : prepareFolder(dir_, "--windows folder", made_);
    }
    Outcome frame(const FrameResult& result) override { return windows_->endFrame(result.frame); }
    Outcome close(const RunRecord&) override { return {}; }
    void discard() override { removeMadeFolders(dir_, made_); }

private:
    std::string dir_, made_;
    WindowManager* windows_ = nullptr;
};

}  // namespace

std::unique_ptr<Sink> windowsSink(const Options& o) {
    return o.windowsDir.empty() && !o.show ? nullptr : std::make_unique<WindowsSink>(o.windowsDir);
}
