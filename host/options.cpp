#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "batch.h"
#include "roi.h"
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

enum OptionUse { notMine, taken, refused };

// The options of settings by name, arenas, units, time and tracks.
template <class TakeValue, class Flag>
OptionUse parseRunOption(const std::string& arg, TakeValue& takeValue, Flag& flag, Options& o, std::string& error) {
    std::string text;
    auto value = [&](std::string& out) { return takeValue(out) ? taken : refused; };
    auto positive = [&](double& out) {
        if (!takeValue(text)) return refused;
        if (parsePositive(text, out)) return taken;
        error = "malformed " + arg + " '" + text + "' (expected a positive number)";
        return refused;
    };
    if (arg == "--set") {
        if (!takeValue(text)) return refused;
        const size_t eq = text.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == text.size() || text.find(' ') < eq) {
            error = "malformed --set '" + text + "' (expected NAME=VALUE)";
            return refused;
        }
        o.sets.emplace_back(text.substr(0, eq), text.substr(eq + 1));
        return taken;
    }
    if (arg == "--params") return flag(o.params) ? taken : refused;
    if (arg == "--settings") return value(o.settingsFile);
    if (arg == "--settings-out") return value(o.settingsOut);
    if (arg == "--roi") {
        if (!takeValue(text)) return refused;
        try {
            ambrevo::parse_roi(text);
        } catch (const std::exception& e) {
            error = e.what();
            return refused;
        }
        o.rois.push_back(text);
        return taken;
    }
    if (arg == "--scale") return positive(o.scale);
    if (arg == "--fps") return positive(o.fps);
    if (arg == "--unit") return value(o.unit);
    if (arg == "--link") {
        ambrevo::LinkSettings unused;
        return takeValue(o.link) && parseLinkOption(o.link, unused, error) ? taken : refused;
    }
    if (arg == "--animals") return takeValue(text) && parseAnimals(text, o.animals, error) ? taken : refused;
    if (arg == "--summary") return value(o.summaryFile);
    if (arg == "--plot") return value(o.plotFile);
    if (arg == "--heatmap") return value(o.heatmapFile);
    return notMine;
}

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
    if (!o.unit.empty() && o.unit.find_first_of(", \t\"#") != std::string::npos) {
        error = "--unit '" + o.unit + "': a unit name has no commas, spaces or quotes";
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
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        // Fetches the option's value from "--opt=value" or the next argument.
        auto takeValue = [&](std::string& out) {
            if (hasInlineValue) {
                out = value;
            } else if (i + 1 < argc) {
                out = argv[++i];
            } else {
                error = "option " + arg + " needs a value";
                return false;
            }
            if (out.empty()) {
                error = "option " + arg + " needs a non-empty value";
                return false;
            }
            return true;
        };
        auto flag = [&](bool& out) {
            if (hasInlineValue) {
                error = "option " + arg + " takes no value";
                return false;
            }
            out = true;
            return true;
        };

        if (arg == "--procedure") {
            if (!takeValue(o.procedure)) return false;
            o.procedureGiven = true;
        } else if (arg == "--list") {
            if (!flag(o.list)) return false;
        } else if (arg == "--help" || arg == "-h") {
            if (!flag(o.help)) return false;
        } else if (arg == "--config") {
            if (!takeValue(o.configFile)) return false;
        } else if (arg == "--console-log") {
            if (!takeValue(o.consoleLog)) return false;
        } else if (arg == "--click") {
            std::string text;
            if (!takeValue(text)) return false;
            ClickOption click{};
            if (!parseClick(text, click)) {
                error = "malformed --click '" + text + "' (expected FRAME:X:Y, three non-negative integers)";
                return false;
            }
            o.clicks.push_back(click);
        } else if (arg == "--frames") {
            std::string text;
            if (!takeValue(text)) return false;
            if (!parseInteger(text, 1, INT64_MAX / 2, o.frames)) {
                error = "malformed --frames '" + text + "' (expected a positive integer)";
                return false;
            }
        } else if (arg == "--start" || arg == "--end") {
            std::string text;
            if (!takeValue(text)) return false;
            const bool isStart = arg == "--start";
            if (!parseInteger(text, isStart ? 0 : 1, INT64_MAX / 2, isStart ? o.start : o.end)) {
                error = "malformed " + arg + " '" + text + "' (expected a " + (isStart ? "non-negative" : "positive") +
                        " integer)";
                return false;
            }
        } else if (arg == "--max-pixels") {
            std::string text;
            if (!takeValue(text)) return false;
            if (!parseInteger(text, 1, INT64_MAX / 2, o.maxPixels)) {
                error = "malformed --max-pixels '" + text + "' (expected a positive integer)";
                return false;
            }
        } else if (arg == "-o") {
            if (!takeValue(o.videoOut)) return false;
        } else if (arg == "--dst") {
            if (!takeValue(o.dstDir)) return false;
        } else if (arg == "--tracks") {
            if (!takeValue(o.tracksFile)) return false;
        } else if (arg == "--windows") {
            if (!takeValue(o.windowsDir)) return false;
        } else if (arg == "--module") {
            if (!takeValue(o.modulePath)) return false;
        } else if (arg == "--profile") {
            if (!flag(o.profile)) return false;
        } else if (arg == "--show") {
            if (!flag(o.show)) return false;
        } else if (arg == "--quiet") {
            if (!flag(o.quiet)) return false;
        } else if (arg == "--verbose") {
            if (!flag(o.verbose)) return false;
        } else if (arg == "--grey" || arg == "--gray") {
            if (!flag(o.grey)) return false;
        } else if (arg == "--out-dir") {
            if (!takeValue(o.outDir)) return false;
        } else if (arg == "--force") {
            if (!flag(o.force)) return false;
        } else if (arg == "--threads") {
            std::string text;
            if (!takeValue(text)) return false;
            if (!parseInteger(text, 1, 64, o.threads)) {
                error = "malformed --threads '" + text + "' (expected a positive integer)";
                return false;
            }
        } else if (arg == "--jobs") {
            std::string text;
            if (!takeValue(text)) return false;
            if (!parseInteger(text, 1, 4096, o.jobs)) {
                error = "malformed --jobs '" + text + "' (expected a positive integer)";
                return false;
            }
        } else if (OptionUse use = parseRunOption(arg, takeValue, flag, o, error); use != notMine) {
            if (use == refused) return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        } else {
            if (!o.inputGiven) o.input = arg;
            o.inputGiven = true;
            o.inputs.push_back(arg);
            o.inputArgs.push_back(i);
        }
    }
    if (o.end >= 0 && o.end <= o.start) {
        error = "--end " + std::to_string(o.end) + " is not after --start " + std::to_string(o.start) +
                " (the end frame is not processed)";
        return false;
    }
    auto endsWith = [](const std::string& s, const char* suffix) {
        std::string x(suffix);
        if (s.size() < x.size()) return false;
        std::string tail = s.substr(s.size() - x.size());
        for (char& c : tail) c = char(std::tolower(static_cast<unsigned char>(c)));
        return tail == x;
    };
    if (!checkArenaOptions(o, error)) return false;
    // A batch's output options name kinds of output, not files; each run checks its own.
    if (isBatch(o)) return checkBatchOptions(o, error);
    if (!o.videoOut.empty() && !endsWith(o.videoOut, ".mp4") && !endsWith(o.videoOut, ".avi")) {
        error = "-o '" + o.videoOut + "': the annotated video must end in .mp4 or .avi";
        return false;
    }
    if (!o.tracksFile.empty() && o.tracksFile != "-" && !endsWith(o.tracksFile, ".csv") &&
        !endsWith(o.tracksFile, ".json")) {
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

const char* usageText() {
    return "usage: ambrevo [INPUT] [options]\n"
           "       ambrevo score TRACKS TRUTH [--radius PX]   (CLEAR-MOT and IDF1 of a track file)\n"
           "\n"
           "INPUT: a video file, an image sequence (frames/%04d.png or a folder of images),\n"
           "       a single image, a camera (cam:0), a stream (rtsp://..., http://...), a GStreamer\n"
           "       pipeline (gst:...), or demo (the built-in scene, the default); several with --out-dir\n"
           "\n"
           "  --procedure NAME     procedure to run (default flowtrack); --list shows them\n"
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
           "  --animals N[,N...]   animals in each --roi (one number without): the crowd procedure's\n"
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
           "  --out-dir DIR        run every INPUT given; outputs named after each in DIR (-o mp4, ...)\n"
           "  --jobs N             with --out-dir: N inputs at a time (default: the cores)\n"
           "  --force              with --out-dir: run inputs whose outputs are complete too\n"
           "  --verbose            let OpenCV's and FFmpeg's own warnings through to standard error\n"
           "  --help               this text\n";
}
