// The results of the tracks under review: the summary as a table in words and units, and the
// files: the corrected tracks saved (the file before kept beside it) with their summary and
// pictures drawn again.
#include <QFileInfo>
#include <QHeaderView>
#include <QTableWidget>
#include <cmath>
#include <fstream>
#include <sstream>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/tracks/background_plan.h"
#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "main_window.h"
#include "picture_view.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

std::string stemOf(const std::string& file) { return file.substr(0, file.rfind('.')); }

std::string readText(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

// A number to the decimals that mean something on screen; an unknown one stays empty.
QTableWidgetItem* cell(double value, int decimals) {
    auto* item = new QTableWidgetItem(std::isfinite(value) ? QString::number(value, 'f', decimals) : QString());
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

}  // namespace

void MainWindow::showSummary() {
    summaryTable_->clear();
    summaryTable_->setRowCount(int(summaries_.size()));
    if (!table_) return summaryTable_->setColumnCount(0);
    const ambrevo::SummarySettings s = summarySettings(*table_);
    const QString length = q(s.unit), time = s.fps > 0 ? "s" : "frames", speed = length + (s.fps > 0 ? "/s" : "/frame");
    QStringList header = {"Track", "First\nframe", "Last\nframe", "Frames\nseen", "Path\n(" + length + ")",
                          "Mean speed\n(" + speed + ")", "Top speed\n(" + speed + ")", "Outside\narenas (" + time + ")"};
    for (int k = 1; k <= s.arenas; ++k) header << QString("In arena %1\n(%2)").arg(k).arg(time);
    summaryTable_->setColumnCount(int(header.size()));
    summaryTable_->setHorizontalHeaderLabels(header);
    const int timeDecimals = s.fps > 0 ? 2 : 0;
    for (size_t r = 0; r < summaries_.size(); ++r) {
        const ambrevo::TrackSummary& t = summaries_[r];
        const int row = int(r);
        summaryTable_->setItem(row, 0, cell(double(t.track), 0));
        summaryTable_->setItem(row, 1, cell(double(t.first_frame), 0));
        summaryTable_->setItem(row, 2, cell(double(t.last_frame), 0));
        summaryTable_->setItem(row, 3, cell(double(t.frames_seen), 0));
        summaryTable_->setItem(row, 4, cell(t.path_length, 1));
        summaryTable_->setItem(row, 5, cell(t.mean_speed, 2));
        summaryTable_->setItem(row, 6, cell(t.max_speed, 2));
        for (int k = 0; k <= s.arenas; ++k)
            summaryTable_->setItem(row, 7 + k, cell(k < int(t.time_in_arena.size()) ? t.time_in_arena[size_t(k)] : 0,
                                                    timeDecimals));
    }
    summaryTable_->verticalHeader()->hide();
    summaryTable_->resizeColumnsToContents();
}

// Asked before what would drop corrections not saved: save them, drop them, or stay.
bool MainWindow::keepOrDiscardCorrections(const QString& before) {
    if (!unsaved()) return true;
    const int choice = dialogs_->choose(
        this, before, q("The tracks of '" + tableFile_ + "' have corrections that are not saved."),
        {"Save them", "Discard them"});
    return choice == 1 || (choice == 0 && storeTracks(false));
}

bool MainWindow::saveTracks() { return storeTracks(true); }

// Into the file under review. The file as its run wrote it is kept as STEM.original.csv: made
// when the file has no corrections yet (or no backup is there), kept when it has.
bool MainWindow::storeTracks(bool ask) {
    if (!table_) return say("no tracks to save: run the analysis or open a track file", true), false;
    if (!unsaved()) return say("the tracks of '" + tableFile_ + "' have no corrections to save"), true;
    const std::string backup = stemOf(tableFile_) + ".original.csv", before = readText(tableFile_);
    const bool keep = !before.empty() && (before.find("\n# correction_") == std::string::npos ||
                                          !QFileInfo::exists(q(backup)));
    if (ask && !dialogs_->question(this, "Save corrections",
                                   q("Write the corrections into '" + tableFile_ + "'? " +
                                     (keep ? "The file as it is now is kept as '" + backup + "'."
                                           : "'" + backup + "' keeps the file as it was before any correction."))))
        return false;
    if (keep)
        if (const Outcome kept = writeWholeFile(backup, "backup of the track file", before); !kept)
            return say(kept.error().message + "; the corrections were not saved", true), false;
    if (const Outcome written = writeTracks(tableFile_); !written) return say(written.error().message, true), false;
    say("corrections saved to '" + tableFile_ + "'" + (keep ? "; the file before is '" + backup + "'" : ""));
    return true;
}

bool MainWindow::saveTracksAs(const std::string& name) {
    if (!table_) return say("no tracks to save: run the analysis or open a track file", true), false;
    const std::string file = QFileInfo(q(name)).suffix().isEmpty() ? name + ".csv" : name;
    if (const Outcome written = writeTracks(file); !written) return say(written.error().message, true), false;
    say("tracks saved to '" + file + "'");
    return true;
}

// The table into `file`, with the summary and pictures beside it where the run made them;
// the review goes on with that file.
Outcome MainWindow::writeTracks(const std::string& file) {
    if (Outcome written = table_->write(file); !written) return written;
    const std::string stem = stemOf(file);
    const bool summary = QFileInfo::exists(q(summaryFile_)), plot = QFileInfo::exists(q(plotFile_)),
               heatmap = QFileInfo::exists(q(heatmapFile_));
    tableFile_ = file;
    summaryFile_ = stem + ".summary.csv", plotFile_ = stem + ".plot.png", heatmapFile_ = stem + ".heatmap.png";
    if (summary) writeSummary(summaryFile_);
    try {
        redrawPictures(plot ? plotFile_ : "", heatmap ? heatmapFile_ : "");
    } catch (const std::exception& e) {
        say(std::string("the pictures were not drawn again: ") + e.what(), true);
    }
    for (auto [view, picture] : {std::pair{plot_, plotFile_}, std::pair{heatmap_, heatmapFile_}})
        view->setPicture(QPixmap(q(picture)));
    savedText_ = table_->text();
    refreshReview();
    return {};
}

// The summary as the run wrote it, from the corrected tracks.
void MainWindow::writeSummary(const std::string& file) {
    std::ostringstream text;
    ambrevo::write_summary_csv(text, summaries_, summarySettings(*table_));
    if (const Outcome written = writeWholeFile(file, "summary", text.str()); !written)
        say(written.error().message, true);
}

// The run's pictures drawn again from the corrected tracks, over the background the run drew
// them on: the median of the same frames, with the arenas' outlines.
void MainWindow::redrawPictures(const std::string& plotFile, const std::string& heatmapFile) {
    const ambrevo::TrackTable& t = *table_;
    const int64_t read = std::atoll(t.meta("frames_read").c_str()), first = std::atoll(t.meta("first_frame").c_str());
    const int64_t expected = t.meta("frames_expected") == "unknown" ? 0 : std::atoll(t.meta("frames_expected").c_str());
    if ((plotFile.empty() && heatmapFile.empty()) || t.meta("source") != reader_->input() || read <= 0) return;
    // The frames the run sampled.
    const std::vector<int64_t> chosen = ambrevo::BackgroundPlan::frames(expected, read);
    std::vector<cv::Mat> samples(chosen.size());
    double time = 0;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (const Outcome read = reader_->read(first + chosen[i], samples[i], time); !read)
            return say(read.error().message, true);
    std::vector<ambrevo::Arena> arenas;
    for (int k = 1; !t.meta("arena_" + std::to_string(k)).empty(); ++k)
        arenas.push_back(ambrevo::parse_roi(t.meta("arena_" + std::to_string(k))));
    cv::Mat background = ambrevo::median_background(samples);
    if (!arenas.empty()) ambrevo::ArenaMap(arenas, background.size()).draw(background, cv::Scalar(40, 40, 40), 1);
    const ambrevo::SummarySettings summary = summarySettings(t);
    const ambrevo::PlotSettings settings{summary.pixels_per_unit, summary.unit};
    const std::vector<ambrevo::TrackPoint> points = t.points();
    for (const auto& [file, draw] :
         {std::pair{plotFile, &ambrevo::plot_trajectories}, {heatmapFile, &ambrevo::plot_heatmap}}) {
        if (file.empty()) continue;
        PendingFile pending;
        Outcome written = pending.create(file, "picture");
        if (written) written = writePicture(pending, draw(background, points, settings));
        if (!written) say(written.error().message, true);
    }
}
