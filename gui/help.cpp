// The window's help: how an analysis goes, and every shortcut as the menus have it (read from
// them, so the list never goes stale).
#include <QDialog>
#include <QMenuBar>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "main_window.h"

namespace {

const char steps[] = R"(<h3>An analysis in four steps</h3>
<ol>
<li><b>Open</b> the input (File menu, or drop a file on the window): a video, an image, a folder of
images, an image sequence's pattern, a camera (<code>cam:0</code>) or a stream.</li>
<li><b>Set up</b> on the Procedure page: each setting is said in words (its name in the program is its
tooltip), and every change processes the frame on screen again. On the Arenas page draw the arenas
(Rectangle, Circle, Polygon), give the animals in each, draw a line of known length for the scale and
type the link. <i>Save settings</i> keeps the set-up for the next videos of the same experiment; it is
kept when another input is opened, and the message line says so.</li>
<li><b>Run</b> the whole input on the Run page (grey frames run faster). The track file, its summary,
the trajectories and the heat map are written beside the input; the page shows the
<code>ambrevo</code> command line that repeats the analysis without the window.</li>
<li><b>Review</b>: each track is drawn in its colour with a tail. <i>Pick track</i> picks one (Shift:
the second); swap, merge, delete or split them on the Review page. Corrections are kept until
<i>Save corrections</i>, which keeps the file before them as <code>NAME.original.csv</code>; every edit
can be undone.</li>
</ol>
<p>The <b>Batch</b> page runs a list of inputs with the same set-up, as <code>ambrevo IN… --out-dir OUT</code>
does, and shows how each went.</p>
<p>The wheel zooms the frame about the pointer; the right or middle button drags it.</p>)";

}  // namespace

void MainWindow::showHelp() {
    QString keys = "<h3>Shortcuts</h3><table>";
    for (QMenu* menu : menuBar()->findChildren<QMenu*>())
        for (QAction* a : menu->actions())
            if (!a->shortcut().isEmpty())
                keys += QString("<tr><td><b>%1</b>&nbsp;&nbsp;</td><td>%2</td></tr>")
                            .arg(a->shortcut().toString(QKeySequence::NativeText).toHtmlEscaped(),
                                 a->text().remove('&').toHtmlEscaped());
    keys += "</table>";
    auto* dialog = findChild<QDialog*>("helpDialog");
    if (!dialog) {
        dialog = new QDialog(this);
        dialog->setObjectName("helpDialog");
        dialog->setWindowTitle("ambrevo-gui help");
        auto* text = new QTextBrowser;
        text->setObjectName("helpText");
        (new QVBoxLayout(dialog))->addWidget(text);
        dialog->resize(640, 640);
    }
    dialog->findChild<QTextBrowser*>("helpText")->setHtml(QString(steps) + keys);
    dialog->show();
    dialog->raise();
}

void MainWindow::showAbout() {
    const std::string& version = preview_.preview.moduleVersion;
    dialogs_->inform(this, "About ambrevo-gui",
                     QString("<b>ambrevo-gui</b><br>Sets up, runs and reviews tracking runs of the Ambrevo module "
                             "(version %1), through the same pipeline as the <code>ambrevo</code> program.")
                         .arg(version.empty() ? "unknown until a frame is processed" : QString::fromStdString(version)));
}
