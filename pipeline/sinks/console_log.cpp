// --console-log FILE: the exact bytes the module wrote to its console.
#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "module/console.h"

namespace {

class ConsoleLogSink final : public Sink {
public:
    explicit ConsoleLogSink(std::string file) : target_(std::move(file)) {}
    Outcome open(const RunContext& run) override {
        console_ = &run.console;
        if (Outcome made = file_.create(target_, "--console-log file"); !made) return made;
        return console_->openLog(file_.path());
    }
    Outcome frame(const FrameResult&) override { return {}; }
    Outcome close(const RunRecord&) override {
        if (console_->closeLog() && file_.commit()) return {};
        file_.discard();
        return outputFailure("cannot write --console-log file '" + target_ + "'");
    }
    void discard() override {
        if (console_) console_->closeLog();
        file_.discard();
    }
    // Last: the module may still write while the others close.
    int closeOrder() const override { return 1; }

private:
    std::string target_;
    PendingFile file_;
    HostConsole* console_ = nullptr;
};

}  // namespace

std::unique_ptr<Sink> consoleLogSink(const Options& o) {
    return o.consoleLog.empty() ? nullptr : std::make_unique<ConsoleLogSink>(o.consoleLog);
}
