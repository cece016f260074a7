// The window's frame and its preview: the input opened (all or nothing), the timeline, and the
// frame on screen processed with the set-up on screen.
#include "main_window.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>

#include "ambrevo/pipeline/run/request.h"
#include "ambrevo/pipeline/sources/input_kind.h"
#include "frame_view.h"
#include "picture_view.h"
#include "settings_form.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// Frames a preview takes before the one on screen when that one alone shows nothing: enough
// for a difference of frames or a background that starts from the first frame.
constexpr int64_t framesBefore = 5;

// The side panel keeps its width whatever it says: its fields stay under the mouse.
constexpr int sideWidth = 420;

// The outputs go beside the input, named after it (a sequence after its folder); those of
// cameras and streams into the current folder.
std::string outputStem(const std::string& input) {
    const QFileInfo info(q(input));
    switch (inputKind(input)) {
        case InputKind::demo:
            return "ambrevo-demo";
        case InputKind::folder:
            return info.absoluteFilePath().toStdString();
        case InputKind::pattern:
            return info.path().toStdString();
        case InputKind::image:
        case InputKind::video:
            return (info.path() + "/" + info.completeBaseName()).toStdString();
        default:
            return "ambrevo-gui";
    }
}

}  // namespace

MainWindow::MainWindow(const std::string& modulePath)
    : reader_(std::make_unique<FrameReader>()), dialogs_(std::make_unique<Dialogs>()) {
    setWindowTitle("ambrevo-gui[*]");
    setAcceptDrops(true);
    const Outcome loaded = module_.load(modulePath.empty() ? defaultModulePath() : modulePath);
    engine_ = std::make_unique<Engine>(module_, this);
    undo_ = new QUndoStack(this);
    undo_->setUndoLimit(200);
    view_ = new FrameView;
    view_->arenasChanged = [this](const QString& what) { editArenas(what, view_->arenas()); };
    view_->scaleDrawn = [this](double length) { scaleDrawn(length); };
    view_->picked = [this](double x, double y, bool second) { pick(x, y, second); };
    setCentralWidget(buildCentral());
    buildMenus();
    buildToolBar();
    statusBar()->showMessage("Open an input: File ▸ Open, or drop a file here.");
    connect(&playTimer_, &QTimer::timeout, this, [this] {
        if (!showFrame(current_ + 1)) togglePlay();
    });
    resize(1280, 760);
    if (!loaded) {
        say(loaded.error().message, true);
        return;
    }
    // The module's default procedure first; every one it registers to choose from.
    setup_.procedure = moduleFacts(module_).defaultProcedure;
    const std::vector<std::string> names =
        module_.requireProcedureName() ? procedureNames(module_) : std::vector<std::string>{setup_.procedure};
    // The form is built once an input tells the frames' size.
    const QSignalBlocker quiet(procedureBox_);
    for (const std::string& name : names) procedureBox_->addItem(q(name));
    procedureBox_->setCurrentText(q(setup_.procedure));
}

MainWindow::~MainWindow() { engine_.reset(); }

QWidget* MainWindow::buildCentral() {
    tabs_ = new QTabWidget;
    auto* framePage = new QWidget;
    auto* frameLayout = new QVBoxLayout(framePage);
    frameLayout->addWidget(view_, 1);
    // Three lines, said or not: the frame keeps its size (and the arenas their place under the mouse).
    previewNote_ = new QLabel;
    previewNote_->setObjectName("previewNote");
    previewNote_->setWordWrap(true);
    previewNote_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    previewNote_->setFixedHeight(previewNote_->fontMetrics().lineSpacing() * 3 + 4);
    frameLayout->addWidget(previewNote_);
    frameLayout->addWidget(buildTimeline());
    tabs_->addTab(framePage, "Frame");
    plot_ = new PictureView("Run the analysis to see the trajectories here.");
    heatmap_ = new PictureView("Run the analysis to see the heat map here.");
    plot_->setObjectName("plot"), heatmap_->setObjectName("heatmap");
    tabs_->addTab(plot_, "Trajectories");
    tabs_->addTab(heatmap_, "Heat map");
    summaryTable_ = new QTableWidget;
    summaryTable_->setObjectName("summary");
    summaryTable_->setEditTriggers(QTableWidget::NoEditTriggers);
    tabs_->addTab(summaryTable_, "Summary");

    side_ = new QTabWidget;
    side_->addTab(buildProcedurePage(), "Procedure");
    side_->addTab(buildArenaPage(), "Arenas");
    side_->addTab(buildRunPage(), "Run");
    side_->addTab(buildReviewPage(), "Review");
    side_->addTab(buildBatchPage(), "Batch");
    auto* sideColumn = new QWidget;
    sideColumn->setObjectName("side");
    sideColumn->setFixedWidth(sideWidth);
    auto* right = new QVBoxLayout(sideColumn);
    right->setContentsMargins(0, 0, 0, 0);
    right->addWidget(side_, 1);
    messageLabel_ = new QLabel;
    messageLabel_->setObjectName("message");
    messageLabel_->setWordWrap(true);
    messageLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    right->addWidget(messageLabel_);

    auto* central = new QWidget;
    auto* columns = new QHBoxLayout(central);
    columns->addWidget(tabs_, 1);
    columns->addWidget(sideColumn);
    return central;
}

QWidget* MainWindow::buildTimeline() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    play_ = new QPushButton("Play");
    play_->setToolTip("Play or pause (Space)");
    timeline_ = new QSlider(Qt::Horizontal);
    frameBox_ = new QSpinBox;
    frameBox_->setObjectName("frame");
    frameBox_->setToolTip("The frame on screen, counted from 0 as in the track file (Left and Right step)");
    frameCount_ = new QLabel;
    frameCount_->setObjectName("frameCount");
    frameTimeLabel_ = new QLabel;
    layout->addWidget(play_);
    layout->addWidget(timeline_, 1);
    layout->addWidget(frameBox_);
    layout->addWidget(frameCount_);
    layout->addWidget(frameTimeLabel_);
    connect(timeline_, &QSlider::valueChanged, this, [this](int v) {
        if (v != current_) showFrame(v);
    });
    connect(frameBox_, &QSpinBox::valueChanged, this, [this](int v) {
        if (v != current_) showFrame(v);
    });
    connect(play_, &QPushButton::clicked, this, [this] { togglePlay(); });
    return row;
}

void MainWindow::togglePlay() {
    if (playTimer_.isActive()) return playTimer_.stop(), play_->setText("Play");
    if (!reader_->live() && current_ + 1 >= reader_->count()) showFrame(0);
    playTimer_.start(int(1000 / std::max(1.0, reader_->fps())));
    play_->setText("Pause");
}

void MainWindow::stepFrames(int64_t by) {
    if (reader_->input().empty()) return;
    const int64_t last = reader_->live() ? current_ + 1 : std::max<int64_t>(0, reader_->count() - 1);
    showFrame(std::clamp<int64_t>(current_ + by, 0, last));
}

bool MainWindow::openInput(const std::string& input) {
    if (running()) return say("a run is in progress: cancel it before opening another input", true), false;
    auto reader = std::make_unique<FrameReader>();
    cv::Mat first;
    double time = -1;
    Outcome opened = reader->open(input);
    if (opened) opened = reader->read(0, first, time);
    if (!opened) return say(opened.error().message, true), false;
    if (!keepOrDiscardCorrections(q("Open '" + input + "'"))) return false;
    if (playTimer_.isActive()) togglePlay();
    const cv::Size was = frame_.size();
    reader_ = std::move(reader);
    clearResults();
    undo_->clear();
    const int last = int(std::max<int64_t>(0, reader_->count() - 1));
    for (QWidget* w : std::initializer_list<QWidget*>{timeline_, frameBox_}) w->setEnabled(!reader_->live());
    {
        const QSignalBlocker a(timeline_), b(frameBox_);
        timeline_->setRange(0, last);
        frameBox_->setRange(0, reader_->live() ? INT32_MAX : last);
    }
    setWindowTitle(q("ambrevo-gui: " + input + "[*]"));
    setTracksFile(outputStem(input) + ".csv");
    current_ = -1;
    frame_ = first;
    rebuildForm();
    const Setup before = setup_;
    applySetup(setup_);
    showFrame(0);
    tellKept(before, was);
    rememberInput(input);
    return true;
}

// The results of the input before go with it: its tracks, pictures, summary and messages.
void MainWindow::clearResults() {
    ++tableGeneration_;
    table_.reset();
    savedText_.clear();
    index_ = TrackIndex();
    tableFile_.clear(), summaryFile_.clear(), plotFile_.clear(), heatmapFile_.clear();
    summaries_.clear();
    chosen_ = -1;
    plot_->setPicture({});
    heatmap_->setPicture({});
    summaryTable_->clear();
    summaryTable_->setRowCount(0), summaryTable_->setColumnCount(0);
    refreshReview();
    refreshUnsure();
    progress_->setRange(0, 1), progress_->setValue(0);
    progressLabel_->clear();
    lastRun_ = {};
    framesDone_ = 0;
    say("");
    updateMarks();
}

// A set-up kept from the input before is said, so that it does not carry over unseen; arenas
// and a scale drawn on frames of another size do not fit these and go (undo brings them back).
void MainWindow::tellKept(const Setup& before, cv::Size was) {
    std::vector<std::string> kept;
    for (const auto& [name, value] : before.sets) kept.push_back(name + " " + value);
    if (!before.settingsPath.empty()) kept.push_back("the settings of '" + before.settingsPath + "'");
    if (!before.arenas.empty()) kept.push_back(std::to_string(before.arenas.size()) + " arena(s)");
    if (std::any_of(before.animals.begin(), before.animals.end(), [](int64_t n) { return n > 0; }))
        kept.push_back("the animals");
    if (before.scale > 0) kept.push_back("the scale");
    if (!before.link.empty()) kept.push_back("the link " + before.link);
    if (kept.empty() || was.empty()) return;
    std::string text = "Kept from the input before: ";
    for (size_t i = 0; i < kept.size(); ++i) text += (i ? ", " : "") + kept[i];
    text += ". Edit ▸ Reset the set-up starts afresh.";
    if (was != frame_.size() && (!before.arenas.empty() || before.scale > 0)) {
        edit("Drop the arenas and scale of other frames", [](Setup& s) {
            s.arenas.clear(), s.animals = {0}, s.scale = 0, s.unit.clear();
        });
        text += " The arenas and the scale were drawn on " + std::to_string(was.width) + "x" +
                std::to_string(was.height) + " frames, these are " + std::to_string(frame_.cols) + "x" +
                std::to_string(frame_.rows) + ": they were dropped (Edit ▸ Undo brings them back).";
    }
    say(text);
}

bool MainWindow::showFrame(int64_t frame) {
    if (reader_->input().empty()) return false;
    cv::Mat bgr;
    double time = -1;
    if (const Outcome read = reader_->read(frame, bgr, time); !read) return say(read.error().message, true), false;
    frame_ = bgr, frameTime_ = time, current_ = frame;
    const QSignalBlocker a(timeline_), b(frameBox_);
    timeline_->setValue(int(frame));
    frameBox_->setValue(int(frame));
    const QString last = reader_->live() ? "live" : QString::number(std::max<int64_t>(0, reader_->count() - 1));
    frameCount_->setText(QString("/ %1").arg(last));
    frameTimeLabel_->setText(frameTime_ >= 0 ? QString("%1 s").arg(frameTime_, 0, 'f', 2) : QString());
    // The frame itself until its preview comes.
    view_->setImage(toQImage(frame_));
    updateMarks();
    if (table_ && index_.hasConfidence()) showPicked();  // how sure the picked identity is here
    requestPreview();
    return true;
}

void MainWindow::say(const std::string& text, bool failure) {
    message_ = text;
    messageLabel_->setText(q(text));
    messageLabel_->setStyleSheet(failure ? "color: #c00000" : "");
}

void MainWindow::notePreview(const std::string& text, bool failure) {
    previewNote_->setText(q(text));
    previewNote_->setStyleSheet(failure ? "color: #c00000" : "");
    previewNote_->setToolTip(q(text));
}

std::string MainWindow::previewNote() const { return previewNote_->text().toStdString(); }

Options MainWindow::options() const {
    Options o;
    o.input = reader_->input().empty() ? "demo" : reader_->input();
    o.inputGiven = true;
    o.procedure = setup_.procedure;
    o.procedureGiven = true;
    o.settingsFile = setup_.settingsPath;
    o.sets = setup_.sets;
    for (const ArenaShape& a : setup_.arenas) o.rois.push_back(a.roi());
    const size_t arenas = std::max<size_t>(1, o.rois.size());
    if (setup_.animals.size() == arenas && std::find(setup_.animals.begin(), setup_.animals.end(), 0) == setup_.animals.end())
        o.animals = setup_.animals;
    o.scale = setup_.scale;
    o.unit = setup_.scale > 0 ? setup_.unit : "";
    // A link that does not read is kept as text: the run refuses it with the reason.
    if (!::setLink(o, setup_.link)) o.link = setup_.link;
    o.grey = greyBox_->isChecked();
    o.start = startBox_->value();
    o.end = endBox_->value() > 0 ? endBox_->value() : -1;
    o.fps = fpsBox_->value();
    o.tracksFile = tracksFile_->text().toStdString();
    if (!o.tracksFile.empty()) {
        const std::string stem = o.tracksFile.substr(0, o.tracksFile.rfind('.'));
        o.summaryFile = stem + ".summary.csv";
        o.plotFile = stem + ".plot.png";
        o.heatmapFile = stem + ".heatmap.png";
    }
    return o;
}

std::string MainWindow::commandLine() const {
    Options o = options();
    // What the settings file holds need not be repeated: the program takes it from there.
    const SettingsFile& saved = *setup_.saved;
    if (!o.settingsFile.empty()) {
        if (o.rois == saved.arenas) o.rois.clear();
        if (o.animals == saved.animals) o.animals.clear();
        if (o.scale == saved.scale && o.unit == saved.unit) o.scale = 0, o.unit.clear();
        if (o.link == saved.link) o.link.clear(), o.linking.reset();
    }
    return ::commandLine(o);
}

void MainWindow::requestPreview() {
    if (frame_.empty() || current_ < 0) return;
    if (!previewBox_->isChecked() || running()) {
        view_->setImage(toQImage(frame_));
        return updateMarks();
    }
    PreviewJob job{options(), *setup_.saved, {HeldFrame{frame_, frameTime_}}, current_};
    if (const Outcome arenas = checkArenaOptions(job.options); !arenas) return notePreview(arenas.error().message, true);
    engine_->preview(std::move(job),
                     [this, asked = ++previewAsked_](const PreviewOutcome& outcome) { previewArrived(outcome, asked); });
}

void MainWindow::previewArrived(const PreviewOutcome& outcome, uint64_t asked) {
    // A later request is on its way: this one is of a set-up or frame no longer on screen.
    if (asked != previewAsked_ || outcome.frame != current_) return;
    if (previewWithFramesBefore(outcome)) return;
    previewDone_ = asked;
    previewed_ = outcome.frame;
    preview_ = outcome;
    if (!outcome.ok) {
        notePreview(outcome.error.empty() ? "the procedure gave no picture" : outcome.error, true);
        view_->setImage(toQImage(frame_));
        return updateMarks();
    }
    if (!outcome.preview.annotated.empty()) view_->setImage(toQImage(outcome.preview.annotated));
    form_->show(outcome.preview.settings);
    updateMarks();
    tellPreview(outcome);
}

// A frame that shows nothing alone is processed again after the frames before it, as a run
// started there would take them: a set-up that learns a background or differences of frames
// finds nothing on one frame.
bool MainWindow::previewWithFramesBefore(const PreviewOutcome& outcome) {
    if (!outcome.ok || outcome.before > 0 || !outcome.preview.objectsRead || !outcome.preview.objects.empty() ||
        current_ == 0 || reader_->live())
        return false;
    const int64_t first = std::max<int64_t>(0, current_ - framesBefore);
    PreviewJob job{options(), *setup_.saved, {}, first};
    for (int64_t f = first; f < current_; ++f) {
        HeldFrame held;
        if (!reader_->read(f, held.bgr, held.time)) return false;
        job.frames.push_back(held);
    }
    job.frames.push_back({frame_, frameTime_});
    engine_->preview(std::move(job),
                     [this, asked = ++previewAsked_](const PreviewOutcome& later) { previewArrived(later, asked); });
    return true;
}

// What the preview found, and why it may have found nothing.
void MainWindow::tellPreview(const PreviewOutcome& outcome) {
    const FramePreview& p = outcome.preview;
    const std::string frame = "frame " + std::to_string(outcome.frame);
    const std::string after =
        outcome.before > 0 ? " after the " + std::to_string(outcome.before) + " frames before it" : "";
    if (!p.objectsRead) return notePreview(""), statusBar()->showMessage(q(frame + " processed" + after));
    statusBar()->showMessage(q(frame + ": " + std::to_string(p.objects.size()) + " objects found" + after));
    std::string text;
    if (!p.objects.empty() && outcome.before > 0)
        text = "Frame " + std::to_string(outcome.frame) + " alone shows no objects: this set-up learns from the "
               "frames before (a background, a difference of frames), so the preview takes the " +
               std::to_string(outcome.before) + " before it, as a run started there would.";
    else if (p.objects.empty())
        text = "No objects found on " + frame + (outcome.before > 0 ? ", nor after the frames before it" : "") +
               (outcome.frame == 0 ? " (a set-up that learns from earlier frames finds them from the next frames on)"
                                   : "") +
               "." + (p.notice.empty() ? "" : "\n" + p.notice);
    notePreview(text);
}

void MainWindow::showTabs(int picture, int side) {
    tabs_->setCurrentIndex(picture);
    side_->setCurrentIndex(side);
}
