#include "ambrevo/pipeline/run/command_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <utility>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/tracks/roi.h"

namespace {

bool parseInteger(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty() || text[0] == '+' || text[0] == '-' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || v < low || v > high) return false;
    value = v;
    return true;
}

bool parsePositive(const std::string& text, double& value) {
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || !(v > 0) || v > 1e12) return false;
    value = v;
    return true;
}

// One option being read: its name, and its value after '=' or in the next argument.
struct Reader {
    int argc;
    const char* const* argv;
    int& i;
    std::string arg;
    std::string inlineValue;
    bool hasInline;
    Options& o;
    std::string error = {};  // why the option was refused

    bool value(std::string& out) {
        if (hasInline) {
            out = inlineValue;
        } else if (i + 1 < argc) {
            out = argv[++i];
        } else {
            error = "option " + arg + " needs a value";
            return false;
        }
        if (!out.empty()) return true;
        error = "option " + arg + " needs a non-empty value";
        return false;
    }
    // Whether a parse of the value went through; its refusal kept when not.
    bool took(const Outcome& parsed) {
        if (!parsed) error = parsed.error().message;
        return bool(parsed);
    }
    bool flag(bool& out) {
        if (hasInline) {
            error = "option " + arg + " takes no value";
            return false;
        }
        out = true;
        return true;
    }
    bool integer(int64_t low, int64_t high, int64_t& out) {
        std::string text;
        if (!value(text)) return false;
        if (parseInteger(text, low, high, out)) return true;
        error = "malformed " + arg + " '" + text + "' (expected a " + (low == 0 ? "non-negative" : "positive") +
                " integer)";
        return false;
    }
    bool positive(double& out) {
        std::string text;
        if (!value(text)) return false;
        if (parsePositive(text, out)) return true;
        error = "malformed " + arg + " '" + text + "' (expected a positive number)";
        return false;
    }
};

// The words that give an option back.
using Words = std::vector<std::string>;

// How an option is read, how its value is written back as words (none when unset), what it
// is to the rest of the program, and its line of --help.
struct OptionEntry {
    DeclaredOption declared;
    bool (*read)(Reader& r);
    void (*write)(const char* name, const Options& o, Words& words);
    const char* argument;  // what --help says it takes ("" for a flag)
    const char* help;      // null for a second name that --help leaves out
    int listed;            // its place in --help
};
template <auto member>
bool text(Reader& r) {
    return r.value(r.o.*member);
}
template <auto member>
void writeText(const char* name, const Options& o, Words& w) {
    if (!(o.*member).empty()) w.insert(w.end(), {name, o.*member});
}
template <auto member>
bool flag(Reader& r) {
    return r.flag(r.o.*member);
}
template <auto member>
void writeFlag(const char* name, const Options& o, Words& w) {
    if (o.*member) w.push_back(name);
}
template <auto member, int64_t low, int64_t high>
bool integer(Reader& r) {
    return r.integer(low, high, r.o.*member);
}
template <auto member, int64_t unset>
void writeInteger(const char* name, const Options& o, Words& w) {
    if (o.*member != unset) w.insert(w.end(), {name, std::to_string(o.*member)});
}
template <auto member>
bool positive(Reader& r) {
    return r.positive(r.o.*member);
}
template <auto member>
void writeReal(const char* name, const Options& o, Words& w) {
    if (o.*member > 0) w.insert(w.end(), {name, ambrevo::text::shortest(o.*member)});
}
void none(const char*, const Options&, Words&) {}

bool readTimeout(Reader& r) {
    if (!r.positive(r.o.timeout)) return false;
    if (r.o.timeout <= 86400) return true;
    r.error = "--timeout " + ambrevo::text::shortest(r.o.timeout) + " is more than a day (86400 seconds)";
    return false;
}
void writeTimeout(const char* name, const Options& o, Words& w) {
    if (o.timeout != defaultStreamTimeout) w.insert(w.end(), {name, ambrevo::text::shortest(o.timeout)});
}

bool readProcedure(Reader& r) {
    r.o.procedureGiven = true;
    return r.value(r.o.procedure);
}
void writeProcedure(const char* name, const Options& o, Words& w) {
    if (o.procedureGiven || o.procedure != o.defaultProcedure) w.insert(w.end(), {name, o.procedure});
}

bool readClick(Reader& r) {
    std::string text;
    if (!r.value(text)) return false;
    ClickOption click{};
    if (parseClick(text, click)) {
        r.o.clicks.push_back(click);
        return true;
    }
    r.error = "malformed --click '" + text + "' (expected FRAME:X:Y, three non-negative integers)";
    return false;
}
void writeClicks(const char* name, const Options& o, Words& w) {
    for (const ClickOption& c : o.clicks)
        w.insert(w.end(), {name, std::to_string(c.frame) + ":" + std::to_string(c.x) + ":" + std::to_string(c.y)});
}

bool readSet(Reader& r) {
    std::string text;
    if (!r.value(text)) return false;
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size() || text.find(' ') < eq) {
        r.error = "malformed --set '" + text + "' (expected NAME=VALUE)";
        return false;
    }
    r.o.sets.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    return true;
}
void writeSets(const char* name, const Options& o, Words& w) {
    for (const auto& [setting, value] : o.sets) w.insert(w.end(), {name, setting + "=" + value});
}

bool readRoi(Reader& r) {
    std::string text;
    if (!r.value(text)) return false;
    try {
        ambrevo::parse_roi(text);
    } catch (const std::exception& e) {
        r.error = e.what();
        return false;
    }
    r.o.rois.push_back(text);
    return true;
}
void writeRois(const char* name, const Options& o, Words& w) {
    for (const std::string& roi : o.rois) w.insert(w.end(), {name, roi});
}

bool readLink(Reader& r) {
    std::string text;
    return r.value(text) && r.took(setLink(r.o, text));
}

bool readAnimals(Reader& r) {
    std::string text;
    return r.value(text) && r.took(parseAnimals(text, r.o.animals));
}
void writeAnimals(const char* name, const Options& o, Words& w) {
    std::string counts;
    for (int64_t n : o.animals) counts += (counts.empty() ? "" : ",") + std::to_string(n);
    if (!counts.empty()) w.insert(w.end(), {name, counts});
}

bool readStartPass(Reader& r) {
    std::string text;
    if (!r.value(text)) return false;
    StartSpan& span = r.o.startPass;
    if (text == "off") {
        span = {0, 0};
        return true;
    }
    const size_t comma = text.find(',');
    const std::string warmUp = comma == std::string::npos ? text : text.substr(comma + 1);
    if (parseInteger(text.substr(0, comma), 1, 100000, span.replaced) && parseInteger(warmUp, 1, 100000, span.warmUp))
        return true;
    r.error = "malformed --start-pass '" + text + "' (expected off, FRAMES or FRAMES,WARMUP, positive integers)";
    return false;
}
void writeStartPass(const char* name, const Options& o, Words& w) {
    const StartSpan& span = o.startPass;
    if (span.replaced == 0) w.insert(w.end(), {name, "off"});
    if (span.replaced > 0) w.insert(w.end(), {name, std::to_string(span.replaced) + "," + std::to_string(span.warmUp)});
}

constexpr int64_t huge = INT64_MAX / 2;

using enum OptionUse;

// Every option, in the order a command line is written back (as the app shows it and earlier
// versions wrote it). --help lists them by `listed`, grouped as a reader looks for them; in its
// text "{default}" stands for the module's default procedure, "{counting}" for the procedures
// --animals sets the count of.
const OptionEntry optionTable[] = {
    {{"--procedure", setting, true, nullptr, false, "procedure"}, readProcedure, writeProcedure,
     "NAME", "procedure to run (default {default}); --list shows them", 1},
    {{"--list", setting, false}, flag<&Options::list>, writeFlag<&Options::list>,
     "", "print the registered procedures and exit", 2},
    {{"--help", setting, false}, flag<&Options::help>, writeFlag<&Options::help>, "", "this text", 42},
    {{"-h", setting, false}, flag<&Options::help>, none, nullptr, nullptr, 0},
    {{"--settings", inputFile, true, &Options::settingsFile, false, "settings"}, text<&Options::settingsFile>,
     writeText<&Options::settingsFile>, "FILE", "the procedure and settings saved by --settings-out (before --config)", 16},
    {{"--config", inputFile, true, &Options::configFile, true, "config"}, text<&Options::configFile>,
     writeText<&Options::configFile>, "FILE", "console replies for the procedure's dialogue, one per line", 3},
    {{"--set", setting, true}, readSet, writeSets,
     "NAME=VALUE", "change one of the procedure's settings (repeatable; after --config)", 14},
    {{"--params", setting, false, nullptr, false, "Procedure(...).describe()"}, flag<&Options::params>,
     writeFlag<&Options::params>, "", "print the procedure's settings (name, value, range, help) and exit", 15},
    {{"--click", setting, true, nullptr, false, "clicks"}, readClick, writeClicks,
     "FRAME:X:Y", "deliver a click with that frame (repeatable; frames from 0)", 5},
    {{"--start", setting, true, nullptr, false, "start"}, integer<&Options::start, 0, huge>,
     writeInteger<&Options::start, 0>, "N", "begin with input frame N (frames count from 0)", 7},
    {{"--end", setting, true, nullptr, false, "end"}, integer<&Options::end, 1, huge>, writeInteger<&Options::end, -1>,
     "N", "stop before input frame N (N itself is not processed)", 8},
    {{"--frames", setting, true, nullptr, false, "frames"}, integer<&Options::frames, 1, huge>,
     writeInteger<&Options::frames, -1>, "N", "stop after N frames", 6},
    {{"--max-pixels", setting, true, nullptr, false, "max_pixels"}, integer<&Options::maxPixels, 1, huge>,
     writeInteger<&Options::maxPixels, defaultMaxPixels>,
     "N", "refuse frames of more than N pixels (default 8192*8192)", 9},
    {{"--grey", setting, false, nullptr, false, "channels=1"}, flag<&Options::grey>, writeFlag<&Options::grey>,
     "", "hand frames over as 1-byte grey instead of 3-byte BGR", 10},
    {{"--gray", setting, false}, flag<&Options::grey>, none, nullptr, nullptr, 0},
    {{"--roi", setting, true, nullptr, false, "roi"}, readRoi, writeRois,
     "REGION", "an arena: rect:x,y,w,h, circle:cx,cy,r, polygon:x1,y1,x2,y2,...\n"
     "or a mask image (repeatable); nothing outside is detected", 18},
    {{"--animals", setting, true, nullptr, false, "animals"}, readAnimals, writeAnimals,
     "N[,N...]", "animals in each --roi (one number without): {counting}\n"
     "count, and exactly that many tracks per arena with --link ...,global", 23},
    {{"--start-pass", setting, true}, readStartPass, writeStartPass,
     "off|N[,W]", "a file tracked with a known count of animals: the first N frames'\n"
     "objects come from an instance run backwards over N+W frames (default 150,100)", 41},
    {{"--scale", setting, true, nullptr, false, "scale"}, positive<&Options::scale>, writeReal<&Options::scale>,
     "PX", "pixels per unit: adds x_<unit>, y_<unit> columns (--unit, default unit)", 19},
    {{"--unit", setting, true, nullptr, false, "unit"}, text<&Options::unit>, writeText<&Options::unit>,
     "NAME", "the unit of --scale (mm, cm, ...)", 20},
    {{"--fps", setting, true, nullptr, false, "fps"}, positive<&Options::fps>, writeReal<&Options::fps>,
     "RATE", "frames per second for time_s (image sequences; overrides a video's)", 21},
    {{"--link", setting, true, nullptr, false, "link"}, readLink, writeText<&Options::link>,
     "STEP[,MEM][,predict][,global]", "link the objects into tracks: largest step in\n"
     "pixels, frames a track may go unseen, link from the predicted position,\n"
     "link the whole run at once after it ends (repairs swaps at crossings)", 22},
    {{"--tracks", outputFile, true, &Options::tracksFile, true, "tracks"}, text<&Options::tracksFile>,
     writeText<&Options::tracksFile>,
     "FILE", "the objects of every frame (.csv or .json; - streams CSV to stdout)", 13},
    {{"--summary", outputFile, true, &Options::summaryFile, true, "summary"}, text<&Options::summaryFile>,
     writeText<&Options::summaryFile>, "FILE.csv", "one line per track: frames, path length, speeds, time per arena", 24},
    {{"--plot", outputFile, true, &Options::plotFile, true, "plot"}, text<&Options::plotFile>,
     writeText<&Options::plotFile>, "FILE.png", "the trajectories over the median background", 25},
    {{"--heatmap", outputFile, true, &Options::heatmapFile, true, "heatmap"}, text<&Options::heatmapFile>,
     writeText<&Options::heatmapFile>, "FILE.png", "where the objects spent their time", 26},
    {{"-o", outputFile, true, &Options::videoOut, true, "video"}, text<&Options::videoOut>, writeText<&Options::videoOut>,
     "FILE", "annotated video (.mp4 or .avi)", 11},
    {{"--dst", outputFolder, true, &Options::dstDir, false, "dst"}, text<&Options::dstDir>, writeText<&Options::dstDir>,
     "DIR", "every destination image as a lossless PNG", 12},
    {{"--console-log", outputFile, true, &Options::consoleLog, true, "console_log"}, text<&Options::consoleLog>,
     writeText<&Options::consoleLog>, "FILE", "write everything the module printed to its console", 4},
    {{"--settings-out", outputFile, true, &Options::settingsOut, true, "settings_out"}, text<&Options::settingsOut>,
     writeText<&Options::settingsOut>, "FILE", "save the module version, procedure and every setting as JSON", 17},
    {{"--windows", outputFolder, true, &Options::windowsDir, false, "windows"}, text<&Options::windowsDir>,
     writeText<&Options::windowsDir>, "DIR", "save the procedure's windows as PNG per frame", 28},
    {{"--profile", setting, false, nullptr, false, "profile=True"}, flag<&Options::profile>, writeFlag<&Options::profile>,
     "", "print a table of the stage times at the end", 27},
    {{"--show", setting, false}, flag<&Options::show>, writeFlag<&Options::show>,
     "", "interactive window (click: select, space: pause,\n"
     "c: configure, p: profile, q: quit)", 29},
    {{"--module", setting, true}, text<&Options::modulePath>, writeText<&Options::modulePath>,
     "PATH", "load another build of the module (also AMBREVO_MODULE)", 30},
    {{"--threads", setting, true}, integer<&Options::threads, 1, 64>, writeInteger<&Options::threads, 0>,
     "N", "1: decode, process and write each frame in turn; more (the default)\n"
     "overlaps the three on threads of their own", 32},
    {{"--strict", setting, false, nullptr, false, "strict=True"}, flag<&Options::strict>, writeFlag<&Options::strict>,
     "", "stop at a frame that cannot be decoded (by default it is skipped and\n"
     "counted: '# skipped: N' in the track file)", 33},
    {{"--timeout", setting, true}, readTimeout, writeTimeout,
     "SECONDS", "a live stream that sends nothing for this long is broken (default 10)", 34},
    {{"--reconnect", setting, false}, flag<&Options::reconnect>, writeFlag<&Options::reconnect>,
     "", "open a broken live stream again instead of ending the run; the track\n"
     "file counts the gaps", 35},
    {{"--out-dir", batch, true}, text<&Options::outDir>, writeText<&Options::outDir>,
     "DIR", "run every INPUT given; outputs named after each in DIR (-o mp4, ...)", 36},
    {{"--jobs", batch, true}, integer<&Options::jobs, 1, 4096>, writeInteger<&Options::jobs, 0>,
     "N", "with --out-dir: N inputs at a time (default: the cores)", 37},
    {{"--force", batch, false}, flag<&Options::force>, writeFlag<&Options::force>,
     "", "with --out-dir: run inputs whose outputs are complete too", 38},
    {{"--quiet", setting, false}, flag<&Options::quiet>, writeFlag<&Options::quiet>, "", "no progress line", 31},
    {{"--verbose", setting, false}, flag<&Options::verbose>, writeFlag<&Options::verbose>,
     "", "let OpenCV's and FFmpeg's own warnings through to standard error", 39},
};

}  // namespace

std::span<const DeclaredOption> declaredOptions() {
    static const std::vector<DeclaredOption> declared = [] {
        std::vector<DeclaredOption> all;
        for (const OptionEntry& entry : optionTable) all.push_back(entry.declared);
        return all;
    }();
    return declared;
}

Outcome checkArenaOptions(const Options& o) {
    auto refuse = [](const std::string& text) { return Failure{RunError::usage, text}; };
    const size_t arenas = std::max<size_t>(1, o.rois.size());
    if (!o.animals.empty() && o.animals.size() != arenas)
        return refuse("--animals gives " + std::to_string(o.animals.size()) + " count" +
                      (o.animals.size() == 1 ? "" : "s") + " for " + std::to_string(arenas) +
                      (o.rois.empty() ? " frame without --roi" : " --roi arena") + (arenas == 1 ? "" : "s") +
                      " (one count per --roi, in order; one number without --roi)");
    if (!o.unit.empty() && o.scale == 0) return refuse("--unit " + o.unit + " needs --scale PIXELS_PER_UNIT");
    // The unit names columns, quoted where it needs to be, and stands in a metadata line, which
    // ends at a line break.
    if (std::any_of(o.unit.begin(), o.unit.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return refuse("--unit: a unit name holds no tabs, line breaks or other control characters");
    const std::pair<const char*, const std::string*> pictures[] = {{"--plot", &o.plotFile},
                                                                   {"--heatmap", &o.heatmapFile}};
    for (const auto& [name, file] : pictures) {
        std::string tail = file->size() >= 4 ? file->substr(file->size() - 4) : "";
        for (char& c : tail) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (!file->empty() && tail != ".png")
            return refuse(std::string(name) + " '" + *file + "': the picture must end in .png");
    }
    return {};
}

namespace {

void addInput(Options& o, const std::string& input, int arg) {
    if (!o.inputGiven) o.input = input;
    o.inputGiven = true;
    o.inputs.push_back(input);
    o.inputArgs.push_back(arg);
}

// The checks of the options together, once all are read.
Outcome checkOptions(Options& o) {
    auto refuse = [](const std::string& text) { return Failure{RunError::usage, text}; };
    if (o.end >= 0 && o.end <= o.start)
        return refuse("--end " + std::to_string(o.end) + " is not after --start " + std::to_string(o.start) +
                      " (the end frame is not processed)");
    if (Outcome arenas = checkArenaOptions(o); !arenas) return arenas;
    // A batch's output options name kinds of output, not files: the batch checks them, and
    // each run its own.
    if (isBatch(o)) return {};
    if (!o.videoOut.empty() && !endsWithNoCase(o.videoOut, ".mp4") && !endsWithNoCase(o.videoOut, ".avi"))
        return refuse("-o '" + o.videoOut + "': the annotated video must end in .mp4 or .avi");
    if (!o.tracksFile.empty() && o.tracksFile != "-" && !endsWithNoCase(o.tracksFile, ".csv") &&
        !endsWithNoCase(o.tracksFile, ".json"))
        return refuse("--tracks '" + o.tracksFile + "': the tracks file must end in .csv or .json");
    // Two outputs under one name would share one temporary and overwrite each other.
    std::vector<const DeclaredOption*> files;
    for (const DeclaredOption& option : declaredOptions())
        if (option.ownFile && !(o.*option.path).empty()) files.push_back(&option);
    for (size_t i = 0; i < files.size(); ++i)
        for (size_t j = i + 1; j < files.size(); ++j)
            if (o.*files[i]->path == o.*files[j]->path)
                return refuse(std::string(files[i]->name) + " and " + files[j]->name + " name the same file '" +
                              o.*files[i]->path + "'");
    return {};
}

}  // namespace

Outcome setLink(Options& o, const std::string& text) {
    std::optional<ambrevo::LinkSettings> linking;
    if (!text.empty()) {
        const Expected<ambrevo::LinkSettings> read = parseLinkOption(text);
        if (!read) return read.error();
        linking = *read;
    }
    o.link = text;
    o.linking = linking;
    return {};
}

Outcome parseAnimals(const std::string& text, std::vector<int64_t>& counts) {
    counts.clear();
    for (size_t begin = 0;;) {
        const size_t comma = text.find(',', begin);
        const std::string count = text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        int64_t n = 0;
        if (!parseInteger(count, 1, 1000000, n))
            return Failure{RunError::usage, "malformed --animals '" + text +
                                                "' (expected N[,N...]: one positive count per --roi, in order)"};
        counts.push_back(n);
        if (comma == std::string::npos) return {};
        begin = comma + 1;
    }
}

bool parseClick(const std::string& text, ClickOption& click) {
    size_t a = text.find(':');
    if (a == std::string::npos) return false;
    size_t b = text.find(':', a + 1);
    if (b == std::string::npos || text.find(':', b + 1) != std::string::npos) return false;
    int64_t frame = 0, x = 0, y = 0;
    const int64_t maxCoordinate = 1 << 30;
    if (!parseInteger(text.substr(0, a), 0, INT64_MAX / 2, frame)) return false;
    if (!parseInteger(text.substr(a + 1, b - a - 1), 0, maxCoordinate, x)) return false;
    if (!parseInteger(text.substr(b + 1), 0, maxCoordinate, y)) return false;
    click = {frame, int(x), int(y)};
    return true;
}

Outcome parseOptions(int argc, const char* const* argv, Options& o) {
    bool options = true;  // until "--", after which every argument is an input
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], inlineValue;
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options) {
            addInput(o, arg, i);
            continue;
        }
        const size_t eq = arg.find('=');
        const bool hasInline = arg.size() > 2 && arg.starts_with("--") && eq != std::string::npos;
        if (hasInline) inlineValue = arg.substr(eq + 1), arg.resize(eq);
        Reader reader{argc, argv, i, arg, inlineValue, hasInline, o};
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& s : optionTable)
            if (arg == s.declared.name) entry = &s;
        if (entry) {
            if (!entry->read(reader)) return Failure{RunError::usage, reader.error};
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Failure{RunError::usage, "unknown option '" + arg + "' (see --help)"};
        } else {
            addInput(o, arg, i);
        }
    }
    return checkOptions(o);
}

std::vector<std::string> commandWords(const Options& o) {
    Words inputs = o.inputs;
    if (inputs.empty() && (o.inputGiven || o.input != "demo")) inputs.push_back(o.input);
    // An input that reads like an option comes after "--", and so the options before the inputs.
    const bool dashed = std::any_of(inputs.begin(), inputs.end(), [](const std::string& in) { return in.starts_with("-"); });
    Words words{"ambrevo"};
    if (!dashed) words.insert(words.end(), inputs.begin(), inputs.end());
    for (const OptionEntry& s : optionTable) s.write(s.declared.name, o, words);
    if (dashed) {
        words.push_back("--");
        words.insert(words.end(), inputs.begin(), inputs.end());
    }
    return words;
}

std::string commandLine(const Options& o) {
    std::string line;
    for (const std::string& word : commandWords(o)) {
        const bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                   "0123456789_@%+=:,./-") == std::string::npos;
        std::string quoted = "'";
        for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += (line.empty() ? "" : " ") + (plain ? word : quoted + "'");
    }
    return line;
}

namespace {

// "the NAME procedure's", "the A and B procedures'"; "a procedure's" when none is known.
std::string countOwners(const std::vector<std::string>& names) {
    if (names.empty()) return "a procedure's";
    std::string list = names[0];
    for (size_t i = 1; i < names.size(); ++i) list += (i + 1 == names.size() ? " and " : ", ") + names[i];
    return "the " + list + (names.size() == 1 ? " procedure's" : " procedures'");
}

// `text` with every `placeholder` in it replaced by `value`.
std::string filled(std::string text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

}  // namespace

std::string usageText(const ModuleFacts& module) {
    const std::string byDefault = module.defaultProcedure.empty() ? "the module's own" : module.defaultProcedure;
    std::string text = "usage: ambrevo [INPUT] [options]\n"
                       "       ambrevo score TRACKS TRUTH [--radius PX]   (CLEAR-MOT and IDF1 of a track file)\n"
                       "\n"
                       "INPUT: a video file, an image sequence (frames/%04d.png or a folder of images),\n"
                       "       a single image, a camera (cam:0), a stream (rtsp://..., http://...), a GStreamer\n"
                       "       pipeline (gst:...), or demo (the built-in scene, the default); several with --out-dir\n"
                       "\n";
    std::vector<const OptionEntry*> listed;
    for (const OptionEntry& entry : optionTable)
        if (entry.help) listed.push_back(&entry);
    std::sort(listed.begin(), listed.end(), [](auto* a, auto* b) { return a->listed < b->listed; });
    for (const OptionEntry* entry : listed) {
        std::string named = std::string(entry->declared.name) + (*entry->argument ? " " : "") + entry->argument;
        named.resize(std::max<size_t>(named.size(), 19), ' ');
        // A help of several lines goes on under the first.
        text += "  " + named + "  " + filled(entry->help, "\n", "\n" + std::string(23, ' ')) + "\n";
    }
    text += "  --                   every argument after it is an input, even one that starts with -\n";
    return filled(filled(text, "{default}", byDefault), "{counting}", countOwners(module.counting));
}

std::string batchName(const std::string& input) {
    namespace fs = std::filesystem;
    fs::path p = fs::path(input).lexically_normal();
    if (!p.empty() && p.filename().empty()) p = p.parent_path();
    std::error_code ec;
    std::string name = fs::is_directory(p, ec) ? p.filename().string() : p.stem().string();
    if (name.find('%') != std::string::npos) name = p.parent_path().filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
    if (name.empty() || name == "." || name == "..") name = "input";
    return name;
}
