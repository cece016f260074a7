// What track() and Tracker share: the rows of the track file as columns of numbers, an observer
// that keeps what the run tells for Python, and the caller's thread answering Python's signals
// while the run goes on without the interpreter lock.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/run/pipeline_run.h"
#include "ambrevo/pipeline/run/request.h"
#include "ambrevo/pipeline/sinks/track_rows.h"
#include "ambrevo/pipeline/sources/frame_source.h"

namespace py = pybind11;

// The track file's rows, each cell read back as a number (an empty cell as NaN): the columns
// are the file's, whatever the procedure, the arenas and the linking add.
struct Table {
    std::vector<std::string> names;
    std::vector<std::vector<double>> columns;
    int64_t lastFrame = -1;  // the last frame written, rows or none
    int layout = 0;          // counts the changes of `names`, which come from the writing thread

    // The rows as one numpy structured array, a field per column in the file's order (the
    // file's `object` named `index`), in types that do not change with the procedure: counts
    // int64 (NaN: -1), yes-or-no bool (NaN: no), the rest float64. With `clear`, emptied.
    // Needs the interpreter lock.
    py::array take(bool clear);

private:
    enum class Kind { decimal, whole, yesNo };
    struct Field {
        Kind kind;
        size_t offset;
    };
    // The record's type, decided once per set of names: numpy's own for those fields.
    void lay();
    std::optional<py::dtype> dtype_;
    std::vector<Field> fields_;  // one per column; a name given twice shares its field
    size_t itemSize_ = 0;
    int laidFor_ = -1;
};

class TableSink final : public Sink {
public:
    // `written` is called after each frame's rows, with the frame (from the writing thread).
    TableSink(Table& table, std::mutex& lock, std::function<void(int64_t)> written = {})
        : table_(table), lock_(lock), written_(std::move(written)) {}
    SinkNeeds needs() const override { return {.objects = true}; }
    Outcome open(const RunContext& run) override;
    Outcome frame(const FrameResult& result) override;
    Outcome close(const RunRecord&) override { return {}; }
    void discard() override {}

private:
    void nameColumns();
    Table& table_;
    std::mutex& lock_;
    std::function<void(int64_t)> written_;
    std::optional<TrackRows> rows_;
    bool headed_ = false;  // the columns are those the first rows decided
    std::vector<double> values_;  // a frame's rows, row after row
};

// A Python exception kept to be raised on the caller's thread: the value, its traceback on it.
struct PythonError {
    py::object value;
    // Takes the exception being raised (the error indicator is cleared); its text for the
    // track file's reason: "KeyError: 'camera unplugged'".
    std::string fetch();
};

// What the run tells, kept for Python; the stop the caller's thread asks for; the progress.
class Watched final : public RunObserver {
public:
    void notice(const std::string& text) override;
    void progress(int64_t done, int64_t expected) override;
    int stopRequested() override { return stop_.load(std::memory_order_relaxed); }
    void addClicks(int64_t frame, std::vector<cv::Point>& clicks) override {
        if (clicks_) clicks_(frame, clicks);
    }

    // The first request wins: a signal's number or cancelRequest.
    void requestStop(int request);
    int requested() const { return stop_.load(); }
    void setClicks(std::function<void(int64_t, std::vector<cv::Point>&)> clicks) { clicks_ = std::move(clicks); }
    // Wakes the caller's thread now: a frame was written, or the run ended.
    void wake();
    void finish();
    bool finished() const { return finished_.load(); }
    // Waits, without the interpreter lock, until `ready` or the run ends, answering Python's
    // signals every 50 ms and calling `poll` (with the lock) in between. A signal whose
    // handler raises (Ctrl-C: KeyboardInterrupt) asks the run to stop and is kept in
    // `pending`, as is an exception `poll` raises (the run then stops too, cancelled).
    void waitUntil(const std::function<bool()>& ready, const std::function<void()>& poll);

    std::vector<std::string> notices;
    std::optional<py::error_already_set> pending;
    std::atomic<int64_t> done{0}, expected{-1};
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

private:
    std::mutex lock_;
    std::condition_variable woken_;
    std::atomic<int> stop_{0};
    std::atomic<bool> finished_{false};
    std::function<void(int64_t, std::vector<cv::Point>&)> clicks_;
};

// A numpy array as an 8-bit BGR frame of its own (grey and BGRA taken as they are); an input
// failure saying why for anything else.
Expected<cv::Mat> arrayToFrame(const py::handle& frame);

// The words of a run as the program's command line, parsed and checked against the loaded
// module.
struct Request {
    Options options;
    SettingsFile saved;
    Module module;
    Outcome prepare(const std::string& modulePath, const std::vector<std::string>& words);
};

// How Python hears of a failure: its kind by name ("" for none) and its message.
inline py::tuple failureWords(const Outcome& done) {
    return done ? py::make_tuple("", "") : py::make_tuple(errorName(done.error().kind), done.error().message);
}

py::list toList(const std::vector<std::string>& texts);
