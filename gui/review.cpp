// The window's review: a track file read (after a question when it is of another input or
// partial), its tracks drawn on the frames, picked by a click and corrected by hand (swap,
// merge, delete, split), each correction undoable; the corrections saved into the file with a
// backup of it, or into another file; the summary and the pictures following them.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>
#include <cmath>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "edits.h"
#include "frame_view.h"
#include "main_window.h"
#include "picture_view.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

QSpinBox* trackBox(const char* name, int lowest = -1) {
    auto* box = new QSpinBox;
    box->setObjectName(name);
    box->setRange(lowest, 1 << 30);
    return box;
}

QPushButton* button(const char* name, const QString& text) {
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
}

std::string stemOf(const std::string& file) { return file.substr(0, file.rfind('.')); }

// Whether the input a track file names is `input`, whether named as given or by its path
// from the folder the run was in (the track file's, or this one).
bool sameInput(const std::string& source, const std::string& input, const std::string& trackFile) {
    if (source.empty() || source == input) return true;
    const QString shown = QFileInfo(q(input)).canonicalFilePath();
    if (shown.isEmpty()) return false;
    for (const QString& folder : {QFileInfo(q(trackFile)).absolutePath(), QString(".")})
        if (QFileInfo(QFileInfo(q(source)).isAbsolute() ? q(source) : folder + "/" + q(source)).canonicalFilePath() ==
            shown)
            return true;
    return false;
}

}  // namespace

QWidget* MainWindow::buildReviewPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* open = new QPushButton("Open a track file…");
    connect(open, &QPushButton::clicked, this, [this] {
        const QString file = dialogs_->openFile(this, "Track file", "Tracks (*.csv)");
        if (!file.isEmpty()) openTracks(file.toStdString());
    });
    layout->addWidget(open);
    trackInfo_ = new QLabel;
    trackInfo_->setObjectName("trackInfo");
    trackInfo_->setWordWrap(true);
    layout->addWidget(trackInfo_);
    layout->addWidget(buildCorrections());
    corrections_ = new QLabel;
    corrections_->setObjectName("corrections");
    corrections_->setWordWrap(true);
    layout->addWidget(corrections_);
    auto* saving = new QHBoxLayout;
    auto* save = button("saveTracks", "Save corrections");
    auto* saveAs = button("saveTracksAs", "Save as…");
    connect(save, &QPushButton::clicked, this, [this] { saveTracks(); });
    connect(saveAs, &QPushButton::clicked, this, [this] {
        const QString file = dialogs_->saveFile(this, "Save the corrected tracks as", {}, "Tracks (*.csv)");
        if (!file.isEmpty()) saveTracksAs(file.toStdString());
    });
    saving->addWidget(save);
    saving->addWidget(saveAs);
    layout->addLayout(saving);
    layout->addWidget(buildUnsure(), 1);
    return page;
}

// Swap, merge, delete and split, each a row of its tracks and frame and a button.
QWidget* MainWindow::buildCorrections() {
    auto* box = new QWidget;
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    tail_ = trackBox("tail", 0);
    tail_->setValue(30);
    connect(tail_, &QSpinBox::valueChanged, this, [this] { updateMarks(); });
    grid->addWidget(new QLabel("Tail (frames)"), 0, 0);
    grid->addWidget(tail_, 0, 1);
    swapA_ = trackBox("swapA"), swapB_ = trackBox("swapB"), swapFrom_ = trackBox("swapFrom", 0);
    auto* swap = button("swap", "Swap from frame");
    connect(swap, &QPushButton::clicked, this,
            [this] { swapTracks(swapA_->value(), swapB_->value(), swapFrom_->value()); });
    grid->addWidget(new QLabel("Swap"), 1, 0);
    grid->addWidget(swapA_, 1, 1);
    grid->addWidget(swapB_, 1, 2);
    grid->addWidget(swap, 2, 0);
    grid->addWidget(swapFrom_, 2, 1);
    mergeFrom_ = trackBox("mergeFrom"), mergeInto_ = trackBox("mergeInto");
    auto* merge = button("merge", "Merge into");
    connect(merge, &QPushButton::clicked, this, [this] { mergeTracks(mergeFrom_->value(), mergeInto_->value()); });
    grid->addWidget(new QLabel("Merge"), 3, 0);
    grid->addWidget(mergeFrom_, 3, 1);
    grid->addWidget(merge, 4, 0);
    grid->addWidget(mergeInto_, 4, 1);
    editTrack_ = trackBox("editTrack"), splitFrom_ = trackBox("splitFrom", 0);
    auto* remove = button("deleteTrack", "Delete track");
    auto* split = button("splitTrack", "Split from frame");
    connect(remove, &QPushButton::clicked, this, [this] { deleteTrack(editTrack_->value()); });
    connect(split, &QPushButton::clicked, this, [this] { splitTrack(editTrack_->value(), splitFrom_->value()); });
    grid->addWidget(new QLabel("Track"), 5, 0);
    grid->addWidget(editTrack_, 5, 1);
    grid->addWidget(remove, 5, 2);
    grid->addWidget(split, 6, 0);
    grid->addWidget(splitFrom_, 6, 1);
    return box;
}

bool MainWindow::openTracks(const std::string& file) { return loadTracks(file, true); }

bool MainWindow::loadTracks(const std::string& file, bool ask) {
    if (!keepOrDiscardCorrections(q("Open '" + file + "'"))) return false;
    std::optional<ambrevo::TrackTable> read;
    try {
        read = ambrevo::TrackTable::read(file);
    } catch (const std::exception& e) {
        return say(e.what(), true), false;
    }
    if (ask && !tracksBelong(*read, file)) return say("'" + file + "' was not opened"), false;
    ++tableGeneration_;
    savedText_ = read->text();
    tableFile_ = file;
    // The outputs a run of the window writes beside its track file.
    const std::string stem = stemOf(file);
    if (summaryFile_.rfind(stem, 0) != 0)
        summaryFile_ = stem + ".summary.csv", plotFile_ = stem + ".plot.png", heatmapFile_ = stem + ".heatmap.png";
    for (auto [view, picture] : {std::pair{plot_, plotFile_}, std::pair{heatmap_, heatmapFile_}})
        view->setPicture(QPixmap(q(picture)));
    chosen_ = -1;
    tableChanged(*read, "");
    return true;
}

// A file of another input, or a partial one, is opened only when the user says so.
bool MainWindow::tracksBelong(const ambrevo::TrackTable& table, const std::string& file) {
    std::string doubts;
    const std::string source = table.meta("source");
    if (!sameInput(source, reader_->input(), file))
        doubts += "It was made from '" + source + "', not from the input on screen ('" + reader_->input() +
                  "'): its tracks would be drawn on frames that are not theirs.\n";
    if (table.meta("status") == "partial")
        doubts += "It is partial (" + table.meta("reason") + "): it holds " + table.meta("frames_read") +
                  " frames of the " + table.meta("frames_expected") + " its run was to take.\n";
    return doubts.empty() ||
           dialogs_->question(this, "Open a track file",
                              q("'" + file + "':\n" + doubts + "\nOpen it anyway? Corrections would be made to it."));
}

bool MainWindow::correct(const QString& what, const std::function<std::string(ambrevo::TrackTable&)>& correction) {
    if (!table_) return say("no tracks to correct: run the analysis or open a track file", true), false;
    try {
        ambrevo::TrackTable trial = *table_;
        correction(trial);
    } catch (const std::exception& e) {
        return say(e.what(), true), false;
    }
    const uint64_t generation = tableGeneration_;
    undo_->push(new TableEdit(
        [this](const ambrevo::TrackTable& t, const std::string& said) { tableChanged(t, said); },
        [this, generation] { return generation == tableGeneration_; }, *table_, correction, what));
    return true;
}

bool MainWindow::swapTracks(long long a, long long b, long long from) {
    return correct(QString("Swap tracks %1 and %2 from frame %3").arg(a).arg(b).arg(from), [=](ambrevo::TrackTable& t) {
        const size_t rows = t.swap(a, b, from);
        return t.corrections().back() + " (" + std::to_string(rows) + " rows)";
    });
}

bool MainWindow::mergeTracks(long long from, long long into) {
    return correct(QString("Merge track %1 into %2").arg(from).arg(into), [=](ambrevo::TrackTable& t) {
        const size_t rows = t.merge(from, into);
        return t.corrections().back() + " (" + std::to_string(rows) + " rows)";
    });
}

bool MainWindow::deleteTrack(long long id) {
    return correct(QString("Delete track %1").arg(id), [=](ambrevo::TrackTable& t) {
        const size_t rows = t.remove(id);
        return t.corrections().back() + " (" + std::to_string(rows) + " rows)";
    });
}

bool MainWindow::splitTrack(long long id, long long from) {
    return correct(QString("Split track %1 from frame %2").arg(id).arg(from), [=](ambrevo::TrackTable& t) {
        t.split(id, from);
        return t.corrections().back();
    });
}

// The table as corrected (or read): its index, summaries, marks and labels follow it.
void MainWindow::tableChanged(const ambrevo::TrackTable& table, const std::string& what) {
    table_ = table;
    index_ = TrackIndex(&*table_);
    try {
        summaries_ = ambrevo::summarise_tracks(table_->points(), summarySettings(*table_));
    } catch (const std::exception& e) {
        summaries_.clear();
        say(e.what(), true);
    }
    showSummary();
    refreshReview();
    refreshUnsure();
    updateMarks();
    if (!what.empty()) say(what + (unsaved() ? " (not saved yet: Save corrections)" : ""));
}

void MainWindow::refreshReview() {
    QString done;
    if (table_)
        for (const std::string& c : table_->corrections()) done += q("• " + c + "\n");
    corrections_->setText(!table_           ? "No tracks: run the analysis or open a track file."
                          : done.isEmpty() ? "No corrections yet."
                                           : "Corrections in the track file:\n" + done);
    setWindowModified(unsaved());
    for (const char* name : {"saveTracks", "saveTracksAs"})
        if (auto* b = findChild<QPushButton*>(name)) b->setEnabled(table_.has_value());
    showPicked();
}

bool MainWindow::unsaved() const { return table_ && table_->text() != savedText_; }

void MainWindow::updateMarks() {
    std::vector<Mark> marks;
    if (table_)
        marks = index_.marksAt(current_, tail_->value(), unsureBelow_->value());
    else if (preview_.ok && preview_.frame == current_ && previewBox_->isChecked() && !running())
        marks = objectMarks(preview_.preview.objects);
    view_->setMarks(std::move(marks), chosen_);
}

void MainWindow::pick(double x, double y, bool second) {
    if (!table_) return say("no tracks to pick: run the analysis or open a track file", true);
    double best = 20 / std::max(0.05, view_->scale());
    long long id = -1;
    for (size_t row : index_.rows(current_))
        if (const double d = std::hypot(table_->x(row) - x, table_->y(row) - y);
            !table_->missing(row) && table_->identity(row) >= 0 && d < best)
            best = d, id = table_->identity(row);
    if (id >= 0) choose(id, second);
}

// `id` as the first track of the corrections (or the second), from the frame on screen.
void MainWindow::choose(long long id, bool second) {
    chosen_ = id;
    (second ? swapB_ : swapA_)->setValue(int(id));
    (second ? mergeInto_ : mergeFrom_)->setValue(int(id));
    if (!second) editTrack_->setValue(int(id));
    swapFrom_->setValue(int(current_));
    splitFrom_->setValue(int(current_));
    showPicked();
    updateMarks();
}

// The picked track's summary as the table now has it.
void MainWindow::showPicked() {
    if (!table_ || chosen_ < 0) return trackInfo_->setText("Pick a track on the frame (Pick track; Shift: the second one).");
    std::string text = table_->identityColumn() + " " + std::to_string(chosen_);
    const auto s = std::find_if(summaries_.begin(), summaries_.end(),
                                [&](const ambrevo::TrackSummary& t) { return t.track == chosen_; });
    if (s == summaries_.end()) return trackInfo_->setText(q(text + ": no longer in the tracks (merged or deleted)"));
    const ambrevo::SummarySettings settings = summarySettings(*table_);
    const std::string speed = settings.unit + (settings.fps > 0 ? "/s" : "/frame");
    char line[320];
    int n = std::snprintf(line, sizeof line,
                          ": frames %lld to %lld, seen on %lld, path %.1f %s, mean speed %.2f %s, max %.2f %s",
                          s->first_frame, s->last_frame, s->frames_seen, s->path_length, settings.unit.c_str(),
                          s->mean_speed, speed.c_str(), s->max_speed, speed.c_str());
    for (size_t row : index_.rows(current_))
        if (n > 0 && size_t(n) < sizeof line && table_->identity(row) == chosen_ &&
            std::isfinite(table_->confidence(row)))
            std::snprintf(line + n, sizeof line - size_t(n), "; its identity here %.0f%% sure",
                          100 * table_->confidence(row));
    trackInfo_->setText(q(text + line));
}

// The stretches where identities are less sure than asked, to go to one by one.
QWidget* MainWindow::buildUnsure() {
    auto* box = new QGroupBox("Unsure identities");
    auto* layout = new QVBoxLayout(box);
    auto* threshold = new QHBoxLayout;
    unsureBelow_ = new QDoubleSpinBox;
    unsureBelow_->setObjectName("unsureBelow");
    unsureBelow_->setRange(0, 1), unsureBelow_->setSingleStep(0.05), unsureBelow_->setValue(0.5);
    unsureBelow_->setToolTip("Rows whose identity is less sure than this (the track file's confidence column)");
    connect(unsureBelow_, &QDoubleSpinBox::valueChanged, this, [this] { refreshUnsure(), updateMarks(); });
    threshold->addWidget(new QLabel("Less sure than"));
    threshold->addWidget(unsureBelow_);
    threshold->addStretch(1);
    layout->addLayout(threshold);
    unsureNote_ = new QLabel;
    unsureNote_->setObjectName("unsureNote");
    unsureNote_->setWordWrap(true);
    layout->addWidget(unsureNote_);
    unsure_ = new QTableWidget(0, 3);
    unsure_->setObjectName("unsure");
    unsure_->setHorizontalHeaderLabels({"track", "frames", "lowest"});
    unsure_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    unsure_->setEditTriggers(QTableWidget::NoEditTriggers);
    unsure_->setSelectionBehavior(QTableWidget::SelectRows);
    unsure_->verticalHeader()->hide();
    connect(unsure_, &QTableWidget::cellClicked, this, [this](int row, int) { showStretch(row); });
    layout->addWidget(unsure_, 1);
    layout->addStretch(0);  // the note at the top while the list is hidden
    return box;
}

void MainWindow::refreshUnsure() {
    stretches_ = table_ ? index_.unsureStretches(unsureBelow_->value()) : std::vector<UnsureStretch>();
    const bool told = table_ && index_.hasConfidence();
    unsure_->setVisible(told);
    unsureNote_->setText(!table_ ? QString()
                         : !told ? "This track file tells no confidence of its identities: a run that counts "
                                   "its animals (--animals) and links them with global writes one."
                         : stretches_.empty() ? "None: every identity is at least as sure as that."
                                              : QString("%1 stretches; click one to go there.").arg(stretches_.size()));
    unsure_->setRowCount(int(stretches_.size()));
    for (size_t i = 0; i < stretches_.size(); ++i) {
        const UnsureStretch& u = stretches_[i];
        const QString frames =
            u.first == u.last ? QString::number(u.first) : QString("%1 to %2").arg(u.first).arg(u.last);
        const QStringList cells = {QString::number(u.id), frames, QString::number(u.lowest, 'f', 3)};
        for (int c = 0; c < 3; ++c) unsure_->setItem(int(i), c, new QTableWidgetItem(cells[c]));
    }
}

// The stretch's first frame, its track picked for the corrections.
void MainWindow::showStretch(int row) {
    if (row < 0 || size_t(row) >= stretches_.size()) return;
    const UnsureStretch u = stretches_[size_t(row)];
    if (showFrame(u.first)) choose(u.id, false);
}
