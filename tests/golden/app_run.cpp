// The desktop app's run for the golden set, without a display (QT_QPA_PLATFORM=offscreen):
//
//   golden_app_run INPUT TRACKS [--procedure NAME] [--settings FILE] [--roi REGION]...
//                  [--animals N,...] [--link L] [--scale PX --unit U] [--grey] [--end N]
//
// sets the window up as a user would, runs the whole input through it and prints what the
// window then holds: the command line it shows, the run's outcome (its time left out) and the
// tracks under review. The outputs are those the window writes beside TRACKS.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <functional>

#include "arena_shape.h"
#include "exit_status.h"
#include "main_window.h"

namespace {

bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 120000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}

// The set-up the options ask for, each step as the window's own edit; false when one is refused.
bool setUp(MainWindow& window, const QCommandLineParser& args) {
    const QStringList positional = args.positionalArguments();
    if (!window.openInput(positional[0].toStdString())) return false;
    if (args.isSet("procedure") && !window.chooseProcedure(args.value("procedure").toStdString())) return false;
    if (args.isSet("settings") && !window.loadSettings(args.value("settings").toStdString())) return false;
    std::vector<ArenaShape> arenas;
    for (const QString& roi : args.values("roi")) arenas.push_back(ArenaShape::parse(roi.toStdString()));
    if (!arenas.empty()) window.setArenas(arenas);
    std::vector<int64_t> animals;
    for (const QString& n : args.value("animals").split(',', Qt::SkipEmptyParts)) animals.push_back(n.toLongLong());
    if (!animals.empty()) window.setAnimals(animals);
    if (args.isSet("link")) window.setLink(args.value("link").toStdString());
    if (args.isSet("scale")) window.setScale(args.value("scale").toDouble(), args.value("unit").toStdString());
    window.setRunOptions(args.isSet("grey"), 0, args.value("end").toLongLong(), 0);
    window.setTracksFile(positional[1].toStdString());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser args;
    args.addPositionalArgument("INPUT", "what ambrevo-gui opens");
    args.addPositionalArgument("TRACKS", "the track file of the run");
    for (const char* name : {"procedure", "settings", "roi", "animals", "link", "scale", "unit", "end"})
        args.addOption({name, name, "VALUE"});
    args.addOption({"grey", "grey frames"});
    args.process(app);
    if (args.positionalArguments().size() != 2) args.showHelp(2);
    MainWindow window;
    const bool ready = setUp(window, args) && waitFor([&] { return window.previewCurrent() && !window.running(); });
    if (!ready) return std::fprintf(stderr, "set-up refused: %s\n", window.message().c_str()), 1;
    std::printf("%s\n", window.commandLine().c_str());
    window.startRun();
    if (!waitFor([&] { return !window.running(); })) return std::fprintf(stderr, "the run did not end\n"), 1;
    const RunOutcome& run = window.lastRun();
    // Told as the program would end the same run.
    const int status = run.failure ? exitStatus(run.failure->kind) : exitOk;
    std::printf("status %d, %lld of %lld frames%s\n%s\n%s\n", status, static_cast<long long>(run.frames),
                static_cast<long long>(run.expected), run.cancelled ? ", cancelled" : "",
                run.failure ? run.failure->message.c_str() : "", run.notice.c_str());
    const ambrevo::TrackTable* tracks = window.tracks();
    std::printf("review: %zu rows of %s\n", tracks ? tracks->size() : size_t(0), window.tracksFile().c_str());
    return status;
}
