#include "terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>

#include "ambrevo/pipeline/sources/frame_source.h"
#include "show_window.h"

std::atomic<int> stopSignal{0};
// A lock-free atomic may be stored from a signal handler.
static_assert(std::atomic<int>::is_always_lock_free);

namespace {

using Clock = std::chrono::steady_clock;

// The progress line in use, ended before any message so that the message has its own line.
void (*endProgressLine)() = nullptr;

void onStopSignal(int signal) { stopSignal = signal; }

std::recursive_mutex stderrMutex;

// Standard error sent to /dev/null while a decoder runs: libpng and GStreamer write their
// warnings there directly, past any log level. The program's own messages wait for the
// decoder (holdStderr).
class QuietStderr {
public:
    QuietStderr() : hold_(holdStderr()) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    std::unique_lock<std::recursive_mutex> hold_;
    int saved_ = -1;
};

}  // namespace

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

void quietLibraries(bool verbose) {
    // FFmpeg's level is read when the first video opens.
    setenv("OPENCV_FFMPEG_LOGLEVEL", verbose ? "24" : "-8", 0);
    showDecoderChatter(verbose);
    guardDecoders([] { return std::make_shared<QuietStderr>(); });
    // OpenCV reads its variable while loading, before main, so the level is also set
    // directly; the variable still reaches the plugins OpenCV loads later.
    if (!std::getenv("OPENCV_LOG_LEVEL")) {
        setenv("OPENCV_LOG_LEVEL", verbose ? "WARNING" : "SILENT", 1);
        cv::utils::logging::setLogLevel(verbose ? cv::utils::logging::LOG_LEVEL_WARNING
                                                : cv::utils::logging::LOG_LEVEL_SILENT);
    }
}

std::unique_lock<std::recursive_mutex> holdStderr() { return std::unique_lock<std::recursive_mutex>(stderrMutex); }

int fail(int status, const std::string& text) {
    auto hold = holdStderr();
    if (endProgressLine) endProgressLine();
    std::cout.flush();
    std::cerr << "ambrevo: " << text << std::endl;
    return status;
}

class TerminalObserver::Progress {
public:
    void update(int64_t done, int64_t total) {
        auto hold = holdStderr();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        if (elapsed - last_ < 0.25 && done != total) return;
        last_ = elapsed;
        const double fps = elapsed > 0 ? double(done) / elapsed : 0.0;
        char line[128];
        if (total > 0) {
            const double left = fps > 0 ? double(total - done) / fps : 0.0;
            std::snprintf(line, sizeof line, "\rframe %lld/%lld  %.1f fps  %.0f s left   ",
                          static_cast<long long>(done), static_cast<long long>(total), fps, left);
        } else {
            std::snprintf(line, sizeof line, "\rframe %lld  %.1f fps   ", static_cast<long long>(done), fps);
        }
        std::cerr << line << std::flush;
        shown = true;
    }
    static void end() {
        if (!active || !active->shown) return;
        std::cerr << '\n';
        active->shown = false;
    }
    static inline Progress* active = nullptr;
    bool shown = false;

private:
    Clock::time_point start_ = Clock::now();
    double last_ = -1;
};

TerminalObserver::TerminalObserver(bool progress, bool show) {
    if (progress) {
        progress_ = std::make_unique<Progress>();
        Progress::active = progress_.get();
        endProgressLine = &Progress::end;
    }
    if (show) show_ = std::make_unique<ShowWindow>();
}

TerminalObserver::~TerminalObserver() { finish(); }

void TerminalObserver::notice(const std::string& text) {
    auto hold = holdStderr();
    if (endProgressLine) endProgressLine();
    std::cerr << "ambrevo: " << text << std::endl;
}

void TerminalObserver::progress(int64_t done, int64_t expected) {
    if (progress_) progress_->update(done, expected);
}

void TerminalObserver::addClicks(int64_t, std::vector<cv::Point>& clicks) {
    if (show_) show_->takeClicks(clicks);
}

void TerminalObserver::afterFrame(const FrameResult& result, RunControl& control) {
    if (show_) show_->frame(result, control, stopSignal);
}

void TerminalObserver::moduleSaid(bool notice, const std::string& text) {
    auto hold = holdStderr();
    RunObserver::moduleSaid(notice, text);
}

Expected<std::ostream*> TerminalObserver::liveRows() {
    std::cout.flush();
    std::fflush(stdout);
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (fd >= 0) ::close(fd);
        return outputFailure("cannot write --tracks to standard output");
    }
    // A reader that goes away makes the next row fail and the run stop, rather than kill it.
    ::signal(SIGPIPE, SIG_IGN);
    rowsBuffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
    rows_ = std::make_unique<std::ostream>(rowsBuffer_.get());
    return rows_.get();
}

void TerminalObserver::finish() {
    auto hold = holdStderr();
    if (progress_) {
        Progress::end();
        Progress::active = nullptr;
        progress_.reset();
    }
    show_.reset();
}
