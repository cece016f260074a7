// ambrevo: runs a procedure of the Ambrevo module over a video, an image sequence, a camera
// or the built-in scene, and writes the tracks, the destination images and the annotated
// video. The pipeline library does the work; this file reads the options and starts a run.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/run/command_line.h"
#include "ambrevo/pipeline/run/pipeline_run.h"
#include "ambrevo/pipeline/run/request.h"
#include "batch.h"
#include "score.h"
#include "sources/demo_score.h"
#include "terminal.h"

namespace {

int listProcedures(const Module& module) {
    if (const Outcome offered = module.requireProcedureName(); !offered) return fail(offered.error());
    for (const std::string& name : procedureNames(module)) std::cout << name << '\n';
    return exitOk;
}

// --params: the table of an instance made for a frame of the built-in scene's size, after
// --settings, --config and --set; no input is read.
int printParams(Module& module, const Options& o, const SettingsFile& saved) {
    std::vector<SettingInfo> settings;
    const Expected<bool> told = describeSettings(module, o, saved, settings);
    if (!told) return fail(told.error());
    if (*told) std::cout << settingsTable(settings) << std::flush;
    return exitOk;
}

// The closing lines: the profile, the frames and their rate, the built-in scene's score.
void report(const PipelineRun& run, const Options& o) {
    const double seconds = run.seconds(), fps = seconds > 0 ? double(run.framesDone()) / seconds : 0.0;
    const long long done = run.framesDone();
    if (o.profile) run.printProfile(std::cout);
    char line[256];
    std::snprintf(line, sizeof line, "ambrevo: %lld frames of %s with %s in %.2f s, %.1f fps\n", done,
                  o.input.c_str(), o.procedure.c_str(), seconds, fps);
    std::cout << line;
    if (const DemoScore* score = run.demoScore()) {
        std::snprintf(line, sizeof line, "demo: every object tracked on %lld of %lld frames\n",
                      static_cast<long long>(score->trackedFrames()), static_cast<long long>(score->frames()));
        std::cout << line;
        if (score->samples() > 0)
            std::snprintf(line, sizeof line, "demo: mean error %.2f px, max error %.2f px, %lld frames, %.1f fps\n",
                          score->meanError(), score->maxError(), done, fps);
        else
            std::snprintf(line, sizeof line,
                          "demo: nothing was tracked, so there is no error to report; %lld frames, %.1f fps\n", done,
                          fps);
        std::cout << line;
    }
    std::cout.flush();
}

int runOne(Module& module, Options& o, const SettingsFile& saved) {
    // The built-in scene writes its results to the current folder unless told otherwise.
    if (o.input == "demo") {
        if (o.videoOut.empty()) o.videoOut = "ambrevo-demo.mp4";
        if (o.tracksFile.empty()) o.tracksFile = "ambrevo-demo.csv";
    }
    TerminalObserver observer(!o.quiet && isatty(STDERR_FILENO), o.show);
    PipelineRun run(module, o, saved, observer);
    const Outcome done = run.run();
    observer.finish();
    if (run.reported()) report(run, o);
    return done ? exitOk : exitStatus(done.error().kind);
}

bool hasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

int hostMain(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "score") return ambrevo::score_main(argc - 1, argv + 1, std::cout, std::cerr, signalStop());
    Options o;
    if (const Outcome parsed = parseOptions(argc, argv, o); !parsed) return fail(parsed.error());
    if (isBatch(o))
        if (const Outcome checked = checkBatchOptions(o); !checked) return fail(checked.error());
    quietLibraries(o.verbose);
    Module module;
    const Outcome loaded = module.load(o.modulePath.empty() ? defaultModulePath() : o.modulePath);
    // The help names the module's default procedure and those --animals counts for, when it loads.
    if (o.help) {
        std::cout << usageText(loaded ? moduleFacts(module) : ModuleFacts{});
        return exitOk;
    }
    // Without a display the toolkit would abort the process rather than report.
    if (o.show && !hasDisplay()) return fail(exitOutput, "--show needs a display (DISPLAY is not set)");
    if (!loaded) return fail(loaded.error());
    if (o.list) return listProcedures(module);
    SettingsFile saved;
    if (const Outcome checked = checkRequest(module, o, saved, signalStop()); !checked) return fail(checked.error());
    if (o.params) return printParams(module, o, saved);
    if (isBatch(o)) return runBatch(module, o, saved, argc, argv, stopSignal);
    return runOne(module, o, saved);
}

}  // namespace

int main(int argc, char** argv) {
    catchStopSignals();
    try {
        return hostMain(argc, argv);
    } catch (...) {
        return fail(exitLibrary, describeFailure(std::current_exception()));
    }
}
