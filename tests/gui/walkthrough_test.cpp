// A first analysis through the real window, step by step as a user goes: open a video with the
// keyboard, draw two arenas with the mouse, type the animals in each and the link, run, pick two
// tracks and swap them, undo the swap, redo it and save. Each step's screenshot is written to
// AMBREVO_GUI_SHOTS when set (scripts/screenshots.sh sets docs/img/), else beside the test's files.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QWheelEvent>

#include "frame_view.h"
#include "gui_support.h"

class WalkThrough : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstAnalysis();

private:
    void shot(MainWindow& window, const char* name);
    QString shots_;
};

void WalkThrough::shot(MainWindow& window, const char* name) {
    QTRY_VERIFY(window.previewCurrent());
    QApplication::processEvents();
    const QString file = shots_ + "/" + name;
    // Small enough for the docs: 900 pixels wide in a palette of 256 colours.
    const QImage small = window.grab().toImage().scaledToWidth(900, Qt::SmoothTransformation);
    QVERIFY(small.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither).save(file, "PNG", 0));
    QVERIFY(QFileInfo(file).size() > 10000);
}

void WalkThrough::firstAnalysis() {
    QTemporaryDir dir;
    shots_ = qEnvironmentVariable("AMBREVO_GUI_SHOTS", dir.path());
    crowd_scene::settings scene;
    scene.width = 800, scene.height = 450, scene.discs = 8, scene.arenas = 2, scene.seed = 3;
    const std::string video = dir.filePath("scene.avi").toStdString();
    const std::vector<std::string> rois = writeScene(video, scene, 150);
    MainWindow window;
    ScriptedDialogs& ask = scripted(window);
    window.resize(1400, 800);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    ask.answers = {QString::fromStdString(video)};
    QTest::keySequence(&window, QKeySequence::Open);
    QCOMPARE(window.options().input, video);
    window.findChild<QComboBox*>("procedure")->setCurrentText("crowd");
    shot(window, "gui-open.png");

    window.showTabs(0, 1);
    window.findChild<QAction*>("tool Rectangle")->trigger();
    FrameView* view = window.view();
    auto at = [&](double x, double y) { return view->toWidget({x, y}).toPoint(); };
    for (const std::string& roi : rois) {
        int x, y, w, h;
        QCOMPARE(std::sscanf(roi.c_str(), "rect:%d,%d,%d,%d", &x, &y, &w, &h), 4);
        drag(view, Qt::LeftButton, at(x, y), at(x + w / 2, y + h / 2), at(x + w, y + h));
    }
    QCOMPARE(window.options().rois, rois);
    shot(window, "gui-arenas.png");

    auto* arenas = window.findChild<QTableWidget*>("arenas");
    for (int row = 0; row < 2; ++row) {
        auto* count = qobject_cast<QSpinBox*>(arenas->cellWidget(row, 1));
        count->setFocus();
        QTest::keyClick(count, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(count, "4");
        QTest::keyClick(count, Qt::Key_Return);
    }
    auto* link = window.findChild<QLineEdit*>("link");
    link->setFocus();
    QTest::keyClicks(link, "15,5,predict");
    QTest::keyClick(link, Qt::Key_Return);
    QCOMPARE(window.options().animals, (std::vector<int64_t>{4, 4}));
    QCOMPARE(window.options().link, std::string("15,5,predict"));
    view->setTool(FrameView::Tool::select);
    shot(window, "gui-setup.png");

    window.showTabs(0, 2);
    QTest::mouseClick(window.findChild<QPushButton*>("run"), Qt::LeftButton);
    QVERIFY(waitForRun(window));
    QCOMPARE(window.lastRun().frames, int64_t(150));
    QVERIFY(readText(dir.filePath("scene.csv").toStdString()).find("# status: complete\n") != std::string::npos);
    shot(window, "gui-run.png");

    // The two tracks closest together on frame 100, picked with the mouse, swapped from there.
    window.showTabs(0, 3);
    auto* frame = window.findChild<QSpinBox*>("frame");
    frame->setFocus();
    QTest::keyClick(frame, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(frame, "100");
    QCOMPARE(window.currentFrame(), int64_t(100));
    const ambrevo::TrackTable& table = *window.tracks();
    std::vector<size_t> seen;
    for (size_t i = 0; i < table.size(); ++i)
        if (table.frame(i) == 100 && !table.missing(i)) seen.push_back(i);
    QVERIFY(seen.size() >= 2);
    auto apart = [&](size_t a, size_t b) { return std::hypot(table.x(a) - table.x(b), table.y(a) - table.y(b)); };
    std::pair<size_t, size_t> pair{seen[0], seen[1]};
    for (size_t a : seen)
        for (size_t b : seen)
            if (a != b && apart(a, b) < apart(pair.first, pair.second)) pair = {a, b};
    seen = {pair.first, pair.second};
    // Five notches of the wheel closer, about the two.
    const QPoint between = at((table.x(seen[0]) + table.x(seen[1])) / 2, (table.y(seen[0]) + table.y(seen[1])) / 2);
    QWheelEvent wheel(between, view->mapToGlobal(between), {}, {0, 5 * 120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    QVERIFY(view->zoom() > 3);
    const std::string swap = "swap track " + std::to_string(table.identity(seen[0])) + " and " +
                             std::to_string(table.identity(seen[1])) + " from frame 100";
    window.findChild<QAction*>("tool Pick track")->trigger();
    QTest::mouseClick(view, Qt::LeftButton, {}, at(table.x(seen[0]) + 0.5, table.y(seen[0]) + 0.5));
    QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, at(table.x(seen[1]) + 0.5, table.y(seen[1]) + 0.5));
    QTest::mouseClick(window.findChild<QPushButton*>("swap"), Qt::LeftButton);
    QCOMPARE(window.tracks()->corrections(), std::vector<std::string>{swap});
    QVERIFY(window.unsaved());
    shot(window, "gui-review.png");

    QTest::keySequence(&window, QKeySequence::Undo);
    QVERIFY(window.tracks()->corrections().empty() && !window.unsaved());
    shot(window, "gui-undo.png");

    QTest::keySequence(&window, QKeySequence::Redo);
    ask.answers = {"yes"};
    QTest::keySequence(&window, QKeySequence::Save);
    // What a save writes, and the original it keeps, are correctionsChangeExactlyTheirRows's.
    QVERIFY(!window.unsaved());
    shot(window, "gui-saved.png");
}

QTEST_MAIN(WalkThrough)
#include "walkthrough_test.moc"

