// ambrevo: runs a procedure of the Ambrevo module over a video, an image sequence, a
// camera or the built-in scene, and writes the tracks, the destination images and the
// annotated video.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <numeric>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "arena_run.h"
#include "batch.h"
#include "console.h"
#include "demo_score.h"
#include "frame_source.h"
#include "module.h"
#include "options.h"
#include "pipeline.h"
#include "score.h"
#include "stderr_watch.h"
#include "stream_input.h"
#include "outputs.h"
#include "overlay.h"
#include "settings.h"
#include "windows.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const showWindow = "ambrevo";
const int maxSide = 32767;  // the module's operators address at most this many rows and columns

// The progress line in use, ended before any message so that the message has its own line.
class Progress;
Progress* activeProgress = nullptr;
void endProgressLine();

int fail(int status, const std::string& text) {
    auto hold = holdStderr();
    endProgressLine();
    std::cout.flush();
    std::cerr << "ambrevo: " << text << std::endl;
    return status;
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class HostEvent final : public ip_event {
public:
    HostEvent(int x, int y) : x_(x), y_(y) {}
    int type() override { return ip_event::selection; }
    int code() override { return 0; }
    int x() override { return x_; }
    int y() override { return y_; }

private:
    int x_, y_;
};

class HostEventList final : public ip_eventList {
public:
    void reset(const std::vector<cv::Point>& clicks) {
        events_.clear();
        for (const cv::Point& p : clicks) events_.emplace_back(p.x, p.y);
    }
    int count() override { return int(events_.size()); }
    ip_event* item(int index) override {
        return index >= 0 && size_t(index) < events_.size() ? &events_[size_t(index)] : nullptr;
    }

private:
    std::vector<HostEvent> events_;
};

// Mouse clicks in the --show window, waiting for the next frame.
std::vector<cv::Point> pendingClicks;

void onMouse(int event, int x, int y, int, void*) {
    if (event == cv::EVENT_LBUTTONDOWN) pendingClicks.emplace_back(x, y);
}

class Progress {
public:
    Progress(bool enabled, int64_t total) : enabled_(enabled), total_(total), start_(Clock::now()) {}
    void update(int64_t done) {
        if (!enabled_) return;
        auto hold = holdStderr();
        double elapsed = secondsSince(start_);
        if (elapsed - last_ < 0.25 && done != total_) return;
        last_ = elapsed;
        double fps = elapsed > 0 ? double(done) / elapsed : 0.0;
        char line[128];
        if (total_ > 0) {
            double left = fps > 0 ? double(total_ - done) / fps : 0.0;
            std::snprintf(line, sizeof line, "\rframe %lld/%lld  %.1f fps  %.0f s left   ",
                          static_cast<long long>(done), static_cast<long long>(total_), fps, left);
        } else {
            std::snprintf(line, sizeof line, "\rframe %lld  %.1f fps   ", static_cast<long long>(done), fps);
        }
        std::cerr << line << std::flush;
        shown_ = true;
    }
    void finish() {
        auto hold = holdStderr();
        if (shown_) std::cerr << '\n';
        shown_ = false;
    }

private:
    bool enabled_;
    int64_t total_;
    Clock::time_point start_;
    double last_ = -1;
    bool shown_ = false;
};

void endProgressLine() {
    if (activeProgress) activeProgress->finish();
}

// Set by SIGINT / SIGTERM; the run stops after the frame in hand. Read by every stage of the
// pipeline; a lock-free atomic may be stored from a signal handler.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onStopSignal(int signal) { stopSignal = signal; }

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the process at once, for a run stuck inside a library call.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A batch starts its runs with these blocked, so that a signal sent while a run is still
    // loading waits for the handler instead of killing it.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

// The libraries' log levels are set before any of them logs: their warnings would come
// between the host's own lines. A user's explicit setting of the variables wins.
void quietLibraries(bool verbose) {
    // FFmpeg's level is read when the first video opens.
    setenv("OPENCV_FFMPEG_LOGLEVEL", verbose ? "24" : "-8", 0);
    showDecoderChatter(verbose);
    // OpenCV reads its variable while loading, before main, so the level is also set
    // directly; the variable still reaches the plugins OpenCV loads later.
    if (!std::getenv("OPENCV_LOG_LEVEL")) {
        setenv("OPENCV_LOG_LEVEL", verbose ? "WARNING" : "SILENT", 1);
        cv::utils::logging::setLogLevel(verbose ? cv::utils::logging::LOG_LEVEL_WARNING
                                                : cv::utils::logging::LOG_LEVEL_SILENT);
    }
}

// A library's exception as the text of one line.
std::string describeFailure(std::exception_ptr failure) {
    std::string text;
    try {
        std::rethrow_exception(failure);
    } catch (const cv::Exception& e) {
        text = "OpenCV: " + (e.err.empty() ? std::string(e.what()) : e.err) +
               (e.func.empty() ? "" : " (in " + e.func + ")");
    } catch (const std::bad_alloc&) {
        text = "out of memory";
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "unknown failure";
    }
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Whether frames of `size` may be processed; empty sizes are not known yet.
bool fitsLimits(cv::Size size, int64_t maxPixels, std::string& error) {
    if (size.empty()) return true;
    if (size.width > maxSide || size.height > maxSide) {
        error = "frames larger than 32767 pixels are not supported";
        return false;
    }
    if (int64_t(size.width) * size.height > maxPixels) {
        error = "frames of " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                " pixels exceed the limit of " + std::to_string(maxPixels) + " pixels (--max-pixels raises it)";
        return false;
    }
    return true;
}

// The objects of the frame the module has just processed; the buffer grows once when they do
// not fit. False with `error` when the module fails.
bool readObjects(Module& module, int id, std::vector<ip_objectRecord>& objects, std::string& error) {
    int count = 0;
    const bool ok = guarded(
        [&] {
            objects.resize(16);
            count = module.objects(id, objects.data(), int(objects.size()));
            if (count > int(objects.size())) {
                objects.resize(size_t(count));
                count = std::min(count, module.objects(id, objects.data(), count));
            }
        },
        error);
    objects.resize(size_t(std::max(count, 0)));
    return ok;
}

// Everything one run owns. Its outputs stay under temporary names until finish() renames
// them, or drops them when no frame was processed.
struct Run {
    // Where a library failure is counted: reading the input, writing an output, or neither.
    enum Stage { elsewhere, reading, writing };

    Options o;
    Module module;
    HostConsole console;
    HostProfiler profiler;
    HostOverlay overlay;
    HostEventList events;
    TracksWriter tracks;
    DstWriter dst;
    VideoOut video;
    PendingFile consoleLog;
    PendingFile settingsOut;
    SettingsFile settingsIn;  // --settings
    ArenaRun arena;
    std::string windowsMade;  // the folders made for --windows
    std::unique_ptr<FrameSource> source;
    std::vector<std::string> builtInReplies;
    DemoScore score;
    // The flow tracker's note that a frame holds more regions than it follows.
    StderrWatch regionLimit{"Prevelik broj podrucja"};
    int id = -1;
    bool wantObjects = false;
    bool wantProfile = false;
    int64_t flashFrames = 0;
    int flashRadius = 0;
    std::vector<cv::Point> flashAt;
    bool quit = false;
    bool paused = false;
    bool outputsOpen = false;
    int status = exitOk;
    std::string reason;  // why the run ended before the end of its input; empty when it did not
    Stage stage = elsewhere;
    int64_t frame = 0;  // the input frame in hand, counted from 0
    int64_t done = 0;   // frames processed
    int64_t expected = -1;
    RunRecord record;
    FrameTimes times;  // capture and ready times of live inputs' frames

    // Reports the failure that ends the run; only the first one is told.
    void stop(int failure, const std::string& text) {
        if (status != exitOk) return;
        status = fail(failure, text);
        reason = text;
    }
    bool openOutputs(std::string& error);
    void discardOutputs();
    int finish(double seconds);
    bool configure();
    bool applyNamedSettings();
    void tellNothingFound();
    void recordSettings();
    bool handleKey(int key);
    void processFrames(cv::Mat& bgr);
    bool pipelined(cv::Mat& bgr, const ip_dibWords& image, double fps, Progress& progress);
};

bool Run::openOutputs(std::string& error) {
    bool ok = true;
    if (!o.consoleLog.empty())
        ok = consoleLog.create(o.consoleLog, "--console-log file", error) && console.openLog(consoleLog.path(), error);
    if (ok && !o.settingsOut.empty()) ok = settingsOut.create(o.settingsOut, "--settings-out file", error);
    if (ok && !o.tracksFile.empty()) ok = tracks.open(o.tracksFile, o.procedure, error);
    if (ok) tracks.setExtraColumns(times.columns(arena.columns()));
    if (ok) ok = arena.openOutputs(error);
    if (ok && !o.dstDir.empty()) ok = dst.open(o.dstDir, error);
    if (ok && !o.videoOut.empty()) ok = video.probe(o.videoOut, error);
    if (ok && !o.windowsDir.empty()) ok = prepareFolder(o.windowsDir, "--windows folder", windowsMade, error);
    outputsOpen = ok;
    if (!ok) discardOutputs();
    return ok;
}

void Run::discardOutputs() {
    console.closeLog();
    consoleLog.discard();
    settingsOut.discard();
    arena.discard();
    tracks.discard();
    dst.discard();
    video.discard();
    removeMadeFolders(o.windowsDir, windowsMade);
}

bool Run::configure() {
    std::string error;
    if (guarded([&] { module.config(id, &console); }, error)) return true;
    stop(exitModuleError, "frame " + std::to_string(frame) + ": " + error + " (in the configuration dialogue)");
    return false;
}

// The saved settings, then the dialogue's replies, then each --set: the later wins. A refused
// value is a usage error told in the module's words.
bool Run::applyNamedSettings() {
    std::string error;
    for (const auto& [name, value] : settingsIn.values) {
        bool ok = false;
        if (!guarded([&] { ok = applySettings(module, id, {{name, value}}, error); }, error) || !ok) {
            stop(exitUsage, "--settings '" + o.settingsFile + "': " + name + "=" + value + ": " + error);
            return false;
        }
    }
    if ((!o.configFile.empty() || !builtInReplies.empty()) && !configure()) return false;
    // --animals is the procedure's own count when it has one: the total over the arenas.
    if (!o.animals.empty()) {
        std::vector<SettingInfo> known;
        guarded([&] { known = readSettings(module, id); }, error);
        const std::string total = std::to_string(std::accumulate(o.animals.begin(), o.animals.end(), int64_t(0)));
        bool ok = true, used = false;
        for (const SettingInfo& s : known)
            if (s.name == "animals") {
                used = true;
                if (!guarded([&] { ok = applySettings(module, id, {{s.name, total}}, error); }, error) || !ok) {
                    stop(exitUsage, "--animals " + total + ": " + error);
                    return false;
                }
            }
        ambrevo::LinkSettings link;
        if (!used && !(parseLinkOption(o.link, link, error) && link.global)) {
            stop(exitUsage, "--animals: nothing would use the count (the procedure '" + o.procedure +
                                "' has no animals setting, and --link is not ...,global)");
            return false;
        }
    }
    for (const auto& [name, value] : o.sets) {
        bool ok = false;
        if (!guarded([&] { ok = applySettings(module, id, {{name, value}}, error); }, error) || !ok) {
            stop(exitUsage, "--set " + name + "=" + value + ": " + error);
            return false;
        }
    }
    return true;
}

// The version and every value in use, for the track file and --settings-out.
void Run::recordSettings() {
    std::string error;
    std::vector<SettingInfo> settings;
    if (!guarded([&] { settings = readSettings(module, id); }, error)) return;
    record.settings.clear();
    for (const SettingInfo& s : settings) record.settings.emplace_back(s.name, formatSetting(s.type, s.value));
    const char* version = nullptr;
    if (module.version && guarded([&] { version = module.version(); }, error) && version)
        record.moduleVersion = version;
    if (!settingsOut.active()) return;
    std::ofstream out(settingsOut.path(), std::ios::binary | std::ios::trunc);
    out << settingsJson(record.moduleVersion, o.procedure, settings);
    out.close();
    if (out.fail()) stop(exitOutput, settingsOut.failure());
}

// A run that found nothing says why it may have, rather than leave a file of no rows.
void Run::tellNothingFound() {
    if (regionLimit.calls() > 0) {
        auto hold = holdStderr();
        endProgressLine();
        std::cerr << "ambrevo: no objects were found on any of the " << done << " frames (" << record.width << "x"
                  << record.height << "): the flow tracker follows at most 128 regions in a frame and found more on "
                  << regionLimit.calls() << " of them (\"Prevelik broj podrucja: 128\"), so it reported none. "
                  << "For many animals use --procedure crowd (with --animals N), or --roi to leave out what is not "
                  << "the arena" << std::endl;
        return;
    }
    std::string threshold = "the procedure has no BinThreshold";
    for (const auto& [name, value] : record.settings)
        if (name == "BinThreshold")
            threshold = "BinThreshold is " + value + " (pixels at or below it count as dark objects)";
    auto hold = holdStderr();
    endProgressLine();
    std::cerr << "ambrevo: no objects were found on any of the " << done << " frames (" << record.width << "x"
              << record.height << "); " << threshold << ". Try --set BinThreshold=N with a higher N for "
              << "objects that are not so dark, --procedure ccTrack for outlined objects on any background, "
              << "or --roi to leave out what is not the arena" << std::endl;
}

bool Run::handleKey(int key) {
    switch (key & 0xff) {
        case ' ':
            paused = !paused;
            break;
        case 'c':
            console.useTerminal(true);
            if (!configure()) return false;
            break;
        case 'p':
            profiler.print(std::cout);
            std::cout.flush();
            break;
        case 'q':
        case 27:
            quit = true;
            if (reason.empty()) reason = "stopped from the window";
            break;
        default:
            break;
    }
    return true;
}

int Run::finish(double seconds) {
    std::string error;
    if (id >= 0) recordSettings();
    if (id >= 0 && !guarded([&] { module.destroy(id); }, error))
        stop(exitModuleError, "destroying the instance: " + error);
    id = -1;
    if (const int signal = stopSignal) {
        const char* name = signal == SIGINT ? "SIGINT" : "SIGTERM";
        stop(signal == SIGINT ? exitInterrupted : exitTerminated,
             std::string("stopped by ") + name + " after " + std::to_string(done) + " frames" +
                 (done > 0 ? "; the outputs hold them" : "; nothing was written"));
    }

    record.framesRead = done;
    record.expected = expected;
    record.complete = reason.empty();
    record.reason = reason;
    if (done > 0) {
        // Each output is renamed into place on its own: a failing one does not take the
        // others with it.
        if (!video.finish(error)) stop(exitOutput, error);
        if (!arena.writeKept(tracks, error)) stop(exitOutput, error);
        if (!tracks.finish(record, error)) stop(exitOutput, error);
        if (settingsOut.active() && !settingsOut.commit(error)) stop(exitOutput, error);
        if (!arena.finish(error)) stop(exitOutput, error);
        // The trackers; the other procedures (edges, pass-through) report no objects at all.
        const bool tracker = o.procedure == "flowtrack" || o.procedure == "ccTrack";
        if (wantObjects && tracker && arena.objectsSeen() == 0) {
            tellNothingFound();
        } else if (regionLimit.calls() > 0) {
            auto hold = holdStderr();
            std::cerr << "ambrevo: on " << regionLimit.calls() << " of the " << done << " frames the flow tracker "
                      << "found more than the 128 regions it follows and reported none; for many animals use "
                      << "--procedure crowd" << std::endl;
        }
        if (consoleLog.active() && (!console.closeLog() || !consoleLog.commit(error))) {
            consoleLog.discard();
            stop(exitOutput, "cannot write --console-log file '" + o.consoleLog + "'");
        }
    } else {
        // Nothing processed: nothing is left behind, and the files there before stay as they were.
        discardOutputs();
    }
    if (o.show) cv::destroyAllWindows();
    if (status == exitUsage) return status;  // a refused setting: nothing ran

    const double fps = seconds > 0 ? double(done) / seconds : 0.0;
    if (o.profile) profiler.print(std::cout);
    char line[256];
    std::snprintf(line, sizeof line, "ambrevo: %lld frames of %s with %s in %.2f s, %.1f fps\n",
                  static_cast<long long>(done), o.input.c_str(), o.procedure.c_str(), seconds, fps);
    std::cout << line;
    if (source && source->demo() && wantObjects) {
        std::snprintf(line, sizeof line, "demo: every object tracked on %lld of %lld frames\n",
                      static_cast<long long>(score.trackedFrames()), static_cast<long long>(score.frames()));
        std::cout << line;
        if (score.samples() > 0)
            std::snprintf(line, sizeof line, "demo: mean error %.2f px, max error %.2f px, %lld frames, %.1f fps\n",
                          score.meanError(), score.maxError(), static_cast<long long>(done), fps);
        else
            std::snprintf(line, sizeof line,
                          "demo: nothing was tracked, so there is no error to report; %lld frames, %.1f fps\n",
                          static_cast<long long>(done), fps);
        std::cout << line;
    }
    std::cout.flush();
    return status;
}

// The frame as the image record the module reads: top-down rows (negative height).
ip_dibWords toDib(const cv::Mat& bgr, bool grey, cv::Mat& holder) {
    if (grey)
        cv::cvtColor(bgr, holder, cv::COLOR_BGR2GRAY);
    else
        holder = bgr;
    return {int32_t(holder.elemSize()), int32_t(holder.step[0]), holder.cols, -holder.rows, holder.data};
}

// The frame loop, from the instance's creation to the last frame; `bgr` holds the first
// frame. Every way out leaves `status` and `reason` saying why.
void Run::processFrames(cv::Mat& bgr) {
    std::string error;
    cv::Mat holder;
    arena.prepare(frame, bgr);
    ip_dibWords image = toDib(bgr, o.grey, holder);
    // The instance is made for the first frame's format; later frames in another format
    // are reformatted by the module itself.
    const ip_fmtWords format{image.szPixel, image.szRow, image.width, image.height};
    const ip_hostCallbacks* callbacks = WindowManager::instance().callbacks();
    bool created = guarded(
        [&] {
            id = o.procedure == "flowtrack" ? module.create(ip_asFmt(&format), callbacks)
                                            : module.createByName(o.procedure.c_str(), ip_asFmt(&format), callbacks);
        },
        error);
    if (!created)
        return stop(exitModuleError, "frame " + std::to_string(frame) + ": creating '" + o.procedure + "': " + error);
    if (!applyNamedSettings()) return;

    if (o.show) {
        cv::namedWindow(showWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::setMouseCallback(showWindow, onMouse);
    }
    const double fps = source->fps();
    Progress progress(!o.quiet && isatty(STDERR_FILENO), expected);
    activeProgress = &progress;
    struct ProgressEnd {
        Progress& p;
        ~ProgressEnd() {
            p.finish();
            activeProgress = nullptr;
        }
    } progressEnd{progress};
    const Clock::duration frameInterval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    Clock::time_point nextShow = Clock::now();
    std::vector<ip_objectRecord> objects, rows;
    std::vector<std::vector<std::string>> cells;
    const std::string at = "frame ";

    // The debugging and analysis outputs that look at every stage at once (the window, the
    // procedure's windows, the profile, the background pictures) keep the frames in turn.
    const bool overlap = o.threads != 1 && !o.show && o.windowsDir.empty() && !o.profile && o.plotFile.empty() &&
                         o.heatmapFile.empty();
    if (overlap && pipelined(bgr, image, fps, progress)) return;

    while (!quit && !stopSignal) {
        if (o.frames >= 0 && done >= o.frames) break;
        if (o.end >= 0 && frame >= o.end) break;
        if (done > 0) {
            stage = reading;
            FrameSource::Result got = source->read(bgr, error);
            times.captured();
            if (got == FrameSource::end) {
                const int64_t announced = source->total(), wanted = o.end >= 0 ? std::min(announced, o.end) : announced;
                if (announced >= 0 && frame < wanted)
                    stop(exitInput, "input '" + o.input + "' ended after " + std::to_string(frame) + " of the " +
                                        std::to_string(announced) + " frames its container announced");
                break;
            }
            if (got == FrameSource::failed) return stop(exitInput, at + std::to_string(frame) + ": " + error);
            if (!fitsLimits(bgr.size(), o.maxPixels, error))
                return stop(exitInput, at + std::to_string(frame) + ": " + error);
            stage = elsewhere;
            arena.prepare(frame, bgr);
            image = toDib(bgr, o.grey, holder);
        }

        std::vector<cv::Point> clicks;
        for (const ClickOption& c : o.clicks)
            if (c.frame == frame) clicks.emplace_back(c.x, c.y);
        clicks.insert(clicks.end(), pendingClicks.begin(), pendingClicks.end());
        pendingClicks.clear();
        events.reset(clicks);

        const Clock::time_point before = Clock::now();
        if (!guarded([&] {
                StderrWatch::Scope tap(regionLimit);
                module.process(id, ip_asDib(&image), &events, &overlay);
            }, error))
            return stop(exitModuleError, at + std::to_string(frame) + ": " + error);
        profiler.frameTime(1000.0 * secondsSince(before));

        const dib_base* result = nullptr;
        if (!guarded([&] { result = module.dstDib(id); }, error))
            return stop(exitModuleError, at + std::to_string(frame) + ": " + error);
        if (wantProfile && !guarded([&] { module.profile(id, &profiler); }, error))
            return stop(exitModuleError, at + std::to_string(frame) + ": " + error);
        if (wantObjects) {
            if (!readObjects(module, id, objects, error))
                return stop(exitModuleError, at + std::to_string(frame) + ": " + error);
            arena.rows(frame, source->time(), objects, rows, cells);
            times.addCells(cells);
            stage = writing;
            if (arena.defers())
                arena.keep(frame, rows, cells);
            else if (!tracks.frame(frame, rows, &cells))
                return stop(exitOutput, "cannot write --tracks file '" + o.tracksFile + "'");
            stage = elsewhere;
            if (source->demo()) score.frame(DemoScene::discs(frame), objects);
        }

        const ip_dibWords* produced = result ? ip_dibWordsOf(result) : nullptr;
        stage = writing;
        if (!o.dstDir.empty() && !dst.write(frame, dibToExact(produced), error)) return stop(exitOutput, error);
        stage = elsewhere;

        int ackRadius = 0, ackMs = 0;
        if (overlay.takeAcknowledge(ackRadius, ackMs)) {
            flashRadius = ackRadius;
            flashAt = clicks;
            flashFrames = std::max<int64_t>(1, int64_t(std::ceil(std::max(0, ackMs) * fps / 1000.0)));
        }
        if (!o.videoOut.empty() || o.show) {
            cv::Mat annotated = dibToBgr(produced);
            if (annotated.empty()) annotated = bgr.clone();
            renderCommands(annotated, overlay.commands());
            arena.draw(annotated);
            if (flashFrames > 0) {
                renderFlash(annotated, flashAt, flashRadius);
                --flashFrames;
            }
            stage = writing;
            if (!o.videoOut.empty() && !video.write(annotated, fps, error)) return stop(exitOutput, error);
            stage = elsewhere;
            if (o.show) cv::imshow(showWindow, annotated);
        }
        stage = writing;
        if (!WindowManager::instance().endFrame(frame, error)) return stop(exitOutput, error);
        stage = elsewhere;
        ++frame;
        ++done;
        progress.update(done);

        if (o.show) {
            // Played at the input's pace; keys and clicks are taken while waiting.
            nextShow += frameInterval;
            bool ok = true;
            do {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextShow - Clock::now()).count();
                int key = cv::waitKey(int(std::max<int64_t>(1, std::min<int64_t>(wait, 50))));
                if (key >= 0) ok = handleKey(key);
                bool visible = true;
                try {
                    visible = cv::getWindowProperty(showWindow, cv::WND_PROP_VISIBLE) > 0;
                } catch (const cv::Exception&) {
                }
                if (!visible) {
                    quit = true;
                    if (reason.empty()) reason = "stopped from the window";
                }
            } while (ok && !quit && !stopSignal && (paused || Clock::now() < nextShow));
            if (!ok) return;
            if (Clock::now() > nextShow + frameInterval) nextShow = Clock::now();
        }
    }
}

namespace {

// One frame on its way from the decoder through the module to the outputs, with everything
// the later stages need of the earlier ones: nothing of the module's own memory is kept.
struct FrameJob {
    int64_t frame = 0;
    cv::Mat bgr, holder;
    ip_dibWords image{};
    double time = -1;  // the input's time of the frame
    FrameTimes times;
    // From the module.
    bool processed = false;
    std::vector<ip_objectRecord> objects;
    double ready = 0;  // when the objects were ready
    cv::Mat exact;     // the destination image's pixels
    std::vector<DrawCommand> commands;
    bool flash = false;
    int flashRadius = 0;
    std::vector<cv::Point> flashAt;
    // The failure that ends the run at this frame, told once the frames before it are written;
    // `last` alone is the input's end.
    bool last = false;
    int status = exitOk;
    std::string failure;
};

// Frames queued between two stages: enough to ride out one slow frame, few enough to keep the
// memory of a run small.
constexpr size_t queuedFrames = 4;

int stageStatus(Run::Stage stage) {
    return stage == Run::reading ? exitInput : stage == Run::writing ? exitOutput : exitLibrary;
}

}  // namespace

// The frame loop as three stages on threads of their own: the decoder reads ahead, this
// thread calls the module (every call, in frame order, as the serial loop does), and a writer
// draws and encodes. Failures travel with their frame and are told by the writer in frame
// order, after the outputs of the frames before, so that a run ends with the same message,
// status and outputs as the serial loop. False when the threads could not be started; nothing
// was consumed then.
bool Run::pipelined(cv::Mat& bgr, const ip_dibWords& firstImage, double fps, Progress& progress) {
    BoundedQueue<FrameJob> decoded(queuedFrames), processed(queuedFrames);
    const bool demo = source->demo() != nullptr;

    auto writer = [&] {
        std::vector<ip_objectRecord> rows;
        std::vector<std::vector<std::string>> cells;
        std::string error;
        FrameJob job;
        while (processed.pop(job)) {
            Stage at = elsewhere;
            try {
                if (job.processed) {
                    const std::string frameText = "frame " + std::to_string(job.frame) + ": ";
                    if (wantObjects) {
                        arena.rows(job.frame, job.time, job.objects, rows, cells);
                        job.times.addCells(cells, job.ready);
                        at = writing;
                        if (arena.defers()) {
                            arena.keep(job.frame, rows, cells);
                        } else if (!tracks.frame(job.frame, rows, &cells)) {
                            stop(exitOutput, "cannot write --tracks file '" + o.tracksFile + "'");
                            break;
                        }
                        at = elsewhere;
                        if (demo) score.frame(DemoScene::discs(job.frame), job.objects);
                    }
                    at = writing;
                    if (!o.dstDir.empty() && !dst.write(job.frame, job.exact, error)) {
                        stop(exitOutput, error);
                        break;
                    }
                    at = elsewhere;
                    if (!o.videoOut.empty()) {
                        cv::Mat annotated = exactToBgr(job.exact);
                        if (annotated.empty()) annotated = job.bgr.clone();
                        renderCommands(annotated, job.commands);
                        arena.draw(annotated);
                        if (job.flash) renderFlash(annotated, job.flashAt, job.flashRadius);
                        at = writing;
                        if (!video.write(annotated, fps, error)) {
                            stop(exitOutput, error);
                            break;
                        }
                        at = elsewhere;
                    }
                    ++done;
                    progress.update(done);
                }
                if (job.status != exitOk) {
                    stop(job.status, job.failure);
                    break;
                }
            } catch (...) {
                stop(stageStatus(at), "frame " + std::to_string(job.frame) + ": " +
                                          describeFailure(std::current_exception()));
                break;
            }
        }
        // Upstream stops at its next frame.
        processed.cancel();
    };

    auto decoder = [&] {
        int64_t next = frame + 1, handed = 1;
        std::string error;
        while (!stopSignal) {
            if (o.frames >= 0 && handed >= o.frames) break;
            if (o.end >= 0 && next >= o.end) break;
            FrameJob job;
            job.frame = next;
            Stage at = reading;
            try {
                FrameSource::Result got = source->read(job.bgr, error);
                job.times = times;
                job.times.captured();
                if (got == FrameSource::end) {
                    const int64_t announced = source->total(),
                                  wanted = o.end >= 0 ? std::min(announced, o.end) : announced;
                    job.last = true;
                    if (announced >= 0 && next < wanted) {
                        job.status = exitInput;
                        job.failure = "input '" + o.input + "' ended after " + std::to_string(next) + " of the " +
                                      std::to_string(announced) + " frames its container announced";
                    }
                } else if (got == FrameSource::failed) {
                    job.last = true;
                    job.status = exitInput;
                    job.failure = "frame " + std::to_string(next) + ": " + error;
                } else if (!fitsLimits(job.bgr.size(), o.maxPixels, error)) {
                    job.last = true;
                    job.status = exitInput;
                    job.failure = "frame " + std::to_string(next) + ": " + error;
                } else {
                    at = elsewhere;
                    job.time = source->time();
                    arena.prepare(next, job.bgr);
                    job.image = toDib(job.bgr, o.grey, job.holder);
                }
            } catch (...) {
                job.last = true;
                job.status = stageStatus(at);
                job.failure = "frame " + std::to_string(next) + ": " + describeFailure(std::current_exception());
            }
            const bool last = job.last;
            if (!decoded.push(std::move(job)) || last) break;
            ++next;
            ++handed;
        }
        decoded.close();
    };

    // Taken before the decoder moves the source on.
    FrameJob job;
    job.frame = frame;
    job.bgr = bgr;
    job.image = firstImage;
    job.time = source->time();
    job.times = times;

    std::thread writerThread, decoderThread;
    try {
        writerThread = std::thread(writer);
    } catch (const std::system_error&) {
        return false;
    }
    try {
        decoderThread = std::thread(decoder);
    } catch (const std::system_error&) {
        processed.close();
        writerThread.join();
        return false;
    }

    std::string error;
    for (;;) {
        if (!job.last) {
            if (stopSignal) break;
            const std::string at = "frame " + std::to_string(job.frame) + ": ";
            auto failed = [&](int status, const std::string& text) {
                job.last = true;
                job.status = status;
                job.failure = at + text;
            };
            Stage stageNow = elsewhere;
            try {
                std::vector<cv::Point> clicks;
                for (const ClickOption& c : o.clicks)
                    if (c.frame == job.frame) clicks.emplace_back(c.x, c.y);
                events.reset(clicks);
                const Clock::time_point before = Clock::now();
                const dib_base* result = nullptr;
                if (!guarded([&] {
                                 StderrWatch::Scope tap(regionLimit);
                                 module.process(id, ip_asDib(&job.image), &events, &overlay);
                             }, error)) {
                    failed(exitModuleError, error);
                } else {
                    profiler.frameTime(1000.0 * secondsSince(before));
                    if (!guarded([&] { result = module.dstDib(id); }, error)) failed(exitModuleError, error);
                }
                if (!job.last && wantObjects) {
                    if (!readObjects(module, id, job.objects, error)) failed(exitModuleError, error);
                    job.ready = wallSeconds();
                }
                if (!job.last) {
                    const ip_dibWords* produced = result ? ip_dibWordsOf(result) : nullptr;
                    stageNow = o.dstDir.empty() ? elsewhere : writing;
                    if (!o.dstDir.empty() || !o.videoOut.empty()) job.exact = dibToExact(produced);
                    stageNow = elsewhere;
                    int ackRadius = 0, ackMs = 0;
                    if (overlay.takeAcknowledge(ackRadius, ackMs)) {
                        flashRadius = ackRadius;
                        flashAt = clicks;
                        flashFrames = std::max<int64_t>(1, int64_t(std::ceil(std::max(0, ackMs) * fps / 1000.0)));
                    }
                    if (!o.videoOut.empty()) {
                        job.commands = overlay.commands();
                        if (flashFrames > 0) {
                            job.flash = true;
                            job.flashAt = flashAt;
                            job.flashRadius = flashRadius;
                            --flashFrames;
                        }
                    }
                    job.processed = true;
                }
            } catch (...) {
                job.processed = false;
                failed(stageStatus(stageNow), describeFailure(std::current_exception()));
            }
        }
        const bool last = job.last;
        if (!processed.push(std::move(job)) || last) break;
        job = FrameJob{};
        if (!decoded.pop(job)) break;
    }
    decoded.cancel();
    decoderThread.join();
    processed.close();
    writerThread.join();
    return true;
}

// Runs one input through the procedure to its outputs and returns the exit status. Inputs
// are checked first, then every output is made under its temporary name, then frames go.
int runInput(Run& r) {
    const Options& o = r.o;
    std::string error;
    if (!o.configFile.empty() && !r.console.loadScript(o.configFile, error)) return fail(exitInput, error);
    if (!r.builtInReplies.empty()) r.console.setReplies(r.builtInReplies);
    r.stage = Run::reading;
    r.source = openSource(o.input, error);
    if (!r.source) return fail(exitInput, error);
    // Refused before anything is decoded when the container tells the size.
    if (!fitsLimits(r.source->announcedSize(), o.maxPixels, error))
        return fail(exitInput, "input '" + o.input + "': " + error);
    cv::Mat bgr;
    FrameSource::Result got = o.start > 0 ? r.source->skip(o.start, error) : FrameSource::frame;
    if (got == FrameSource::frame) got = r.source->read(bgr, error);
    r.times.captured();
    r.times.enable(isLiveInput(o.input));
    r.frame = o.start;
    switch (got) {
        case FrameSource::frame:
            break;
        case FrameSource::end:
            return fail(exitInput, "input '" + o.input + "' holds no frames" +
                                       (o.start > 0 ? " from --start " + std::to_string(o.start) : std::string()));
        case FrameSource::failed:
            return fail(exitInput, error);
    }
    if (!fitsLimits(bgr.size(), o.maxPixels, error))
        return fail(exitInput, "frame " + std::to_string(r.frame) + ": " + error);
    r.stage = Run::elsewhere;

    // The frames the run is to process, as far as anything tells.
    const int64_t total = r.source->total();
    int64_t expected = total >= 0 ? std::max<int64_t>(0, total - o.start) : -1;
    for (int64_t limit : {o.end >= 0 ? o.end - o.start : int64_t(-1), o.frames})
        if (limit >= 0) expected = expected < 0 ? limit : std::min(expected, limit);
    r.expected = expected;
    r.record = RunRecord{};
    r.record.source = o.input;
    r.record.procedure = o.procedure;
    r.record.width = bgr.cols;
    r.record.height = bgr.rows;
    r.record.grey = o.grey;
    r.record.start = o.start;
    r.record.announced = total;
    if (!r.arena.open(o, bgr.size(), r.source->fps(), r.source->time() >= 0, expected, error))
        return fail(exitUsage, error);
    r.arena.describe(r.record);

    if (!r.openOutputs(error)) return fail(exitOutput, error);
    WindowManager::instance().configure(o.windowsDir, o.show);
    const Clock::time_point start = Clock::now();
    try {
        r.processFrames(bgr);
    } catch (...) {
        const int status = r.stage == Run::reading ? exitInput : r.stage == Run::writing ? exitOutput : exitLibrary;
        r.stop(status, "frame " + std::to_string(r.frame) + ": " + describeFailure(std::current_exception()));
    }
    return r.finish(secondsSince(start));
}

// --params: the table of an instance made for a frame of the built-in scene's size, after
// --settings, --config and --set; no input is read.
int printParams(Run& r) {
    const Options& o = r.o;
    std::string error;
    if (!o.configFile.empty() && !r.console.loadScript(o.configFile, error)) return fail(exitInput, error);
    const ip_fmtWords format{o.grey ? 1 : 3, (o.grey ? 1 : 3) * 640, 640, -480};
    bool made = guarded(
        [&] {
            const ip_hostCallbacks* callbacks = WindowManager::instance().callbacks();
            r.id = o.procedure == "flowtrack"
                       ? r.module.create(ip_asFmt(&format), callbacks)
                       : r.module.createByName(o.procedure.c_str(), ip_asFmt(&format), callbacks);
        },
        error);
    if (!made) return fail(exitModuleError, "creating '" + o.procedure + "': " + error);
    std::vector<SettingInfo> settings;
    if (r.applyNamedSettings() && guarded([&] { settings = readSettings(r.module, r.id); }, error))
        std::cout << settingsTable(settings) << std::flush;
    guarded([&] { r.module.destroy(r.id); }, error);
    r.id = -1;
    return r.status;
}

// Options, the module and the procedure's name; then the one input.
int hostMain(int argc, char** argv) {
    auto runPtr = std::make_unique<Run>();
    Run& r = *runPtr;
    Options& o = r.o;
    std::string error;
    if (argc > 1 && std::string(argv[1]) == "score") return ambrevo::score_main(argc - 1, argv + 1, std::cout, std::cerr);
    if (!parseOptions(argc, argv, o, error)) return fail(exitUsage, error);
    quietLibraries(o.verbose);
    if (o.help) {
        std::cout << usageText();
        return exitOk;
    }

    if (o.show) {
        // Without a display the toolkit would abort the process rather than report.
        const char* x = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((!x || !*x) && (!wayland || !*wayland))
            return fail(exitOutput, "--show needs a display (DISPLAY is not set)");
    }

    const std::string modulePath = o.modulePath.empty() ? defaultModulePath() : o.modulePath;
    if (!r.module.load(modulePath, error)) return fail(exitModuleLoad, error);

    if (o.list) {
        if (!r.module.requireProcedureName(error)) return fail(exitModuleLoad, error);
        for (int i = 0;; ++i) {
            const char* name = nullptr;
            if (!guarded([&] { name = r.module.procedureName(i); }, error)) return fail(exitModuleError, error);
            if (!name) break;
            std::cout << name << '\n';
        }
        return exitOk;
    }

    if (!o.settingsFile.empty()) {
        if (!readSettingsFile(o.settingsFile, r.settingsIn, error)) return fail(exitInput, error);
        if (!o.procedureGiven)
            o.procedure = r.settingsIn.procedure;
        else if (o.procedure != r.settingsIn.procedure)
            return fail(exitUsage, "--procedure " + o.procedure + " but the --settings file '" + o.settingsFile +
                                       "' is for " + r.settingsIn.procedure);
    }

    // A name the registry does not hold is a usage error, told before anything opens.
    if (r.module.procedureName) {
        std::string names;
        bool known = false;
        for (int i = 0;; ++i) {
            const char* name = nullptr;
            if (!guarded([&] { name = r.module.procedureName(i); }, error)) return fail(exitModuleError, error);
            if (!name) break;
            known = known || o.procedure == name;
            names += std::string(names.empty() ? "" : ", ") + name;
        }
        if (!known) return fail(exitUsage, "unknown procedure '" + o.procedure + "' (registered: " + names + ")");
    }
    if (o.procedure != "flowtrack" && !r.module.requireCreateByName(error)) return fail(exitModuleLoad, error);
    if ((o.params || !o.sets.empty() || !o.settingsFile.empty() || !o.settingsOut.empty()) &&
        !r.module.requireSettings(error))
        return fail(exitModuleLoad, error);
    if (o.params) return printParams(r);

    if (isBatch(o)) return runBatch(o, argc, argv, stopSignal);

    // The built-in scene: tracked by the flow tracker in mode 2 with three objects, the
    // results written to the current folder, unless the command line says otherwise.
    if (o.input == "demo") {
        if (o.videoOut.empty()) o.videoOut = "ambrevo-demo.mp4";
        if (o.tracksFile.empty()) o.tracksFile = "ambrevo-demo.csv";
        if (o.configFile.empty() && o.procedure == "flowtrack") r.builtInReplies = {"", "0 1 1 2 3"};
    }
    const bool perTrack = !o.summaryFile.empty() || !o.plotFile.empty() || !o.heatmapFile.empty();
    r.wantObjects = !o.tracksFile.empty() || o.input == "demo" || perTrack;
    if (r.wantObjects && o.procedure == "flowtrack") r.regionLimit.start();
    r.wantProfile = o.profile || o.show;
    if ((!o.tracksFile.empty() || perTrack) && !r.module.requireObjects(error)) return fail(exitModuleLoad, error);
    if (!r.module.objects) r.wantObjects = false;
    return runInput(r);
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
