// The desktop app's waits, measured on its real window (offscreen): from opening a video to
// its first preview, the preview after a setting change, and a whole run in the window
// against the same command line of the program (and with --grey).
//
//   ambrevo_gui_bench [--reps N] [--frames F] [--procedures a,b,...]
//
// Videos of a generated crowd are written first (H.264 where the encoder is there, else
// MPEG-4), at 640x480 and 1920x1080. Wall-clock milliseconds; medians of N repetitions.
#include <sys/resource.h>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "crowd_scene.h"
#include "frame_view.h"
#include "main_window.h"
#include "settings_form.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The processor time of every thread of this process: what the window's wait costs whatever
// else the shared machine runs (its wall time grows with the other work, this does not).
double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Waits as the app's own event loop does, asleep between events: a busy wait would take one
// of the cores the run needs.
bool waitFor(const std::function<bool()>& done, int ms = 600000) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(2);
    while (!done() && clock.elapsed() < ms) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// The window shown, and a preview waited for until it is painted.
bool previewShown(MainWindow& window) {
    if (!waitFor([&] { return window.previewCurrent(); })) return false;
    window.view()->repaint();
    return true;
}

// A crowd of `width` x `height` as a video; the codec used.
std::string writeScene(const std::string& file, int width, int height, int frames) {
    crowd_scene::settings s;
    s.width = width, s.height = height, s.discs = 24, s.arenas = 2;
    s.minRadius = 9.0 * height / 480, s.maxRadius = 12.0 * height / 480, s.speed = 2.0 * height / 480;
    crowd_scene::scene scene(s);
    cv::VideoWriter writer;
    std::string codec = "H.264";
    if (!writer.open(file, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 25, {width, height}))
        codec = "MPEG-4", writer.open(file, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25,
                                      {width, height});
    cv::Mat frame(height, width, CV_8UC3);
    for (int f = 0; f < frames; ++f) {
        if (f) scene.next();
        scene.bgr(frame.data, int64_t(frame.step));
        writer.write(frame);
    }
    return codec;
}

// The first editor of a number in the form: changed by one step up and back, in turn.
QAbstractSpinBox* firstNumber(SettingsForm* form) {
    const auto boxes = form->findChildren<QAbstractSpinBox*>();
    return boxes.empty() ? nullptr : boxes.front();
}

struct PreviewTimes {
    double open = 0, change = 0, openCpu = 0, changeCpu = 0;
};

PreviewTimes previewTimes(const std::string& video, const std::string& procedure, int reps) {
    std::vector<double> open, change, openCpu, changeCpu;
    for (int r = 0; r < reps; ++r) {
        MainWindow window;
        window.resize(1280, 760);
        window.show();
        window.chooseProcedure(procedure);
        const auto start = Clock::now();
        const double cpu = cpuMs();
        if (!window.openInput(video) || !previewShown(window) || !window.preview().ok) return {};
        open.push_back(msSince(start));
        openCpu.push_back(cpuMs() - cpu);
        QAbstractSpinBox* box = firstNumber(window.form());
        if (!box) continue;
        for (int step : {1, -1, 1, -1}) {
            const auto changed = Clock::now();
            const double before = cpuMs();
            box->stepBy(step);
            if (!previewShown(window) || !window.preview().ok) return {};
            change.push_back(msSince(changed));
            changeCpu.push_back(cpuMs() - before);
        }
    }
    return {median(open), median(change), median(openCpu), median(changeCpu)};
}

// Replaces what is there without asking.
class Yes : public Dialogs {
public:
    bool question(QWidget*, const QString&, const QString&) override { return true; }
};

// Seconds of a whole run in the window (to its results on screen), and of the program on
// the command line the window shows.
struct RunTimes {
    double app = 0, program = 0, appCpu = 0, programCpu = 0;
};

// The processor time of this process's children that have ended.
double childrenCpuMs() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

RunTimes runTimes(const std::string& video, const std::string& dir, bool grey, int reps) {
    std::vector<double> app, program, appCpu, programCpu;
    for (int r = 0; r < reps; ++r) {
        MainWindow window;
        window.setDialogs(std::make_unique<Yes>());
        window.openInput(video);
        window.chooseProcedure("crowd");
        window.setTracksFile(dir + "/run.csv");
        window.setLink("15,5,predict");
        window.setRunOptions(grey, 0, 0, 0);
        waitFor([&] { return window.previewCurrent(); });
        const std::string line = window.commandLine();
        const auto start = Clock::now();
        const double cpu = cpuMs();
        window.startRun();
        waitFor([&] { return !window.running(); });
        app.push_back(msSince(start) / 1000);
        appCpu.push_back((cpuMs() - cpu) / 1000);
        const auto started = Clock::now();
        const double childCpu = childrenCpuMs();
        const std::string call = std::string(AMBREVO_EXE) + line.substr(line.find(' ')) + " --quiet >/dev/null 2>&1";
        if (std::system(call.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", call.c_str());
        program.push_back(msSince(started) / 1000);
        programCpu.push_back((childrenCpuMs() - childCpu) / 1000);
    }
    return {median(app), median(program), median(appCpu), median(programCpu)};
}

}  // namespace

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    int reps = 5, frames = 300;
    std::vector<std::string> procedures = {"flowtrack", "crowd", "ccTrack"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--reps") reps = std::atoi(argv[i + 1]);
        if (a == "--frames") frames = std::atoi(argv[i + 1]);
    }
    QTemporaryDir dir;
    const std::string small = dir.filePath("scene480.mp4").toStdString(),
                      large = dir.filePath("scene1080.mp4").toStdString();
    const std::string codec = writeScene(small, 640, 480, frames);
    writeScene(large, 1920, 1080, frames);
    std::printf("## The desktop app (bench/gui_bench.cpp, same run)\n\n");
    std::printf(
        "Generated crowds of 24 discs in two arenas, %s, %d frames; wall-clock milliseconds, medians\n"
        "of %d windows 1280x760. *open to first preview*: from the call that opens the video to its first\n"
        "frame processed and painted; *after a change*: from a setting stepped by one (the form's first\n"
        "number) to the frame processed again and painted. *CPU*: the processor time the window's\n"
        "threads took meanwhile, which the other work on a shared machine does not stretch.\n\n",
        codec.c_str(), frames, reps);
    std::printf(
        "| procedure | frames | open to first preview (ms) | CPU (ms) | preview after a change (ms) | CPU (ms) |\n"
        "|---|---|---|---|---|---|\n");
    for (const std::string& procedure : procedures)
        for (const auto& [video, size] : {std::pair{small, "640x480"}, {large, "1920x1080"}}) {
            const PreviewTimes t = previewTimes(video, procedure, reps);
            std::printf("| %s | %s | %.0f | %.0f | %.0f | %.0f |\n", procedure.c_str(), size, t.open, t.openCpu,
                        t.change, t.changeCpu);
            std::fflush(stdout);
        }
    std::printf(
        "\nA whole run of crowd at 1920x1080 with `--link 15,5,predict`, the track file, summary and\n"
        "pictures: in the window, from *Run* to its results on screen; the program, the command line\n"
        "the window shows, from start to exit. Seconds, medians of %d; CPU: the processor time of the\n"
        "window's threads, and of the program's process.\n\n",
        std::max(1, reps / 2));
    std::printf(
        "| frames | window (s) | program (s) | window / program | window CPU (s) | program CPU (s) |\n"
        "|---|---|---|---|---|---|\n");
    for (const bool grey : {false, true}) {
        const RunTimes t = runTimes(large, dir.path().toStdString(), grey, std::max(1, reps / 2));
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", grey ? "--grey" : "colour", t.app, t.program,
                    t.app / t.program, t.appCpu, t.programCpu);
    }
    return 0;
}
