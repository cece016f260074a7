// The tracks under review drawn on the input's frames, as a video: what a reviewer shows
// others. It reads the input on the worker thread with a reader of its own, draws each frame
// as the window draws it (the arenas, each track with its tail and number), and writes with
// the program's own video output; a cancel leaves no file.
#include <QFileInfo>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <opencv2/imgproc.hpp>

#include "ambrevo/pipeline/sinks/video.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "frame_reader.h"
#include "main_window.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

struct ExportJob {
    std::string input, file;
    ambrevo::TrackTable table;
    int tail = 30;
    double unsureBelow = 0;
};

// Frame `frame` with the arenas and the tracks drawn on it.
cv::Mat drawn(const cv::Mat& frame, const ExportJob& job, const TrackIndex& index, long long at,
              const std::vector<ambrevo::Arena>& arenas) {
    cv::Mat bgr = frame.clone();
    if (!arenas.empty()) ambrevo::ArenaMap(arenas, bgr.size()).draw(bgr, cv::Scalar(0, 210, 255), 2);
    QImage image = toQImage(bgr);
    QPainter p(&image);
    paintMarks(p, index.marksAt(at, job.tail, job.unsureBelow), -1, [](QPointF u) { return u; });
    p.end();
    const cv::Mat rgb(image.height(), image.width(), CV_8UC3, image.bits(), size_t(image.bytesPerLine()));
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

void exportFrames(const ExportJob& job, RunObserver& observer, RunOutcome& outcome) {
    FrameReader reader;
    VideoSink video(job.file);
    auto fail = [&](const Failure& failure) { outcome.failure = failure, video.discard(); };
    if (const Outcome opened = reader.open(job.input); !opened) return fail(opened.error());
    if (const Outcome made = video.probe(); !made) return fail(made.error());
    const TrackIndex index(&job.table);
    std::vector<ambrevo::Arena> arenas;
    for (int k = 1; !job.table.meta("arena_" + std::to_string(k)).empty(); ++k)
        arenas.push_back(ambrevo::parse_roi(job.table.meta("arena_" + std::to_string(k))));
    const auto start = std::chrono::steady_clock::now();
    for (long long f = index.first(); f <= index.last(); ++f) {
        if (observer.stopRequested()) return video.discard();
        cv::Mat frame;
        double time = 0;
        if (const Outcome read = reader.read(f, frame, time); !read) return fail(read.error());
        if (const Outcome put = video.write(drawn(frame, job, index, f, arenas), reader.fps()); !put)
            return fail(put.error());
        observer.progress(++outcome.frames, index.last() - index.first() + 1);
    }
    if (const Outcome done = video.finish(); !done) return fail(done.error());
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool MainWindow::exportVideo(const std::string& name) {
    if (!table_ || index_.first() < 0) return say("no tracks to draw: run the analysis or open a track file", true), false;
    if (running()) return say("a run is in progress: export once it has ended", true), false;
    const std::string file = QFileInfo(q(name)).suffix().isEmpty() ? name + ".mp4" : name;
    auto job =
        std::make_shared<ExportJob>(ExportJob{reader_->input(), file, *table_, tail_->value(), unsureBelow_->value()});
    setRunning(true);
    progress_->setRange(0, 0);
    say("drawing the tracks into '" + file + "'…");
    runStart_ = std::chrono::steady_clock::now();
    engine_->start([job](RunObserver& observer, RunOutcome& outcome) { exportFrames(*job, observer, outcome); },
                   [this](int64_t done, int64_t expected) { runProgress(done, expected); },
                   [this, file](const RunOutcome& outcome) { exportFinished(outcome, file); });
    return true;
}

void MainWindow::exportFinished(const RunOutcome& outcome, const std::string& file) {
    setRunning(false);
    lastRun_ = outcome;
    progress_->setRange(0, 1);
    progress_->setValue(!outcome.failure && !outcome.cancelled ? 1 : 0);
    if (outcome.cancelled)
        say("the export was cancelled: no video written", true);
    else if (outcome.failure)
        say(outcome.failure->message, true);
    else
        say("the tracks of " + std::to_string(outcome.frames) + " frames drawn into '" + file + "'");
    if (closeAfterRun_) close();
}
