// What a run is asked to do: the options of the command line, the app and the Python package
// as values. Reading and writing them as text is run/command_line.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/link_settings.h"

// The default --max-pixels: a frame larger than this many pixels in total is refused.
constexpr int64_t defaultMaxPixels = int64_t(8192) * 8192;
// The default --timeout: seconds a live stream may send nothing before it counts as broken.
constexpr double defaultStreamTimeout = 10;

// --start-pass: how many of the first frames are settled backwards, and on how many frames after
// them; replaced -1: the procedure's default, 0: none.
struct StartSpan {
    int64_t replaced = -1, warmUp = -1;
};

struct ClickOption {
    int64_t frame;
    int x;
    int y;
};

// What a run computes: the input, the procedure and its settings, arenas, units and linking. A
// preview of the run copies this part whole.
struct ProcessingOptions {
    std::string input = "demo";
    bool inputGiven = false;
    std::string procedure;  // empty: the module's default, which checkRequest names
    bool procedureGiven = false;
    std::string defaultProcedure;  // the module's default, once checkRequest has asked it
    bool grey = false;
    int64_t maxPixels = defaultMaxPixels;

    // Settings by name: read from --settings, then the --config dialogue, then each --set.
    std::vector<std::pair<std::string, std::string>> sets;
    std::string settingsFile;
    std::string configFile;

    // Arenas, units, time and tracks.
    std::vector<std::string> rois;
    double scale = 0;  // pixels per unit; 0: none
    std::string unit;
    double fps = 0;    // 0: the input's own timestamps
    std::string link;  // as given, for writing back
    std::optional<ambrevo::LinkSettings> linking;  // the same, read: set both with setLink
    std::vector<int64_t> animals;  // per --roi in order, or one for the whole frame; empty: unknown
    StartSpan startPass;
};

// The files and folders a run writes.
struct OutputOptions {
    std::string videoOut;
    std::string dstDir;
    std::string tracksFile;
    std::string windowsDir;
    std::string consoleLog;
    std::string settingsOut;
    std::string summaryFile;
    std::string plotFile;
    std::string heatmapFile;
};

// A batch: every input given, where each stands in argv, and the batch's own options.
struct BatchOptions {
    std::vector<std::string> inputs;
    std::vector<int> inputArgs;
    std::string outDir;
    int64_t jobs = 0;  // 0: one per core
    bool force = false;
};

// The whole command line: what the run computes, what it writes, the batch, and how the run
// goes (which frames, threads, clicks, what it tells and shows).
struct Options : ProcessingOptions, OutputOptions, BatchOptions {
    bool list = false;
    bool help = false;
    bool params = false;
    std::vector<ClickOption> clicks;
    int64_t frames = -1;  // -1: until the input ends
    int64_t start = 0;    // the first input frame processed, from 0
    int64_t end = -1;     // the input frame processing stops before; -1: until the input ends
    std::string modulePath;
    bool profile = false;
    bool show = false;
    bool quiet = false;
    bool verbose = false;  // let the libraries' own warnings through
    int64_t threads = 0;   // 1: decode, process and write each frame in turn; else overlap them
    bool strict = false;   // a frame that cannot be decoded stops the run instead of being skipped
    // Live streams: the longest wait for the stream's next bytes, in seconds; and whether a
    // stream that breaks is opened again (the gap counted) instead of ending the run.
    double timeout = defaultStreamTimeout;
    bool reconnect = false;
};

// Whether the command line asks for a batch (more than one input, or --out-dir).
inline bool isBatch(const Options& o) { return o.inputs.size() > 1 || !o.outDir.empty(); }
