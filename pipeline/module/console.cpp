#include "module/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "ambrevo/pipeline/core/files.h"

Outcome HostConsole::loadScript(const std::string& file, const StopToken& stop) {
    const Expected<std::string> text = readFileArgument(file, {"--config", "a file of replies", uint64_t(16) << 20}, stop);
    if (!text) return text.error();
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        replies_.push_back(line);
    }
    return {};
}

Outcome HostConsole::openLog(const std::string& file) {
    log_.open(file, std::ios::binary | std::ios::trunc);
    if (!log_) return outputFailure("cannot write --console-log file '" + file + "'");
    return {};
}

bool HostConsole::closeLog() {
    if (!log_.is_open()) return true;
    log_.flush();
    bool ok = bool(log_);
    log_.close();
    return ok && !log_.fail();
}

const char* HostConsole::readLine() {
    current_.clear();
    if (terminal_) {
        std::cout.flush();
        if (!std::getline(std::cin, current_)) current_.clear();
        if (!current_.empty() && current_.back() == '\r') current_.pop_back();
        return current_.c_str();
    }
    if (!replies_.empty()) {
        current_ = replies_.front();
        replies_.pop_front();
    }
    // Show the scripted reply where a user would have typed it.
    if (!silent_) std::cout << current_ << '\n';
    return current_.c_str();
}

void HostConsole::emit(const char* text) {
    if (!text) return;
    if (!silent_) {
        std::cout << text;
        std::cout.flush();
    }
    if (log_.is_open()) {
        log_ << text;
        log_.flush();
    }
}

const char* HostConsole::reply(void* console) { return static_cast<HostConsole*>(console)->readLine(); }

// The dialogue's prompts and its messages alike.
void HostConsole::written(void* console, int32_t, const char* text) { static_cast<HostConsole*>(console)->emit(text); }

void HostProfiler::report(const char* stageLabel, double milliseconds) {
    std::string label = stageLabel ? stageLabel : "";
    if (!samples_.count(label)) order_.push_back(label);
    samples_[label].push_back(milliseconds);
}

Summary summarise(std::vector<double> values) {
    Summary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values) sum += v;
    const size_t n = values.size();
    s.mean = sum / double(n);
    s.median = n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
    size_t rank = size_t(std::ceil(0.95 * double(n)));
    s.p95 = values[std::max<size_t>(rank, 1) - 1];
    s.max = values.back();
    return s;
}

void HostProfiler::print(std::ostream& out) const {
    const Summary frame = summarise(frames_);
    char line[256];
    std::snprintf(line, sizeof line, "%-22s %9s %9s %9s %9s %7s\n", "stage", "mean ms", "median", "p95", "max",
                  "share");
    out << "\nprofile over " << frames_.size() << " frames\n" << line;
    auto row = [&](const std::string& label, const Summary& s) {
        double share = frame.mean > 0 ? 100.0 * s.mean / frame.mean : 0.0;
        std::snprintf(line, sizeof line, "%-22s %9.3f %9.3f %9.3f %9.3f %6.1f%%\n", label.c_str(), s.mean, s.median,
                      s.p95, s.max, share);
        out << line;
    };
    for (const std::string& label : order_) row(label, summarise(samples_.at(label)));
    row("whole frame (host)", frame);
}
