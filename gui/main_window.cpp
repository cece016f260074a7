#include "main_window.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>
#include <opencv2/imgproc.hpp>

#include "arena_run.h"
#include "files.h"
#include "frame_view.h"
#include "request.h"
#include "settings_form.h"

namespace {

QImage toImage(const cv::Mat& bgr) {
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, bgr.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    return QImage(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888).copy();
}

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

MainWindow::MainWindow(const std::string& modulePath) {
    setWindowTitle("ambrevo-gui");
    std::string error;
    const bool loaded = module_.load(modulePath.empty() ? defaultModulePath() : modulePath, error);
    engine_ = std::make_unique<Engine>(module_, this);
    view_ = new FrameView;
    view_->arenasChanged = [this] { arenasChanged(); };
    view_->scaleDrawn = [this](double length) { scaleDrawn(length); };
    view_->picked = [this](double x, double y, bool second) { pick(x, y, second); };

    tabs_ = new QTabWidget;
    auto* framePage = new QWidget;
    auto* frameLayout = new QVBoxLayout(framePage);
    frameLayout->addWidget(view_, 1);
    frameLayout->addWidget(buildTimeline());
    tabs_->addTab(framePage, "Frame");
    for (QLabel** picture : {&plot_, &heatmap_}) {
        auto* scroll = new QScrollArea;
        *picture = new QLabel("Run the analysis to see it here.");
        (*picture)->setAlignment(Qt::AlignCenter);
        scroll->setWidget(*picture);
        scroll->setWidgetResizable(true);
        tabs_->addTab(scroll, picture == &plot_ ? "Trajectories" : "Heat map");
    }
    summaryTable_ = new QTableWidget;
    tabs_->addTab(summaryTable_, "Summary");

    side_ = new QTabWidget;
    side_->addTab(buildProcedurePage(), "Procedure");
    side_->addTab(buildArenaPage(), "Arenas");
    side_->addTab(buildRunPage(), "Run");
    side_->addTab(buildReviewPage(), "Review");
    side_->setMinimumWidth(380);

    auto* central = new QWidget;
    auto* columns = new QHBoxLayout(central);
    columns->addWidget(tabs_, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(side_, 1);
    messageLabel_ = new QLabel;
    messageLabel_->setWordWrap(true);
    right->addWidget(messageLabel_);
    columns->addLayout(right);
    setCentralWidget(central);
    buildToolBar();
    connect(&playTimer_, &QTimer::timeout, this, [this] {
        if (!showFrame(reader_.live() ? current_ + 1 : current_ + 1)) playTimer_.stop(), play_->setText("Play");
    });
    resize(1280, 760);

    if (!loaded) {
        say(error, true);
        return;
    }
    std::vector<std::string> names;
    if (!module_.requireProcedureName(error) || !procedureNames(module_, names, error)) names = {"flowtrack"};
    // The form is built once an input tells the frames' size.
    const QSignalBlocker quiet(procedureBox_);
    for (const std::string& name : names) procedureBox_->addItem(q(name));
    procedureBox_->setCurrentText(q(procedure_));
}

MainWindow::~MainWindow() { engine_.reset(); }

void MainWindow::buildToolBar() {
    QToolBar* bar = addToolBar("Main");
    bar->addAction("Open input…", this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Open a video or an image");
        if (!file.isEmpty()) openInput(file.toStdString());
    });
    bar->addAction("Load settings…", this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Load settings", {}, "Settings (*.json)");
        if (!file.isEmpty()) loadSettings(file.toStdString());
    });
    bar->addAction("Save settings…", this, [this] {
        const QString file = QFileDialog::getSaveFileName(this, "Save settings", {}, "Settings (*.json)");
        if (!file.isEmpty()) saveSettings(file.toStdString());
    });
    bar->addSeparator();
    auto* tools = new QActionGroup(this);
    const std::pair<const char*, FrameView::Tool> kinds[] = {
        {"Select", FrameView::Tool::select},    {"Rectangle", FrameView::Tool::rect},
        {"Circle", FrameView::Tool::circle},    {"Polygon", FrameView::Tool::polygon},
        {"Scale line", FrameView::Tool::scale}, {"Pick track", FrameView::Tool::pick}};
    for (const auto& [name, tool] : kinds) {
        QAction* a = bar->addAction(name, this, [this, tool = tool] { view_->setTool(tool); });
        a->setCheckable(true);
        a->setChecked(tool == FrameView::Tool::select);
        tools->addAction(a);
    }
}

QWidget* MainWindow::buildTimeline() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    play_ = new QPushButton("Play");
    timeline_ = new QSlider(Qt::Horizontal);
    frameBox_ = new QSpinBox;
    frameLabel_ = new QLabel;
    layout->addWidget(play_);
    layout->addWidget(timeline_, 1);
    layout->addWidget(frameBox_);
    layout->addWidget(frameLabel_);
    connect(timeline_, &QSlider::valueChanged, this, [this](int v) {
        if (v != current_) showFrame(v);
    });
    connect(frameBox_, &QSpinBox::valueChanged, this, [this](int v) {
        if (v != current_) showFrame(v);
    });
    connect(play_, &QPushButton::clicked, this, [this] {
        if (playTimer_.isActive()) return playTimer_.stop(), play_->setText("Play");
        playTimer_.start(int(1000 / std::max(1.0, reader_.fps())));
        play_->setText("Pause");
    });
    return row;
}

QWidget* MainWindow::buildProcedurePage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    procedureBox_ = new QComboBox;
    connect(procedureBox_, &QComboBox::currentTextChanged, this, [this](const QString& name) {
        if (name.toStdString() != procedure_ || form_->settings().empty()) chooseProcedure(name.toStdString());
    });
    previewBox_ = new QCheckBox("Live preview: process the frame on screen");
    previewBox_->setChecked(true);
    connect(previewBox_, &QCheckBox::toggled, this, [this] { requestPreview(); });
    form_ = new SettingsForm;
    form_->changed = [this](const std::string& name, const std::string& value) {
        std::erase_if(sets_, [&](const auto& s) { return s.first == name; });
        sets_.emplace_back(name, value);
        setupChanged();
    };
    auto* scroll = new QScrollArea;
    scroll->setWidget(form_);
    scroll->setWidgetResizable(true);
    layout->addWidget(new QLabel("Procedure"));
    layout->addWidget(procedureBox_);
    layout->addWidget(previewBox_);
    layout->addWidget(scroll, 1);
    return page;
}

QWidget* MainWindow::buildArenaPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(
        new QLabel("Draw arenas with the Rectangle, Circle or Polygon tool (a polygon closes on its "
                   "first point, a double click or Enter). Select one to move it or drag its handles; "
                   "Delete removes it."));
    layout->itemAt(0)->widget()->setProperty("wordWrap", true);
    arenaTable_ = new QTableWidget(0, 2);
    arenaTable_->setHorizontalHeaderLabels({"arena (--roi)", "animals"});
    arenaTable_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    layout->addWidget(arenaTable_, 1);
    auto* form = new QFormLayout;
    wholeAnimals_ = new QSpinBox;
    wholeAnimals_->setRange(0, 1000000);
    wholeAnimals_->setSpecialValueText("not given");
    connect(wholeAnimals_, &QSpinBox::valueChanged, this, [this](int n) {
        if (view_->arenas().empty()) animals_ = {n}, setupChanged();
    });
    form->addRow("Animals (no arenas)", wholeAnimals_);
    scaleLabel_ = new QLabel("none: draw a line of known length with the Scale line tool");
    scaleLabel_->setWordWrap(true);
    form->addRow("Scale", scaleLabel_);
    link_ = new QLineEdit;
    link_->setPlaceholderText("STEP[,MEMORY][,predict][,global], e.g. 15,5,predict");
    link_->setToolTip("Link the objects into tracks (--link); empty: no linking");
    connect(link_, &QLineEdit::editingFinished, this, [this] { setupChanged(); });
    form->addRow("Link", link_);
    layout->addLayout(form);
    return page;
}

bool MainWindow::openInput(const std::string& input) {
    playTimer_.stop();
    std::string error;
    if (!reader_.open(input, error)) return say(error, true), false;
    const int last = int(std::max<int64_t>(0, reader_.count() - 1));
    for (QWidget* w : std::initializer_list<QWidget*>{timeline_, frameBox_}) w->setEnabled(!reader_.live());
    const QSignalBlocker a(timeline_), b(frameBox_);
    timeline_->setRange(0, last);
    frameBox_->setRange(0, last);
    setWindowTitle(q("ambrevo-gui: " + input));
    // The outputs go beside the input, named after it (a sequence after its folder).
    const QFileInfo info(q(input));
    std::string stem = "ambrevo-gui";  // cameras and streams: the current folder
    if (input == "demo")
        stem = "ambrevo-demo";
    else if (info.isDir())
        stem = info.absoluteFilePath().toStdString();
    else if (input.find('%') != std::string::npos)
        stem = info.path().toStdString();
    else if (info.isFile())
        stem = (info.path() + "/" + info.completeBaseName()).toStdString();
    setTracksFile(stem + ".csv");
    current_ = -1;
    if (form_->settings().empty()) chooseProcedure(procedure_);
    return showFrame(0);
}

bool MainWindow::showFrame(int64_t frame) {
    if (reader_.input().empty()) return false;
    std::string error;
    if (!reader_.read(frame, frame_, frameTime_, error)) return say(error, true), false;
    current_ = frame;
    const QSignalBlocker a(timeline_), b(frameBox_);
    timeline_->setValue(int(frame));
    frameBox_->setValue(int(frame));
    frameLabel_->setText(frameTime_ >= 0 ? QString("%1 s").arg(frameTime_, 0, 'f', 2) : QString());
    view_->setImage(toImage(frame_));
    updateMarks();
    requestPreview();
    return true;
}

bool MainWindow::chooseProcedure(const std::string& name) {
    if (name != procedure_) {
        procedure_ = name;
        sets_.clear();
        if (saved_.procedure != name) settingsPath_.clear(), saved_ = {};
    }
    {
        const QSignalBlocker quiet(procedureBox_);
        procedureBox_->setCurrentText(q(name));
    }
    // The form shows what an instance made for this frame's size tells, before any change.
    Options o;
    o.procedure = name;
    o.settingsFile = settingsPath_;
    std::vector<SettingInfo> settings;
    int status = 0;
    std::string error;
    const int width = frame_.empty() ? 640 : frame_.cols, height = frame_.empty() ? 480 : frame_.rows;
    if (!describeSettings(module_, o, saved_, settings, status, error, true, width, height) && status != 0)
        say(error, true);
    form_->build(settings);
    setupChanged();
    return status == 0;
}

void MainWindow::say(const std::string& text, bool failure) {
    message_ = text;
    messageLabel_->setText(q(text));
    messageLabel_->setStyleSheet(failure ? "color: #c00000" : "");
}

Options MainWindow::options() const {
    Options o;
    o.input = reader_.input().empty() ? "demo" : reader_.input();
    o.inputGiven = true;
    o.procedure = procedure_;
    o.procedureGiven = true;
    o.settingsFile = settingsPath_;
    o.sets = sets_;
    for (const ArenaShape& a : view_->arenas()) o.rois.push_back(a.roi());
    const size_t arenas = std::max<size_t>(1, o.rois.size());
    if (animals_.size() == arenas && std::find(animals_.begin(), animals_.end(), 0) == animals_.end())
        o.animals = animals_;
    o.scale = scale_;
    o.unit = scale_ > 0 ? unit_ : "";
    o.link = link_->text().trimmed().toStdString();
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
    if (!o.settingsFile.empty()) {
        if (o.rois == saved_.arenas) o.rois.clear();
        if (o.animals == saved_.animals) o.animals.clear();
        if (o.scale == saved_.scale && o.unit == saved_.unit) o.scale = 0, o.unit.clear();
        if (o.link == saved_.link) o.link.clear();
    }
    return ::commandLine(o);
}

void MainWindow::setupChanged() {
    command_->setText(q(commandLine()));
    command_->setCursorPosition(0);
    requestPreview();
}

void MainWindow::requestPreview() {
    if (frame_.empty()) return;
    if (!previewBox_->isChecked() || running()) return view_->setImage(toImage(frame_));
    std::string error;
    PreviewJob job{options(), saved_, frame_, current_, frameTime_};
    if (!checkArenaOptions(job.options, error)) return say(error, true);
    engine_->preview(std::move(job), [this, asked = ++previewAsked_](const PreviewOutcome& outcome) {
        previewDone_ = asked;
        if (outcome.frame != current_) return;  // the screen moved on meanwhile
        previewed_ = outcome.frame;
        preview_ = outcome;
        if (!outcome.ok) return say(outcome.error.empty() ? "the procedure gave no picture" : outcome.error, true);
        if (!outcome.preview.annotated.empty()) view_->setImage(toImage(outcome.preview.annotated));
        form_->show(outcome.preview.settings);
        say(outcome.preview.objectsRead ? "frame " + std::to_string(outcome.frame) + ": " +
                                              std::to_string(outcome.preview.objects.size()) + " objects found"
                                        : "frame " + std::to_string(outcome.frame) + " processed");
    });
}

void MainWindow::arenasChanged() {
    animals_.resize(std::max<size_t>(1, view_->arenas().size()), 0);
    if (view_->arenas().empty()) animals_ = {wholeAnimals_->value()};
    refreshArenaTable();
    setupChanged();
}

void MainWindow::refreshArenaTable() {
    const std::vector<ArenaShape>& arenas = view_->arenas();
    arenaTable_->setRowCount(int(arenas.size()));
    wholeAnimals_->setEnabled(arenas.empty());
    for (size_t i = 0; i < arenas.size(); ++i) {
        auto* roi = new QTableWidgetItem(q(arenas[i].roi()));
        roi->setFlags(roi->flags() & ~Qt::ItemIsEditable);
        arenaTable_->setItem(int(i), 0, roi);
        arenaTable_->setVerticalHeaderItem(int(i), new QTableWidgetItem(QString::number(i + 1)));
        auto* count = new QSpinBox;
        count->setRange(0, 1000000);
        count->setSpecialValueText("not given");
        count->setValue(i < animals_.size() ? int(animals_[i]) : 0);
        connect(count, &QSpinBox::valueChanged, this, [this, i](int n) {
            if (i < animals_.size()) animals_[i] = n, setupChanged();
        });
        arenaTable_->setCellWidget(int(i), 1, count);
    }
}

void MainWindow::scaleDrawn(double length) {
    bool ok = false;
    const double known = QInputDialog::getDouble(
        this, "Scale", QString("The line is %1 pixels long. Its length in units:").arg(length, 0, 'f', 1), 10, 1e-6,
        1e9, 3, &ok);
    if (!ok) return;
    const QString unit = QInputDialog::getText(this, "Scale", "Unit (mm, cm, ...):", QLineEdit::Normal,
                                               unit_.empty() ? "mm" : q(unit_), &ok);
    if (ok) setScale(length / known, unit.trimmed().toStdString());
}

void MainWindow::setScale(double pixelsPerUnit, const std::string& unit) {
    scale_ = pixelsPerUnit;
    unit_ = unit;
    scaleLabel_->setText(scale_ > 0 ? q(exactNumber(scale_) + " pixels per " + (unit.empty() ? "unit" : unit))
                                    : "none");
    setupChanged();
}

void MainWindow::setAnimals(const std::vector<int64_t>& perArena) {
    animals_ = perArena;
    const QSignalBlocker quiet(wholeAnimals_);
    if (view_->arenas().empty() && !perArena.empty()) wholeAnimals_->setValue(int(perArena[0]));
    refreshArenaTable();
    setupChanged();
}

void MainWindow::setLink(const std::string& link) {
    link_->setText(q(link));
    setupChanged();
}

void MainWindow::setTracksFile(const std::string& file) {
    tracksFile_->setText(q(file));
    setupChanged();
}

bool MainWindow::loadSettings(const std::string& file) {
    SettingsFile read;
    std::string error;
    std::vector<ArenaShape> arenas;
    try {
        if (!readSettingsFile(file, read, error)) return say(error, true), false;
        for (const std::string& roi : read.arenas) arenas.push_back(ArenaShape::parse(roi));
    } catch (const std::exception& e) {
        return say("settings file '" + file + "': " + e.what(), true), false;
    }
    saved_ = read;
    settingsPath_ = file;
    view_->setArenas(arenas);
    link_->setText(q(read.link));
    scale_ = read.scale, unit_ = read.unit;
    procedure_.clear();  // the form is built afresh for the file's procedure
    chooseProcedure(read.procedure);
    setScale(read.scale, read.unit);
    setAnimals(read.animals.empty() ? std::vector<int64_t>(std::max<size_t>(1, arenas.size()), 0) : read.animals);
    say("settings read from '" + file + "'");
    return true;
}

bool MainWindow::saveSettings(const std::string& file) {
    const Options o = options();
    std::string error;
    if (!checkArenaOptions(o, error)) return say(error, true), false;
    SettingsFile f;
    f.version = preview_.preview.moduleVersion;
    f.procedure = procedure_;
    // The values in use on the last preview: the saved ones, the dialogue's and the form's.
    auto values = preview_.ok ? preview_.preview.settings : std::vector<std::pair<std::string, std::string>>{};
    if (values.empty())
        for (const SettingInfo& s : form_->settings()) values.emplace_back(s.name, formatSetting(s.type, s.value));
    for (const auto& [name, value] : values)
        if (std::any_of(form_->settings().begin(), form_->settings().end(),
                        [&](const SettingInfo& s) { return s.name == name; }))
            f.values.push_back({name, value});
    f.arenas = o.rois, f.animals = o.animals, f.scale = o.scale, f.unit = o.unit, f.link = o.link;
    PendingFile pending;
    if (!pending.create(file, "settings file", error) || !writeText(pending, settingsFileJson(f), error))
        return say(error, true), false;
    saved_ = f;
    settingsPath_ = file;
    sets_.clear();
    setupChanged();
    say("settings saved to '" + file + "'");
    return true;
}
