// The window of ambrevo-gui: the input and its timeline, the procedure's settings with a live
// preview, the arenas and scale drawn on the frame, the run with its progress, and the review
// of its tracks with corrections by hand. Everything it runs goes through the pipeline library,
// as the program's runs do, so that the command line it shows repeats the analysis exactly.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>

#include "engine.h"
#include "frame_reader.h"
#include "module.h"
#include "track_table.h"

class FrameView;
class SettingsForm;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTableWidget;
class QTabWidget;

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(const std::string& modulePath = {});
    ~MainWindow() override;

    // Each returns false and says why in the window's message line.
    bool openInput(const std::string& input);
    bool showFrame(int64_t frame);
    bool chooseProcedure(const std::string& name);
    bool loadSettings(const std::string& file);
    bool saveSettings(const std::string& file);
    bool openTracks(const std::string& file);
    bool swapTracks(long long a, long long b, long long from);
    bool mergeTracks(long long from, long long into);
    void startRun();
    void cancelRun();

    // The run the window is set up for, and the ambrevo call that repeats it.
    Options options() const;
    std::string commandLine() const;
    void setTracksFile(const std::string& file);
    void setAnimals(const std::vector<int64_t>& perArena);
    void setScale(double pixelsPerUnit, const std::string& unit);
    void setLink(const std::string& link);

    FrameView* view() const { return view_; }
    SettingsForm* form() const { return form_; }
    bool running() const { return engine_ && engine_->running(); }
    // The frame the last finished preview was of (-1: none yet), and what it gave.
    int64_t previewedFrame() const { return previewed_; }
    const PreviewOutcome& preview() const { return preview_; }
    // Whether the last preview asked for has come back: preview() is of the set-up on screen.
    bool previewCurrent() const { return previewDone_ == previewAsked_; }
    const RunOutcome& lastRun() const { return lastRun_; }
    const std::string& message() const { return message_; }
    int64_t currentFrame() const { return current_; }
    // Frames the run in hand (or the last) had done when it last told.
    int64_t framesDone() const { return framesDone_; }
    // Told the frames done whenever the run in hand tells them (after the window shows them).
    std::function<void(int64_t done)> onProgress;
    // Asks before a run replaces a track file (the tests say no).
    bool confirmOverwrite = true;

private:
    QWidget* buildTimeline();
    QWidget* buildProcedurePage();
    QWidget* buildArenaPage();
    QWidget* buildRunPage();
    QWidget* buildReviewPage();
    void buildToolBar();
    void say(const std::string& text, bool failure = false);
    void setupChanged();
    void requestPreview();
    void arenasChanged();
    void scaleDrawn(double length);
    void refreshArenaTable();
    void runProgress(int64_t done, int64_t expected);
    void runFinished(const RunOutcome& outcome);
    void showResults(const Options& run);
    void showSummary(const std::string& file);
    void redrawPictures();
    void updateMarks();
    void pick(double x, double y, bool second);
    bool corrected(const std::string& what);
    void setRunning(bool running);

    Module module_;
    std::unique_ptr<Engine> engine_;
    FrameReader reader_;
    cv::Mat frame_;
    double frameTime_ = -1;
    int64_t current_ = 0, previewed_ = -1, framesDone_ = 0;
    uint64_t previewAsked_ = 0, previewDone_ = 0;
    PreviewOutcome preview_;
    RunOutcome lastRun_;
    std::string message_;

    // The set-up besides what the view holds (the arenas).
    std::string procedure_ = "flowtrack";
    std::vector<std::pair<std::string, std::string>> sets_;  // changed in the form, in order
    std::string settingsPath_;
    SettingsFile saved_;
    std::vector<int64_t> animals_;  // per arena (one without arenas); 0: not given
    double scale_ = 0;
    std::string unit_;

    // The review.
    std::optional<ambrevo::TrackTable> table_;
    std::string tableFile_, summaryFile_, plotFile_, heatmapFile_;
    std::map<long long, std::vector<size_t>> byFrame_;
    std::vector<ambrevo::TrackSummary> summaries_;
    long long chosen_ = -1;

    FrameView* view_;
    SettingsForm* form_;
    QTabWidget *tabs_, *side_;
    QSlider* timeline_;
    QSpinBox *frameBox_, *tail_;
    QPushButton *play_, *run_, *cancel_;
    QTimer playTimer_;
    QLabel *frameLabel_, *messageLabel_, *scaleLabel_, *progressLabel_, *trackInfo_, *plot_, *heatmap_;
    QComboBox* procedureBox_;
    QCheckBox* previewBox_;
    QTableWidget *arenaTable_, *summaryTable_;
    QSpinBox* wholeAnimals_;
    QLineEdit *link_, *tracksFile_, *command_;
    QProgressBar* progress_;
    QSpinBox *swapA_, *swapB_, *swapFrom_, *mergeFrom_, *mergeInto_;
    QLabel* corrections_;
    std::chrono::steady_clock::time_point runStart_;
};
