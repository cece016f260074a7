// The window of ambrevo-gui: the input and its timeline, the procedure's settings with a live
// preview, the arenas and scale drawn on the frame, the run with its progress, and the review
// of its tracks with corrections by hand. Everything it runs goes through the pipeline library,
// as the program's runs do, so that the command line it shows repeats the analysis exactly.
//
// The set-up (setup.h) and the corrections are edits on one undo stack. Opening another input
// keeps the set-up (one set-up for the videos of one experiment) and says what it kept; the
// results of the input before go.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>

#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/tracks/track_table.h"
#include "dialogs.h"
#include "engine.h"
#include "frame_reader.h"
#include "marks.h"
#include "setup.h"

class BatchQueue;
class FrameView;
class PictureView;
class SettingsForm;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTableWidget;
class QTabWidget;
class QUndoStack;

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(const std::string& modulePath = {});
    ~MainWindow() override;

    // Each returns false and says why in the window's message line. A failed open changes nothing.
    bool openInput(const std::string& input);
    bool showFrame(int64_t frame);
    bool chooseProcedure(const std::string& name);
    bool loadSettings(const std::string& file);
    // Adds ".json" to a name without an extension.
    bool saveSettings(const std::string& file);
    // Asks first when the file is of another input than the one on screen, or partial.
    bool openTracks(const std::string& file);
    // Corrections of the tracks under review; kept in the window until saved.
    bool swapTracks(long long a, long long b, long long from);
    bool mergeTracks(long long from, long long into);
    bool deleteTrack(long long id);
    bool splitTrack(long long id, long long from);
    // Into the file under review, after a question, its first state kept beside it as
    // STEM.original.csv; or into another file. The summary and pictures beside it follow.
    bool saveTracks();
    bool saveTracksAs(const std::string& file);
    // The input's frames with the tracks under review drawn on them, on the worker thread.
    bool exportVideo(const std::string& file);
    void startRun();
    void cancelRun();

    // The run the window is set up for, and the ambrevo call that repeats it.
    Options options() const;
    std::string commandLine() const;
    void setTracksFile(const std::string& file);
    // Edits of the set-up, each undoable.
    void setArenas(std::vector<ArenaShape> arenas);
    void setAnimals(const std::vector<int64_t>& perArena);
    void setScale(double pixelsPerUnit, const std::string& unit);
    void setLink(const std::string& link);
    void resetSettings();
    // Everything but the procedure back to its start: no settings file, no arenas, no scale.
    void resetSetup();
    // The run's own options (--grey, --start, --end, --fps); 0 for end and fps: not given.
    void setRunOptions(bool grey, int64_t start, int64_t end, double fps);

    // Brings a page of the picture's tabs and one of the side's to the front.
    void showTabs(int picture, int side);
    FrameView* view() const { return view_; }
    SettingsForm* form() const { return form_; }
    BatchQueue* batch() const { return batch_; }
    QUndoStack* undoStack() const { return undo_; }
    const Setup& setup() const { return setup_; }
    void setDialogs(std::unique_ptr<Dialogs> dialogs) { dialogs_ = std::move(dialogs); }
    bool running() const { return engine_ && engine_->running(); }
    // The frame the last finished preview was of (-1: none yet), and what it gave.
    int64_t previewedFrame() const { return previewed_; }
    const PreviewOutcome& preview() const { return preview_; }
    // Whether the last preview asked for has come back: preview() is of the set-up on screen.
    bool previewCurrent() const { return previewDone_ == previewAsked_; }
    const RunOutcome& lastRun() const { return lastRun_; }
    const std::string& message() const { return message_; }
    // What the preview of the frame on screen says besides the objects it found: its failure,
    // or why it may have found none.
    std::string previewNote() const;
    int64_t currentFrame() const { return current_; }
    // Frames the run in hand (or the last) had done when it last told.
    int64_t framesDone() const { return framesDone_; }
    const ambrevo::TrackTable* tracks() const { return table_ ? &*table_ : nullptr; }
    const std::string& tracksFile() const { return tableFile_; }
    // Whether the tracks under review have corrections not yet saved.
    bool unsaved() const;
    // Told the frames done whenever the run in hand tells them (after the window shows them).
    std::function<void(int64_t done)> onProgress;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The window's parts (main_window.cpp, window_menus.cpp, window_setup.cpp, run_review.cpp).
    QWidget* buildCentral();
    QWidget* buildTimeline();
    QWidget* buildProcedurePage();
    QWidget* buildArenaPage();
    QWidget* buildRunPage();
    QWidget* buildRunOptions();
    QWidget* buildReviewPage();
    QWidget* buildBatchPage();
    QWidget* buildCorrections();
    void buildMenus();
    void buildFileMenu();
    void buildEditMenus();
    void buildPlayMenu(QMenu* menu);
    void buildToolBar();
    QAction* addAction(QMenu* menu, const QString& name, const QString& text, const QKeySequence& key,
                       std::function<void()> call);
    void showHelp();
    void showAbout();
    void rememberInput(const std::string& input);
    void refreshRecent();
    void say(const std::string& text, bool failure = false);
    void notePreview(const std::string& text, bool failure = false);

    // The input.
    bool openCamera();
    void clearResults();
    void tellKept(const Setup& before, cv::Size was);
    void togglePlay();
    void stepFrames(int64_t by);

    // The set-up and its preview.
    void edit(const QString& what, const std::function<void(Setup&)>& change, const std::string& mergeKey = {});
    void editArenas(const QString& what, std::vector<ArenaShape> arenas);
    void applySetup(const Setup& setup);
    void rebuildForm();
    std::vector<std::pair<std::string, std::string>> formValues() const;
    void setupChanged();
    void requestPreview();
    void previewArrived(const PreviewOutcome& outcome, uint64_t asked);
    bool previewWithFramesBefore(const PreviewOutcome& outcome);
    void tellPreview(const PreviewOutcome& outcome);
    void scaleDrawn(double length);
    void refreshArenaTable();

    // The run and the review.
    bool keepOrDiscardCorrections(const QString& before);
    void setRunning(bool running);
    void runProgress(int64_t done, int64_t expected);
    void runFinished(const RunOutcome& outcome);
    void tellRunFound(const RunOutcome& outcome);
    void showResults(const Options& run);
    bool tracksBelong(const ambrevo::TrackTable& table, const std::string& file);
    Outcome writeTracks(const std::string& file);
    void showSummary();
    void redrawPictures(const std::string& plotFile, const std::string& heatmapFile);
    void writeSummary(const std::string& file);
    bool correct(const QString& what, const std::function<std::string(ambrevo::TrackTable&)>& correction);
    void tableChanged(const ambrevo::TrackTable& table, const std::string& what);
    void refreshReview();
    bool loadTracks(const std::string& file, bool ask);
    bool storeTracks(bool ask);
    void updateMarks();
    void pick(double x, double y, bool second);
    void choose(long long id, bool second);
    QWidget* buildUnsure();
    void refreshUnsure();
    void showStretch(int row);
    void showPicked();
    void exportFinished(const RunOutcome& outcome, const std::string& file);

    Module module_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<FrameReader> reader_;
    std::unique_ptr<Dialogs> dialogs_;
    QUndoStack* undo_;
    cv::Mat frame_;
    double frameTime_ = -1;
    int64_t current_ = 0, previewed_ = -1, framesDone_ = 0;
    uint64_t previewAsked_ = 0, previewDone_ = 0;
    PreviewOutcome preview_;
    RunOutcome lastRun_;
    std::string message_;

    Setup setup_;
    std::vector<SettingInfo> described_;  // the form's settings as the set-up's file gives them
    bool formFailed_ = false;             // whether the module refused to tell them

    // The review: the table as corrected, the one last saved (or read), the files beside it.
    std::optional<ambrevo::TrackTable> table_;
    uint64_t tableGeneration_ = 0;  // a new table makes the corrections of the one before void
    std::string savedText_;
    TrackIndex index_;
    std::string tableFile_, summaryFile_, plotFile_, heatmapFile_;
    std::vector<ambrevo::TrackSummary> summaries_;
    std::vector<UnsureStretch> stretches_;
    long long chosen_ = -1;
    bool closeAfterRun_ = false;  // the window closes once the run in hand has ended

    FrameView* view_;
    SettingsForm* form_;
    BatchQueue* batch_;
    QTabWidget *tabs_, *side_;
    QSlider* timeline_;
    QSpinBox *frameBox_, *tail_;
    QPushButton *play_, *run_, *cancel_;
    QTimer playTimer_;
    QLabel *frameCount_, *frameTimeLabel_, *messageLabel_, *previewNote_, *scaleLabel_, *progressLabel_, *trackInfo_;
    PictureView *plot_, *heatmap_;
    QComboBox* procedureBox_;
    QCheckBox *previewBox_, *greyBox_;
    QTableWidget *arenaTable_, *summaryTable_;
    QSpinBox *wholeAnimals_, *startBox_, *endBox_;
    QDoubleSpinBox* fpsBox_;
    QLineEdit *link_, *tracksFile_;
    QPlainTextEdit* command_;
    QProgressBar* progress_;
    QSpinBox *swapA_, *swapB_, *swapFrom_, *mergeFrom_, *mergeInto_, *editTrack_, *splitFrom_;
    QLabel *corrections_, *unsureNote_;
    QDoubleSpinBox* unsureBelow_;
    QTableWidget* unsure_;
    QMenu* recentMenu_;
    std::chrono::steady_clock::time_point runStart_;
};
