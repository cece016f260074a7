// The window's menus and shortcuts (the platform's own keys where it has them), the recent
// inputs, files dropped on the window, the help and the questions before closing.
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QTextBrowser>
#include <QToolBar>
#include <QUndoStack>
#include <QVBoxLayout>

#include "batch_queue.h"
#include "frame_view.h"
#include "main_window.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

constexpr int recentKept = 10;

const char videoFilter[] =
    "Videos and images (*.mp4 *.avi *.mov *.mkv *.m4v *.mpg *.mpeg *.wmv *.webm *.png *.jpg *.jpeg *.tif *.tiff *.bmp);;"
    "All files (*)";

}  // namespace

QAction* MainWindow::addAction(QMenu* menu, const QString& name, const QString& text, const QKeySequence& key,
                               std::function<void()> call) {
    QAction* a = menu->addAction(text, this, std::move(call));
    a->setObjectName(name);
    a->setShortcut(key);
    return a;
}

void MainWindow::buildMenus() {
    buildFileMenu();
    buildEditMenus();
    QMenu* help = menuBar()->addMenu("&Help");
    addAction(help, "help", "Help", QKeySequence::HelpContents, [this] { showHelp(); });
    addAction(help, "about", "About ambrevo-gui", {}, [this] { showAbout(); });
}

void MainWindow::buildFileMenu() {
    QMenu* file = menuBar()->addMenu("&File");
    addAction(file, "open", "Open a video or an image…", QKeySequence::Open, [this] {
        const QString name = dialogs_->openFile(this, "Open a video or an image", videoFilter);
        if (!name.isEmpty()) openInput(name.toStdString());
    });
    addAction(file, "openFolder", "Open a folder of images…", QKeySequence("Ctrl+Shift+O"), [this] {
        const QString folder = dialogs_->openFolder(this, "Open a folder of images (in name order)");
        if (!folder.isEmpty()) openInput(folder.toStdString());
    });
    addAction(file, "openCamera", "Open a camera, a stream or an image sequence…", {}, [this] { openCamera(); });
    recentMenu_ = file->addMenu("Open recent");
    recentMenu_->setObjectName("recent");
    refreshRecent();
    file->addSeparator();
    addAction(file, "loadSettings", "Load settings…", {}, [this] {
        const QString name = dialogs_->openFile(this, "Load settings", "Settings (*.json)");
        if (!name.isEmpty()) loadSettings(name.toStdString());
    });
    addAction(file, "saveSettings", "Save settings…", {}, [this] {
        const QString name = dialogs_->saveFile(this, "Save settings", {}, "Settings (*.json)");
        if (!name.isEmpty()) saveSettings(name.toStdString());
    });
    file->addSeparator();
    addAction(file, "openTracks", "Open a track file…", {}, [this] {
        const QString name = dialogs_->openFile(this, "Open a track file", "Tracks (*.csv)");
        if (!name.isEmpty()) openTracks(name.toStdString());
    });
    addAction(file, "saveTracksAction", "Save corrections", QKeySequence::Save, [this] { saveTracks(); });
    addAction(file, "saveTracksAsAction", "Save corrected tracks as…", QKeySequence::SaveAs, [this] {
        const QString name = dialogs_->saveFile(this, "Save the corrected tracks as", {}, "Tracks (*.csv)");
        if (!name.isEmpty()) saveTracksAs(name.toStdString());
    });
    addAction(file, "export", "Export a video with the tracks…", {}, [this] {
        const QString name = dialogs_->saveFile(this, "Export a video with the tracks", {}, "Videos (*.mp4 *.avi)");
        if (!name.isEmpty()) exportVideo(name.toStdString());
    });
    file->addSeparator();
    addAction(file, "quit", "Quit", QKeySequence::Quit, [this] { close(); });
}

void MainWindow::buildEditMenus() {
    QMenu* edit = menuBar()->addMenu("&Edit");
    QAction* undo = undo_->createUndoAction(this, "Undo");
    QAction* redo = undo_->createRedoAction(this, "Redo");
    undo->setObjectName("undo"), undo->setShortcut(QKeySequence::Undo);
    redo->setObjectName("redo"), redo->setShortcut(QKeySequence::Redo);
    edit->addActions({undo, redo});
    edit->addSeparator();
    addAction(edit, "deleteArena", "Delete the selected arena", QKeySequence::Delete, [this] {
        if (!view_->deleteSelected()) say("select an arena first (Select tool)");
    });
    addAction(edit, "resetSettings", "Reset the settings to their defaults", {}, [this] { resetSettings(); });
    addAction(edit, "resetSetup", "Reset the set-up", {}, [this] { resetSetup(); });
    QMenu* view = menuBar()->addMenu("&View");
    addAction(view, "zoomIn", "Zoom in", QKeySequence::ZoomIn, [this] { view_->zoomBy(1.25); });
    addAction(view, "zoomOut", "Zoom out", QKeySequence::ZoomOut, [this] { view_->zoomBy(0.8); });
    addAction(view, "fit", "Whole frame", QKeySequence("Ctrl+0"), [this] { view_->fit(); });
    buildPlayMenu(menuBar()->addMenu("&Play"));
    QMenu* run = menuBar()->addMenu("&Run");
    addAction(run, "runAction", "Run the whole input", QKeySequence("Ctrl+R"), [this] { startRun(); });
    addAction(run, "cancelAction", "Cancel the run", QKeySequence("Ctrl+."), [this] { cancelRun(); });
}

void MainWindow::buildPlayMenu(QMenu* menu) {
    addAction(menu, "play", "Play or pause", QKeySequence(Qt::Key_Space), [this] { togglePlay(); });
    addAction(menu, "next", "Next frame", QKeySequence(Qt::Key_Right), [this] { stepFrames(1); });
    addAction(menu, "previous", "Previous frame", QKeySequence(Qt::Key_Left), [this] { stepFrames(-1); });
    addAction(menu, "forward", "Ten frames on", QKeySequence(Qt::SHIFT | Qt::Key_Right), [this] { stepFrames(10); });
    addAction(menu, "back", "Ten frames back", QKeySequence(Qt::SHIFT | Qt::Key_Left), [this] { stepFrames(-10); });
    addAction(menu, "first", "First frame", QKeySequence(Qt::Key_Home), [this] { stepFrames(-current_); });
    addAction(menu, "last", "Last frame", QKeySequence(Qt::Key_End), [this] { stepFrames(INT32_MAX); });
}

void MainWindow::buildToolBar() {
    QToolBar* bar = addToolBar("Main");
    bar->addAction(findChild<QAction*>("open"));
    // Short names that keep the bar still; the menu's say what they undo and redo.
    QAction* undo = bar->addAction("Undo", undo_, &QUndoStack::undo);
    QAction* redo = bar->addAction("Redo", undo_, &QUndoStack::redo);
    undo->setEnabled(false), redo->setEnabled(false);
    connect(undo_, &QUndoStack::canUndoChanged, undo, &QAction::setEnabled);
    connect(undo_, &QUndoStack::canRedoChanged, redo, &QAction::setEnabled);
    connect(undo_, &QUndoStack::undoTextChanged, undo, [undo](const QString& text) { undo->setToolTip("Undo " + text); });
    connect(undo_, &QUndoStack::redoTextChanged, redo, [redo](const QString& text) { redo->setToolTip("Redo " + text); });
    bar->addAction(findChild<QAction*>("fit"));
    bar->addSeparator();
    auto* tools = new QActionGroup(this);
    const std::pair<const char*, FrameView::Tool> kinds[] = {
        {"Select", FrameView::Tool::select},    {"Rectangle", FrameView::Tool::rect},
        {"Circle", FrameView::Tool::circle},    {"Polygon", FrameView::Tool::polygon},
        {"Scale line", FrameView::Tool::scale}, {"Pick track", FrameView::Tool::pick}};
    for (const auto& [name, tool] : kinds) {
        QAction* a = bar->addAction(name, this, [this, tool = tool] { view_->setTool(tool); });
        a->setObjectName(QString("tool ") + name);
        a->setCheckable(true);
        a->setChecked(tool == FrameView::Tool::select);
        tools->addAction(a);
    }
}

bool MainWindow::openCamera() {
    const QString input = dialogs_->text(
        this, "Open a camera, a stream or an image sequence",
        "cam:N for camera N, a stream's address (rtsp://…, http://…), or an image sequence's pattern "
        "(frames/img_%04d.png):",
        "cam:0");
    return !input.trimmed().isEmpty() && openInput(input.trimmed().toStdString());
}

void MainWindow::rememberInput(const std::string& input) {
    if (input == "demo") return;
    QSettings settings;
    QStringList recent = settings.value("recentInputs").toStringList();
    const QString path = QFileInfo::exists(q(input)) ? QFileInfo(q(input)).absoluteFilePath() : q(input);
    recent.removeAll(path);
    recent.prepend(path);
    settings.setValue("recentInputs", recent.mid(0, recentKept));
    refreshRecent();
}

void MainWindow::refreshRecent() {
    recentMenu_->clear();
    const QStringList recent = QSettings().value("recentInputs").toStringList();
    for (const QString& input : recent)
        recentMenu_->addAction(input, this, [this, input] { openInput(input.toStdString()); });
    recentMenu_->setEnabled(!recent.isEmpty());
    if (recent.isEmpty()) return;
    recentMenu_->addSeparator();
    recentMenu_->addAction("Clear the list", this, [this] {
        QSettings().remove("recentInputs");
        refreshRecent();
    });
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && event->mimeData()->urls().value(0).isLocalFile()) event->acceptProposedAction();
}

// A settings file is loaded, a track file reviewed, anything else opened as the input.
void MainWindow::dropEvent(QDropEvent* event) {
    const QString file = event->mimeData()->urls().value(0).toLocalFile();
    if (file.isEmpty()) return;
    event->acceptProposedAction();
    if (file.endsWith(".json", Qt::CaseInsensitive))
        loadSettings(file.toStdString());
    else if (file.endsWith(".csv", Qt::CaseInsensitive))
        openTracks(file.toStdString());
    else
        openInput(file.toStdString());
}

// A run in progress is cancelled first, after a question (its outputs are kept, partial); the
// window closes once it has ended. Corrections not saved are saved or dropped, as the user says.
void MainWindow::closeEvent(QCloseEvent* event) {
    const bool busy = running() || batch_->running();
    if (busy && !closeAfterRun_) {
        event->ignore();
        const QString what = !batch_->running() ? "A run is" : running() ? "A run and a batch are" : "A batch is";
        if (!dialogs_->question(this, "Close",
                                what + " in progress. Cancel and close the window? What was written so far is "
                                       "kept, marked partial."))
            return;
        closeAfterRun_ = true;
        batch_->cancel();
        return cancelRun();
    }
    if (busy) return event->ignore();  // closes once the runs have ended
    if (!keepOrDiscardCorrections("Close")) return closeAfterRun_ = false, event->ignore();
    event->accept();
}
