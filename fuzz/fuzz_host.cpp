// The host's command line and track-file writers with any text. Beyond crashes and
// sanitizer reports, three promises are checked after every input: a refused or dropped
// track file leaves what was there before byte for byte, no temporary file outlives its
// writer, and a finished JSON file is well formed.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/run/command_line.h"
#include "fuzz_input.h"
#include "sinks/track_file.h"

namespace {

using fuzz::Input;

[[noreturn]] void fault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_host: %s: %s\n", what, detail.c_str());
    std::abort();
}

// One folder per process, emptied before every input and removed at exit (a plain array,
// so that it is still there when the exit handler runs).
char workPath[64];

void removeWorkDir();

const std::string& workDir() {
    static const std::string dir = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(workPath, sizeof workPath, "%s/ambrevo-fuzz-host-XXXXXX", base);
        if (!mkdtemp(workPath)) fault("mkdtemp", workPath);
        std::atexit(removeWorkDir);
        return std::string(workPath);
    }();
    return dir;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

void emptyDir(const std::string& dir) {
    for (const std::string& name : listDir(dir)) {
        std::string path = dir + "/" + name;
        if (unlink(path.c_str()) != 0) {
            emptyDir(path);  // the only folders are the ones made below, one level deep
            rmdir(path.c_str());
        }
    }
}

void removeWorkDir() {
    emptyDir(workPath);
    rmdir(workPath);
}

// The bytes of a regular file; a folder or a missing file reads as a text no file holds.
std::string readFile(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string("\0not a file", 11);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A minimal JSON checker: structure, strings with their escapes, numbers, literals.
class Json {
public:
    explicit Json(const std::string& s) : s_(s) {}
    bool document() {
        bool ok = value(0);
        space();
        return ok && i_ == s_.size();
    }

private:
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        space();
        if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
        return false;
    }
    bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (s_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }
    bool string() {
        if (!eat('"')) return false;
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (i_ >= s_.size()) return false;
                char e = s_[i_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_++]))) return false;
                } else if (!std::strchr("\"\\/bfnrt", e)) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        size_t digits = i_;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
        if (i_ == digits || (s_[digits] == '0' && i_ - digits > 1)) return false;
        if (i_ < s_.size() && s_[i_] == '.') {
            size_t f = ++i_;
            while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
            if (i_ == f) return false;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            size_t e = i_;
            while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
            if (i_ == e) return false;
        }
        return i_ > start;
    }
    // Nesting in a track file is at most four deep; the bound keeps a broken file from
    // running the checker deep.
    bool value(int depth) {
        if (depth > 8) return false;
        space();
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            if (eat('}')) return true;
            do {
                if (!string() || !eat(':') || !value(depth + 1)) return false;
            } while (eat(','));
            return eat('}');
        }
        if (c == '[') {
            ++i_;
            if (eat(']')) return true;
            do {
                if (!value(depth + 1)) return false;
            } while (eat(','));
            return eat(']');
        }
        if (c == '"') return string();
        if (literal("true") || literal("false") || literal("null")) return true;
        return number();
    }
    const std::string& s_;
    size_t i_ = 0;
};

const char* const optionWords[] = {
    "--procedure", "--list", "--help", "-h", "--config", "--console-log", "--click", "--frames", "--start", "--end",
    "--max-pixels", "-o", "--dst", "--tracks", "--windows", "--module", "--profile", "--show", "--quiet", "--verbose",
    "--grey", "--gray", "demo", "cam:0", "v.mp4", "v.AVI", "t.csv", "t.JSON", "1", "0", "-1", "3:4:5", "0:0:0",
    "1:1073741824:1", "9223372036854775807", "4611686018427387903", "4611686018427387904", "--", "-", "=", "",
    "--frames=", "--tracks=x.json", "--click=2:3:4", "--grey=1"};

std::string argument(Input& in) {
    uint8_t mode = in.byte();
    if (mode < 48) return in.bytes(24);
    std::string a = optionWords[in.pick(sizeof optionWords / sizeof optionWords[0])];
    if (mode < 64) a += in.bytes(8);
    return a;
}

void commandLine(Input& in) {
    std::vector<std::string> args{"ambrevo"};
    int n = int(in.pick(12));
    for (int i = 0; i < n; ++i) args.push_back(argument(in));
    // A NUL ends an argument, as it would on a real command line.
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    Options options;
    const Outcome parsed = parseOptions(int(args.size()), argv.data(), options);
    if (!parsed && parsed.error().message.empty()) fault("parseOptions", "refused without a message");
    ClickOption click{};
    (void)parseClick(in.bytes(30), click);
}

float anyFloat(Input& in, bool finiteOnly) {
    uint8_t mode = in.byte();
    if (mode < 128) return float(int(in.pick(2000)) - 1000) / 8.0f;
    uint32_t bits = in.word();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (finiteOnly && !std::isfinite(f)) f = 0.25f;
    return f;
}

ip_objectRecord record(Input& in, bool finiteOnly) {
    ip_objectRecord o{};
    o.index = in.number(0, 20);
    o.x = in.number(-5, 200);
    o.y = in.number(-5, 200);
    o.area = in.number(0, 5000);
    o.vx = anyFloat(in, finiteOnly);
    o.vy = anyFloat(in, finiteOnly);
    o.pointCount = in.number(0, 100);
    o.appearances = in.number(0, 10);
    o.selected = in.number(0, 1);
    o.rayCount = in.number(0, ip_objectMaxRays);
    for (int i = 0; i < ip_objectMaxRays; ++i) o.rays[i] = i < 8 ? anyFloat(in, finiteOnly) : float(i);
    return o;
}

// A file name in the work folder: any bytes but '/', sometimes in a missing subfolder or
// naming the folder itself.
std::string targetName(Input& in, const std::string& dir) {
    static const char* const endings[] = {".csv", ".json", ".CSV", ".Json", ".txt", ""};
    uint8_t mode = in.byte();
    if (mode < 8) return dir;
    std::string name;
    for (char c : in.bytes(16))
        if (c != '/' && c != '\0') name += c;
    name += endings[in.pick(sizeof endings / sizeof endings[0])];
    if (name == "." || name == "..") name = "t.csv";
    if (mode < 24) return dir + "/missing/" + name;
    if (mode < 40) {
        std::string sub = dir + "/sub";
        mkdir(sub.c_str(), 0700);
        return sub + "/" + name;
    }
    return dir + "/" + name;
}

// targets: the track files of this input so far, this one included on return.
void tracks(Input& in, const std::string& dir, std::vector<std::string>& targets) {
    static const char* const procedures[] = {"flowtrack", "ccTrack", "canny", "nop", ""};
    std::string target = targetName(in, dir);
    targets.push_back(target);
    std::string before;
    bool existed = in.chance(3) && target != dir;
    if (existed) {
        before = "# kept\n" + in.bytes(64);
        writeFile(target, before);
        existed = readFile(target) == before;
    }
    const bool finiteOnly = in.byte() < 224;
    std::string procedure = in.chance(8) ? in.bytes(12) : procedures[in.pick(5)];
    bool committed = false, json = false;
    {
        TrackFileSink writer(target);
        // The columns of the flow tracker (areas), the contour tracker (motion) or both.
        ProcedureTraits traits;
        traits.name = procedure, traits.motion = procedure != procedures[0], traits.area = procedure != procedures[1];
        if (const Outcome opened = writer.open(traits, {}); opened) {
            json = target.size() >= 5 && strcasecmp(target.c_str() + target.size() - 5, ".json") == 0;
            int frames = int(in.pick(6));
            for (int f = 0; f < frames; ++f) {
                std::vector<ip_objectRecord> objects;
                int n = int(in.pick(5));
                for (int i = 0; i < n; ++i) objects.push_back(record(in, finiteOnly));
                (void)writer.frame(in.chance(8) ? int64_t(in.word()) << 31 : f, objects, {});
            }
            if (!in.chance(4)) {
                RunRecord r;
                r.source = in.bytes(24);
                r.procedure = procedure;
                r.width = in.number(0, 100);
                r.height = in.number(0, 100);
                r.grey = in.byte() & 1;
                r.start = in.number(0, 10);
                r.framesRead = frames;
                r.expected = in.number(-1, 10);
                r.announced = in.number(-1, 10);
                r.complete = in.byte() & 1;
                r.reason = in.bytes(24);
                const Outcome closed = writer.close(r);
                committed = bool(closed);
                if (!closed && closed.error().message.empty())
                    fault("TrackFileSink::close", "failed without a message");
            } else if (in.chance(2)) {
                writer.discard();
            }  // otherwise the writer goes out of scope unfinished, as when the host stops
        } else if (opened.error().message.empty()) {
            fault("TrackFileSink::open", "refused without a message");
        }
    }
    if (existed && !committed && readFile(target) != before) fault("refused track file damaged", target);
    if (committed && finiteOnly && json) {
        std::string text = readFile(target);
        if (!Json(text).document()) fault("malformed JSON track file", text.substr(0, 400));
    }
    // Only track files may remain (their names may look like a temporary's); a temporary
    // left behind is a fault.
    const std::string pid = "-" + std::to_string(getpid());
    for (const std::string& sub : {dir, dir + "/sub"})
        for (const std::string& name : listDir(sub))
            if (name[0] == '.' && std::find(targets.begin(), targets.end(), sub + "/" + name) == targets.end() &&
                (name.find(".part" + pid) != std::string::npos || name.find(".rows" + pid) != std::string::npos))
                fault("temporary file left behind", sub + "/" + name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const std::string& dir = workDir();
    emptyDir(dir);
    commandLine(in);
    (void)pendingName(in.bytes(20), in.chance(2) ? "part" : in.bytes(6));
    int files = 1 + int(in.pick(2));
    std::vector<std::string> targets;
    for (int i = 0; i < files; ++i) tracks(in, dir, targets);
    emptyDir(dir);
    return 0;
}
