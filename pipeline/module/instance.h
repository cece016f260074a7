// One instance of a procedure in the loaded module, with what it talks to: the console of its
// dialogue, the overlay it draws on, the profiler its stages report to and the windows it
// opens, each handed to the module with its own pointer. Every call into the module goes
// through here, on one thread; a module failure becomes a message.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/module/traits.h"
#include "module/console.h"
#include "module/frame_job.h"
#include "module/overlay.h"
#include "module/windows.h"

// One of a procedure's counters as read at the end of a run (ambrevo_counters), with what
// its traits say of it.
struct ProcedureCounter {
    CounterTraits traits;
    int64_t value = 0;
};

// What the frame results must carry (the union of the outputs' needs).
struct FrameNeeds {
    bool objects = false, exact = false, annotated = false, profile = false;
    bool learning = false;  // tell whether the procedure had learned its scene (FrameJob::provisional)
};

class Instance {
public:
    // `traits` are those of the procedure the options name; they outlive the instance.
    Instance(Module& module, const Options& o, const ProcedureTraits& traits, RunStatus& status);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    HostConsole& console() { return console_; }
    HostProfiler& profiler() { return profiler_; }
    const HostProfiler& profiler() const { return profiler_; }
    WindowManager& windows() { return windows_; }
    bool created() const { return procedure_ != nullptr; }
    // The module's diagnostics of this instance go unheard (an instance the run keeps to itself).
    void mute() { muted_ = true; }

    // The replies of --config, else `builtIn`; an input failure when the file cannot be read.
    Outcome loadReplies(const std::vector<std::string>& builtIn, const StopToken& stop = StopToken());
    // Makes the instance for frames in `format` (the module adapts to later frames of another
    // size) and applies the settings: the saved ones, then the
    // dialogue's replies, then each --set, the later winning. False when refused, told
    // through the run's status; `frame` names the frame in hand (-1: none).
    bool create(const ip_fmtWords& format, const SettingsFile& saved, int64_t frame);
    // The procedure's dialogue with the replies loaded (or the terminal's).
    bool configure(int64_t frame);
    // Runs one frame; a failure travels with the job. `fps` paces the click marks.
    void process(FrameJob& job, const FrameNeeds& needs, const std::vector<cv::Point>& clicks, double fps);
    // The module's version, every setting's value and every counter that is not 0 and is
    // recorded, into the record; the counters are kept for counters().
    void record(RunRecord& record);
    const std::vector<ProcedureCounter>& counters() const { return counters_; }
    // Every setting as the instance describes it; false when the module failed.
    bool describe(std::vector<SettingInfo>& settings) const;
    // The settings its dialogue asks together (askedTogether), the dialogue answered with ""
    // so that every value stays; false when the module failed.
    bool settingGroups(std::vector<std::vector<std::string>>& groups);
    void destroy();

private:
    // The module's diagnostics of this instance, handed to the run's observer.
    static void heard(void* instance, int kind, const char* text);
    bool applySettings(const SettingsFile& saved, int64_t frame);
    bool applyTogether(const std::vector<Setting>& settings, const std::string& what);
    bool applyAnimals();
    Outcome readObjects(std::vector<ip_objectRecord>& objects);
    Outcome call(ambrevo_status status);
    Outcome readProfile();
    Outcome readDetails(size_t count, FrameJob& job);
    void readCounters();
    // Whether the frame just processed was searched before the procedure had learned its scene:
    // its learning counter grew with it.
    bool stillLearning();
    void markClicks(FrameJob& job, const FrameNeeds& needs, const std::vector<cv::Point>& clicks, double fps);
    Module& module_;
    const Options& o_;
    const ProcedureTraits& traits_;
    RunStatus& status_;
    ambrevo_procedure* procedure_ = nullptr;
    bool replies_ = false;  // whether the dialogue has replies to run with
    bool muted_ = false;
    HostConsole console_;
    HostProfiler profiler_;
    HostOverlay overlay_;
    WindowManager windows_;
    int64_t flashFrames_ = 0;
    int flashRadius_ = 0;
    std::vector<cv::Point> flashAt_;
    std::vector<ProcedureCounter> counters_;
    int64_t learningFrames_ = 0;  // the learning counter as last read
    enum class Posture { unknown, yes, no } posture_ = Posture::unknown;
};
