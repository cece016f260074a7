// The window's run: the whole input through the pipeline on the engine's thread, with the
// run's own options, its progress and cancel; then its results: the summary as a table and
// the pictures, fitted.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

#include "ambrevo/pipeline/core/text/numbers.h"
#include "batch_queue.h"
#include "frame_view.h"
#include "main_window.h"
#include "picture_view.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

std::string seconds(double s) { return ambrevo::text::fixed(s, s >= 100 ? 0 : 1) + " s"; }

}  // namespace

QWidget* MainWindow::buildRunPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    tracksFile_ = new QLineEdit;
    tracksFile_->setObjectName("tracksFile");
    tracksFile_->setToolTip(
        "The track file; the summary (.summary.csv), the trajectories (.plot.png) and the heat "
        "map (.heatmap.png) are written beside it");
    connect(tracksFile_, &QLineEdit::editingFinished, this, [this] { setupChanged(); });
    auto* browse = new QPushButton("…");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = dialogs_->saveFile(this, "Track file", tracksFile_->text(), "Tracks (*.csv)");
        if (!file.isEmpty()) setTracksFile(file.toStdString());
    });
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(tracksFile_, 1);
    fileRow->addWidget(browse);
    form->addRow("Track file", fileRow);
    layout->addLayout(form);
    layout->addWidget(buildRunOptions());
    auto* buttons = new QHBoxLayout;
    run_ = new QPushButton("Run the whole input");
    run_->setObjectName("run");
    cancel_ = new QPushButton("Cancel");
    cancel_->setObjectName("cancel");
    cancel_->setEnabled(false);
    connect(run_, &QPushButton::clicked, this, [this] { startRun(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { cancelRun(); });
    buttons->addWidget(run_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    progress_ = new QProgressBar;
    progressLabel_ = new QLabel;
    progressLabel_->setObjectName("progressText");
    layout->addWidget(progress_);
    layout->addWidget(progressLabel_);
    layout->addWidget(new QLabel("The same analysis without the window (headless, on a cluster):"));
    command_ = new QPlainTextEdit;
    command_->setReadOnly(true);
    command_->setMaximumHeight(120);
    auto* copy = new QPushButton("Copy the command line");
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(command_->toPlainText()); });
    layout->addWidget(command_);
    layout->addWidget(copy);
    layout->addStretch(1);
    return page;
}

// --grey, --start, --end and --fps.
QWidget* MainWindow::buildRunOptions() {
    auto* box = new QGroupBox("Frames");
    auto* form = new QFormLayout(box);
    greyBox_ = new QCheckBox("Grey (--grey): faster; the procedure sees grey frames");
    greyBox_->setObjectName("grey");
    startBox_ = new QSpinBox;
    startBox_->setObjectName("start");
    startBox_->setRange(0, INT32_MAX);
    endBox_ = new QSpinBox;
    endBox_->setObjectName("end");
    endBox_->setRange(0, INT32_MAX);
    endBox_->setSpecialValueText("the end of the input");
    fpsBox_ = new QDoubleSpinBox;
    fpsBox_->setObjectName("fps");
    fpsBox_->setRange(0, 10000);
    fpsBox_->setDecimals(3);
    fpsBox_->setSpecialValueText("the input's own times");
    fpsBox_->setToolTip("Frames per second for the times and speeds (--fps); else the input's timestamps");
    form->addRow(greyBox_);
    form->addRow("First frame (--start)", startBox_);
    form->addRow("Stop before (--end)", endBox_);
    form->addRow("Frame rate (--fps)", fpsBox_);
    connect(greyBox_, &QCheckBox::toggled, this, [this] { setupChanged(); });
    for (QSpinBox* b : {startBox_, endBox_}) connect(b, &QSpinBox::valueChanged, this, [this] { setupChanged(); });
    connect(fpsBox_, &QDoubleSpinBox::valueChanged, this, [this] { setupChanged(); });
    return box;
}

// Several inputs with the set-up on screen, run by the program's batch; a finished one opens
// for review with its track file.
QWidget* MainWindow::buildBatchPage() {
    batch_ = new BatchQueue([this] { return options(); }, [this]() -> Dialogs& { return *dialogs_; }, module_.path());
    batch_->setObjectName("batch");
    batch_->say = [this](const std::string& text, bool failure) { say(text, failure); };
    batch_->shownInput = [this] { return reader_->input(); };
    batch_->review = [this](const std::string& input, const std::string& tracks) {
        if (openInput(input)) loadTracks(tracks, true);
    };
    batch_->finished = [this] {
        if (closeAfterRun_) close();
    };
    return batch_;
}

void MainWindow::setRunOptions(bool grey, int64_t start, int64_t end, double fps) {
    greyBox_->setChecked(grey);
    startBox_->setValue(int(start));
    endBox_->setValue(int(std::max<int64_t>(0, end)));
    fpsBox_->setValue(fps);
    setupChanged();
}

void MainWindow::setTracksFile(const std::string& file) {
    tracksFile_->setText(q(file));
    setupChanged();
}

void MainWindow::setRunning(bool running) {
    run_->setEnabled(!running);
    cancel_->setEnabled(running);
    for (QWidget* w :
         std::initializer_list<QWidget*>{side_->widget(0), side_->widget(1), side_->widget(3), tracksFile_})
        w->setEnabled(!running);
}

void MainWindow::startRun() {
    if (running() || reader_->input().empty()) return;
    const Options o = options();
    if (o.tracksFile.empty()) return say("name a track file first", true);
    if (o.end >= 0 && o.end <= o.start)
        return say("the run would stop before frame " + std::to_string(o.end) + ", which is not after its first frame " +
                       std::to_string(o.start) + ": choose a later end, or none",
                   true);
    if (const Outcome arenas = checkArenaOptions(o); !arenas) return say(arenas.error().message, true);
    if (!keepOrDiscardCorrections("Run")) return;
    if (QFileInfo::exists(q(o.tracksFile)) &&
        !dialogs_->question(this, "Run", q("Replace '" + o.tracksFile + "' and the pictures beside it?")))
        return;
    if (playTimer_.isActive()) togglePlay();
    clearResults();
    setRunning(true);
    progress_->setRange(0, 0);
    progressLabel_->setText("starting…");
    say("running: " + commandLine());
    runStart_ = std::chrono::steady_clock::now();
    engine_->run(
        o, *setup_.saved, [this](int64_t done, int64_t expected) { runProgress(done, expected); },
        [this, o](const RunOutcome& outcome) {
            runFinished(outcome);
            if (outcome.frames > 0 && !closeAfterRun_) showResults(o);
            if (closeAfterRun_) close();
        });
}

void MainWindow::cancelRun() {
    if (!running()) return;
    engine_->cancel();
    progressLabel_->setText("cancelling after the frame in hand…");
}

void MainWindow::runProgress(int64_t done, int64_t expected) {
    framesDone_ = done;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart_).count();
    const double rate = elapsed > 0 ? double(done) / elapsed : 0;
    if (expected > 0)
        progress_->setRange(0, int(std::min<int64_t>(expected, INT32_MAX))), progress_->setValue(int(done));
    std::string text = std::to_string(done) + (expected >= 0 ? " / " + std::to_string(expected) : "") + " frames";
    text += " · " + ambrevo::text::fixed(rate, 1) + " fps";
    if (expected > 0 && rate > 0) text += " · " + seconds(double(expected - done) / rate) + " left";
    progressLabel_->setText(q(text));
    if (onProgress) onProgress(done);
}

void MainWindow::runFinished(const RunOutcome& outcome) {
    lastRun_ = outcome;
    framesDone_ = outcome.frames;
    setRunning(false);
    // The bar shows how far the run came, whether it ended, failed or was cancelled.
    const int64_t expected = outcome.expected > 0 ? outcome.expected : std::max<int64_t>(1, outcome.frames);
    progress_->setRange(0, int(std::min<int64_t>(expected, INT32_MAX)));
    progress_->setValue(int(std::min(outcome.frames, expected)));
    const std::string frames = std::to_string(outcome.frames) + " frames in " + seconds(outcome.seconds);
    if (outcome.cancelled)
        say("cancelled after " + frames + (outcome.frames > 0 ? "; the outputs hold them, marked partial" : ""), true);
    else if (outcome.failure)
        say(outcome.failure->message, true);
    else
        say("done: " + frames + (outcome.notice.empty() ? "" : "\n" + outcome.notice));
    progressLabel_->setText(q(frames));
    requestPreview();
}

void MainWindow::showResults(const Options& run) {
    summaryFile_ = run.summaryFile, plotFile_ = run.plotFile, heatmapFile_ = run.heatmapFile;
    if (!loadTracks(run.tracksFile, false)) return;
    tabs_->setCurrentIndex(1);
    // A run that found nothing says so, and why it may have, rather than only that it is done.
    if (index_.seenRows() > 0 || lastRun_.failure || lastRun_.cancelled) return;
    const std::string why = lastRun_.notice.empty() ? "Check the preview: it shows what the procedure finds on a "
                                                      "frame with the settings, arenas and frames chosen."
                                                    : lastRun_.notice;
    say("The run ended, but no objects were found on any of its " + std::to_string(lastRun_.frames) +
            " frames: the track file holds no rows.\n" + why,
        true);
    tabs_->setCurrentIndex(0);
}
