#include "batch_queue.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ambrevo/pipeline/core/text/csv.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// The program beside the window's own executable, else on the PATH.
QString programPath() {
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("ambrevo");
    return QFileInfo(beside).isExecutable() ? beside : QStandardPaths::findExecutable("ambrevo");
}

// The last line the program wrote about itself, without its name.
std::string lastMessage(const QByteArray& output) {
    std::string said;
    for (const QByteArray& line : output.split('\n'))
        if (line.startsWith("ambrevo: ")) said = line.mid(9).trimmed().toStdString();
    return said;
}

enum Column { inputColumn, stateColumn, framesColumn, secondsColumn, messageColumn };

}  // namespace

BatchQueue::BatchQueue(std::function<Options()> setup, std::function<Dialogs&()> dialogs, std::string modulePath,
                       QWidget* parent)
    : QWidget(parent), setup_(std::move(setup)), dialogs_(std::move(dialogs)), modulePath_(std::move(modulePath)) {
    auto* layout = new QVBoxLayout(this);
    auto* help = new QLabel(
        "Runs every input of the list with the window's set-up (procedure, settings, arenas, animals, scale, "
        "link, frames) as the program's batch does: per input NAME.csv with its summary and pictures, and "
        "batch.csv listing how each went, in the output folder. Double-click a finished input to review it.");
    help->setWordWrap(true);
    layout->addWidget(help);
    table_ = new QTableWidget(0, 5);
    table_->setObjectName("batchQueue");
    table_->setHorizontalHeaderLabels({"input", "state", "frames", "seconds", "message"});
    table_->horizontalHeader()->setSectionResizeMode(inputColumn, QHeaderView::Stretch);
    table_->setEditTriggers(QTableWidget::NoEditTriggers);
    table_->setSelectionBehavior(QTableWidget::SelectRows);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        const std::string& input = inputs_[size_t(row)];
        if (review && state(size_t(row)) != "queued")
            review(input, (QDir(outDir_->text()).filePath(q(batchName(input))) + ".csv").toStdString());
    });
    layout->addWidget(buildButtons());
    layout->addWidget(table_, 1);
    layout->addWidget(buildOutputs());
    command_ = new QPlainTextEdit;
    command_->setObjectName("batchCommand");
    command_->setReadOnly(true);
    command_->setMaximumHeight(90);
    layout->addWidget(new QLabel("The same batch without the window:"));
    layout->addWidget(command_);
    connect(&poll_, &QTimer::timeout, this, [this] { refresh(); });
    connect(&process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus how) { ended(code, how); });
}

// A batch still running when the window goes is stopped as a cancel stops it.
BatchQueue::~BatchQueue() {
    if (!running()) return;
    process_.disconnect(this);
    process_.terminate();
    process_.waitForFinished(30000);
}

QWidget* BatchQueue::buildButtons() {
    auto* row = new QWidget;
    auto* buttons = new QHBoxLayout(row);
    buttons->setContentsMargins(0, 0, 0, 0);
    auto* addFiles = new QPushButton("Add inputs…");
    auto* addShown = new QPushButton("Add the input on screen");
    auto* remove = new QPushButton("Remove");
    addFiles->setObjectName("batchAdd");
    addShown->setObjectName("batchAddShown");
    remove->setObjectName("batchRemove");
    connect(addFiles, &QPushButton::clicked, this, [this] {
        std::vector<std::string> chosen;
        for (const QString& file : dialogs_().openFiles(this, "Add inputs to the batch")) chosen.push_back(file.toStdString());
        add(chosen);
    });
    connect(addShown, &QPushButton::clicked, this, [this] {
        if (shownInput) add({shownInput()});
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        const int row = table_->currentRow();
        if (running() || row < 0) return;
        inputs_.erase(inputs_.begin() + row);
        table_->removeRow(row);
        showCommand();
    });
    for (QPushButton* b : {addFiles, addShown, remove}) buttons->addWidget(b);
    return row;
}

QWidget* BatchQueue::buildOutputs() {
    auto* box = new QWidget;
    auto* form = new QFormLayout(box);
    form->setContentsMargins(0, 0, 0, 0);
    outDir_ = new QLineEdit;
    outDir_->setObjectName("batchOutDir");
    connect(outDir_, &QLineEdit::textChanged, this, [this] { showCommand(); });
    auto* browse = new QPushButton("…");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString dir = dialogs_().openFolder(this, "The batch's output folder");
        if (!dir.isEmpty()) setOutDir(dir.toStdString());
    });
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(outDir_, 1);
    dirRow->addWidget(browse);
    form->addRow("Output folder (--out-dir)", dirRow);
    jobs_ = new QSpinBox;
    jobs_->setObjectName("batchJobs");
    jobs_->setRange(0, 256);
    jobs_->setSpecialValueText("one per core");
    connect(jobs_, &QSpinBox::valueChanged, this, [this] { showCommand(); });
    form->addRow("Inputs at a time (--jobs)", jobs_);
    force_ = new QCheckBox("Run again inputs whose outputs are complete (--force)");
    force_->setObjectName("batchForce");
    connect(force_, &QCheckBox::toggled, this, [this] { showCommand(); });
    form->addRow(force_);
    run_ = new QPushButton("Run the batch");
    run_->setObjectName("batchRun");
    cancel_ = new QPushButton("Cancel");
    cancel_->setObjectName("batchCancel");
    cancel_->setEnabled(false);
    connect(run_, &QPushButton::clicked, this, [this] { start(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { cancel(); });
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(run_);
    runRow->addWidget(cancel_);
    form->addRow(runRow);
    return box;
}

void BatchQueue::add(const std::vector<std::string>& inputs) {
    if (running()) return;
    for (const std::string& input : inputs) {
        if (input.empty() || std::find(inputs_.begin(), inputs_.end(), input) != inputs_.end()) continue;
        inputs_.push_back(input);
        const int row = table_->rowCount();
        table_->insertRow(row);
        for (int c = inputColumn; c <= messageColumn; ++c) table_->setItem(row, c, new QTableWidgetItem);
        table_->item(row, inputColumn)->setText(q(input));
        table_->item(row, inputColumn)->setToolTip(q(input));
        table_->item(row, stateColumn)->setText("queued");
    }
    // Beside the first input, unless chosen.
    if (outDir_->text().isEmpty() && !inputs_.empty() && QFileInfo::exists(q(inputs_[0])))
        setOutDir((QFileInfo(q(inputs_[0])).absolutePath() + "/ambrevo-batch").toStdString());
    showCommand();
}

void BatchQueue::setOutDir(const std::string& dir) { outDir_->setText(q(dir)); }

void BatchQueue::setJobs(int jobs) { jobs_->setValue(jobs); }

Options BatchQueue::options() const {
    Options o = setup_();
    o.input = "demo", o.inputGiven = false;
    o.inputs = inputs_;
    o.outDir = outDir_->text().trimmed().toStdString();
    o.jobs = jobs_->value();
    o.force = force_->isChecked();
    // Each input's outputs named as the window names a single run's.
    o.tracksFile = ".csv", o.summaryFile = ".summary.csv", o.plotFile = ".plot.png", o.heatmapFile = ".heatmap.png";
    return o;
}

std::string BatchQueue::commandLine() const { return ::commandLine(options()); }

void BatchQueue::showCommand() {
    command_->setPlainText(inputs_.empty() ? QString() : q(commandLine()));
}

std::string BatchQueue::tableFile() const { return QDir(outDir_->text().trimmed()).filePath("batch.csv").toStdString(); }

// The rows of batch.csv by input: the cells after the input's own.
std::map<std::string, std::vector<std::string>> BatchQueue::readTable() const {
    std::map<std::string, std::vector<std::string>> rows;
    QFile file(q(tableFile()));
    if (!file.open(QIODevice::ReadOnly)) return rows;
    const std::string text = file.readAll().toStdString();
    ambrevo::csv::TextRecords records(text);
    try {
        for (bool header = true; records.next(); header = false) {
            std::vector<std::string> cells = records.fields();
            if (header || cells.size() < 2) continue;
            const std::string input = cells[0];
            cells.erase(cells.begin());
            rows[input] = std::move(cells);
        }
    } catch (const std::runtime_error&) {
        // A table the batch is still writing: the rows read so far.
    }
    return rows;
}

std::string BatchQueue::state(size_t input) const {
    const std::string& name = inputs_.at(input);
    if (std::find(ran_.begin(), ran_.end(), name) == ran_.end()) return "queued";
    const auto row = rows_.find(name);
    const auto was = before_.find(name);
    // A row the batch in hand has not written yet (one of an earlier batch stays until then).
    if (row == rows_.end() || (was != before_.end() && was->second == row->second))
        return running() ? "queued" : "not started";
    return row->second[0];
}

void BatchQueue::refresh() {
    rows_ = readTable();
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const int r = int(i);
        const std::string shown = state(i);
        table_->item(r, stateColumn)->setText(q(shown));
        const auto row = rows_.find(inputs_[i]);
        const bool told = row != rows_.end() && shown == row->second[0] && row->second.size() >= 5;
        for (int c : {framesColumn, secondsColumn, messageColumn}) {
            // The batch's cells: status, exit, frames, seconds, message.
            const QString text = told ? q(row->second[size_t(c)]) : QString();
            table_->item(r, c)->setText(text);
            table_->item(r, c)->setToolTip(text);
        }
    }
}

bool BatchQueue::start() {
    if (running()) return false;
    auto fail = [this](const std::string& why) { return say(why, true), false; };
    if (inputs_.empty()) return fail("add inputs to the batch first");
    if (outDir_->text().trimmed().isEmpty()) return fail("choose the batch's output folder first");
    const QString program = programPath();
    if (program.isEmpty())
        return fail("the program 'ambrevo' is neither beside ambrevo-gui nor on the PATH: the batch runs it");
    const Options o = options();
    if (const Outcome arenas = checkArenaOptions(o); !arenas) return fail(arenas.error().message);
    const std::vector<std::string> words = commandWords(o);
    QStringList arguments;
    for (size_t i = 1; i < words.size(); ++i) arguments << q(words[i]);
    before_ = readTable();
    ran_ = inputs_;
    exit_ = -1;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!modulePath_.empty()) environment.insert("AMBREVO_MODULE", q(modulePath_));
    process_.setProcessEnvironment(environment);
    process_.start(program, arguments);
    if (!process_.waitForStarted(10000)) return fail("cannot start '" + program.toStdString() + "': " +
                                                     process_.errorString().toStdString());
    setEditable(false);
    refresh();
    poll_.start(250);
    say("batch running: " + commandLine(), false);
    return true;
}

void BatchQueue::cancel() {
    if (!running()) return;
    // The program's batch stops on SIGTERM as on Ctrl-C: each run after its frame in hand.
    process_.terminate();
    say("stopping the batch after the frames in hand…", false);
}

void BatchQueue::ended(int code, QProcess::ExitStatus how) {
    poll_.stop();
    exit_ = how == QProcess::NormalExit ? code : -1;
    refresh();
    setEditable(true);
    // The program's last line sums the batch up; a refused batch has only its reason.
    const std::string summary = lastMessage(process_.readAllStandardOutput()),
                      failure = lastMessage(process_.readAllStandardError());
    // The program's statuses for a stop by SIGINT and by SIGTERM.
    if (exit_ == 130 || exit_ == 143)
        say("the batch was cancelled: " + summary, true);
    else if (summary.empty())
        say(failure.empty() ? "the batch failed (exit status " + std::to_string(code) + ")" : failure, true);
    else
        say(summary + (exit_ != 0 && !failure.empty() ? "\n" + failure : ""), exit_ != 0);
    if (finished) finished();
}

void BatchQueue::setEditable(bool editable) {
    for (QWidget* w : findChildren<QPushButton*>()) w->setEnabled(editable);
    for (QWidget* w : std::initializer_list<QWidget*>{outDir_, jobs_, force_}) w->setEnabled(editable);
    cancel_->setEnabled(!editable);
}
