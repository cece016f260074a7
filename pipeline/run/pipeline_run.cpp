#include "ambrevo/pipeline/run/pipeline_run.h"

#include "run/run.h"

PipelineRun::PipelineRun(Module& module, const Options& options, const SettingsFile& saved, RunObserver& observer)
    : run_(std::make_unique<Run>(module, options, saved, observer)) {}
PipelineRun::~PipelineRun() = default;

void PipelineRun::setSource(std::unique_ptr<FrameSource> source) { run_->setSource(std::move(source)); }
void PipelineRun::silenceConsole() { run_->silenceConsole(); }
void PipelineRun::addSink(std::unique_ptr<Sink> sink) { run_->addSink(std::move(sink)); }
Outcome PipelineRun::run() { return run_->run(); }
bool PipelineRun::reported() const { return run_->reported(); }
int64_t PipelineRun::framesDone() const { return run_->framesDone(); }
double PipelineRun::seconds() const { return run_->seconds(); }
const DemoScore* PipelineRun::demoScore() const { return run_->demoScore(); }
void PipelineRun::printProfile(std::ostream& out) const { run_->profiler().print(out); }
