// One run of a procedure over one input: the source, the arenas, the module, the linking and
// the outputs, joined by one frame loop (docs/pipeline.md). The front ends reach it through
// PipelineRun (ambrevo/pipeline/run/pipeline_run.h), which holds one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/module/traits.h"
#include "ambrevo/pipeline/sources/frame_source.h"
#include "module/frame_job.h"
#include "module/instance.h"
#include "run/start_pass.h"
#include "sinks/global_link.h"
#include "sources/demo_score.h"
#include "tracks/arena_layout.h"
#include "tracks/background_samples.h"
#include "tracks/row_builder.h"
#include "tracks/run_tracks.h"

class Run final : private RunControl {
public:
    // `module` is loaded and `options` checked (checkRequest); `saved`, the --settings file read.
    Run(Module& module, const Options& options, const SettingsFile& saved, RunObserver& observer);
    ~Run() override;

    // Frames from here instead of the input the options name (frames handed over from Python).
    void setSource(std::unique_ptr<FrameSource> source) {
        source_ = std::move(source);
        sourceHanded_ = true;
    }
    // The module's console text stays off standard output (a window shows it otherwise, if at
    // all); --console-log still gets it.
    void silenceConsole() { instance_.console().silence(); }
    // An output besides those the options ask for; it opens after them.
    void addSink(std::unique_ptr<Sink> sink) { extraSinks_.push_back(std::move(sink)); }

    // Checks the input, opens every output, processes the frames and closes the outputs as
    // complete or partial. The observer was told the failure it returns.
    Outcome run();

    // Whether the run went past its checks, so that its frames and time are worth reporting.
    bool reported() const { return reported_; }
    int64_t framesDone() const { return done_; }
    // The run's time, from opening the input to the last output closed.
    double seconds() const { return seconds_; }
    // The tracking error on the built-in scene; null for other inputs or without objects.
    const DemoScore* demoScore() const { return source_ && source_->demo() && needs_.objects ? &score_ : nullptr; }
    const HostProfiler& profiler() const { return instance_.profiler(); }
    // What the run's procedure is, as the module declares it.
    const ProcedureTraits& procedure() const { return traits_; }
    // The observer's stop requests, for the run's long phases to poll.
    const StopToken& stopToken() const { return stop_; }

private:
    Outcome runPhases();
    Outcome chooseOutputs();
    bool openInput(cv::Mat& bgr);
    Outcome openRows(cv::Size frameSize);
    FrameSource::Result readFrame(cv::Mat& bgr, int64_t& frame);
    bool openOutputs();
    void discardOutputs();
    void closeOutputs();
    void noteStop();
    Outcome finish();
    void tellNothingFound();
    // A remark of the module's with the run's numbers and settings in it.
    std::string remark(const std::string& text, int64_t count) const;
    // The frame loop (frame_loop.cpp).
    void loop(cv::Mat& first);
    void serial(FrameJob& job);
    bool threaded(FrameJob& first);
    bool more(int64_t next, int64_t handed) const;
    // The start settled backwards (start_pass.cpp).
    int64_t countedAnimals() const;
    StartSpan startSpan() const;
    void settleStart(FrameJob& first, const ip_fmtWords& format);
    void readAhead(int64_t wanted, const std::function<void(FrameJob)>& keep);
    bool followReading(int64_t wanted, const std::function<void()>& read);
    void settleBehind(StartSpan span, const ip_fmtWords& format, int64_t firstFrame,
                      const std::vector<SettingInfo>& now);
    void read(FrameJob& job);
    void readInput(FrameJob& job);
    void prepare(FrameJob& job);
    void process(FrameJob& job);
    void processForward(FrameJob& job);
    bool write(FrameJob& job);
    bool writeOutputs(FrameJob& job, Stage& at);
    cv::Mat annotate(FrameJob& job) const;
    // RunControl
    bool configure() override;
    void printProfile(std::ostream& out) const override;
    double fps() const override { return source_->fps(); }
    void quit(const std::string& reason) override { status_.quit(reason); }

    Module& module_;
    const Options o_;
    RunObserver& observer_;
    RunStatus status_;
    const Expected<ProcedureTraits> traitsRead_;  // or why they could not be read
    const ProcedureTraits traits_;
    const SettingsFile& saved_;
    const StopToken stop_;
    std::unique_ptr<FrameSource> source_;
    std::vector<std::unique_ptr<Sink>> sinks_, extraSinks_;
    Instance instance_;
    // The arenas and units (read by every stage), what the whole-run outputs draw on and the
    // rows of the write stage; the samples of the background taken on the read stage.
    ArenaLayout layout_;
    RunTracks tracks_{layout_};
    RowBuilder rows_{tracks_};
    ambrevo::SampleTaker sampler_;
    std::shared_ptr<KeptRows> kept_;  // --link ...,global: the rows wait for the end of the run
    DemoScore score_;
    RunRecord record_;
    FrameTimes times_;  // capture and ready times of live inputs' frames
    FrameNeeds needs_;
    int64_t done_ = 0;       // frames processed
    int64_t first_ = 0;      // the input frame the run begins with
    int64_t skipped_ = 0, firstSkipped_ = -1;  // frames passed by that could not be decoded
    int64_t expected_ = -1;  // frames the run is to process; -1 unknown
    double seconds_ = 0;
    bool reported_ = false;
    bool stopped_ = false;     // a stop request was told
    bool background_ = false;  // frames are sampled for the pictures
    int64_t nextFrame_ = 0;    // the frame after the one written last

    bool sourceHanded_ = false;  // from setSource, not the input the options name
    StartPass start_;
};

// Whether frames of `size` may be processed; empty sizes are not known yet.
// An input failure when they may not.
Outcome fitsLimits(cv::Size size, int64_t maxPixels);
