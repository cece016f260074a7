// ambrevo: runs a procedure of the Ambrevo module over a video, an image sequence, a
// camera or the built-in scene, and writes the tracks, the destination images and the
// annotated video.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "console.h"
#include "demo_score.h"
#include "frame_source.h"
#include "module.h"
#include "options.h"
#include "outputs.h"
#include "overlay.h"
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
        double elapsed = secondsSince(start_);
        if (elapsed - last_ < 0.25 && done != total_) return;
        last_ = elapsed;
        double fps = elapsed > 0 ? double(done) / elapsed : 0.0;
        char line[128];
        if (total_ > 0) {
            double left = fps > 0 ? double(total_ - done) / fps : 0.0;
            std::snprintf(line, sizeof line, "\rframe %lld/%lld  %.1f fps  %.0f s left   ", static_cast<long long>(done),
                          static_cast<long long>(total_), fps, left);
        } else {
            std::snprintf(line, sizeof line, "\rframe %lld  %.1f fps   ", static_cast<long long>(done), fps);
        }
        std::cerr << line << std::flush;
        shown_ = true;
    }
    void finish() {
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

// Everything one run owns; finish() leaves every output a valid file.
struct Run {
    Options o;
    Module module;
    HostConsole console;
    HostProfiler profiler;
    HostOverlay overlay;
    HostEventList events;
    TracksWriter tracks;
    DstWriter dst;
    VideoOut video;
    std::unique_ptr<FrameSource> source;
    DemoScore score;
    int id = -1;
    bool wantObjects = false;
    bool wantProfile = false;
    int64_t flashFrames = 0;
    int flashRadius = 0;
    std::vector<cv::Point> flashAt;
    bool quit = false;
    bool paused = false;
    int status = exitOk;

    int finish(int64_t frames, double seconds);
    bool configure(int64_t frame);
    bool handleKey(int key, int64_t frame);
};

bool Run::configure(int64_t frame) {
    std::string error;
    if (guarded([&] { module.config(id, &console); }, error)) return true;
    status = fail(exitModuleError, "frame " + std::to_string(frame) + ": " + error + " (in the configuration dialogue)");
    return false;
}

bool Run::handleKey(int key, int64_t frame) {
    switch (key & 0xff) {
        case ' ':
            paused = !paused;
            break;
        case 'c':
            console.useTerminal(true);
            if (!configure(frame)) return false;
            break;
        case 'p':
            profiler.print(std::cout);
            std::cout.flush();
            break;
        case 'q':
        case 27:
            quit = true;
            break;
        default:
            break;
    }
    return true;
}

int Run::finish(int64_t frames, double seconds) {
    std::string error;
    video.finish();
    if (!tracks.finish(error) && status == exitOk) status = fail(exitOutput, error);
    if (id >= 0 && !guarded([&] { module.destroy(id); }, error) && status == exitOk)
        status = fail(exitModuleError, "destroying the instance: " + error);
    id = -1;
    if (console.logFailed() && status == exitOk) status = fail(exitOutput, "cannot write --console-log file '" + o.consoleLog + "'");
    if (o.show) cv::destroyAllWindows();

    const double fps = seconds > 0 ? double(frames) / seconds : 0.0;
    if (o.profile) profiler.print(std::cout);
    char line[256];
    std::snprintf(line, sizeof line, "ambrevo: %lld frames of %s with %s in %.2f s\n", static_cast<long long>(frames),
                  o.input.c_str(), o.procedure.c_str(), seconds);
    std::cout << line;
    if (source && source->demo() && wantObjects) {
        std::snprintf(line, sizeof line, "demo: every object tracked on %lld of %lld frames\n",
                      static_cast<long long>(score.trackedFrames()), static_cast<long long>(score.frames()));
        std::cout << line;
        std::snprintf(line, sizeof line, "demo: mean error %.2f px, max error %.2f px, %lld frames, %.1f fps\n",
                      score.meanError(), score.maxError(), static_cast<long long>(frames), fps);
        std::cout << line;
    }
    std::cout.flush();
    return status;
}

// The frame as the image record the module reads: top-down rows (negative height).
ip_dibWords toDib(const cv::Mat& bgr, bool grey, cv::Mat& holder) {
    if (grey) cv::cvtColor(bgr, holder, cv::COLOR_BGR2GRAY);
    else holder = bgr;
    return {int32_t(holder.elemSize()), int32_t(holder.step[0]), holder.cols, -holder.rows, holder.data};
}

}  // namespace

int main(int argc, char** argv) {
    // A bad input gets one clear line from the host, not the decoder's own chatter
    // (a user's explicit setting of these variables wins).
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    setenv("OPENCV_LOG_LEVEL", "ERROR", 0);
    auto runPtr = std::make_unique<Run>();
    Run& r = *runPtr;
    Options& o = r.o;
    std::string error;
    if (!parseOptions(argc, argv, o, error)) return fail(exitUsage, error);
    if (o.help) {
        std::cout << usageText();
        return exitOk;
    }

    if (o.show) {
        // Without a display the toolkit would abort the process rather than report.
        const char* x = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((!x || !*x) && (!wayland || !*wayland)) return fail(exitOutput, "--show needs a display (DISPLAY is not set)");
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

    // The built-in scene: tracked by the flow tracker in mode 2 with three objects, the
    // results written to the current folder, unless the command line says otherwise.
    const bool demo = o.input == "demo";
    std::vector<std::string> builtInReplies;
    if (demo) {
        if (o.videoOut.empty()) o.videoOut = "ambrevo-demo.mp4";
        if (o.tracksFile.empty()) o.tracksFile = "ambrevo-demo.csv";
        if (o.configFile.empty() && o.procedure == "flowtrack") builtInReplies = {"", "0 1 1 2 3"};
    }
    r.wantObjects = !o.tracksFile.empty() || demo;
    r.wantProfile = o.profile || o.show;
    if (!o.tracksFile.empty() && !r.module.requireObjects(error)) return fail(exitModuleLoad, error);
    if (!r.module.objects) r.wantObjects = false;

    // Inputs first, then outputs: a bad input leaves no half-written files behind.
    if (!o.configFile.empty() && !r.console.loadScript(o.configFile, error)) return fail(exitInput, error);
    if (!builtInReplies.empty()) r.console.setReplies(builtInReplies);
    r.source = openSource(o.input, error);
    if (!r.source) return fail(exitInput, error);
    cv::Mat bgr;
    switch (r.source->read(bgr, error)) {
        case FrameSource::frame: break;
        case FrameSource::end: return fail(exitInput, "input '" + o.input + "' holds no frames");
        case FrameSource::failed: return fail(exitInput, error);
    }
    if (bgr.cols > maxSide || bgr.rows > maxSide)
        return fail(exitInput, "frame 0: frames larger than 32767 pixels are not supported");

    if (!o.consoleLog.empty() && !r.console.openLog(o.consoleLog, error)) return fail(exitOutput, error);
    if (!o.tracksFile.empty() && !r.tracks.open(o.tracksFile, o.procedure, error)) return fail(exitOutput, error);
    if (!o.dstDir.empty() && !r.dst.open(o.dstDir, error)) return fail(exitOutput, error);
    if (!o.videoOut.empty() && !r.video.probe(o.videoOut, error)) return fail(exitOutput, error);
    if (!o.windowsDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o.windowsDir, ec);
        if (!std::filesystem::is_directory(o.windowsDir, ec))
            return fail(exitOutput, "cannot create --windows folder '" + o.windowsDir + "'");
    }
    WindowManager::instance().configure(o.windowsDir, o.show);

    const double fps = r.source->fps();
    int64_t total = r.source->total();
    if (o.frames >= 0 && (total < 0 || o.frames < total)) total = o.frames;
    Progress progress(!o.quiet && isatty(STDERR_FILENO), total);
    activeProgress = &progress;
    const Clock::time_point start = Clock::now();
    int64_t frame = 0;

    if (o.show) {
        cv::namedWindow(showWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::setMouseCallback(showWindow, onMouse);
    }

    // The instance is made for the first frame's format; later frames in another format
    // are reformatted by the module itself.
    cv::Mat holder;
    ip_dibWords image = toDib(bgr, o.grey, holder);
    const ip_fmtWords format{image.szPixel, image.szRow, image.width, image.height};
    const ip_hostCallbacks* callbacks = WindowManager::instance().callbacks();
    bool created = guarded(
        [&] {
            r.id = o.procedure == "flowtrack" ? r.module.create(ip_asFmt(&format), callbacks)
                                              : r.module.createByName(o.procedure.c_str(), ip_asFmt(&format), callbacks);
        },
        error);
    if (!created) {
        r.status = fail(exitModuleError, "frame 0: creating '" + o.procedure + "': " + error);
        return r.finish(0, 0);
    }

    if ((!o.configFile.empty() || !builtInReplies.empty()) && !r.configure(0)) return r.finish(0, secondsSince(start));

    const Clock::duration frameInterval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    Clock::time_point nextShow = Clock::now();
    std::vector<ip_objectRecord> objects;

    while (!r.quit) {
        if (o.frames >= 0 && frame >= o.frames) break;
        if (frame > 0) {
            FrameSource::Result got = r.source->read(bgr, error);
            if (got == FrameSource::end) break;
            if (got == FrameSource::failed) {
                r.status = fail(exitInput, "frame " + std::to_string(frame) + ": " + error);
                break;
            }
            image = toDib(bgr, o.grey, holder);
        }
        if (bgr.cols > maxSide || bgr.rows > maxSide) {
            r.status = fail(exitInput, "frame " + std::to_string(frame) + ": frames larger than 32767 pixels are not supported");
            break;
        }

        std::vector<cv::Point> clicks;
        for (const ClickOption& c : o.clicks)
            if (c.frame == frame) clicks.emplace_back(c.x, c.y);
        clicks.insert(clicks.end(), pendingClicks.begin(), pendingClicks.end());
        pendingClicks.clear();
        r.events.reset(clicks);

        const Clock::time_point before = Clock::now();
        if (!guarded([&] { r.module.process(r.id, ip_asDib(&image), &r.events, &r.overlay); }, error)) {
            r.status = fail(exitModuleError, "frame " + std::to_string(frame) + ": " + error);
            break;
        }
        r.profiler.frameTime(1000.0 * secondsSince(before));

        const dib_base* result = nullptr;
        if (!guarded([&] { result = r.module.dstDib(r.id); }, error)) {
            r.status = fail(exitModuleError, "frame " + std::to_string(frame) + ": " + error);
            break;
        }
        if (r.wantProfile && !guarded([&] { r.module.profile(r.id, &r.profiler); }, error)) {
            r.status = fail(exitModuleError, "frame " + std::to_string(frame) + ": " + error);
            break;
        }
        if (r.wantObjects) {
            int count = 0;
            bool ok = guarded(
                [&] {
                    objects.resize(16);
                    count = r.module.objects(r.id, objects.data(), int(objects.size()));
                    if (count > int(objects.size())) {
                        objects.resize(size_t(count));
                        count = std::min(count, r.module.objects(r.id, objects.data(), count));
                    }
                },
                error);
            if (!ok) {
                r.status = fail(exitModuleError, "frame " + std::to_string(frame) + ": " + error);
                break;
            }
            objects.resize(size_t(std::max(count, 0)));
            r.tracks.frame(frame, objects);
            if (r.source->demo()) r.score.frame(DemoScene::discs(frame), objects);
        }

        const ip_dibWords* produced = result ? ip_dibWordsOf(result) : nullptr;
        if (!o.dstDir.empty() && !r.dst.write(frame, dibToExact(produced), error)) {
            r.status = fail(exitOutput, error);
            break;
        }

        int ackRadius = 0, ackMs = 0;
        if (r.overlay.takeAcknowledge(ackRadius, ackMs)) {
            r.flashRadius = ackRadius;
            r.flashAt = clicks;
            r.flashFrames = std::max<int64_t>(1, int64_t(std::ceil(std::max(0, ackMs) * fps / 1000.0)));
        }
        if (!o.videoOut.empty() || o.show) {
            cv::Mat annotated = dibToBgr(produced);
            if (annotated.empty()) annotated = bgr.clone();
            renderCommands(annotated, r.overlay.commands());
            if (r.flashFrames > 0) {
                renderFlash(annotated, r.flashAt, r.flashRadius);
                --r.flashFrames;
            }
            if (!o.videoOut.empty() && !r.video.write(annotated, fps, error)) {
                r.status = fail(exitOutput, error);
                break;
            }
            if (o.show) cv::imshow(showWindow, annotated);
        }
        if (!WindowManager::instance().endFrame(frame, error)) {
            r.status = fail(exitOutput, error);
            break;
        }
        ++frame;
        progress.update(frame);

        if (o.show) {
            // Played at the input's pace; keys and clicks are taken while waiting.
            nextShow += frameInterval;
            bool ok = true;
            do {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextShow - Clock::now()).count();
                int key = cv::waitKey(int(std::max<int64_t>(1, std::min<int64_t>(wait, 50))));
                if (key >= 0) ok = r.handleKey(key, frame);
                bool visible = true;
                try {
                    visible = cv::getWindowProperty(showWindow, cv::WND_PROP_VISIBLE) > 0;
                } catch (const cv::Exception&) {
                }
                if (!visible) r.quit = true;
            } while (ok && !r.quit && (r.paused || Clock::now() < nextShow));
            if (!ok) break;
            if (Clock::now() > nextShow + frameInterval) nextShow = Clock::now();
        }
    }
    progress.finish();
    int status = r.finish(frame, secondsSince(start));
    activeProgress = nullptr;
    return status;
}
