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
    bool open(const RunContext& run, std::string& error) override {
        windows_ = &run.windows;
        return dir_.empty() || prepareFolder(dir_, "--windows folder", made_, error);
    }
    bool frame(const FrameResult& result, std::string& error) override {
        return windows_->endFrame(result.frame, error);
    }
    bool close(const RunRecord&, std::string&) override { return true; }
    void discard() override { removeMadeFolders(dir_, made_); }

private:
    std::string dir_, made_;
    WindowManager* windows_ = nullptr;
};

}  // namespace

std::unique_ptr<Sink> windowsSink(const Options& o) {
    return o.windowsDir.empty() && !o.show ? nullptr : std::make_unique<WindowsSink>(o.windowsDir);
}
