#include "batch.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "files.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// The options that name a file or folder of one run. In a batch their value is the suffix
// of each input's output: "mp4" or ".mp4" gives OUT/a.mp4, "_dst" gives OUT/a_dst.
struct OutputOption {
    const char* name;
    std::string Options::*value;
};
const OutputOption outputOptions[] = {
    {"-o", &Options::videoOut},          {"--tracks", &Options::tracksFile},   {"--dst", &Options::dstDir},
    {"--windows", &Options::windowsDir}, {"--console-log", &Options::consoleLog}, {"--summary", &Options::summaryFile},
    {"--plot", &Options::plotFile},      {"--heatmap", &Options::heatmapFile}, {"--settings-out", &Options::settingsOut},
};
// The batch's own options, not handed to the runs; all but --force take a value.
const char* const batchOnly[] = {"--out-dir", "--jobs"};

std::string suffixOf(const std::string& value) {
    if (value.empty()) return value;
    return value[0] == '.' || value[0] == '_' || value[0] == '-' ? value : "." + value;
}

std::string csvCell(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c == '\n' || c == '\r' ? ' ' : c);
    return out + "\"";
}

// Control characters as the track file's comment lines write them.
std::string asComment(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return out;
}

volatile std::sig_atomic_t batchSignal = 0;
void onBatchSignal(int signal) { batchSignal = signal; }

int coresAvailable() {
    cpu_set_t set;
    CPU_ZERO(&set);
    // The cores this process may use: a cluster's allocation, not the whole machine.
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

struct Item {
    std::string input;
    BatchOutputs out;
    enum State { waiting, running, done, failed, skipped, stopped } state = waiting;
    pid_t pid = -1;
    int exit = -1;
    long long frames = 0;
    double seconds = 0;
    std::string message;
    std::string log;  // the run's standard error, while it runs
    Clock::time_point started;
    fs::file_time_type startedOnDisk;
};

const char* stateName(Item::State s) {
    switch (s) {
        case Item::waiting: return "not started";
        case Item::running: return "running";
        case Item::done: return "done";
        case Item::failed: return "failed";
        case Item::skipped: return "skipped";
        case Item::stopped: return "stopped";
    }
    return "";
}

// Every output of the input is there and its track file says that its run was complete.
bool alreadyDone(const Item& item, std::string& why) {
    const TrackFileState state = readTrackFileState(item.out.tracks);
    if (!state.found || !state.complete || state.source != asComment(item.input)) return false;
    std::error_code ec;
    for (const auto& [option, path] : item.out.options)
        if (!fs::exists(path, ec)) return false;
    why = "its track file is complete (--force runs it again)";
    return true;
}

// The first line the run wrote about itself, without the program's name: a run tells only
// the failure that ended it, and its notes come after.
std::string firstMessage(const std::string& log) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("ambrevo: ", 0) == 0) return line.substr(9);
    return {};
}

class BatchProgress {
public:
    explicit BatchProgress(bool enabled) : enabled_(enabled), start_(Clock::now()) {}
    void update(const std::vector<Item>& items, bool force = false) {
        if (!enabled_) return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        if (!force && elapsed - last_ < 0.25) return;
        last_ = elapsed;
        size_t finished = 0, running = 0, failed = 0, ran = 0;
        for (const Item& i : items) {
            finished += i.state != Item::waiting && i.state != Item::running;
            running += i.state == Item::running;
            failed += i.state == Item::failed;
            ran += i.state == Item::done || i.state == Item::failed;
        }
        char line[160];
        const size_t left = items.size() - finished;
        if (ran > 0 && left > 0) {
            const double perInput = elapsed / double(ran);
            std::snprintf(line, sizeof line, "\rbatch: %zu/%zu inputs  %zu running  %zu failed  %.0f s  ~%.0f s left   ",
                          finished, items.size(), running, failed, elapsed,
                          perInput * double(left) / double(std::max<size_t>(1, running)));
        } else {
            std::snprintf(line, sizeof line, "\rbatch: %zu/%zu inputs  %zu running  %zu failed  %.0f s   ", finished,
                          items.size(), running, failed, elapsed);
        }
        std::cerr << line << std::flush;
        shown_ = true;
    }
    void endLine() {
        if (shown_) std::cerr << '\n';
        shown_ = false;
    }

private:
    bool enabled_;
    Clock::time_point start_;
    double last_ = -1;
    bool shown_ = false;
};

bool writeBatchTable(const std::string& file, const std::vector<Item>& items, std::string& error) {
    PendingFile table;
    if (!table.create(file, "batch table", error)) return false;
    {
        std::ofstream out(table.path(), std::ios::binary | std::ios::trunc);
        out << "input,status,exit,frames,seconds,message\n";
        for (const Item& i : items) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.2f", i.seconds);
            out << csvCell(i.input) << ',' << stateName(i.state) << ',' << (i.exit >= 0 ? std::to_string(i.exit) : "")
                << ',' << i.frames << ',' << seconds << ',' << csvCell(i.message) << '\n';
        }
        out.close();
        if (out.fail()) {
            error = table.failure();
            return false;
        }
    }
    return table.commit(error);
}

// The arguments of one input's run: the batch's own, less the inputs, the batch options and
// the output options, then the input and its outputs.
std::vector<std::string> childArguments(const Options& o, int argc, char** argv, const Item& item) {
    std::vector<std::string> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::find(o.inputArgs.begin(), o.inputArgs.end(), i) != o.inputArgs.end()) continue;
        std::string arg = argv[i];
        const bool inlineValue = arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos;
        const std::string name = inlineValue ? arg.substr(0, arg.find('=')) : arg;
        if (name == "--force") continue;
        bool drop = std::find(std::begin(batchOnly), std::end(batchOnly), name) != std::end(batchOnly);
        for (const OutputOption& out : outputOptions) drop = drop || name == out.name;
        if (!drop) {
            args.push_back(arg);
            continue;
        }
        if (!inlineValue) ++i;
    }
    args.push_back(item.input);
    for (const auto& [option, path] : item.out.options) {
        args.push_back(option);
        args.push_back(path);
    }
    args.push_back("--quiet");
    return args;
}

pid_t startChild(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argvChild;
    for (const std::string& a : args) argvChild.push_back(const_cast<char*>(a.c_str()));
    argvChild.push_back(nullptr);
    const pid_t parent = ::getpid();
    std::cout.flush();
    std::cerr.flush();
    // Blocked until the run has its handler (it unblocks them itself); the parent restores its mask.
    sigset_t stops, saved;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, &saved);
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::sigprocmask(SIG_SETMASK, &saved, nullptr);
        return pid;
    }
    // Only async-signal-safe calls from here to exec.
    // A group of its own: a Ctrl-C at the terminal reaches the batch alone, which hands it on
    // once; a second signal would end the run at once instead of after its frame.
    ::setpgid(0, 0);
    // A batch killed outright still stops its runs properly.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(exitTerminated);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (null < 0 || err < 0) ::_exit(exitOutput);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv("/proc/self/exe", argvChild.data());
    ::_exit(exitModuleLoad);
}

}  // namespace

std::string batchName(const std::string& input) {
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

BatchOutputs batchOutputs(const Options& o, const std::string& input) {
    BatchOutputs out;
    out.name = batchName(input);
    const fs::path dir(o.outDir);
    for (const OutputOption& option : outputOptions) {
        std::string suffix = suffixOf(o.*option.value);
        if (option.value == &Options::tracksFile && suffix.empty()) suffix = ".csv";
        if (suffix.empty()) continue;
        const std::string path = (dir / (out.name + suffix)).string();
        out.options.emplace_back(option.name, path);
        if (option.value == &Options::tracksFile) out.tracks = path;
    }
    return out;
}

bool checkBatchOptions(Options& o, std::string& error) {
    if (o.outDir.empty()) {
        error = "several inputs need --out-dir DIR for their outputs";
        return false;
    }
    if (o.inputs.empty()) {
        error = "--out-dir given without any input";
        return false;
    }
    if (o.show) {
        error = "--show takes one input, not a batch";
        return false;
    }
    if (o.tracksFile == "-") {
        error = "--tracks - streams one input's rows; a batch writes a track file per input";
        return false;
    }
    const std::string video = suffixOf(o.videoOut), tracks = suffixOf(o.tracksFile);
    if (!video.empty() && !endsWithNoCase(video, ".mp4") && !endsWithNoCase(video, ".avi")) {
        error = "-o '" + o.videoOut + "': in a batch -o takes mp4 or avi (each input's video is OUT/NAME.mp4)";
        return false;
    }
    if (!tracks.empty() && !endsWithNoCase(tracks, ".csv") && !endsWithNoCase(tracks, ".json")) {
        error = "--tracks '" + o.tracksFile + "': in a batch --tracks takes csv or json (OUT/NAME.csv)";
        return false;
    }
    std::map<std::string, std::string> names;
    for (const std::string& input : o.inputs) {
        auto [at, fresh] = names.emplace(batchName(input), input);
        if (!fresh) {
            error = "inputs '" + at->second + "' and '" + input + "' would share the outputs named '" + at->first + "'";
            return false;
        }
    }
    return true;
}

TrackFileState readTrackFileState(const std::string& file) {
    TrackFileState state;
    std::ifstream in(file, std::ios::binary);
    if (!in) return state;
    if (!endsWithNoCase(file, ".json")) {
        std::string line;
        if (!std::getline(in, line) || line != "# ambrevo track file") return state;
        state.found = true;
        while (std::getline(in, line) && line.rfind("# ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (colon == std::string::npos) continue;
            const std::string key = line.substr(2, colon - 2), value = line.substr(colon + 2);
            if (key == "status") state.complete = value == "complete";
            if (key == "frames_read") state.frames = std::atoll(value.c_str());
            if (key == "source") state.source = value;
        }
        return state;
    }
    // The metadata closes a JSON track file.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg(), tail = std::min<std::streamoff>(size, 1 << 20);
    in.seekg(size - tail);
    std::string text(size_t(tail), '\0');
    in.read(text.data(), tail);
    const size_t meta = text.rfind("\"meta\": {");
    if (meta == std::string::npos) return state;
    state.found = true;
    auto field = [&](const std::string& key) {
        const size_t at = text.find("\"" + key + "\": ", meta);
        return at == std::string::npos ? std::string() : text.substr(at + key.size() + 4);
    };
    state.complete = field("status").rfind("\"complete\"", 0) == 0;
    state.frames = std::atoll(field("frames_read").c_str());
    const std::string source = field("source");
    for (size_t i = 1; i < source.size() && source[i] != '"'; ++i) {
        if (source[i] == '\\' && i + 1 < source.size()) ++i;
        state.source += source[i];
    }
    return state;
}

int runBatch(const Options& o, int argc, char** argv, int pendingSignal) {
    if (pendingSignal) {
        std::cerr << "ambrevo: stopped by " << (pendingSignal == SIGINT ? "SIGINT" : "SIGTERM")
                  << " before the batch began" << std::endl;
        return pendingSignal == SIGINT ? exitInterrupted : exitTerminated;
    }
    std::string error, made;
    if (!prepareFolder(o.outDir, "--out-dir folder", made, error)) {
        std::cerr << "ambrevo: " << error << std::endl;
        return exitOutput;
    }
    const std::string table = (fs::path(o.outDir) / "batch.csv").string();
    std::vector<Item> items;
    for (const std::string& input : o.inputs) {
        Item item;
        item.input = input;
        item.out = batchOutputs(o, input);
        if (!o.force && alreadyDone(item, item.message)) {
            item.state = Item::skipped;
            item.frames = readTrackFileState(item.out.tracks).frames;
        }
        items.push_back(std::move(item));
    }

    struct sigaction action {};
    action.sa_handler = onBatchSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the batch at once; its runs still get SIGTERM from their parent's death.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int jobs = o.jobs > 0 ? int(o.jobs) : coresAvailable();
    BatchProgress progress(!o.quiet && isatty(STDERR_FILENO));
    const Clock::time_point begin = Clock::now();
    bool forwarded = false;
    size_t next = 0;
    int running = 0;
    auto report = [&](const std::string& text) {
        progress.endLine();
        std::cerr << "ambrevo: " << text << std::endl;
    };
    if (!writeBatchTable(table, items, error)) {
        report(error);
        return exitOutput;
    }
    for (;;) {
        const int signal = batchSignal;
        if (signal && !forwarded) {
            for (Item& i : items)
                if (i.state == Item::running) ::kill(i.pid, signal);
            forwarded = true;
        }
        while (!signal && running < jobs && next < items.size()) {
            Item& item = items[next++];
            if (item.state != Item::waiting) continue;
            item.log = pendingName((fs::path(o.outDir) / (item.out.name + ".log")).string(), "run");
            item.started = Clock::now();
            item.startedOnDisk = fs::file_time_type::clock::now();
            item.pid = startChild(childArguments(o, argc, argv, item), item.log);
            if (item.pid < 0) {
                item.state = Item::failed;
                item.exit = exitLibrary;
                item.message = "cannot start a process";
                report(item.input + ": " + item.message);
                continue;
            }
            item.state = Item::running;
            ++running;
        }
        if (running == 0 && (signal || next >= items.size())) break;

        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            progress.update(items);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        for (Item& item : items) {
            if (item.state != Item::running || item.pid != pid) continue;
            --running;
            item.seconds = std::chrono::duration<double>(Clock::now() - item.started).count();
            item.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            item.message = firstMessage(item.log);
            ::unlink(item.log.c_str());
            std::error_code ec;
            const bool written = fs::exists(item.out.tracks, ec) &&
                                 fs::last_write_time(item.out.tracks, ec) >= item.startedOnDisk;
            item.frames = written ? std::max(0LL, readTrackFileState(item.out.tracks).frames) : 0;
            if (item.exit == exitOk) {
                item.state = Item::done;
            } else {
                const bool byUs = forwarded && (item.exit == exitInterrupted || item.exit == exitTerminated);
                item.state = byUs ? Item::stopped : Item::failed;
                if (item.message.empty()) item.message = "exit status " + std::to_string(item.exit);
                if (!byUs) report(item.input + ": " + item.message);
            }
            if (!writeBatchTable(table, items, error)) report(error);
            progress.update(items, true);
        }
    }
    progress.update(items, true);
    progress.endLine();

    int status = exitOk;
    size_t counts[6] = {};
    for (const Item& i : items) {
        ++counts[i.state];
        if (i.state == Item::failed && status == exitOk) status = i.exit;
    }
    if (batchSignal) status = batchSignal == SIGINT ? exitInterrupted : exitTerminated;
    if (!writeBatchTable(table, items, error)) {
        report(error);
        if (status == exitOk) status = exitOutput;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    char line[256];
    std::snprintf(line, sizeof line, "ambrevo: %zu inputs: %zu done, %zu skipped, %zu failed", items.size(),
                  counts[Item::done], counts[Item::skipped], counts[Item::failed]);
    std::string text = line;
    if (counts[Item::stopped] + counts[Item::waiting] > 0)
        text += ", " + std::to_string(counts[Item::stopped]) + " stopped, " + std::to_string(counts[Item::waiting]) +
                " not started";
    std::snprintf(line, sizeof line, " in %.2f s; see %s\n", seconds, table.c_str());
    std::cout << text << line << std::flush;
    return status;
}
