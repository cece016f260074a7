#include "batch.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/run/request.h"
#include "ambrevo/pipeline/sinks/track_rows.h"
#include "batch_folder.h"
#include "batch_record.h"
#include "batch_table.h"
#include "terminal.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Whether an option names a file or folder of one run. In a batch its value is the suffix of
// each input's output: "mp4" or ".mp4" gives OUT/a.mp4, "_dst" gives OUT/a_dst.
bool namesAnOutput(const DeclaredOption& option) {
    return option.use == OptionUse::outputFile || option.use == OptionUse::outputFolder;
}

std::string suffixOf(const std::string& value) {
    if (value.empty()) return value;
    return value[0] == '.' || value[0] == '_' || value[0] == '-' ? value : "." + value;
}

std::atomic<int> batchSignal{0};
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
    enum State { waiting, running, done, failed, skipped, stopped, elsewhere } state = waiting;
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
        case Item::elsewhere: return "run by another batch";
    }
    return "";
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

// The arguments of one input's run: the batch's own, less the inputs, the batch options and
// the output options, then the input and its outputs.
std::vector<std::string> childArguments(const Options& o, int argc, char** argv, const Item& item) {
    std::vector<std::string> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::find(o.inputArgs.begin(), o.inputArgs.end(), i) != o.inputArgs.end()) continue;
        std::string arg = argv[i];
        const bool inlineValue = arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos;
        const std::string name = inlineValue ? arg.substr(0, arg.find('=')) : arg;
        if (arg == "--") continue;
        const auto declared = std::find_if(declaredOptions().begin(), declaredOptions().end(),
                                           [&](const DeclaredOption& d) { return name == d.name; });
        const bool drop = declared != declaredOptions().end() && (declared->use == OptionUse::batch || namesAnOutput(*declared));
        if (!drop) {
            args.push_back(arg);
            continue;
        }
        if (!inlineValue && declared->takesValue) ++i;
    }
    for (const auto& [option, path] : item.out.options) {
        args.push_back(option);
        args.push_back(path);
    }
    args.push_back("--quiet");
    // Last, after "--": an input named like an option is still the input.
    args.push_back("--");
    args.push_back(item.input);
    return args;
}

pid_t startChild(const std::vector<std::string>& args, int log) {
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
    if (null < 0) ::_exit(exitOutput);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv("/proc/self/exe", argvChild.data());
    ::_exit(exitModuleLoad);
}

}  // namespace

BatchOutputs batchOutputs(const Options& o, const std::string& input) {
    BatchOutputs out;
    out.name = batchName(input);
    const fs::path dir(o.outDir);
    for (const DeclaredOption& option : declaredOptions()) {
        if (!namesAnOutput(option)) continue;
        std::string suffix = suffixOf(o.*option.path);
        if (option.path == &Options::tracksFile && suffix.empty()) suffix = ".csv";
        if (suffix.empty()) continue;
        const std::string path = (dir / (out.name + suffix)).string();
        out.options.emplace_back(option.name, path);
        if (option.path == &Options::tracksFile) out.tracks = path;
    }
    return out;
}

Outcome checkBatchOptions(Options& o) {
    auto refuse = [](std::string text) { return Failure{RunError::usage, std::move(text)}; };
    if (o.outDir.empty())
        return refuse("several inputs need --out-dir DIR for their outputs");
    if (o.inputs.empty())
        return refuse("--out-dir given without any input");
    if (o.show)
        return refuse("--show takes one input, not a batch");
    if (o.tracksFile == "-")
        return refuse("--tracks - streams one input's rows; a batch writes a track file per input");
    const std::string video = suffixOf(o.videoOut), tracks = suffixOf(o.tracksFile);
    if (!video.empty() && !endsWithNoCase(video, ".mp4") && !endsWithNoCase(video, ".avi"))
        return refuse("-o '" + o.videoOut + "': in a batch -o takes mp4 or avi (each input's video is OUT/NAME.mp4)");
    if (!tracks.empty() && !endsWithNoCase(tracks, ".csv") && !endsWithNoCase(tracks, ".json"))
        return refuse("--tracks '" + o.tracksFile + "': in a batch --tracks takes csv or json (OUT/NAME.csv)");
    std::map<std::string, std::string> names;
    for (const std::string& input : o.inputs) {
        auto [at, fresh] = names.emplace(batchName(input), input);
        if (!fresh)
            return refuse("inputs '" + at->second + "' and '" + input + "' would share the outputs named '" + at->first + "'");
    }
    return {};
}

namespace {

// The `meta` object that closes a JSON track file, read from the file's last megabyte: the
// frames before it may be many, the object is small. Null when there is none.
nlohmann::json jsonTrackMeta(std::ifstream& in) {
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg(), tail = std::min<std::streamoff>(size, 1 << 20);
    in.seekg(size - tail);
    std::string text(size_t(tail), '\0');
    in.read(text.data(), tail);
    // The writer puts the object on a line of its own after the frames, and it closes the file.
    const size_t key = text.rfind("\n \"meta\": {"), end = text.find_last_not_of(" \n\r");
    if (key == std::string::npos || end == std::string::npos || end <= key || text[end] != '}') return nullptr;
    const size_t begin = text.find('{', key);
    nlohmann::json meta =
        nlohmann::json::parse(text.begin() + std::ptrdiff_t(begin), text.begin() + std::ptrdiff_t(end), nullptr, false);
    return meta.is_object() ? meta : nullptr;
}

}  // namespace

TrackFileState readTrackFileState(const std::string& file) {
    TrackFileState state;
    // A pipe would keep the batch waiting and a device reading for ever; neither is a track
    // file, and the run refuses to write over it with its kind named.
    if (!nonRegularKind(file).empty()) return state;
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
    const nlohmann::json meta = jsonTrackMeta(in);
    if (meta.is_null()) return state;
    state.found = true;
    auto text = [&](const char* key) {
        const auto at = meta.find(key);
        return at != meta.end() && at->is_string() ? at->get<std::string>() : std::string();
    };
    state.complete = text("status") == "complete";
    if (const auto at = meta.find("frames_read"); at != meta.end() && at->is_number_integer())
        state.frames = at->get<long long>();
    // As the CSV file's comment line gives it, to compare the two kinds alike.
    state.source = commentText(text("source"));
    return state;
}

namespace {

// One batch call: its inputs, their runs, the table and the record.
class Batch {
public:
    Batch(const Options& o, int argc, char** argv)
        : o_(o), argc_(argc), argv_(argv), table_((fs::path(o.outDir) / "batch.csv").string()),
          record_((fs::path(o.outDir) / "batch.json").string()),
          progress_(!o.quiet && isatty(STDERR_FILENO)) {}
    int run(Module& module, const SettingsFile& saved);

private:
    void ask(Module& module, const SettingsFile& saved);
    std::string plan();
    std::string decide(Item& item);
    Outcome prepare();
    bool claim(Item& item);
    void startRuns();
    void finished(pid_t pid, int status);
    int summary();
    void report(const std::string& text) {
        progress_.endLine();
        std::cerr << "ambrevo: " << text << std::endl;
    }
    Outcome read();
    Outcome update(const std::function<void()>& change);
    Outcome writeTables() { return update([] {}); }
    void settle();
    std::vector<std::string> row(const Item& item) const;

    const Options& o_;
    int argc_;
    char** argv_;
    BatchTable table_;
    BatchRecord record_;
    BatchPresence presence_;
    Request request_;
    bool known_ = false;  // whether the request's settings could be told before the runs
    std::vector<Item> items_;
    BatchProgress progress_;
    Clock::time_point begin_ = Clock::now();
    int jobs_ = 1, running_ = 0;
    size_t next_ = 0;
    bool forwarded_ = false, told_ = false;
};

// Reads what other batches may have written since: the record, with the claims of batches
// that died settled, and the table.
Outcome Batch::read() {
    if (record_.changed()) {
        if (Outcome loaded = record_.load(); !loaded) return loaded;
        settle();
    }
    return table_.refresh();
}

void Batch::settle() {
    record_.settle([&](const std::string& batch) { return batch == presence_.name() || batchAlive(o_.outDir, batch); },
                   fileIdentity);
}

// Under the folder's lock: what other batches wrote, this batch's `change`, both files again.
Outcome Batch::update(const std::function<void()>& change) {
    FolderLock lock;
    std::string notice;
    if (Outcome locked = lock.acquire(o_.outDir, batchSignal, notice); !locked) return locked;
    if (Outcome fresh = read(); !fresh) return fresh;
    if (!notice.empty() && !told_) report(notice), told_ = true;
    change();
    for (const Item& i : items_)
        if (i.state != Item::elsewhere) table_.set(i.input, row(i), i.state == Item::waiting);
    if (Outcome saved = table_.save(); !saved || !known_) return saved;
    return record_.save();
}

std::vector<std::string> Batch::row(const Item& i) const {
    return {stateName(i.state), i.exit >= 0 ? std::to_string(i.exit) : "", std::to_string(i.frames),
            ambrevo::text::fixed(i.seconds, 2), i.message};
}

// What this call asks for, with every setting as an instance of the procedure has it after
// --settings, --config and --set. When that cannot be told here (a refused setting), every
// run tells it instead, and nothing is skipped or refused by its record.
void Batch::ask(Module& module, const SettingsFile& saved) {
    std::vector<SettingInfo> settings;
    const Expected<bool> told = describeSettings(module, o_, saved, settings, true);
    known_ = told && *told;
    const char* v = module.version ? module.version() : nullptr;
    const std::string version = v ? v : "";
    request_ = batchRequest(o_, settings, version);
}

// Whether `item` runs, is skipped, or is refused: the refusal, or empty. An input another
// batch is running is told when its run would start.
std::string Batch::decide(Item& item) {
    if (const Claim* c = record_.claim(item.input); c && c->batch != presence_.name()) return {};
    const TrackFileState state = readTrackFileState(item.out.tracks);
    if (!state.found || !known_) return {};
    const RecordedRun* recorded = record_.find(item.input);
    if (!recorded)
        return item.input + ": " + item.out.tracks + " holds a run this batch has no record of (" + o_.outDir +
               "/batch.json); --force runs it again";
    const std::string difference = requestDifference(recorded->request, request_);
    if (!difference.empty())
        return item.input + ": " + item.out.tracks + " holds a run of another request (" + difference +
               "); --force runs it again";
    bool whole = state.complete && state.source == commentText(item.input);
    std::error_code ec;
    for (const auto& [option, path] : item.out.options) {
        const auto made = recorded->outputs.find(option);
        whole = whole && made != recorded->outputs.end() && made->second == path && fs::exists(path, ec);
    }
    if (whole) {
        item.state = Item::skipped;
        item.message = "its track file is complete (--force runs it again)";
        item.frames = state.frames;
    }
    return {};
}

// Every input with its outputs, skipped when its recorded run answers the call; the first
// refusal when an input's outputs were made by another request.
std::string Batch::plan() {
    std::string refusal;
    size_t refused = 0;
    for (const std::string& input : o_.inputs) {
        Item item;
        item.input = input;
        item.out = batchOutputs(o_, input);
        const std::string why = o_.force ? std::string() : decide(item);
        if (!why.empty() && refused++ == 0) refusal = why;
        items_.push_back(std::move(item));
    }
    if (refused > 1) refusal += " (and " + std::to_string(refused - 1) + " more inputs)";
    return refusal;
}

// Just before its run, under the lock: the input runs unless another batch runs it now or
// finished it meanwhile; then its claim is recorded.
bool Batch::claim(Item& item) {
    const Claim* other = record_.claim(item.input);
    if (other && other->batch != presence_.name()) {
        item.state = Item::elsewhere;
        item.message = "another batch is running it into the same folder";
        return false;
    }
    if (const std::string refusal = o_.force ? std::string() : decide(item); !refusal.empty()) {
        item.state = Item::failed, item.exit = exitUsage, item.message = refusal;
        report(refusal);
        return false;
    }
    if (item.state != Item::waiting) return false;
    if (known_)
        record_.begin(item.input, Claim{presence_.name(), {request_, {item.out.options.begin(), item.out.options.end()}},
                                        fileIdentity(item.out.tracks)});
    return true;
}

void Batch::startRuns() {
    while (!batchSignal && running_ < jobs_ && next_ < items_.size()) {
        Item& item = items_[next_++];
        if (item.state != Item::waiting) continue;
        bool claimed = false;
        if (const Outcome claiming = update([&] { claimed = claim(item); }); !claiming) {
            item.state = Item::failed, item.exit = exitOutput, item.message = claiming.error().message;
            report(item.input + ": " + item.message);
            continue;
        }
        if (!claimed) continue;
        // The run's standard error, in a file of its own made here and never one found there.
        const int log = createPending((fs::path(o_.outDir) / (item.out.name + ".log")).string(), "run", item.log);
        item.started = Clock::now();
        item.startedOnDisk = fs::file_time_type::clock::now();
        item.pid = log < 0 ? -1 : startChild(childArguments(o_, argc_, argv_, item), log);
        if (log >= 0) ::close(log);
        if (item.pid < 0) {
            if (log >= 0) ::unlink(item.log.c_str());
            item.state = Item::failed;
            item.exit = log < 0 ? exitOutput : exitLibrary;
            item.message = log < 0 ? "cannot write its log into '" + o_.outDir + "'" : "cannot start a process";
            report(item.input + ": " + item.message);
            if (const Outcome released = update([&] { record_.release(item.input); }); !released)
                report(released.error().message);
            continue;
        }
        item.state = Item::running;
        ++running_;
        // Listed as running at once, for whoever watches the table (the desktop app's queue).
        if (const Outcome written = writeTables(); !written) report(written.error().message);
    }
}

void Batch::finished(pid_t pid, int status) {
    for (Item& item : items_) {
        if (item.state != Item::running || item.pid != pid) continue;
        --running_;
        item.seconds = std::chrono::duration<double>(Clock::now() - item.started).count();
        item.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        item.message = firstMessage(item.log);
        ::unlink(item.log.c_str());
        std::error_code ec;
        const bool written =
            fs::exists(item.out.tracks, ec) && fs::last_write_time(item.out.tracks, ec) >= item.startedOnDisk;
        item.frames = written ? std::max(0LL, readTrackFileState(item.out.tracks).frames) : 0;
        if (item.exit == exitOk) {
            item.state = Item::done;
        } else {
            const bool byUs = forwarded_ && (item.exit == exitInterrupted || item.exit == exitTerminated);
            item.state = byUs ? Item::stopped : Item::failed;
            if (item.message.empty()) item.message = "exit status " + std::to_string(item.exit);
            if (!byUs) report(item.input + ": " + item.message);
        }
        const Outcome saved = update([&] {
            if (written)
                record_.made(item.input, request_, item.out.options);
            else
                record_.release(item.input);
        });
        if (!saved) report(saved.error().message);
        progress_.update(items_, true);
    }
}

// Before the first run, under the lock: this batch's presence, and what dead runs left behind.
Outcome Batch::prepare() {
    FolderLock lock;
    std::string notice;
    if (Outcome locked = lock.acquire(o_.outDir, batchSignal, notice); !locked) return locked;
    removeDeadPresences(o_.outDir);
    if (Outcome present = presence_.open(o_.outDir); !present) return present;
    std::vector<std::string> targets{(fs::path(o_.outDir) / "batch.csv").string(),
                                     (fs::path(o_.outDir) / "batch.json").string(),
                                     (fs::path(o_.outDir) / "probe").string()};
    for (const Item& i : items_) {
        if (const Claim* c = record_.claim(i.input); c && batchAlive(o_.outDir, c->batch)) continue;
        targets.push_back((fs::path(o_.outDir) / (i.out.name + ".log")).string());
        for (const auto& [option, path] : i.out.options) targets.push_back(path);
    }
    removeDeadTemporaries(targets);
    return {};
}

int Batch::run(Module& module, const SettingsFile& saved) {
    struct sigaction action {};
    action.sa_handler = onBatchSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the batch at once; its runs still get SIGTERM from their parent's death.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::string made;
    if (const Outcome ready = prepareFolder(o_.outDir, "--out-dir folder", made); !ready) return fail(ready.error());
    ask(module, saved);
    {
        FolderLock lock;
        std::string notice;
        Outcome read = lock.acquire(o_.outDir, batchSignal, notice);
        if (read) read = record_.load();
        if (read) read = table_.refresh();
        if (!read) return fail(batchSignal ? stopStatus(batchSignal) : exitOutput, read.error().message);
        settle();  // in memory only: a refused call changes nothing
        if (const std::string refusal = plan(); !refusal.empty()) return fail(exitUsage, refusal);
    }
    jobs_ = o_.jobs > 0 ? int(o_.jobs) : coresAvailable();
    Outcome started = prepare();
    if (started) started = writeTables();
    if (!started) {
        report(started.error().message);
        return batchSignal ? stopStatus(batchSignal) : exitOutput;
    }
    for (;;) {
        const int signal = batchSignal;
        if (signal && !forwarded_) {
            for (Item& i : items_)
                if (i.state == Item::running) ::kill(i.pid, signal);
            forwarded_ = true;
        }
        startRuns();
        if (running_ == 0 && (signal || next_ >= items_.size())) break;
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            finished(pid, status);
            continue;
        }
        progress_.update(items_);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return summary();
}

int Batch::summary() {
    progress_.update(items_, true);
    progress_.endLine();
    int status = exitOk;
    size_t counts[7] = {};
    for (const Item& i : items_) {
        ++counts[i.state];
        if (i.state == Item::failed && status == exitOk) status = i.exit;
    }
    if (batchSignal) status = batchSignal == SIGINT ? exitInterrupted : exitTerminated;
    if (const Outcome written = writeTables(); !written) {
        report(written.error().message);
        if (status == exitOk) status = exitOutput;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin_).count();
    char line[256];
    std::snprintf(line, sizeof line, "ambrevo: %zu inputs: %zu done, %zu skipped, %zu failed", items_.size(),
                  counts[Item::done], counts[Item::skipped], counts[Item::failed]);
    std::string text = line;
    if (counts[Item::stopped] + counts[Item::waiting] > 0)
        text += ", " + std::to_string(counts[Item::stopped]) + " stopped, " + std::to_string(counts[Item::waiting]) +
                " not started";
    if (counts[Item::elsewhere] > 0) text += ", " + std::to_string(counts[Item::elsewhere]) + " run by another batch";
    std::snprintf(line, sizeof line, " in %.2f s; see %s\n", seconds, (fs::path(o_.outDir) / "batch.csv").c_str());
    std::cout << text << line << std::flush;
    return status;
}

}  // namespace

int runBatch(Module& module, const Options& o, const SettingsFile& saved, int argc, char** argv, int pendingSignal) {
    if (pendingSignal) {
        std::cerr << "ambrevo: stopped by " << (pendingSignal == SIGINT ? "SIGINT" : "SIGTERM")
                  << " before the batch began" << std::endl;
        return pendingSignal == SIGINT ? exitInterrupted : exitTerminated;
    }
    Batch batch(o, argc, argv);
    return batch.run(module, saved);
}
