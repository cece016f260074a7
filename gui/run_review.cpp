// The window's run and review: the whole input through the pipeline on the engine's thread,
// its pictures and summary afterwards, and the tracks drawn on the frames, picked by a click
// and corrected by hand.
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>
#include <fstream>
#include <sstream>

#include "files.h"
#include "frame_view.h"
#include "main_window.h"
#include "plots.h"
#include "roi.h"
#include "settings_form.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, s >= 100 ? "%.0f s" : "%.1f s", s);
    return text;
}

// The summary as the run's settings give it, from what the track file tells of them.
ambrevo::SummarySettings summarySettings(const ambrevo::TrackTable& t) {
    ambrevo::SummarySettings s;
    s.pixels_per_unit = std::atof(t.meta("pixels_per_unit").c_str());
    if (s.pixels_per_unit > 0) s.unit = t.meta("unit").empty() ? "unit" : t.meta("unit");
    s.fps = std::atof(t.meta("frame_rate").c_str());
    while (!t.meta("arena_" + std::to_string(s.arenas + 1)).empty()) ++s.arenas;
    return s;
}

QSpinBox* trackBox(int lowest = -1) {
    auto* box = new QSpinBox;
    box->setRange(lowest, 1 << 30);
    return box;
}

}  // namespace

QWidget* MainWindow::buildRunPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    tracksFile_ = new QLineEdit;
    tracksFile_->setToolTip(
        "The track file; the summary (.summary.csv), the trajectories (.plot.png) and the heat "
        "map (.heatmap.png) are written beside it");
    connect(tracksFile_, &QLineEdit::editingFinished, this, [this] { setupChanged(); });
    auto* browse = new QPushButton("…");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(this, "Track file", tracksFile_->text(), "Tracks (*.csv)");
        if (!file.isEmpty()) setTracksFile(file.toStdString());
    });
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(tracksFile_, 1);
    fileRow->addWidget(browse);
    form->addRow("Track file", fileRow);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    run_ = new QPushButton("Run the whole input");
    cancel_ = new QPushButton("Cancel");
    cancel_->setEnabled(false);
    connect(run_, &QPushButton::clicked, this, [this] { startRun(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { cancelRun(); });
    buttons->addWidget(run_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    progress_ = new QProgressBar;
    progressLabel_ = new QLabel;
    layout->addWidget(progress_);
    layout->addWidget(progressLabel_);
    layout->addWidget(new QLabel("The same analysis without the window (headless, on a cluster):"));
    command_ = new QLineEdit;
    command_->setReadOnly(true);
    auto* copy = new QPushButton("Copy");
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(command_->text()); });
    auto* commandRow = new QHBoxLayout;
    commandRow->addWidget(command_, 1);
    commandRow->addWidget(copy);
    layout->addLayout(commandRow);
    layout->addStretch(1);
    return page;
}

QWidget* MainWindow::buildReviewPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* open = new QPushButton("Open a track file…");
    connect(open, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Track file", {}, "Tracks (*.csv)");
        if (!file.isEmpty()) openTracks(file.toStdString());
    });
    layout->addWidget(open);
    trackInfo_ = new QLabel("Pick a track on the frame (Pick track; Shift: the second one).");
    trackInfo_->setWordWrap(true);
    layout->addWidget(trackInfo_);
    auto* grid = new QGridLayout;
    tail_ = trackBox(0);
    tail_->setValue(30);
    connect(tail_, &QSpinBox::valueChanged, this, [this] { updateMarks(); });
    grid->addWidget(new QLabel("Tail (frames)"), 0, 0);
    grid->addWidget(tail_, 0, 1);
    swapA_ = trackBox(), swapB_ = trackBox(), swapFrom_ = trackBox(0);
    auto* swap = new QPushButton("Swap from frame");
    connect(swap, &QPushButton::clicked, this,
            [this] { swapTracks(swapA_->value(), swapB_->value(), swapFrom_->value()); });
    grid->addWidget(new QLabel("Swap"), 1, 0);
    grid->addWidget(swapA_, 1, 1);
    grid->addWidget(swapB_, 1, 2);
    grid->addWidget(swap, 2, 0);
    grid->addWidget(swapFrom_, 2, 1);
    mergeFrom_ = trackBox(), mergeInto_ = trackBox();
    auto* merge = new QPushButton("Merge into");
    connect(merge, &QPushButton::clicked, this, [this] { mergeTracks(mergeFrom_->value(), mergeInto_->value()); });
    grid->addWidget(new QLabel("Merge"), 3, 0);
    grid->addWidget(mergeFrom_, 3, 1);
    grid->addWidget(merge, 4, 0);
    grid->addWidget(mergeInto_, 4, 1);
    layout->addLayout(grid);
    corrections_ = new QLabel;
    corrections_->setWordWrap(true);
    layout->addWidget(corrections_);
    layout->addStretch(1);
    return page;
}

void MainWindow::setRunning(bool running) {
    run_->setEnabled(!running);
    cancel_->setEnabled(running);
    for (QWidget* w :
         std::initializer_list<QWidget*>{side_->widget(0), side_->widget(1), side_->widget(3), tracksFile_})
        w->setEnabled(!running);
}

void MainWindow::startRun() {
    if (running() || reader_.input().empty()) return;
    const Options o = options();
    std::string error;
    if (o.tracksFile.empty()) return say("name a track file first", true);
    if (!checkArenaOptions(o, error)) return say(error, true);
    if (confirmOverwrite && QFileInfo::exists(q(o.tracksFile)) &&
        QMessageBox::question(this, "Run", q("Replace '" + o.tracksFile + "' and the pictures beside it?")) !=
            QMessageBox::Yes)
        return;
    playTimer_.stop();
    framesDone_ = 0;
    setRunning(true);
    progress_->setRange(0, 0);
    progressLabel_->setText("starting…");
    say("running: " + commandLine());
    runStart_ = std::chrono::steady_clock::now();
    engine_->run(
        o, saved_, [this](int64_t done, int64_t expected) { runProgress(done, expected); },
        [this, o](const RunOutcome& outcome) {
            runFinished(outcome);
            if (outcome.frames > 0) showResults(o);
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
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.1f", rate);
    text += " · " + std::string(fps) + " fps";
    if (expected > 0 && rate > 0) text += " · " + seconds(double(expected - done) / rate) + " left";
    progressLabel_->setText(q(text));
    if (onProgress) onProgress(done);
}

void MainWindow::runFinished(const RunOutcome& outcome) {
    lastRun_ = outcome;
    setRunning(false);
    progress_->setRange(0, 1);
    progress_->setValue(outcome.status == 0 ? 1 : 0);
    const std::string frames = std::to_string(outcome.frames) + " frames in " + seconds(outcome.seconds);
    if (outcome.cancelled)
        say("cancelled after " + frames + (outcome.frames > 0 ? "; the outputs hold them, marked partial" : ""), true);
    else if (outcome.status != 0)
        say(outcome.message, true);
    else
        say("done: " + frames + (outcome.notice.empty() ? "" : "\n" + outcome.notice));
    progressLabel_->setText(q(frames));
    requestPreview();
}

void MainWindow::showResults(const Options& run) {
    summaryFile_ = run.summaryFile, plotFile_ = run.plotFile, heatmapFile_ = run.heatmapFile;
    openTracks(run.tracksFile);
    tabs_->setCurrentIndex(1);
}

// The run's pictures drawn again from the corrected tracks, over the background the run drew
// them on: the median of the same frames, with the arenas' outlines.
void MainWindow::redrawPictures() {
    const ambrevo::TrackTable& t = *table_;
    const int64_t read = std::atoll(t.meta("frames_read").c_str()), first = std::atoll(t.meta("first_frame").c_str());
    const int64_t expected = t.meta("frames_expected") == "unknown" ? 0 : std::atoll(t.meta("frames_expected").c_str());
    if (t.meta("source") != reader_.input() || read <= 0) return;
    // The frames the run sampled: every step-th, the step doubling when they grow too many.
    std::vector<int64_t> chosen;
    for (int64_t i = 0, step = std::max<int64_t>(1, expected / 25); i < read; ++i) {
        if (i % step != 0) continue;
        chosen.push_back(first + i);
        if (chosen.size() < 50) continue;
        for (size_t k = 0; 2 * k < chosen.size(); ++k) chosen[k] = chosen[2 * k];
        chosen.resize((chosen.size() + 1) / 2), step *= 2;
    }
    std::vector<cv::Mat> samples(chosen.size());
    std::string error;
    double time = 0;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (!reader_.read(chosen[i], samples[i], time, error)) return say(error, true);
    std::vector<ambrevo::Arena> arenas;
    for (int k = 1; !t.meta("arena_" + std::to_string(k)).empty(); ++k)
        arenas.push_back(ambrevo::parse_roi(t.meta("arena_" + std::to_string(k))));
    cv::Mat background = ambrevo::median_background(samples);
    if (!arenas.empty()) ambrevo::ArenaMap(arenas, background.size()).draw(background, cv::Scalar(40, 40, 40), 1);
    const ambrevo::SummarySettings summary = summarySettings(t);
    const ambrevo::PlotSettings settings{summary.pixels_per_unit, summary.unit};
    const std::vector<ambrevo::TrackPoint> points = t.points();
    for (const auto& [file, draw] :
         {std::pair{plotFile_, &ambrevo::plot_trajectories}, {heatmapFile_, &ambrevo::plot_heatmap}}) {
        PendingFile pending;
        if (!file.empty() && QFileInfo::exists(q(file)) &&
            !(pending.create(file, "picture", error) &&
              writePicture(pending, draw(background, points, settings), error)))
            say(error, true);
    }
}

void MainWindow::showSummary(const std::string& file) {
    std::ifstream in(file);
    std::vector<QStringList> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(q(line).split(','));
    summaryTable_->clear();
    summaryTable_->setRowCount(lines.empty() ? 0 : int(lines.size() - 1));
    summaryTable_->setColumnCount(lines.empty() ? 0 : int(lines[0].size()));
    if (lines.empty()) return;
    summaryTable_->setHorizontalHeaderLabels(lines[0]);
    for (size_t r = 1; r < lines.size(); ++r)
        for (int c = 0; c < lines[r].size(); ++c)
            summaryTable_->setItem(int(r - 1), c, new QTableWidgetItem(lines[r][c]));
    summaryTable_->resizeColumnsToContents();
}

bool MainWindow::openTracks(const std::string& file) {
    try {
        table_ = ambrevo::TrackTable::read(file);
    } catch (const std::exception& e) {
        return say(e.what(), true), false;
    }
    tableFile_ = file;
    // The outputs a run of the window writes beside its track file.
    const std::string stem = file.substr(0, file.rfind('.'));
    if (summaryFile_.rfind(stem, 0) != 0)
        summaryFile_ = stem + ".summary.csv", plotFile_ = stem + ".plot.png", heatmapFile_ = stem + ".heatmap.png";
    return corrected("");
}

// After a correction (or a new table): the summaries, the files and the marks follow it.
bool MainWindow::corrected(const std::string& what) {
    std::string error;
    if (!what.empty() && !table_->write(tableFile_, error)) {
        table_ = ambrevo::TrackTable::read(tableFile_);  // the file as it still is
        return say(error, true), false;
    }
    byFrame_.clear();
    for (size_t i = 0; i < table_->size(); ++i) byFrame_[table_->frame(i)].push_back(i);
    const std::vector<ambrevo::TrackPoint> points = table_->points();
    const ambrevo::SummarySettings settings = summarySettings(*table_);
    try {
        summaries_ = ambrevo::summarise_tracks(points, settings);
    } catch (const std::exception& e) {
        summaries_.clear();
        say(e.what(), true);
    }
    // The summary beside the track file is rewritten with the corrections, as the run wrote it.
    if (!what.empty() && QFileInfo::exists(q(summaryFile_))) {
        std::ostringstream text;
        ambrevo::write_summary_csv(text, summaries_, settings);
        PendingFile pending;
        if (!pending.create(summaryFile_, "summary", error) || !writeText(pending, text.str(), error)) say(error, true);
    }
    showSummary(summaryFile_);
    try {
        if (!what.empty()) redrawPictures();
    } catch (const std::exception& e) {
        say(std::string("the pictures were not drawn again: ") + e.what(), true);
    }
    for (auto [label, file] : {std::pair{plot_, plotFile_}, std::pair{heatmap_, heatmapFile_}}) {
        QPixmap picture(q(file));
        if (!picture.isNull()) label->setPixmap(picture);
    }
    QString done;
    for (const std::string& c : table_->corrections()) done += q("• " + c + "\n");
    corrections_->setText(done.isEmpty() ? "No corrections yet." : "Corrections in the track file:\n" + done);
    if (!what.empty()) say(what + "; written to '" + tableFile_ + "'");
    updateMarks();
    return true;
}

void MainWindow::updateMarks() {
    std::vector<FrameView::Mark> marks;
    if (table_) {
        std::map<long long, FrameView::Mark> byId;
        for (auto it = byFrame_.lower_bound(current_ - tail_->value()); it != byFrame_.end() && it->first <= current_;
             ++it)
            for (size_t row : it->second) {
                if (table_->missing(row)) continue;
                FrameView::Mark& m = byId[table_->identity(row)];
                const cv::Scalar c = ambrevo::track_colour(table_->identity(row));
                m.id = table_->identity(row);
                m.colour = QColor(int(c[2]), int(c[1]), int(c[0]));
                // Positions are pixel centres.
                m.tail.emplace_back(table_->x(row) + 0.5, table_->y(row) + 0.5);
                m.seen = it->first == current_;
            }
        for (auto& [id, m] : byId) marks.push_back(std::move(m));
    }
    view_->setMarks(std::move(marks), chosen_);
}

void MainWindow::pick(double x, double y, bool second) {
    if (!table_) return say("no tracks to pick: run the analysis or open a track file", true);
    const auto at = byFrame_.find(current_);
    double best = 20 / std::max(0.05, view_->toWidget({1, 0}).x() - view_->toWidget({0, 0}).x());
    long long id = -1;
    for (size_t row : at == byFrame_.end() ? std::vector<size_t>{} : at->second)
        if (const double d = std::hypot(table_->x(row) - x, table_->y(row) - y); !table_->missing(row) && d < best)
            best = d, id = table_->identity(row);
    if (id < 0) return;
    chosen_ = id;
    (second ? swapB_ : swapA_)->setValue(int(id));
    (second ? mergeInto_ : mergeFrom_)->setValue(int(id));
    swapFrom_->setValue(int(current_));
    std::string text = table_->identityColumn() + " " + std::to_string(id);
    for (const ambrevo::TrackSummary& s : summaries_) {
        if (s.track != id) continue;
        const std::string unit = summarySettings(*table_).unit;
        char line[256];
        std::snprintf(line, sizeof line, ": frames %lld to %lld, seen on %lld, path %.1f %s, mean speed %.2f, max %.2f",
                      s.first_frame, s.last_frame, s.frames_seen, s.path_length, unit.c_str(), s.mean_speed,
                      s.max_speed);
        text += line;
    }
    trackInfo_->setText(q(text));
    updateMarks();
}

bool MainWindow::swapTracks(long long a, long long b, long long from) {
    if (!table_) return say("no track file to correct", true), false;
    try {
        const size_t rows = table_->swap(a, b, from);
        return corrected(table_->corrections().back() + " (" + std::to_string(rows) + " rows)");
    } catch (const std::exception& e) {
        return say(e.what(), true), false;
    }
}

bool MainWindow::mergeTracks(long long from, long long into) {
    if (!table_) return say("no track file to correct", true), false;
    try {
        const size_t rows = table_->merge(from, into);
        return corrected(table_->corrections().back() + " (" + std::to_string(rows) + " rows)");
    } catch (const std::exception& e) {
        return say(e.what(), true), false;
    }
}
