// The host's console and profiler: what the module's dialogues and stage reports talk to.
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "ambrevo.h"
#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/stop.h"

// Replies come from a script (--config) while it lasts, then "" (keep the values);
// in interactive use they are read from standard input. Everything the module writes
// goes to standard output and, byte for byte, to the log file when one is open.
class HostConsole final {
public:
    // Reads the reply script (readFileArgument).
    Outcome loadScript(const std::string& file, const StopToken& stop = StopToken());
    // Replies given by the host itself (the built-in scene answers its own dialogue).
    void setReplies(const std::vector<std::string>& replies) { replies_.assign(replies.begin(), replies.end()); }
    // Opens the log; false when it cannot be written.
    Outcome openLog(const std::string& file);
    // Replies come from standard input from now on (the interactive 'c' key).
    void useTerminal(bool terminal) { terminal_ = terminal; }
    // Nothing reaches standard output (the log still gets everything).
    void silence() { silent_ = true; }

    const char* readLine();
    // The functions of a dialogue (ambrevo_converse) with this console as their pointer.
    static const char* reply(void* console);
    static void written(void* console, int32_t kind, const char* text);

    bool logFailed() const { return log_.is_open() && !log_; }
    // Closes the log; false when anything failed to reach it.
    bool closeLog();

private:
    void emit(const char* text);

    std::deque<std::string> replies_;
    std::string current_;
    std::ofstream log_;
    bool terminal_ = false;
    bool silent_ = false;
};

// Collects the stage reports of every frame and the host's own measure of each
// process call, and prints them as a table.
class HostProfiler final {
public:
    void report(const char* stageLabel, double milliseconds);
    // The wall time of one whole process call, measured by the host.
    void frameTime(double milliseconds) { frames_.push_back(milliseconds); }
    // Columns: stage, mean, median, 95th percentile, max (ms), share of the frame.
    void print(std::ostream& out) const;

private:
    std::vector<std::string> order_;
    std::map<std::string, std::vector<double>> samples_;
    std::vector<double> frames_;
};

struct Summary {
    double mean = 0, median = 0, p95 = 0, max = 0;
};
// Mean, median, 95th percentile (nearest rank) and maximum of `values`.
Summary summarise(std::vector<double> values);
