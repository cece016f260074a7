// Many inputs per call: `ambrevo a.mp4 b.mp4 --out-dir OUT [--jobs N]` runs every input with
// the same options in a child process of its own, N at a time, naming each input's outputs
// after it, and lists the outcome of every input in OUT/batch.csv.
#pragma once

#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"

// The batch's own checks, made instead of the single-run checks of the output names; a usage
// failure saying what to change.
Outcome checkBatchOptions(Options& o);

// The outputs of one input: OUT/<name><suffix> for each output option given (and a CSV track
// file when --tracks is not); `name` is the input's file name without its extension.
struct BatchOutputs {
    std::string name;
    std::vector<std::pair<std::string, std::string>> options;  // option, file or folder
    std::string tracks;                                       // the track file among them
};
BatchOutputs batchOutputs(const Options& o, const std::string& input);

// What a finished track file says of itself: whether its run was complete, its frames and its
// source. `found` is false when the file is missing or no track file.
struct TrackFileState {
    bool found = false;
    bool complete = false;
    long long frames = -1;
    std::string source;
};
TrackFileState readTrackFileState(const std::string& file);

// Runs the batch; the exit status is 0 when every input was done or skipped, 130 / 143 when
// a signal stopped it, 2 when outputs of another request are there (without --force), else
// the status of the first input that failed. `saved`: the --settings file read.
// `pendingSignal`: a stop signal that arrived before the batch began (0: none).
int runBatch(Module& module, const Options& o, const SettingsFile& saved, int argc, char** argv,
             int pendingSignal = 0);
