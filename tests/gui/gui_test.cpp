// The app's window driven as a user would, compared with what the program does on the same
// request: the settings form, an arena drawn with the mouse, the live preview, a cancelled
// run, corrections of the track file and the settings file.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "frame_view.h"
#include "main_window.h"
#include "settings_form.h"

namespace {

std::string readText(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

// Runs the program with `args` (shell words); its standard output.
std::string program(const std::string& args) {
    std::string out;
    FILE* pipe = popen((AMBREVO_EXE " " + args + " 2>/dev/null").c_str(), "r");
    for (char buffer[4096]; size_t n = fread(buffer, 1, sizeof buffer, pipe);) out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string trimmed(const std::string& s) { return QString::fromStdString(s).trimmed().toStdString(); }

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void formMatchesParams();
    void drawnArenasAreTheProgramsRois();
    void previewIsTheProgramsDestinationImage();
    void cancelLeavesPartialOutputs();
    void correctionsChangeExactlyTheirRows();
    void settingsFileCarriesTheSetUp();
};

// Every procedure's form against the table --params prints: one editor per setting, named
// after it, with its range, its value and its help.
void GuiTest::formMatchesParams() {
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    for (const std::string& procedure : lines(program("--list"))) {
        QVERIFY(window.chooseProcedure(procedure));
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
            QVERIFY2(editor, qPrintable(name));
            QCOMPARE(editor->toolTip().toStdString(), row.substr(help));
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
}

// A rectangle, a circle and a polygon drawn with the mouse are the --roi values of the window's
// command line, and the program given that line records exactly them as its arenas.
void GuiTest::drawnArenasAreTheProgramsRois() {
    QTemporaryDir dir;
    MainWindow window;
    window.resize(1400, 900);
    window.show();
    QVERIFY(window.openInput("demo"));
    FrameView* view = window.view();
    auto at = [&](double x, double y) { return view->toWidget({x, y}).toPoint(); };
    // Widget points fall inside pixels; the arenas take pixel borders and centres.
    const double half = 0.5 / (view->toWidget({1, 0}).x() - view->toWidget({0, 0}).x());
    view->setTool(FrameView::Tool::rect);
    QTest::mousePress(view, Qt::LeftButton, {}, at(100 + half, 50 + half));
    QTest::mouseMove(view, at(200, 120));
    QTest::mouseRelease(view, Qt::LeftButton, {}, at(300 + half, 200 + half));
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
    QTest::mousePress(view, Qt::LeftButton, {}, at(480.5, 240.5));
    QTest::mouseMove(view, at(490.5, 250.5));
    QTest::mouseRelease(view, Qt::LeftButton, {}, at(490.5, 250.5));
    QTest::mouseClick(view, Qt::LeftButton, {}, at(150.5, 100.5));
    QTest::keyClick(view, Qt::Key_Delete);
    const std::vector<std::string> edited = {"circle:490,250,40", "polygon:20,300,140,300,80,420"};
    QCOMPARE(window.options().rois, edited);

    const std::string tracks = dir.filePath("t.csv").toStdString();
    window.setTracksFile(tracks);
    std::string line = window.commandLine();
    QVERIFY(line.find("--roi circle:490,250,40 --roi polygon:20,300,140,300,80,420") != std::string::npos);
    program(line.substr(line.find(' ')) + " --frames 2");
    const std::string file = readText(tracks);
    QVERIFY2(file.find("# arena_1: circle:490,250,40\n# arena_2: polygon:20,300,140,300,80,420\n") != std::string::npos,
             file.c_str());
}

// The preview of a frame is the destination image the program writes for it: a procedure
// without memory against the program's whole run, the flow tracker in an arena against a run
// that starts at that frame.
void GuiTest::previewIsTheProgramsDestinationImage() {
    QTemporaryDir dir;
    MainWindow window;
    QVERIFY(window.openInput("demo"));
    window.view()->setArenas({ArenaShape::circle(320, 240, 200)});
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
        const cv::Mat& shown = window.preview().preview.exact;
        QVERIFY(!written.empty());
        QCOMPARE(shown.size(), written.size());
        QCOMPARE(shown.type(), written.type());
        QCOMPARE(cv::norm(shown, written, cv::NORM_INF), 0.0);
        if (procedure == "flowtrack") QCOMPARE(window.preview().preview.objects.size(), size_t(3));
    }
}

// Cancelled after a few frames, the run's outputs are finished and marked partial, as the
// program marks a stopped run's. A whole run's summary and pictures, redrawn after two swaps
// that undo each other, are the program's own.
void GuiTest::cancelLeavesPartialOutputs() {
    QTemporaryDir dir;
    MainWindow window;
    window.confirmOverwrite = false;
    QVERIFY(window.openInput("demo"));
    window.setLink("20,3");
    const std::string tracks = dir.filePath("run.csv").toStdString();
    window.setTracksFile(tracks);
    window.onProgress = [&](int64_t) { window.cancelRun(); };
    window.startRun();
    QVERIFY(window.running());
    QTRY_VERIFY_WITH_TIMEOUT(!window.running() && window.lastRun().frames > 0, 30000);
    QVERIFY(window.lastRun().cancelled);
    const int64_t frames = window.lastRun().frames;
    QVERIFY(frames < 300);
    const std::string file = readText(tracks);
    QVERIFY(file.find("# status: partial\n# reason: cancelled after " + std::to_string(frames) + " frames") !=
            std::string::npos);
    QVERIFY(file.find("# frames_read: " + std::to_string(frames) + "\n") != std::string::npos);

    window.onProgress = nullptr;
    window.startRun();
    QTRY_VERIFY_WITH_TIMEOUT(!window.running() && window.lastRun().frames == 300, 60000);
    const std::string names[] = {"run.summary.csv", "run.plot.png", "run.heatmap.png"};
    std::vector<std::string> outputs;
    for (const std::string& name : names) outputs.push_back(readText(dir.filePath(name.c_str()).toStdString()));
    QVERIFY(!outputs[1].empty());
    QVERIFY2(window.swapTracks(0, 1, 100) && window.swapTracks(1, 0, 100), window.message().c_str());
    QVERIFY(readText(tracks).find("# correction_2: swap track 1 and 0 from frame 100\n") != std::string::npos);
    for (size_t i = 0; i < outputs.size(); ++i)
        QVERIFY2(readText(dir.filePath(names[i].c_str()).toStdString()) == outputs[i], names[i].c_str());
}

// A swap changes the identity of exactly the two tracks' rows from its frame on, a merge
// folds one track's rows into another's, and both are recorded in the file's metadata.
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
    QVERIFY(window.openTracks(file));
    QVERIFY(window.swapTracks(0, 2, 3));
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
    // Tracks 0 and 1 are both seen on every frame: no merge; track 2 only before frame 3
    // after the swap, track 0 only from there: they merge.
    QVERIFY(!window.mergeTracks(0, 1));
    QVERIFY(window.message().find("both seen on frame 0") != std::string::npos);
    // Track 0 missing where track 1 is seen: the missing row goes; track 2 stays as it is.
    std::ofstream(file) << head << "0,0,1,1,1,0,0\n0,1,9,9,1,2,0\n1,-1,1,1,0,0,1\n1,0,3,3,1,1,0\n1,1,9,9,1,2,0\n";
    QVERIFY(window.openTracks(file));
    QVERIFY(window.mergeTracks(1, 0));
    QCOMPARE(readText(file), head.substr(0, 40) + "# correction_1: merge track 1 into 0\n" + head.substr(40) +
                                 "0,0,1,1,1,0,0\n0,1,9,9,1,2,0\n1,0,3,3,1,0,0\n1,1,9,9,1,2,0\n");
}

// The settings file holds the set-up besides the settings; the window reads it back, and so
// does the program.
void GuiTest::settingsFileCarriesTheSetUp() {
    QTemporaryDir dir;
    const std::string settings = dir.filePath("lab.json").toStdString(), tracks = dir.filePath("t.csv").toStdString();
    {
        MainWindow window;
        QVERIFY(window.openInput("demo"));
        window.view()->setArenas({ArenaShape::rect(0, 0, 320, 480), ArenaShape::circle(480, 240, 150)});
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

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
