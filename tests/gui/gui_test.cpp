// The app's window driven as a user would, compared with what the program does on the same
// request: the settings form, arenas drawn with the mouse, the live preview, inputs opened,
// runs cancelled and closed, corrections of the track file and the settings file.
#include <sys/stat.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QUndoStack>
#include <cmath>
#include <filesystem>

#include "ambrevo/pipeline/tracks/plots.h"
#include "batch_queue.h"
#include "frame_reader.h"
#include "frame_view.h"
#include "gui_support.h"
#include "picture_view.h"
#include "settings_form.h"

namespace {

std::string trimmed(const std::string& s) { return QString::fromStdString(s).trimmed().toStdString(); }

QLabel* labelOf(QWidget* editor) {
    for (QLabel* label : editor->parentWidget()->findChildren<QLabel*>())
        if (label->buddy() == editor) return label;
    return nullptr;
}

// The program's destination image of frame `frame` of the demo with `args`.
cv::Mat programDst(const QTemporaryDir& dir, const std::string& args, int frame) {
    static int calls = 0;
    const std::string out = dir.filePath(QString("dst%1").arg(++calls)).toStdString();
    program("demo " + args + " --start " + std::to_string(frame) + " --frames 1 --dst " + out + " --tracks " + out +
            ".csv");
    char name[32];
    std::snprintf(name, sizeof name, "/dst_%06d.png", frame);
    return cv::imread(out + name, cv::IMREAD_UNCHANGED);
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// A track file of three tracks over six frames, made from `source`: track t moves 7 (t + 1)
// pixels a frame.
std::string trackFile(const std::string& source, const std::string& status = "complete") {
    std::string text = "# ambrevo track file\n# source: " + source + "\n# status: " + status +
                       "\n# frames_read: 6\n# frames_expected: 300\n# pixels_per_unit: 3\n# unit: mm\n"
                       "# frame_rate: 30\nframe,object,x,y,area,track,missing\n";
    for (int f = 0; f < 6; ++f)
        for (int t = 0; t < 3; ++t)
            text += std::to_string(f) + "," + std::to_string(t) + "," + std::to_string(100 * t + 7 * (t + 1) * f) + ",50,7," +
                    std::to_string(t) + ",0\n";
    return text;
}

// batch.csv without its times (the fifth cell), which no two runs share.
std::vector<std::string> batchRows(const std::string& dir) {
    std::vector<std::string> rows;
    for (std::string row : lines(readText(dir + "/batch.csv"))) {
        size_t at = 0;
        for (int cell = 0; cell < 4 && at != std::string::npos; ++cell) at = row.find(',', at + 1);
        if (at != std::string::npos) row.erase(at, row.find(',', at + 1) - at);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("ambrevo-tests");
        QSettings().clear();
    }
    void formReadsAsWords();
    void drawnArenasAreTheProgramsRois();
    void previewIsTheProgramsDestinationImage();
    void previewFollowsEveryArenaEdit();
    void previewSaysWhatItFound();
    void openingAnInputIsAllOrNothing();
    void reviewAsksBeforeForeignOrPartialTracks();
    void runsEndAsTheyShould();
    void correctionsChangeExactlyTheirRows();
    void reviewShowsPostureAndDoubts();
    void resultsFitAndReadWell();
    void settingsFileCarriesTheSetUp();
    void shortcutsFollowThePlatform();
    void batchQueueIsTheProgramsBatch();
    void inputsOpenAsARunOpensThem();
};

// Every procedure's form against the table --params prints: one editor per setting, named
// after it, with its range and its value; its help is its label, its name the tooltip; in a box
// for each line of its dialogue when the dialogue asks in several (as the program asks). The
// steps of one spin box undo at once; reset to defaults brings the defaults back, undo the
// values before.
void GuiTest::formReadsAsWords() {
    QTemporaryDir dir;
    const std::string noReplies = dir.filePath("replies.txt").toStdString(), out = dir.filePath("out").toStdString();
    std::ofstream(noReplies) << "\n";
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    for (const std::string& procedure : lines(program("--list"))) {
        QVERIFY(window.chooseProcedure(procedure));
        const auto asked = askedTogether(program("demo --frames 1 --procedure " + procedure + " --config " + noReplies +
                                                 " -o " + out + ".mp4 --tracks " + out + ".csv"));
        const QList<QGroupBox*> boxes = window.form()->findChildren<QGroupBox*>();
        QCOMPARE(size_t(boxes.size()), asked.size() > 1 ? asked.size() : 0);
        for (qsizetype g = 0; g < boxes.size(); ++g)
            for (const std::string& name : asked[size_t(g)])
                QCOMPARE(window.form()->findChild<QWidget*>(QString::fromStdString(name))->parentWidget(), boxes[g]);
        const std::vector<std::string> table = lines(program("--params --procedure " + procedure));
        QVERIFY(!table.empty());
        const size_t value = table[0].find("value"), range = table[0].find("range"), help = table[0].find("help");
        QCOMPARE(window.form()->settings().size(), table.size() - 1);
        for (size_t i = 1; i < table.size(); ++i) {
            const std::string& row = table[i];
            const QString name = QString::fromStdString(trimmed(row.substr(0, value)));
            const std::string shown = trimmed(row.substr(value, range - value)),
                              limits = trimmed(row.substr(range, help - range));
            QWidget* editor = window.form()->findChild<QWidget*>(name);
            QVERIFY2(editor && labelOf(editor), qPrintable(name));
            QString words = QString::fromStdString(row.substr(help));
            words[0] = words[0].toUpper();
            QCOMPARE(labelOf(editor)->text(), words);
            QVERIFY2(editor->toolTip().startsWith(name + " ("), qPrintable(editor->toolTip()));
            if (auto* box = qobject_cast<QCheckBox*>(editor)) {
                QCOMPARE(limits, std::string("0 or 1"));
                QCOMPARE(box->isChecked(), shown == "1");
            } else if (auto* box = qobject_cast<QSpinBox*>(editor)) {
                QCOMPARE(limits, std::to_string(box->minimum()) + " to " + std::to_string(box->maximum()));
                QCOMPARE(std::to_string(box->value()), shown);
            } else {
                auto* real = qobject_cast<QDoubleSpinBox*>(editor);
                QVERIFY(real);
                QCOMPARE(limits, formatSetting(2, real->minimum()) + " to " + formatSetting(2, real->maximum()));
                QCOMPARE(formatSetting(2, real->value()), shown);
            }
        }
    }
    QVERIFY(window.chooseProcedure("flowtrack"));
    auto* threshold = window.form()->findChild<QSpinBox*>("BinThreshold");
    for (int value : {92, 91, 90}) threshold->setValue(value);  // one spin box's steps: one undo
    window.undoStack()->undo();
    QCOMPARE(window.form()->findChild<QSpinBox*>("BinThreshold")->value(), 120);
    window.undoStack()->redo();
    using Sets = std::vector<std::pair<std::string, std::string>>;
    QCOMPARE(window.options().sets, (Sets{{"BinThreshold", "90"}}));
    window.form()->findChild<QPushButton*>("resetSettings")->click();
    QCOMPARE(window.options().sets, Sets{});
    QCOMPARE(window.form()->findChild<QSpinBox*>("BinThreshold")->value(), 120);
    window.undoStack()->undo();
    QCOMPARE(window.form()->findChild<QSpinBox*>("BinThreshold")->value(), 90);
    QCOMPARE(window.options().sets, (Sets{{"BinThreshold", "90"}}));
}

// A rectangle, a circle and a polygon drawn with the mouse are the --roi values of the window's
// command line, and the program given that line records exactly them as its arenas. Moves and
// deletions undo and redo; drawing on a zoomed frame gives the same numbers.
void GuiTest::drawnArenasAreTheProgramsRois() {
    QTemporaryDir dir;
    MainWindow window;
    window.resize(1400, 900);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openInput("demo"));
    FrameView* view = window.view();
    auto at = [&](double x, double y) { return view->toWidget({x, y}).toPoint(); };
    // Widget points fall near the pixel borders a rectangle takes, and in the pixels whose
    // centres the other shapes take.
    view->setTool(FrameView::Tool::rect);
    drag(view, Qt::LeftButton, at(100, 50), at(200, 120), at(300, 200));
    view->setTool(FrameView::Tool::circle);
    QTest::mousePress(view, Qt::LeftButton, {}, at(480.5, 240.5));
    QTest::mouseRelease(view, Qt::LeftButton, {}, at(520.5, 240.5));
    view->setTool(FrameView::Tool::polygon);
    for (auto [x, y] : {std::pair{20.5, 300.5}, {140.5, 300.5}, {80.5, 420.5}, {20.7, 300.7}})
        QTest::mouseClick(view, Qt::LeftButton, {}, at(x, y));
    const std::vector<std::string> rois = {"rect:100,50,200,150", "circle:480,240,40", "polygon:20,300,140,300,80,420"};
    QCOMPARE(window.options().rois, rois);
    // Moved and deleted: the select tool drags the circle by 10 pixels, Delete removes the rectangle.
    view->setTool(FrameView::Tool::select);
    drag(view, Qt::LeftButton, at(480.5, 240.5), at(490.5, 250.5), at(490.5, 250.5));
    QTest::mouseClick(view, Qt::LeftButton, {}, at(150.5, 100.5));
    QTest::keyClick(view, Qt::Key_Delete);
    const std::vector<std::string> edited = {"circle:490,250,40", "polygon:20,300,140,300,80,420"};
    QCOMPARE(window.options().rois, edited);
    window.undoStack()->undo();
    window.undoStack()->undo();
    QCOMPARE(window.options().rois, rois);
    window.undoStack()->redo();
    window.undoStack()->redo();
    QCOMPARE(window.options().rois, edited);

    // Four times closer about a point that stays under the pointer; a rectangle drawn there.
    const QPoint pointer = at(400.5, 300.5);
    const QPointF under = view->toImage(pointer);
    view->zoomBy(4, pointer);
    QCOMPARE(view->toImage(pointer), under);
    view->setTool(FrameView::Tool::rect);
    QTest::mousePress(view, Qt::LeftButton, {}, at(390.1, 290.1));
    QTest::mouseRelease(view, Qt::LeftButton, {}, at(410.1, 305.1));
    QCOMPARE(window.options().rois.back(), std::string("rect:390,290,20,15"));
    window.undoStack()->undo();
    // The right button drags the picture: what was under the pointer follows it.
    const QPointF held = view->toImage(pointer);
    drag(view, Qt::RightButton, pointer, pointer + QPoint(40, 30), pointer + QPoint(40, 30));
    QCOMPARE(view->toImage(pointer + QPoint(40, 30)), held);
    view->fit();

    const std::string tracks = dir.filePath("t.csv").toStdString();
    window.setTracksFile(tracks);
    std::string line = window.commandLine();
    QVERIFY(line.find("--roi circle:490,250,40 --roi polygon:20,300,140,300,80,420") != std::string::npos);
    program(line.substr(line.find(' ')) + " --frames 2");
    const std::string file = readText(tracks);
    QVERIFY_HOLDS(file, "# arena_1: circle:490,250,40\n# arena_2: polygon:20,300,140,300,80,420\n");
}

// The preview of a frame is the destination image the program writes for it: a procedure
// without memory against the program's whole run, the flow tracker in an arena against a run
// that starts at that frame.
void GuiTest::previewIsTheProgramsDestinationImage() {
    QTemporaryDir dir;
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    window.setArenas({ArenaShape::circle(320, 240, 200)});
    for (const auto& [procedure, args] : {std::pair<std::string, std::string>{"canny", "--frames 41"},
                                          {"flowtrack", "--start 40 --frames 1 --roi circle:320,240,200"}}) {
        QVERIFY(window.chooseProcedure(procedure));
        QVERIFY(window.showFrame(40));
        QTRY_VERIFY(window.previewCurrent());
        QVERIFY(window.preview().ok && window.previewedFrame() == 40);
        const std::string out = dir.filePath(QString::fromStdString(procedure)).toStdString();
        program("demo --procedure " + procedure + " " + args + " --dst " + out + " --tracks " + out + ".csv -o " + out +
                ".avi");
        const cv::Mat written = cv::imread(out + "/dst_000040.png", cv::IMREAD_UNCHANGED);
        QVERIFY(same(window.preview().preview.exact, written));
        if (procedure == "flowtrack") QCOMPARE(window.preview().preview.objects.size(), size_t(3));
    }
}

// Whatever the arenas went through (one drawn and deleted, a second drawn, a circle moved, a
// polygon enlarged, an edit undone), the preview is the program's image of the frame on
// screen with the arenas on screen: nothing painted out by an arena that is gone. Every step
// is checked, and those that differ are named together.
void GuiTest::previewFollowsEveryArenaEdit() {
    QTemporaryDir dir;
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    QVERIFY(window.chooseProcedure("nop"));
    QVERIFY(window.showFrame(40));
    const ArenaShape left = ArenaShape::rect(0, 0, 320, 480), circle = ArenaShape::circle(480, 240, 80);
    const ArenaShape small = ArenaShape::polygon({{20, 300}, {140, 300}, {80, 420}});
    const ArenaShape large = ArenaShape::polygon({{20, 200}, {300, 300}, {80, 470}});
    const std::vector<std::pair<std::string, std::vector<ArenaShape>>> steps = {
        {"drawn", {left}},
        {"deleted", {}},
        {"drawn again, and a second", {left, circle}},
        {"circle moved", {left, ArenaShape::circle(440, 200, 80)}},
        {"polygon drawn", {small}},
        {"polygon enlarged", {large}}};
    std::string wrong;
    auto check = [&](const std::string& step, const std::vector<ArenaShape>& arenas) {
        QTRY_VERIFY(window.previewCurrent());
        std::string rois;
        for (const ArenaShape& a : arenas) rois += " --roi " + a.roi();
        if (!same(window.preview().preview.exact, programDst(dir, "--procedure nop" + rois, 40)))
            wrong += " [" + step + "]";
    };
    for (const auto& [step, arenas] : steps) {
        window.setArenas(arenas);
        check(step, arenas);
    }
    window.undoStack()->undo();
    check("enlargement undone", {small});
    QVERIFY2(wrong.empty(), ("the preview is not the program's image after:" + wrong).c_str());
}

// The preview marks every object it found with its number, whether or not the procedure draws
// them; a frame that shows nothing alone is shown after the frames before it, and says why.
void GuiTest::previewSaysWhatItFound() {
    MainWindow window;
    window.resize(1200, 800);
    window.show();
    QVERIFY(window.openInput("demo"));
    QVERIFY(window.chooseProcedure("ccTrack"));
    QVERIFY(window.showFrame(40));
    QTRY_VERIFY(window.previewCurrent());
    const std::vector<ip_objectRecord> objects = window.preview().preview.objects;
    QVERIFY(!objects.empty());
    const QImage shown = window.view()->grab().toImage();
    for (const ip_objectRecord& o : objects) {
        const QPoint at = window.view()->toWidget({o.x + 0.5, o.y + 0.5}).toPoint();
        const cv::Scalar c = ambrevo::track_colour(o.index);
        QCOMPARE(shown.pixelColor(at), QColor(int(c[2]), int(c[1]), int(c[0])));
    }
    // Each with its number: white digits up and right of its dot, where the frame alone has fewer.
    window.findChild<QCheckBox*>("livePreview")->setChecked(false);
    const QImage bare = window.view()->grab().toImage();
    const QFontMetrics metrics = window.view()->fontMetrics();
    auto white = [](const QImage& image, const QRect& box) {
        int n = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                n += image.valid(x, y) && qGray(image.pixel(x, y)) > 200;
        return n;
    };
    for (const ip_objectRecord& o : objects) {
        const QPoint at = window.view()->toWidget({o.x + 0.5, o.y + 0.5}).toPoint() + QPoint(7, -7);
        const QRect digits(at.x(), at.y() - metrics.ascent(), metrics.horizontalAdvance(QString::number(o.index)),
                           metrics.ascent());
        QVERIFY2(white(shown, digits) > white(bare, digits), qPrintable(QString::number(o.index)));
    }
    window.findChild<QCheckBox*>("livePreview")->setChecked(true);

    QVERIFY(window.chooseProcedure("flowtrack"));
    window.form()->findChild<QSpinBox*>("Algoritam")->setValue(4);  // background difference
    QTRY_VERIFY(window.previewCurrent());
    QCOMPARE(window.preview().before, int64_t(5));
    QVERIFY(!window.preview().preview.objects.empty());
    QVERIFY_HOLDS(window.previewNote(), "learns from the frames before");
    QVERIFY(window.showFrame(0));
    QTRY_VERIFY(window.previewCurrent());
    QVERIFY(window.preview().preview.objects.empty());
    QVERIFY(window.previewNote().find("finds them from the next frames on") != std::string::npos);
}

// A failed open changes nothing; a good one replaces the results of the input before, says
// what of the set-up it kept (and drops the arenas drawn on frames of another size), and
// remembers the input. Folders of images and sequences open from the menus; a dropped settings
// file is loaded.
void GuiTest::openingAnInputIsAllOrNothing() {
    QTemporaryDir dir;
    const std::string csv = dir.filePath("tracks.csv").toStdString(), images = dir.filePath("frames").toStdString();
    std::ofstream(csv) << trackFile("demo");
    QDir().mkpath(QString::fromStdString(images));
    for (int i = 0; i < 4; ++i)
        cv::imwrite(images + "/img_00" + std::to_string(i) + ".png", cv::Mat(240, 320, CV_8UC3, cv::Scalar(9 * i)));
    MainWindow window;
    window.show();
    ScriptedDialogs& ask = scripted(window);
    QVERIFY(window.openInput("demo"));
    window.setArenas({ArenaShape::circle(320, 240, 100)});
    window.form()->findChild<QSpinBox*>("BinThreshold")->setValue(100);
    QVERIFY(window.openTracks(csv) && window.tracks());
    const std::string line = window.commandLine(), title = window.windowTitle().toStdString();
    QVERIFY(!window.openInput(csv));
    QVERIFY(window.message().find("cannot open") != std::string::npos);
    QCOMPARE(window.commandLine(), line);
    QCOMPARE(window.windowTitle().toStdString(), title);
    QVERIFY(window.tracks());

    ask.answers = {QString::fromStdString(images)};
    window.findChild<QAction*>("openFolder")->trigger();
    QCOMPARE(window.options().input, images);
    QCOMPARE(window.findChild<QLabel*>("frameCount")->text(), QString("/ 3"));
    QVERIFY(!window.tracks() && window.view()->arenas().empty());
    QCOMPARE(window.findChild<QTableWidget*>("summary")->rowCount(), 0);
    for (const char* told : {"Kept from the input before: BinThreshold 100", "1 arena(s)", "they were dropped"})
        QVERIFY2(window.message().find(told) != std::string::npos, window.message().c_str());
    QCOMPARE(window.options().sets.size(), size_t(1));
    window.undoStack()->undo();
    QCOMPARE(window.options().rois, std::vector<std::string>{"circle:320,240,100"});

    ask.answers = {QString::fromStdString(images + "/img_%03d.png")};
    window.findChild<QAction*>("openCamera")->trigger();
    QCOMPARE(window.options().input, images + "/img_%03d.png");
    QVERIFY(window.showFrame(3));
    const QStringList recent = QSettings().value("recentInputs").toStringList();
    QCOMPARE(recent.value(0).toStdString(), images + "/img_%03d.png");
    QCOMPARE(recent.value(1).toStdString(), images);

    QVERIFY(window.openInput("demo"));
    window.undoStack()->undo();  // the arenas dropped for the smaller frames back
    QVERIFY(window.saveSettings(dir.filePath("lab").toStdString()));  // named .json
    window.resetSetup();
    auto drop = [&](const QString& file) {
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(file)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, {});
        QApplication::sendEvent(&window, &enter);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, {});
        QApplication::sendEvent(&window, &drop);
    };
    drop(dir.filePath("lab.json"));
    QCOMPARE(window.setup().settingsPath, dir.filePath("lab.json").toStdString());
    QCOMPARE(window.options().rois, std::vector<std::string>{"circle:320,240,100"});
    drop(QString::fromStdString(csv));
    QCOMPARE(window.tracksFile(), csv);

    // Nothing kept, nothing said: the failure of the open before goes with the rest.
    window.resetSetup();
    QVERIFY(!window.openInput(csv));
    drop(QString::fromStdString(images));
    QCOMPARE(window.options().input, images);
    QCOMPARE(window.message(), std::string());
    window.findChild<QMenu*>("recent")->actions().value(1)->trigger();
    QCOMPARE(window.options().input, images + "/img_%03d.png");
}

// A track file of another input, or a partial one, opens only when the user says so; the
// input's own complete file opens without a question.
void GuiTest::reviewAsksBeforeForeignOrPartialTracks() {
    QTemporaryDir dir;
    const std::string own = dir.filePath("own.csv").toStdString(), other = dir.filePath("other.csv").toStdString(),
                      partial = dir.filePath("partial.csv").toStdString();
    std::ofstream(own) << trackFile("demo");
    std::ofstream(other) << trackFile("elsewhere.mp4");
    std::ofstream(partial) << trackFile("demo", "partial\n# reason: cancelled after 6 frames");
    MainWindow window;
    ScriptedDialogs& ask = scripted(window);
    QVERIFY(window.openInput("demo"));
    for (const std::string& file : {other, partial}) {
        ask.answers = {"no"};
        QVERIFY(!window.openTracks(file));
        QVERIFY(!window.tracks());
        QVERIFY2(ask.asked.last().contains(file == other ? "not from the input on screen" : "It is partial"),
                 qPrintable(ask.asked.last()));
        ask.answers = {"yes"};
        QVERIFY(window.openTracks(file) && window.tracksFile() == file);
        QVERIFY(window.openInput("demo"));
    }
    ask.asked.clear();
    QVERIFY(window.openTracks(own));
    QVERIFY(ask.asked.isEmpty());
    // Files that are no files are named for what they are at once, and the tracks stay.
    const std::string pipe = dir.filePath("pipe.csv").toStdString(), folder = dir.filePath("folder.csv").toStdString();
    QVERIFY(mkfifo(pipe.c_str(), 0600) == 0 && QDir().mkdir(QString::fromStdString(folder)));
    for (const auto& [file, kind] : std::vector<std::pair<std::string, std::string>>{
             {"/dev/zero", "a device"}, {pipe, "a named pipe (FIFO)"}, {folder, "a folder"}}) {
        QElapsedTimer took;
        took.start();
        QVERIFY(!window.openTracks(file));
        QCOMPARE(window.message(), "track file '" + file + "' is " + kind + ", not a track file");
        QVERIFY(took.elapsed() < 5000);
        QCOMPARE(window.tracksFile(), own);
    }
}

// Cancelled after a few frames, the run's outputs are finished and marked partial, as the
// program marks a stopped run's, and the bar shows how far it came. A whole run's summary and
// pictures, saved after two swaps that undo each other, are the program's own; its tracks
// export as a video. Closing during a run asks, cancels and closes once the run has ended. A
// run that finds nothing says so.
void GuiTest::runsEndAsTheyShould() {
    QTemporaryDir dir;
    MainWindow window;
    ScriptedDialogs& ask = scripted(window);
    QVERIFY(window.openInput("demo"));
    window.setLink("20,3");
    const std::string tracks = dir.filePath("run.csv").toStdString();
    window.setTracksFile(tracks);
    window.onProgress = [&](int64_t) { window.cancelRun(); };
    window.startRun();
    QVERIFY(window.running());
    QVERIFY(waitForRun(window) && window.lastRun().cancelled);
    const int64_t frames = window.lastRun().frames;
    QVERIFY(frames > 0 && frames < 300);
    const std::string file = readText(tracks);
    QVERIFY_HOLDS(file, "# status: partial\n# reason: cancelled after " + std::to_string(frames) + " frames");
    const auto* bar = window.findChild<QProgressBar*>();
    QCOMPARE(std::pair(bar->value(), bar->maximum()), std::pair(int(frames), 300));

    window.onProgress = nullptr;
    ask.answers = {"yes"};  // the partial file is replaced
    window.startRun();
    QVERIFY(waitForRun(window) && window.lastRun().frames == 300);
    const std::string names[] = {"run.summary.csv", "run.plot.png", "run.heatmap.png"};
    std::vector<std::string> outputs;
    for (const std::string& name : names) outputs.push_back(readText(dir.filePath(name.c_str()).toStdString()));
    QVERIFY(window.swapTracks(0, 1, 100) && window.swapTracks(1, 0, 100));
    ask.answers = {"yes"};
    QVERIFY2(window.saveTracks(), window.message().c_str());
    QVERIFY(readText(tracks).find("# correction_2: swap track 1 and 0 from frame 100\n") != std::string::npos);
    for (size_t i = 0; i < outputs.size(); ++i)
        QVERIFY2(readText(dir.filePath(names[i].c_str()).toStdString()) == outputs[i], names[i].c_str());

    const std::string video = dir.filePath("tracks.avi").toStdString();
    QVERIFY(window.exportVideo(video));
    QVERIFY(waitForRun(window));
    cv::VideoCapture exported(video);
    const ambrevo::TrackTable& table = *window.tracks();
    QCOMPARE(int64_t(exported.get(cv::CAP_PROP_FRAME_COUNT)), table.frame(table.size() - 1) - table.frame(0) + 1);
    // Each track's dot in its colour on its first frame.
    cv::Mat first;
    QVERIFY(exported.read(first));
    for (size_t i = 0; i < table.size() && table.frame(i) == table.frame(0); ++i) {
        const cv::Vec3b shown = first.at<cv::Vec3b>(int(table.y(i)), int(table.x(i)));
        const cv::Scalar colour = ambrevo::track_colour(table.identity(i));
        QVERIFY2(cv::norm(cv::Vec3d(shown[0], shown[1], shown[2]) - cv::Vec3d(colour[0], colour[1], colour[2])) < 60,
                 qPrintable(QString::number(table.identity(i))));
    }

    // Another input (the same again): the results of the one before go with it.
    const auto *plot = window.findChild<PictureView*>("plot"), *heatmap = window.findChild<PictureView*>("heatmap");
    auto* summary = window.findChild<QTableWidget*>("summary");
    QVERIFY(!plot->picture().isNull() && !heatmap->picture().isNull() && summary->rowCount() > 0);
    QVERIFY(window.openInput("demo"));
    QVERIFY(!window.tracks() && plot->picture().isNull() && heatmap->picture().isNull());
    QCOMPARE(summary->rowCount(), 0);
    QCOMPARE(std::pair(bar->value(), window.findChild<QLabel*>("progressText")->text()), std::pair(0, QString()));
    QVERIFY2(window.message().find("drawn into") == std::string::npos, window.message().c_str());
    window.setTracksFile(tracks);

    // Nothing in view: an arena on a corner where no disc goes, grey frames, 10 of them.
    window.setArenas({ArenaShape::rect(0, 0, 8, 8)});
    window.setRunOptions(true, 20, 30, 12.5);
    QVERIFY(window.commandLine().find("--start 20 --end 30 --grey") != std::string::npos);
    ask.answers = {"yes"};
    window.startRun();
    QVERIFY(waitForRun(window) && window.lastRun().frames == 10);
    QVERIFY(readText(tracks).find("# frame_rate: 12.5\n") != std::string::npos);
    QVERIFY_HOLDS(window.message(), "no objects were found on any of its 10 frames");
    // A run that cannot start (its first frame past the input's end) shows nothing of the run before.
    QVERIFY(window.tracks());
    window.setRunOptions(false, 400, 0, 0);
    ask.answers = {"yes"};
    window.startRun();
    QVERIFY(waitForRun(window) && window.lastRun().frames == 0 && window.lastRun().failure);
    QVERIFY(!window.tracks() && plot->picture().isNull());

    window.setRunOptions(false, 0, 0, 0);
    window.show();
    ask.answers = {"yes", "no", "yes"};
    bool refused = false;
    window.onProgress = [&](int64_t) {
        window.onProgress = nullptr;
        refused = !window.close() && window.isVisible() && window.running();
        window.close();
    };
    window.startRun();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 30000);
    QVERIFY(refused);
    QVERIFY(!window.running() && window.lastRun().cancelled);
    QVERIFY(readText(tracks).find("# status: partial\n") != std::string::npos);
}

// A swap changes the identity of exactly the two tracks' rows from its frame on, a merge
// folds one track's rows into another's, a deletion removes one, a split gives the rest of one
// a new number; each is recorded in the file's metadata once saved, undone and redone before.
// Saving keeps the file as it was; saving as writes another.
void GuiTest::correctionsChangeExactlyTheirRows() {
    QTemporaryDir dir;
    const std::string file = dir.filePath("t.csv").toStdString();
    const std::string head = "# ambrevo track file\n# status: complete\nframe,object,x,y,area,track,missing\n";
    std::string rows;
    for (int f = 0; f < 6; ++f)
        for (int t = 0; t < 3; ++t)
            rows += std::to_string(f) + "," + std::to_string(t) + "," + std::to_string(10 * t + f) + ",5,7," +
                    std::to_string(t) + ",0\n";
    std::ofstream(file) << head << rows;
    MainWindow window;
    ScriptedDialogs& ask = scripted(window);
    QVERIFY(window.openTracks(file));
    QVERIFY(window.swapTracks(0, 2, 3));
    QCOMPARE(readText(file), head + rows);  // not saved yet
    ask.answers = {"yes"};
    QVERIFY(window.saveTracks());
    QVERIFY(ask.asked.contains("Save corrections"));
    QCOMPARE(readText(dir.filePath("t.original.csv").toStdString()), head + rows);
    const std::vector<std::string> before = lines(head + rows), after = lines(readText(file));
    QCOMPARE(after.size(), before.size() + 1);
    QCOMPARE(after[2], std::string("# correction_1: swap track 0 and 2 from frame 3"));
    QCOMPARE(after[3], before[2]);
    for (size_t i = 4; i < after.size(); ++i) {
        const std::string& was = before[i - 1];
        const int f = was[0] - '0', t = was[was.size() - 3] - '0';
        const std::string expected = f >= 3 && t != 1 ? was.substr(0, was.size() - 3) + char('0' + 2 - t) + ",0" : was;
        QCOMPARE(after[i], expected);
    }
    // Tracks 0 and 1 are both seen on every frame: no merge.
    QVERIFY(!window.mergeTracks(0, 1));
    QVERIFY(window.message().find("both seen on frame 0") != std::string::npos);
    const std::string swapped = readText(file);
    QVERIFY(window.deleteTrack(1) && window.splitTrack(2, 4));
    QCOMPARE(window.tracks()->corrections().back(), std::string("split track 2 from frame 4 as 3"));
    window.undoStack()->undo();
    window.undoStack()->undo();
    QCOMPARE(window.tracks()->text(), swapped);
    window.undoStack()->redo();
    window.undoStack()->redo();
    QVERIFY(window.saveTracksAs(dir.filePath("fixed").toStdString()));
    const std::string fixed = readText(dir.filePath("fixed.csv").toStdString());
    QVERIFY_HOLDS(fixed, "# correction_2: delete track 1\n# correction_3: split track 2 from frame 4 as 3\n");
    QVERIFY(fixed.find("\n5,0,5,5,7,3,0\n") != std::string::npos && fixed.find(",1,0\n") == std::string::npos);
    QCOMPARE(readText(file), swapped);

    // Track 0 missing where track 1 is seen: the missing row goes; track 2 stays as it is.
    std::ofstream(file) << head << "0,0,1,1,1,0,0\n0,1,9,9,1,2,0\n1,-1,1,1,0,0,1\n1,0,3,3,1,1,0\n1,1,9,9,1,2,0\n";
    QVERIFY(window.openTracks(file));
    QVERIFY(window.mergeTracks(1, 0));
    ask.answers = {"yes"};
    QVERIFY(window.saveTracks());
    QCOMPARE(readText(file), head.substr(0, 40) + "# correction_1: merge track 1 into 0\n" + head.substr(40) +
                                 "0,0,1,1,1,0,0\n0,1,9,9,1,2,0\n1,0,3,3,1,0,0\n1,1,9,9,1,2,0\n");
}

namespace {

// A track file of posture and identities, frames 0 to 5: track 0 walks down with its body across
// (head to the right, told), track 1 heads down without a midline and is unsure on frames 2 and
// 3, track 2 is round and unsure on frame 5; on frame 4 a ghost of no animal. Without `posture`
// the same rows, none of those columns.
std::string postureFile(bool posture) {
    std::string text = "# ambrevo track file\n# source: demo\n# status: complete\nframe,object,x,y,area,track,missing";
    if (posture) {
        text += ",confidence,heading,head";
        for (int k = 0; k <= 10; ++k) text += ",m" + std::to_string(k) + "_x,m" + std::to_string(k) + "_y";
    }
    auto row = [&](int f, int id, double x, double y, double sure, const std::string& heading, bool midline) {
        text += "\n" + std::to_string(f) + ",0," + std::to_string(x) + "," + std::to_string(y) + ",9," +
                std::to_string(id) + ",0";
        if (!posture) return;
        text += "," + std::to_string(sure) + "," + heading + (midline ? ",1" : ",");
        for (int k = 0; k <= 10; ++k)
            text += midline ? "," + std::to_string(x + 30 - 6 * k) + "," + std::to_string(y) : std::string(",,");
    };
    for (int f = 0; f < 6; ++f) {
        row(f, 0, 100, 100 + 10 * f, 0.9, "0", true);
        row(f, 1, 300, 100, f == 2 || f == 3 ? 0.3 : 0.9, "1.5708", false);
        row(f, 2, 500, 300, f == 5 ? 0.4 : 0.9, "", false);
        if (f == 4) row(f, -1, 400, 400, 0, "", false);
    }
    return text + "\n";
}

}  // namespace

// Posture and how sure each identity is, drawn where the track file tells them: the midline
// from its head, a heading where there is no midline, unsure identities marked and listed by
// stretch, a stretch clicked shown with its track picked. Without them, the review says so.
void GuiTest::reviewShowsPostureAndDoubts() {
    QTemporaryDir dir;
    const std::string plain = dir.filePath("plain.csv").toStdString(), told = dir.filePath("told.csv").toStdString();
    std::ofstream(plain) << postureFile(false);
    std::ofstream(told) << postureFile(true);
    MainWindow window;
    window.resize(1280, 760);
    window.show();
    QVERIFY(window.openInput("demo"));
    window.showTabs(0, 3);
    FrameView* view = window.view();
    auto* unsure = window.findChild<QTableWidget*>("unsure");
    auto grabbed = [&](const std::string& file) {
        return window.openTracks(file) && window.showFrame(3) ? view->grab().toImage() : QImage();
    };
    const QImage without = grabbed(plain), with = grabbed(told);
    QVERIFY(!without.isNull() && !with.isNull());
    auto differs = [&](QPointF image, QPointF by) {
        const QPoint at = (view->toWidget(image) + by).toPoint();
        return with.pixelColor(at) != without.pixelColor(at);
    };
    QVERIFY(differs({76.5, 130.5}, {}));         // the midline's tail end, 24 pixels left of the centre
    QVERIFY(differs({300.5, 100.5}, {0, 13}));   // the heading, down, beyond the ring of its doubt
    QVERIFY(!differs({500.5, 300.5}, {0, 13}));  // round and sure: as before

    auto rowsOf = [&] {
        QStringList rows;
        for (int r = 0; r < unsure->rowCount(); ++r)
            rows << unsure->item(r, 0)->text() + ":" + unsure->item(r, 1)->text() + ":" + unsure->item(r, 2)->text();
        return rows;
    };
    QCOMPARE(rowsOf(), (QStringList{"1:2 to 3:0.300", "2:5:0.400"}));
    std::vector<Mark> marks = view->marks();
    QVERIFY(marks.size() == 3 && marks[0].head && marks[0].midline.front() == QPointF(130.5, 130.5));
    QVERIFY(marks[1].unsure && !marks[0].unsure && !marks[2].unsure && std::isnan(marks[2].heading));

    unsure->cellClicked(1, 0);
    QCOMPARE(window.currentFrame(), int64_t(5));
    const QString info = window.findChild<QLabel*>("trackInfo")->text();
    QVERIFY2(info.startsWith("track 2") && info.endsWith("its identity here 40% sure"), qPrintable(info));
    QVERIFY(view->marks().back().unsure);
    window.findChild<QDoubleSpinBox*>("unsureBelow")->setValue(0.35);
    QCOMPARE(rowsOf(), QStringList{"1:2 to 3:0.300"});
    QVERIFY(!view->marks().back().unsure);
    // The ghost of frame 4 on its own frame only, with no number and no tail.
    QVERIFY(window.showFrame(4));
    QVERIFY(window.findChild<QLabel*>("trackInfo")->text().endsWith("90% sure"));
    marks = view->marks();
    QVERIFY(marks.size() == 4 && marks[0].id == -1 && marks[0].tail.size() == 1);

    QVERIFY(window.openTracks(plain));
    QVERIFY(!unsure->isVisibleTo(&window));
    QVERIFY(window.findChild<QLabel*>("unsureNote")->text().contains("tells no confidence"));
}

// The summary reads in units and sensible decimals; the pictures are fitted into their tab; the
// side panel keeps its width whatever the message; the picked track's line follows corrections.
void GuiTest::resultsFitAndReadWell() {
    QTemporaryDir dir;
    const std::string file = dir.filePath("t.csv").toStdString();
    std::ofstream(file) << trackFile("demo");
    cv::Mat wide(1080, 1920, CV_8UC3, cv::Scalar(0, 0, 255));
    wide.colRange(1880, 1920).setTo(cv::Scalar(255, 0, 0));
    cv::imwrite(dir.filePath("t.plot.png").toStdString(), wide);
    MainWindow window;
    window.resize(1280, 760);
    window.show();
    QVERIFY(window.openInput("demo"));
    QVERIFY(window.openTracks(file));
    const auto* summary = window.findChild<QTableWidget*>("summary");
    QCOMPARE(summary->rowCount(), 3);
    QCOMPARE(summary->horizontalHeaderItem(5)->text(), QString("Mean speed\n(mm/s)"));
    QCOMPARE(summary->item(1, 4)->text(), QString("23.3"));  // 5 steps of 14 pixels at 3 per mm
    QCOMPARE(summary->item(1, 5)->text(), QString("140.00"));  // in 5 frames at 30 per second
    for (int c = 0; c < summary->columnCount(); ++c)  // no title cut off
        QVERIFY2(summary->horizontalHeader()->sectionSize(c) >= summary->horizontalHeader()->sectionSizeHint(c),
                 qPrintable(summary->horizontalHeaderItem(c)->text()));

    window.showTabs(1, 3);
    auto* plot = window.findChild<PictureView*>("plot");
    QTRY_VERIFY(plot->isVisible());
    const QRect shown = plot->shown();
    QVERIFY(plot->rect().contains(shown) && std::abs(shown.width() * 1080 - shown.height() * 1920) < 1920 * 2);
    QCOMPARE(plot->grab().toImage().pixelColor(shown.right() - 2, shown.center().y()), QColor(0, 0, 255));

    const int side = window.findChild<QWidget*>("side")->width(), frame = window.view()->width();
    QVERIFY(!window.openInput(dir.filePath(QString(400, 'x')).toStdString()));
    QApplication::processEvents();
    QCOMPARE(window.findChild<QWidget*>("side")->width(), side);
    QCOMPARE(window.view()->width(), frame);

    window.showTabs(0, 3);
    QVERIFY(window.openTracks(file) && window.showFrame(2));
    window.view()->setTool(FrameView::Tool::pick);
    QTest::mouseClick(window.view(), Qt::LeftButton, {}, window.view()->toWidget({128.5, 50.5}).toPoint());
    const auto* info = window.findChild<QLabel*>("trackInfo");
    QVERIFY2(info->text().startsWith("track 1: frames 0 to 5, seen on 6, path 23.3 mm"), qPrintable(info->text()));
    QVERIFY(window.swapTracks(1, 2, 0));
    QVERIFY2(info->text().contains("path 35.0 mm"), qPrintable(info->text()));
    QVERIFY(window.splitTrack(1, 3));
    QVERIFY2(info->text().contains("frames 0 to 2"), qPrintable(info->text()));
    QVERIFY(window.mergeTracks(3, 1));
    QVERIFY2(info->text().contains("frames 0 to 5"), qPrintable(info->text()));
    QVERIFY(window.deleteTrack(1));
    QVERIFY2(info->text().contains("no longer in the tracks"), qPrintable(info->text()));
}

// The settings file holds the set-up besides the settings; the window reads it back, and so
// does the program.
void GuiTest::settingsFileCarriesTheSetUp() {
    QTemporaryDir dir;
    const std::string settings = dir.filePath("lab.json").toStdString(), tracks = dir.filePath("t.csv").toStdString();
    {
        MainWindow window;
        QVERIFY(window.openInput("demo"));
        window.setArenas({ArenaShape::rect(0, 0, 320, 480), ArenaShape::circle(480, 240, 150)});
        window.setAnimals({2, 1});
        window.setScale(4.5, "mm");
        window.setLink("15,5,predict,global");
        QTRY_VERIFY(window.previewCurrent() && window.preview().ok);
        QVERIFY(window.saveSettings(settings));
        QCOMPARE(window.commandLine().find("--roi"), std::string::npos);
    }
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    QVERIFY(window.loadSettings(settings));
    const Options o = window.options();
    QCOMPARE(o.rois, (std::vector<std::string>{"rect:0,0,320,480", "circle:480,240,150"}));
    QCOMPARE(o.animals, (std::vector<int64_t>{2, 1}));
    QCOMPARE(o.scale, 4.5);
    QCOMPARE(o.link, std::string("15,5,predict,global"));
    program("demo --settings " + settings + " --frames 3 --tracks " + tracks);
    const std::string file = readText(tracks);
    for (const char* line : {"# arena_2: circle:480,240,150\n", "# pixels_per_unit: 4.5\n", "# unit: mm\n",
                             "# link: 15,5,predict,global\n"})
        QVERIFY2(file.find(line) != std::string::npos, line);
}

// Space plays and pauses, the arrows step, the platform's keys undo; F1's help lists every
// shortcut as the menus have it.
void GuiTest::shortcutsFollowThePlatform() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openInput("demo"));
    window.view()->setFocus();
    QTest::keyClick(&window, Qt::Key_Right);
    QTest::keyClick(&window, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(window.currentFrame(), int64_t(11));
    QTest::keyClick(&window, Qt::Key_Left);
    QCOMPARE(window.currentFrame(), int64_t(10));
    QTest::keyClick(&window, Qt::Key_Space);
    QTRY_VERIFY(window.currentFrame() > 12);
    QTest::keyClick(&window, Qt::Key_Space);
    const int64_t paused = window.currentFrame();
    QTest::qWait(200);
    QCOMPARE(window.currentFrame(), paused);
    window.setLink("15,5");
    QTest::keySequence(&window, QKeySequence::Undo);
    QCOMPARE(window.options().link, std::string());
    QTest::keySequence(&window, QKeySequence::Redo);
    QCOMPARE(window.options().link, std::string("15,5"));
    QTest::keySequence(&window, QKeySequence::HelpContents);
    auto* help = window.findChild<QTextBrowser*>("helpText");
    QVERIFY(help && help->isVisible());
    for (const auto key : {QKeySequence::Open, QKeySequence::Save, QKeySequence::Undo, QKeySequence::Redo})
        QVERIFY2(help->toPlainText().contains(QKeySequence(key).toString(QKeySequence::NativeText)),
                 qPrintable(QKeySequence(key).toString(QKeySequence::NativeText)));
    QVERIFY(help->toPlainText().contains("Space") && help->toPlainText().contains("Play or pause"));
    QTest::keySequence(&window, QKeySequence::ZoomIn);
    QVERIFY(window.view()->zoom() > 1);
    QTest::keySequence(&window, QKeySequence("Ctrl+0"));
    QCOMPARE(window.view()->zoom(), 1.0);

    ScriptedDialogs& ask = scripted(window);
    QTRY_VERIFY(window.previewCurrent() && window.preview().ok);
    window.findChild<QAction*>("about")->trigger();
    QCOMPARE(ask.asked.value(0), QString("About ambrevo-gui"));
    QVERIFY(ask.asked.value(1).contains(QString::fromStdString(window.preview().preview.moduleVersion)));
}

// The queue runs its inputs with the window's set-up through the program's batch, showing
// each one's state as it goes: its folder then holds what the program's own batch writes for
// the same command line (batch.csv but the times, the track files). A cancel stops the run in
// hand, as the program's batch stops on a signal; closing the window during a batch asks
// first; a finished input opens for review with its track file.
void GuiTest::batchQueueIsTheProgramsBatch() {
    QTemporaryDir dir;
    crowd_scene::settings scene;
    scene.width = 480, scene.height = 360, scene.discs = 6, scene.arenas = 1;
    const std::string a = dir.filePath("a.avi").toStdString(), b = dir.filePath("b.avi").toStdString(),
                      bad = dir.filePath("bad.csv").toStdString(), out = dir.filePath("out").toStdString();
    writeScene(a, scene, 200);
    scene.seed = 2;
    writeScene(b, scene, 40);
    std::ofstream(bad) << "no video\n";
    MainWindow window;
    ScriptedDialogs& ask = scripted(window);
    QVERIFY(window.openInput(a));
    window.setLink("15,5");
    window.setArenas({ArenaShape::rect(20, 20, 440, 320)});
    BatchQueue* batch = window.batch();
    window.findChild<QPushButton*>("batchAddShown")->click();
    ask.answers = {QString::fromStdString(b + "\n" + bad + "\n" + a)};
    window.findChild<QPushButton*>("batchAdd")->click();
    QCOMPARE(batch->inputs(), (std::vector<std::string>{a, b, bad}));
    batch->setJobs(1);
    batch->setOutDir(out);
    QVERIFY(batch->start());
    QTRY_COMPARE_WITH_TIMEOUT(batch->state(0), std::string("running"), 30000);
    QCOMPARE(batch->state(1), std::string("not started"));
    QTRY_VERIFY_WITH_TIMEOUT(!batch->running(), 120000);
    QCOMPARE((std::vector<std::string>{batch->state(0), batch->state(1), batch->state(2)}),
             (std::vector<std::string>{"done", "done", "failed"}));
    QCOMPARE(batch->exitStatus(), 3);
    QVERIFY(window.message().find("3 inputs: 2 done, 0 skipped, 1 failed") != std::string::npos);
    auto* table = window.findChild<QTableWidget*>("batchQueue");
    QCOMPARE(table->item(0, 2)->text(), QString("200"));
    QVERIFY(table->item(2, 4)->text().contains("cannot open"));

    Options same = batch->options();
    same.outDir = dir.filePath("program").toStdString();
    program(commandLine(same).substr(std::string("ambrevo ").size()));
    QCOMPARE(batchRows(same.outDir), batchRows(out));
    for (const char* name : {"/a.csv", "/b.summary.csv", "/b.plot.png"}) {
        std::string mine = readText(out + name), theirs = readText(same.outDir + name);
        for (std::string* text : {&mine, &theirs})  // the runs' dates aside
            if (const size_t date = text->find("# date: "); date != std::string::npos)
                text->erase(date, text->find('\n', date) - date);
        QVERIFY2(!mine.empty() && mine == theirs, name);
    }

    // Run again, all of it: stopped in the first input's run.
    window.findChild<QCheckBox*>("batchForce")->setChecked(true);
    QVERIFY(batch->start());
    QTRY_COMPARE_WITH_TIMEOUT(batch->state(0), std::string("running"), 30000);
    batch->cancel();
    QTRY_VERIFY_WITH_TIMEOUT(!batch->running(), 60000);
    QCOMPARE(batch->exitStatus(), 143);
    QCOMPARE((std::vector<std::string>{batch->state(0), batch->state(1)}),
             (std::vector<std::string>{"stopped", "not started"}));
    QVERIFY2(table->item(0, 4)->text().startsWith("stopped by SIGTERM"), qPrintable(table->item(0, 4)->text()));

    window.show();
    QVERIFY(batch->start());
    ask.answers = {"no", "yes"};
    QVERIFY(!window.close() && batch->running());
    window.close();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);
    QVERIFY(!batch->running() && ask.asked.contains("Close"));

    table->cellDoubleClicked(1, 0);
    QCOMPARE(window.options().input, b);
    QCOMPARE(window.tracksFile(), out + "/b.csv");
}

// The frames on screen are those a run reads, whatever the input: both open it or both refuse,
// and the first frame of an input that tells its frames is the same picture. A video under an
// image's name is read as an image by both (and so refused by both).
void GuiTest::inputsOpenAsARunOpensThem() {
    QTemporaryDir dir;
    const std::string at = dir.path().toStdString() + "/";
    program("demo --procedure nop --frames 3 -o " + at + "clip.avi --dst " + at + "frames --quiet");
    std::filesystem::copy_file(at + "clip.avi", at + "clip.png");
    std::filesystem::copy_file(at + "frames/dst_000001.png", at + "one.PNG");
    std::filesystem::copy_file(at + "frames/dst_000001.png", at + "one.avi");
    for (const std::string input : {"demo", "cam:x", "clip.avi", "clip.png", "one.PNG", "one.avi", "frames",
                                    "frames/dst_%06d.png", "frames/dst_%d%d.png", "missing.avi"}) {
        const std::string path = input.find(':') == std::string::npos && input != "demo" ? at + input : input;
        FrameReader reader;
        cv::Mat shown, read;
        double time = 0;
        const Outcome opened = reader.open(path);
        Expected<std::unique_ptr<FrameSource>> source = openSource(path);
        FrameSource::Result got = source ? (*source)->read(read) : Failure(source.error());
        QVERIFY2(bool(opened) == isFrame(got), (input + ": " + (opened ? "" : opened.error().message) + " / " +
                                                (got ? got->note : got.error().message)).c_str());
        if (opened && !reader.live()) QVERIFY2(reader.read(0, shown, time) && same(shown, read), input.c_str());
    }
}

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
