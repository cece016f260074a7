#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <utility>

#include "files.h"
#include "roi.h"
#include "text/numbers.h"
#include "track_link.h"

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
    std::string& error;

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

// How an option is read, and how its value is written back as words (none when unset).
struct OptionEntry {
    const char* name;
    bool (*read)(Reader& r);
    void (*write)(const char* name, const Options& o, Words& words);
};

template <std::string Options::*member>
bool text(Reader& r) {
    return r.value(r.o.*member);
}
template <std::string Options::*member>
void writeText(const char* name, const Options& o, Words& w) {
    if (!(o.*member).empty()) w.insert(w.end(), {name, o.*member});
}
template <bool Options::*member>
bool flag(Reader& r) {
    return r.flag(r.o.*member);
}
template <bool Options::*member>
void writeFlag(const char* name, const Options& o, Words& w) {
    if (o.*member) w.push_back(name);
}
template <int64_t Options::*member, int64_t low, int64_t high>
bool integer(Reader& r) {
    return r.integer(low, high, r.o.*member);
}
template <int64_t Options::*member, int64_t unset>
void writeInteger(const char* name, const Options& o, Words& w) {
    if (o.*member != unset) w.insert(w.end(), {name, std::to_string(o.*member)});
}
template <double Options::*member>
bool positive(Reader& r) {
    return r.positive(r.o.*member);
}
template <double Options::*member>
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
    ambrevo::LinkSettings unused;
    return r.value(r.o.link) && parseLinkOption(r.o.link, unused, r.error);
}

bool readAnimals(Reader& r) {
    std::string text;
    return r.value(text) && parseAnimals(text, r.o.animals, r.error);
}
void writeAnimals(const char* name, const Options& o, Words& w) {
    std::string counts;
    for (int64_t n : o.animals) counts += (counts.empty() ? "" : ",") + std::to_string(n);
    if (!counts.empty()) w.insert(w.end(), {name, counts});
}

constexpr int64_t huge = INT64_MAX / 2;

// Every option, in the order a command line is written back.
const OptionEntry optionTable[] = {
    {"--procedure", readProcedure, writeProcedure},
    {"--list", flag<&Options::list>, writeFlag<&Options::list>},
    {"--help", flag<&Options::help>, writeFlag<&Options::help>},
    {"-h", flag<&Options::help>, none},
    {"--settings", text<&Options::settingsFile>, writeText<&Options::settingsFile>},
    {"--config", text<&Options::configFile>, writeText<&Options::configFile>},
    {"--set", readSet, writeSets},
    {"--params", flag<&Options::params>, writeFlag<&Options::params>},
    {"--click", readClick, writeClicks},
    {"--start", integer<&Options::start, 0, huge>, writeInteger<&Options::start, 0>},
    {"--end", integer<&Options::end, 1, huge>, writeInteger<&Options::end, -1>},
    {"--frames", integer<&Options::frames, 1, huge>, writeInteger<&Options::frames, -1>},
    {"--max-pixels", integer<&Options::maxPixels, 1, huge>, writeInteger<&Options::maxPixels, defaultMaxPixels>},
    {"--grey", flag<&Options::grey>, writeFlag<&Options::grey>},
    {"--gray", flag<&Options::grey>, none},
    {"--roi", readRoi, writeRois},
    {"--animals", readAnimals, writeAnimals},
    {"--scale", positive<&Options::scale>, writeReal<&Options::scale>},
    {"--unit", text<&Options::unit>, writeText<&Options::unit>},
    {"--fps", positive<&Options::fps>, writeReal<&Options::fps>},
    {"--link", readLink, writeText<&Options::link>},
    {"--tracks", text<&Options::tracksFile>, writeText<&Options::tracksFile>},
    {"--summary", text<&Options::summaryFile>, writeText<&Options::summaryFile>},
    {"--plot", text<&Options::plotFile>, writeText<&Options::plotFile>},
    {"--heatmap", text<&Options::heatmapFile>, writeText<&Options::heatmapFile>},
    {"-o", text<&Options::videoOut>, writeText<&Options::videoOut>},
    {"--dst", text<&Options::dstDir>, writeText<&Options::dstDir>},
    {"--console-log", text<&Options::consoleLog>, writeText<&Options::consoleLog>},
    {"--settings-out", text<&Options::settingsOut>, writeText<&Options::settingsOut>},
    {"--windows", text<&Options::windowsDir>, writeText<&Options::windowsDir>},
    {"--profile", flag<&Options::profile>, writeFlag<&Options::profile>},
    {"--show", flag<&Options::show>, writeFlag<&Options::show>},
    {"--module", text<&Options::modulePath>, writeText<&Options::modulePath>},
    {"--threads", integer<&Options::threads, 1, 64>, writeInteger<&Options::threads, 0>},
    {"--strict", flag<&Options::strict>, writeFlag<&Options::strict>},
    {"--timeout", readTimeout, writeTimeout},
    {"--reconnect", flag<&Options::reconnect>, writeFlag<&Options::reconnect>},
    {"--out-dir", text<&Options::outDir>, writeText<&Options::outDir>},
    {"--jobs", integer<&Options::jobs, 1, 4096>, writeInteger<&Options::jobs, 0>},
    {"--force", flag<&Options::force>, writeFlag<&Options::force>},
    {"--quiet", flag<&Options::quiet>, writeFlag<&Options::quiet>},
    {"--verbose", flag<&Options::verbose>, writeFlag<&Options::verbose>},
};

}  // namespace

bool checkArenaOptions(const Options& o, std::string& error) {
    const size_t arenas = std::max<size_t>(1, o.rois.size());
    if (!o.animals.empty() && o.animals.size() != arenas) {
        error = "--animals gives " + std::to_string(o.animals.size()) + " count" + (o.animals.size() == 1 ? "" : "s") +
                " for " + std::to_string(arenas) + (o.rois.empty() ? " frame without --roi" : " --roi arena") +
                (arenas == 1 ? "" : "s") + " (one count per --roi, in order; one number without --roi)";
        return false;
    }
    if (!o.unit.empty() && o.scale == 0) {
        error = "--unit " + o.unit + " needs --scale PIXELS_PER_UNIT";
        return false;
    }
    // The unit names columns, quoted where it needs to be, and stands in a metadata line, which
    // ends at a line break.
    if (std::any_of(o.unit.begin(), o.unit.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        error = "--unit: a unit name holds no tabs, line breaks or other control characters";
        return false;
    }
    const std::pair<const char*, const std::string*> pictures[] = {{"--plot", &o.plotFile},
                                                                   {"--heatmap", &o.heatmapFile}};
    for (const auto& [name, file] : pictures) {
        std::string tail = file->size() >= 4 ? file->substr(file->size() - 4) : "";
        for (char& c : tail) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (!file->empty() && tail != ".png") {
            error = std::string(name) + " '" + *file + "': the picture must end in .png";
            return false;
        }
    }
    return true;
}

namespace {

void addInput(Options& o, const std::string& input, int arg) {
    if (!o.inputGiven) o.input = input;
    o.inputGiven = true;
    o.inputs.push_back(input);
    o.inputArgs.push_back(arg);
}

// The checks of the options together, once all are read.
bool checkOptions(Options& o, std::string& error) {
    if (o.end >= 0 && o.end <= o.start) {
        error = "--end " + std::to_string(o.end) + " is not after --start " + std::to_string(o.start) +
                " (the end frame is not processed)";
        return false;
    }
    if (!checkArenaOptions(o, error)) return false;
    // A batch's output options name kinds of output, not files: the batch checks them, and
    // each run its own.
    if (isBatch(o)) return true;
    if (!o.videoOut.empty() && !endsWithNoCase(o.videoOut, ".mp4") && !endsWithNoCase(o.videoOut, ".avi")) {
        error = "-o '" + o.videoOut + "': the annotated video must end in .mp4 or .avi";
        return false;
    }
    if (!o.tracksFile.empty() && o.tracksFile != "-" && !endsWithNoCase(o.tracksFile, ".csv") &&
        !endsWithNoCase(o.tracksFile, ".json")) {
        error = "--tracks '" + o.tracksFile + "': the tracks file must end in .csv or .json";
        return false;
    }
    // Two outputs under one name would share one temporary and overwrite each other.
    const std::pair<const char*, const std::string*> files[] = {{"-o", &o.videoOut},
                                                                {"--tracks", &o.tracksFile},
                                                                {"--console-log", &o.consoleLog},
                                                                {"--config", &o.configFile},
                                                                {"--settings-out", &o.settingsOut},
                                                                {"--summary", &o.summaryFile},
                                                                {"--plot", &o.plotFile},
                                                                {"--heatmap", &o.heatmapFile}};
    for (size_t i = 0; i < std::size(files); ++i)
        for (size_t j = i + 1; j < std::size(files); ++j)
            if (!files[i].second->empty() && *files[i].second == *files[j].second) {
                error = std::string(files[i].first) + " and " + files[j].first + " name the same file '" +
                        *files[i].second + "'";
                return false;
            }
    return true;
}

}  // namespace

bool parseLinkOption(const std::string& text, ambrevo::LinkSettings& settings, std::string& error) {
    std::string given = text;
    // The words after the numbers, in any order, each once.
    bool predicting = false, global = false;
    for (size_t comma = given.rfind(','); comma != std::string::npos && comma > 0; comma = given.rfind(',')) {
        const std::string word = given.substr(comma + 1);
        bool* flag = word == "predict" ? &predicting : word == "global" ? &global : nullptr;
        if (!flag || *flag) break;
        *flag = true;
        given.resize(comma);
    }
    try {
        settings = ambrevo::parse_link_option(given);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    settings.predict = predicting;
    settings.global = global;
    return true;
}

bool parseAnimals(const std::string& text, std::vector<int64_t>& counts, std::string& error) {
    counts.clear();
    for (size_t begin = 0;;) {
        const size_t comma = text.find(',', begin);
        const std::string count = text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        int64_t n = 0;
        if (!parseInteger(count, 1, 1000000, n)) {
            error = "malformed --animals '" + text + "' (expected N[,N...]: one positive count per --roi, in order)";
            return false;
        }
        counts.push_back(n);
        if (comma == std::string::npos) return true;
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

bool parseOptions(int argc, const char* const* argv, Options& o, std::string& error) {
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
        Reader reader{argc, argv, i, arg, inlineValue, hasInline, o, error};
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& s : optionTable)
            if (arg == s.name) entry = &s;
        if (entry) {
            if (!entry->read(reader)) return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        } else {
            addInput(o, arg, i);
        }
    }
    return checkOptions(o, error);
}

std::vector<std::string> commandWords(const Options& o) {
    Words inputs = o.inputs;
    if (inputs.empty() && (o.inputGiven || o.input != "demo")) inputs.push_back(o.input);
    // An input that reads like an option comes after "--", and so the options before the inputs.
    const bool dashed = std::any_of(inputs.begin(), inputs.end(), [](const std::string& in) { return in.starts_with("-"); });
    Words words{"ambrevo"};
    if (!dashed) words.insert(words.end(), inputs.begin(), inputs.end());
    for (const OptionEntry& s : optionTable) s.write(s.name, o, words);
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

}  // namespace

std::string usageText(const ModuleFacts& module) {
    const std::string byDefault = module.defaultProcedure.empty() ? "the module's own" : module.defaultProcedure;
    return "usage: ambrevo [INPUT] [options]\n"
           "       ambrevo score TRACKS TRUTH [--radius PX]   (CLEAR-MOT and IDF1 of a track file)\n"
           "\n"
           "INPUT: a video file, an image sequence (frames/%04d.png or a folder of images),\n"
           "       a single image, a camera (cam:0), a stream (rtsp://..., http://...), a GStreamer\n"
           "       pipeline (gst:...), or demo (the built-in scene, the default); several with --out-dir\n"
           "\n"
           "  --procedure NAME     procedure to run (default " + byDefault + "); --list shows them\n"
           "  --list               print the registered procedures and exit\n"
           "  --config FILE        console replies for the procedure's dialogue, one per line\n"
           "  --console-log FILE   write everything the module printed to its console\n"
           "  --click FRAME:X:Y    deliver a click with that frame (repeatable; frames from 0)\n"
           "  --frames N           stop after N frames\n"
           "  --start N            begin with input frame N (frames count from 0)\n"
           "  --end N              stop before input frame N (N itself is not processed)\n"
           "  --max-pixels N       refuse frames of more than N pixels (default 8192*8192)\n"
           "  --grey               hand frames over as 1-byte grey instead of 3-byte BGR\n"
           "  -o FILE              annotated video (.mp4 or .avi)\n"
           "  --dst DIR            every destination image as a lossless PNG\n"
           "  --tracks FILE        the objects of every frame (.csv or .json; - streams CSV to stdout)\n"
           "  --set NAME=VALUE     change one of the procedure's settings (repeatable; after --config)\n"
           "  --params             print the procedure's settings (name, value, range, help) and exit\n"
           "  --settings FILE      the procedure and settings saved by --settings-out (before --config)\n"
           "  --settings-out FILE  save the module version, procedure and every setting as JSON\n"
           "  --roi REGION         an arena: rect:x,y,w,h, circle:cx,cy,r, polygon:x1,y1,x2,y2,...\n"
           "                       or a mask image (repeatable); nothing outside is detected\n"
           "  --scale PX           pixels per unit: adds x_<unit>, y_<unit> columns (--unit, default unit)\n"
           "  --unit NAME          the unit of --scale (mm, cm, ...)\n"
           "  --fps RATE           frames per second for time_s (image sequences; overrides a video's)\n"
           "  --link STEP[,MEM][,predict][,global]  link the objects into tracks: largest step in\n"
           "                       pixels, frames a track may go unseen, link from the predicted position,\n"
           "                       link the whole run at once after it ends (repairs swaps at crossings)\n"
           "  --animals N[,N...]   animals in each --roi (one number without): " + countOwners(module.counting) + "\n"
           "                       count, and exactly that many tracks per arena with --link ...,global\n"
           "  --summary FILE.csv   one line per track: frames, path length, speeds, time per arena\n"
           "  --plot FILE.png      the trajectories over the median background\n"
           "  --heatmap FILE.png   where the objects spent their time\n"
           "  --profile            print a table of the stage times at the end\n"
           "  --windows DIR        save the procedure's windows as PNG per frame\n"
           "  --show               interactive window (click: select, space: pause,\n"
           "                       c: configure, p: profile, q: quit)\n"
           "  --module PATH        load another build of the module (also AMBREVO_MODULE)\n"
           "  --quiet              no progress line\n"
           "  --threads N          1: decode, process and write each frame in turn; more (the default)\n"
           "                       overlaps the three on threads of their own\n"
           "  --strict             stop at a frame that cannot be decoded (by default it is skipped and\n"
           "                       counted: '# skipped: N' in the track file)\n"
           "  --timeout SECONDS    a live stream that sends nothing for this long is broken (default 10)\n"
           "  --reconnect          open a broken live stream again instead of ending the run; the track\n"
           "                       file counts the gaps\n"
           "  --out-dir DIR        run every INPUT given; outputs named after each in DIR (-o mp4, ...)\n"
           "  --jobs N             with --out-dir: N inputs at a time (default: the cores)\n"
           "  --force              with --out-dir: run inputs whose outputs are complete too\n"
           "  --verbose            let OpenCV's and FFmpeg's own warnings through to standard error\n"
           "  --help               this text\n"
           "  --                   every argument after it is an input, even one that starts with -\n";
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
