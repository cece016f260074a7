#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <utility>

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

}  // namespace

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
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        } else {
            if (o.inputGiven) {
                error = "more than one input given ('" + o.input + "' and '" + arg + "')";
                return false;
            }
            o.input = arg;
            o.inputGiven = true;
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
    if (!o.videoOut.empty() && !endsWith(o.videoOut, ".mp4") && !endsWith(o.videoOut, ".avi")) {
        error = "-o '" + o.videoOut + "': the annotated video must end in .mp4 or .avi";
        return false;
    }
    if (!o.tracksFile.empty() && !endsWith(o.tracksFile, ".csv") && !endsWith(o.tracksFile, ".json")) {
        error = "--tracks '" + o.tracksFile + "': the tracks file must end in .csv or .json";
        return false;
    }
    // Two outputs under one name would share one temporary and overwrite each other.
    const std::pair<const char*, const std::string*> files[] = {{"-o", &o.videoOut},
                                                                {"--tracks", &o.tracksFile},
                                                                {"--console-log", &o.consoleLog},
                                                                {"--config", &o.configFile}};
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
           "\n"
           "INPUT: a video file, an image sequence (frames/%04d.png or a folder of images),\n"
           "       a single image, a camera (cam:0), or demo (the built-in scene, the default)\n"
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
           "  --tracks FILE        the objects of every frame (.csv or .json)\n"
           "  --profile            print a table of the stage times at the end\n"
           "  --windows DIR        save the procedure's windows as PNG per frame\n"
           "  --show               interactive window (click: select, space: pause,\n"
           "                       c: configure, p: profile, q: quit)\n"
           "  --module PATH        load another build of the module (also AMBREVO_MODULE)\n"
           "  --quiet              no progress line\n"
           "  --verbose            let OpenCV's and FFmpeg's own warnings through to standard error\n"
           "  --help               this text\n";
}
