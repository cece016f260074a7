// One run of a procedure over one input, as a front end (the program, the app, the Python
// package) starts it: made from the loaded module, the checked options, the --settings file
// and an observer, then run(). What the run is made of (the frame loop, the module's instance,
// the arenas and linking) stays inside the pipeline (run/run.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "ambrevo/pipeline/core/failure.h"

class Module;
struct Options;
struct SettingsFile;
class RunObserver;
class FrameSource;
class Sink;
class DemoScore;
class Run;

class PipelineRun {
public:
    // `module` is loaded and `options` checked (checkRequest); `saved`, the --settings file read.
    PipelineRun(Module& module, const Options& options, const SettingsFile& saved, RunObserver& observer);
    ~PipelineRun();
    PipelineRun(const PipelineRun&) = delete;
    PipelineRun& operator=(const PipelineRun&) = delete;

    // Frames from here instead of the input the options name (frames handed over from Python).
    void setSource(std::unique_ptr<FrameSource> source);
    // The module's console text stays off standard output; --console-log still gets it.
    void silenceConsole();
    // An output besides those the options ask for; it opens after them.
    void addSink(std::unique_ptr<Sink> sink);

    // Checks the input, opens every output, processes the frames and closes the outputs as
    // complete or partial. The observer was told the failure it returns.
    Outcome run();

    // Whether the run went past its checks, so that its frames and time are worth reporting.
    bool reported() const;
    int64_t framesDone() const;
    // The run's time, from opening the input to the last output closed.
    double seconds() const;
    // The tracking error on the built-in scene; null for other inputs or without objects.
    const DemoScore* demoScore() const;
    // The table of the stages' times (--profile).
    void printProfile(std::ostream& out) const;

private:
    std::unique_ptr<Run> run_;
};
