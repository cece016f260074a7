// The batch queue: several inputs run with the window's one set-up by the program's own batch
// mode (`ambrevo IN... --out-dir OUT`), so that what runs, what it writes (OUT/NAME.csv with the
// summary and pictures beside it, OUT/batch.csv) and what a repeated batch skips or refuses are
// the program's, to the byte. Each input's state is read from OUT/batch.csv as the batch
// rewrites it (when a run starts and when it ends).
#pragma once

#include <QProcess>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ambrevo/pipeline/run/command_line.h"
#include "dialogs.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

class BatchQueue : public QWidget {
public:
    // `setup`: the options of one run as the window is set up; `modulePath`: the module the
    // window loaded, which the batch's runs load too.
    BatchQueue(std::function<Options()> setup, std::function<Dialogs&()> dialogs, std::string modulePath,
               QWidget* parent = nullptr);
    ~BatchQueue() override;

    // Inputs already queued are not queued twice.
    void add(const std::vector<std::string>& inputs);
    void setOutDir(const std::string& dir);
    void setJobs(int jobs);
    const std::vector<std::string>& inputs() const { return inputs_; }
    // The batch as the program takes it, and its command line.
    Options options() const;
    std::string commandLine() const;
    // False, with the reason told, when the batch cannot start.
    bool start();
    // Stops the runs after the frame in hand (their outputs partial, their state "stopped").
    void cancel();
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Each input's state as shown: "queued" until the batch lists it, then the batch's own
    // word (running, done, failed, skipped, stopped, not started, ...).
    std::string state(size_t input) const;
    // The program's exit status of the last batch (-1: none ended yet).
    int exitStatus() const { return exit_; }

    // What the queue has to say (a failure in red).
    std::function<void(const std::string& text, bool failure)> say;
    // Called when a batch has ended.
    std::function<void()> finished;
    // Asked to review a finished input: the input and its track file.
    std::function<void(const std::string& input, const std::string& tracks)> review;
    // The input on screen, for "Add the input on screen".
    std::function<std::string()> shownInput;

private:
    QWidget* buildOutputs();
    QWidget* buildButtons();
    void refresh();
    void ended(int code, QProcess::ExitStatus how);
    void showCommand();
    void setEditable(bool editable);
    std::string tableFile() const;
    std::map<std::string, std::vector<std::string>> readTable() const;

    std::function<Options()> setup_;
    std::function<Dialogs&()> dialogs_;
    std::string modulePath_;
    std::vector<std::string> inputs_;
    std::vector<std::string> ran_;  // the inputs of the batch in hand, or of the last
    std::map<std::string, std::vector<std::string>> rows_;    // batch.csv's rows by input, as last read
    std::map<std::string, std::vector<std::string>> before_;  // and when the batch began
    int exit_ = -1;
    QProcess process_;
    QTimer poll_;
    QTableWidget* table_;
    QLineEdit* outDir_;
    QSpinBox* jobs_;
    QCheckBox* force_;
    QPushButton *run_, *cancel_;
    QPlainTextEdit* command_;
};
