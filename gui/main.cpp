// ambrevo-gui [INPUT] [--module PATH]: set up, run and review a tracking run in a window.
#include <QApplication>
#include <QCommandLineParser>

#include "main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("ambrevo-gui");
    QApplication::setOrganizationName("Ambrevo");  // where the recent inputs are kept
    QCommandLineParser parser;
    parser.setApplicationDescription("Set up, run and review a tracking run of the Ambrevo module.");
    parser.addHelpOption();
    parser.addPositionalArgument("INPUT",
                                 "a video, an image sequence (frames/%04d.png or a folder), an image, "
                                 "cam:N, a stream, or demo (the default)");
    parser.addOption({"module", "another build of the module (also AMBREVO_MODULE)", "PATH"});
    parser.addOption({"settings", "a settings file to load, as ambrevo --settings takes it", "FILE"});
    parser.process(app);
    MainWindow window(parser.value("module").toStdString());
    const QStringList inputs = parser.positionalArguments();
    window.openInput(inputs.isEmpty() ? "demo" : inputs[0].toStdString());
    if (parser.isSet("settings")) window.loadSettings(parser.value("settings").toStdString());
    window.show();
    return app.exec();
}
