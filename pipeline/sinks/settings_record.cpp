// --settings-out FILE: the module version, the procedure and every setting's value as the run
// ended, as JSON that --settings reads back to repeat the run.
#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/module/traits.h"

namespace {

class SettingsSink final : public Sink {
public:
    explicit SettingsSink(std::string file) : target_(std::move(file)) {}
    Outcome open(const RunContext& run) override {
        procedure_ = run.procedure.name;
        return file_.create(target_, "--settings-out file");
    }
    Outcome frame(const FrameResult&) override { return {}; }
    Outcome close(const RunRecord& record) override {
        if (!record.settingsRead) return file_.commit();
        return writeText(file_, settingsJson(record.moduleVersion, procedure_, record.settings));
    }
    void discard() override { file_.discard(); }
    int closeOrder() const override { return -4; }

private:
    std::string target_, procedure_;
    PendingFile file_;
};

}  // namespace

std::unique_ptr<Sink> settingsSink(const Options& o) {
    return o.settingsOut.empty() ? nullptr : std::make_unique<SettingsSink>(o.settingsOut);
}
