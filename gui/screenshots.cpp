// Screenshots of the desktop app for the README: the real window, drawn offscreen, set up,
// run and reviewed on a generated scene (scripts/screenshots.sh makes the scene).
//
//   ambrevo-gui-screenshots VIDEO OUTDIR REGION...
#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <cstdio>

#include "frame_view.h"
#include "main_window.h"

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

bool save(MainWindow& window, const QString& file) {
    QApplication::processEvents();
    const QImage shot = window.grab().toImage().scaledToWidth(1100, Qt::SmoothTransformation);
    return shot.save(file, "JPG", 80);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 4) return std::fprintf(stderr, "usage: ambrevo-gui-screenshots VIDEO OUTDIR REGION...\n"), 2;
    const QString out = argv[2], trackFile = out == "." ? "scene.csv" : out + "/scene.csv";
    MainWindow window;
    window.confirmOverwrite = false;
    window.resize(1400, 800);
    window.show();
    if (!window.openInput(argv[1]) || !window.chooseProcedure("crowd")) return 1;
    std::vector<ArenaShape> arenas;
    for (int i = 3; i < argc; ++i) arenas.push_back(ArenaShape::parse(argv[i]));
    window.setArenas(arenas);
    window.setAnimals(std::vector<int64_t>(arenas.size(), 4));
    window.setScale(3.8, "mm");
    window.setLink("15,5,predict");
    window.setTracksFile(trackFile.toStdString());
    window.showFrame(60);
    if (!waitFor([&] { return window.previewCurrent(); })) return 1;
    window.showTabs(0, 1);
    if (!save(window, out + "/gui-setup.jpg")) return 1;

    window.showTabs(0, 2);
    window.startRun();
    if (!waitFor([&] { return !window.running() && window.lastRun().frames > 0; })) return 1;
    window.showTabs(1, 2);
    if (!save(window, out + "/gui-run.jpg")) return 1;

    // A track picked on a frame, as a click of the Pick tool does.
    window.showTabs(0, 3);
    window.showFrame(100);
    if (!waitFor([&] { return window.previewCurrent(); })) return 1;
    const ambrevo::TrackTable tracks = ambrevo::TrackTable::read(trackFile.toStdString());
    for (size_t i = 0; i < tracks.size(); ++i)
        if (tracks.frame(i) == 100 && !tracks.missing(i)) {
            window.view()->setTool(FrameView::Tool::pick);
            const QPointF at = window.view()->toWidget({tracks.x(i) + 0.5, tracks.y(i) + 0.5});
            QMouseEvent press(QEvent::MouseButtonPress, at, window.view()->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.view(), &press);
            break;
        }
    return save(window, out + "/gui-review.jpg") ? 0 : 1;
}
