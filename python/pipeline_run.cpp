// ambrevo.track(): a run of the program's own pipeline, from Python. The options are the
// program's command-line words, read by the program's parser; the frames come from the
// program's reader, or from a Python iterator of arrays; the rows are those of the track file.
// The run goes on a thread of its own, without the interpreter lock, while the caller's
// thread answers Ctrl-C and reports progress: a stop ends the run as a signal ends the
// program's, its outputs closed as partial.
#include <pybind11/stl.h>

#include <csignal>
#include <thread>

#include "run_support.h"

namespace {

// Frames handed over from Python, one array at a time, copied as the program reads a picture.
// An exception the iterator raises ends the run; it is kept for the caller to raise.
class ArraySource final : public FrameSource {
public:
    ArraySource(py::object iterator, int64_t total, PythonError& failure)
        : iterator_(std::move(iterator)), total_(total), failure_(failure) {}
    ~ArraySource() override {
        py::gil_scoped_acquire gil;
        iterator_ = py::object();
    }
    Result read(cv::Mat& bgr) override {
        py::gil_scoped_acquire gil;
        const py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator_.ptr()));
        if (!item) {
            if (!PyErr_Occurred()) return Read{Read::end};
            return inputFailure("the frames' iterator raised " + failure_.fetch());
        }
        Expected<cv::Mat> converted = arrayToFrame(item);
        if (!converted) return converted.error();
        bgr = std::move(*converted);
        return Read{Read::frame};
    }
    int64_t total() const override { return total_; }

private:
    py::object iterator_;
    int64_t total_;
    PythonError& failure_;
};

// Calls `progress(done, expected, rate)` when the frames done have changed; a result that is
// not None and false asks the run to stop.
void reportProgress(Watched& watched, const py::object& progress, int64_t& told) {
    const int64_t done = watched.done.load();
    if (progress.is_none() || done == told) return;
    told = done;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - watched.started).count();
    const int64_t expected = watched.expected.load();
    const py::object answer = progress(done, expected >= 0 ? py::object(py::int_(expected)) : py::none(),
                                       seconds > 0 ? double(done) / seconds : 0.0);
    if (!answer.is_none() && !answer.cast<bool>()) watched.requestStop(cancelRequest);
}

// Runs the pipeline with the options `words` (as on the command line, without the program's
// name) over their input, or over `frames` (an iterator of arrays, `total` of them or -1) when
// it is not None. Returns the failure's kind ("" for none) and message, the rows (None when refused), the
// notices, the exception the frames raised (or None), whether `progress` stopped the run, the
// last frame written (-1: none) and the table of stage times (with --profile).
// Ctrl-C and an exception `progress` raises are raised here once the outputs are closed.
py::tuple run(const std::string& modulePath, const std::vector<std::string>& words, py::object frames, int64_t total,
              py::object progress) {
    Request request;
    Outcome done = request.prepare(modulePath, words);
    if (!done) return failureWords(done) + py::make_tuple(py::none(), py::list(), py::none(), false, -1, "");
    Table table;
    std::mutex tableLock;
    Watched watched;
    PythonError failure;
    std::ostringstream profile;
    {
        PipelineRun pipeline(request.module, request.options, request.saved, watched);
        pipeline.silenceConsole();
        if (!frames.is_none()) pipeline.setSource(std::make_unique<ArraySource>(std::move(frames), total, failure));
        pipeline.addSink(std::make_unique<TableSink>(table, tableLock));
        std::thread worker;
        {
            py::gil_scoped_release unlocked;
            worker = std::thread([&] {
                try {
                    done = pipeline.run();
                } catch (...) {
                    done = libraryFailure();
                }
                watched.finish();
            });
        }
        int64_t told = 0;  // the first call comes with the first frame done, when the count is known
        watched.waitUntil([] { return false; }, [&] { reportProgress(watched, progress, told); });
        {
            py::gil_scoped_release unlocked;
            worker.join();
        }
        if (request.options.profile) pipeline.printProfile(profile);
        try {
            if (!watched.pending) reportProgress(watched, progress, told);
        } catch (py::error_already_set& e) {
            watched.pending.emplace(std::move(e));
        }
    }
    if (watched.pending) throw std::move(*watched.pending);
    const bool cancelled = watched.requested() == cancelRequest && !done && done.error().kind == stopError(cancelRequest);
    return failureWords(done) + py::make_tuple(table.take(false), toList(watched.notices),
                                               failure.value ? failure.value : py::none(), cancelled, table.lastFrame,
                                               profile.str());
}

}  // namespace

void bindRun(py::module_& m) {
    m.def("run", &run, py::arg("module"), py::arg("words"), py::arg("frames"), py::arg("total"),
          py::arg("progress"), "Runs the pipeline over an input or an iterator of frames; see ambrevo.track.");
}
